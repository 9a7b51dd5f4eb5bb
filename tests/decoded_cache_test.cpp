// Decoded data kept for a second reading: the same bytes as decoding again,
// with the packed data read only once.
#include "engine/decoded_cache.h"

#include "codec_fixtures.h"
#include "engine/format_registry.h"
#include "test_util.h"

namespace zorvex::test {
namespace {

std::vector<uint8_t> gzipOf(const TempDir& dir, const std::vector<uint8_t>& data, const std::string& name = "data") {
    writeFile(dir / name, data.data(), data.size());
    EXPECT_EQ(run("cd '" + dir.path().string() + "' && gzip -6 -k -f " + name), 0);
    return readFile(dir / (name + ".gz"));
}

struct Counted {
    Ref<CountingStream> packed;
    Ref<InStream> kept;
};

Counted keptGzip(const std::vector<uint8_t>& gz) {
    Ref<InStream> memory(MemoryStream::create(u"data.gz", nullptr, 0, gz.data(), gz.size()));
    Counted c{Ref<CountingStream>(new CountingStream(memory.detach())), {}};
    Ref<InStream> decoded(openCodec(u"gzip", c.packed.get(), 0, static_cast<int64_t>(gz.size()), -1));
    EXPECT_TRUE(decoded);
    if (decoded) c.kept = Ref<InStream>(keepDecodedData(decoded.detach()));
    return c;
}

std::vector<uint8_t> readAt(InStream* s, int64_t at, int count) {
    std::vector<uint8_t> out(count);
    if (!s->seek(at)) return {};
    int got = 0;
    while (got < count) {
        int n = s->read(out.data() + got, count - got);
        if (n <= 0) break;
        got += n;
    }
    out.resize(got);
    return out;
}

TEST(DecodedCache, ReadsBackWhatWasDecodedWithoutDecodingAgain) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(3 << 20, 21);
    auto gz = gzipOf(dir, data);
    Counted c = keptGzip(gz);
    ASSERT_TRUE(c.kept);
    EXPECT_EQ(c.kept->knownSize(), -1);

    // A jump ahead keeps the bytes in between, then everything reads back.
    EXPECT_EQ(readAt(c.kept.get(), 2000000, 1000), std::vector<uint8_t>(data.begin() + 2000000, data.begin() + 2001000));
    for (int64_t at : {0, 123457, 1999999, 2999999, 1000, 3145727}) {
        int count = static_cast<int>(std::min<int64_t>(70000, int64_t(data.size()) - at));
        EXPECT_EQ(readAt(c.kept.get(), at, count), std::vector<uint8_t>(data.begin() + at, data.begin() + at + count))
            << at;
    }
    EXPECT_TRUE(c.kept->seek(0));
    EXPECT_EQ(readAll(c.kept.get()), data);
    EXPECT_EQ(c.kept->size(), int64_t(data.size()));
    EXPECT_FALSE(c.kept->seek(int64_t(data.size())));
    EXPECT_FALSE(c.kept->damaged());
    // The packed data was read once: the gzip reader's own probing aside.
    EXPECT_LT(c.packed->bytesRead, int64_t(gz.size()) * 3 / 2);
}

TEST(DecodedCache, SizeAskedFirstKeepsEverything) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(1 << 20, 22);
    auto gz = gzipOf(dir, data);
    Counted c = keptGzip(gz);
    ASSERT_TRUE(c.kept);
    EXPECT_EQ(c.kept->size(), int64_t(data.size()));
    int64_t afterSize = c.packed->bytesRead;
    EXPECT_EQ(readAll(c.kept.get()), data);
    EXPECT_EQ(c.packed->bytesRead, afterSize);
}

TEST(DecodedCache, DamageIsPassedOn) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    auto data = sampleData(1 << 20, 23);
    auto gz = gzipOf(dir, data);
    gz.resize(gz.size() / 2);
    Counted c = keptGzip(gz);
    ASSERT_TRUE(c.kept);
    auto got = readAll(c.kept.get());
    EXPECT_LT(got.size(), data.size());
    EXPECT_TRUE(c.kept->damaged());
    // Read back from the kept part, the stream still says so.
    EXPECT_TRUE(c.kept->seek(0));
    EXPECT_EQ(readAll(c.kept.get()), got);
    EXPECT_TRUE(c.kept->damaged());
}

// A tar inside a .gz, listed and then read entry by entry: planned for
// reading every entry, the packed data is read once; only browsing, it is
// decoded again for the entries.
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
        Ref<Archive> tree(tar->openFolderByName(u"tree"));
        EXPECT_TRUE(tree);
        if (!tree) return -1;
        for (int i = 0; i < 8; ++i) {
            Ref<InStream> file(tree->openFileByName((u"f" + std::u16string(1, char16_t(u'0' + i))).c_str()));
            EXPECT_TRUE(file);
            if (file) EXPECT_EQ(readAll(file.get()), files[i]) << i;
        }
        return counting->bytesRead;
    };
    int64_t planned = readEverything(ReadPlan::kEveryEntry);
    int64_t browsed = readEverything(ReadPlan::kBrowse);
    EXPECT_LT(planned, int64_t(gz.size()) * 11 / 10);
    EXPECT_GT(browsed, int64_t(gz.size()) * 3 / 2);
}

}  // namespace
}  // namespace zorvex::test
