// BCJ2 on hand-made streams (the range coder's first decision forced either
// way), and the PPMd codecs' property checks, model memory bound, zip
// method 98 entries and large entries.
#include <gtest/gtest.h>

#include <vector>

#include "codecs/ppmd/ppmd.h"
#include "engine/pipeline.h"
#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex::test {
namespace {

// Range-coder data whose first decision is 1 (code above any bound) or 0.
const std::vector<uint8_t> kDecideOne = {0, 0xFF, 0xFF, 0xFF, 0xFF};
const std::vector<uint8_t> kDecideZero = {0, 0, 0, 0, 0};

// BCJ2's four inputs, laid out back to back in one source as a 7z folder's
// packed streams are.
struct Bcj2Input {
    Ref<InStream> source;
    CodecWindow windows[4];
};

Bcj2Input bcj2Input(const std::vector<uint8_t>& main, const std::vector<uint8_t>& call,
                    const std::vector<uint8_t>& jump, const std::vector<uint8_t>& range) {
    std::vector<uint8_t> all;
    Bcj2Input input;
    int i = 0;
    for (const auto* part : {&main, &call, &jump, &range}) {
        input.windows[i++] = {nullptr, static_cast<int64_t>(all.size()), static_cast<int64_t>(part->size())};
        all.insert(all.end(), part->begin(), part->end());
    }
    input.source = memorySource(all);
    for (CodecWindow& window : input.windows) window.stream = input.source.get();
    return input;
}

Ref<InStream> openBcj2(const Bcj2Input& input, int64_t size, size_t inputCount = 4) {
    CodecRequest request;
    request.method = u"bcj2";
    request.inputs = std::span(input.windows, inputCount);
    request.unpackedSize = size;
    return Ref<InStream>(openCodecStream(request));
}

std::vector<uint8_t> decodeBcj2(const Bcj2Input& input, int64_t size) {
    Ref<InStream> stream = openBcj2(input, size);
    if (!stream) return {0xDE, 0xAD};
    return readAll(stream.get());
}

TEST(Bcj2, ConvertedCallTakesItsTargetFromTheCallStream) {
    // Target 0x106 seen from output position 2 + 4: relative 0x100.
    auto input = bcj2Input({0x90, 0xE8}, {0, 0, 1, 6}, {}, kDecideOne);
    EXPECT_EQ(decodeBcj2(input, 6), (std::vector<uint8_t>{0x90, 0xE8, 0x00, 0x01, 0x00, 0x00}));
}

TEST(Bcj2, ConditionalJumpTakesItsTargetFromTheJumpStream) {
    auto input = bcj2Input({0x0F, 0x85}, {0, 0, 0, 0x40}, {0, 0, 0, 0x10}, kDecideOne);
    EXPECT_EQ(decodeBcj2(input, 6), (std::vector<uint8_t>{0x0F, 0x85, 0x0A, 0, 0, 0}));
}

TEST(Bcj2, UnconvertedOpcodeKeepsItsBytes) {
    auto input = bcj2Input({0xE8, 1, 2, 3, 4}, {}, {}, kDecideZero);
    EXPECT_EQ(decodeBcj2(input, 5), (std::vector<uint8_t>{0xE8, 1, 2, 3, 4}));
}

// A last E8 with a "converted" decision and no call bytes left ends the
// output after the E8: the entry reads short.
TEST(Bcj2, MissingTargetEndsTheOutputAfterTheOpcode) {
    auto input = bcj2Input({0x41, 0xE8}, {}, {}, kDecideOne);
    EXPECT_EQ(decodeBcj2(input, 6), (std::vector<uint8_t>{0x41, 0xE8}));
}

TEST(Bcj2, StopsAndResumesInsideAnOperandAndAfterSeeks) {
    auto input = bcj2Input({0xE8, 0x90, 0xE8}, {0, 0, 0, 9, 0, 0, 0, 0x20}, {}, kDecideOne);
    Ref<InStream> whole = openBcj2(input, 11);
    ASSERT_TRUE(whole);
    std::vector<uint8_t> expected = readAll(whole.get());
    ASSERT_EQ(expected.size(), 11u);
    Ref<InStream> stream = openBcj2(input, 11);
    std::vector<uint8_t> pieces;
    uint8_t byte;
    while (stream->read(&byte, 1) == 1) pieces.push_back(byte);
    EXPECT_EQ(pieces, expected);
    EXPECT_EQ(readAt(stream.get(), 0, 11), expected);
    EXPECT_EQ(readAt(stream.get(), 3, 4), slice(expected, 3, 4));
    EXPECT_EQ(readAt(stream.get(), 1, 2), slice(expected, 1, 2));
}

TEST(Bcj2, NeedsItsFourInputsAndItsSize) {
    auto input = bcj2Input({0x90}, {}, {}, kDecideZero);
    EXPECT_TRUE(openBcj2(input, 1));
    EXPECT_FALSE(openBcj2(input, 1, 3));
    EXPECT_FALSE(openBcj2(input, -1));
    auto missing = input;
    missing.windows[2].stream = nullptr;
    EXPECT_FALSE(openBcj2(missing, 1));
    auto negative = input;
    negative.windows[1].size = -1;
    EXPECT_FALSE(openBcj2(negative, 1));
}

// ---- PPMd -------------------------------------------------------------------

std::vector<uint8_t> ppmdHProperties(uint8_t order, uint32_t memory) {
    return {order, uint8_t(memory), uint8_t(memory >> 8), uint8_t(memory >> 16), uint8_t(memory >> 24)};
}

// Writes `size` bytes of sample text to t.txt in `dir`, runs the 7zz command
// that packs it, and returns the text.
std::vector<uint8_t> packSample(const TempDir& dir, size_t size, uint32_t seed, const std::string& packCommand) {
    std::vector<uint8_t> text = sampleData(size, seed);
    writeFile(dir / "t.txt", text.data(), text.size());
    mustRun(dir, packCommand + " >/dev/null");
    return text;
}

TEST(Ppmd, PropertiesOutsideTheirRangesAreRefused) {
    std::vector<uint8_t> data = {0, 1, 2, 3, 4, 5};
    EXPECT_TRUE(openPropertiesFirst(u"ppmd-h", concat(ppmdHProperties(2, 2048), data), 10));
    EXPECT_FALSE(openPropertiesFirst(u"ppmd-h", concat(ppmdHProperties(1, 1 << 20), data), 10));
    EXPECT_FALSE(openPropertiesFirst(u"ppmd-h", concat(ppmdHProperties(65, 1 << 20), data), 10));
    EXPECT_FALSE(openPropertiesFirst(u"ppmd-h", concat(ppmdHProperties(6, 2047), data), 10));
    EXPECT_FALSE(openPropertiesFirst(u"ppmd-h", concat(ppmdHProperties(6, 0xFFFFFFDC), data), 10));
    EXPECT_FALSE(openPropertiesFirst(u"ppmd-h", ppmdHProperties(6, 1 << 20), 10));
    EXPECT_TRUE(openCodec(u"ppmd-i", concat({0x15, 0x10}, data), 10));
    EXPECT_FALSE(openCodec(u"ppmd-i", concat({0x00, 0x20}, data), 10));  // restore method 2
    EXPECT_FALSE(openCodec(u"ppmd-i", concat({0x10, 0x00}, data), 10));  // order 1
}

TEST(Ppmd, VariantHWithoutLeadingZeroDeliversNothing) {
    Ref<InStream> stream = openPropertiesFirst(u"ppmd-h", concat(ppmdHProperties(6, 1 << 20), {1, 2, 3, 4, 5, 6}), 10);
    ASSERT_TRUE(stream);
    EXPECT_TRUE(readAll(stream.get()).empty());
}

// A small entry never gets gigabytes of model, a large one keeps what it
// declared; entries made with a huge model still decode exactly.
TEST(Ppmd, ModelMemoryIsBoundedByTheOutput) {
    EXPECT_LT(ppmdHModelSize(0xFFFFFFDB, 64, 100), 4u << 20);
    EXPECT_LT(ppmdHModelSize(0xFFFFFFDB, 47, 15 << 10), 256u << 20);
    EXPECT_EQ(ppmdHModelSize(16u << 20, 6, 1 << 30), 16u << 20);
    EXPECT_EQ(ppmdHModelSize(1u << 30, 6, -1), 1u << 30);
    REQUIRE_TOOL("7zz");
    TempDir dir;
    for (auto [order, size] : {std::pair{4u, 20000}, {32u, 60000}}) {
        SCOPED_TRACE(order);
        EXPECT_LT(ppmdHModelSize(1u << 30, order, size), 1u << 30);  // the bound is in force
        fs::remove(dir / "a.7z");
        std::vector<uint8_t> text =
            packSample(dir, size, order, "7zz a -bso0 -m0=PPMd:o=" + std::to_string(order) + ":mem=1024m a.7z t.txt");
        EXPECT_EQ(entryData(insidePath(dir / "a.7z", "t.txt")), text);
    }
}

TEST(Ppmd, ZipMethod98EntriesRead) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    std::vector<uint8_t> text = packSample(dir, 150000, 4, "7zz a -bso0 -tzip -mm=PPMd -mo=8 -mmem=24 a.zip t.txt");
    Ref<InStream> stream(openStreamPath(insidePath(dir / "a.zip", "t.txt").c_str()));
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAll(stream.get()), text);
    EXPECT_EQ(readAt(stream.get(), 1000, 500), slice(text, 1000, 500));
}

