// The file source: block sizes, reading through the ring, seeks and siblings.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "engine/file_source.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

constexpr int kMiB = 0x100000;

Ref<FileSource> open(const test::fs::path& path) {
    return Ref<FileSource>(openFileSource(test::enginePath(path).c_str()));
}

// A file of sample bytes in a folder of its own.
struct SampleFile {
    SampleFile(size_t size, uint32_t seed) : data(test::sampleData(size, seed)) {
        test::writeFile(path(), data.data(), data.size());
    }
    test::fs::path path() const { return dir / "f"; }

    test::TempDir dir;
    std::vector<uint8_t> data;
};

// Overwrites bytes in place, so that a later read shows whether the source
// read the file again or used a block it already had.
void overwrite(const test::fs::path& path, int64_t offset, uint8_t value, int count) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    std::vector<char> fill(count, static_cast<char>(value));
    f.write(fill.data(), count);
}

TEST(FileSource, BlockSizeFollowsTheFile) {
    EXPECT_EQ(chooseBlockSize(kMiB, 512, 100000), 65536);
    EXPECT_EQ(chooseBlockSize(kMiB, 4096, 0), 4096);
    EXPECT_EQ(chooseBlockSize(kMiB, 4096, 10 * kMiB), kMiB);
    EXPECT_EQ(chooseBlockSize(kMiB, 512, kMiB), kMiB);
    EXPECT_EQ(chooseBlockSize(8192, 512, 100000), 8192);  // network drives
    EXPECT_EQ(chooseBlockSize(8192, 512, 600), 512);
}

TEST(FileSource, EmptyMissingAndFolder) {
    test::TempDir dir;
    test::writeFile(dir / "empty", "");
    auto empty = open(dir / "empty");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0);
    uint8_t b;
    EXPECT_EQ(empty->read(&b, 1), 0);
    EXPECT_FALSE(open(dir / "missing"));
    EXPECT_FALSE(open(dir.path()));
    FileSource closed(u"", nullptr, 0, -1);
    EXPECT_FALSE(closed.isOpen());
    EXPECT_EQ(closed.size(), -1);
    EXPECT_EQ(closed.tell(), -1);
    EXPECT_FALSE(closed.seek(0));
}

TEST(FileSource, ReadsExactlyTheFileAcrossBlocks) {
    SampleFile file(5 * kMiB + 12345, 7);  // the last block is short
    const std::vector<uint8_t>& data = file.data;
    // Pieces that straddle block ends, and pieces that end exactly on them.
    for (int piece : {300001, 65536}) {
        auto s = open(file.path());
        ASSERT_TRUE(s);
        EXPECT_EQ(s->size(), static_cast<int64_t>(data.size()));
        std::vector<uint8_t> got;
        std::vector<uint8_t> buf(piece);
        int n;
        while ((n = s->read(buf.data(), piece)) > 0) got.insert(got.end(), buf.begin(), buf.begin() + n);
        EXPECT_TRUE(got == data) << "piece " << piece << ": " << got.size() << " bytes";
        EXPECT_EQ(s->tell(), s->size());
    }
}

TEST(FileSource, SeeksAndTheEndOfTheFile) {
    SampleFile file(3 * kMiB, 3);
    const std::vector<uint8_t>& data = file.data;
    auto s = open(file.path());
    ASSERT_TRUE(s);
    int64_t size = s->size();
    ASSERT_TRUE(s->seek(size - 1));
    uint8_t b;
    ASSERT_EQ(s->read(&b, 1), 1);
    EXPECT_EQ(b, data.back());
    EXPECT_FALSE(s->seek(size + 10));
    EXPECT_FALSE(s->seek(size));
    EXPECT_EQ(s->tell(), size);
    EXPECT_EQ(s->read(&b, 1), 0);
    // Offsets from hostile headers, up to the largest position there is.
    uint8_t piece[10];
    for (int64_t far : {INT64_MAX, INT64_MAX - 16, INT64_MAX - 5 * kMiB, int64_t{1} << 62}) {
        EXPECT_FALSE(s->seek(far)) << far;
        EXPECT_EQ(s->read(piece, 10), 0) << far;
        EXPECT_EQ(s->read(piece, 10), 0) << far;
    }
    ASSERT_TRUE(s->seek(kMiB + 5));
    ASSERT_EQ(s->read(piece, 10), 10);
    EXPECT_EQ(0, std::memcmp(piece, data.data() + kMiB + 5, 10));
    EXPECT_TRUE(s->rewind());
    auto all = test::readAll(s.get());
    ASSERT_EQ(all.size(), data.size());
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], data[i]) << i;
}

