// End-to-end tests of the zorvex program on archives made at test time by
// 7zz and python3's zipfile.
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/test_util.h"

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#endif

namespace zorvex::test {
namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Runs zorvex with `args` (already quoted), after the shell commands of
// `setup` (limits), and collects both outputs.
Outcome zorvex(const TempDir& tmp, const std::string& args, const std::string& setup = "") {
    fs::path errFile = tmp / "stderr.txt";
    Outcome o;
    o.out = runOutput(setup + quote(cliPath()) + " " + args + " 2>" + quote(errFile), &o.status);
    std::ifstream in(errFile);
    o.err.assign(std::istreambuf_iterator<char>(in), {});
    return o;
}

// Runs a python3 script (zipfile fixtures) in `dir`.
void python(const fs::path& dir, const std::string& script) {
    writeFile(dir / "make.py", "import zipfile, os, io, struct, time\n" + script);
    ASSERT_EQ(run("cd " + quote(dir) + " && python3 make.py"), 0) << script;
}

using Tree = std::map<std::string, std::vector<uint8_t>>;

// Every regular file below `root`, by relative path.
Tree readTree(const fs::path& root) {
    Tree tree;
    for (auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file()) tree[fs::relative(item.path(), root).generic_string()] = readFile(item.path());
    return tree;
}

int64_t mtime(const fs::path& path) {
    using namespace std::chrono;
    auto sys = file_clock::to_sys(fs::last_write_time(path));
    return duration_cast<seconds>(sys.time_since_epoch()).count();
}

void setMtime(const fs::path& path, int64_t seconds) {
    using namespace std::chrono;
    fs::last_write_time(path, file_clock::from_sys(sys_seconds{std::chrono::seconds{seconds}}));
}

// An input tree with empty, small, large and oddly named files and a few
// folders, all with known (even) modification times.
constexpr int64_t kFileTime = 1700000000;    // 2023-11-14
constexpr int64_t kFolderTime = 1600000000;  // 2020-09-13
void makeInputTree(const fs::path& root) {
    writeFile(root / "empty.txt", "");
    writeFile(root / "hello.txt", "hello, world\n");
    auto big = sampleData(3 << 20, 7);
    writeFile(root / "docs/big.bin", big.data(), big.size());
    auto mid = sampleData(100000, 8);
    writeFile(root / "docs/deeper/mid.dat", mid.data(), mid.size());
    writeFile(root / "docs/\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt", "utf-8 name");
    fs::create_directories(root / "emptydir");
    for (auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file()) setMtime(item.path(), kFileTime);
    for (const char* dir : {"docs/deeper", "docs", "emptydir"}) setMtime(root / dir, kFolderTime);
}

// The local times python reads from the zip's DOS fields, by entry name. The
// archiver's own local-time conversion decides them (some use the current
// daylight-saving offset for every date), so the zip itself is the reference.
std::map<std::string, int64_t> zipTimes(const fs::path& zip) {
    std::string out = runOutput("python3 -c \"import sys, time, zipfile\n"
                                "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                                "    print(int(time.mktime(i.date_time + (0, 0, -1))), i.filename.rstrip('/'))\" " +
                                quote(zip));
    std::map<std::string, int64_t> times;
    std::istringstream lines(out);
    std::string name;
    int64_t time;
    while (lines >> time && std::getline(lines >> std::ws, name)) times[name] = time;
    return times;
}

void expectSameTree(const fs::path& input, const fs::path& output, const fs::path& zip) {
    Tree want = readTree(input), got = readTree(output);
    auto times = zipTimes(zip);
    ASSERT_EQ(want.size(), got.size());
    for (auto& [name, bytes] : want) {
        ASSERT_TRUE(got.count(name)) << name;
        EXPECT_TRUE(got[name] == bytes) << name << " differs";
        EXPECT_EQ(mtime(output / name), times.at(name)) << name;
        EXPECT_NEAR(double(mtime(output / name)), double(kFileTime), 3600) << name;
    }
    for (const char* folder : {"docs", "docs/deeper"}) EXPECT_EQ(mtime(output / folder), times.at(folder)) << folder;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "zorvex is not built";
        REQUIRE_TOOL("sh");  // zorvex runs through a shell
    }
    TempDir tmp;
};

TEST_F(CliTest, ExtractsWhatSevenZipStoredAndDeflated) {
    REQUIRE_TOOL("7zz");
    makeInputTree(tmp / "in");
    for (const char* method : {"Copy", "Deflate"}) {
        SCOPED_TRACE(method);
        std::string zip = std::string(method) + ".zip";
        ASSERT_EQ(run("cd " + quote(tmp / "in") + " && 7zz a -tzip -mm=" + method + " ../" + zip + " . >/dev/null"), 0);
        auto o = zorvex(tmp, "extract " + quote(tmp / zip) + " -C " + quote(tmp / "out"));
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "");
        // Several top-level entries: a wrapper folder named after the archive.
        fs::path extracted = tmp / "out" / method;
        expectSameTree(tmp / "in", extracted, tmp / zip);
        EXPECT_TRUE(fs::is_directory(extracted / "emptydir"));

        auto t = zorvex(tmp, "test " + quote(tmp / zip));
        EXPECT_EQ(t.status, 0) << t.err;
        EXPECT_NE(t.out.find("OK"), std::string::npos) << t.out;
    }
}

TEST_F(CliTest, ReadsPythonZipsWithDescriptorsCommentsAndCodePageNames) {
    REQUIRE_TOOL("python3");
    // Written to an unseekable stream, zipfile puts sizes and CRCs in data
    // descriptors after the data. The cp437 name is stored without the UTF-8 flag.
    python(tmp.path(), R"(
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
with open('descr.zip', 'wb') as raw:
    with zipfile.ZipFile(Unseekable(raw), 'w', zipfile.ZIP_DEFLATED) as z:
        z.comment = b'archive comment'
        info = zipfile.ZipInfo('notes/a.txt', (2021, 3, 4, 5, 6, 8))
        info.comment = b'entry comment'
        z.writestr(info, 'alpha ' * 5000)
        z.writestr(zipfile.ZipInfo('notes/b.bin', (2021, 3, 4, 5, 6, 10)), bytes(range(256)) * 300,
                   compress_type=zipfile.ZIP_STORED)
        z.writestr(zipfile.ZipInfo('\u65e5\u672c.txt', (2021, 3, 4, 5, 6, 12)), 'utf8 flagged')
zipfile.ZipInfo._encodeFilenameFlags = lambda self: (self.filename.encode('cp437'), self.flag_bits)
with zipfile.ZipFile('cp437.zip', 'w') as z:
    z.writestr(zipfile.ZipInfo('caf\u00e9 \u00fc\u00f1.txt', (2019, 1, 2, 3, 4, 6)), 'cp437 name')
    z.writestr(zipfile.ZipInfo('plain.txt', (2019, 1, 2, 3, 4, 6)), 'second')
)");
    auto o = zorvex(tmp, "extract " + quote(tmp / "descr.zip") + " " + quote(tmp / "cp437.zip") + " -C " +
                             quote(tmp / "out"));
    ASSERT_EQ(o.status, 0) << o.err;
    std::string alpha;
    for (int i = 0; i < 5000; ++i) alpha += "alpha ";
    EXPECT_EQ(readFile(tmp / "out/descr/notes/a.txt"), std::vector<uint8_t>(alpha.begin(), alpha.end()));
    EXPECT_EQ(readFile(tmp / "out/descr/notes/b.bin").size(), 256u * 300);
    EXPECT_EQ(readFile(tmp / "out/descr/\xe6\x97\xa5\xe6\x9c\xac.txt").size(), 12u);
    EXPECT_TRUE(fs::exists(tmp / "out/cp437/caf\xc3\xa9 \xc3\xbc\xc3\xb1.txt"));
    // Zip times are local times.
    std::tm local{};
    local.tm_year = 2021 - 1900, local.tm_mon = 2, local.tm_mday = 4, local.tm_hour = 5, local.tm_min = 6;
    local.tm_sec = 8, local.tm_isdst = -1;
    EXPECT_EQ(mtime(tmp / "out/descr/notes/a.txt"), int64_t(std::mktime(&local)));

    auto t = zorvex(tmp, "test " + quote(tmp / "descr.zip"));
    EXPECT_EQ(t.status, 0) << t.err;
}

