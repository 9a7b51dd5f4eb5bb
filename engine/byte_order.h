// Fixed-width integers stored in a byte order, read from unaligned bytes.
#pragma once

#include <cstdint>
#include <cstring>

namespace zorvex {

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }
inline uint64_t le64(const uint8_t* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) { return static_cast<uint32_t>(be16(p)) << 16 | be16(p + 2); }

// Eight bytes in one load, for bit buffers.
inline uint64_t loadLe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v = __builtin_bswap64(v);
    return v;
}
inline uint64_t loadBe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) v = __builtin_bswap64(v);
    return v;
}

}  // namespace zorvex
