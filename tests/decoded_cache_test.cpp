// Decoded data kept for a second reading: the same bytes as decoding again,
// with the packed data read only once.
#include "engine/decoded_cache.h"

#include "codec_fixtures.h"
#include "engine/format_registry.h"
#include "platform/platform.h"
#include "test_util.h"

namespace zorvex::test {
namespace {

// A .gz of `data` read through a kept stream; the packed bytes are counted.
struct Kept {
    std::vector<uint8_t> gz;
    Ref<CountingStream> packed;
    Ref<InStream> stream;
};

std::u16string enginePath(const fs::path& path) { return platform::fromNativePath(path.native()); }

// With `staged`, entries' data may be kept apart in the folder dir/stage.
Kept keptGzip(const TempDir& dir, const std::vector<uint8_t>& data, bool cutInHalf = false, bool staged = false) {
    writeFile(dir / "data", data.data(), data.size());
    EXPECT_EQ(run("cd '" + dir.path().string() + "' && gzip -6 -k -f data"), 0);
    Kept k{readFile(dir / "data.gz"), {}, {}};
    if (cutInHalf) k.gz.resize(k.gz.size() / 2);
    Ref<InStream> memory(MemoryStream::create(u"data.gz", nullptr, 0, k.gz.data(), k.gz.size()));
    k.packed = Ref<CountingStream>(new CountingStream(memory.detach()));
    Ref<InStream> decoded(openCodec(u"gzip", k.packed.get(), 0, static_cast<int64_t>(k.gz.size()), -1));
    EXPECT_TRUE(decoded);
    std::u16string stagingFolder;
    if (staged) {
        fs::create_directories(dir / "stage");
        stagingFolder = enginePath(dir / "stage");
    }
    if (decoded) k.stream = Ref<InStream>(keepDecodedData(decoded.detach(), stagingFolder));
    return k;
}

TEST(DecodedCache, ReadsBackWhatWasDecodedWithoutDecodingAgain) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(3 << 20, 21);
    Kept k = keptGzip(dir, data);
    ASSERT_TRUE(k.stream);
    EXPECT_EQ(k.stream->knownSize(), -1);

    // A jump ahead keeps the bytes in between, then everything reads back.
    EXPECT_EQ(readAt(k.stream.get(), 2000000, 1000), slice(data, 2000000, 1000));
    for (int64_t at : {0, 123457, 1999999, 2999999, 1000, 3145727}) {
        int count = static_cast<int>(std::min<int64_t>(70000, int64_t(data.size()) - at));
        EXPECT_EQ(readAt(k.stream.get(), at, count), slice(data, at, count)) << at;
    }
    EXPECT_TRUE(k.stream->seek(0));
    EXPECT_EQ(readAll(k.stream.get()), data);
    EXPECT_EQ(k.stream->size(), int64_t(data.size()));
    EXPECT_FALSE(k.stream->seek(int64_t(data.size())));
    EXPECT_FALSE(k.stream->damaged());
    // The packed data was read once: the gzip reader's own probing aside.
    EXPECT_LT(k.packed->bytesRead, int64_t(k.gz.size()) * 3 / 2);
}

TEST(DecodedCache, SizeAskedFirstKeepsEverything) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(1 << 20, 22);
    Kept k = keptGzip(dir, data);
    ASSERT_TRUE(k.stream);
    EXPECT_EQ(k.stream->size(), int64_t(data.size()));
    int64_t afterSize = k.packed->bytesRead;
    EXPECT_EQ(readAll(k.stream.get()), data);
    EXPECT_EQ(k.packed->bytesRead, afterSize);
}

// A window reaching to the end of a kept stream (the data of a compressed
// stream read from a pipe): reads seek to the end of what is kept and still
// fill whole pieces, and the window learns its size, or the damage, there.
TEST(DecodedCache, WindowToTheEndReadsWholePiecesAndPassesDamageOn) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(1 << 20, 24);
    for (bool cut : {false, true}) {
        SCOPED_TRACE(cut);
        Kept k = keptGzip(dir, data, cut);
        ASSERT_TRUE(k.stream);
        Ref<InStream> window(new StoreStream(u"data", nullptr, 0, k.stream.get(), 0, -1));
        EXPECT_EQ(window->knownSize(), -1);
        std::vector<uint8_t> piece(1 << 16);
        EXPECT_EQ(window->read(piece.data(), int(piece.size())), int(piece.size()));
        std::vector<uint8_t> got(piece);
        for (int n; (n = window->read(piece.data(), int(piece.size()))) > 0;)
            got.insert(got.end(), piece.begin(), piece.begin() + n);
        EXPECT_EQ(window->damaged(), cut);
        EXPECT_EQ(got == data, !cut);
        EXPECT_EQ(window->size(), int64_t(got.size()));
    }
}

