// bzip2: multi-block data read whole and by seeking back into blocks after
// the first pass, zip entries, concatenated streams, cut and damaged data;
// blocks decoded side by side: magic look-alikes inside blocks, blocks that
// expand beyond what is buffered, a stream dropped while blocks are in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "codecs/bzip2/bzip2_blocks.h"
#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

using test::TempDir;

Ref<InStream> bzip2Over(const std::vector<uint8_t>& packed, int64_t size = -1) {
    return test::openCodec(u"bzip2", packed, size);
}

std::vector<uint8_t> packWith(const std::string& tool, const TempDir& dir, const std::vector<uint8_t>& data,
                              const std::string& options) {
    test::writeFile(dir / "plain", data.data(), data.size());
    EXPECT_EQ(test::run(tool + " " + options + " -c '" + (dir / "plain").string() + "' > '" + (dir / "packed").string() + "'"), 0);
    return test::readFile(dir / "packed");
}

std::vector<uint8_t> bzip2Of(const TempDir& dir, const std::vector<uint8_t>& data, const std::string& options) {
    return packWith("bzip2", dir, data, options);
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) { to.insert(to.end(), more.begin(), more.end()); }

// How often the 48-bit `magic` begins at any bit of `packed`.
int magicCount(const std::vector<uint8_t>& packed, uint64_t magic) {
    int count = 0;
    uint64_t window = 0;
    for (size_t i = 0; i < packed.size(); ++i) {
        window = window << 8 | packed[i];
        if (i < 6) continue;
        for (int phase = 0; phase < 8; ++phase) count += ((window >> (8 - phase)) & 0xFFFFFFFFFFFF) == magic;
    }
    return count;
}

// Data made of exactly the byte values whose bits, in the block's table of
// used bytes (16 bits per used group of 16 values), spell `magic`: groups
// first..first+2 carry its three 16-bit parts. Every block of it holds the
// magic inside its header. No byte repeats, so no run-length byte joins in.
std::vector<uint8_t> dataSpelling(uint64_t magic, int firstGroup, size_t size, uint32_t seed) {
    std::vector<uint8_t> alphabet;
    for (int part = 0; part < 3; ++part) {
        int bits = static_cast<int>(magic >> (32 - 16 * part)) & 0xFFFF;
        for (int j = 0; j < 16; ++j) {
            if (bits >> (15 - j) & 1) alphabet.push_back(static_cast<uint8_t>((firstGroup + part) * 16 + j));
        }
    }
    std::mt19937 rng(seed);
    std::vector<uint8_t> data;
    while (data.size() < size) {
        uint8_t next = alphabet[rng() % alphabet.size()];
        if (data.empty() || next != data.back()) data.push_back(next);
    }
    return data;
}

// Seeks to `at`, reads `count` bytes and compares them with the data there.
void expectRange(InStream* s, const std::vector<uint8_t>& data, int64_t at, int count) {
    ASSERT_TRUE(s->seek(at)) << at;
    std::vector<uint8_t> got(count);
    int done = 0;
    while (done < count) {
        int n = s->read(got.data() + done, count - done);
        if (n <= 0) break;
        done += n;
    }
    int want = static_cast<int>(std::min<int64_t>(count, static_cast<int64_t>(data.size()) - at));
    ASSERT_EQ(done, want) << at;
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + done, data.begin() + at)) << at;
}

// Seeks into the first, a middle and the last block (and back and forth).
void expectSeeksAfterFullRead(InStream* s, const std::vector<uint8_t>& data) {
    ASSERT_TRUE(test::readAll(s) == data);
    const int64_t n = static_cast<int64_t>(data.size());
    for (int64_t at : {int64_t(10), n / 2, n - 1000, n / 10, int64_t(0), n * 7 / 10, n - 1, n / 3 + 12345}) {
        expectRange(s, data, at, 100000);
    }
}

TEST(Bzip2, MultiBlockStreamSeeksBackIntoAnyBlock) {
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    auto data = test::sampleData(3 << 20, 21);  // about 30 blocks of 100k
    auto packed = bzip2Of(dir, data, "-1");
    test::onBothPaths([&] {
        auto s = bzip2Over(packed);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->size(), static_cast<int64_t>(data.size()));
        expectSeeksAfterFullRead(s.get(), data);
        // Again after a rewind: the index survives it.
        ASSERT_TRUE(s->rewind());
        expectSeeksAfterFullRead(s.get(), data);
    });
}