// outer.zip: readme.txt, inner.zip (dir/x.txt, dir/y.txt, top.txt) and a file
// whose folders exist only in its path.
void makeNested(const fs::path& dir) {
    python(dir, R"(
with zipfile.ZipFile('inner.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('dir/x.txt', 'x' * 1000)
    z.writestr('dir/y.txt', 'why')
    z.writestr('top.txt', 'top')
with zipfile.ZipFile('outer.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('readme.txt', 'read me')
    z.write('inner.zip', 'inner.zip')
    z.writestr('implied/deep/er/file10.txt', 'ten')
    z.writestr('implied/deep/er/file2.txt', 'two')
)");
}

TEST_F(CliTest, ListingRowsKeepTheirColumnsTimesAndNames) {
    REQUIRE_TOOL("python3");
    // Times alternate between entries, so a row never shows its neighbour's.
    python(tmp.path(), R"(
with zipfile.ZipFile('rows.zip', 'w') as z:
    z.writestr(zipfile.ZipInfo('d/in.txt', (2021, 3, 4, 5, 6, 8)), 'abc')
    z.writestr(zipfile.ZipInfo('b.txt', (2022, 7, 1, 12, 0, 0)), 'hello')
    z.writestr(zipfile.ZipInfo('c.txt', (2021, 3, 4, 5, 6, 8)), '')
    z.writestr(zipfile.ZipInfo('\u65e5\u672c.txt', (2022, 7, 1, 12, 0, 0)), 'x' * 1234567)
)");
    auto list = zorvex(tmp, "list -r " + quote(tmp / "rows.zip"));
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out,
              "Modified                       Size  Name\n"
              "-------------------  --------------  ----\n"
              "                              <dir>  d/\n"
              "2021-03-04 05:06:08               3  d/in.txt\n"
              "2022-07-01 12:00:00               5  b.txt\n"
              "2021-03-04 05:06:08               0  c.txt\n"
              "2022-07-01 12:00:00         1234567  \xe6\x97\xa5\xe6\x9c\xac.txt\n"
              "-------------------  --------------  ----\n"
              "                            1234575  4 files, 1 folder, 0 archives\n");
}

TEST_F(CliTest, ListsAndReadsInsideNestedArchives) {
    REQUIRE_TOOL("python3");
    makeNested(tmp.path());
    fs::path outer = tmp / "outer.zip";

    auto dir = zorvex(tmp, "list " + quote(outer / "inner.zip/dir"));
    ASSERT_EQ(dir.status, 0) << dir.err;
    EXPECT_NE(dir.out.find("x.txt"), std::string::npos) << dir.out;
    EXPECT_NE(dir.out.find("1000"), std::string::npos) << dir.out;
    EXPECT_EQ(dir.out.find("top.txt"), std::string::npos) << dir.out;
    // A trailing separator names the same level.
    EXPECT_EQ(zorvex(tmp, "list " + quote(outer / "inner.zip/dir/")).out, dir.out);

    auto all = zorvex(tmp, "list -r " + quote(outer));
    ASSERT_EQ(all.status, 0) << all.err;
    for (const char* path : {"inner.zip/dir/y.txt", "inner.zip/top.txt", "implied/deep/er/", "readme.txt"})
        EXPECT_NE(all.out.find(path), std::string::npos) << path << "\n" << all.out;
    // Natural order: file2 before file10.
    EXPECT_LT(all.out.find("file2.txt"), all.out.find("file10.txt"));
    // A nested archive's row is a line of its own, its contents below it.
    EXPECT_NE(all.out.find("  inner.zip\n"), std::string::npos) << all.out;

    // A path naming a file lists just that file.
    auto one = zorvex(tmp, "list " + quote(outer / "inner.zip/top.txt"));
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("top.txt\n"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("1 file, 0 folders"), std::string::npos) << one.out;

    auto cat = zorvex(tmp, "cat " + quote(outer / "inner.zip/dir/y.txt"));
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, "why");
    EXPECT_EQ(zorvex(tmp, "cat " + quote(outer / "implied/deep/er/file10.txt")).out, "ten");
}

// Archives whose names say nothing (a .jar, a .docx, no extension at all)
// open by their content, on disk and inside other archives.
TEST_F(CliTest, ArchivesOfAnyNameOpenByContent) {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("tar");
    python(tmp.path(), R"(
def jar(name):
    with zipfile.ZipFile(name, 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\n')
        z.writestr('org/x/Main.class', b'\xca\xfe\xba\xbe')
for name in ['lib.jar', 'report.docx', 'noext']: jar(name)
with zipfile.ZipFile('outer.zip', 'w') as z:
    z.write('lib.jar')
    z.writestr('readme', 'not an archive')
    z.write('noext', 'notes.txt')
)");
    ASSERT_EQ(run("cd " + quote(tmp.path()) + " && mkdir t && echo tarred > t/f.txt && tar -cf plain t"), 0);
    for (const char* name : {"lib.jar", "report.docx", "noext"}) {
        auto listed = zorvex(tmp, "list " + quote(tmp / name));
        EXPECT_EQ(listed.status, 0) << name << listed.err;
        EXPECT_NE(listed.out.find("META-INF/"), std::string::npos) << name << listed.out;
    }
    EXPECT_EQ(zorvex(tmp, "cat " + quote(tmp / "plain/t/f.txt")).out, "tarred\n");

    auto all = zorvex(tmp, "list -r " + quote(tmp / "outer.zip"));
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("lib.jar/META-INF/MANIFEST.MF"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("lib.jar/org/x/Main.class"), std::string::npos) << all.out;
    EXPECT_EQ(all.out.find("readme/"), std::string::npos) << all.out;
    // Only names that may hide an archive are looked into: in a solid archive
    // every look decodes all that comes before the file.
    EXPECT_EQ(all.out.find("notes.txt/"), std::string::npos) << all.out;
    auto cat = zorvex(tmp, "cat " + quote(tmp / "outer.zip/lib.jar/META-INF/MANIFEST.MF"));
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, "Manifest-Version: 1.0\n");
    // A file that is no archive stays a file.
    EXPECT_EQ(zorvex(tmp, "cat " + quote(tmp / "outer.zip/readme")).out, "not an archive");
    EXPECT_NE(zorvex(tmp, "list " + quote(tmp / "outer.zip/readme/x")).status, 0);
}

// A true zip quine (tests/zip_quine.py): the one entry of self.zip inflates
// to the whole file, as the entry of that entry does, without end. Listing
// it recursively stops at the first repeat and says so; testing decodes and
// checks the entry once. Both end at once (a repeat taken for a new archive
// would go 32 levels down and fail there).
TEST_F(CliTest, ZipQuineIsOpenedOnce) {
    REQUIRE_TOOL("python3");
    ASSERT_EQ(run("cd " + quote(tmp.path()) + " && python3 '" ZORVEX_SOURCE_DIR "/tests/zip_quine.py'"), 0);
    struct Case {
        const char* archive;
        const char* repeat;  // the nested archive left unopened
        const char* tested;  // what test checks: self.zip once
    } cases[] = {{"self.zip", "self.zip", "OK (1 entries, 528 bytes)"},
                 {"outer.zip", "self.zip/self.zip", "OK (2 entries, 1056 bytes)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        auto list = zorvex(tmp, "list -r " + quote(tmp / c.archive), "timeout 20 ");
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_NE(list.out.find(std::string(c.repeat) + "\n"), std::string::npos) << list.out;
        EXPECT_EQ(list.out.find(std::string(c.repeat) + "/"), std::string::npos) << list.out;
        EXPECT_NE(list.err.find(std::string(c.repeat) + ": not opened: same size and CRC as an archive enclosing it"),
                  std::string::npos)
            << list.err;
        auto test = zorvex(tmp, "test " + quote(tmp / c.archive), "timeout 20 ");
        EXPECT_EQ(test.status, 0) << test.err;
        EXPECT_NE(test.out.find(c.tested), std::string::npos) << test.out;
    }
}

// An archive that holds itself is listed with -r without end unless the data
// of an enclosing archive is recognised. Here the repeat is forged: b.zip is a
// different zip of the same size whose last four bytes give it the same CRC
// as self.zip, which it is deflated inside, so the rule is met without a true
// quine. outer.zip holds self.zip stored, one level further down.
TEST_F(CliTest, RecursiveListingStopsAtArchivesThatRepeatAnEnclosingOne) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
import zlib
def forge(data, target):
    # the four bytes that, appended to data, give it the CRC-32 target
    base = zlib.crc32(data + bytes(4))
    basis = {}
    for i in range(32):
        v, m = zlib.crc32(data + (1 << i).to_bytes(4, 'little')) ^ base, 1 << i
        for bit in reversed(range(32)):
            if v >> bit & 1:
                if bit not in basis:
                    basis[bit] = (v, m)
                    break
                v, m = v ^ basis[bit][0], m ^ basis[bit][1]
    want, m = base ^ target, 0
    for bit in reversed(range(32)):
        if want >> bit & 1:
            want, m = want ^ basis[bit][0], m ^ basis[bit][1]
    return m.to_bytes(4, 'little')
def padded(entries, size, crc):
    # a zip of that size and CRC: its comment pads it and ends in the forged bytes
    def build(comment):
        out = io.BytesIO()
        with zipfile.ZipFile(out, 'w') as z:
            for name, data, method in entries: z.writestr(zipfile.ZipInfo(name), data, compress_type=method)
            z.comment = comment
        return out.getvalue()
    data = build(bytes(size - len(build(b''))))[:-4]
    return data + forge(data, crc)
size, crc = 4096, 0x5EED1234
b = padded([('y.txt', b'y', zipfile.ZIP_STORED)], size, crc)
me = padded([('b.zip', b, zipfile.ZIP_DEFLATED), ('x.txt', b'x', zipfile.ZIP_STORED)], size, crc)
assert len(b) == len(me) == size and zlib.crc32(b) == zlib.crc32(me) == crc
open('self.zip', 'wb').write(me)
with zipfile.ZipFile('outer.zip', 'w') as z: z.writestr('self.zip', me)
)");
    struct Case {
        const char* archive;
        const char* repeat;  // the nested archive left unopened
    } cases[] = {{"self.zip", "b.zip"}, {"outer.zip", "self.zip/b.zip"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        auto list = zorvex(tmp, "list -r " + quote(tmp / c.archive));
        // Nothing is left unlisted: the contents would repeat what is shown.
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_NE(list.out.find(std::string(c.repeat) + "\n"), std::string::npos) << list.out;
        EXPECT_EQ(list.out.find(std::string(c.repeat) + "/"), std::string::npos) << list.out;
        EXPECT_NE(list.err.find(std::string(c.repeat) + ": not opened: same size and CRC as an archive enclosing it"),
                  std::string::npos)
            << list.err;
        // The path API goes no further either.
        EXPECT_EQ(zorvex(tmp, "list " + quote(tmp / c.archive / c.repeat)).status, 1);
    }
}

