// The version 5.0 output filters, each over one block of decoded bytes.
// `fileOffset` is the block's position in its file.
#pragma once

#include <cstdint>

namespace zorvex::rar {

// x86 CALL (E8) and, with `jumpsToo`, JMP (E9) targets turned back from
// absolute into relative form, in place.
void rar50CallFilter(uint8_t* data, uint32_t size, uint64_t fileOffset, bool jumpsToo);
// ARM BL targets likewise, in place.
void rar50ArmFilter(uint8_t* data, uint32_t size, uint64_t fileOffset);
// Bytes stored channel after channel as differences: `out` gets them
// interleaved and summed back.
void rar50DeltaFilter(const uint8_t* in, uint8_t* out, uint32_t size, int channels);

}  // namespace zorvex::rar