TEST(DecodedCache, DamageIsPassedOn) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(1 << 20, 23);
    Kept k = keptGzip(dir, data, true);
    ASSERT_TRUE(k.stream);
    auto got = readAll(k.stream.get());
    EXPECT_LT(got.size(), data.size());
    EXPECT_TRUE(k.stream->damaged());
    // Read back from the kept part, the stream still says so.
    EXPECT_TRUE(k.stream->seek(0));
    EXPECT_EQ(readAll(k.stream.get()), got);
    EXPECT_TRUE(k.stream->damaged());
}

// Ranges announced ahead are kept in files of their own: every byte reads
// back the same wherever the reads cross their edges, and each such file can
// be given a name once, only when it holds exactly the range, decoded whole.
TEST(DecodedCache, RangesKeptApartReadBackAndLinkOnce) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(3 << 20, 24);
    Kept k = keptGzip(dir, data, false, true);
    ASSERT_TRUE(k.stream);
    k.stream->keepApart(100000, 500000);
    k.stream->keepApart(50, 100);            // too small to be worth a file
    k.stream->keepApart(1000000, 70000);
    k.stream->keepApart(1050000, 100000);    // overlaps the one before
    EXPECT_FALSE(k.stream->linkRange(100000, 500000, enginePath(dir / "early")));  // not decoded yet

    EXPECT_EQ(readAt(k.stream.get(), 2000000, 1000), slice(data, 2000000, 1000));
    for (int64_t at : {0, 99000, 599000, 999990, 1069990, 150000, 3140000}) {
        int count = static_cast<int>(std::min<int64_t>(20000, int64_t(data.size()) - at));
        EXPECT_EQ(readAt(k.stream.get(), at, count), slice(data, at, count)) << at;
    }
    EXPECT_FALSE(k.stream->linkRange(100000, 499999, enginePath(dir / "short")));
    EXPECT_FALSE(k.stream->linkRange(50, 100, enginePath(dir / "small")));
    EXPECT_FALSE(k.stream->linkRange(1050000, 100000, enginePath(dir / "overlapping")));
    ASSERT_TRUE(k.stream->linkRange(100000, 500000, enginePath(dir / "first")));
    EXPECT_FALSE(k.stream->linkRange(100000, 500000, enginePath(dir / "again")));
    EXPECT_FALSE(k.stream->linkRange(1000000, 70000, enginePath(dir / "first")));  // the name is taken
    ASSERT_TRUE(k.stream->linkRange(1000000, 70000, enginePath(dir / "second")));
    EXPECT_TRUE(k.stream->seek(0));
    EXPECT_EQ(readAll(k.stream.get()), data);

    k.stream = {};
    EXPECT_EQ(readFile(dir / "first"), slice(data, 100000, 500000));
    EXPECT_EQ(readFile(dir / "second"), slice(data, 1000000, 70000));
    for (const char* name : {"early", "short", "small", "overlapping", "again"}) EXPECT_FALSE(fs::exists(dir / name));
    EXPECT_TRUE(fs::is_empty(dir / "stage"));  // nothing is left behind
}

