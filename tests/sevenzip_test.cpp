// The 7z reader: archives made by 7zz with every coder it can write, read
// back through `zorvex extract` and the engine; hand-made headers for the
// cases 7zz does not write (zero-substream folders, anti-items, unknown
// coders, nested encoded headers, hostile counts); the corpus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/crc32.h"
#include "fuzz/walk.h"
#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex::test {
namespace {

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Files of every kind the reader distinguishes: text, an x86 program (so the
// branch filters have work), an empty file, an empty folder, a non-ASCII name.
void makeInputTree(const fs::path& root) {
    std::vector<uint8_t> text = sampleData(200000, 7);
    writeFile(root / "text.txt", text.data(), text.size());
    std::vector<uint8_t> program = readFile("/bin/ls");
    writeFile(root / "bin" / "ls", program.data(), program.size());
    writeFile(root / "bin" / "empty", "");
    writeFile(root / u8"тест.txt", "unicode name\n");
    fs::create_directories(root / "nothing" / "inside");
}

// Makes an archive of the input tree with 7zz's `switches`, extracts it with
// zorvex and compares both trees, folders included.
void roundTrip(const std::string& switches) {
    SCOPED_TRACE(switches);
    TempDir dir;
    makeInputTree(dir / "in");
    mustRun(dir, "cd in && 7zz a -bso0 -bsp0 " + switches + " ../a.7z . >/dev/null");
    int status = run(quote(cliPath()) + " extract -C " + quote(dir / "out") + " " + quote(dir / "a.7z") +
                     " >/dev/null 2>&1");
    EXPECT_EQ(status, 0);
    // Several top-level items are extracted into a folder named after the archive.
    EXPECT_EQ(run("diff -r " + quote(dir / "in") + " " + quote(dir / "out" / "a") + " >/dev/null"), 0);
}

TEST(SevenZipGenerated, EveryCoderRoundTrips) {
    REQUIRE_TOOL("7zz");
    const char* methods[] = {
        "-m0=LZMA", "-m0=LZMA2", "-m0=BZip2", "-m0=Deflate", "-m0=Deflate64", "-m0=Copy",
        "-m0=PPMd:o=2:mem=1m", "-m0=PPMd:o=8:mem=16m", "-m0=PPMd:o=32:mem=192m", "-m0=PPMd:o=32:mem=1024m",
        "-m0=BCJ -m1=LZMA", "-mf=BCJ2", "-m0=BCJ2 -m1=LZMA -m2=LZMA -m3=LZMA -mb0s0:1 -mb0s1:2 -mb0s2:3",
        "-m0=ARM -m1=LZMA2", "-m0=ARMT -m1=LZMA2", "-m0=ARM64 -m1=LZMA2", "-m0=PPC -m1=LZMA2",
        "-m0=SPARC -m1=LZMA2", "-m0=IA64 -m1=LZMA2", "-m0=RISCV -m1=LZMA2", "-m0=Delta:1 -m1=LZMA2",
        "-m0=Delta:2 -m1=LZMA", "-m0=Delta:4 -m1=LZMA2", "-m0=Delta:32 -m1=LZMA2",
    };
    for (const char* method : methods) roundTrip(method);
}

TEST(SevenZipGenerated, SolidAndHeaderVariantsRoundTrip) {
    REQUIRE_TOOL("7zz");
    for (const char* switches : {"-ms=on", "-ms=off", "-ms=off -mhc=off", "-ms=on -mhc=off", "-mhc=on -mhe=off",
                                 "-ms=2f -m0=LZMA", "-ms=off -mf=BCJ2"})
        roundTrip(switches);
}

TEST(SevenZipGenerated, OnlyFoldersAndEmptyFilesList) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    fs::create_directories(dir / "in" / "a" / "b");
    fs::create_directories(dir / "in" / "c");
    writeFile(dir / "in" / "c" / "zero", "");
    mustRun(dir, "cd in && 7zz a -bso0 ../a.7z . >/dev/null");
    Ref<Archive> archive(openArchivePath(insidePath(dir / "a.7z").c_str()));
    ASSERT_TRUE(archive);
    std::map<std::string, int64_t> tree = listTree(archive.get());
    EXPECT_EQ(tree, (std::map<std::string, int64_t>{{"a/", -1}, {"a/b/", -1}, {"c/", -1}, {"c/zero", 0}}));
    EXPECT_EQ(entryData(insidePath(dir / "a.7z", "c/zero")), std::vector<uint8_t>{});
}

// A solid folder read out of order, and random seeks inside BCJ2 and PPMd
// entries, against the original bytes.
TEST(SevenZipGenerated, SolidFolderAndSeeksReadOutOfOrder) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    std::vector<uint8_t> first = sampleData(300000, 1), last = sampleData(250000, 2);
    writeFile(dir / "in" / "1.txt", first.data(), first.size());
    writeFile(dir / "in" / "2.txt", last.data(), last.size());
    std::vector<uint8_t> program = readFile("/bin/ls");
    writeFile(dir / "in" / "ls", program.data(), program.size());
    mustRun(dir, "cd in && 7zz a -bso0 -ms=on ../solid.7z 1.txt 2.txt >/dev/null");
    mustRun(dir, "cd in && 7zz a -bso0 -mf=BCJ2 ../bcj2.7z ls >/dev/null");
    mustRun(dir, "cd in && 7zz a -bso0 -m0=PPMd:o=6 ../ppmd.7z 1.txt >/dev/null");

