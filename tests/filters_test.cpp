#include <gtest/gtest.h>

#include "engine/pipeline.h"
#include "tests/codec_fixtures.h"

namespace zorvex::test {
namespace {

// Applies one xz filter to `data` and returns the filtered bytes (the stage
// before compression): the data is packed with the filter and LZMA2, and
// only the LZMA2 stage is undone.
const char* const kFilterScript = R"(
import lzma, sys
data = open(sys.argv[1], 'rb').read()
f = {'id': int(sys.argv[3])}
if f['id'] == lzma.FILTER_DELTA:
    f['dist'] = int(sys.argv[4])
elif int(sys.argv[4]):
    f['start_offset'] = int(sys.argv[4])
lz = {'id': lzma.FILTER_LZMA2, 'preset': 0}
packed = lzma.compress(data, format=lzma.FORMAT_RAW, filters=[f, lz])
open(sys.argv[2], 'wb').write(lzma.decompress(packed, format=lzma.FORMAT_RAW, filters=[lz]))
)";

std::vector<uint8_t> applyFilter(const TempDir& dir, const std::vector<uint8_t>& data, int filterId,
                                 uint32_t argument) {
    writeFile(dir / "filter.py", kFilterScript);
    writeFile(dir / "in", data.data(), data.size());
    EXPECT_EQ(run("cd '" + dir.path().string() + "' && python3 filter.py in out " + std::to_string(filterId) +
                  " " + std::to_string(argument)),
              0);
    return readFile(dir / "out");
}

// Text with stretches of noise, so that every architecture's branch
// patterns turn up; an odd length leaves a short final piece.
std::vector<uint8_t> codeLikeData() {
    auto data = sampleData(100003, 11);
    uint32_t x = 99;
    for (size_t i = 0; i < data.size(); ++i)
        if ((i / 4096) % 2 == 1) data[i] = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    return data;
}

// The filter's stream over `filtered`, converted against `startOffset`.
Ref<InStream> openBranch(const char16_t* codec, const std::vector<uint8_t>& filtered, uint32_t startOffset) {
    Ref<InStream> source = memorySource(filtered);
    CodecRequest request;
    request.method = codec;
    request.source = source.get();
    request.packedSize = static_cast<int64_t>(filtered.size());
    request.startOffset = startOffset;
    return Ref<InStream>(openCodecStream(request));
}

struct Branch {
    const char16_t* codec;
    int xzFilterId;
    uint32_t startOffset;
};

const Branch kBranches[] = {
    {u"bcj", 4, 0x12345}, {u"ppc", 5, 0x12340},  {u"ia64", 6, 0x12340},
    {u"arm", 7, 0x12340}, {u"armt", 8, 0x12342}, {u"sparc", 9, 0x12340},
};

TEST(Filters, BranchConvertersUndoTheirEncoders) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    auto data = codeLikeData();
    for (const Branch& branch : kBranches) {
        SCOPED_TRACE(branch.xzFilterId);
        auto filtered = applyFilter(dir, data, branch.xzFilterId, 0);
        ASSERT_EQ(filtered.size(), data.size());
        EXPECT_NE(filtered, data);  // the data really has branches to convert
        auto plain = openCodec(branch.codec, filtered, -1);
        ASSERT_TRUE(plain);
        EXPECT_EQ(plain->size(), static_cast<int64_t>(data.size()));
        EXPECT_EQ(readAll(plain.get()), data);

        auto shifted = applyFilter(dir, data, branch.xzFilterId, branch.startOffset);
        EXPECT_NE(shifted, filtered);
        auto withOffset = openBranch(branch.codec, shifted, branch.startOffset);
        ASSERT_TRUE(withOffset);
        EXPECT_EQ(withOffset->size(), static_cast<int64_t>(data.size()));
        EXPECT_EQ(readAll(withOffset.get()), data);
    }
}

