// Writes an entry stream into a folder on disk, for opening it with the
// program the user's system associates with it.
#pragma once

#include <objidl.h>

#include <string>

namespace zorvex::shell {

// Writes `stream` into `folder` under the stream's own name, made safe for
// Windows. Returns the file's path; empty when the stream could not be read
// whole or the file not written (nothing is left behind then).
std::wstring writeEntry(IStream* stream, const std::wstring& folder);

}  // namespace zorvex::shell