// deep.zip holds n39.zip, which holds n38.zip, ... down to n0.zip and leaf.txt.
TEST_F(CliTest, NestedArchivesOpenAtMostThirtyTwoLevelsDown) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
data = b''
for i in range(-1, 40):
    out = io.BytesIO()
    with zipfile.ZipFile(out, 'w') as z:
        if i < 0: z.writestr('leaf.txt', 'leaf')
        else: z.writestr('n%d.zip' % i, data)
    data = out.getvalue()
open('deep.zip', 'wb').write(data)
)");
    std::string path;  // 32 levels down: n39.zip/.../n8.zip
    for (int i = 39; i >= 8; --i) path += "n" + std::to_string(i) + ".zip/";
    auto list = zorvex(tmp, "list -r " + quote(tmp / "deep.zip"));
    // The levels below are not listed: a failure.
    EXPECT_EQ(list.status, 1);
    EXPECT_NE(list.out.find(path + "n7.zip\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("n6.zip"), std::string::npos) << list.out;
    EXPECT_NE(list.err.find(path + "n7.zip: not opened: archives nested more than 32 deep"), std::string::npos)
        << list.err;
    EXPECT_EQ(zorvex(tmp, "list " + quote(tmp / "deep.zip" / path)).status, 0);
    EXPECT_EQ(zorvex(tmp, "list " + quote(tmp / "deep.zip" / (path + "n7.zip"))).status, 1);
}

// Listing a compressed file whose header states no size shows "?" at once;
// 2 GiB of zeros would take seconds to decode. Testing it still decodes: the
// smaller copy has a damaged last member.
TEST_F(CliTest, ListingDoesNotDecodeToLearnASize) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
import bz2, gzip
member = {'bz2': bz2.compress(bytes(16 << 20), 1), 'gz': gzip.compress(bytes(16 << 20), 1, mtime=0)}
for kind, data in member.items():
    open('zeros.' + kind, 'wb').write(data * 128)
    damaged = bytearray(data)
    damaged[10 if kind == 'bz2' else -8] ^= 1  # the block CRC; the member trailer's CRC
    open('damaged.' + kind, 'wb').write(data * 3 + damaged)
)");
    for (const char* kind : {"bz2", "gz"}) {
        SCOPED_TRACE(kind);
        auto start = std::chrono::steady_clock::now();
        auto list = zorvex(tmp, "list " + quote(tmp / ("zeros." + std::string(kind))));
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_NE(list.out.find("               ?  zeros\n"), std::string::npos) << list.out;
        EXPECT_LT(took, std::chrono::seconds(2));

        fs::path damaged = tmp / ("damaged." + std::string(kind));
        EXPECT_EQ(zorvex(tmp, "list " + quote(damaged)).status, 0);
        EXPECT_EQ(zorvex(tmp, "test " + quote(damaged)).status, 1);
    }
}

TEST_F(CliTest, ExtractWritesNestedArchivesAsFilesAndImpliedFolders) {
    REQUIRE_TOOL("python3");
    makeNested(tmp.path());
    auto o = zorvex(tmp, "extract " + quote(tmp / "outer.zip") + " -C " + quote(tmp / "out"));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(readFile(tmp / "out/outer/inner.zip"), readFile(tmp / "inner.zip"));
    EXPECT_EQ(readFile(tmp / "out/outer/implied/deep/er/file2.txt").size(), 3u);
    EXPECT_EQ(readTree(tmp / "out").size(), 4u);
}

TEST_F(CliTest, WrapperFolderOnlyForSeveralTopLevelEntries) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
with zipfile.ZipFile('single.zip', 'w') as z:
    z.writestr('only.txt', 'one')
with zipfile.ZipFile('folder.zip', 'w') as z:
    z.writestr('photos/a.jpg', 'a')
    z.writestr('photos/b.jpg', 'b')
with zipfile.ZipFile('pair.zip', 'w') as z:
    z.writestr('a.txt', 'a')
    z.writestr('b.txt', 'b')
with zipfile.ZipFile('wrapped.v2.zip', 'w') as z:
    z.write('pair.zip', 'pair.zip')
)");
    for (const char* zip : {"single.zip", "folder.zip", "wrapped.v2.zip"}) {
        auto o = zorvex(tmp, "extract " + quote(tmp / zip) + " -C " + quote(tmp / "out"));
        EXPECT_EQ(o.status, 0) << zip << ": " << o.err;
    }
    Tree got = readTree(tmp / "out");
    // A lone nested archive is unwrapped: its own entries land in a folder
    // named after it.
    Tree want = {{"only.txt", {'o', 'n', 'e'}}, {"photos/a.jpg", {'a'}}, {"photos/b.jpg", {'b'}},
                 {"pair/a.txt", {'a'}}, {"pair/b.txt", {'b'}}};
    EXPECT_EQ(got, want);
}

TEST_F(CliTest, UnwrapsTarInsideGzip) {
    REQUIRE_TOOL("tar");
    writeFile(tmp / "t/one.txt", "1");
    writeFile(tmp / "t/two.txt", "22");
    ASSERT_EQ(run("cd " + quote(tmp / "t") + " && tar czf ../bundle.tar.gz one.txt two.txt"), 0);
    if (zorvex(tmp, "list " + quote(tmp / "bundle.tar.gz")).status != 0) GTEST_SKIP() << "no gzip/tar reader built";
    auto o = zorvex(tmp, "extract " + quote(tmp / "bundle.tar.gz") + " -C " + quote(tmp / "out"));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(readFile(tmp / "out/bundle/two.txt").size(), 2u);
}

