// Streams: line reading, store windows, the block decoder base, joined
// windows, the codec registry and CRC-32.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "engine/codec.h"
#include "engine/crc32.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

Ref<MemoryStream> memoryOf(const std::vector<uint8_t>& bytes) {
    return Ref<MemoryStream>(MemoryStream::create(u"mem", nullptr, 0, bytes.data(), bytes.size()));
}

Ref<MemoryStream> memoryOf(const char* text) {
    return Ref<MemoryStream>(MemoryStream::create(u"mem", nullptr, 0, text, std::strlen(text)));
}

std::vector<uint8_t> iota(int from, int count) {
    std::vector<uint8_t> v(count);
    std::iota(v.begin(), v.end(), static_cast<uint8_t>(from));
    return v;
}

std::vector<uint8_t> drain(InStream* s, int piece = 7) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(piece);
    int n;
    while ((n = s->read(buf.data(), piece)) > 0) out.insert(out.end(), buf.begin(), buf.begin() + n);
    return out;
}

TEST(ReadLine, EndsAtLineFeedWithOrWithoutCarriageReturn) {
    auto s = memoryOf("ab\r\ncd");
    char buf[16];
    EXPECT_EQ(s->readLine(buf, 16), 3);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(s->readLine(buf, 16), 2);
    EXPECT_STREQ(buf, "cd");
    EXPECT_EQ(s->readLine(buf, 16), 0);

    auto lf = memoryOf("ab\nx\r\n\n");
    EXPECT_EQ(lf->readLine(buf, 16), 3);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(lf->readLine(buf, 16), 2);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(lf->readLine(buf, 16), 1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(lf->readLine(nullptr, 16), 0);
}

TEST(ReadLine, StopsAtCapacityAndKeepsTheRest) {
    auto s = memoryOf("abcdef\n");
    char buf[4];
    EXPECT_EQ(s->readLine(buf, 4), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(s->readLine(buf, 4), 3);
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(s->readLine(buf, 4), 1);
    EXPECT_STREQ(buf, "");
}

TEST(StoreStream, WindowBoundsAndSeeks) {
    auto source = memoryOf(iota(0, 20));
    StoreStream store(u"s", nullptr, 0, source.get(), 5, 10);
    EXPECT_EQ(store.size(), 10);
    EXPECT_EQ(drain(&store), iota(5, 10));
    EXPECT_TRUE(store.seek(9));
    uint8_t b = 0;
    EXPECT_EQ(store.read(&b, 1), 1);
    EXPECT_EQ(b, 14);
    EXPECT_EQ(store.tell(), 10);
    EXPECT_EQ(store.read(&b, 1), 0);  // at the end
    EXPECT_FALSE(store.seek(10));
    EXPECT_FALSE(store.seek(-1));
    EXPECT_TRUE(store.rewind());
    EXPECT_TRUE(store.skip(3));
    EXPECT_EQ(store.read(&b, 1), 1);
    EXPECT_EQ(b, 8);
}

TEST(StoreStream, ShortSourceDeliversWhatIsThere) {
    auto source = memoryOf(iota(0, 8));
    StoreStream store(u"s", nullptr, 0, source.get(), 5, 10);
    EXPECT_EQ(drain(&store), iota(5, 3));
}

int countingFactoryCalls = 0;
InStream* countingFactory(const CodecRequest& r) {
    ++countingFactoryCalls;
    return new StoreStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize);
}

TEST(CodecRegistry, FindsByNameInAnyCaseAndGuardsTheSource) {
    FactoryCodec codec(u"test-counting", countingFactory);
    EXPECT_EQ(findCodec(u"TEST-Counting"), &codec);
    EXPECT_EQ(findCodec(u"store"), findCodec(u"STORE"));
    EXPECT_NE(findCodec(u"store"), nullptr);
    EXPECT_EQ(findCodec(nullptr), nullptr);
    EXPECT_EQ(findCodec(u"no-such-method"), nullptr);
    EXPECT_EQ(codecAt(codecCount() - 1), &codec);
    EXPECT_EQ(codecAt(codecCount()), nullptr);
    EXPECT_EQ(codecAt(-1), nullptr);

    countingFactoryCalls = 0;
    CodecRequest request;
    request.packedSize = request.unpackedSize = 10;
    EXPECT_EQ(codec.createStream(request), nullptr);
    CodecWindow missing[2] = {};
    auto source = memoryOf(iota(0, 4));
    missing[0].stream = source.get();
    request.inputs = missing;  // a coder with several inputs, one of them missing
    EXPECT_EQ(codec.createStream(request), nullptr);
    EXPECT_EQ(countingFactoryCalls, 0);
    request = CodecRequest{};
    request.tag = 7;
    request.source = source.get();
    request.offset = 1;
    request.packedSize = request.unpackedSize = 2;
    Ref<InStream> s(codec.createStream(request));
    ASSERT_TRUE(s);
    EXPECT_EQ(countingFactoryCalls, 1);
    EXPECT_EQ(s->tag(), 7);
    EXPECT_EQ(drain(s.get()), iota(1, 2));
}

TEST(CodecRegistry, UnregistersOnDestruction) {
    int before = codecCount();
    {
        FactoryCodec codec(u"test-temporary", countingFactory);
        EXPECT_EQ(codecCount(), before + 1);
    }
    EXPECT_EQ(codecCount(), before);
    EXPECT_EQ(findCodec(u"test-temporary"), nullptr);
}

// Run-length decoder: pairs (count, byte). It keeps the run in progress
// between calls, so runs straddle window and input buffer boundaries. A count
// of 0 is an error; a pair (0xFF, 0xFF) ends the data.
class RunLengthStream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;
    int resets = 0;
    int64_t restartInput = -1, restartOutput = -1;  // offered restart point, if any
    // Given this much room or more, a count of 0 passes for 1, as a library
    // may decode on past damage when it has room; 0: never.
    int lenientRoom = 0;

    bool restartPoint(int64_t target, int64_t* in, int64_t* out) override {
        if (restartInput < 0 || target < restartOutput) return false;
        *in = restartInput;
        *out = restartOutput;
        runLeft_ = 0;
        return true;
    }
    void reset() override {
        ++resets;
        runLeft_ = 0;
    }
    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        *consumed = *produced = 0;
        while (*produced < outCapacity) {
            if (runLeft_ == 0) {
                if (inLength - *consumed < 2) break;
                int count = in[*consumed];
                runByte_ = in[*consumed + 1];
                *consumed += 2;
                if (count == 0xFF && runByte_ == 0xFF) return kDecodeEnd;
                if (count == 0 && lenientRoom > 0 && outCapacity >= lenientRoom) count = 1;
                if (count == 0) return kDecodeError;
                runLeft_ = count;
            }
            int n = std::min(runLeft_, outCapacity - *produced);
            std::memset(out + *produced, runByte_, n);
            *produced += n;
            runLeft_ -= n;
        }
        return kDecodeProgress;
    }

