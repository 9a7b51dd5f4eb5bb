// Fuzzes the version 1.5 and 2.0 RAR block decoders (input layout in
// rar_decoder.h; bit 0 of the control byte picks version 2.0).
#include "fuzz/rar_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorvex::fuzz::decodeRarInput(u"rar15", u"rar20", data, size);
    return 0;
}