// Entries of a megabyte and more get their model on large pages where the
// system has them: both variants still decode exactly, also after a seek
// back that sets the model up again.
TEST(Ppmd, LargeEntriesDecodeExactly) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    std::vector<uint8_t> text = packSample(dir, 3 << 20, 6, "7zz a -bso0 -m0=PPMd:o=6:mem=16m a.7z t.txt");
    mustRun(dir, "7zz a -bso0 -tzip -mm=PPMd -mo=6 -mmem=24 a.zip t.txt >/dev/null");
    for (const char* archive : {"a.7z", "a.zip"}) {
        SCOPED_TRACE(archive);
        Ref<InStream> stream(openStreamPath(insidePath(dir / archive, "t.txt").c_str()));
        ASSERT_TRUE(stream);
        EXPECT_EQ(readAll(stream.get()), text);
        EXPECT_EQ(readAt(stream.get(), 2 << 20, 4096), slice(text, 2 << 20, 4096));
    }
}

// A zip method 98 entry whose packed data is cut short never reads whole,
// and one whose packed data is changed fails `zorvex test`.
TEST(Ppmd, CutOrChangedDataIsNeverWhole) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    std::vector<uint8_t> text = packSample(dir, 200000, 8, "7zz a -bso0 -tzip -mm=PPMd -mo=6 a.zip t.txt");
    std::vector<uint8_t> zip = readFile(dir / "a.zip");
    const size_t dataStart = 30 + (zip[26] | zip[27] << 8) + (zip[28] | zip[29] << 8);
    const size_t packedSize = zip[18] | zip[19] << 8 | zip[20] << 16 | size_t(zip[21]) << 24;
    ASSERT_LT(dataStart + packedSize, zip.size());

    std::vector<uint8_t> cut = slice(zip, dataStart, packedSize / 2);
    Ref<InStream> stream = openCodec(u"ppmd-i", cut, static_cast<int64_t>(text.size()));
    ASSERT_TRUE(stream);
    EXPECT_LT(readAll(stream.get()).size(), text.size());

    for (size_t i = dataStart + packedSize / 2; i < dataStart + packedSize / 2 + 8; ++i) zip[i] ^= 0x5A;
    writeFile(dir / "changed.zip", zip.data(), zip.size());
    EXPECT_NE(run("'" + cliPath() + "' test '" + (dir / "changed.zip").string() + "' >/dev/null 2>&1"), 0);
}

}  // namespace
}  // namespace zorvex::test
