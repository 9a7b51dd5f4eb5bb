// Damaged and hostile zip archives: cut at every length, bits flipped, header
// fields set to extreme values, and the malformed files of the corpus. None
// may crash, hang or leak an archive; whatever opens is walked and read fully.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "fuzz/walk.h"
#include "tests/test_util.h"
#include "tests/zip_builder.h"

namespace zorvex {
namespace {

using Clock = std::chrono::steady_clock;
using test::CountingStream;

// A handful of small zips that together have every record kind the reader
// knows: local headers with and without data descriptors, zip64 fields and end
// records, comments, folders, a nested zip.
std::vector<std::vector<uint8_t>> sampleZips() {
    std::vector<std::vector<uint8_t>> zips;
    test::TempDir dir;
    std::vector<uint8_t> text = test::sampleData(3000, 41);
    test::writeFile(dir / "in" / "t.txt", text.data(), text.size());
    test::writeFile(dir / "in" / "d" / "e.txt", "e");
    if (test::haveTool("7zz")) {
        std::string in = (dir / "in").string();
        if (test::run("cd '" + in + "' && 7zz a -bso0 -tzip ../a.zip . >/dev/null && "
                      "7zz a -bso0 -tzip -mx0 ../b.zip t.txt ../a.zip >/dev/null") == 0) {
            zips.push_back(test::readFile(dir / "a.zip"));
            zips.push_back(test::readFile(dir / "b.zip"));
        }
    }
    test::writeFile(dir / "make.py", R"(
import io, sys, zipfile
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
with open(sys.argv[1], "wb") as f:
    z = zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED)
    z.writestr("x/y.txt", b"why " * 300)
    with z.open("big.txt", "w", force_zip64=True) as e:
        e.write(b"zip64 " * 100)
    z.comment = b"comment"
    z.close()
)");
    if (test::run("python3 '" + (dir / "make.py").string() + "' '" + (dir / "c.zip").string() + "'") == 0)
        zips.push_back(test::readFile(dir / "c.zip"));

    test::ZipBuilder z;
    z.local("a", std::vector<uint8_t>(50, 'a'), {.flags = 8});
    z.local("dir/", {});
    z.local("dir/b", std::vector<uint8_t>(20, 'b'));
    z.finish({.comment = "zip64", .zip64End = true, .zip64Offsets = true});
    zips.push_back(z.bytes);
    return zips;
}

void walkZip(const std::vector<uint8_t>& bytes) {
    walk::bytes(u"hostile.zip", bytes.data(), bytes.size());
    ASSERT_EQ(liveArchiveCount(), 0);
}

TEST(HostileZip, CutAtEveryLength) {
    auto start = Clock::now();
    for (const std::vector<uint8_t>& zip : sampleZips()) {
        for (size_t n = 0; n <= zip.size(); ++n) {
            std::vector<uint8_t> cut(zip.begin(), zip.begin() + n);
            walkZip(cut);
        }
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
}

TEST(HostileZip, BitsFlipped) {
    std::mt19937 rng(1234);
    for (const std::vector<uint8_t>& zip : sampleZips()) {
        for (int round = 0; round < 1500; ++round) {
            std::vector<uint8_t> damaged = zip;
            int flips = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < flips; ++i) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 << (rng() % 8));
            walkZip(damaged);
        }
    }
}

// Every size, length, count and offset field of every record, set to values
// that overflow or point far away.
TEST(HostileZip, ExtremeFieldValues) {
    struct Field {
        uint32_t signature;
        std::vector<std::pair<int, int>> fields;  // (offset in record, width)
    };
    const Field records[] = {
        {0x04034B50, {{6, 2}, {8, 2}, {18, 4}, {22, 4}, {26, 2}, {28, 2}}},
        {0x02014B50, {{8, 2}, {20, 4}, {24, 4}, {28, 2}, {30, 2}, {32, 2}, {42, 4}}},
        {0x06054B50, {{8, 2}, {10, 2}, {12, 4}, {16, 4}, {20, 2}}},
        {0x06064B50, {{24, 8}, {32, 8}, {40, 8}, {48, 8}}},
        {0x07064B50, {{8, 8}}},
        {0x00010001, {{2, 2}, {4, 8}, {12, 8}, {20, 8}}},  // a zip64 extra field's id and size
    };
    const uint64_t values[] = {0, 1, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF,
                               0x7FFFFFFFFFFFFFFF, 0x8000000000000000, 0xFFFFFFFFFFFFFFFF};
    int mutated = 0;
    for (const std::vector<uint8_t>& zip : sampleZips()) {
        for (size_t at = 0; at + 4 <= zip.size(); ++at) {
            uint32_t word = test::le32At(zip, at);
            for (const Field& record : records) {
                bool match = record.signature == 0x00010001 ? (word & 0xFFFF) == 1 && zip[at + 3] == 0
                                                            : word == record.signature;
                if (!match) continue;
                for (auto [offset, width] : record.fields) {
                    if (at + offset + width > zip.size()) continue;
                    for (uint64_t v : values) {
                        std::vector<uint8_t> damaged = zip;
                        for (int i = 0; i < width; ++i) damaged[at + offset + i] = static_cast<uint8_t>(v >> (8 * i));
                        walkZip(damaged);
                        ++mutated;
                    }
                }
            }
        }
    }
    EXPECT_GT(mutated, 500);
}

