#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"

namespace zorvex::test {
namespace {

// Packs `data` with xz and the given options; returns the .xz bytes.
std::vector<uint8_t> makeXz(const TempDir& dir, const std::vector<uint8_t>& data, const std::string& options) {
    writeFile(dir / "data", data.data(), data.size());
    EXPECT_EQ(run("cd '" + dir.path().string() + "' && xz -c -T1 " + options + " data > data.xz"), 0) << options;
    return readFile(dir / "data.xz");
}

void expectDecodes(const std::vector<uint8_t>& xz, const std::vector<uint8_t>& data, const std::string& what) {
    auto stream = openCodec(u"xz", xz, -1);
    ASSERT_TRUE(stream) << what;
    EXPECT_EQ(stream->size(), static_cast<int64_t>(data.size())) << what;
    EXPECT_TRUE(readAll(stream.get()) == data) << what;
}

uint32_t le32At(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

// Where the index of the (last) stream starts.
size_t indexStart(const std::vector<uint8_t>& xz) {
    return xz.size() - 12 - (size_t{le32At(xz, xz.size() - 8)} + 1) * 4;
}

TEST(Xz, DecodesEveryCheckType) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(300000, 21);
    for (const char* check : {"none", "crc32", "crc64", "sha256"})
        expectDecodes(makeXz(dir, data, std::string("--check=") + check), data, check);
    expectDecodes(makeXz(dir, {}, ""), {}, "empty");
    expectDecodes(makeXz(dir, {'x'}, "--lzma2=preset=0"), {'x'}, "one byte");
}

TEST(Xz, DecodesFilterChains) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(150000, 22);
    uint32_t x = 5;
    for (size_t i = 60000; i < 90000; ++i) data[i] = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    for (const char* filters :
         {"--x86", "--x86=start=4096", "--arm", "--arm=start=1024", "--armthumb", "--armthumb=start=64",
          "--powerpc", "--powerpc=start=256", "--sparc", "--sparc=start=512", "--ia64", "--ia64=start=4096",
          "--delta=dist=3", "--delta=dist=256", "--x86 --delta=dist=2"})
        expectDecodes(makeXz(dir, data, std::string(filters) + " --lzma2=preset=1"), data, filters);
}

TEST(Xz, BlocksStreamsAndPadding) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto first = sampleData(100000, 23);
    auto second = sampleData(70001, 24);
    auto a = makeXz(dir, first, "--block-size=16384 --check=crc32");
    auto b = makeXz(dir, second, "--block-size=30000");
    auto empty = makeXz(dir, {}, "");
    std::vector<uint8_t> padding(8, 0);
    auto joined = concat(concat(concat(concat(concat(a, padding), empty), b), {0, 0, 0, 0}), padding);
    auto data = concat(first, second);
    expectDecodes(joined, data, "joined");

    // Padding that is not a multiple of four, or not zero, is damage.
    EXPECT_FALSE(openCodec(u"xz", concat(a, {0, 0}), -1));
    EXPECT_FALSE(openCodec(u"xz", concat(a, {0, 0, 1, 0}), -1));

    // Seeks land in the right block of the right stream, backwards and forwards.
    auto stream = openCodec(u"xz", joined, -1);
    ASSERT_TRUE(stream);
    for (int64_t at : {150000, 3, 16384, 16383, 99999, 100000, 170000, 120000, 0, 65536, 169999}) {
        int count = static_cast<int>(std::min<int64_t>(40000, 170001 - at));
        EXPECT_TRUE(readAt(stream.get(), at, count) == slice(data, at, count)) << at;
    }
    EXPECT_FALSE(stream->seek(170001));
}

TEST(Xz, SizeComesFromTheIndexes) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(200000, 25);
    auto xz = makeXz(dir, data, "--block-size=50000");
    // Damaged block data does not change the size, only what can be read.
    xz[indexStart(xz) / 2] ^= 0xFF;
    auto prefixed = concat(std::vector<uint8_t>(9, 0x77), xz);
    auto source = memorySource(prefixed);
    auto stream = openCodec(u"xz", source.get(), 9, static_cast<int64_t>(xz.size()), -1);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->size(), static_cast<int64_t>(data.size()));
    EXPECT_LT(readAll(stream.get()).size(), data.size());
    // Blocks after the damaged one still read.
    EXPECT_TRUE(readAt(stream.get(), 150000, 50000) == slice(data, 150000, 50000));
}

TEST(Xz, CheckMismatchShortensTheBlock) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(60000, 26);
    struct Case {
        const char* check;
        size_t checkSize;
    };
    for (Case c : {Case{"crc32", 4}, Case{"crc64", 8}, Case{"sha256", 32}}) {
        auto whole = makeXz(dir, data, std::string("--check=") + c.check);
        // The first and the last byte of the only block's check value.
        for (size_t back : {c.checkSize, size_t{1}}) {
            std::string what = std::string(c.check) + " byte " + std::to_string(c.checkSize - back);
            auto xz = whole;
            xz[indexStart(xz) - back] ^= 1;
            auto stream = openCodec(u"xz", xz, -1);
            ASSERT_TRUE(stream) << what;
            auto got = readAll(stream.get());
            EXPECT_EQ(got.size(), data.size() - 1) << what;
            EXPECT_TRUE(stream->damaged()) << what;
            EXPECT_EQ(stream->read(got.data(), 1), 0) << what;
            // Reading after a seek back still stops short of the end.
            EXPECT_TRUE(stream->seek(0)) << what;
            EXPECT_EQ(readAll(stream.get()).size(), data.size() - 1) << what;
        }
        auto stream = openCodec(u"xz", whole, -1);
        ASSERT_TRUE(stream) << c.check;
        EXPECT_TRUE(readAll(stream.get()) == data) << c.check;
        EXPECT_FALSE(stream->damaged()) << c.check;
    }
}

