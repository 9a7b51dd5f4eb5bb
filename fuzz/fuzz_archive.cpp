// Fuzzes every registered archive format at once. The first input byte picks
// an archive name extension from the format registry, so detection leads to
// each reader in turn (formats added later are covered without changes here);
// the remaining bytes are the archive. Everything it lists is opened and read:
// files, folders, nested archives, within fixed bounds of depth and work.
//
// With ZORVEX_FUZZ_LIST_EXTENSIONS set, the target prints the extensions in
// the order the first byte selects them and exits (fuzz/run.sh uses this to
// prefix its seed archives).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/format_registry.h"
#include "fuzz/walk.h"

namespace {

const std::vector<std::u16string>& extensions() {
    static const std::vector<std::u16string> list = [] {
        std::vector<std::u16string> found;
        zorvex::forEachExtension(
            [](const char16_t* extension, void* context) {
                static_cast<std::vector<std::u16string>*>(context)->push_back(extension);
            },
            &found);
        return found;
    }();
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::getenv("ZORVEX_FUZZ_LIST_EXTENSIONS")) return 0;
    for (const std::u16string& extension : extensions()) {
        for (char16_t c : extension) std::putchar(c < 0x80 ? static_cast<char>(c) : '?');
        std::putchar('\n');
    }
    std::exit(0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::u16string>& list = extensions();
    if (size < 1 || list.empty()) return 0;
    std::u16string name = u"fuzz" + list[data[0] % list.size()];
    zorvex::walk::bytes(name.c_str(), data + 1, size - 1);
    // Every archive opened above must be gone again.
    if (zorvex::liveArchiveCount() != 0) std::abort();
    return 0;
}
