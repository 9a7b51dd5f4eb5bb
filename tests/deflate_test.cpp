// The "deflate" codec: raw Deflate data made by zlib, decoded through the
// codec registry as the archive readers do.
#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "engine/codec.h"
#include "engine/stream.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

std::vector<uint8_t> rawDeflate(const std::vector<uint8_t>& data, int level = 6) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out(deflateBound(&zs, data.size()));
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

Ref<InStream> memoryOf(const std::vector<uint8_t>& bytes) {
    return Ref<InStream>(MemoryStream::create(u"mem", nullptr, 0, bytes.data(), bytes.size()));
}

// A deflate stream over `packed`, which sits at offset 3 of its source.
Ref<InStream> inflateOver(const std::vector<uint8_t>& packed, int64_t size, Ref<InStream>* keepSource) {
    std::vector<uint8_t> framed = {0xAA, 0xBB, 0xCC};
    framed.insert(framed.end(), packed.begin(), packed.end());
    framed.push_back(0xDD);  // a byte after the data that must not be read as data
    *keepSource = memoryOf(framed);
    Codec* codec = findCodec(u"Deflate");
    EXPECT_NE(codec, nullptr);
    return test::openCodec(u"Deflate", keepSource->get(), 3, static_cast<int64_t>(packed.size()), size);
}

TEST(Deflate, DecodesAcrossManyWindowsAndInputPieces) {
    std::vector<uint8_t> data = test::sampleData(300000, 1);
    Ref<InStream> source;
    Ref<InStream> s = inflateOver(rawDeflate(data), static_cast<int64_t>(data.size()), &source);
    ASSERT_TRUE(s);
    EXPECT_EQ(test::readAll(s.get()), data);
    EXPECT_EQ(s->tell(), static_cast<int64_t>(data.size()));
}

// A source that hands out one byte per read: every decoding step then stops
// at a different point of the bit stream and must resume exactly there.
class OneByteAtATime final : public InStream {
public:
    explicit OneByteAtATime(std::vector<uint8_t> bytes) : InStream(u"trickle", nullptr, 0), bytes_(std::move(bytes)) {}
    int64_t tell() override { return position_; }
    bool seek(int64_t position) override {
        if (position < 0 || position > static_cast<int64_t>(bytes_.size())) return false;
        position_ = position;
        return true;
    }
    int read(void* buf, int count) override {
        if (count <= 0 || position_ >= static_cast<int64_t>(bytes_.size())) return 0;
        *static_cast<uint8_t*>(buf) = bytes_[static_cast<size_t>(position_++)];
        return 1;
    }
    int64_t size() override { return static_cast<int64_t>(bytes_.size()); }

private:
    std::vector<uint8_t> bytes_;
    int64_t position_ = 0;
};

TEST(Deflate, ResumesAtEveryInputByte) {
    // Matches reaching far back across output windows, in several blocks.
    std::vector<uint8_t> data = test::sampleData(120000, 6);
    for (size_t i = 40000; i < data.size(); i += 3) data[i] = data[i - 32000];
    std::vector<uint8_t> packed = rawDeflate(data, 9);
    Ref<InStream> source(new OneByteAtATime(packed));
    Ref<InStream> s(test::openCodec(u"deflate", source.get(), 0, static_cast<int64_t>(packed.size()), -1));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(test::readAll(s.get()), data);

    std::vector<uint8_t> cut(packed.begin(), packed.end() - 100);
    Ref<InStream> shortSource(new OneByteAtATime(cut));
    Ref<InStream> shortStream(test::openCodec(u"deflate", shortSource.get(), 0, static_cast<int64_t>(cut.size()),
                                              static_cast<int64_t>(data.size())));
    ASSERT_TRUE(shortStream);
    EXPECT_LT(test::readAll(shortStream.get()).size(), data.size());
}

