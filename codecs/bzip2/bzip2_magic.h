// The two 48-bit magics of a bzip2 stream, which begin at any bit: each block
// starts with the block magic, and the stream's trailer with the end magic
// (then the stream CRC and padding to a byte).
#pragma once

#include <cstdint>

namespace zorvex {
namespace bzip2 {

constexpr uint64_t kBlockMagic = 0x314159265359;
constexpr uint64_t kEndMagic = 0x177245385090;

// For each value of the byte after the one where a magic begins: the bit
// phases at which a block magic (bits 0-7) or an end magic (bits 8-15) could
// begin.
struct PhaseTable {
    uint16_t mask[256] = {};
    constexpr PhaseTable() {
        for (int phase = 0; phase < 8; ++phase) {
            mask[(kBlockMagic >> (32 + phase)) & 0xFF] |= 1 << phase;
            mask[(kEndMagic >> (32 + phase)) & 0xFF] |= 1 << (8 + phase);
        }
    }
};
inline constexpr PhaseTable kPhases;

// `window` holds the last 8 packed bytes, the newest in the low byte. Calls
// found(phase, isEnd) for each magic that begins `phase` bits (from the top)
// into the byte 6 bytes before the newest; at most one per phase.
template <class Found>
void forEachMagic(uint64_t window, Found&& found) {
    uint16_t phases = kPhases.mask[(window >> 40) & 0xFF];
    if (!phases) return;
    constexpr uint64_t kMask = (uint64_t(1) << 48) - 1;
    for (int phase = 0; phase < 8; ++phase) {
        uint64_t bits = (window >> (8 - phase)) & kMask;
        if ((phases >> phase) & 1 && bits == kBlockMagic) found(phase, false);
        if ((phases >> (8 + phase)) & 1 && bits == kEndMagic) found(phase, true);
    }
}

}  // namespace bzip2
}  // namespace zorvex
