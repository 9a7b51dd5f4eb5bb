#include <gtest/gtest.h>

#include <algorithm>

#include "tests/codec_fixtures.h"

namespace zorvex::test {
namespace {

constexpr int kAloneHeader = 13;  // 5 property bytes and the 8-byte decoded size

// Raw .lzma file made by xz: properties, size field, data.
std::vector<uint8_t> makeAlone(const TempDir& dir, const std::vector<uint8_t>& data, const std::string& options) {
    writeFile(dir / "data", data.data(), data.size());
    EXPECT_EQ(run("cd '" + dir.path().string() + "' && xz --format=lzma -k -c " + options + " data > data.lzma"),
              0);
    return readFile(dir / "data.lzma");
}

// The properties followed by the data, as a container hands them to the codec.
std::vector<uint8_t> withoutSizeField(const std::vector<uint8_t>& alone) {
    if (alone.size() < kAloneHeader) return {};
    auto out = alone;
    out.erase(out.begin() + 5, out.begin() + kAloneHeader);
    return out;
}

// The dictionary-size code of a raw LZMA2 stream of that dictionary.
std::vector<uint8_t> makeRawLzma2(const TempDir& dir, const std::vector<uint8_t>& data) {
    writeFile(dir / "data", data.data(), data.size());
    EXPECT_EQ(run("cd '" + dir.path().string() +
                  "' && xz --format=raw --lzma2=preset=6,dict=1MiB -c data > data.raw"),
              0);
    std::vector<uint8_t> out{16};  // 1 MiB = 2 << (16 / 2 + 11)
    return concat(out, readFile(dir / "data.raw"));
}

TEST(Lzma, DecodesWithStoredOrMeasuredSize) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(300000, 1);
    auto packed = withoutSizeField(makeAlone(dir, data, "-6"));

    auto known = openPropertiesFirst(u"lzma", packed, static_cast<int64_t>(data.size()));
    ASSERT_TRUE(known);
    EXPECT_EQ(known->size(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(readAll(known.get()), data);

    auto measured = openPropertiesFirst(u"LZMA", packed, -1);
    ASSERT_TRUE(measured);
    EXPECT_EQ(measured->size(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(measured->tell(), 0);
    EXPECT_EQ(readAll(measured.get()), data);
}

TEST(Lzma, TakesPropertiesFromTheRequestAndDataFromTheOffset) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(50000, 2);
    auto alone = makeAlone(dir, data, "-1");
    std::vector<uint8_t> properties(alone.begin(), alone.begin() + 5);
    // The data placed after other bytes of the source, as inside an archive.
    auto source = memorySource(alone);
    auto stream = openCodec(u"lzma", source.get(), kAloneHeader, static_cast<int64_t>(alone.size()) - kAloneHeader,
                            static_cast<int64_t>(data.size()), properties);
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAll(stream.get()), data);
}

TEST(Lzma, TinyDictionaryIsRaisedToTheMinimum) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(40000, 3);
    auto packed = withoutSizeField(makeAlone(dir, data, "--lzma1=preset=1,dict=4KiB"));
    ASSERT_EQ(packed[0], 0x5D);
    packed[1] = 1;
    packed[2] = packed[3] = packed[4] = 0;
    auto stream = openPropertiesFirst(u"lzma", packed, static_cast<int64_t>(data.size()));
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAll(stream.get()), data);
}

// A header may ask for a 4 GiB dictionary; an entry of known size decodes with
// no more dictionary than its own length.
TEST(Lzma, HugeDictionaryOfASmallEntryDecodes) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(70000, 4);
    auto packed = withoutSizeField(makeAlone(dir, data, "-1"));
    packed[1] = packed[2] = packed[3] = packed[4] = 0xFF;
    auto stream = openPropertiesFirst(u"lzma", packed, static_cast<int64_t>(data.size()));
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAll(stream.get()), data);
    ASSERT_TRUE(stream->seek(10));
    std::vector<uint8_t> tail = readAll(stream.get());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), data.begin() + 10));
}

