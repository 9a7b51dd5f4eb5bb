// gzip, bzip2, lzma, xz and lzip files: naming, content through the engine,
// several members, lying trailers and sizes beyond 32 bits.
#include <cstdio>
#include <cstring>

#include "engine/convert.h"
#include "engine/format_registry.h"
#include "tests/archive_support.h"

namespace zorvex::test {
namespace {

// The single entry of a compressed file: its name and data.
struct Single {
    std::string name;
    int64_t listedSize = -1;
    std::optional<std::vector<uint8_t>> data;
};

Single openSingle(const fs::path& file) {
    Single out;
    Ref<Archive> archive(openArchivePath(insidePath(file).c_str()));
    if (!archive) return out;
    std::map<std::string, int64_t> listed = listTree(archive.get());
    if (listed.size() != 1) return out;
    out.name = listed.begin()->first;
    out.listedSize = listed.begin()->second;
    out.data = entryData(insidePath(file, out.name));
    return out;
}

void expectContent(const fs::path& file, const std::string& name, const std::vector<uint8_t>& content) {
    SCOPED_TRACE(file.filename().string());
    Single single = openSingle(file);
    EXPECT_EQ(single.name, name);
    EXPECT_EQ(single.listedSize, int64_t(content.size()));
    ASSERT_TRUE(single.data);
    EXPECT_TRUE(*single.data == content);
}

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

// Bytes that do not compress (a fixed sequence per seed).
std::vector<uint8_t> noiseData(size_t size, uint32_t seed) {
    std::vector<uint8_t> noise(size);
    for (uint8_t& byte : noise) byte = uint8_t((seed = seed * 1103515245 + 12345) >> 23);
    return noise;
}

// `data` written as `name` in `dir` and packed by gzip; the .gz bytes.
std::vector<uint8_t> gzipOf(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& data) {
    writeFile(dir / name, data.data(), data.size());
    EXPECT_EQ(run("cd " + q(dir.path()) + " && gzip -n -c " + name + " > " + name + ".gz"), 0);
    return readFile(dir / (name + ".gz"));
}

TEST(Single, EachCompressorThroughTheEngine) {
    struct Tool {
        const char* program;
        const char* command;  // compresses data.bin to stdout
        const char* suffix;
    } tools[] = {
        {"gzip", "gzip -n -c", ".gz"},      {"bzip2", "bzip2 -c", ".bz2"},
        {"xz", "xz -c", ".xz"},             {"xz", "xz --format=lzma -c", ".lzma"},
        {"lzip", "lzip -c", ".lz"},         {"xz", "xz -c --check=sha256 --x86 --lzma2", ".xz"},
        {"zstd", "zstd -q -c", ".zst"},
    };
    TempDir dir;
    std::vector<uint8_t> content = sampleData(200000, 11);
    writeFile(dir / "data.bin", content.data(), content.size());
    int i = 0;
    for (const Tool& tool : tools) {
        if (!haveTool(tool.program)) continue;
        fs::path out = dir / ("c" + std::to_string(i++)) / (std::string("data.bin") + tool.suffix);
        fs::create_directories(out.parent_path());
        ASSERT_EQ(run(std::string(tool.command) + " " + q(dir / "data.bin") + " > " + q(out)), 0);
        expectContent(out, "data.bin", content);
    }
}

TEST(Single, NamesFollowTheArchiveName) {
    REQUIRE_TOOL("gzip");
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    writeFile(dir / "in", "hello");
    struct Case {
        const char* command;
        const char* archive;
        const char* entry;
    } cases[] = {
        {"gzip -n -c", "backup.tgz", "backup.tar"}, {"gzip -n -c", "A.TGZ", "A.tar"},
        {"gzip -n -c", "data.zip", "data.zip.out"}, {"gzip -n -c", "x.GZ", "x"},
        {"bzip2 -c", "x.bz", "x"},                  {"bzip2 -c", "data.bin.bz2", "data.bin"},
        {"bzip2 -c", "y.tbz2", "y.tar"},            {"bzip2 -c", "z.tbz", "z.tar"},
    };
    for (const Case& c : cases) {
        fs::path sub = dir / (std::string("d") + c.archive);
        fs::create_directories(sub);
        // data.zip holds gzip data: the signature picks the reader, no rule matches the name.
        fs::path file = sub / c.archive;
        ASSERT_EQ(run(std::string(c.command) + " " + q(dir / "in") + " > " + q(file)), 0);
        Ref<Archive> archive(openArchivePath(insidePath(file).c_str()));
        ASSERT_TRUE(archive) << c.archive;
        EXPECT_EQ(listTree(archive.get()).begin()->first, c.entry) << c.archive;
    }
}

TEST(Single, GzipStoredNameWinsButNeverNamesAFolder) {
    REQUIRE_TOOL("gzip");
    REQUIRE_TOOL("python3");
    TempDir dir;
    writeFile(dir / "original.txt", "stored name");
    ASSERT_EQ(run("cd " + q(dir.path()) + " && gzip -N -c original.txt > renamed.gz"), 0);
    Single single = openSingle(dir / "renamed.gz");
    EXPECT_EQ(single.name, "original.txt");
    ASSERT_TRUE(single.data);
    EXPECT_EQ(fileText(*single.data), "stored name");

    // A stored name with folders keeps only its last component.
    writeFile(dir / "make.py",
              "import gzip\n"
              "with open('" + (dir / "evil.gz").string() + "', 'wb') as f:\n"
              "    with gzip.GzipFile('../../etc/passwd', 'wb', fileobj=f, mtime=0) as g: g.write(b'x')\n");
    ASSERT_EQ(run("python3 " + q(dir / "make.py")), 0);
    EXPECT_EQ(openSingle(dir / "evil.gz").name, "passwd");
}

TEST(Single, GzipWithSeveralMembersYieldsThemAll) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    // Small and large (over the size where the trailer would be believed).
    for (size_t size : {size_t(3000), size_t(3) << 20}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> a = sampleData(size, 21), b = sampleData(size, 22);
        writeFile(dir / "a", a.data(), a.size());
        writeFile(dir / "b", b.data(), b.size());
        ASSERT_EQ(run("cd " + q(dir.path()) + " && gzip -n -c a > a.gz && gzip -n -c b > b.gz && "
                      "cat a.gz b.gz > ab.gz"),
                  0);
        std::vector<uint8_t> both = a;
        both.insert(both.end(), b.begin(), b.end());
        expectContent(dir / "ab.gz", "ab", both);
        // The last member much smaller than the first: the trailer states 3 bytes.
        ASSERT_EQ(run("cd " + q(dir.path()) + " && printf xyz | gzip -n > t.gz && cat a.gz t.gz > at.gz"), 0);
        std::vector<uint8_t> withTail = a;
        withTail.insert(withTail.end(), {'x', 'y', 'z'});
        expectContent(dir / "at.gz", "at", withTail);
    }
    if (haveTool("pigz")) {
        std::vector<uint8_t> big = sampleData(5 << 20, 23);
        writeFile(dir / "big", big.data(), big.size());
        ASSERT_EQ(run("cd " + q(dir.path()) + " && pigz -n -i -b 128 -c big > pigz.gz"), 0);
        expectContent(dir / "pigz.gz", "pigz", big);
    }
}

TEST(Single, GzipMemberWithUnusualExtraFlagsIsFound) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    // A first member of 5 MiB that does not compress, then 10 MiB that do:
    // the last trailer's size is plausible for the whole file. The second
    // header carries extra-flags byte 1, which some writers set; missing that
    // member would list only its 10 MiB from the trailer.
    std::vector<uint8_t> a = noiseData(5 << 20, 777), b;
    std::vector<uint8_t> piece = sampleData(1 << 16, 32);
    for (int i = 0; i < 160; ++i) b.insert(b.end(), piece.begin(), piece.end());
    writeFile(dir / "a", a.data(), a.size());
    writeFile(dir / "b", b.data(), b.size());
    ASSERT_EQ(run("cd " + q(dir.path()) + " && gzip -n -c a > a.gz && gzip -n -c b > b.gz"), 0);
    std::vector<uint8_t> first = readFile(dir / "a.gz"), second = readFile(dir / "b.gz");
    second[8] = 1;
    first.insert(first.end(), second.begin(), second.end());
    writeFile(dir / "ab.gz", first.data(), first.size());
    std::vector<uint8_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    expectContent(dir / "ab.gz", "ab", both);
}