// Files of a compressed tar are kept apart while it is listed and then
// linked into place: each must still come out whole and on its own, also
// where two names share their data, over an existing file, or when the
// stream turns out damaged.
TEST_F(CliTest, CompressedTarFilesComeOutWholeAndSeparate) {
    REQUIRE_TOOL("tar");
    REQUIRE_TOOL("xz");
    auto big = sampleData(300000, 51), other = sampleData(200000, 52);
    writeFile(tmp / "src/tree/big", big.data(), big.size());
    writeFile(tmp / "src/tree/other", other.data(), other.size());
    writeFile(tmp / "src/tree/small", "small");
    fs::create_hard_link(tmp / "src/tree/big", tmp / "src/tree/same");
    // Linked into place, they still get their stored times and modes.
    ASSERT_EQ(run("cd " + quote(tmp / "src/tree") + " && touch -d @1000000000 other && chmod 750 other"), 0);
    ASSERT_EQ(run("cd " + quote(tmp / "src") + " && tar cf ../t.tar tree && xz -k ../t.tar && gzip -k ../t.tar"), 0);
    for (const char* archive : {"t.tar.xz", "t.tar.gz"}) {
        SCOPED_TRACE(archive);
        fs::path out = tmp / "out" / archive;
        std::string args = "extract " + quote(tmp / archive) + " -C " + quote(out);
        auto o = zorvex(tmp, args);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(readFile(out / "tree/big"), big);
        EXPECT_EQ(readFile(out / "tree/same"), big);
        EXPECT_EQ(readFile(out / "tree/other"), other);
        EXPECT_EQ(readFile(out / "tree/small").size(), 5u);
        // "same" is the tar's hard link to "big"; nothing else shares a file.
        for (auto [name, count] : {std::pair{"big", 2u}, {"same", 2u}, {"other", 1u}})
            EXPECT_EQ(fs::hard_link_count(out / "tree" / name), count) << name;
        EXPECT_EQ(mtime(out / "tree/other"), 1000000000);
        EXPECT_EQ(fs::status(out / "tree/other").permissions() & fs::perms::all,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);

        writeFile(out / "tree/big", "changed");
        o = zorvex(tmp, args + " --overwrite");
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(readFile(out / "tree/big"), big);
        EXPECT_EQ(readTree(out).size(), 4u);  // no temporary files are left behind
    }

    auto gz = readFile(tmp / "t.tar.gz");
    gz[gz.size() - 8] ^= 0x01;  // the stored CRC
    writeFile(tmp / "crc.tar.gz", gz.data(), gz.size());
    auto damaged = zorvex(tmp, "extract " + quote(tmp / "crc.tar.gz") + " -C " + quote(tmp / "damaged"));
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.err.find("t.tar/tree/"), std::string::npos) << damaged.err;
    EXPECT_TRUE(readTree(tmp / "damaged").empty());

    // Files kept apart leave enough handles for the files written beside them.
    ASSERT_EQ(run("cd " + quote(tmp / "src") + " && mkdir wide && for i in $(seq 40); do " +
                  "head -c 70000 /dev/urandom > wide/f$i; done && tar czf ../wide.tar.gz wide"),
              0);
    EXPECT_EQ(run("ulimit -n 32 && " + quote(cliPath()) + " extract " + quote(tmp / "wide.tar.gz") + " -C " +
                  quote(tmp / "wide")),
              0);
    EXPECT_EQ(readTree(tmp / "wide/wide"), readTree(tmp / "src/wide"));
}

// A plain tar's files are copied from file to file by the system where it
// can; an archive cut inside one still fails for it, leaving nothing.
// The system copies a plain tar's files where that pays (within tmpfs,
// which /dev/shm usually is) and they are read and written elsewhere: either
// way a file comes out whole or, cut short, not at all.
TEST_F(CliTest, PlainTarFilesAreCopiedWholeOrNotAtAll) {
    REQUIRE_TOOL("tar");
    auto big = sampleData(3 << 20, 61);
    writeFile(tmp / "src/big", big.data(), big.size());
    writeFile(tmp / "src/small", "small");
    ASSERT_EQ(run("cd " + quote(tmp / "src") + " && tar cf ../t.tar big small"), 0);
    auto packed = readFile(tmp / "t.tar");
    std::optional<TempDir> inMemory;
    std::vector<fs::path> places{tmp.path()};
    if (fs::is_directory("/dev/shm")) places.push_back(inMemory.emplace("/dev/shm").path());
    for (const fs::path& place : places) {
        SCOPED_TRACE(place);
        writeFile(place / "t.tar", packed.data(), packed.size());
        writeFile(place / "cut.tar", packed.data(), 512 + big.size() / 2);
        auto whole = zorvex(tmp, "extract " + quote(place / "t.tar") + " -C " + quote(place / "whole"));
        ASSERT_EQ(whole.status, 0) << whole.err;
        EXPECT_EQ(readFile(place / "whole/t/big"), big);
        EXPECT_EQ(readFile(place / "whole/t/small").size(), 5u);

        auto cut = zorvex(tmp, "extract " + quote(place / "cut.tar") + " -C " + quote(place / "cut"));
        EXPECT_EQ(cut.status, 1);
        EXPECT_NE(cut.err.find("big: data ends after " + std::to_string(big.size() / 2)), std::string::npos)
            << cut.err;
        EXPECT_TRUE(readTree(place / "cut").empty());
    }
}

TEST_F(CliTest, NothingLandsOutsideTheDestination) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
names = ['../evil.txt', '/abs.txt', 'C:\\x.txt', 'a/../../b.txt', '..\\win.txt', 'd/../../../up.txt',
         'link/through.txt', './dot/../ok.txt']
with zipfile.ZipFile('evil.zip', 'w') as z:
    for n in names:
        z.writestr(zipfile.ZipInfo(n), n)
)");
    fs::path dest = tmp / "x/y/dest";
    fs::create_directories(dest / "evil");
    fs::create_directories(tmp / "outside");
    // A link planted in the destination must not be written through.
    fs::create_directory_symlink(tmp / "outside", dest / "evil/link");
    auto o = zorvex(tmp, "extract " + quote(tmp / "evil.zip") + " -C " + quote(dest));
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("link"), std::string::npos) << o.err;
    EXPECT_TRUE(fs::is_empty(tmp / "outside"));
    for (auto& item : fs::recursive_directory_iterator(tmp.path())) {
        if (!item.is_regular_file() || item.is_symlink()) continue;
        auto rel = fs::relative(item.path(), tmp.path()).generic_string();
        bool input = rel == "evil.zip" || rel == "make.py" || rel == "stderr.txt";
        EXPECT_TRUE(input || rel.rfind("x/y/dest/evil/", 0) == 0) << rel << " escaped";
    }
    EXPECT_TRUE(fs::exists(dest / "evil/ok.txt"));
}

TEST_F(CliTest, ExistingFilesAreKeptUnlessOverwriteIsGiven) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
with zipfile.ZipFile('two.zip', 'w') as z:
    z.writestr('a.txt', 'from archive')
    z.writestr('b.txt', 'b')
)");
    std::string args = "extract " + quote(tmp / "two.zip") + " -C " + quote(tmp / "out");
    ASSERT_EQ(zorvex(tmp, args).status, 0);
    writeFile(tmp / "out/two/a.txt", "changed");
    fs::remove(tmp / "out/two/b.txt");

    auto kept = zorvex(tmp, args);
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.err.find("a.txt: exists"), std::string::npos) << kept.err;
    EXPECT_EQ(readFile(tmp / "out/two/a.txt").size(), 7u);
    EXPECT_TRUE(fs::exists(tmp / "out/two/b.txt"));  // the missing one is still written

    // A link in place of a file is replaced, never written through.
    writeFile(tmp / "victim.txt", "keep");
    fs::remove(tmp / "out/two/b.txt");
    fs::create_symlink(tmp / "victim.txt", tmp / "out/two/b.txt");

    auto replaced = zorvex(tmp, args + " --overwrite");
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(readFile(tmp / "out/two/a.txt").size(), 12u);
    EXPECT_FALSE(fs::is_symlink(tmp / "out/two/b.txt"));
    EXPECT_EQ(readFile(tmp / "victim.txt").size(), 4u);
    // No temporary files are left behind.
    EXPECT_EQ(readTree(tmp / "out").size(), 2u);
}

