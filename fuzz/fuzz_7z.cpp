// Fuzzes the 7z reader: the input is a 7z archive. Everything it lists is
// opened and read, within the walk's bounds.
#include <cstdint>
#include <cstdlib>

#include "engine/archive.h"
#include "fuzz/walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorvex::walk::bytes(u"fuzz.7z", data, size);
    if (zorvex::liveArchiveCount() != 0) std::abort();
    return 0;
}