private:
    int runLeft_ = 0;
    uint8_t runByte_ = 0;
};

// Packed runs of varying bytes and lengths, with their decoded form.
struct RunLengthData {
    std::vector<uint8_t> packed, plain;
};

RunLengthData makeRuns(int runs, bool withEnd) {
    RunLengthData d;
    for (int i = 0; i < runs; ++i) {
        int count = 1 + (i * 37) % 250;
        uint8_t byte = static_cast<uint8_t>(i * 13);
        d.packed.push_back(static_cast<uint8_t>(count));
        d.packed.push_back(byte);
        d.plain.insert(d.plain.end(), count, byte);
    }
    if (withEnd) d.packed.insert(d.packed.end(), {0xFF, 0xFF});
    return d;
}

Ref<RunLengthStream> runLengthStream(InStream* source, int64_t packedSize, int64_t unpackedSize, int64_t offset = 0) {
    Ref<RunLengthStream> s(new RunLengthStream(u"rle", nullptr, 0, source, offset, packedSize, unpackedSize));
    EXPECT_TRUE(s->ok());
    return s;
}

TEST(DecoderStream, DeliversEverythingAcrossWindowsAndInputPieces) {
    auto d = makeRuns(2000, true);  // ~250 KB decoded, ~4 KB packed
    std::vector<uint8_t> framed(3, 0xEE);  // data at a non-zero offset
    framed.insert(framed.end(), d.packed.begin(), d.packed.end());
    auto source = memoryOf(framed);
    auto s = runLengthStream(source.get(), d.packed.size(), d.plain.size(), 3);
    EXPECT_EQ(s->size(), static_cast<int64_t>(d.plain.size()));
    EXPECT_EQ(drain(s.get(), 5000), d.plain);
    EXPECT_EQ(s->tell(), s->size());
    uint8_t b;
    EXPECT_EQ(s->read(&b, 1), 0);
}