TEST(FileSource, KeepsBlocksItHasAlreadyRead) {
    SampleFile file(6 * kMiB, 5);
    const std::vector<uint8_t>& data = file.data;
    auto s = open(file.path());
    ASSERT_TRUE(s);
    std::vector<uint8_t> buf(kMiB + kMiB / 2);
    ASSERT_EQ(s->read(buf.data(), static_cast<int>(buf.size())), static_cast<int>(buf.size()));

    // Block 1 is in the ring: seeking within it, or back into block 0 (which
    // is read again) must not read block 1 again.
    overwrite(file.path(), kMiB, 0xAA, kMiB);
    ASSERT_TRUE(s->seek(kMiB + 10));
    uint8_t b;
    ASSERT_EQ(s->read(&b, 1), 1);
    EXPECT_EQ(b, data[kMiB + 10]);
    ASSERT_TRUE(s->seek(100));
    std::vector<uint8_t> again(2 * kMiB);
    ASSERT_EQ(s->read(again.data(), 2 * kMiB), 2 * kMiB);
    EXPECT_EQ(0, std::memcmp(again.data(), data.data() + 100, 2 * kMiB - 100));
}

// Large reads of blocks not read yet go straight to the caller: the bytes must
// be exact wherever the reads start and end, and the ring must still serve
// seeks and small reads afterwards.
TEST(FileSource, LargeReadsBypassTheRing) {
    SampleFile file(4 * kMiB + 777, 9);
    const std::vector<uint8_t>& data = file.data;
    for (int piece : {0x40000, 0x10000, 0x10000 + 3, kMiB - 1, 3 * kMiB}) {
        auto s = open(file.path());
        ASSERT_TRUE(s);
        ASSERT_TRUE(s->seek(1234));  // not on a block boundary
        std::vector<uint8_t> got(data.size() - 1234 + 100);
        size_t total = 0;
        int n;
        while ((n = s->read(got.data() + total, std::min<int>(piece, int(got.size() - total)))) > 0) total += n;
        ASSERT_EQ(total, data.size() - 1234) << piece;
        EXPECT_EQ(0, std::memcmp(got.data(), data.data() + 1234, total)) << piece;
        EXPECT_EQ(s->tell(), s->size());
        EXPECT_EQ(s->read(got.data(), piece), 0);

        // Back into blocks that were read directly, then small reads.
        ASSERT_TRUE(s->seek(kMiB - 5));
        uint8_t small[10];
        ASSERT_EQ(s->read(small, 10), 10);
        EXPECT_EQ(0, std::memcmp(small, data.data() + kMiB - 5, 10)) << piece;
        ASSERT_TRUE(s->seek(3 * kMiB + 100));
        std::vector<uint8_t> more(0x40000);
        ASSERT_EQ(s->read(more.data(), int(more.size())), int(more.size()));
        EXPECT_EQ(0, std::memcmp(more.data(), data.data() + 3 * kMiB + 100, more.size())) << piece;
        ASSERT_TRUE(s->seek(2));
        ASSERT_EQ(s->read(small, 10), 10);
        EXPECT_EQ(0, std::memcmp(small, data.data() + 2, 10)) << piece;
    }
}

// A large read that ends inside a block it passes into still loads that
// block, and a block already in the ring is copied from there rather than
// read again, even by a large read.
TEST(FileSource, LargeReadsUseBlocksInTheRing) {
    SampleFile file(4 * kMiB, 13);
    const std::vector<uint8_t>& data = file.data;
    auto s = open(file.path());
    ASSERT_TRUE(s);
    std::vector<uint8_t> lead(0x20000);
    ASSERT_TRUE(s->seek(kMiB - 0x20000));
    ASSERT_EQ(s->read(lead.data(), int(lead.size())), int(lead.size()));
    uint8_t b;
    ASSERT_EQ(s->read(&b, 1), 1);  // read on without a jump: block 1 is now in the ring
    overwrite(file.path(), kMiB, 0xAA, kMiB);
    ASSERT_TRUE(s->seek(kMiB + 1));
    std::vector<uint8_t> buf(0x40000);
    ASSERT_EQ(s->read(buf.data(), int(buf.size())), int(buf.size()));
    EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + kMiB + 1, buf.size()));
}

