// Entry streams checked against what their archive stores: damage is
// reported when, and only when, the data read from start to end fails it.
// (BLAKE2sp digests are checked on real RAR 5 archives in rar_test.cpp.)
#include "engine/checked_stream.h"

#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "engine/crc32.h"
#include "test_util.h"

namespace zorvex::test {
namespace {

// A memory stream whose size only reading to the end tells, as a decoder's
// without a stored size.
class SizeUnknownStream final : public InStream {
public:
    explicit SizeUnknownStream(const std::vector<uint8_t>& bytes)
        : InStream(u"unsized", nullptr, 0), memory_(memorySource(bytes)) {}
    int64_t tell() override { return memory_->tell(); }
    bool seek(int64_t position) override { return memory_->seek(position); }
    int read(void* buf, int count) override { return memory_->read(buf, count); }
    int64_t size() override { return memory_->size(); }
    int64_t knownSize() override { return -1; }

private:
    Ref<InStream> memory_;
};

uint32_t crcOf(const std::vector<uint8_t>& data) { return crc32Update(0, data.data(), data.size()); }

Ref<InStream> checked(InStream* source, uint32_t crc) { return Ref<InStream>(openChecked(source, {crc, {}})); }

TEST(CheckedStream, DataThatMatchesIsNeverDamagedWhateverTheReads) {
    auto data = sampleData(100000, 3);
    for (bool sized : {true, false}) {
        SCOPED_TRACE(sized ? "size known" : "size unknown");
        InStream* source = sized ? memorySource(data).detach() : new SizeUnknownStream(data);
        Ref<InStream> stream = checked(source, crcOf(data));
        ASSERT_TRUE(stream);
        // The second half first, then from the start across what was read.
        EXPECT_EQ(readAt(stream.get(), 50000, 50000), slice(data, 50000, 50000));
        EXPECT_EQ(readAt(stream.get(), 0, 70000), slice(data, 0, 70000));
        EXPECT_EQ(readAt(stream.get(), 60000, 40000), slice(data, 60000, 40000));
        EXPECT_EQ(readInPieces(stream.get(), 4096), std::vector<uint8_t>{});
        EXPECT_FALSE(stream->damaged());
    }
}

TEST(CheckedStream, OtherDataIsDamagedOnceReadToItsEnd) {
    auto data = sampleData(100000, 4);
    const uint32_t wrong = crcOf(data) ^ 1;
    {
        SCOPED_TRACE("size known: the read of the last byte tells");
        Ref<InStream> stream = checked(memorySource(data).detach(), wrong);
        EXPECT_EQ(readAt(stream.get(), 0, 99999).size(), 99999u);
        EXPECT_FALSE(stream->damaged());
        EXPECT_EQ(readAt(stream.get(), 99999, 1).size(), 1u);
        EXPECT_TRUE(stream->damaged());
    }
    {
        SCOPED_TRACE("size unknown: the read that finds the end tells");
        Ref<InStream> stream = checked(new SizeUnknownStream(data), wrong);
        std::vector<uint8_t> all(data.size());
        ASSERT_TRUE(readExact(stream.get(), all.data(), static_cast<int>(all.size())));
        EXPECT_FALSE(stream->damaged());
        uint8_t more;
        EXPECT_EQ(stream->read(&more, 1), 0);
        EXPECT_TRUE(stream->damaged());
    }
    {
        SCOPED_TRACE("a jump over a gap checks nothing until the gap is read");
        Ref<InStream> stream = checked(memorySource(data).detach(), wrong);
        EXPECT_EQ(readAt(stream.get(), 0, 10).size(), 10u);
        EXPECT_EQ(readAt(stream.get(), 20, 99980).size(), 99980u);
        EXPECT_FALSE(stream->damaged());
        EXPECT_EQ(readAt(stream.get(), 5, 99995).size(), 99995u);
        EXPECT_TRUE(stream->damaged());
    }
}

TEST(CheckedStream, NothingStoredLeavesTheStreamAsItIs) {
    Ref<InStream> source = memorySource(sampleData(10, 6));
    InStream* same = source.get();
    EXPECT_EQ(Ref<InStream>(openChecked(source.detach(), {})).get(), same);
}

TEST(CheckedStream, DamageOfTheSourcePassesOn) {
    auto data = sampleData(1000, 5);
    Ref<InStream> source = memorySource(data);
    source->markDamaged();
    Ref<InStream> stream = checked(source.detach(), crcOf(data));
    EXPECT_TRUE(stream->damaged());
}

}  // namespace
}  // namespace zorvex::test