TEST(Single, GzipTrailerThatCannotDescribeTheDataIsNotBelieved) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    // Incompressible data of 2 MiB whose trailer says 1000 bytes, as it would
    // for 4 GiB + 1000 bytes: the size is learnt by decoding. The member's
    // size check then fails, so the entry is damaged, but all that decoded
    // before is the data.
    std::vector<uint8_t> noise = noiseData(2 << 20, 12345);
    std::vector<uint8_t> gz = gzipOf(dir, "noise", noise);
    uint32_t lie = 1000;
    std::memcpy(gz.data() + gz.size() - 4, &lie, 4);
    writeFile(dir / "lie.gz", gz.data(), gz.size());
    Single single = openSingle(dir / "lie.gz");
    EXPECT_GT(single.listedSize, int64_t(noise.size()) - 65536);
    EXPECT_FALSE(single.data);
    Ref<InStream> lied(openStreamPath(insidePath(dir / "lie.gz", "lie").c_str()));
    ASSERT_TRUE(lied);
    std::vector<uint8_t> prefix = readAll(lied.get());
    EXPECT_TRUE(lied->damaged());
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), noise.begin()));

    // An ordinary large file is listed from its trailer and reads completely.
    std::vector<uint8_t> text = sampleData(6 << 20, 24);
    writeFile(dir / "text", text.data(), text.size());
    ASSERT_EQ(run("cd " + q(dir.path()) + " && gzip -n -c text > text.gz"), 0);
    expectContent(dir / "text.gz", "text", text);
}

