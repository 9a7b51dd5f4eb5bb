// Fuzzes the version 5.0 RAR block decoder (input layout in rar_decoder.h).
#include "fuzz/rar_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorvex::fuzz::decodeRarInput(u"rar50", u"rar50", data, size);
    return 0;
}
