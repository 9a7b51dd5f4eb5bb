#include "engine/crc32.h"

#include <array>

namespace zorvex {
namespace {

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

// Table k advances a byte that is followed by k zero bytes, so that eight
// bytes can be folded in with one lookup each.
constexpr CrcTables makeTables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (int i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr CrcTables kTables = makeTables();

}  // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
        uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
    }
    for (; size > 0; --size, ++p) c = (c >> 8) ^ kTables[0][(c ^ *p) & 0xFF];
    return ~c;
}

}  // namespace zorvex
