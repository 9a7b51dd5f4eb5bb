// What an extraction writes and in which order: which level of the archive,
// under which wrapper folder, and the order that reads the entries' data
// front to back. `zorvex extract` and the shell's Extract command and data
// objects follow the same rules, so both put an archive's contents in the
// same place and read it the same way.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/refobject.h"

namespace zorvex {

// A level that holds nothing but one nested archive is unwrapped (a .tar.gz
// extracts the tar's contents), at most this many times: a self-containing
// archive or a long chain of single-member gzip files must end somewhere.
inline constexpr int kMaxUnwrapDepth = 8;

struct ExtractionPlan {
    Ref<Archive> level;                     // the level whose entries are written
    std::vector<std::u16string> unwrapped;  // names of the nested archives descended through (each index 0)
    std::u16string wrapper;                 // folder to put the entries in; empty: straight into the target
    // Every level opened on the way, the archive first, kept even when the
    // plan writes nothing: a damaged one makes the extraction incomplete.
    std::vector<Ref<Archive>> levels;
};

// The plan for `archive` (its count is shared, not adopted). An empty level
// (nothing to extract) gives a plan with a null level.
ExtractionPlan planExtraction(Archive* archive);

// The order in which to extract `paths` (names at `level`, or paths below it
// such as "folder\\sub\\name"), as positions in `paths`: the order their data
// lies in the archive, so that each entry is read after the one before it
// (a tar inside a compressed stream is then decoded once, where each step back
// would decode it again from its start). Where the archive cannot tell, the
// given order.
std::vector<size_t> extractionOrder(Archive* level, const std::vector<std::u16string>& paths);

// Files whose data one decoder yields in a run (the files of a 7z folder, or
// of a RAR solid group) share a unit: read apart, each would decode the run
// again from its start. The unit of file `index` of `level`, or -1 for a file
// whose data is read on its own.
int64_t decodingUnit(Archive* level, int index);

// The folder name a level with several entries is extracted into: the last
// component of its full name without its extension ("photos" for
// "C:\\x\\photos.zip", "x" for "...\\x.tar.gz\\x.tar").
std::u16string wrapperName(const char16_t* fullName);

// A name from an archive made safe to create as one component on Windows:
// characters Windows does not allow (":" would name an alternate data stream,
// separators another folder) become "_", as do trailing dots and spaces,
// which Windows strips ("." and ".." become "_" and "__"); device names (CON,
// NUL, COM1, LPT1 ... with any extension) get a leading "_". Never empty.
std::u16string windowsSafeName(std::u16string_view name);

}  // namespace zorvex