TEST(DecoderStream, ReadsNothingBeyondTheStatedSize) {
    auto d = makeRuns(100, false);
    auto source = memoryOf(d.packed);
    auto s = runLengthStream(source.get(), d.packed.size(), 100);
    EXPECT_EQ(drain(s.get()), std::vector<uint8_t>(d.plain.begin(), d.plain.begin() + 100));
}

TEST(DecoderStream, UnknownSizeIsLearntAtTheEndOrWhenAsked) {
    auto d = makeRuns(500, true);
    auto source = memoryOf(d.packed);
    const auto plain = static_cast<int64_t>(d.plain.size());

    // Read to the end: the size is known then, without a second pass.
    auto read = runLengthStream(source.get(), d.packed.size(), -1);
    EXPECT_EQ(read->knownSize(), -1);
    EXPECT_EQ(drain(read.get()), d.plain);
    EXPECT_EQ(read->knownSize(), plain);

    // Asked in the middle: decoding goes to the end and comes back.
    auto asked = runLengthStream(source.get(), d.packed.size(), -1);
    std::vector<uint8_t> head(16);
    ASSERT_EQ(asked->read(head.data(), 16), 16);
    EXPECT_EQ(asked->size(), plain);
    EXPECT_EQ(asked->tell(), 16);
    std::vector<uint8_t> rest = drain(asked.get());
    head.insert(head.end(), rest.begin(), rest.end());
    EXPECT_EQ(head, d.plain);

    // A seek past the end fails and leaves the size learnt.
    auto sought = runLengthStream(source.get(), d.packed.size(), -1);
    EXPECT_TRUE(sought->seek(plain - 1));
    EXPECT_FALSE(sought->seek(plain + 10));
    EXPECT_EQ(sought->knownSize(), plain);
    EXPECT_TRUE(sought->seek(0));
    EXPECT_EQ(drain(sought.get()), d.plain);
}

TEST(DecoderStream, SeeksWithinTheWindowAndRestartsForEarlierData) {
    auto d = makeRuns(2000, true);
    auto source = memoryOf(d.packed);
    auto s = runLengthStream(source.get(), d.packed.size(), d.plain.size());
    std::vector<uint8_t> buf(100000);
    ASSERT_EQ(s->read(buf.data(), 100000), 100000);

    // Just behind the position: still in the window, no restart.
    ASSERT_TRUE(s->seek(99990));
    ASSERT_EQ(s->read(buf.data(), 10), 10);
    EXPECT_EQ(0, std::memcmp(buf.data(), d.plain.data() + 99990, 10));
    EXPECT_EQ(s->resets, 0);

    // Far behind: decoding restarts and yields the same bytes.
    ASSERT_TRUE(s->seek(1234));
    EXPECT_EQ(s->resets, 1);
    EXPECT_EQ(s->tell(), 1234);
    ASSERT_EQ(s->read(buf.data(), 50000), 50000);
    EXPECT_EQ(0, std::memcmp(buf.data(), d.plain.data() + 1234, 50000));

    // Forward far ahead, then to the last byte; past the end fails.
    ASSERT_TRUE(s->seek(200000));
    ASSERT_EQ(s->read(buf.data(), 10), 10);
    EXPECT_EQ(0, std::memcmp(buf.data(), d.plain.data() + 200000, 10));
    int64_t last = static_cast<int64_t>(d.plain.size()) - 1;
    EXPECT_TRUE(s->seek(last));
    EXPECT_FALSE(s->seek(last + 1));
    EXPECT_TRUE(s->rewind());
    EXPECT_EQ(drain(s.get(), 4096), d.plain);
}