// Ranges whose end the reader learns by reading them (zip entries whose
// sizes follow their data): a big one is linked as any other, a small one
// joins the scratch file, and both read back whole.
TEST(DecodedCache, RangesOfUnknownSizeEndWhereTheReaderSays) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(1 << 20, 26);
    Kept k = keptGzip(dir, data, false, true);
    ASSERT_TRUE(k.stream);
    k.stream->keepApart(100000, -1);
    EXPECT_EQ(readAt(k.stream.get(), 100000, 200000), slice(data, 100000, 200000));
    k.stream->endApart(300000);
    k.stream->keepApart(400000, -1);
    EXPECT_EQ(readAt(k.stream.get(), 400000, 1000), slice(data, 400000, 1000));
    k.stream->endApart(401000);
    EXPECT_TRUE(k.stream->seek(0));
    EXPECT_EQ(readAll(k.stream.get()), data);
    EXPECT_FALSE(k.stream->linkRange(400000, 1000, enginePath(dir / "small")));
    ASSERT_TRUE(k.stream->linkRange(100000, 200000, enginePath(dir / "big")));
    k.stream = {};
    EXPECT_EQ(readFile(dir / "big"), slice(data, 100000, 200000));
    EXPECT_FALSE(fs::exists(dir / "small"));
    EXPECT_TRUE(fs::is_empty(dir / "stage"));
}

TEST(DecodedCache, DamagedDataIsNeverLinked) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(1 << 20, 25);
    Kept k = keptGzip(dir, data, true, true);
    ASSERT_TRUE(k.stream);
    k.stream->keepApart(1000, 100000);
    EXPECT_EQ(readAt(k.stream.get(), 1000, 100000), slice(data, 1000, 100000));
    readAll(k.stream.get());
    ASSERT_TRUE(k.stream->damaged());
    EXPECT_FALSE(k.stream->linkRange(1000, 100000, enginePath(dir / "linked")));
    EXPECT_FALSE(fs::exists(dir / "linked"));
}

// A tar inside a .gz, listed and then read entry by entry, last first (as an
// extraction folder by folder reads a tar whose folders interleave): planned
// for reading every entry, the packed data is read once; only browsing, each
// step back decodes from the start again.
TEST(DecodedCache, NestedTarListedThenReadDecodesOnce) {
    REQUIRE_TOOL("tar");
    REQUIRE_TOOL("gzip");
    TempDir dir;
    fs::create_directories(dir / "tree");
    std::vector<std::vector<uint8_t>> files;
    for (int i = 0; i < 8; ++i) {
        files.push_back(sampleData(300000, 30 + i));
        writeFile(dir / ("tree/f" + std::to_string(i)), files.back().data(), files.back().size());
    }
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && tar -cf t.tar tree && gzip -k t.tar"), 0);
    auto gz = readFile(dir / "t.tar.gz");

    auto readEverything = [&](ReadPlan plan) -> int64_t {
        Ref<InStream> memory(MemoryStream::create(u"t.tar.gz", nullptr, 0, gz.data(), gz.size()));
        Ref<CountingStream> counting(new CountingStream(memory.detach()));
        Ref<Archive> outer(detectAndOpen(u"t.tar.gz", nullptr, counting.get()));
        EXPECT_TRUE(outer);
        if (!outer) return -1;
        outer->setReadPlan(plan);
        Ref<Archive> tar(outer->openNestedArchive(0));
        EXPECT_TRUE(tar);
        if (!tar) return -1;
        // Listing the tar decoded it to its end: its size, which gzip does
        // not state, is known now and costs no more reading.
        int64_t listed = counting->bytesRead;
        EXPECT_EQ(outer->nestedSize(0), int64_t(fs::file_size(dir / "t.tar")));
        EXPECT_EQ(counting->bytesRead, listed);
        Ref<Archive> tree(tar->openFolderByName(u"tree"));
        EXPECT_TRUE(tree);
        if (!tree) return -1;
        for (int i = 7; i >= 0; --i) {
            Ref<InStream> file(tree->openFileByName((u"f" + std::u16string(1, char16_t(u'0' + i))).c_str()));
            EXPECT_TRUE(file);
            if (file) EXPECT_EQ(readAll(file.get()), files[i]) << i;
        }
        return counting->bytesRead;
    };
    int64_t planned = readEverything(ReadPlan::kEveryEntry);
    int64_t browsed = readEverything(ReadPlan::kBrowse);
    EXPECT_LT(planned, int64_t(gz.size()) * 11 / 10);
    // Browsing decodes again for each file read backwards, from the restart
    // point (one every MiB) before it.
    EXPECT_GT(browsed, int64_t(gz.size()) * 2);
}

}  // namespace
}  // namespace zorvex::test
