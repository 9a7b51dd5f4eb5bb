// CRC-32: known values, and the bulk (carry-less multiply) path against the
// byte tables, which every piece under 128 bytes goes through.
#include <gtest/gtest.h>

#include <random>

#include "engine/crc32.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

uint32_t bitwise(const uint8_t* p, size_t size) {
    uint32_t c = ~0u;
    for (size_t i = 0; i < size; ++i) {
        c ^= p[i];
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

// The same bytes in pieces too small for the bulk path.
uint32_t inSmallPieces(const uint8_t* p, size_t size) {
    uint32_t crc = 0;
    for (size_t at = 0; at < size; at += 61) crc = crc32Update(crc, p + at, std::min<size_t>(61, size - at));
    return crc;
}

TEST(Crc32, BulkPathMatchesTablesAtAnyLengthAndAlignment) {
    auto data = test::sampleData((1 << 20) + 4096, 11);
    std::mt19937 rng(5);
    for (int round = 0; round < 3000; ++round) {
        size_t offset = rng() % 64;
        // Mostly around the thresholds of the 16-, 128- and 512-byte folds.
        size_t size = round % 3 == 0 ? rng() % 20000 : rng() % 1100;
        const uint8_t* p = data.data() + offset;
        ASSERT_EQ(crc32Update(0, p, size), inSmallPieces(p, size)) << "offset " << offset << " size " << size;
    }
    for (size_t size : {size_t(1) << 20, (size_t(1) << 20) + 4095}) {
        EXPECT_EQ(crc32Update(0, data.data() + 1, size), bitwise(data.data() + 1, size)) << size;
    }
}

TEST(Crc32, ChainsAcrossLargePieces) {
    auto data = test::sampleData(3 << 20, 12);
    const uint32_t whole = crc32Update(0, data.data(), data.size());
    std::mt19937 rng(6);
    for (int round = 0; round < 20; ++round) {
        uint32_t crc = 0;
        for (size_t at = 0; at < data.size();) {
            size_t piece = std::min<size_t>(data.size() - at, rng() % 300000);
            crc = crc32Update(crc, data.data() + at, piece);
            at += piece;
        }
        ASSERT_EQ(crc, whole) << round;
    }
}

}  // namespace
}  // namespace zorvex
