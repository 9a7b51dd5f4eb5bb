// Deflate64: zip entries made by a real archiver, hand-built bit streams for
// the codes that differ from Deflate, and damaged data.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "codecs/deflate64/inflate64.h"
#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "tests/bit_writer.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

using test::TempDir;

Ref<InStream> decoderOver(const char16_t* codec, const std::vector<uint8_t>& packed, int64_t size = -1) {
    return test::openCodec(codec, packed, size);
}

// Data whose Deflate64 form needs matches longer than 258 bytes and
// distances beyond 32 KiB.
std::vector<uint8_t> farAndLongMatches(size_t size) {
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(50000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> out;
    while (out.size() < size) {
        out.insert(out.end(), noise.begin(), noise.begin() + 20000 + rng() % 30000);
        out.insert(out.end(), 1000 + rng() % 60000, static_cast<uint8_t>(rng()));
        auto text = test::sampleData(5000, static_cast<uint32_t>(out.size()));
        out.insert(out.end(), text.begin(), text.end());
    }
    out.resize(size);
    return out;
}

// Deflate's fixed codes over the shared bit writer.
class BitWriter : public test::LsbBitWriter {
public:
    // Fixed-code literal/length symbol and distance symbol.
    void symbol(int s) {
        if (s < 144) code(0x30 + s, 8);
        else if (s < 256) code(0x190 + s - 144, 9);
        else if (s < 280) code(s - 256, 7);
        else code(0xC0 + s - 280, 8);
    }
    void distance(int d) { code(d, 5); }
};

// A stored block of `history`, then a final fixed block with one match.
std::vector<uint8_t> storedThenMatch(const std::vector<uint8_t>& history, int lengthCode, int lengthExtra,
                                     int extraBits, int distanceCode, int distanceExtra, int distanceBits) {
    BitWriter w;
    for (size_t at = 0; at < history.size(); at += 65535) {
        size_t n = std::min<size_t>(65535, history.size() - at);
        w.bits(0, 1);
        w.bits(0, 2);
        w.align();
        w.bits(static_cast<uint32_t>(n), 16);
        w.bits(static_cast<uint32_t>(n) ^ 0xFFFF, 16);
        w.bytes(std::vector<uint8_t>(history.begin() + at, history.begin() + at + n));
    }
    w.bits(1, 1);
    w.bits(1, 2);
    w.symbol(lengthCode);
    w.bits(lengthExtra, extraBits);
    w.distance(distanceCode);
    w.bits(distanceExtra, distanceBits);
    w.symbol(256);
    return w.finish();
}

std::vector<uint8_t> withMatch(std::vector<uint8_t> data, int length, int distance) {
    for (int i = 0; i < length; ++i) data.push_back(data[data.size() - distance]);
    return data;
}

TEST(Deflate64, ZipEntriesWithFarAndLongMatchesDecodeExactly) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    auto data = farAndLongMatches(3 << 20);
    test::writeFile(dir / "data.bin", data.data(), data.size());
    test::writeFile(dir / "small.txt", "tiny\n");
    ASSERT_EQ(test::run("cd '" + dir.path().string() + "' && 7zz a -tzip -mm=Deflate64 -mx9 a.zip data.bin small.txt >/dev/null"), 0);

    Ref<InStream> s(openStreamPath((test::enginePath(dir / "a.zip") + u"\\data.bin").c_str()));
    ASSERT_TRUE(s);
    ASSERT_EQ(s->size(), static_cast<int64_t>(data.size()));
    EXPECT_TRUE(test::readAll(s.get()) == data);
    // Backward seeks restart from the beginning and land on the same bytes.
    for (int64_t at : {int64_t(0), int64_t(1) << 20, int64_t(data.size() - 70000)}) {
        auto got = test::readAt(s.get(), at, 70000);
        ASSERT_EQ(got.size(), 70000u);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + at)) << at;
    }
    Ref<InStream> small(openStreamPath((test::enginePath(dir / "a.zip") + u"\\small.txt").c_str()));
    ASSERT_TRUE(small);
    auto text = test::readAll(small.get());
    EXPECT_EQ(std::string(text.begin(), text.end()), "tiny\n");
}

TEST(Deflate64, MeasuresItsSizeWhenNotGiven) {
    std::vector<uint8_t> history = test::sampleData(40000, 3);
    auto packed = storedThenMatch(history, 285, 65535, 16, 0, 0, 0);
    auto s = decoderOver(u"deflate64", packed);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), 40000 + 65538);
    EXPECT_TRUE(test::readAll(s.get()) == withMatch(history, 65538, 1));
}

