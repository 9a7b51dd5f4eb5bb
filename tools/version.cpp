#include "tools/version.h"

#include <bzlib.h>
#include <wavpack/wavpack.h>
#include <zlib.h>

#include <set>

#include "7zVersion.h"
#include "engine/codec.h"
#include "engine/format_registry.h"
#include "tools/entries.h"

#ifdef ZORVEX_HAVE_ISAL
#include <isa-l.h>
#endif
#ifndef ZORVEX_ZSTD_SDK
#include <zstd.h>
#endif

namespace zorvex::cli {

namespace {

// Registry names joined with ", ", each once, in registration order.
template <class Name>
std::string joined(int count, Name name) {
    std::string text;
    std::set<std::string> seen;
    for (int i = 0; i < count; ++i) {
        std::string one = name(i);
        if (one.empty() || !seen.insert(one).second) continue;
        text += (text.empty() ? "" : ", ") + one;
    }
    return text;
}

}  // namespace

std::string versionText() {
    std::string text = "zorvex " ZORVEX_VERSION "\n";
    text += "formats: " +
            joined(formatCount(),
                   [](int i) {
                       const char16_t* name = formatAt(i)->displayName;
                       return name ? displayName(name) : std::string();
                   }) +
            "\n";
    text += "codecs: " + joined(codecCount(), [](int i) { return displayName(codecAt(i)->name()); }) + "\n";
    text += "libraries: zlib " + std::string(zlibVersion()) + ", libbz2 " + BZ2_bzlibVersion() +
#ifdef ZORVEX_ZSTD_SDK
            ", zstd (LZMA SDK decoder)" +
#else
            ", zstd " + ZSTD_versionString() +
#endif
            ", WavPack " + WavpackGetLibraryVersionString() + ", LZMA SDK " MY_VERSION;
#ifdef ZORVEX_HAVE_ISAL
    text += ", ISA-L " + std::to_string(ISAL_MAJOR_VERSION) + "." + std::to_string(ISAL_MINOR_VERSION) + "." +
            std::to_string(ISAL_PATCH_VERSION);
#endif
    return text + "\n";
}

}  // namespace zorvex::cli