TEST(Bzip2, SizeGivenByTheContainerAndSeekBeforeTheFirstPassEnds) {
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    auto data = test::sampleData(1 << 20, 22);
    auto packed = bzip2Of(dir, data, "-1");
    auto s = bzip2Over(packed, static_cast<int64_t>(data.size()));
    ASSERT_TRUE(s);
    // A backward seek halfway through the first pass starts over.
    expectRange(s.get(), data, 600000, 1000);
    expectRange(s.get(), data, 5000, 1000);
    ASSERT_TRUE(s->rewind());
    expectSeeksAfterFullRead(s.get(), data);
}

TEST(Bzip2, ZipEntriesDecodeAndSeek) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    auto data = test::sampleData(2 << 20, 23);
    test::writeFile(dir / "data.bin", data.data(), data.size());
    ASSERT_EQ(test::run("cd '" + dir.path().string() + "' && 7zz a -tzip -mm=BZip2 -mx1 a.zip data.bin >/dev/null"), 0);
    Ref<InStream> s(openStreamPath((test::enginePath(dir / "a.zip") + u"\\data.bin").c_str()));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), static_cast<int64_t>(data.size()));
    expectSeeksAfterFullRead(s.get(), data);
}

TEST(Bzip2, ConcatenatedStreamsAreAllDecoded) {
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    auto first = test::sampleData(700000, 24);
    auto second = test::sampleData(300000, 25);
    auto packed = bzip2Of(dir, first, "-1");
    auto empty = bzip2Of(dir, {}, "-9");
    auto more = bzip2Of(dir, second, "-9");
    packed.insert(packed.end(), empty.begin(), empty.end());
    packed.insert(packed.end(), more.begin(), more.end());
    auto data = first;
    data.insert(data.end(), second.begin(), second.end());

    test::onBothPaths([&] {
        auto s = bzip2Over(packed);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->size(), static_cast<int64_t>(data.size()));
        expectSeeksAfterFullRead(s.get(), data);
        // Resuming in the first stream runs on into the next ones.
        expectRange(s.get(), data, 650000, 200000);
    });

    // Bytes after the last stream that start no other are ignored; the
    // start of a header there is a cut stream.
    const char tail[] = "not bzip2 at all";
    auto withTail = packed;
    withTail.insert(withTail.end(), tail, tail + sizeof tail);
    auto cutHeader = packed;
    cutHeader.insert(cutHeader.end(), {'B', 'Z'});
    test::onBothPaths([&] {
        auto s = bzip2Over(withTail);
        ASSERT_TRUE(s);
        EXPECT_TRUE(test::readAll(s.get()) == data);
        EXPECT_FALSE(s->damaged());
        s = bzip2Over(cutHeader);
        ASSERT_TRUE(s);
        EXPECT_TRUE(test::readAll(s.get()) == data);
        EXPECT_TRUE(s->damaged());
    });
}

