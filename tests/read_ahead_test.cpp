// Decoding ahead on a worker thread: the read-ahead stream against its
// source (any read size, seeks, damage, destruction while the worker runs),
// and shared views of one file read from two threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "engine/file_source.h"
#include "engine/read_ahead.h"
#include "engine/shared_stream.h"
#include "tests/codec_fixtures.h"

namespace zorvex::test {
namespace {

std::vector<uint8_t> patterned(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    return data;
}

// A memory stream that counts the bytes read from it, from any thread.
class CountedSource final : public InStream {
public:
    explicit CountedSource(const std::vector<uint8_t>& data)
        : InStream(u"counted", nullptr, 0), inner_(memorySource(data)) {}
    int64_t tell() override { return inner_->tell(); }
    bool seek(int64_t position) override { return inner_->seek(position); }
    int64_t size() override { return inner_->size(); }
    int read(void* buf, int count) override {
        int got = inner_->read(buf, count);
        bytesRead += got;
        return got;
    }
    std::atomic<int64_t> bytesRead{0};

private:
    Ref<InStream> inner_;
};

TEST(ReadAhead, DeliversTheSourceInAnyReadSizeAndAfterSeeks) {
    const std::vector<uint8_t> data = patterned(3 * 1000 * 1000 + 17);
    for (int piece : {1, 4093, 65536, 1 << 20, 3 << 20}) {
        SCOPED_TRACE(piece);
        Ref<InStream> source = memorySource(data);
        Ref<InStream> ahead(openReadAhead(source.get()));
        ASSERT_TRUE(ahead);
        EXPECT_EQ(ahead->size(), int64_t(data.size()));
        EXPECT_TRUE(readInPieces(ahead.get(), piece) == data);
        EXPECT_EQ(ahead->tell(), int64_t(data.size()));
        EXPECT_FALSE(ahead->damaged());
    }
    Ref<InStream> source = memorySource(data);
    Ref<InStream> ahead(openReadAhead(source.get()));
    std::mt19937 random(3);
    for (int i = 0; i < 40; ++i) {
        size_t at = random() % data.size();
        int count = static_cast<int>(random() % 600000);
        EXPECT_EQ(readAt(ahead.get(), int64_t(at), count), slice(data, at, std::min<size_t>(count, data.size() - at)))
            << at;
    }
    EXPECT_FALSE(ahead->seek(int64_t(data.size())));
    EXPECT_FALSE(ahead->seek(-1));
}

// A cut LZMA stream: the same bytes as reading it directly, then the end,
// and the damage reaches the reader.
TEST(ReadAhead, PassesOnWhereAndThatTheSourceWasDamaged) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    std::vector<uint8_t> data = sampleData(2000000, 6);
    writeFile(dir / "data", data.data(), data.size());
    mustRun(dir, "xz --format=lzma -1 -c data > data.lzma");
    std::vector<uint8_t> packed = readFile(dir / "data.lzma");
    packed.erase(packed.begin() + 5, packed.begin() + 13);  // the size field: the codec takes the size apart
    packed.resize(packed.size() / 2);

    Ref<InStream> direct = openPropertiesFirst(u"lzma", packed, int64_t(data.size()));
    ASSERT_TRUE(direct);
    std::vector<uint8_t> expected = readInPieces(direct.get(), 65536);
    ASSERT_TRUE(direct->damaged());
    ASSERT_LT(expected.size(), data.size());

    Ref<InStream> decoded = openPropertiesFirst(u"lzma", packed, int64_t(data.size()));
    Ref<InStream> ahead(openReadAhead(decoded.get()));
    decoded = Ref<InStream>();  // the read-ahead stream is the only reader
    EXPECT_TRUE(readInPieces(ahead.get(), 65536) == expected);
    EXPECT_TRUE(ahead->damaged());
}

// The worker fills a bounded ring and waits; releasing the stream mid-read
// (or before reading) stops and joins it, leaving the source untouched.
TEST(ReadAhead, WorkerStaysBoundedAndStopsWithTheStream) {
    const std::vector<uint8_t> data = patterned(32 << 20);
    Ref<CountedSource> source(new CountedSource(data));
    Ref<InStream> ahead(openReadAhead(source.get()));
    uint8_t byte = 0;
    ASSERT_EQ(ahead->read(&byte, 1), 1);
    EXPECT_EQ(byte, data[0]);
    // Wait until the worker has filled what it may.
    for (int64_t seen = -1; seen != source->bytesRead.load();) {
        seen = source->bytesRead.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_LE(source->bytesRead.load(), 4 << 20);
    ahead = Ref<InStream>();
    EXPECT_EQ(source->refCount(), 1);
    int64_t after = source->bytesRead.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(source->bytesRead.load(), after);

    Ref<InStream> unread(openReadAhead(source.get()));
    unread = Ref<InStream>();
    EXPECT_EQ(source->refCount(), 1);
}

// Two threads read one file through their own views, each at its own
// positions; every byte is where it belongs.
TEST(SharedStream, ViewsReadOneFileFromTwoThreads) {
    TempDir dir;
    const std::vector<uint8_t> data = patterned(5 << 20);
    writeFile(dir / "file", data.data(), data.size());
    Ref<FileSource> file(openFileSource(enginePath(dir / "file").c_str()));
    ASSERT_TRUE(file);
    Ref<SharedStream> first(SharedStream::create(file.get()));
    ASSERT_TRUE(first);
    Ref<SharedStream> second(first->openView());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->size(), int64_t(data.size()));

    auto check = [&](InStream* view, uint32_t seed, int* wrong) {
        std::mt19937 random(seed);
        for (int i = 0; i < 3000; ++i) {
            size_t at = random() % (data.size() - 5000);
            if (readAt(view, int64_t(at), 5000) != slice(data, at, 5000)) ++*wrong;
        }
    };
    int wrongFirst = 0, wrongSecond = 0;
    std::thread other(check, second.get(), 1, &wrongSecond);
    check(first.get(), 2, &wrongFirst);
    other.join();
    EXPECT_EQ(wrongFirst, 0);
    EXPECT_EQ(wrongSecond, 0);
    first = Ref<SharedStream>();
    EXPECT_EQ(readAt(second.get(), 7, 3), slice(data, 7, 3));
    EXPECT_FALSE(second->seek(int64_t(data.size())));
}

}  // namespace
}  // namespace zorvex::test