// Large reads decode past the window straight into the caller's buffer; the
// bytes, the short seeks back and the ends must be those of small reads.
TEST(DecoderStream, LargeReadsMatchSmallReads) {
    auto d = makeRuns(2000, true);
    auto source = memoryOf(d.packed);
    auto s = runLengthStream(source.get(), d.packed.size(), d.plain.size());
    std::vector<uint8_t> got;
    std::vector<uint8_t> buf(100000);
    for (int piece : {70000, 3, 16384, 40000, 1, 100000}) {
        int n = s->read(buf.data(), piece);
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    got.insert(got.end(), buf.begin(), buf.begin() + s->read(buf.data(), static_cast<int>(buf.size())));
    EXPECT_EQ(got, d.plain);

    // A large read that ends at a window boundary leaves a whole window
    // behind it to seek back into without a restart.
    constexpr int kEnd = 5 * DecoderStream::kBufferSize;
    ASSERT_TRUE(s->seek(0));
    ASSERT_EQ(s->read(buf.data(), kEnd), kEnd);
    int resets = s->resets;
    ASSERT_TRUE(s->seek(kEnd - 16000));
    ASSERT_EQ(s->read(buf.data(), 16000), 16000);
    EXPECT_EQ(0, std::memcmp(buf.data(), d.plain.data() + kEnd - 16000, 16000));
    EXPECT_EQ(s->resets, resets);

    // Damage just after the stated size shows the same whatever the read size.
    auto runs = makeRuns(300, false);
    runs.packed.insert(runs.packed.end(), {0, 'x'});
    auto damagedSource = memoryOf(runs.packed);
    auto small = runLengthStream(damagedSource.get(), runs.packed.size(), runs.plain.size());
    auto large = runLengthStream(damagedSource.get(), runs.packed.size(), runs.plain.size());
    std::vector<uint8_t> fromSmall = drain(small.get(), 1);
    std::vector<uint8_t> fromLarge = drain(large.get(), static_cast<int>(runs.plain.size()));
    EXPECT_EQ(fromLarge, fromSmall);
    EXPECT_EQ(large->damaged(), small->damaged());

    // Damage that a decoder passes over only when given more room than a
    // window: large reads call it as small ones do, so the bytes before the
    // error are the same on every pass.
    auto broken = makeRuns(2000, true);
    broken.packed[2 * 1500] = 0;
    auto brokenSource = memoryOf(broken.packed);
    std::vector<uint8_t> passes[2];
    for (int pass = 0; pass < 2; ++pass) {
        auto stream = runLengthStream(brokenSource.get(), broken.packed.size(), broken.plain.size());
        stream->lenientRoom = DecoderStream::kBufferSize + 1;
        passes[pass] = drain(stream.get(), pass == 0 ? 1000 : static_cast<int>(broken.plain.size()));
        EXPECT_TRUE(stream->damaged());
    }
    EXPECT_EQ(passes[1], passes[0]);
    EXPECT_LT(passes[0].size(), broken.plain.size());
}

TEST(DecoderStream, UsesTheDecodersRestartPoint) {
    auto d = makeRuns(2000, true);
    auto source = memoryOf(d.packed);
    auto s = runLengthStream(source.get(), d.packed.size(), d.plain.size());
    // Restart at the start of run 1000.
    int64_t plainAt = 0;
    for (int i = 0; i < 1000; ++i) plainAt += d.packed[2 * i];
    s->restartInput = 2000;
    s->restartOutput = plainAt;
    std::vector<uint8_t> buf(10);
    ASSERT_TRUE(s->seek(plainAt + 5));
    EXPECT_EQ(s->resets, 0);
    ASSERT_EQ(s->read(buf.data(), 10), 10);
    EXPECT_EQ(0, std::memcmp(buf.data(), d.plain.data() + plainAt + 5, 10));
}

TEST(DecoderStream, ErrorsAndTruncationEndTheDataWithoutHanging) {
    // An error keeps what was decoded before it.
    std::vector<uint8_t> packed = {3, 'a', 2, 'b'};
    std::vector<uint8_t> withError = packed;
    withError.insert(withError.end(), {0, 'x', 4, 'c'});
    auto source = memoryOf(withError);
    auto s = runLengthStream(source.get(), withError.size(), 100);
    // The error step's own output is dropped; earlier steps' output stays.
    const std::vector<uint8_t> good = {'a', 'a', 'a', 'b', 'b'};
    std::vector<uint8_t> got = drain(s.get(), 1);
    ASSERT_LE(got.size(), good.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), good.begin()));

    // The packed size promises more than the source holds: the stream ends.
    auto shortSource = memoryOf(packed);
    auto t = runLengthStream(shortSource.get(), 1000, 1000);
    EXPECT_EQ(drain(t.get()), (std::vector<uint8_t>{'a', 'a', 'a', 'b', 'b'}));
    EXPECT_FALSE(t->seek(999));
}