    EXPECT_EQ(entryData(insidePath(dir / "solid.7z", "2.txt")), last);
    EXPECT_EQ(entryData(insidePath(dir / "solid.7z", "1.txt")), first);

    std::mt19937 random(5);
    for (auto [archive, name, original] : {std::tuple{"bcj2.7z", "ls", &program}, {"ppmd.7z", "1.txt", &first}}) {
        SCOPED_TRACE(name);
        Ref<InStream> stream(openStreamPath(insidePath(dir / archive, name).c_str()));
        ASSERT_TRUE(stream);
        for (int i = 0; i < 12; ++i) {
            size_t at = random() % (original->size() - 100);
            EXPECT_EQ(readAt(stream.get(), int64_t(at), 100), slice(*original, at, 100)) << at;
        }
    }
}

// Branch opcodes everywhere, also across the BCJ2 decoder's main-stream
// buffers; every read size gives the original bytes.
TEST(SevenZipGenerated, Bcj2DenseOpcodesInAnyReadSize) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    std::mt19937 random(9);
    std::vector<uint8_t> program(400000);
    const uint8_t opcodes[] = {0xE8, 0xE9, 0x0F, 0x85, 0x0F, 0x8C};
    for (size_t i = 0; i < program.size(); ++i)
        program[i] = random() % 4 == 0 ? opcodes[random() % sizeof opcodes] : static_cast<uint8_t>(random() % 16);
    writeFile(dir / "in" / "prog", program.data(), program.size());
    mustRun(dir, "cd in && 7zz a -bso0 -mf=BCJ2 ../bcj2.7z prog >/dev/null");
    for (int piece : {1, 4093, 65536, 1 << 20}) {
        SCOPED_TRACE(piece);
        Ref<InStream> stream(openStreamPath(insidePath(dir / "bcj2.7z", "prog").c_str()));
        ASSERT_TRUE(stream);
        EXPECT_TRUE(readInPieces(stream.get(), piece) == program);
        EXPECT_FALSE(stream->damaged());
    }
}

// x86 programs of the system, concatenated into `path` (about `size` bytes):
// a BCJ2 main stream several times the read-ahead ring.
std::vector<uint8_t> systemPrograms(const TempDir& dir, const std::string& path, size_t size) {
    run("cd '" + dir.path().string() + "' && find /usr/bin -type f -size +200k | sort | head -60 |" +
        " xargs cat 2>/dev/null | head -c " + std::to_string(size) + " > " + path);
    return readFile(dir / path);
}