TEST(Single, BelievedGzipTrailerIsStillChecked) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    // Data that does not compress, large enough for the trailer's size to be
    // believed at listing; a stored size 1000 bytes short, or a wrong CRC,
    // must still make the entry fail rather than end quietly at that size.
    std::vector<uint8_t> text = noiseData(6 << 20, 4242);
    std::vector<uint8_t> gz = gzipOf(dir, "text", text);
    std::vector<uint8_t> shorter = gz, badCrc = gz;
    uint32_t size = uint32_t(text.size()) - 1000;
    std::memcpy(shorter.data() + shorter.size() - 4, &size, 4);
    badCrc[badCrc.size() - 8] ^= 1;
    writeFile(dir / "shorter.gz", shorter.data(), shorter.size());
    writeFile(dir / "crc.gz", badCrc.data(), badCrc.size());
    Single single = openSingle(dir / "shorter.gz");
    EXPECT_EQ(single.listedSize, int64_t(size));
    EXPECT_FALSE(single.data);
    single = openSingle(dir / "crc.gz");
    EXPECT_EQ(single.listedSize, int64_t(text.size()));
    EXPECT_FALSE(single.data);
}

TEST(Single, DamagedOrTinyFilesDoNotCrash) {
    REQUIRE_TOOL("gzip");
    REQUIRE_TOOL("lzip");
    REQUIRE_TOOL("xz");
    TempDir dir;
    std::vector<uint8_t> content = sampleData(100000, 31);
    writeFile(dir / "d", content.data(), content.size());
    ASSERT_EQ(run("cd " + q(dir.path()) + " && gzip -n -c d > d.gz && lzip -c d > d.lz && xz --format=lzma -c d > "
                  "d.lzma && bzip2 -c d > d.bz2 && xz -c d > d.xz"),
              0);
    for (const char* name : {"d.gz", "d.lz", "d.lzma", "d.bz2", "d.xz"}) {
        std::vector<uint8_t> whole = readFile(dir / name);
        for (size_t keep : {size_t(3), size_t(12), size_t(30), whole.size() / 2, whole.size() - 1}) {
            SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(keep));
            fs::path cut = dir / ("cut" + std::to_string(keep)) / name;
            writeFile(cut, whole.data(), keep);
            Ref<Archive> archive(openArchivePath(insidePath(cut).c_str()));
            if (!archive) continue;
            std::map<std::string, int64_t> listed = listTree(archive.get());
            if (listed.empty()) continue;
            std::optional<std::vector<uint8_t>> data = entryData(insidePath(cut, listed.begin()->first));
            if (data) EXPECT_TRUE(std::equal(data->begin(), data->end(), content.begin()));
        }
    }
    // Shorter than the header plus trailer: nothing listed.
    const uint8_t tiny[] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 1, 2};
    writeFile(dir / "tiny.gz", tiny, sizeof tiny);
    Ref<Archive> archive(openArchivePath(insidePath(dir / "tiny.gz").c_str()));
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->fileCount() + archive->nestedCount(), 0);
}