TEST(DecoderStream, WithoutSourceOrWithNegativePackedSizeIsNotUsable) {
    RunLengthStream none(u"x", nullptr, 0, nullptr, 0, 10, 10);
    EXPECT_FALSE(none.ok());
    EXPECT_EQ(none.size(), -1);
    EXPECT_EQ(none.tell(), -1);
    auto source = memoryOf("ab");
    RunLengthStream negative(u"x", nullptr, 0, source.get(), 0, -1, 10);
    EXPECT_FALSE(negative.ok());
    uint8_t b;
    EXPECT_EQ(negative.read(&b, 1), 0);
}

TEST(ConcatStream, JoinsWindowsBackToBack) {
    auto a = memoryOf(iota(0, 10));
    auto b = memoryOf(iota(10, 10));
    ConcatStream joined(u"j", nullptr, 0);
    EXPECT_EQ(joined.size(), 0);
    EXPECT_EQ(joined.openSibling(u"x"), nullptr);
    EXPECT_TRUE(joined.appendPart(a.get(), 0, 3));
    EXPECT_TRUE(joined.appendPart(b.get(), 5, 0));  // empty: nothing added
    EXPECT_TRUE(joined.appendPart(b.get(), 5, 2));
    EXPECT_EQ(joined.size(), 5);
    EXPECT_EQ(drain(&joined, 4), (std::vector<uint8_t>{0, 1, 2, 15, 16}));

    EXPECT_TRUE(joined.seek(2));
    uint8_t buf[8];
    EXPECT_EQ(joined.read(buf, 8), 3);
    EXPECT_EQ(buf[0], 2);
    EXPECT_EQ(buf[2], 16);
    EXPECT_TRUE(joined.seek(5));
    EXPECT_EQ(joined.read(buf, 1), 0);
    EXPECT_FALSE(joined.seek(6));
    EXPECT_FALSE(joined.seek(-1));

    EXPECT_FALSE(joined.appendPart(nullptr, 0, 1));
    EXPECT_FALSE(joined.appendPart(a.get(), -1, 1));
    EXPECT_FALSE(joined.appendPart(a.get(), 11, 1));  // offset beyond the stream
    EXPECT_EQ(joined.size(), 5);
}

