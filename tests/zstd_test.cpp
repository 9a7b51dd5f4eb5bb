// The "zstd" codec and .zst files: what the zstd tool writes, frames of every
// kind, damage of every kind, and windows larger than the data can justify.
#include <gtest/gtest.h>

#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"

namespace zorvex::test {
namespace {

// Packs `data` with zstd; from standard input the frame states no content size.
std::vector<uint8_t> makeZstd(const TempDir& dir, const std::vector<uint8_t>& data, const std::string& options,
                              bool fromStdin = false) {
    writeFile(dir / "data", data.data(), data.size());
    std::string input = fromStdin ? " < data" : " data";
    EXPECT_EQ(run("cd '" + dir.path().string() + "' && zstd -q -c " + options + input + " > data.zst"), 0) << options;
    return readFile(dir / "data.zst");
}

void expectDecodes(const std::vector<uint8_t>& packed, const std::vector<uint8_t>& data, const std::string& what) {
    Ref<InStream> stream = openCodec(u"zstd", packed, -1);
    ASSERT_TRUE(stream) << what;
    EXPECT_EQ(stream->size(), static_cast<int64_t>(data.size())) << what;
    EXPECT_TRUE(readAll(stream.get()) == data) << what;
}

// Damage must show: the stream does not open, delivers less than its size, or
// says it is damaged.
void expectDamaged(const std::vector<uint8_t>& packed, int64_t statedSize, const std::string& what) {
    Ref<InStream> stream = openCodec(u"zstd", packed, statedSize);
    if (!stream) return;
    auto delivered = static_cast<int64_t>(readAll(stream.get()).size());
    EXPECT_TRUE(stream->damaged() || delivered < stream->size()) << what;
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

std::vector<uint8_t> skippableFrame(uint8_t magicLowNibble, const std::string& payload) {
    std::vector<uint8_t> frame = {static_cast<uint8_t>(0x50 | magicLowNibble), 0x2A, 0x4D, 0x18};
    uint32_t size = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<uint8_t>(size >> (8 * i)));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// A frame of `blocks` RLE blocks of 128 KiB, without content size or
// checksum, whose window is 2^windowLog bytes.
std::vector<uint8_t> rleFrame(int windowLog, int blocks) {
    std::vector<uint8_t> frame = {0x28, 0xB5, 0x2F, 0xFD, 0x00, static_cast<uint8_t>((windowLog - 10) << 3)};
    for (int i = 0; i < blocks; ++i) {
        uint32_t header = (uint32_t{1} << 17) << 3 | 1 << 1 | (i + 1 == blocks ? 1 : 0);
        for (int b = 0; b < 3; ++b) frame.push_back(static_cast<uint8_t>(header >> (8 * b)));
        frame.push_back('z');
    }
    return frame;
}

TEST(Zstd, DecodesWhatTheToolWrites) {
    REQUIRE_TOOL("zstd");
    TempDir dir;
    auto data = sampleData(1 << 20, 81);
    for (const char* options : {"-1", "-19", "--no-check", "-3 --format=zstd"})
        expectDecodes(makeZstd(dir, data, options), data, options);
    expectDecodes(makeZstd(dir, data, "-3", true), data, "no content size");
    expectDecodes(makeZstd(dir, {}, ""), {}, "empty");
    expectDecodes(makeZstd(dir, {'x'}, "", true), {'x'}, "one byte");

    // Seeking back restarts decoding; forward skips.
    Ref<InStream> stream = openCodec(u"zstd", makeZstd(dir, data, "-5"), -1);
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAt(stream.get(), 700000, 5000), slice(data, 700000, 5000));
    EXPECT_EQ(readAt(stream.get(), 1000, 5000), slice(data, 1000, 5000));
}

// A long-distance window stated in a stream of unknown size is allowed when
// the packed data is large enough to fill it.
TEST(Zstd, LargeWindowsOfLargeStreams) {
    REQUIRE_TOOL("zstd");
    TempDir dir;
    auto data = sampleData(3 << 20, 82);
    expectDecodes(makeZstd(dir, data, "--long=30 -1", true), data, "--long=30");
}

TEST(Zstd, SkippableAndConcatenatedFrames) {
    REQUIRE_TOOL("zstd");
    TempDir dir;
    auto first = sampleData(200000, 83);
    auto second = sampleData(50000, 84);
    std::vector<uint8_t> packed = skippableFrame(0, "leading metadata");
    append(packed, makeZstd(dir, first, "-3"));
    append(packed, skippableFrame(0xF, ""));
    append(packed, makeZstd(dir, second, "-3", true));
    append(packed, skippableFrame(7, std::string(3000, 's')));
    expectDecodes(packed, concat(first, second), "frames");
}

TEST(Zstd, DamageIsAnErrorNeverAShortEntry) {
    REQUIRE_TOOL("zstd");
    TempDir dir;
    auto data = sampleData(300000, 85);
    for (bool streamed : {false, true}) {
        std::string kind = streamed ? "no content size" : "content size";
        auto packed = makeZstd(dir, data, "-3", streamed);
        // The frame checksum is the last 4 bytes.
        auto badChecksum = packed;
        badChecksum[badChecksum.size() - 2] ^= 0x40;
        expectDamaged(badChecksum, -1, kind + ", checksum");
        expectDamaged(badChecksum, static_cast<int64_t>(data.size()), kind + ", checksum, size given");
        for (size_t keep : {size_t(3), size_t(9), packed.size() / 3, packed.size() - 5, packed.size() - 1}) {
            std::vector<uint8_t> cut(packed.begin(), packed.begin() + keep);
            expectDamaged(cut, -1, kind + ", cut to " + std::to_string(keep));
        }
        auto junk = packed;
        append(junk, {'j', 'u', 'n', 'k', 0, 0, 0, 0});
        expectDamaged(junk, -1, kind + ", junk after the frame");
    }

    // Through the engine a cut .zst fails to read whole, whether its size
    // comes from the frame or from decoding.
    for (bool streamed : {false, true}) {
        auto packed = makeZstd(dir, data, "-3", streamed);
        fs::path folder = dir / (streamed ? "stream" : "file");
        writeFile(folder / "cut.zst", packed.data(), packed.size() / 2);
        EXPECT_FALSE(entryData(insidePath(folder / "cut.zst", "cut"))) << streamed;
        writeFile(folder / "whole.zst", packed.data(), packed.size());
        EXPECT_TRUE(entryData(insidePath(folder / "whole.zst", "whole")) == data) << streamed;
    }
}

// The entry's size is what the frames state, skippable frames counting for
// nothing; a frame that states more than it holds is an error.
TEST(Zstd, FileSizeFromTheFrameHeaders) {
    REQUIRE_TOOL("zstd");
    TempDir dir;
    auto first = sampleData(70000, 86);
    auto second = sampleData(1000, 87);
    std::vector<uint8_t> packed = makeZstd(dir, first, "-1");
    append(packed, skippableFrame(3, "between"));
    append(packed, makeZstd(dir, second, "--no-check"));
    writeFile(dir / "two.zst", packed.data(), packed.size());
    Ref<Archive> archive(openArchivePath(insidePath(dir / "two.zst").c_str()));
    ASSERT_TRUE(archive);
    ASSERT_EQ(archive->fileCount(), 1);
    EXPECT_EQ(archive->fileSize(0), 71000);
    EXPECT_TRUE(entryData(insidePath(dir / "two.zst", "two")) == concat(first, second));

    // The 4-byte content size field (descriptor 0x80) made larger.
    auto lying = makeZstd(dir, first, "-1");
    ASSERT_EQ(lying[4] & 0xC0, 0x80);
    lying[6] += 1;
    writeFile(dir / "lying.zst", lying.data(), lying.size());
    EXPECT_FALSE(entryData(insidePath(dir / "lying.zst", "lying")));
}

// A 100-byte frame asking for a 2 GiB window can never fill it: it is
// refused rather than allocated. The same frame with a small window decodes.
TEST(Zstd, HugeWindowInATinyFrameIsRefused) {
    auto small = rleFrame(20, 24);
    expectDecodes(small, std::vector<uint8_t>(24 << 17, 'z'), "1 MiB window");
    auto huge = rleFrame(31, 24);
    ASSERT_LE(huge.size(), 110u);
    Ref<InStream> stream = openCodec(u"zstd", huge, -1);
    if (stream) EXPECT_TRUE(readAll(stream.get()).empty());
}

}  // namespace
}  // namespace zorvex::test