// Offsets of an entry in a zip made by python: local header and central record.
struct ZipRecord {
    size_t local, central;
};
ZipRecord findRecord(const std::vector<uint8_t>& zip, const std::string& name) {
    auto find = [&](uint32_t signature, size_t nameAt) {
        for (size_t i = 0; i + nameAt + name.size() <= zip.size(); ++i)
            if (zip[i] == (signature & 0xff) && zip[i + 1] == ((signature >> 8) & 0xff) && zip[i + 2] == ((signature >> 16) & 0xff) &&
                zip[i + 3] == (signature >> 24) && std::equal(name.begin(), name.end(), zip.begin() + long(i + nameAt)))
                return i;
        return std::string::npos;
    };
    return {find(0x04034b50, 30), find(0x02014b50, 46)};
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

TEST_F(CliTest, TruncatedEntryFailsInEveryCommand) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
with zipfile.ZipFile('t.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('short.txt', 'data ' * 2000)
    z.writestr('fine.txt', 'fine')
)");
    // Claim 100 more bytes than the deflated data decodes to.
    auto zip = readFile(tmp / "t.zip");
    ZipRecord r = findRecord(zip, "short.txt");
    ASSERT_TRUE(r.local != std::string::npos && r.central != std::string::npos);
    put32(zip, r.local + 22, 10100);
    put32(zip, r.central + 24, 10100);
    writeFile(tmp / "t.zip", zip.data(), zip.size());
    const std::string line = "short.txt: data ends after 10000 of 10100 bytes";

    auto cat = zorvex(tmp, "cat " + quote(tmp / "t.zip/short.txt") + " >/dev/null");
    EXPECT_EQ(cat.status, 1);
    EXPECT_NE(cat.err.find(line), std::string::npos) << cat.err;

    auto test = zorvex(tmp, "test " + quote(tmp / "t.zip"));
    EXPECT_EQ(test.status, 1);
    EXPECT_NE(test.err.find(line), std::string::npos) << test.err;

    auto extract = zorvex(tmp, "extract " + quote(tmp / "t.zip") + " -C " + quote(tmp / "out"));
    EXPECT_EQ(extract.status, 1);
    EXPECT_NE(extract.err.find(line), std::string::npos) << extract.err;
    // No short file is left, the sound entry is written.
    EXPECT_EQ(readTree(tmp / "out"), (Tree{{"t/fine.txt", {'f', 'i', 'n', 'e'}}}));
}

TEST_F(CliTest, DamagedCompressedFilesFailInEveryCommand) {
    REQUIRE_TOOL("gzip");
    REQUIRE_TOOL("bzip2");
    REQUIRE_TOOL("xz");
    std::vector<uint8_t> content = sampleData(600000, 41);
    writeFile(tmp / "d", content.data(), content.size());
    ASSERT_EQ(run("cd " + quote(tmp.path()) + " && gzip -n -c d > d.gz && bzip2 -c d > d.bz2 && "
                  "xz --format=lzma -c d > d.lzma"),
              0);
    auto gz = readFile(tmp / "d.gz"), bz2 = readFile(tmp / "d.bz2"), lzma = readFile(tmp / "d.lzma");
    struct Damage {
        std::string file;
        std::vector<uint8_t> bytes;
        std::string cause;  // how the message begins
    };
    const std::string cut = "data ends after ", broken = "data is damaged";
    std::vector<Damage> damaged = {{"half.gz", {gz.begin(), gz.begin() + gz.size() / 2}, cut},
                                   {"crc.gz", gz, broken},
                                   {"size.gz", gz, broken},
                                   {"cut.bz2", {bz2.begin(), bz2.begin() + bz2.size() * 2 / 3}, cut},
                                   {"crc.bz2", bz2, broken},
                                   {"cut.lzma", {lzma.begin(), lzma.begin() + lzma.size() * 2 / 3}, cut}};
    damaged[1].bytes[gz.size() - 8] ^= 0x01;  // stored CRC
    damaged[2].bytes[gz.size() - 3] ^= 0x01;  // stored size
    damaged[4].bytes[bz2.size() - 3] ^= 0x10; // stream CRC
    if (haveTool("lzip")) {
        ASSERT_EQ(run("cd " + quote(tmp.path()) + " && lzip -c d > a.lz && lzip -c d > b.lz"), 0);
        auto lz = readFile(tmp / "a.lz"), second = readFile(tmp / "b.lz");
        std::vector<uint8_t> two = lz;
        two.insert(two.end(), second.begin(), second.end());
        lz.insert(lz.end(), second.begin(), second.end() - 10);
        damaged.push_back({"two-cut.lz", lz, cut});
        // The first member's trailer: every member is checked, not only the last.
        damaged.push_back({"crc.lz", two, broken});
        damaged.back().bytes[two.size() / 2 - 20] ^= 0x01;
        damaged.push_back({"size.lz", two, broken});
        damaged.back().bytes[two.size() / 2 - 16] ^= 0x01;
    }
    for (const Damage& d : damaged) {
        SCOPED_TRACE(d.file);
        writeFile(tmp / d.file, d.bytes.data(), d.bytes.size());
        std::string entry = d.file.substr(0, d.file.find('.'));
        auto test = zorvex(tmp, "test " + quote(tmp / d.file));
        EXPECT_EQ(test.status, 1) << test.out;
        EXPECT_NE(test.err.find(d.file + ": " + entry + ": " + d.cause), std::string::npos) << test.err;
        auto cat = zorvex(tmp, "cat " + quote(tmp / d.file / entry) + " >/dev/null");
        EXPECT_EQ(cat.status, 1);
        fs::path out = tmp / ("out-" + d.file);
        auto extract = zorvex(tmp, "extract " + quote(tmp / d.file) + " -C " + quote(out));
        EXPECT_EQ(extract.status, 1);
        // Nothing is written for data known to be damaged.
        EXPECT_TRUE(readTree(out).empty());
    }
}

// A level whose reader stopped early is one line naming it, the commands exit
// 1, and what was read before the damage is still listed and extracted.
TEST_F(CliTest, DamagedLevelIsReportedWhileItsEntriesStay) {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("gzip");
    python(tmp.path(), "import tarfile\n"
                       "t = tarfile.open('g.tar', 'w', format=tarfile.GNU_FORMAT)\n"
                       "for n, d in (('one', b'1' * 700), ('two', b'2' * 10)):\n"
                       "    i = tarfile.TarInfo(n); i.size = len(d); t.addfile(i, io.BytesIO(d))\n"
                       "t.close()\n"
                       "open('cut.tar', 'wb').write(open('g.tar', 'rb').read()[:1636])\n"  // inside the 2nd header
                       "b = bytearray(open('g.tar', 'rb').read()); b[1536] ^= 1\n"  // 2nd header's checksum fails
                       "open('bad.tar', 'wb').write(b)\n"
                       "os.system('gzip -kn cut.tar bad.tar')\n"
                       "zipfile.ZipFile('outer.zip', 'w').write('cut.tar.gz')\n"
                       "zipfile.ZipFile('held.zip', 'w').write('bad.tar')\n");
    const std::string reason = ": damaged after 1 entry: archive cut inside a header\n";
    const std::string checksum = ": damaged after 1 entry: header checksum mismatch at offset 1536\n";
    struct Case {
        std::string args;
        std::string line;  // the verdict line
    } cases[] = {
        {"list " + quote(tmp / "cut.tar"), "zorvex: " + (tmp / "cut.tar").string() + reason},
        {"test " + quote(tmp / "cut.tar"), "zorvex: " + (tmp / "cut.tar").string() + reason},
        {"extract -C " + quote(tmp / "a") + " " + quote(tmp / "cut.tar"),
         "zorvex: " + (tmp / "cut.tar").string() + reason},
        {"extract -C " + quote(tmp / "b") + " " + quote(tmp / "cut.tar.gz"),
         "zorvex: " + (tmp / "cut.tar.gz").string() + ": cut.tar" + reason},
        {"list -r " + quote(tmp / "outer.zip"),
         "zorvex: " + (tmp / "outer.zip").string() + ": cut.tar.gz/cut.tar" + reason},
        // Nested levels are opened by `test` too, whole outer data or not.
        {"test " + quote(tmp / "cut.tar.gz"), "zorvex: " + (tmp / "cut.tar.gz").string() + ": cut.tar" + reason},
        {"test " + quote(tmp / "outer.zip"),
         "zorvex: " + (tmp / "outer.zip").string() + ": cut.tar.gz/cut.tar" + reason},
        {"test " + quote(tmp / "bad.tar.gz"), "zorvex: " + (tmp / "bad.tar.gz").string() + ": bad.tar" + checksum},
        {"test " + quote(tmp / "held.zip"), "zorvex: " + (tmp / "held.zip").string() + ": bad.tar" + checksum},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Outcome o = zorvex(tmp, c.args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, c.line);
    }
    EXPECT_NE(zorvex(tmp, "list " + quote(tmp / "cut.tar")).out.find("700  one"), std::string::npos);
    EXPECT_EQ(fs::file_size(tmp / "a" / "one"), 700u);
    EXPECT_EQ(fs::file_size(tmp / "b" / "one"), 700u);
}