TEST(Bzip2, CutShortIsDamagedAfterTheDecodablePrefix) {
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    auto data = test::sampleData(1 << 20, 26);
    auto packed = bzip2Of(dir, data, "-1");
    packed.resize(packed.size() * 2 / 3);
    test::onBothPaths([&] {
        auto s = bzip2Over(packed);
        ASSERT_TRUE(s);
        auto got = test::readAll(s.get());
        // The size is learnt by decoding up to the cut, so reading reaches it:
        // only the damage mark tells that the data is not whole.
        EXPECT_TRUE(s->damaged());
        EXPECT_GT(got.size(), data.size() / 2);
        EXPECT_LT(got.size(), data.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
        // Its blocks are indexed like those of a whole stream.
        expectRange(s.get(), data, 1000, 5000);
        expectRange(s.get(), data, static_cast<int64_t>(got.size()) - 5000, 5000);
    });
}

TEST(Bzip2, DamagedDataEndsWithoutCrashingOrHanging) {
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    auto data = test::sampleData(300000, 27);
    auto packed = bzip2Of(dir, data, "-1");
    // A wrong stream CRC (the last bytes) makes the end an error, whether the
    // size is given (the read falls short) or learnt by decoding.
    auto badCrc = packed;
    badCrc[badCrc.size() - 3] ^= 0x10;
    for (int64_t size : {static_cast<int64_t>(data.size()), int64_t{-1}}) {
        auto checked = bzip2Over(badCrc, size);
        ASSERT_TRUE(checked);
        auto got = test::readAll(checked.get());
        EXPECT_TRUE(checked->damaged());
        EXPECT_LT(got.size(), data.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    }

    std::mt19937 rng(5);
    for (int round = 0; round < 30; ++round) {
        auto damaged = packed;
        for (int i = 0; i < 1 + round % 3; ++i) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        auto s = bzip2Over(damaged, static_cast<int64_t>(data.size()));
        ASSERT_TRUE(s);
        EXPECT_LE(test::readAll(s.get()).size(), data.size());
        s->seek(static_cast<int64_t>(data.size() / 3));
        test::readAll(s.get());
    }
    std::vector<uint8_t> noise(3000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    noise[0] = 'B', noise[1] = 'Z', noise[2] = 'h', noise[3] = '9';
    auto s = bzip2Over(noise);
    ASSERT_TRUE(s);
    EXPECT_EQ(test::readAll(s.get()).size(), static_cast<size_t>(s->size()));
}

TEST(Bzip2, StreamsOfManyBlocksFromBothCompressors) {
    REQUIRE_TOOL("bzip2");
    REQUIRE_TOOL("lbzip2");
    TempDir dir;
    // lbzip2 writes blocks that end at any bit; long runs at -9 expand one
    // block far beyond what a worker keeps, so the reader decodes it itself.
    auto text = test::sampleData(5 << 20, 31);
    std::vector<uint8_t> runs(20 << 20, 0);
    std::fill(runs.begin() + (12 << 20), runs.end(), 'x');
    auto tail = test::sampleData(400000, 32);
    auto packed = packWith("lbzip2", dir, text, "-n2 -9");
    append(packed, bzip2Of(dir, runs, "-9"));
    append(packed, bzip2Of(dir, {}, "-1"));
    append(packed, bzip2Of(dir, tail, "-1"));
    auto data = text;
    append(data, runs);
    append(data, tail);

    auto s = bzip2Over(packed);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), static_cast<int64_t>(data.size()));
    EXPECT_FALSE(s->damaged());
    expectSeeksAfterFullRead(s.get(), data);
    expectRange(s.get(), data, static_cast<int64_t>(text.size()) - 50000, 200000);
}

TEST(Bzip2, MagicLookAlikesInsideBlocksSplitNothing) {
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    constexpr uint64_t kBlockMagic = 0x314159265359, kEndMagic = 0x177245385090;
    auto blocks = dataSpelling(kBlockMagic, 0, 450000, 33);
    auto ends = dataSpelling(kEndMagic, 3, 250000, 34);
    auto packed = bzip2Of(dir, blocks, "-1");
    auto second = bzip2Of(dir, ends, "-1");
    // Each block's table spells the magic once more than the blocks have it.
    EXPECT_GE(magicCount(packed, kBlockMagic), 2 * 5);
    EXPECT_GE(magicCount(second, kEndMagic), 3 + 1);
    append(packed, second);
    auto data = blocks;
    append(data, ends);

    test::onBothPaths([&] {
        for (int64_t size : {static_cast<int64_t>(data.size()), int64_t{-1}}) {
            auto s = bzip2Over(packed, size);
            ASSERT_TRUE(s);
            expectSeeksAfterFullRead(s.get(), data);
            EXPECT_FALSE(s->damaged());
        }
    });
}

TEST(Bzip2, DamagedBlockInTheMiddleEndsTheDataBeforeIt) {
    REQUIRE_TOOL("bzip2");
    REQUIRE_TOOL("lbzip2");
    TempDir dir;
    auto data = test::sampleData(2 << 20, 35);
    for (const char* tool : {"bzip2", "lbzip2"}) {
        auto packed = packWith(tool, dir, data, "-1");
        packed[packed.size() / 2] ^= 0x20;
        for (int64_t size : {static_cast<int64_t>(data.size()), int64_t{-1}}) {
            auto s = bzip2Over(packed, size);
            ASSERT_TRUE(s);
            auto got = test::readAll(s.get());
            EXPECT_TRUE(s->damaged()) << tool;
            // The blocks before the damaged one are all there (blocks hold
            // 100k here), and nothing after it.
            EXPECT_GT(got.size() + 250000, data.size() / 2) << tool;
            EXPECT_LT(got.size(), data.size() / 2 + 100000) << tool;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << tool;
        }
    }
}

TEST(Bzip2, DroppedWhileBlocksAreInFlight) {
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    auto data = test::sampleData(3 << 20, 36);
    auto packed = bzip2Of(dir, data, "-1");
    for (int count : {1, 100000, 1500000}) {
        auto s = bzip2Over(packed);
        ASSERT_TRUE(s);
        std::vector<uint8_t> got(count);
        ASSERT_EQ(s->read(got.data(), count), count);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    }
    // A seek back into an indexed block leaves the blocks in flight.
    auto s = bzip2Over(packed, static_cast<int64_t>(data.size()));
    ASSERT_TRUE(s);
    expectRange(s.get(), data, 2000000, 1000);
    expectRange(s.get(), data, 100, 1000);
}

}  // namespace
}  // namespace zorvex