// A gzip member met a byte at a time, as a pipe may give its first bytes,
// with a name and a comment in its header.
TEST(Deflate, GzipHeaderSplitBetweenReads) {
    std::vector<uint8_t> data = test::sampleData(50000, 7);
    z_stream zs{};
    ASSERT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    char name[] = "t.tar", comment[] = "made in pieces";
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(name);
    header.comment = reinterpret_cast<Bytef*>(comment);
    ASSERT_EQ(deflateSetHeader(&zs, &header), Z_OK);
    std::vector<uint8_t> packed(deflateBound(&zs, data.size()) + 64);
    zs.next_in = data.data();
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = packed.data();
    zs.avail_out = static_cast<uInt>(packed.size());
    ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    packed.resize(zs.total_out);
    deflateEnd(&zs);
    Ref<InStream> source(new OneByteAtATime(packed));
    Ref<InStream> s(test::openCodec(u"gzip", source.get(), 0, static_cast<int64_t>(packed.size()), -1));
    ASSERT_TRUE(s);
    EXPECT_EQ(test::readAll(s.get()), data);
    EXPECT_FALSE(s->damaged());
}

TEST(Deflate, UnknownSizeIsMeasuredAndTheStreamReadsFromItsStart) {
    std::vector<uint8_t> data = test::sampleData(70000, 2);
    Ref<InStream> source;
    Ref<InStream> s = inflateOver(rawDeflate(data), -1, &source);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(s->tell(), 0);
    EXPECT_EQ(test::readAll(s.get()), data);
}

TEST(Deflate, EmptyAndStoredBlocks) {
    Ref<InStream> source;
    Ref<InStream> empty = inflateOver(rawDeflate({}), -1, &source);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0);

    std::vector<uint8_t> noise(50000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    Ref<InStream> stored = inflateOver(rawDeflate(noise, 0), static_cast<int64_t>(noise.size()), &source);
    ASSERT_TRUE(stored);
    EXPECT_EQ(test::readAll(stored.get()), noise);
}

TEST(Deflate, SeeksBackwardsAndForwards) {
    std::vector<uint8_t> data = test::sampleData(100000, 3);
    Ref<InStream> source;
    Ref<InStream> s = inflateOver(rawDeflate(data), static_cast<int64_t>(data.size()), &source);
    ASSERT_TRUE(s);
    std::vector<uint8_t> buf(1000);
    for (int64_t at : {90000, 10, 50000, 49000, 99999}) {
        ASSERT_TRUE(s->seek(at)) << at;
        int n = s->read(buf.data(), 1000);
        ASSERT_EQ(n, static_cast<int>(std::min<int64_t>(1000, data.size() - at)));
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + n, data.begin() + at)) << at;
    }
    EXPECT_FALSE(s->seek(100000));
}

// Data that ends early, or is damaged, must never pass for a whole entry: the
// stream delivers fewer bytes than its size and ends without hanging.
TEST(Deflate, TruncatedOrCorruptDataReadsShort) {
    std::vector<uint8_t> data = test::sampleData(200000, 4);
    std::vector<uint8_t> packed = rawDeflate(data);
    Ref<InStream> source;

    std::vector<uint8_t> half(packed.begin(), packed.begin() + packed.size() / 2);
    Ref<InStream> cut = inflateOver(half, static_cast<int64_t>(data.size()), &source);
    ASSERT_TRUE(cut);
    std::vector<uint8_t> got = test::readAll(cut.get());
    EXPECT_LT(got.size(), data.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));

    std::vector<uint8_t> damaged = packed;
    for (size_t i = 100; i < damaged.size(); i += 97) damaged[i] ^= 0x5A;
    Ref<InStream> bad = inflateOver(damaged, static_cast<int64_t>(data.size()), &source);
    ASSERT_TRUE(bad);
    std::vector<uint8_t> garbage = test::readAll(bad.get());
    EXPECT_LT(garbage.size(), data.size());

    // A measured size of cut data is what could be decoded, not more.
    Ref<InStream> measured = inflateOver(half, -1, &source);
    ASSERT_TRUE(measured);
    EXPECT_EQ(measured->size(), static_cast<int64_t>(got.size()));
    EXPECT_TRUE(measured->damaged());
}

TEST(Deflate, StatedSizeShorterThanTheDataCapsTheStream) {
    std::vector<uint8_t> data = test::sampleData(5000, 5);
    Ref<InStream> source;
    Ref<InStream> s = inflateOver(rawDeflate(data), 1234, &source);
    ASSERT_TRUE(s);
    std::vector<uint8_t> got = test::readAll(s.get());
    EXPECT_EQ(got, std::vector<uint8_t>(data.begin(), data.begin() + 1234));
}

}  // namespace
}  // namespace zorvex