TEST_F(CliTest, CrcMismatchIsReported) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
with zipfile.ZipFile('c.zip', 'w') as z:
    z.writestr('flipped.bin', bytes(range(256)) * 4)
    z.writestr('fine.txt', 'fine')
)");
    auto zip = readFile(tmp / "c.zip");
    ZipRecord r = findRecord(zip, "flipped.bin");
    ASSERT_TRUE(r.local != std::string::npos && r.central != std::string::npos);
    zip[r.local + 30 + 11 + 100] ^= 0x40;  // a byte of the stored data
    writeFile(tmp / "c.zip", zip.data(), zip.size());

    auto test = zorvex(tmp, "test " + quote(tmp / "c.zip"));
    EXPECT_EQ(test.status, 1);
    EXPECT_NE(test.err.find("c.zip: flipped.bin: CRC mismatch"), std::string::npos) << test.err;

    auto extract = zorvex(tmp, "extract " + quote(tmp / "c.zip") + " -C " + quote(tmp / "out"));
    EXPECT_EQ(extract.status, 1);
    EXPECT_NE(extract.err.find("flipped.bin: CRC mismatch"), std::string::npos) << extract.err;
    // A file that fails its check is not left looking whole.
    Tree written = readTree(tmp / "out");
    EXPECT_EQ(written.size(), 1u);
    EXPECT_EQ(written.count("c/fine.txt"), 1u);

    auto cat = zorvex(tmp, "cat " + quote(tmp / "c.zip/flipped.bin") + " >/dev/null");
    EXPECT_EQ(cat.status, 1);
    EXPECT_NE(cat.err.find("CRC mismatch"), std::string::npos) << cat.err;
}

// Each failure says what it is: data that cannot be decoded is not called
// short, and an entry no codec here can read is not called damaged.
TEST_F(CliTest, FailuresNameTheirCause) {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("7zz");
    REQUIRE_TOOL("xz");
    // A deflate block of the reserved type 3 at the start of the data.
    python(tmp.path(), R"(
with zipfile.ZipFile('bad.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('x.txt', 'text ' * 1000)
b = bytearray(open('bad.zip', 'rb').read())
name, extra = struct.unpack_from('<HH', b, 26)
b[30 + name + extra] = 0x07
open('bad.zip', 'wb').write(b)
)");
    ASSERT_EQ(run("cd " + quote(tmp.path()) + " && seq 1 5000 > a.txt && "
                  "7zz a -m0=SWAP4 -m1=LZMA2 swap.7z a.txt >/dev/null && 7zz a -pSecret locked.7z a.txt >/dev/null && "
                  "head -c 40M /dev/zero | xz --format=lzma --lzma1=preset=0,dict=1GiB > big.lzma"),
              0);
    struct Case {
        std::string entry, message, limit;
    };
    std::vector<Case> cases = {
        {"bad.zip/x.txt", "x.txt: data is damaged (decoding failed after 0 bytes)", ""},
        {"swap.7z/a.txt", "a.txt: method 0x20304 is not supported", ""},
        {"locked.7z/a.txt", "a.txt: encrypted; give a password with -p", ""},
    };
#if !defined(__SANITIZE_ADDRESS__)
    // The dictionary grows with the output, past what 50 MB of address space holds.
    cases.push_back({"big.lzma/big", "big: out of memory", "ulimit -v 50000; "});
#endif
    for (const Case& c : cases) {
        const std::string archive = c.entry.substr(0, c.entry.find('/'));
        auto test = zorvex(tmp, "test " + quote(tmp / archive), c.limit);
        auto cat = zorvex(tmp, "cat " + quote(tmp / c.entry) + " >/dev/null", c.limit);
        for (const Outcome* o : {&test, &cat}) {
            EXPECT_EQ(o->status, 1) << c.entry;
            EXPECT_NE(o->err.find(c.message), std::string::npos) << c.entry << "\n" << o->err;
        }
    }
}

TEST_F(CliTest, ManyEntriesListAndExtract) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
with zipfile.ZipFile('many.zip', 'w') as z:
    for i in range(3000):
        z.writestr('f%02d/e%d.txt' % (i % 30, i), str(i))
)");
    auto list = zorvex(tmp, "list -r " + quote(tmp / "many.zip"));
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("3000 files, 30 folders, 0 archives"), std::string::npos);
    auto o = zorvex(tmp, "extract " + quote(tmp / "many.zip") + " -C " + quote(tmp / "out"));
    ASSERT_EQ(o.status, 0) << o.err;
    Tree tree = readTree(tmp / "out/many");
    EXPECT_EQ(tree.size(), 3000u);
    EXPECT_EQ(tree["f29/e2999.txt"], (std::vector<uint8_t>{'2', '9', '9', '9'}));
}

TEST_F(CliTest, ExitStatusAndMessagesForBadRequests) {
    REQUIRE_TOOL("python3");
    makeNested(tmp.path());
    struct Case {
        std::string args;
        int status;
        std::string message;
    };
    fs::path outer = tmp / "outer.zip";
    for (const Case& c : std::vector<Case>{
             {"list " + quote(tmp / "missing.zip"), 1, "cannot open"},
             {"list " + quote(outer / "nope"), 1, "cannot open"},
             {"cat " + quote(outer / "implied"), 1, "is a folder"},
             {"cat " + quote(outer / "absent.txt"), 1, "no such entry"},
             {"test " + quote(outer) + " " + quote(tmp / "missing.zip"), 1, "missing.zip: cannot open"},
             {"extract " + quote(tmp / "make.py") + " -C " + quote(tmp / "out"), 1, "cannot open as an archive"},
             {"extract " + quote(outer) + " -C " + quote(tmp / "make.py"), 1, "make.py: not a folder"},
             {"extract " + quote(outer) + " -C " + quote(tmp / "make.py/sub"), 1, "folder: Not a directory"},
             {"list " + quote(outer) + " >/dev/full", 1, "standard output: No space left on device"},
             {"test " + quote(outer) + " >/dev/full", 1, "standard output: No space left on device"},
             {"", 2, ""},
             {"frobnicate", 2, ""},
             {"cat", 2, ""},
         }) {
        auto o = zorvex(tmp, c.args);
        EXPECT_EQ(o.status, c.status) << c.args << "\n" << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << c.args << "\n" << o.err;
        // Failures are one line each, never on stdout.
        if (c.status == 1) EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
}

// A tar whose entry names carry drive letters and device prefixes, read with
// the same kinds of prefix typed into the path: every request ends in the
// entry or in one clear error line.
TEST_F(CliTest, DriveLikePathComponentsEndInAnEntryOrAnError) {
    REQUIRE_CORPUS(corpus);
    fs::path tar = corpus / "tar/test_patterns_4.tar";
    for (const char* rest : {"c:/file04", "//./c:/file09", "//?/c:/file11", "////c:/file13", "\\\\C:\\file24", "c:",
                             "//?/UNC/file16"}) {
        auto o = zorvex(tmp, "cat " + quote(tar.string() + "/" + rest) + " >/dev/null");
        EXPECT_TRUE(o.status == 0 || o.status == 1) << rest << ": status " << o.status;
        if (o.status == 1) EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << rest << "\n" << o.err;
    }
    EXPECT_EQ(zorvex(tmp, "cat " + quote(tar / "file04")).status, 0);
}

// Entries of methods no codec decodes are listed, and every command that
// reads them fails with the method's number; the other entries come out.
TEST_F(CliTest, EntriesOfUnknownMethodsAreListedAndFail) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
with zipfile.ZipFile('odd.zip', 'w') as z:
    z.writestr('good.txt', 'fine')
    z.writestr('odd.bin', 'odd data')
    z.writestr('dir/odd2.bin', 'x')
b = bytearray(open('odd.zip', 'rb').read())
for sig, method_at, name_at, fixed in ((b'PK\x03\x04', 8, 26, 30), (b'PK\x01\x02', 10, 28, 46)):
    i = b.find(sig)
    while i >= 0:
        name = bytes(b[i + fixed:i + fixed + struct.unpack_from('<H', b, i + name_at)[0]])
        method = {b'odd.bin': 19, b'dir/odd2.bin': 20}.get(name)
        if method: struct.pack_into('<H', b, i + method_at, method)
        i = b.find(sig, i + 4)
open('odd.zip', 'wb').write(b)
)");
    fs::path zip = tmp / "odd.zip";
    auto list = zorvex(tmp, "list -r " + quote(zip));
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("3 files"), std::string::npos) << list.out;
    auto test = zorvex(tmp, "test " + quote(zip));
    auto extract = zorvex(tmp, "extract " + quote(zip) + " -C " + quote(tmp / "out"));
    for (const Outcome* o : {&test, &extract}) {
        EXPECT_EQ(o->status, 1);
        EXPECT_NE(o->err.find("odd.bin: method 19 is not supported"), std::string::npos) << o->err;
        EXPECT_NE(o->err.find("dir/odd2.bin: method 20 is not supported"), std::string::npos) << o->err;
    }
    EXPECT_EQ(readTree(tmp / "out/odd"), (Tree{{"good.txt", {'f', 'i', 'n', 'e'}}}));
    auto cat = zorvex(tmp, "cat " + quote(zip / "odd.bin"));
    EXPECT_EQ(cat.status, 1);
    EXPECT_NE(cat.err.find("method 19 is not supported"), std::string::npos) << cat.err;
}