// The main stream of a BCJ2 folder read from its start is decoded ahead on a
// worker: read in any piece size, out of order, with seeks while the worker
// runs, released mid-read, and inside a container (on one thread).
TEST(SevenZipGenerated, Bcj2MainStreamReadAheadKeepsEveryByte) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    fs::create_directories(dir / "in");
    std::vector<uint8_t> program = systemPrograms(dir, "in/prog", 6000000);
    ASSERT_GT(program.size(), 3000000u);
    std::vector<uint8_t> second = slice(program, 1000, 900000);
    writeFile(dir / "in" / "prog2", second.data(), second.size());
    mustRun(dir, "cd in && 7zz a -bso0 -ms=on -mf=BCJ2 ../bcj2.7z prog prog2 >/dev/null");
    mustRun(dir, "tar cf nested.tar bcj2.7z");
    const std::u16string path = insidePath(dir / "bcj2.7z", "prog");

    for (int piece : {65536, 4093, 1 << 20}) {
        SCOPED_TRACE(piece);
        Ref<InStream> stream(openStreamPath(path.c_str()));
        ASSERT_TRUE(stream);
        EXPECT_TRUE(readInPieces(stream.get(), piece) == program);
    }
    EXPECT_TRUE(entryData(insidePath(dir / "bcj2.7z", "prog2")) == second);
    EXPECT_TRUE(entryData(path) == program);

    Ref<InStream> stream(openStreamPath(path.c_str()));
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAt(stream.get(), 0, 1000), slice(program, 0, 1000));
    std::mt19937 random(11);
    for (int i = 0; i < 10; ++i) {
        size_t at = random() % (program.size() - 70000);
        EXPECT_EQ(readAt(stream.get(), int64_t(at), 70000), slice(program, at, 70000)) << at;
    }
    stream = Ref<InStream>(openStreamPath(path.c_str()));
    ASSERT_TRUE(stream);
    EXPECT_EQ(readAt(stream.get(), 0, 300000), slice(program, 0, 300000));
    stream = Ref<InStream>();

    EXPECT_TRUE(entryData(insidePath(dir / "nested.tar", "bcj2.7z/prog")) == program);
    EXPECT_EQ(liveArchiveCount(), 0);
}

// Run by hand (--gtest_also_run_disabled_tests): minutes of CPU (the input
// is a sparse file). Sizes and offsets past 4 GiB, solid and not.
TEST(SevenZipLarge, DISABLED_FileOver4GiBSolidAndNot) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    constexpr int64_t kSize = (int64_t{9} << 29) + 12345;  // 4.5 GiB and a bit
    fs::create_directories(dir / "in");
    mustRun(dir, "truncate -s " + std::to_string(kSize) + " in/zeros");
    writeFile(dir / "in" / "tail.txt", "after the big one\n");
    mustRun(dir, "cd in && 7zz a -bso0 -mx=1 -ms=on ../solid.7z zeros tail.txt >/dev/null");
    mustRun(dir, "cd in && 7zz a -bso0 -mx=1 -ms=off ../apart.7z zeros tail.txt >/dev/null");
    for (const char* name : {"solid.7z", "apart.7z"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run(quote(cliPath()) + " test " + quote(dir / name) + " >/dev/null 2>&1"), 0);
        Ref<InStream> zeros(openStreamPath(insidePath(dir / name, "zeros").c_str()));
        ASSERT_TRUE(zeros);
        EXPECT_EQ(zeros->size(), kSize);
        EXPECT_EQ(readAt(zeros.get(), kSize - 10, 10), std::vector<uint8_t>(10, 0));
        EXPECT_EQ(entryData(insidePath(dir / name, "tail.txt")), bytesOf("after the big one\n"));
    }
}

// ---- Hand-made archives ---------------------------------------------------