TEST(Filters, DeltaUndoesItsEncoder) {
    EXPECT_EQ(readAll(openPropertiesFirst(u"delta", std::vector<uint8_t>{0, 1, 1, 1}, -1).get()),
              (std::vector<uint8_t>{1, 2, 3}));
    REQUIRE_TOOL("python3");
    TempDir dir;
    auto data = codeLikeData();
    for (int distance : {1, 4, 7, 256}) {
        auto filtered = applyFilter(dir, data, 3, distance);
        auto stream = openPropertiesFirst(u"delta", concat({static_cast<uint8_t>(distance - 1)}, filtered), -1);
        ASSERT_TRUE(stream);
        EXPECT_EQ(readAll(stream.get()), data) << distance;
    }
}

TEST(Filters, HeadersAndShortPieces) {
    // Branch filters take no property bytes (their start offset has a field
    // of its own); delta takes exactly one.
    const uint8_t properties[] = {1, 2, 3, 4};
    EXPECT_FALSE(openCodec(u"arm", std::vector<uint8_t>{1, 2, 3}, -1, properties));
    EXPECT_FALSE(openCodec(u"bcj", std::vector<uint8_t>{1, 2, 3}, -1, properties));
    EXPECT_FALSE(openCodec(u"delta", std::vector<uint8_t>{1, 2, 3}, -1));
    EXPECT_FALSE(openCodec(u"delta", std::vector<uint8_t>{1, 2, 3}, -1, properties));
    auto empty = openBranch(u"bcj", {}, 0x1000);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0);
    EXPECT_TRUE(readAll(empty.get()).empty());

    // One ARM call (target 0x40 from position 0) and a 3-byte tail that stays as it is.
    auto arm = openCodec(u"arm", std::vector<uint8_t>{0x10, 0, 0, 0xEB, 0x01, 0x00, 0xEB}, -1);
    EXPECT_EQ(readAll(arm.get()), (std::vector<uint8_t>{0x0E, 0, 0, 0xEB, 0x01, 0x00, 0xEB}));
    // x86 data shorter than one instruction passes through.
    auto bcj = openCodec(u"bcj", std::vector<uint8_t>{0xE8, 1, 2, 3}, -1);
    EXPECT_EQ(readAll(bcj.get()), (std::vector<uint8_t>{0xE8, 1, 2, 3}));
}

TEST(Filters, SeeksReplayTheConversion) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    auto data = codeLikeData();
    auto bcj = openCodec(u"bcj", applyFilter(dir, data, 4, 0), -1);
    auto delta = openPropertiesFirst(u"delta", concat({3}, applyFilter(dir, data, 3, 4)), -1);
    for (InStream* stream : {bcj.get(), delta.get()}) {
        ASSERT_TRUE(stream);
        EXPECT_EQ(readAll(stream), data);
        ASSERT_TRUE(stream->rewind());
        EXPECT_EQ(readAll(stream), data);
        for (int64_t at : {90000, 89990, 20000, 50000, 0, 100002, 16383, 16384}) {
            int count = static_cast<int>(std::min<int64_t>(3000, 100003 - at));
            EXPECT_EQ(readAt(stream, at, count), slice(data, at, count)) << at;
        }
        EXPECT_FALSE(stream->seek(100003));
    }
}

TEST(Filters, StackOverADecoderStream) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = codeLikeData();
    writeFile(dir / "data", data.data(), data.size());
    mustRun(dir, "xz --format=raw --x86 --lzma2=dict=1MiB -c data > raw");
    auto packed = concat({16}, readFile(dir / "raw"));
    auto lzma2 = openPropertiesFirst(u"lzma2", packed, -1);
    ASSERT_TRUE(lzma2);
    auto bcj = openCodec(u"bcj", lzma2.get(), 0, lzma2->size(), lzma2->size());
    ASSERT_TRUE(bcj);
    EXPECT_EQ(readAll(bcj.get()), data);
}

}  // namespace
}  // namespace zorvex::test