TEST(Deflate64, LengthCode285And64KiBDistancesDifferFromDeflate) {
    std::vector<uint8_t> history = test::sampleData(65536, 5);
    // Code 285 takes 16 extra bits; distance code 31 with all extra bits set
    // reaches 65536 bytes back.
    auto packed = storedThenMatch(history, 285, 1000, 16, 31, 16383, 14);
    auto s = decoderOver(u"deflate64", packed);
    ASSERT_TRUE(s);
    EXPECT_TRUE(test::readAll(s.get()) == withMatch(history, 1003, 65536));
    // Distance code 30: base 32769.
    packed = storedThenMatch(history, 284, 0, 5, 30, 0, 14);
    s = decoderOver(u"deflate64", packed);
    ASSERT_TRUE(s);
    EXPECT_TRUE(test::readAll(s.get()) == withMatch(history, 227, 32769));

    // Under Deflate, code 285 is length 258 without extra bits ...
    auto deflate = storedThenMatch(history, 285, 0, 0, 0, 0, 0);
    Bytef out[70000];
    uLongf outLength = sizeof out;
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
    z.next_in = deflate.data();
    z.avail_in = static_cast<uInt>(deflate.size());
    z.next_out = out;
    z.avail_out = static_cast<uInt>(outLength);
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.total_out, 65536u + 258u);
    inflateEnd(&z);
    // ... and distance codes 30 and 31 are invalid.
    packed = storedThenMatch(history, 284, 0, 5, 30, 0, 14);
    z = z_stream{};
    ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
    z.next_in = packed.data();
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = out;
    z.avail_out = sizeof out;
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_DATA_ERROR);
    inflateEnd(&z);
}

TEST(Deflate64, RejectsWhatTheFormatForbids) {
    std::vector<uint8_t> history = test::sampleData(1000, 9);
    // A distance reaching before the first byte.
    auto s = decoderOver(u"deflate64", storedThenMatch(history, 257, 0, 0, 20, 0, 9));
    ASSERT_TRUE(s);
    EXPECT_EQ(test::readAll(s.get()), history);  // data before the fault stays readable
    // Fixed symbols 286 and 287 and block type 3.
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    w.symbol('a');
    w.symbol(286);
    EXPECT_EQ(test::readAll(decoderOver(u"deflate64", w.finish()).get()), std::vector<uint8_t>{'a'});
    BitWriter bad;
    bad.bits(1, 1);
    bad.bits(3, 2);
    EXPECT_TRUE(test::readAll(decoderOver(u"deflate64", bad.finish()).get()).empty());
    // A dynamic header with 287 literal/length codes.
    BitWriter many;
    many.bits(1, 1);
    many.bits(2, 2);
    many.bits(30, 5);
    many.bits(0, 5);
    many.bits(0, 4);
    EXPECT_TRUE(test::readAll(decoderOver(u"deflate64", many.finish()).get()).empty());
}

// The raw Deflate64 data of `data` compressed by 7zz as a zip's only entry.
std::vector<uint8_t> rawDeflate64(const std::vector<uint8_t>& data) {
    TempDir dir;
    test::writeFile(dir / "d.bin", data.data(), data.size());
    EXPECT_EQ(test::run("cd '" + dir.path().string() + "' && 7zz a -tzip -mm=Deflate64 a.zip d.bin >/dev/null"), 0);
    auto zip = test::readFile(dir / "a.zip");
    if (zip.size() < 30) return {};
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | zip[at + i];
        return v;
    };
    const size_t start = 30 + le(26, 2) + le(28, 2);
    return std::vector<uint8_t>(zip.begin() + start, zip.begin() + start + le(18, 4));
}

TEST(Deflate64, DecodesAlikeInPiecesOfAnySize) {
    REQUIRE_TOOL("7zz");
    auto data = farAndLongMatches(400000);
    auto packed = rawDeflate64(data);
    const int pieces[][2] = {{1, 1}, {3, 7}, {7, 100000}, {100000, 5}, {1000, 65536}};
    for (auto [inPiece, outPiece] : pieces) {
        Inflate64 inflater;
        std::vector<uint8_t> out, buf(outPiece);
        size_t at = 0;
        Inflate64::Result r;
        do {
            int n = static_cast<int>(std::min<size_t>(inPiece, packed.size() - at));
            int consumed, produced;
            r = inflater.decode(packed.data() + at, n, &consumed, buf.data(), outPiece, &produced);
            at += consumed;
            out.insert(out.end(), buf.begin(), buf.begin() + produced);
        } while (r == Inflate64::kProgress);
        EXPECT_EQ(r, Inflate64::kEnd) << inPiece << "/" << outPiece;
        EXPECT_TRUE(out == data) << inPiece << "/" << outPiece;
    }
}

TEST(Deflate64, DamagedDataEndsWithoutCrashingOrHanging) {
    REQUIRE_TOOL("7zz");
    auto data = farAndLongMatches(300000);
    auto packed = rawDeflate64(data);
    ASSERT_TRUE(test::readAll(decoderOver(u"deflate64", packed).get()) == data);

    // Cut short: what is decoded is a prefix of the data.
    std::vector<uint8_t> cut(packed.begin(), packed.begin() + packed.size() / 2);
    auto prefix = test::readAll(decoderOver(u"deflate64", cut, static_cast<int64_t>(data.size())).get());
    EXPECT_GT(prefix.size(), 0u);
    EXPECT_LT(prefix.size(), data.size());
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), data.begin()));

    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        auto damaged = packed;
        for (int i = 0; i < 1 + round % 4; ++i) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        auto s = decoderOver(u"deflate64", damaged, static_cast<int64_t>(data.size()));
        ASSERT_TRUE(s);
        EXPECT_LE(test::readAll(s.get()).size(), data.size());
    }
    std::vector<uint8_t> noise(5000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    auto s = decoderOver(u"deflate64", noise);
    if (s) EXPECT_LE(test::readAll(s.get()).size(), static_cast<size_t>(s->size() < 0 ? 0 : s->size()));
}

}  // namespace
}  // namespace zorvex
