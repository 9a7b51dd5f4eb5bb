// Helpers for the format tests: opening archives by engine path, walking
// their tree and checking them against the corpus manifest.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace zorvex::test {

// `file` as an engine path followed by "\\" and `inner` ("/" becomes "\\").
std::u16string insidePath(const fs::path& file, const std::string& inner = "");
// Everything the stream at that path delivers; nullopt when it does not open,
// delivers other than its stated size or was found damaged.
std::optional<std::vector<uint8_t>> entryData(const std::u16string& path);
// Every file (nested archives included) by "/"-joined UTF-8 path, with its
// listed size; folders appear with a trailing "/" and size -1.
std::map<std::string, int64_t> listTree(Archive* archive);
std::string fileText(const std::vector<uint8_t>& bytes);

// Checks the engine against the manifest rows of one corpus folder: each
// listed file's size and SHA-256; damaged archives must open or fail without
// crashing. Rows the engine cannot reach yet (a nested format not built) and
// the "archive:path" rows in `knownDifferent` are counted, not failed. With
// `onlyArchives`, just the rows of those archives are checked.
void checkCorpusFolder(const fs::path& corpus, const std::string& folder,
                       const std::set<std::string>& knownDifferent = {},
                       const std::set<std::string>& onlyArchives = {});

// The archives of one corpus folder that are refused whole (for holding an
// encrypted file), and the "archive:path" rows of those archives.
std::set<std::string> refusedArchives(const fs::path& corpus, const std::string& folder);
std::set<std::string> rowsOfRefusedArchives(const fs::path& corpus, const std::string& folder);

}  // namespace zorvex::test