TEST(Single, LzmaSizeFieldIsSixtyFourBits) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    std::vector<uint8_t> content = sampleData(5000, 41);
    writeFile(dir / "v", content.data(), content.size());
    ASSERT_EQ(run("cd " + q(dir.path()) + " && xz --format=lzma -c v > v.lzma"), 0);
    std::vector<uint8_t> lzma = readFile(dir / "v.lzma");
    ASSERT_GE(lzma.size(), 13u);
    expectContent(dir / "v.lzma", "v", content);  // size not stored: learnt by decoding

    auto withSize = [&](const char* name, uint64_t size) {
        for (int i = 0; i < 8; ++i) lzma[5 + i] = uint8_t(size >> (8 * i));
        writeFile(dir / name, lzma.data(), lzma.size());
    };
    withSize("known.lzma", content.size());
    expectContent(dir / "known.lzma", "known", content);
    // A dictionary of 4 GiB asked for by the header is not allocated for 5000 bytes.
    for (int i = 1; i <= 4; ++i) lzma[i] = 0xFF;
    withSize("greedy.lzma", content.size());
    expectContent(dir / "greedy.lzma", "greedy", content);
    withSize("huge.lzma", content.size() + (uint64_t(1) << 32));
    Ref<Archive> archive(openArchivePath(insidePath(dir / "huge.lzma").c_str()));
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->fileSize(0), int64_t(content.size()) + (int64_t(1) << 32));
}

TEST(Single, LzipAndBzip2WithSeveralMembers) {
    REQUIRE_TOOL("lzip");
    REQUIRE_TOOL("bzip2");
    TempDir dir;
    std::vector<uint8_t> a = sampleData(250000, 51), b = sampleData(1000, 52);
    writeFile(dir / "a", a.data(), a.size());
    writeFile(dir / "b", b.data(), b.size());
    ASSERT_EQ(run("cd " + q(dir.path()) + " && lzip -b 100KiB -c a > members.lz && lzip -c a > a.lz && "
                  "lzip -c b > b.lz && cat a.lz b.lz > ab.lz && bzip2 -c a > a.bz2 && bzip2 -c b > b.bz2 && "
                  "cat a.bz2 b.bz2 > ab.bz2"),
              0);
    std::vector<uint8_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    expectContent(dir / "members.lz", "members", a);
    expectContent(dir / "ab.lz", "ab", both);
    expectContent(dir / "ab.bz2", "ab", both);
}

// Peak resident kilobytes of `zorvex <args>` and its exit status, taken from
// the rusage of a python parent that only waits for it.
std::pair<long, int> zorvexPeakKib(const std::string& args) {
    int status = 0;
    std::string out = runOutput("python3 -c 'import resource, subprocess, sys; "
                                "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode; "
                                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, r)' " +
                                    q(cliPath()) + " " + args,
                                &status);
    long kib = -1;
    int rc = -1;
    EXPECT_EQ(std::sscanf(out.c_str(), "%ld %d", &kib, &rc), 2) << out;
    return {kib, rc};
}

TEST(Single, LzipOfManyMembersTakesLittleMemory) {
    REQUIRE_TOOL("lzip");
    REQUIRE_TOOL("python3");
    if (!fs::exists(cliPath())) GTEST_SKIP() << "zorvex is not built";
    TempDir dir;
    constexpr int kMembers = 40000;
    ASSERT_EQ(run("cd " + q(dir.path()) + " && printf x > x && lzip -c x > x.lz && python3 -c \"import sys; "
                  "sys.stdout.buffer.write(open('x.lz', 'rb').read() * " +
                  std::to_string(kMembers) + ")\" > many.lz"),
              0);
    expectContent(dir / "many.lz", "many", std::vector<uint8_t>(kMembers, 'x'));
    // One decoder for all members: a few megabytes, where one decoder per
    // member took hundreds.
    constexpr long kBoundKib = 80 << 10;
    for (const char* command : {"list", "test"}) {
        auto [kib, rc] = zorvexPeakKib(std::string(command) + " " + q(dir / "many.lz"));
        EXPECT_EQ(rc, 0) << command;
        EXPECT_GT(kib, 0) << command;
        EXPECT_LT(kib, kBoundKib) << command;
        RecordProperty(std::string(command) + "PeakKib", std::to_string(kib));
        std::printf("zorvex %s of %d lzip members: peak %ld KiB\n", command, kMembers, kib);
    }
}