// A reader hopping from header to header (a tar listing) gets the pages it
// asks for, not the block around them: bytes a page further on, changed after
// the hop, are read fresh. Once it reads on, whole blocks are loaded again.
TEST(FileSource, HopsReadOnlyThePagesAsked) {
    SampleFile file(4 * kMiB, 21);
    const std::vector<uint8_t>& data = file.data;
    auto s = open(file.path());
    ASSERT_TRUE(s);
    uint8_t header[512];
    ASSERT_TRUE(s->seek(kMiB + 0x30000));
    ASSERT_EQ(s->read(header, 512), 512);
    EXPECT_EQ(0, std::memcmp(header, data.data() + kMiB + 0x30000, 512));
    overwrite(file.path(), kMiB + 0x32000, 0xAB, 512);
    ASSERT_TRUE(s->seek(kMiB + 0x32000));
    ASSERT_EQ(s->read(header, 512), 512);
    EXPECT_EQ(header[0], 0xAB);
    EXPECT_EQ(header[511], 0xAB);
}

// A reader that hops in and then reads on, in small pieces, turns into one
// that streams inside the same block; going back to where it came in then
// finds the bytes it read before, not whatever the block's buffer held.
TEST(FileSource, ReadingOnAfterAHopKeepsWhatWasRead) {
    SampleFile file(3 * kMiB, 23);
    const std::vector<uint8_t>& data = file.data;
    auto s = open(file.path());
    ASSERT_TRUE(s);
    const int64_t entry = kMiB + 0x20000 + 100;
    ASSERT_TRUE(s->seek(entry));
    std::vector<uint8_t> piece(4000);
    for (int64_t at = entry; at < entry + 0x30000; at += static_cast<int64_t>(piece.size())) {
        ASSERT_EQ(s->read(piece.data(), static_cast<int>(piece.size())), static_cast<int>(piece.size()));
        ASSERT_EQ(0, std::memcmp(piece.data(), data.data() + at, piece.size())) << at;
    }
    ASSERT_TRUE(s->seek(entry - 50));
    ASSERT_EQ(s->read(piece.data(), static_cast<int>(piece.size())), static_cast<int>(piece.size()));
    EXPECT_EQ(0, std::memcmp(piece.data(), data.data() + entry - 50, piece.size()));
}

// Hops and reads of every size, across pages and blocks, forwards and back,
// deliver the file's bytes wherever earlier reads left the ring.
TEST(FileSource, ScatteredReadsDeliverTheFile) {
    SampleFile file(3 * kMiB + 5000, 22);
    const std::vector<uint8_t>& data = file.data;
    auto s = open(file.path());
    ASSERT_TRUE(s);
    uint32_t seed = 7;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    std::vector<uint8_t> buf(300000);
    for (int i = 0; i < 400; ++i) {
        int64_t at = next(5) == 0 ? s->tell() + next(0x12000) : next(static_cast<uint32_t>(data.size()));
        int want = static_cast<int>(next(4) == 0 ? next(300000) + 1 : next(6000) + 1);
        if (at >= static_cast<int64_t>(data.size())) continue;
        ASSERT_TRUE(s->seek(at)) << i;
        int expected = static_cast<int>(std::min<int64_t>(want, static_cast<int64_t>(data.size()) - at));
        ASSERT_EQ(s->read(buf.data(), want), expected) << i;
        ASSERT_EQ(0, std::memcmp(buf.data(), data.data() + at, static_cast<size_t>(expected))) << i;
    }
}

TEST(FileSource, TagsAndSiblings) {
    test::TempDir dir;
    test::writeFile(dir / "a.001", "first");
    test::writeFile(dir / "a.002", "second");
    auto first = open(dir / "a.001");
    ASSERT_TRUE(first);
    struct stat info;
    ASSERT_EQ(stat((dir / "a.001").c_str(), &info), 0);
    EXPECT_EQ(first->tag(), static_cast<int64_t>(info.st_mtime));
    FileSource tagged(test::enginePath(dir / "a.001").c_str(), nullptr, 42, -1);
    EXPECT_EQ(tagged.tag(), 42);

    Ref<InStream> second(first->openSibling(u"a.002"));
    ASSERT_TRUE(second);
    auto v = test::readAll(second.get());
    EXPECT_EQ(std::string(v.begin(), v.end()), "second");
    EXPECT_EQ(first->openSibling(u"a.003"), nullptr);
    EXPECT_EQ(first->openSibling(u""), nullptr);
}

TEST(FileSource, NamesOutsideAscii) {
    test::TempDir dir;
    test::writeFile(dir / "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80.bin", "x");
    auto s = open(dir / "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80.bin");
    ASSERT_TRUE(s);
    std::u16string name = s->name();
    EXPECT_NE(name.find(u"ä€😀.bin"), std::u16string::npos);
    EXPECT_EQ(s->size(), 1);
}

}  // namespace
}  // namespace zorvex