void putNumber(std::vector<uint8_t>& out, uint64_t value) {
    int extra = 0;
    while (extra < 8 && value >= (uint64_t{1} << (7 * (extra + 1)))) ++extra;
    uint8_t first = static_cast<uint8_t>(0xFF00 >> extra);
    if (extra < 8) first |= static_cast<uint8_t>(value >> (8 * extra));
    out.push_back(first);
    for (int i = 0; i < extra; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putBytes(std::vector<uint8_t>& out, std::initializer_list<uint64_t> numbers) {
    for (uint64_t n : numbers) putNumber(out, n);
}

void putName(std::vector<uint8_t>& out, const std::u16string& name) {
    for (char16_t c : name) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

void putLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Signature, start header, packed data and the header after it.
std::vector<uint8_t> archiveOf(const std::vector<uint8_t>& packed, const std::vector<uint8_t>& header) {
    std::vector<uint8_t> next;
    putLe(next, packed.size(), 8);
    putLe(next, header.size(), 8);
    putLe(next, crc32Update(0, header.data(), header.size()), 4);
    std::vector<uint8_t> out = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    putLe(out, crc32Update(0, next.data(), next.size()), 4);
    out.insert(out.end(), next.begin(), next.end());
    out.insert(out.end(), packed.begin(), packed.end());
    out.insert(out.end(), header.begin(), header.end());
    return out;
}

// Pack and unpack info of single-coder folders, one packed stream each, with
// the given coder id, sizes and optional folder CRCs (the end of the streams
// info is left to the caller).
std::vector<uint8_t> streamsInfo(uint64_t packPosition, const std::vector<uint64_t>& sizes, uint8_t coderId = 0,
                                 const std::vector<uint32_t>& crcs = {}) {
    std::vector<uint8_t> out;
    putBytes(out, {6, packPosition, sizes.size(), 9});
    for (uint64_t size : sizes) putNumber(out, size);
    putBytes(out, {0, 7, 11, sizes.size(), 0});
    for (size_t i = 0; i < sizes.size(); ++i) putBytes(out, {1, 1, coderId});
    putNumber(out, 12);
    for (uint64_t size : sizes) putNumber(out, size);
    if (!crcs.empty()) {
        putBytes(out, {10, 1});
        for (uint32_t crc : crcs) putLe(out, crc, 4);
    }
    putNumber(out, 0);
    return out;
}

// A files-info block naming `names`; `emptyStream` marks files without data
// and `emptyFile`/`anti` index those.
std::vector<uint8_t> filesInfo(const std::vector<std::u16string>& names, std::vector<bool> emptyStream = {},
                               std::vector<bool> emptyFile = {}, std::vector<bool> anti = {}) {
    std::vector<uint8_t> out;
    putNumber(out, names.size());
    auto putBits = [&](uint64_t id, const std::vector<bool>& bits) {
        if (bits.empty()) return;
        std::vector<uint8_t> packed((bits.size() + 7) / 8);
        for (size_t i = 0; i < bits.size(); ++i)
            if (bits[i]) packed[i / 8] |= 0x80 >> (i % 8);
        putBytes(out, {id, packed.size()});
        out.insert(out.end(), packed.begin(), packed.end());
    };
    putBits(14, emptyStream);
    putBits(15, emptyFile);
    putBits(16, anti);
    std::vector<uint8_t> nameBytes = {0};
    for (const std::u16string& name : names) putName(nameBytes, name);
    putBytes(out, {17, nameBytes.size()});
    out.insert(out.end(), nameBytes.begin(), nameBytes.end());
    putNumber(out, 0);
    return out;
}

std::vector<uint8_t> plainHeader(const std::vector<uint8_t>& streams, const std::vector<uint8_t>& files,
                                 const std::vector<uint8_t>& substreams = {}) {
    std::vector<uint8_t> out = {1, 4};
    out.insert(out.end(), streams.begin(), streams.end());
    out.insert(out.end(), substreams.begin(), substreams.end());
    out.push_back(0);
    out.push_back(5);
    out.insert(out.end(), files.begin(), files.end());
    out.push_back(0);
    return out;
}

Ref<Archive> openBytes(const TempDir& dir, const std::vector<uint8_t>& bytes, const std::string& name = "t.7z") {
    writeFile(dir / name, bytes.data(), bytes.size());
    return Ref<Archive>(openArchivePath(insidePath(dir / name).c_str()));
}

// A folder with no substreams still takes its place in the joined output;
// the files after it must read from their own folder.
TEST(SevenZipHandMade, FolderWithoutSubstreamsDoesNotShiftLaterFiles) {
    TempDir dir;
    std::vector<uint8_t> substreams;
    putBytes(substreams, {8, 13, 0, 1, 0});
    auto bytes = archiveOf(bytesOf("AAAABBBB"),
                           plainHeader(streamsInfo(0, {4, 4}), filesInfo({u"b.txt"}), substreams));
    Ref<Archive> archive = openBytes(dir, bytes);
    ASSERT_TRUE(archive);
    EXPECT_EQ(entryData(insidePath(dir / "t.7z", "b.txt")), bytesOf("BBBB"));
}

TEST(SevenZipHandMade, AntiItemsAreNotListedAndEmptyFilesAre) {
    TempDir dir;
    auto bytes = archiveOf(bytesOf("data"), plainHeader(streamsInfo(0, {4}),
                                                        filesInfo({u"a.txt", u"gone.txt", u"empty.txt", u"dir"},
                                                                  {false, true, true, true}, {true, true, false},
                                                                  {true, false, false})));
    Ref<Archive> archive = openBytes(dir, bytes);
    ASSERT_TRUE(archive);
    EXPECT_EQ(listTree(archive.get()),
              (std::map<std::string, int64_t>{{"a.txt", 4}, {"empty.txt", 0}, {"dir/", -1}}));
    EXPECT_EQ(entryData(insidePath(dir / "t.7z", "empty.txt")), std::vector<uint8_t>{});
}

// Files of a folder whose coder is unknown stay listed and fail when read,
// in the engine and in `zorvex test` and `extract`.
TEST(SevenZipHandMade, UnknownCoderFailsVisibly) {
    TempDir dir;
    auto bytes = archiveOf(bytesOf("data"), plainHeader(streamsInfo(0, {4}, 0x7F), filesInfo({u"a.txt"})));
    Ref<Archive> archive = openBytes(dir, bytes);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->fileCount(), 1);
    EXPECT_FALSE(entryData(insidePath(dir / "t.7z", "a.txt")));
    REQUIRE_TOOL("sh");  // the commands below run through a shell
    std::string tested = runOutput(quote(cliPath()) + " test " + quote(dir / "t.7z") + " 2>&1", nullptr);
    EXPECT_NE(tested.find("a.txt"), std::string::npos) << tested;
    EXPECT_NE(run(quote(cliPath()) + " test " + quote(dir / "t.7z") + " >/dev/null 2>&1"), 0);
    EXPECT_NE(run(quote(cliPath()) + " extract -C " + quote(dir / "out") + " " + quote(dir / "t.7z") +
                  " >/dev/null 2>&1"),
              0);
}

TEST(SevenZipHandMade, StoredCrcIsChecked) {
    REQUIRE_TOOL("sh");  // zorvex runs through a shell
    TempDir dir;
    uint32_t good = crc32Update(0, "data", 4);
    auto make = [&](uint32_t crc) {
        return archiveOf(bytesOf("data"), plainHeader(streamsInfo(0, {4}, 0, {crc}), filesInfo({u"a.txt"})));
    };
    auto ok = make(good), bad = make(good ^ 1);
    writeFile(dir / "ok.7z", ok.data(), ok.size());
    writeFile(dir / "bad.7z", bad.data(), bad.size());
    EXPECT_EQ(run(quote(cliPath()) + " test " + quote(dir / "ok.7z") + " >/dev/null 2>&1"), 0);
    std::string out = runOutput(quote(cliPath()) + " test " + quote(dir / "bad.7z") + " 2>&1", nullptr);
    EXPECT_NE(out.find("CRC mismatch"), std::string::npos) << out;
}

// An encoded header holds a plain one, whose stored CRC must match; one
// holding another encoded header is refused rather than followed.
TEST(SevenZipHandMade, EncodedHeaderNestsOneLevel) {
    TempDir dir;
    std::vector<uint8_t> plain = plainHeader(streamsInfo(0, {4}), filesInfo({u"a.txt"}));
    auto encode = [](const std::vector<uint8_t>& packedSoFar, const std::vector<uint8_t>& inner,
                     std::vector<uint32_t> crc = {}) {
        std::vector<uint8_t> header = {23};
        std::vector<uint8_t> info = streamsInfo(packedSoFar.size(), {inner.size()}, 0, crc);
        header.insert(header.end(), info.begin(), info.end());
        header.push_back(0);
        return header;
    };
    std::vector<uint8_t> packed = bytesOf("data");
    packed.insert(packed.end(), plain.begin(), plain.end());
    std::vector<uint8_t> once = encode(bytesOf("data"), plain);
    Ref<Archive> archive = openBytes(dir, archiveOf(packed, once), "once.7z");
    ASSERT_TRUE(archive);
    EXPECT_EQ(entryData(insidePath(dir / "once.7z", "a.txt")), bytesOf("data"));

    uint32_t crc = crc32Update(0, plain.data(), plain.size());
    EXPECT_TRUE(openBytes(dir, archiveOf(packed, encode(bytesOf("data"), plain, {crc})), "crc.7z"));
    EXPECT_FALSE(openBytes(dir, archiveOf(packed, encode(bytesOf("data"), plain, {crc ^ 4})), "badcrc.7z"));

    std::vector<uint8_t> twicePacked = packed;
    twicePacked.insert(twicePacked.end(), once.begin(), once.end());
    EXPECT_FALSE(openBytes(dir, archiveOf(twicePacked, encode(packed, once)), "twice.7z"));
}

// Counts and sizes far beyond what the header could describe stop the parse
// at once: no huge allocation, no long loop.
TEST(SevenZipHandMade, HugeCountsAndSizesAreRefused) {
    TempDir dir;
    std::vector<std::vector<uint8_t>> headers;
    std::vector<uint8_t> files;
    putBytes(files, {1, 5, uint64_t{1} << 40, 0, 0});
    headers.push_back(files);
    std::vector<uint8_t> folders;
    putBytes(folders, {1, 4, 6, 0, 1, 9, 4, 0, 7, 11, uint64_t{1} << 50, 0});
    headers.push_back(folders);
    std::vector<uint8_t> coders;
    putBytes(coders, {1, 4, 6, 0, 1, 9, 4, 0, 7, 11, 1, 0, 1000000});
    headers.push_back(coders);
    std::vector<uint8_t> substreams;
    putBytes(substreams, {8, 13, uint64_t{1} << 60, 0});
    headers.push_back(plainHeader(streamsInfo(0, {4}), filesInfo({u"a"}), substreams));
    headers.push_back(plainHeader(streamsInfo(0, {uint64_t{1} << 62}), filesInfo({u"a"})));
    headers.push_back(plainHeader(streamsInfo(uint64_t{1} << 63, {4}), filesInfo({u"a"})));
    headers.push_back(plainHeader(streamsInfo(0, {~uint64_t{0}}), filesInfo({u"a"})));
    for (size_t i = 0; i < headers.size(); ++i) {
        SCOPED_TRACE(i);
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(openBytes(dir, archiveOf(bytesOf("data"), headers[i])));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

// ---- Damage --------------------------------------------------------------

std::vector<std::vector<uint8_t>> smallArchives(const TempDir& dir) {
    std::vector<std::vector<uint8_t>> out;
    writeFile(dir / "in" / "a.txt", "hello hello hello\n");
    writeFile(dir / "in" / "e", "");
    std::vector<uint8_t> program = slice(readFile("/bin/ls"), 0, 3000);
    writeFile(dir / "in" / "p", program.data(), program.size());
    for (const char* switches : {"-mhc=off", "-mhc=on", "-mf=BCJ2 -mhc=off", "-m0=PPMd"}) {
        fs::remove(dir / "s.7z");
        if (run("cd " + quote(dir / "in") + " && 7zz a -bso0 " + switches + " ../s.7z . >/dev/null") == 0)
            out.push_back(readFile(dir / "s.7z"));
    }
    return out;
}

TEST(SevenZipDamage, TruncationsAndBitFlipsNeverCrash) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    auto archives = smallArchives(dir);
    ASSERT_FALSE(archives.empty());
    std::mt19937 random(9);
    for (const auto& bytes : archives) {
        for (size_t length = 0; length < bytes.size(); ++length) walk::bytes(u"cut.7z", bytes.data(), length);
        for (int i = 0; i < 2000; ++i) {
            std::vector<uint8_t> flipped = bytes;
            // Mostly the header at the end, sometimes the data.
            size_t span = i % 4 == 0 ? flipped.size() : std::min<size_t>(flipped.size(), 200);
            size_t at = flipped.size() - 1 - random() % span;
            flipped[at] ^= static_cast<uint8_t>(1u << (random() % 8));
            walk::bytes(u"flip.7z", flipped.data(), flipped.size());
        }
    }
    EXPECT_EQ(liveArchiveCount(), 0);
}

// Every single-bit flip of the start header and of a plain (unencoded)
// header either refuses the archive, marks it damaged, or leaves what it
// lists as it was: a damaged header never passes for a different archive.
TEST(SevenZipDamage, HeaderFlipsAreDamageOrChangeNothing) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    std::string alpha, beta;
    for (int i = 1; i <= 3000; ++i) alpha += std::to_string(i) + "\n";
    for (int i = 1; i <= 2000; ++i) beta += std::to_string(i) + "\n";
    writeFile(dir / "alpha.txt", alpha);
    writeFile(dir / "beta.txt", beta);
    mustRun(dir, "7zz a -bso0 -bsp0 -mhc=off good.7z alpha.txt beta.txt >/dev/null");
    const std::vector<uint8_t> good = readFile(dir / "good.7z");
    std::map<std::string, int64_t> want;
    {
        Ref<Archive> archive(openArchivePath(insidePath(dir / "good.7z").c_str()));
        ASSERT_TRUE(archive);
        ASSERT_FALSE(archive->damaged());
        want = listTree(archive.get());
    }
    uint64_t headerAt = 32;
    for (int i = 7; i >= 0; --i) headerAt = headerAt << 8 | good[12 + i];
    ASSERT_LT(headerAt, good.size());
    int damaged = 0;
    for (size_t at = 0; at < good.size(); at = at + 1 == 32 ? headerAt : at + 1) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> flipped = good;
            flipped[at] ^= static_cast<uint8_t>(1u << bit);
            writeFile(dir / "flip.7z", flipped.data(), flipped.size());
            Ref<Archive> archive(openArchivePath(insidePath(dir / "flip.7z").c_str()));
            // The start header after its version is covered by its CRC.
            bool covered = at >= 8 && at < 32;
            EXPECT_TRUE(!covered || !archive || archive->damaged()) << "byte " << at << " bit " << bit;
            if (!archive || archive->damaged()) {
                ++damaged;
                continue;
            }
            EXPECT_EQ(listTree(archive.get()), want) << "byte " << at << " bit " << bit;
        }
    }
    EXPECT_GT(damaged, 0);
}