// Zip names without the UTF-8 flag in a character set the user names.
TEST_F(CliTest, CharsetOptionForcesTheNamesCharacterSet) {
    REQUIRE_TOOL("python3");
    python(tmp.path(), R"(
with zipfile.ZipFile('cyr.zip', 'w') as z:
    z.writestr('######.txt', 'privet')
b = open('cyr.zip', 'rb').read().replace(b'######', bytes([0x8f, 0xe0, 0xa8, 0xa2, 0xa5, 0xe2]))
open('cyr.zip', 'wb').write(b)
)");
    const std::string cyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82.txt";  // in code page 866
    const std::string oem = "\xC3\x85\xCE\xB1\xC2\xBF\xC3\xB3\xC3\x91\xCE\x93.txt";       // the same bytes in 437
    struct Case {
        std::string options, name;
    };
    for (const Case& c : std::vector<Case>{{"", oem}, {"--charset CP866 ", cyrillic}}) {
        auto list = zorvex(tmp, c.options + "list " + quote(tmp / "cyr.zip"));
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_NE(list.out.find(c.name), std::string::npos) << c.options << list.out;
        auto cat = zorvex(tmp, c.options + "cat " + quote(tmp / "cyr.zip" / c.name));
        EXPECT_EQ(cat.out, "privet") << c.options << cat.err;
    }
    // A single file comes out without a folder of its own.
    auto extract = zorvex(tmp, "--charset CP866 extract " + quote(tmp / "cyr.zip") + " -C " + quote(tmp / "out"));
    EXPECT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(readTree(tmp / "out"), (Tree{{cyrillic, {'p', 'r', 'i', 'v', 'e', 't'}}}));
    EXPECT_EQ(zorvex(tmp, "--charset no-such-set list " + quote(tmp / "cyr.zip")).status, 2);
}

// Both zip-bomb patterns of the corpus: entries sharing bytes are errors of
// test and extract, each named on its own line, and nothing is expanded.
TEST_F(CliTest, OverlappingZipEntriesFailTestAndExtract) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"zip/zipdetails-err_badly-formed_zipbomb-quoted-overlap_zipbomb--quoted-overlap.zip",
                             "zip/zipdetails-err_badly-formed_zipbomb-full-overlap_zipbomb--full-overlap.zip"}) {
        fs::path zip = corpus / name;
        auto test = zorvex(tmp, "test " + quote(zip));
        EXPECT_EQ(test.status, 1) << name;
        EXPECT_NE(test.err.find(": 0: shares its data with another entry"), std::string::npos) << test.err;
        auto extract = zorvex(tmp, "extract " + quote(zip) + " -C " + quote(tmp / "out"));
        EXPECT_EQ(extract.status, 1) << name;
        EXPECT_NE(extract.err.find(": 0: "), std::string::npos) << extract.err;
    }
}

// Single-bit flips over compressed tars: extract and cat either fail or give
// the original bytes, and no wrong bytes stay on disk. The flips are every
// few bytes, plus for gzip those that python's zlib shows still inflate, to
// different data (the gzip CRC at the end is all that catches them).
TEST_F(CliTest, FlippedBitsInCompressedTarsNeverPassAsWhole) {
    REQUIRE_TOOL("python3");
    REQUIRE_TOOL("tar");
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + ": the quick brown fox jumps over it\n";
    writeFile(tmp / "src/data.txt", text);
    writeFile(tmp / "src/more.txt", text.substr(0, 5000));
    ASSERT_EQ(run("cd " + quote(tmp / "src") + " && tar --format=ustar -cf ../m.tar data.txt more.txt"), 0);
    const std::vector<uint8_t> original(text.begin(), text.end());
    struct Format {
        std::string tool, extension, command;
    };
    for (const Format& f : std::vector<Format>{{"gzip", ".gz", "gzip -9n"},
                                               {"bzip2", ".bz2", "bzip2 -9"},
                                               {"xz", ".xz", "xz -6"},
                                               {"lzip", ".lz", "lzip -9"},
                                               {"zstd", ".zst", "zstd -q -19"}}) {
        SCOPED_TRACE(f.extension);
        if (!haveTool(f.tool)) continue;
        const std::string good = "m.tar" + f.extension;
        ASSERT_EQ(run("cd " + quote(tmp.path()) + " && " + f.command + " -c m.tar > " + good), 0);
        const std::vector<uint8_t> packed = readFile(tmp / good);
        std::vector<size_t> flips;
        for (size_t at = 3; at < packed.size(); at += packed.size() / 24 + 1) flips.push_back(at);
        if (f.tool == "gzip") {
            python(tmp.path(), R"(
import zlib
b = bytearray(open('m.tar.gz', 'rb').read()); plain = open('m.tar', 'rb').read(); found = []
for at in range(10, len(b) - 8):
    b[at] ^= 1
    try:
        if zlib.decompress(bytes(b[10:-8]), -15) != plain: found.append(at)
    except zlib.error: pass
    b[at] ^= 1
    if len(found) == 6: break
open('inflating.txt', 'w').write(' '.join(map(str, found)))
)");
            const std::vector<uint8_t> offsets = readFile(tmp / "inflating.txt");
            std::istringstream found(std::string(offsets.begin(), offsets.end()));
            size_t before = flips.size();
            for (size_t at; found >> at;) flips.push_back(at);
            ASSERT_GT(flips.size(), before) << "no flip that still inflates";
        }
        for (size_t at : flips) {
            SCOPED_TRACE(at);
            std::vector<uint8_t> bytes = packed;
            bytes[at] ^= 0x01;
            const fs::path damaged = tmp / ("x.tar" + f.extension);
            const fs::path out = tmp / ("out" + std::to_string(at) + f.extension);
            writeFile(damaged, bytes.data(), bytes.size());
            auto extract = zorvex(tmp, "extract " + quote(damaged) + " -C " + quote(out));
            Tree tree = readTree(out);
            for (const auto& [name, data] : tree) {
                EXPECT_TRUE(name == "x/data.txt" || name == "x/more.txt") << name;
                EXPECT_TRUE(data.size() <= original.size() && std::equal(data.begin(), data.end(), original.begin()))
                    << name;
            }
            if (extract.status == 0) EXPECT_EQ(tree.size(), 2u);
            EXPECT_TRUE(extract.status == 0 || extract.status == 1) << extract.err;
            fs::path catOut = tmp / "cat.out";
            auto cat = zorvex(tmp, "cat " + quote(damaged / "x.tar/data.txt") + " >" + quote(catOut));
            if (cat.status == 0) EXPECT_EQ(readFile(catOut), original);
            EXPECT_TRUE(cat.status == 0 || cat.status == 1) << cat.err;
        }
    }
}

// A temporary file of an extraction that was killed is removed by the next
// extraction into its folder; one of a process that still runs is not.
TEST_F(CliTest, LeftoversOfKilledExtractionsAreRemoved) {
    REQUIRE_TOOL("python3");
    makeNested(tmp.path());
    int deadPid = std::stoi(runOutput("sh -c 'echo $$'"));
    int livePid = std::stoi(runOutput("echo $PPID"));  // the shell's parent: this test
    const std::string dead = ".zorvex-" + std::to_string(deadPid) + "-1.part";
    const std::string live = ".zorvex-" + std::to_string(livePid) + "-1.part";
    for (const std::string& name : {dead, live, std::string(".zorvex-x-1.part")})
        writeFile(tmp / "out/outer" / name, "partial");
    auto o = zorvex(tmp, "extract " + quote(tmp / "outer.zip") + " -C " + quote(tmp / "out"));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_FALSE(fs::exists(tmp / "out/outer" / dead));
    EXPECT_TRUE(fs::exists(tmp / "out/outer" / live));
    EXPECT_TRUE(fs::exists(tmp / "out/outer/.zorvex-x-1.part"));
}

