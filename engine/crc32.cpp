#include "engine/crc32.h"

#include <array>

#include "engine/byte_order.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define ZORVEX_CRC32_CLMUL 1
#endif

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

// `c` is the running (not inverted) register.
uint32_t tableUpdate(uint32_t c, const uint8_t* p, size_t size) {
    for (; size >= 8; size -= 8, p += 8) {
        uint32_t lo = c ^ le32(p);
        c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
    }
    for (; size > 0; --size, ++p) c = (c >> 8) ^ kTables[0][(c ^ *p) & 0xFF];
    return c;
}

#ifdef ZORVEX_CRC32_CLMUL

// Carry-less multiplication folds the data into several 128-bit remainders
// (enough independent chains to hide the multiplier's latency), then into one,
// which a Barrett reduction brings down to 32 bits. The constants are x^n mod
// P, bit-reflected: n = 32*128 +- 32 fold by 512 bytes, 16*128 +- 32 by 256,
// 8*128 +- 32 by 128, 4*128 +- 32 by 64, 128 +- 32 by 16; x^64 reduces 64 bits to 32; then P
// itself and floor(x^64 / P).
constexpr long long kFold512Lo = 0x01072db28, kFold512Hi = 0x1d741f35c;
constexpr long long kFold256Lo = 0x11542778a, kFold256Hi = 0x1322d1430;
constexpr long long kFold128Lo = 0x1e88ef372, kFold128Hi = 0x14a7fe880;
constexpr long long kFold64Lo = 0x154442bd4, kFold64Hi = 0x1c6e41596;
constexpr long long kFold16Lo = 0x1751997d0, kFold16Hi = 0x0ccaa009e;
constexpr long long kFold8 = 0x163cd6124;
constexpr long long kPoly = 0x1db710641, kMu = 0x1f7011641;

#define ZORVEX_CLMUL __attribute__((target("pclmul,sse2")))
#define ZORVEX_WIDE_CLMUL __attribute__((target("pclmul,sse2,avx2,avx512f,vpclmulqdq")))

ZORVEX_CLMUL inline __m128i load(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// x advanced past the 128 bits that follow it, plus those bits.
ZORVEX_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Takes in the rest of the data 16 bytes at a time (size is a multiple of
// 16), then reduces the remainder to the CRC register.
ZORVEX_CLMUL uint32_t finish(__m128i x, const uint8_t* p, size_t size) {
    const __m128i k16 = _mm_set_epi64x(kFold16Hi, kFold16Lo);
    for (; size >= 16; size -= 16, p += 16) x = fold(x, k16, load(p));

    // 128 bits to 64: the low half, advanced by 64 bits, joins the high half.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, k16, 0x10), _mm_srli_si128(x, 8));
    // 64 bits to 32.
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), _mm_set_epi64x(0, kFold8), 0x00),
                      _mm_srli_si128(x, 4));
    // Barrett reduction.
    const __m128i barrett = _mm_set_epi64x(kMu, kPoly);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
    x = _mm_xor_si128(x, t);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

// Eight chains of 16 bytes. Needs size >= 128 and a multiple of 16.
ZORVEX_CLMUL uint32_t clmulUpdate(uint32_t c, const uint8_t* p, size_t size) {
    __m128i r[8];
    for (int i = 0; i < 8; ++i) r[i] = load(p + 16 * i);
    r[0] = _mm_xor_si128(r[0], _mm_cvtsi32_si128(static_cast<int>(c)));
    p += 128;
    size -= 128;

    const __m128i k128 = _mm_set_epi64x(kFold128Hi, kFold128Lo);
    for (; size >= 128; size -= 128, p += 128)
        for (int i = 0; i < 8; ++i) r[i] = fold(r[i], k128, load(p + 16 * i));

    const __m128i k64 = _mm_set_epi64x(kFold64Hi, kFold64Lo);
    const __m128i k16 = _mm_set_epi64x(kFold16Hi, kFold16Lo);
    __m128i x = fold(fold(r[0], k64, r[4]), k16, fold(r[1], k64, r[5]));
    x = fold(x, k16, fold(r[2], k64, r[6]));
    x = fold(x, k16, fold(r[3], k64, r[7]));
    return finish(x, p, size);
}

ZORVEX_WIDE_CLMUL inline __m512i foldWide(__m512i x, __m512i k, __m512i next) {
    __m512i lo = _mm512_clmulepi64_epi128(x, k, 0x00);
    __m512i hi = _mm512_clmulepi64_epi128(x, k, 0x11);
    return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // lo ^ hi ^ next
}

// Eight chains of 64 bytes, each 512-bit multiply doing four 128-bit folds.
// Needs size >= 512 and a multiple of 16.
ZORVEX_WIDE_CLMUL uint32_t wideUpdate(uint32_t c, const uint8_t* p, size_t size) {
    __m512i r[8];
    for (int i = 0; i < 8; ++i) r[i] = _mm512_loadu_si512(p + 64 * i);
    r[0] = _mm512_xor_si512(r[0], _mm512_castsi128_si512(_mm_cvtsi32_si128(static_cast<int>(c))));
    p += 512;
    size -= 512;

    const __m512i k512 = _mm512_set_epi64(kFold512Hi, kFold512Lo, kFold512Hi, kFold512Lo, kFold512Hi, kFold512Lo,
                                          kFold512Hi, kFold512Lo);
    for (; size >= 512; size -= 512, p += 512)
        for (int i = 0; i < 8; ++i) r[i] = foldWide(r[i], k512, _mm512_loadu_si512(p + 64 * i));

    const __m512i k256 = _mm512_set_epi64(kFold256Hi, kFold256Lo, kFold256Hi, kFold256Lo, kFold256Hi, kFold256Lo,
                                          kFold256Hi, kFold256Lo);
    for (int i = 0; i < 4; ++i) r[i] = foldWide(r[i], k256, r[i + 4]);
    const __m512i k64 =
        _mm512_set_epi64(kFold64Hi, kFold64Lo, kFold64Hi, kFold64Lo, kFold64Hi, kFold64Lo, kFold64Hi, kFold64Lo);
    __m512i z = foldWide(foldWide(foldWide(r[0], k64, r[1]), k64, r[2]), k64, r[3]);

    const __m128i k16 = _mm_set_epi64x(kFold16Hi, kFold16Lo);
    alignas(64) uint8_t lanes[64];
    _mm512_store_si512(lanes, z);
    __m128i x = fold(load(lanes), k16, load(lanes + 16));
    x = fold(x, k16, load(lanes + 32));
    x = fold(x, k16, load(lanes + 48));
    return finish(x, p, size);
}

enum class Multiplier { kNone, kNarrow, kWide };

Multiplier multiplier() {
    static const Multiplier best = [] {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("pclmul") || !__builtin_cpu_supports("sse2")) return Multiplier::kNone;
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq")) return Multiplier::kWide;
        return Multiplier::kNarrow;
    }();
    return best;
}

#endif

}  // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = ~crc;
#ifdef ZORVEX_CRC32_CLMUL
    if (size >= 128) {
        Multiplier m = multiplier();
        size_t bulk = size & ~size_t(15);
        if (m == Multiplier::kWide && size >= 512)
            c = wideUpdate(c, p, bulk);
        else if (m != Multiplier::kNone)
            c = clmulUpdate(c, p, bulk);
        else
            bulk = 0;
        p += bulk;
        size -= bulk;
    }
#endif
    return ~tableUpdate(c, p, size);
}

}  // namespace zorvex