// Bytes changed inside the main stream's packed data (by far the largest
// packed stream, so the middle of the archive lies in it): the entry is an
// error for `test` and `extract`, and never reads as the original.
TEST(SevenZipDamage, DamagedBcj2MainStreamIsAnError) {
    REQUIRE_TOOL("7zz");
    TempDir dir;
    fs::create_directories(dir / "in");
    std::vector<uint8_t> program = systemPrograms(dir, "in/prog", 2000000);
    mustRun(dir, "cd in && 7zz a -bso0 -mf=BCJ2 ../bcj2.7z prog >/dev/null");
    const std::vector<uint8_t> archive = readFile(dir / "bcj2.7z");
    for (size_t at : {archive.size() / 3, archive.size() / 2}) {
        SCOPED_TRACE(at);
        std::vector<uint8_t> damaged = archive;
        for (size_t i = at; i < at + 16; ++i) damaged[i] ^= 0x55;
        writeFile(dir / "damaged.7z", damaged.data(), damaged.size());
        EXPECT_NE(run(quote(cliPath()) + " test " + quote(dir / "damaged.7z") + " >/dev/null 2>&1"), 0);
        EXPECT_NE(run(quote(cliPath()) + " extract -C " + quote(dir / "out") + " " + quote(dir / "damaged.7z") +
                      " >/dev/null 2>&1"),
                  0);
        std::optional<std::vector<uint8_t>> data = entryData(insidePath(dir / "damaged.7z", "prog"));
        EXPECT_FALSE(data && *data == program);
    }
}