// Without a stored size the dictionary grows with the output: a header asking
// for 4 GiB costs what the data needs, and matches reaching back across the
// buffer's growth still find their bytes.
TEST(Lzma, DictionaryGrowsWithTheOutputWhenNoSizeIsStored) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto block = sampleData(100000, 5);
    std::vector<uint8_t> data;
    for (int i = 0; i < 5; ++i) data.insert(data.end(), block.begin(), block.end());
    auto alone = makeAlone(dir, data, "--lzma1=preset=6,dict=1MiB");
    alone[1] = alone[2] = alone[3] = alone[4] = 0xFF;
    auto stream = openPropertiesFirst(u"lzma", withoutSizeField(alone), -1);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->size(), static_cast<int64_t>(data.size()));
    EXPECT_TRUE(readAll(stream.get()) == data);
    ASSERT_TRUE(stream->seek(250000));
    auto tail = readAll(stream.get());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), data.begin() + 250000, data.end()));
    EXPECT_FALSE(stream->damaged());

#if !defined(__SANITIZE_ADDRESS__)  // sanitizer builds reserve far more address space than the limit
    std::vector<uint8_t> small = sampleData(1200, 6);
    auto tiny = makeAlone(dir, small, "-6");
    tiny[1] = tiny[2] = tiny[3] = tiny[4] = 0xFF;
    writeFile(dir / "tiny.lzma", tiny.data(), tiny.size());
    std::string out = runOutput("ulimit -v 400000 && '" + cliPath() + "' cat '" + (dir / "tiny.lzma").string() +
                                "/tiny'");
    EXPECT_TRUE(std::vector<uint8_t>(out.begin(), out.end()) == small);
#endif
}

// Past the size of a large page the buffer moves to new memory: with a
// stated size straight to the whole dictionary, without one by doubling.
// Matches reaching back across each move still find their bytes.
TEST(Lzma, MatchesReachBackAcrossTheMovesOfABigDictionary) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto block = sampleData(1500000, 7);
    std::vector<uint8_t> data;
    for (int i = 0; i < 4; ++i) data.insert(data.end(), block.begin(), block.end());
    auto packed = withoutSizeField(makeAlone(dir, data, "--lzma1=preset=1,dict=8MiB"));
    for (int64_t size : {static_cast<int64_t>(data.size()), int64_t{-1}}) {
        auto stream = openPropertiesFirst(u"lzma", packed, size);
        ASSERT_TRUE(stream);
        EXPECT_TRUE(readAll(stream.get()) == data) << "size " << size;
        EXPECT_FALSE(stream->damaged());
    }
}