TEST(Xz, RejectsDamagedFramingAndUnknownFilters) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(30000, 27);
    auto xz = makeXz(dir, data, "");
    EXPECT_FALSE(openCodec(u"xz", std::vector<uint8_t>(xz.begin(), xz.end() - 1), -1));
    EXPECT_FALSE(openCodec(u"xz", std::vector<uint8_t>(xz.begin() + 1, xz.end()), -1));
    EXPECT_FALSE(openCodec(u"xz", std::vector<uint8_t>(64, 0), -1));
    EXPECT_FALSE(openCodec(u"xz", std::vector<uint8_t>{}, -1));
    for (size_t at : {size_t{0}, size_t{7}, indexStart(xz) + 1, xz.size() - 10, xz.size() - 1}) {
        auto bad = xz;
        bad[at] ^= 0x10;
        EXPECT_FALSE(openCodec(u"xz", bad, -1)) << at;
    }

    // A filter this reader does not know: the size is known, the data is not readable.
    if (run("xz --arm64 -c /dev/null >/dev/null 2>&1") == 0) {
        auto arm64 = makeXz(dir, data, "--arm64 --lzma2");
        auto stream = openCodec(u"xz", arm64, -1);
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->size(), static_cast<int64_t>(data.size()));
        EXPECT_TRUE(readAll(stream.get()).empty());
    }
}

TEST(Xz, DamageAnywhereNeverFaults) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    auto data = sampleData(40000, 28);
    auto xz = makeXz(dir, data, "--x86 --delta=dist=2 --lzma2=preset=1 --block-size=8000 --check=crc32");
    for (size_t at = 0; at < xz.size(); at += 31) {
        auto bad = xz;
        bad[at] ^= static_cast<uint8_t>(at * 37 + 1);
        auto stream = openCodec(u"xz", bad, -1);
        if (!stream) continue;
        EXPECT_LE(readAll(stream.get()).size(), data.size());
        stream->seek(static_cast<int64_t>(at) % 40000);
        readAll(stream.get());
    }
}

// A small file whose header asks for a dictionary of 1.5 GiB decodes within
// a few hundred MiB of address space: the dictionary is cut to what the block's
// known size needs. (Sanitizer builds reserve far more address space than the
// limit, so the check runs in plain builds only.)
TEST(Xz, SmallBlockDoesNotAllocateTheStatedDictionary) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limit does not apply under the sanitizer";
#else
    REQUIRE_TOOL("xz");
    TempDir dir;
    std::vector<uint8_t> data = sampleData(1200, 9);
    makeXz(dir, data, "--lzma2=dict=1536MiB");
    std::string out = runOutput("ulimit -v 400000 && '" + cliPath() + "' cat '" + (dir / "data.xz").string() + "/data'");
    EXPECT_TRUE(std::vector<uint8_t>(out.begin(), out.end()) == data);
#endif
}

TEST(Xz, ZipMethodsLzmaAndXzEndToEnd) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    auto data = sampleData(300000, 29);
    writeFile(dir / "d", data.data(), data.size());
    for (const char* method : {"LZMA", "XZ"}) {
        std::string zip = std::string(method) + ".zip";
        mustRun(dir, std::string("7zz a -tzip -mm=") + method + " -bso0 -bsp0 " + zip + " d");
        auto got = entryData(insidePath(dir / zip, "d"));
        ASSERT_TRUE(got) << method;
        EXPECT_TRUE(*got == data) << method;
    }
    REQUIRE_TOOL("python3");
    mustRun(dir, "python3 -c \"import zipfile; zipfile.ZipFile('py.zip', 'w', zipfile.ZIP_LZMA).write('d')\"");
    auto got = entryData(insidePath(dir / "py.zip", "d"));
    ASSERT_TRUE(got);
    EXPECT_TRUE(*got == data);
}

// Expected size and SHA-256 of the one entry of a corpus file, from the manifest.
bool manifestRow(const fs::path& corpus, const std::string& archive, int64_t* size, std::string* sha) {
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    std::string line;
    while (std::getline(manifest, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() > 4 && fields[0] == archive && fields[1] == "file") {
            *size = std::stoll(fields[3]);
            *sha = fields[4];
            return true;
        }
    }
    return false;
}

TEST(Xz, CorpusFilesDecode) {
    REQUIRE_CORPUS(corpus);
    int checked = 0;
    for (const auto& item : fs::directory_iterator(corpus / "single")) {
        auto ext = item.path().extension();
        if (ext != ".xz" && ext != ".lzma") continue;
        std::string name = "single/" + item.path().filename().string();
        int64_t size;
        std::string sha;
        if (!manifestRow(corpus, name, &size, &sha)) continue;
        auto bytes = readFile(item.path());
        Ref<InStream> stream;
        if (ext == ".xz") {
            stream = openCodec(u"xz", bytes, -1);
        } else {
            // Properties, then the data after the 8-byte size field.
            auto packed = concat(slice(bytes, 0, 5), slice(bytes, 13, bytes.size() - 13));
            stream = openPropertiesFirst(u"lzma", packed, -1);
        }
        ASSERT_TRUE(stream) << name;
        EXPECT_EQ(stream->size(), size) << name;
        EXPECT_EQ(sha256Hex(readAll(stream.get())), sha) << name;
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace zorvex::test
