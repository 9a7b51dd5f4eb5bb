// Fuzzes the RAR reader: the input is a .rar archive (either format), walked
// and read fully within the walker's bounds.
#include <cstdint>
#include <cstdlib>

#include "engine/archive.h"
#include "fuzz/walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorvex::walk::bytes(u"fuzz.rar", data, size);
    if (zorvex::liveArchiveCount() != 0) std::abort();
    return 0;
}