TEST(Lzma, RejectsBadPropertiesAndShortHeads) {
    std::vector<uint8_t> props{225, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_FALSE(openPropertiesFirst(u"lzma", props, 10));
    EXPECT_FALSE(openPropertiesFirst(u"lzma", std::vector<uint8_t>{0x5D, 0, 0}, 10));
    EXPECT_FALSE(openPropertiesFirst(u"lzma2", std::vector<uint8_t>{41, 0}, 10));
    EXPECT_FALSE(openPropertiesFirst(u"lzma2", std::vector<uint8_t>{}, 10));
    // Properties of the wrong length, even with the right bytes after them.
    const uint8_t six[] = {0x5D, 0, 0, 1, 0, 0};
    EXPECT_FALSE(openCodec(u"lzma", std::vector<uint8_t>{1, 2, 3}, 10, six));
    EXPECT_FALSE(openCodec(u"lzma", std::vector<uint8_t>{1, 2, 3}, 10, std::span(six, 4)));
    EXPECT_TRUE(openCodec(u"lzma", std::vector<uint8_t>{1, 2, 3}, 10, std::span(six, 5)));
}

TEST(Lzma, StreamWithoutEndMarkIsMeasuredToItsInput) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    auto data = sampleData(120000, 4);
    writeFile(dir / "data", data.data(), data.size());
    // A 7z archive with a plain header: its one packed stream starts at byte 32
    // and ends where the header begins; 7z writes no end mark.
    mustRun(dir, "7zz a -t7z -m0=LZMA -mhc=off -bso0 -bsp0 d.7z data");
    auto archive = readFile(dir / "d.7z");
    ASSERT_GT(archive.size(), 32u);
    int64_t packedSize = 0;
    for (int i = 7; i >= 0; --i) packedSize = packedSize << 8 | archive[12 + i];
    const uint8_t coder[] = {0x23, 0x03, 0x01, 0x01, 0x05};
    auto found = std::search(archive.begin() + 32 + packedSize, archive.end(), coder, coder + sizeof coder);
    ASSERT_NE(found, archive.end());
    auto packed = concat(std::vector<uint8_t>(found + 5, found + 10), slice(archive, 32, packedSize));
    auto stream = openPropertiesFirst(u"lzma", packed, -1);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->size(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(readAll(stream.get()), data);
}

TEST(Lzma2, DecodesRawStreams) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(400000, 5);
    auto packed = makeRawLzma2(dir, data);
    auto measured = openPropertiesFirst(u"lzma2", packed, -1);
    ASSERT_TRUE(measured);
    EXPECT_EQ(measured->size(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(readAll(measured.get()), data);

    // Incompressible data travels in uncompressed chunks.
    std::vector<uint8_t> noise(70000);
    uint32_t x = 12345;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    auto packedNoise = makeRawLzma2(dir, noise);
    auto stream = openPropertiesFirst(u"lzma2", packedNoise, static_cast<int64_t>(noise.size()));
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAll(stream.get()), noise);
}

TEST(Lzma, SeeksBackwardAndForward) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(200000, 6);
    auto lzma = openPropertiesFirst(u"lzma", withoutSizeField(makeAlone(dir, data, "-6")), -1);
    auto lzma2 = openPropertiesFirst(u"lzma2", makeRawLzma2(dir, data), -1);
    for (InStream* stream : {lzma.get(), lzma2.get()}) {
        ASSERT_TRUE(stream);
        for (int64_t at : {150000, 1000, 199999, 0, 90000, 90001, 70000}) {
            int count = static_cast<int>(std::min<int64_t>(5000, 200000 - at));
            EXPECT_EQ(readAt(stream, at, count), slice(data, at, count)) << at;
        }
        EXPECT_FALSE(stream->seek(200000));
        EXPECT_FALSE(stream->seek(-1));
    }
}

TEST(Lzma, DamagedDataEndsEarlyWithoutFault) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(100000, 7);
    auto good = withoutSizeField(makeAlone(dir, data, "-6"));
    auto good2 = makeRawLzma2(dir, data);
    for (size_t at : {size_t{6}, size_t{40}, good.size() / 2, good.size() - 3}) {
        for (const auto* original : {&good, &good2}) {
            auto bad = *original;
            if (at >= bad.size()) continue;
            bad[at] ^= 0x55;
            auto codec = original == &good ? u"lzma" : u"lzma2";
            auto stream = openPropertiesFirst(codec, bad, static_cast<int64_t>(data.size()));
            // Whatever is decoded, the damage shows: short or different data.
            if (stream) EXPECT_NE(readAll(stream.get()), data) << at;
            auto measured = openPropertiesFirst(codec, bad, -1);
            if (measured) EXPECT_NE(readAll(measured.get()), data) << at;
        }
    }
    // Cut short: the size promised is not reached.
    auto cut = std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2);
    auto stream = openPropertiesFirst(u"lzma", cut, static_cast<int64_t>(data.size()));
    ASSERT_TRUE(stream);
    EXPECT_LT(readAll(stream.get()).size(), data.size());
}

}  // namespace
}  // namespace zorvex::test
