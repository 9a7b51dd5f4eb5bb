// Fuzzes one archive reader: the input is a file of that format, opened by
// its first extension, listed and read fully with everything nested in it.
// Built once per reader, with ZORVEX_FUZZ_FORMAT naming the format.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/target.h"
#include "fuzz/walk.h"

namespace {

const std::vector<std::u16string>& extensions() {
    static const std::vector<std::u16string> list = zorvex::fuzz::formatExtensions(ZORVEX_FUZZ_FORMAT);
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::vector<zorvex::fuzz::SeedKind> kinds;
    for (const std::u16string& extension : extensions()) kinds.push_back({extension});
    zorvex::fuzz::answerSeedQuery(kinds);
    if (extensions().empty()) std::abort();  // the format is not built in
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string name = u"fuzz" + extensions().front();
    zorvex::walk::bytes(name.c_str(), data, size);
    zorvex::fuzz::expectNoArchiveLeft();
    return 0;
}