TEST(Single, CompressedTarsBrowseInto) {
    REQUIRE_TOOL("tar");
    REQUIRE_TOOL("xz");
    REQUIRE_TOOL("lzip");
    TempDir dir;
    std::vector<uint8_t> content = sampleData(70000, 61);
    writeFile(dir / "src/dir/file.bin", content.data(), content.size());
    REQUIRE_TOOL("zstd");
    ASSERT_EQ(run("cd " + q(dir / "src") + " && tar -cf ../a.tar dir && cd .. && gzip -n -c a.tar > a.tgz && "
                  "gzip -n -c a.tar > b.tar.gz && bzip2 -c a.tar > c.tbz2 && xz -c a.tar > d.txz && "
                  "lzip -c a.tar > e.tlz && xz --format=lzma -c a.tar > f.tlz && zstd -q -c a.tar > g.tzst && "
                  "zstd -q -c a.tar > h.tar.zst"),
              0);
    // f.tlz holds lzma-alone data, as older tools wrote .tlz.
    for (const char* path : {"a.tgz/a.tar", "b.tar.gz/b.tar", "c.tbz2/c.tar", "d.txz/d.tar", "e.tlz/e.tar",
                             "f.tlz/f.tar", "g.tzst/g.tar", "h.tar.zst/h.tar"}) {
        SCOPED_TRACE(path);
        std::optional<std::vector<uint8_t>> data = entryData(insidePath(dir.path(), std::string(path) + "/dir/file.bin"));
        ASSERT_TRUE(data);
        EXPECT_TRUE(*data == content);
    }
}

// The tar inside opens by its headers whatever name gzip stored for it.
TEST(Single, CompressedTarWithAnyInnerNameBrowsesInto) {
    REQUIRE_TOOL("tar");
    REQUIRE_TOOL("gzip");
    TempDir dir;
    writeFile(dir / "src/f.txt", "inner");
    ASSERT_EQ(run("cd " + q(dir / "src") + " && tar -cf ../backup.part1 f.txt && cd .. && "
                  "gzip -N -c backup.part1 > a.tgz && cp a.tgz plain.gz && cp backup.part1 noname"),
              0);
    // Listed as the archive it holds, so that extracting a.tgz gives f.txt.
    Ref<Archive> tgz(openArchivePath(insidePath(dir / "a.tgz").c_str()));
    ASSERT_TRUE(tgz);
    EXPECT_EQ(tgz->fileCount(), 0);
    ASSERT_EQ(tgz->nestedCount(), 1);
    EXPECT_EQ(wideToUtf8(tgz->nestedName(0)).value_or("?"), "backup.part1");
    std::optional<std::vector<uint8_t>> data = entryData(insidePath(dir / "a.tgz", "backup.part1/f.txt"));
    ASSERT_TRUE(data);
    EXPECT_EQ(fileText(*data), "inner");
    // Only a name that says tar makes the start count: a .gz stays one file.
    Single single = openSingle(dir / "plain.gz");
    EXPECT_EQ(single.name, "backup.part1");
    // A wrong CRC-32 or a cut stream is damage, whichever way the data is reached.
    std::vector<uint8_t> packed = readFile(dir / "a.tgz");
    packed[packed.size() - 8] ^= 1;
    writeFile(dir / "crc.tgz", packed.data(), packed.size());
    writeFile(dir / "cut.tgz", packed.data(), packed.size() / 2);
    for (const char* damaged : {"crc.tgz", "cut.tgz"}) {
        SCOPED_TRACE(damaged);
        EXPECT_FALSE(entryData(insidePath(dir / damaged, "backup.part1")));
        EXPECT_FALSE(entryData(insidePath(dir / damaged, "backup.part1/f.txt")));
    }
    // A tar on disk without an extension opens too, by its header checksum.
    data = entryData(insidePath(dir / "noname", "f.txt"));
    ASSERT_TRUE(data);
    EXPECT_EQ(fileText(*data), "inner");
}

TEST(Single, TarGzInsideZip) {
    REQUIRE_TOOL("7zz");
    if (!formatNameFor(u"x.zip")) GTEST_SKIP() << "no zip reader in this build";
    TempDir dir;
    std::vector<uint8_t> content = sampleData(40000, 71);
    writeFile(dir / "src/dir/f.txt", content.data(), content.size());
    ASSERT_EQ(run("cd " + q(dir / "src") + " && tar -czf ../in.tar.gz dir && cd .. && 7zz a -bd out.zip in.tar.gz "
                  ">/dev/null"),
              0);
    std::optional<std::vector<uint8_t>> data = entryData(insidePath(dir / "out.zip", "in.tar.gz/in.tar/dir/f.txt"));
    ASSERT_TRUE(data);
    EXPECT_TRUE(*data == content);
}

TEST(Single, Corpus) {
    REQUIRE_CORPUS(corpus);
    checkCorpusFolder(corpus, "single");
}

}  // namespace
}  // namespace zorvex::test