#ifndef _WIN32
// An interrupted extraction leaves neither a partial file under the entry's
// name nor its temporary file, and ends as the signal would have. A killed
// one leaves at most a temporary name.
TEST_F(CliTest, InterruptedExtractionLeavesNothing) {
    REQUIRE_TOOL("python3");
    // 1 GiB of zeros as many small gzip members: quick to make, long to write.
    python(tmp.path(), R"(
import gzip
member = gzip.compress(bytes(16 << 20), 1)
open('zeros.gz', 'wb').write(member * 64)
)");
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signal);
        const fs::path out = tmp / ("out" + std::to_string(signal));
        fs::create_directories(out);
        std::string program = cliPath(), archive = (tmp / "zeros.gz").string(), folder = out.string();
        const int status = interruptWhileWriting({program, "extract", archive, "-C", folder}, out, signal);
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        for (auto& item : fs::directory_iterator(out))
            EXPECT_TRUE(signal == SIGKILL && item.path().extension() == ".part") << item.path();
    }
}
#endif

// Names that differ only in case (as in a /usr/include tree) are all listed,
// tested and extracted, whichever archiver stored them.
TEST_F(CliTest, NamesThatDifferOnlyInCaseAllComeOut) {
    const Tree input = {{"inc/xt_CONNMARK.h", {'A'}}, {"inc/xt_connmark.h", {'a'}}, {"inc/Docs/r.txt", {'D'}},
                        {"inc/docs/r.txt", {'d'}},    {"inc/docs/R.txt", {'R'}}};
    for (auto& [name, bytes] : input) writeFile(tmp / "in" / name, bytes.data(), bytes.size());
    struct Archiver {
        const char* tool;
        const char* archive;
        const char* command;
    };
    for (const Archiver& a : {Archiver{"tar", "c.tar", "tar cf ../c.tar inc"},
                              Archiver{"zip", "c.zip", "zip -qr ../c.zip inc"},
                              Archiver{"7zz", "c.7z", "7zz a -bd ../c.7z inc >/dev/null"}}) {
        SCOPED_TRACE(a.archive);
        if (!haveTool(a.tool)) continue;
        ASSERT_EQ(run("cd " + quote(tmp / "in") + " && " + a.command), 0);
        fs::path archive = tmp / a.archive;
        EXPECT_NE(zorvex(tmp, "list -r " + quote(archive)).out.find("5 files, 3 folders"), std::string::npos);
        EXPECT_NE(zorvex(tmp, "test " + quote(archive)).out.find("OK (5 entries"), std::string::npos);
        fs::path out = tmp / (std::string("out-") + a.archive);
        auto extract = zorvex(tmp, "extract " + quote(archive) + " -C " + quote(out));
        EXPECT_EQ(extract.status, 0) << extract.err;
        EXPECT_EQ(readTree(out), input);
    }
}

// The later of two entries of one path is the one listed, read and written:
// a member appended with `tar -r`, a zip's later record of a name, one record
// named twice by a zip's directory, and the current one of a RAR file's
// versions (the one without a version record; older versions are left out).
TEST_F(CliTest, LaterEntriesOfAPathSupersedeEarlierOnes) {
    REQUIRE_TOOL("tar");
    REQUIRE_TOOL("python3");
    fs::create_directories(tmp / "src");
    ASSERT_EQ(run("cd " + quote(tmp / "src") + " && echo old > config.txt && tar cf ../appended.tar config.txt && "
                  "echo newer > config.txt && tar rf ../appended.tar config.txt"), 0);
    python(tmp.path(), R"(
import warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile('again.zip', 'w') as z:
    z.writestr('config.txt', 'old\n')
    z.writestr('config.txt', 'newer\n')
zipfile.ZipFile('twice.zip', 'w').writestr('dup.txt', 'same record twice\n')
b = open('twice.zip', 'rb').read()
end = b.rfind(b'PK\x05\x06')
count, size, offset = struct.unpack('<HII', b[end + 10:end + 20])
central = b[offset:offset + size]
open('twice.zip', 'wb').write(b[:offset] + central + central + b[end:end + 8] +
                              struct.pack('<HHII', 2 * count, 2 * count, 2 * size, offset) + b[end + 20:])
)");
    struct Case {
        fs::path archive;
        const char* name;
        const char* data;
    };
    std::vector<Case> cases = {{tmp / "appended.tar", "config.txt", "newer\n"},
                               {tmp / "again.zip", "config.txt", "newer\n"},
                               {tmp / "twice.zip", "dup.txt", "same record twice\n"}};
    if (auto corpus = corpusDir())
        cases.push_back({*corpus / "rar5/rar5-versions.rar", "versioned.txt", "3\n"});
    else
        std::printf("no ../shared/corpus: the RAR 5.0 file versions are not checked\n");
    for (const Case& t : cases) {
        SCOPED_TRACE(t.archive.filename().string());
        auto cat = zorvex(tmp, "cat " + quote(t.archive / t.name));
        EXPECT_EQ(cat.status, 0) << cat.err;
        EXPECT_EQ(cat.out, t.data);
        EXPECT_NE(zorvex(tmp, "list " + quote(t.archive)).out.find("1 file,"), std::string::npos);
        fs::path out = tmp / ("out-" + t.archive.filename().string());
        auto extract = zorvex(tmp, "extract " + quote(t.archive) + " -C " + quote(out));
        EXPECT_EQ(extract.status, 0) << extract.err;
        EXPECT_EQ(readTree(out), (Tree{{t.name, std::vector<uint8_t>(t.data, t.data + strlen(t.data))}}));
    }
}

// With --versions the older versions of a RAR 5.0 file are entries of their
// own, "name;N", in every command; without it they are not there.
TEST_F(CliTest, OlderRarVersionsAreShownOnlyWhenAsked) {
    auto corpus = corpusDir();
    if (!corpus) GTEST_SKIP() << "no ../shared/corpus";
    const fs::path archive = *corpus / "rar5/rar5-versions.rar";
    const Tree versions = {{"versioned.txt", {'3', '\n'}}, {"versioned.txt;1", {'1', '\n'}},
                           {"versioned.txt;2", {'2', '\n'}}};
    for (const char* option : {"", "--versions "}) {
        SCOPED_TRACE(option);
        const bool shown = *option != 0;
        EXPECT_NE(zorvex(tmp, std::string(option) + "list " + quote(archive)).out.find(shown ? "3 files," : "1 file,"),
                  std::string::npos);
        for (const auto& [name, data] : versions) {
            auto cat = zorvex(tmp, std::string(option) + "cat " + quote(archive / name));
            const bool there = shown || name == "versioned.txt";
            EXPECT_EQ(cat.status, there ? 0 : 1) << name;
            if (there) EXPECT_EQ(cat.out, std::string(data.begin(), data.end())) << name;
        }
        fs::path out = tmp / (shown ? "all" : "current");
        auto extract = zorvex(tmp, std::string(option) + "extract " + quote(archive) + " -C " + quote(out));
        EXPECT_EQ(extract.status, 0) << extract.err;
        EXPECT_EQ(readTree(out).size(), shown ? 3u : 1u);
        auto test = zorvex(tmp, std::string(option) + "test " + quote(archive));
        EXPECT_NE(test.out.find(shown ? "OK (3 entries" : "OK (1 entries"), std::string::npos) << test.out;
    }
}

// `cat` takes the name spelled exactly so, or else the only one that differs
// from it in case; it does not guess between several.
TEST_F(CliTest, CatTakesTheExactNameOrTheOnlyCaseInsensitiveMatch) {
    REQUIRE_TOOL("tar");
    for (const char* name : {"xt_CONNMARK.h", "xt_connmark.h", "Only.txt"}) writeFile(tmp / "in" / name, name);
    ASSERT_EQ(run("cd " + quote(tmp / "in") + " && tar cf ../c.tar *"), 0);
    struct Case {
        const char* entry;
        int status;
        const char* out;
        const char* err;
    };
    for (const Case& t : {Case{"xt_connmark.h", 0, "xt_connmark.h", ""}, Case{"xt_CONNMARK.h", 0, "xt_CONNMARK.h", ""},
                          Case{"only.TXT", 0, "Only.txt", ""},
                          Case{"XT_CONNMARK.H", 1, "", "names several entries that differ only in case"}}) {
        auto cat = zorvex(tmp, "cat " + quote(tmp / "c.tar" / t.entry));
        EXPECT_EQ(cat.status, t.status) << t.entry << ": " << cat.err;
        EXPECT_EQ(cat.out, t.out) << t.entry;
        EXPECT_NE(cat.err.find(t.err), std::string::npos) << cat.err;
    }
}

}  // namespace
}  // namespace zorvex::test
