// Pieces shared by the LZ decoders of versions 1.5 to 2.9: the recent match
// distances, and the length and distance slots of versions 2.0 and 2.9.
#pragma once

#include <cstdint>

#include "codecs/common/bit_reader.h"

namespace zorvex::rar {

// Match length slots: base value and extra bits.
constexpr uint8_t kLengthBase[28] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  10,  12,  14,  16,  20,
                                     24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
constexpr uint8_t kLengthBits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

// Distances of the length-2 matches.
constexpr uint8_t kShortBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
constexpr uint8_t kShortBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};

// Distance slots: four of 0 extra bits, two each of 1 to 15, then 16 bits
// fourteen times (version 2.0 stops there), no 17, and 18 bits twelve times.
constexpr int kDistanceSlots = 60;
struct DistanceSlots {
    uint8_t bits[kDistanceSlots];
    uint32_t base[kDistanceSlots];
    constexpr DistanceSlots() : bits(), base() {
        int slot = 0;
        for (int i = 0; i < 4; ++i) bits[slot++] = 0;
        for (int b = 1; b <= 15; ++b) bits[slot++] = static_cast<uint8_t>(b), bits[slot++] = static_cast<uint8_t>(b);
        for (int i = 0; i < 14; ++i) bits[slot++] = 16;
        for (int i = 0; i < 12; ++i) bits[slot++] = 18;
        uint32_t sum = 0;
        for (int i = 0; i < kDistanceSlots; ++i) {
            base[i] = sum;
            sum += 1u << bits[i];
        }
    }
};
constexpr DistanceSlots kDistances;

// The last four match distances in a ring, and the last match.
struct MatchHistory {
    uint32_t ring[4] = {};
    unsigned next = 0;
    uint32_t lastDistance = 0;
    int lastLength = 0;

    void push(uint32_t distance) { ring[next++ & 3] = distance; }
    // n = 1 is the distance pushed last.
    uint32_t back(int n) const { return ring[(next - n) & 3]; }
};

// `n` extra bits, none for n = 0.
inline uint32_t readExtra(MsbBitReader& bits, int n) { return n ? bits.read(n) : 0; }

}  // namespace zorvex::rar
