// The name of the one entry of a compressed single file (.gz, .bz2, .xz, ...),
// derived from the archive's own name.
#pragma once

#include <initializer_list>
#include <string>

namespace zorvex {

class InStream;

// A suffix of the archive name and what replaces it: "" cuts it, ".tar"
// turns x.tgz into x.tar.
struct SuffixRule {
    const char16_t* suffix;
    const char16_t* replacement;
};

// The last component of the stream's name with the first matching rule
// applied (case-insensitive; the name must be longer than the suffix), else
// with ".out" appended; `fallback` when the stream has no name.
std::u16string singleEntryName(InStream* stream, std::initializer_list<SuffixRule> rules,
                               const char16_t* fallback);

}  // namespace zorvex