Ref<Archive> openZipBytes(const std::vector<uint8_t>& bytes, int64_t* bytesRead = nullptr) {
    Ref<InStream> memory(MemoryStream::create(u"hostile.zip", nullptr, 0, bytes.data(), bytes.size()));
    Ref<CountingStream> counting(new CountingStream(memory.detach()));
    Ref<Archive> archive(detectAndOpen(u"hostile.zip", nullptr, counting.get()));
    if (bytesRead) *bytesRead = counting->bytesRead;
    return archive;
}

// Directory records that all name one local header with the longest name
// there can be: listing reads that header once, not once per record.
TEST(HostileZip, RecordsNamingOneHeaderAreReadOnce) {
    test::ZipBuilder z;
    z.local(std::string(65535, 'n'), {'x'}, {.flags = 8});
    test::ZipBuilder::Central record = z.central[0];
    record.name = "r";
    z.central.assign(20000, record);
    z.finish();
    int64_t bytesRead = 0;
    Ref<Archive> archive = openZipBytes(z.bytes, &bytesRead);
    ASSERT_TRUE(archive);
    EXPECT_LT(bytesRead, 3 * static_cast<int64_t>(z.bytes.size()));
    EXPECT_EQ(archive->fileCount(), 1);
}

// Entries whose bytes lie inside another entry's (the overlapping zip-bomb
// pattern) list, but none of them decodes; entries apart from them do.
TEST(HostileZip, OverlappingEntriesListButNeverDecode) {
    std::vector<uint8_t> a(100, 'a'), b(50, 'b'), c(20, 'c');
    test::ZipBuilder quoted;
    size_t aData = quoted.local("a", a, {.flags = 8});
    quoted.local("b", b, {.flags = 8});
    size_t cHeader = quoted.bytes.size();
    quoted.local("c", c, {.flags = 8});
    // a's data, as the directory gives it, runs on over b's header and data.
    quoted.central[0].packedSize = quoted.central[0].size = static_cast<uint32_t>(cHeader - aData);
    quoted.finish();

    test::ZipBuilder full;
    full.local("x", a, {.flags = 8});
    full.local("y", b, {.flags = 8});
    full.central.push_back(full.central[0]);
    full.central.back().name = "x2";
    full.finish();

    struct Case {
        const std::vector<uint8_t>& zip;
        std::vector<const char16_t*> refused;
        const char16_t* readable;
        const std::vector<uint8_t>& data;
    };
    for (const Case& t : {Case{quoted.bytes, {u"a", u"b"}, u"c", c}, Case{full.bytes, {u"x"}, u"y", b}}) {
        Ref<Archive> archive = openZipBytes(t.zip);
        ASSERT_TRUE(archive);
        for (const char16_t* name : t.refused) {
            int i = archive->findFile(name);
            ASSERT_GE(i, 0);
            EXPECT_EQ(archive->openFile(i), nullptr);
        }
        Ref<InStream> data(archive->openFile(archive->findFile(t.readable)));
        ASSERT_TRUE(data);
        EXPECT_EQ(test::readAll(data.get()), t.data);
    }
    ASSERT_EQ(liveArchiveCount(), 0);
}

TEST(HostileZip, CorpusZipsNeverCrashOrHang) {
    REQUIRE_CORPUS(corpus);
    std::ifstream in(corpus / "MANIFEST.tsv");
    std::string line, last;
    int walked = 0;
    while (std::getline(in, line)) {
        std::string archive = line.substr(0, line.find('\t'));
        if (archive.rfind("zip/", 0) != 0 || archive == last) continue;
        last = archive;
        std::vector<uint8_t> bytes = test::readFile(corpus / archive);
        auto start = Clock::now();
        walk::bytes(u"corpus.zip", bytes.data(), bytes.size());
        ASSERT_EQ(liveArchiveCount(), 0) << archive;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << archive;
        ++walked;
    }
    EXPECT_GT(walked, 100);
}

// Every malformed or encrypted archive of the corpus, through `zorvex test` as
// a user would run it: the command ends within a minute with success or a
// reported error, never a crash, and (in the sanitizer build, whose zorvex
// this runs) without a memory, undefined-behaviour or leak report.
TEST(HostileCorpus, MalformedAndRefusedArchivesTestCleanly) {
    REQUIRE_CORPUS(corpus);
    if (!test::fs::exists(test::cliPath())) GTEST_SKIP() << "zorvex is not built";
    REQUIRE_TOOL("sh");  // zorvex runs through a shell
    std::ifstream in(corpus / "MANIFEST.tsv");
    std::set<std::string> archives;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string archive, kind;
        std::getline(fields, archive, '\t');
        std::getline(fields, kind, '\t');
        if (kind == "malformed" || kind == "refused") archives.insert(archive);
    }
    ASSERT_GT(archives.size(), 100u);
    for (const std::string& archive : archives) {
        int status = -1;
        std::string out = test::runOutput(
            "ASAN_OPTIONS=exitcode=86:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 timeout 60 '" + test::cliPath() +
                "' test '" + (corpus / archive).string() + "' 2>&1 >/dev/null",
            &status);
        EXPECT_TRUE(status == 0 || status == 1) << archive << ": status " << status << "\n" << out;
        EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << archive << "\n" << out;
        EXPECT_EQ(out.find("runtime error"), std::string::npos) << archive << "\n" << out;
    }
}

}  // namespace
}  // namespace zorvex