// ---- Corpus ---------------------------------------------------------------

TEST(SevenZipCorpus, ManifestRowsMatch) {
    REQUIRE_CORPUS(corpus);
    checkCorpusFolder(corpus, "7z");
}

// Encrypted entries are refused: they list, but no data comes out.
// Without a password: encrypted entries give no data, the plain one beside
// them reads, and encrypted headers list nothing and say why.
TEST(SevenZipCorpus, EncryptedEntriesGiveNoDataWithoutPassword) {
    REQUIRE_CORPUS(corpus);
    EXPECT_FALSE(entryData(insidePath(corpus / "7z" / "test_read_format_7zip_encryption.7z", "bar.txt")));
    fs::path partially = corpus / "7z" / "test_read_format_7zip_encryption_partially.7z";
    EXPECT_FALSE(entryData(insidePath(partially, "bar_encrypted.txt")));
    EXPECT_TRUE(entryData(insidePath(partially, "bar_unencrypted.txt")));
    fs::path headerEncrypted = corpus / "7z" / "test_read_format_7zip_encryption_header.7z";
    Ref<Archive> header(openArchivePath(insidePath(headerEncrypted).c_str()));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->fileCount(), 0);
    EXPECT_EQ(header->damageReason(), "encrypted; give a password with -p");
}

}  // namespace
}  // namespace zorvex::test
