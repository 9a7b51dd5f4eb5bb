// What every fuzz target shares: the answer to fuzz/run.sh's question which
// seed files it wants, and the check that an input left no archive open.
//
// With ZORVEX_FUZZ_LIST_SEEDS set, a target prints one line per kind of seed
// it takes, "EXTENSION<TAB>PREFIX", and exits: run.sh then gives it every seed
// file of that extension, behind the byte PREFIX (0-255) when one is given.
// A target that prints nothing gets every seed as it is.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/format_registry.h"

namespace zorvex::fuzz {

struct SeedKind {
    std::u16string extension;  // with its dot
    int prefix = -1;           // the byte put in front of the seed; -1 for none
};

inline std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// Call from LLVMFuzzerInitialize.
inline void answerSeedQuery(const std::vector<SeedKind>& kinds) {
    if (!std::getenv("ZORVEX_FUZZ_LIST_SEEDS")) return;
    for (const SeedKind& kind : kinds) {
        std::printf("%s\t", narrow(kind.extension).c_str());
        if (kind.prefix >= 0) std::printf("%d", kind.prefix);
        std::printf("\n");
    }
    std::exit(0);
}

// Every archive an input opened must be gone again.
inline void expectNoArchiveLeft() {
    if (liveArchiveCount() != 0) std::abort();
}

// The extensions of the registered format of that display name.
inline std::vector<std::u16string> formatExtensions(const char16_t* displayName) {
    std::vector<std::u16string> found;
    for (int i = 0; i < formatCount(); ++i) {
        ArchiveFormat* format = formatAt(i);
        if (!format->displayName || std::u16string(format->displayName) != displayName) continue;
        for (int e = 0; e < format->extensionCount; ++e) found.emplace_back(format->extensions[e]);
    }
    return found;
}

}  // namespace zorvex::fuzz