TEST(ConcatStream, PartThatReadsShortEndsTheRead) {
    auto a = memoryOf(iota(0, 4));
    auto b = memoryOf(iota(10, 4));
    ConcatStream joined(u"j", nullptr, 0);
    EXPECT_TRUE(joined.appendPart(a.get(), 2, 5));  // promises 5, holds 2
    EXPECT_TRUE(joined.appendPart(b.get(), 0, 4));
    uint8_t buf[16];
    EXPECT_EQ(joined.read(buf, 16), 2);
}

TEST(StreamHelpers, SkipAndReadExact) {
    auto s = memoryOf(iota(0, 3000));
    EXPECT_TRUE(skipBytes(s.get(), 2500));
    uint8_t buf[600];
    EXPECT_TRUE(readExact(s.get(), buf, 400));
    EXPECT_EQ(buf[0], static_cast<uint8_t>(2500));
    EXPECT_FALSE(readExact(s.get(), buf, 200));  // 100 left
    EXPECT_TRUE(s->rewind());
    EXPECT_FALSE(skipBytes(s.get(), 3001));  // one more than there is
}

TEST(Crc32, KnownValuesAndChaining) {
    EXPECT_EQ(crc32Update(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32Update(0, "", 0), 0u);
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 3));
    uint32_t whole = crc32Update(0, data.data(), data.size());
    // Split at odd places so that both the eight-byte and the byte loop run.
    uint32_t c = crc32Update(0, data.data(), 3);
    c = crc32Update(c, data.data() + 3, 501);
    c = crc32Update(c, data.data() + 504, 496);
    EXPECT_EQ(c, whole);
    // Against the bitwise definition.
    uint32_t ref = 0xFFFFFFFF;
    for (uint8_t byte : data) {
        ref ^= byte;
        for (int k = 0; k < 8; ++k) ref = (ref & 1) ? (ref >> 1) ^ 0xEDB88320u : ref >> 1;
    }
    EXPECT_EQ(whole, ~ref);
}

// The text each reason is shown with; a stream over another takes on its
// failure, and a later, vaguer one does not replace it.
TEST(Status, MessagesAndTheFirstFailureStands) {
    struct Case {
        Status status;
        std::string text;
    };
    for (const Case& c : std::vector<Case>{
             {Status(), ""},
             {Status::truncated(), "data ends early"},
             {Status::corrupt(), "data is damaged"},
             {Status::checkFailed("CRC mismatch"), "CRC mismatch"},
             {Status::unsupportedMethod(14), "method 14 is not supported"},
             {Status::unsupportedMethod(0x030401), "method 0x30401 is not supported"},
             {Status::unsupportedMethod(), "compression method is not supported"},
             {Status::encrypted(), "encrypted; give a password with -p"},
             {Status::wrongPassword(), "wrong password"},
             {Status::outOfMemory(), "out of memory"},
         })
        EXPECT_EQ(describe(c.status), c.text);
    std::string io = describe(Status::ioError(5));
    EXPECT_EQ(io.rfind("read error: ", 0), 0u) << io;
    EXPECT_GT(io.size(), std::string("read error: ").size());

    Ref<MemoryStream> source = memoryOf("0123456789");
    Ref<InStream> window(new StoreStream(u"w", nullptr, 0, source.get(), 2, 6));
    char buf[4];
    EXPECT_EQ(window->read(buf, 4), 4);
    EXPECT_TRUE(window->status().ok());
    source->fail(Status::ioError(5));
    source->markDamaged();
    EXPECT_EQ(source->status().kind(), Status::kIoError);
    window->read(buf, 2);
    EXPECT_EQ(window->status().kind(), Status::kIoError);
    EXPECT_EQ(window->status().detail(), 5u);
}

}  // namespace
}  // namespace zorvex
