// JSON text for `list --json`, appended to a buffer: the listing writes
// hundreds of thousands of entries and builds no document in memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorvex::cli {

// `text` (UTF-8) as a JSON string, quotes included.
void appendJsonString(std::string& out, std::string_view text);

// An entry time (seconds since 1970 UTC) as an ISO 8601 string in UTC,
// "2023-11-14T22:13:20Z" with its quotes; null for an unknown time (<= 0).
void appendJsonTime(std::string& out, int64_t time);

}  // namespace zorvex::cli
