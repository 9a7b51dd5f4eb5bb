// The zip reader, through the engine's path API: archives made by 7zz and by
// python's zipfile, records built byte by byte for the cases no writer makes,
// and the zip files of the real-world corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "engine/format_registry.h"
#include "engine/stream.h"
#include "tests/test_util.h"
#include "tests/zip_builder.h"

namespace zorvex {
namespace {

using test::fs::path;

Ref<Archive> openArchive(const path& file) {
    return Ref<Archive>(openArchivePath(test::enginePath(file).c_str()));
}

// Opens a zip held in memory under the name "mem.zip".
Ref<Archive> openBytes(const std::vector<uint8_t>& bytes) {
    Ref<InStream> stream(MemoryStream::create(u"mem.zip", nullptr, 0, bytes.data(), bytes.size()));
    return Ref<Archive>(detectAndOpen(u"mem.zip", nullptr, stream.get()));
}

std::vector<uint8_t> readFileEntry(Archive* archive, const char16_t* name) {
    Ref<InStream> s(archive->openFileByName(name));
    if (!s) return {};
    return test::readAll(s.get());
}

std::vector<std::u16string> fileNames(Archive* archive) {
    std::vector<std::u16string> names;
    for (int i = 0; i < archive->fileCount(); ++i) names.emplace_back(archive->fileName(i));
    return names;
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Runs a python script given as text with the arguments given.
void python(const test::TempDir& dir, const std::string& script, const std::string& args) {
    test::writeFile(dir / "make.py", script);
    ASSERT_EQ(test::run("python3 '" + (dir / "make.py").string() + "' " + args), 0);
}

// Writes through a pipe-like file so that zipfile cannot seek back and uses
// data descriptors (flag bit 3), as streaming writers do.
const char* kUnseekable = R"(
import io, sys, zipfile
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
)";

// ---- archives made by real writers ------------------------------------------

struct InputTree {
    std::map<std::string, std::vector<uint8_t>> files = {
        {"empty.txt", {}},
        {"one.bin", {0x42}},
        {"text.txt", test::sampleData(100000, 11)},
        {"dir/sub/deep.dat", test::sampleData(40000, 12)},
        {"dir/note.txt", test::sampleData(333, 13)},
    };
    void write(const path& root) const {
        for (const auto& [name, data] : files) test::writeFile(root / name, data.data(), data.size());
    }
};

// Checks every input file against the archive, through folders, by content,
// size and stored CRC.
void expectTree(Archive* root, const InputTree& tree) {
    for (const auto& [name, data] : tree.files) {
        Ref<Archive> level = Ref<Archive>::share(root);
        std::string rest = name;
        for (size_t slash; (slash = rest.find('/')) != std::string::npos; rest = rest.substr(slash + 1)) {
            level = Ref<Archive>(level->openFolderByName(u16(rest.substr(0, slash)).c_str()));
            ASSERT_TRUE(level) << name;
        }
        int i = level->findFile(u16(rest).c_str());
        ASSERT_GE(i, 0) << name;
        EXPECT_EQ(level->fileSize(i), static_cast<int64_t>(data.size())) << name;
        EXPECT_EQ(level->fileChecks(i).crc, crc32Update(0, data.data(), data.size())) << name;
        Ref<InStream> s(level->openFile(i));
        ASSERT_TRUE(s) << name;
        EXPECT_EQ(test::readAll(s.get()), data) << name;
    }
}

TEST(ZipWriters, StoredAndDeflatedBy7zz) {
    REQUIRE_TOOL("7zz");
    test::TempDir dir;
    InputTree tree;
    tree.write(dir / "in");
    for (const char* options : {"-mx0", "-mx1", "-mx9"}) {
        path zip = dir / (std::string("t") + options + ".zip");
        ASSERT_EQ(test::run("cd '" + (dir / "in").string() + "' && 7zz a -bso0 -bsp0 -tzip " + options + " '" +
                            zip.string() + "' . >/dev/null"),
                  0);
        Ref<Archive> a = openArchive(zip);
        ASSERT_TRUE(a) << options;
        EXPECT_EQ(a->fileCount(), 3);
        EXPECT_EQ(a->folderCount(), 1);
        expectTree(a.get(), tree);
    }
}

TEST(ZipWriters, DataDescriptorsSwitchToTheCentralDirectory) {
    test::TempDir dir;
    std::string script = std::string(kUnseekable) + R"(
with open(sys.argv[1], "wb") as f:
    z = zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED)
    z.writestr("b/second.txt", b"second " * 3000)
    z.writestr(zipfile.ZipInfo("a/first.txt"), b"first")
    z.writestr("c.txt", b"")
    z.comment = b"streamed, with a comment"
    z.close()
)";
    python(dir, script, "'" + (dir / "d.zip").string() + "'");
    Ref<Archive> a = openArchive(dir / "d.zip");
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), std::vector<std::u16string>{u"c.txt"});
    Ref<Archive> b(a->openFolderByName(u"b"));
    ASSERT_TRUE(b);
    std::string second;
    for (int i = 0; i < 3000; ++i) second += "second ";
    std::vector<uint8_t> got = readFileEntry(b.get(), u"second.txt");
    EXPECT_EQ(std::string(got.begin(), got.end()), second);
    // The local header of a descriptor entry has a zero CRC; the directory's counts.
    EXPECT_EQ(b->fileChecks(0).crc, crc32Update(0, second.data(), second.size()));
    Ref<Archive> first(a->openFolderByName(u"a"));
    ASSERT_TRUE(first);
    got = readFileEntry(first.get(), u"first.txt");
    EXPECT_EQ(std::string(got.begin(), got.end()), "first");
}

// A stored zip as the last entry of a streamed zip with a comment: the inner
// archive's end record lies in the outer one's tail, before the real one.
TEST(ZipWriters, EndRecordOfAStoredInnerZipIsNotTakenForTheOuterOne) {
    test::TempDir dir;
    std::string script = std::string(kUnseekable) + R"(
inner = io.BytesIO()
with zipfile.ZipFile(inner, "w") as z:
    z.writestr("inner.txt", b"inside")
    z.comment = b"inner comment"
with open(sys.argv[1], "wb") as f:
    z = zipfile.ZipFile(Unseekable(f), "w")
    z.writestr("top.txt", b"top")
    z.writestr("nested.zip", inner.getvalue())
    z.comment = b"outer comment"
    z.close()
)";
    python(dir, script, "'" + (dir / "outer.zip").string() + "'");
    Ref<Archive> a = openArchive(dir / "outer.zip");
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), std::vector<std::u16string>{u"top.txt"});
    ASSERT_EQ(a->nestedCount(), 1);
    Ref<InStream> s(openStreamPath((test::enginePath(dir / "outer.zip") + u"\\nested.zip\\inner.txt").c_str()));
    ASSERT_TRUE(s);
    std::vector<uint8_t> got = test::readAll(s.get());
    EXPECT_EQ(std::string(got.begin(), got.end()), "inside");
}

TEST(ZipWriters, Zip64WithMoreThan65535Entries) {
    test::TempDir dir;
    std::string script = std::string(kUnseekable) + R"(
def fill(z):
    for i in range(70000):
        z.writestr(zipfile.ZipInfo("d/f%05d" % i), b"%d" % i)
with zipfile.ZipFile(sys.argv[1], "w") as z:
    fill(z)
with open(sys.argv[2], "wb") as f:
    z = zipfile.ZipFile(Unseekable(f), "w")
    fill(z)
    z.close()
)";
    python(dir, script, "'" + (dir / "seq.zip").string() + "' '" + (dir / "dd.zip").string() + "'");
    for (const char* name : {"seq.zip", "dd.zip"}) {
        Ref<Archive> a = openArchive(dir / name);
        ASSERT_TRUE(a) << name;
        Ref<Archive> d(a->openFolderByName(u"d"));
        ASSERT_TRUE(d) << name;
        EXPECT_EQ(d->fileCount(), 70000) << name;
        std::vector<uint8_t> got = readFileEntry(d.get(), u"f69999");
        EXPECT_EQ(std::string(got.begin(), got.end()), "69999") << name;
    }
}

TEST(ZipWriters, Zip64ExtraFieldsInLocalHeaders) {
    test::TempDir dir;
    python(dir, R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name in ("a.txt", "b.txt"):
        with z.open(name, "w", force_zip64=True) as e:
            e.write(name.encode() * 5000)
)",
           "'" + (dir / "z.zip").string() + "'");
    std::vector<uint8_t> bytes = test::readFile(dir / "z.zip");
    ASSERT_EQ(test::le32At(bytes, 18), 0xFFFFFFFFu);  // the sizes live in the extra field
    Ref<Archive> a = openArchive(dir / "z.zip");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->fileCount(), 2);
    EXPECT_EQ(a->fileSize(1), 25000);
    std::vector<uint8_t> got = readFileEntry(a.get(), u"b.txt");
    EXPECT_EQ(got.size(), 25000u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 5), "b.txt");
}

// The DOS read-only bit of the external attributes, from any host; the Unix
// mode only from a Unix host. Written seekable and streamed alike.
TEST(ZipWriters, ReadOnlyAttributeAndUnixMode) {
    test::TempDir dir;
    python(dir, std::string(kUnseekable) + R"(
entries = [("dos-ro.txt", 0, 0x01), ("dos-rw.txt", 0, 0x20), ("ntfs-ro.txt", 11, 0x21),
           ("unix-ro.txt", 3, (0o100444 << 16) | 0x01), ("unix-rw.txt", 3, 0o100644 << 16)]
def fill(z):
    for name, host, attributes in entries:
        info = zipfile.ZipInfo(name)
        info.create_system, info.external_attr = host, attributes
        z.writestr(info, name)
with zipfile.ZipFile(sys.argv[1], "w") as z: fill(z)
with open(sys.argv[2], "wb") as f:
    z = zipfile.ZipFile(Unseekable(f), "w")
    fill(z)
    z.close()
)",
           "'" + (dir / "seek.zip").string() + "' '" + (dir / "stream.zip").string() + "'");
    struct Case {
        const char* name;
        bool readOnly;
        std::optional<uint32_t> mode;
    };
    const Case cases[] = {{"dos-ro.txt", true, std::nullopt},
                          {"dos-rw.txt", false, std::nullopt},
                          {"ntfs-ro.txt", true, std::nullopt},
                          {"unix-ro.txt", true, 0444},
                          {"unix-rw.txt", false, 0644}};
    for (const char* zip : {"seek.zip", "stream.zip"}) {
        Ref<Archive> a = openArchive(dir / zip);
        ASSERT_TRUE(a) << zip;
        for (const Case& c : cases) {
            const EntryMetadata& metadata = a->fileMetadata(a->findFile(u16(c.name).c_str()));
            EXPECT_EQ(metadata.readOnly, c.readOnly) << zip << " " << c.name;
            EXPECT_EQ(metadata.mode, c.mode) << zip << " " << c.name;
        }
    }
}

TEST(ZipWriters, Utf8NamesAndFoldersImpliedByPaths) {
    test::TempDir dir;
    python(dir, R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("\u00e9t\u00e9/\u65e5\u672c.txt", b"x")
    z.writestr("a/b/c/d.txt", b"deep")
)",
           "'" + (dir / "n.zip").string() + "'");
    Ref<Archive> a = openArchive(dir / "n.zip");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->fileCount(), 0);
    EXPECT_EQ(a->folderCount(), 2);
    Ref<Archive> summer(a->openFolderByName(u"\u00e9t\u00e9"));
    ASSERT_TRUE(summer);
    EXPECT_EQ(fileNames(summer.get()), std::vector<std::u16string>{u"\u65e5\u672c.txt"});
    Ref<InStream> deep(openStreamPath((test::enginePath(dir / "n.zip") + u"\\a\\b\\c\\d.txt").c_str()));
    ASSERT_TRUE(deep);
    EXPECT_EQ(deep->size(), 4);
}

TEST(ZipWriters, NestedZipsOpenByPath) {
    REQUIRE_TOOL("7zz");
    test::TempDir dir;
    test::writeFile(dir / "in" / "leaf.txt", "leaf data");
    std::string in = (dir / "in").string();
    ASSERT_EQ(test::run("cd '" + in + "' && 7zz a -bso0 -tzip -mx0 inner.zip leaf.txt >/dev/null && "
                        "7zz a -bso0 -tzip middle.zip inner.zip >/dev/null && "
                        "7zz a -bso0 -tzip outer.zip middle.zip >/dev/null"),
              0);
    std::u16string base = test::enginePath(dir / "in" / "outer.zip");
    Ref<Archive> inner(openArchivePath((base + u"\\middle.zip\\inner.zip").c_str()));
    ASSERT_TRUE(inner);
    std::vector<uint8_t> got = readFileEntry(inner.get(), u"leaf.txt");
    EXPECT_EQ(std::string(got.begin(), got.end()), "leaf data");
    Ref<Archive> outer = openArchive(dir / "in" / "outer.zip");
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->nestedCount(), 1);
    EXPECT_EQ(outer->fileCount(), 0);
}

// Without a password an encrypted entry is listed, marked, and fails as
// encrypted; the plain entry beside it reads.
TEST(ZipWriters, EncryptedEntriesNeedThePassword) {
    REQUIRE_TOOL("7zz");
    test::TempDir dir;
    test::writeFile(dir / "in" / "plain.txt", "plain");
    test::writeFile(dir / "in" / "secret.txt", "secret");
    std::string in = (dir / "in").string();
    ASSERT_EQ(test::run("cd '" + in + "' && 7zz a -bso0 -tzip ../plain.zip plain.txt >/dev/null && "
                        "7zz a -bso0 -tzip -pX ../plain.zip secret.txt >/dev/null && "
                        "7zz a -bso0 -tzip -pX -mem=AES256 ../plain.zip secret.txt >/dev/null"),
              0);
    Ref<Archive> a = openArchive(dir / "plain.zip");
    ASSERT_TRUE(a);
    std::vector<uint8_t> plain = readFileEntry(a.get(), u"plain.txt");
    EXPECT_EQ(std::string(plain.begin(), plain.end()), "plain");
    int secret = a->findFile(u"secret.txt");
    ASSERT_GE(secret, 0);
    EXPECT_TRUE(a->fileMetadata(secret).encrypted);
    EXPECT_FALSE(a->fileMetadata(a->findFile(u"plain.txt")).encrypted);
    Ref<InStream> s(a->openFile(secret));
    ASSERT_TRUE(s);
    EXPECT_TRUE(test::readAll(s.get()).empty());
    EXPECT_EQ(s->status().kind(), Status::kEncrypted);
}

TEST(ZipWriters, ModificationTimeIsTheDosTimeReadAsLocalTime) {
    REQUIRE_TOOL("7zz");
    test::TempDir dir;
    test::writeFile(dir / "in" / "t.txt", "t");
    std::string in = (dir / "in").string();
    ASSERT_EQ(test::run("touch -d '2021-07-04 13:45:26' '" + in + "/t.txt' && cd '" + in +
                        "' && 7zz a -bso0 -tzip ../t.zip t.txt >/dev/null"),
              0);
    std::vector<uint8_t> bytes = test::readFile(dir / "t.zip");
    uint16_t time = static_cast<uint16_t>(test::le32At(bytes, 10));
    uint16_t date = static_cast<uint16_t>(test::le32At(bytes, 12));
    Ref<Archive> a = openArchive(dir / "t.zip");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->fileTime(0), timeFromDos(date, time));
    // The writer may shift by its own idea of daylight saving, never more.
    EXPECT_LE(std::abs(a->fileTime(0) - timeFromParts(2021, 7, 4, 13, 45, 26)), 3600);
}

// An entry whose data ends before its size must show as short, never as a
// complete file: here the archive is cut inside the last entry's data.
TEST(ZipWriters, EntryCutShortReadsFewerBytesThanItsSize) {
    REQUIRE_TOOL("7zz");
    test::TempDir dir;
    std::vector<uint8_t> data = test::sampleData(200000, 21);
    test::writeFile(dir / "in" / "big.txt", data.data(), data.size());
    std::string in = (dir / "in").string();
    for (const char* options : {"-mx0", "-mx5"}) {
        ASSERT_EQ(test::run("rm -f '" + (dir / "c.zip").string() + "' && cd '" + in + "' && 7zz a -bso0 -tzip " +
                            options + " ../c.zip big.txt >/dev/null"),
                  0);
        std::vector<uint8_t> bytes = test::readFile(dir / "c.zip");
        bytes.resize(bytes.size() / 2);
        test::writeFile(dir / "cut.zip", bytes.data(), bytes.size());
        Ref<Archive> a = openArchive(dir / "cut.zip");
        ASSERT_TRUE(a) << options;
        ASSERT_EQ(a->fileCount(), 1) << options;
        EXPECT_EQ(a->fileSize(0), 200000) << options;
        Ref<InStream> s(a->openFile(0));
        ASSERT_TRUE(s) << options;
        std::vector<uint8_t> got = test::readAll(s.get());
        EXPECT_LT(got.size(), data.size()) << options;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << options;
    }
}

TEST(ZipWriters, MethodFourteenHandsTheLzmaCodecItsProperties) {
    REQUIRE_TOOL("7zz");
    if (!findCodec(u"lzma")) GTEST_SKIP() << "no lzma codec yet (ZipRecords covers the offsets)";
    test::TempDir dir;
    std::vector<uint8_t> data = test::sampleData(90000, 31);
    test::writeFile(dir / "in" / "l.txt", data.data(), data.size());
    ASSERT_EQ(test::run("cd '" + (dir / "in").string() + "' && 7zz a -bso0 -tzip -mm=LZMA ../l.zipx l.txt >/dev/null"),
              0);
    Ref<Archive> a = openArchive(dir / "l.zipx");
    ASSERT_TRUE(a);
    EXPECT_EQ(readFileEntry(a.get(), u"l.txt"), data);
}

// ---- records built byte by byte ---------------------------------------------

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(ZipRecords, ListedFromLocalHeadersWithoutACentralDirectory) {
    test::ZipBuilder z;
    z.local("a.txt", bytesOf("alpha"));
    z.local("dir/", {});
    z.local("dir/b.txt", bytesOf("beta"));
    Ref<Archive> a = openBytes(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), std::vector<std::u16string>{u"a.txt"});
    EXPECT_EQ(a->folderCount(), 1);
    EXPECT_EQ(a->folderTime(0), timeFromDos(test::ZipBuilder::kDate, test::ZipBuilder::kTime));
    Ref<Archive> d(a->openFolderByName(u"dir"));
    ASSERT_TRUE(d);
    EXPECT_EQ(readFileEntry(d.get(), u"b.txt"), bytesOf("beta"));
}

TEST(ZipRecords, UpToSixUnknownWordsArePassedOver) {
    for (int junk : {6, 7}) {
        test::ZipBuilder z;
        z.raw({'P', 'K', '0', '0'});  // spanning marker
        z.local("one", bytesOf("1"));
        for (int i = 0; i < junk; ++i) z.raw({'j', 'u', 'n', 'k'});
        z.local("two", bytesOf("2"));
        Ref<Archive> a = openBytes(z.bytes);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->fileCount(), junk == 6 ? 2 : 1) << junk;
    }
}

// When the scan stops before the central directory (junk that is not a
// whole number of words, data in front of the archive), the directory lists
// what the scan could not reach.
TEST(ZipRecords, CentralDirectoryListsWhatTheScanCannotReach) {
    test::ZipBuilder junk;
    junk.local("one", bytesOf("1"));
    junk.raw(bytesOf("-JUNK-"));
    junk.local("two", bytesOf("2"));
    junk.finish();
    Ref<Archive> a = openBytes(junk.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), (std::vector<std::u16string>{u"one", u"two"}));

    // A stub in front whose length the recorded offsets do not include.
    test::ZipBuilder body;
    body.local("x/inner.txt", bytesOf("inner"));
    body.local("outer.txt", bytesOf("outer"));
    body.finish({.comment = "after the stub"});
    std::vector<uint8_t> stubbed = bytesOf("PK but not a header: a stub of 41 bytes..");
    stubbed.insert(stubbed.end(), body.bytes.begin(), body.bytes.end());
    a = openBytes(stubbed);
    ASSERT_TRUE(a);
    EXPECT_EQ(readFileEntry(a.get(), u"outer.txt"), bytesOf("outer"));
    Ref<Archive> x(a->openFolderByName(u"x"));
    ASSERT_TRUE(x);
    EXPECT_EQ(readFileEntry(x.get(), u"inner.txt"), bytesOf("inner"));
}

// Names as written: UTF-8 when flagged or when valid UTF-8 beyond ASCII, else
// code page 437; the central directory's name wins over the local one,
// whether the archive is scanned from its start or found from its end.
TEST(ZipRecords, NamesAsWritten) {
    struct Case {
        const char* what;
        std::string local, central;
        uint16_t flags;
        bool stub;  // data in front: the directory leads
        std::u16string expected;
    } cases[] = {
        {"utf-8 without the flag", "caf\xC3\xA9", "", 0, false, u"caf\u00e9"},
        {"code page 437", "r\x82sum\x82", "", 0, false, u"r\u00e9sum\u00e9"},
        {"flagged but not utf-8", "a\xE5" "a", "", 0x800, false, u"a\u03C3a"},
        {"central name, scanned", "local.txt", "central.txt", 0, false, u"central.txt"},
        {"central name, from the end", "local.txt", "central.txt", 0, true, u"central.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ZipBuilder z;
        if (c.stub) z.raw(bytesOf("stub in front"));
        z.local(c.local, bytesOf("data"), {.flags = c.flags});
        if (!c.central.empty()) z.central[0].name = c.central;
        z.finish();
        Ref<Archive> a = openBytes(z.bytes);
        ASSERT_TRUE(a);
        EXPECT_EQ(fileNames(a.get()), std::vector<std::u16string>{c.expected});
    }
}

TEST(ZipRecords, UnknownMethodsAreListedAndFailWithTheirNumber) {
    test::ZipBuilder z;
    z.local("mp3/x.bin", bytesOf("xxxx"), {.method = 94});
    z.local("y.bin", bytesOf("yyyy"), {.method = 94});
    z.local("z.txt", bytesOf("z"));
    Ref<Archive> a = openBytes(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), (std::vector<std::u16string>{u"y.bin", u"z.txt"}));
    EXPECT_EQ(a->folderCount(), 1);
    EXPECT_FALSE(Ref<InStream>(a->openFileByName(u"y.bin")));
    EXPECT_EQ(describe(a->openFailure()), "method 94 is not supported");
}

// An encrypted entry, traditional or with the strong encryption flag, is
// listed beside the plain one, read from the headers or the directory.
TEST(ZipRecords, EncryptedEntryAnywhereIsListed) {
    for (bool descriptors : {false, true}) {
        for (uint16_t cipher : {0x1, 0x41}) {
            test::ZipBuilder z;
            uint16_t flags = descriptors ? 0x8 : 0;
            z.local("a", bytesOf("a"), {.flags = flags});
            z.local("b", bytesOf("0123456789abcdef"), {.flags = static_cast<uint16_t>(flags | cipher)});
            z.finish();
            Ref<Archive> a = openBytes(z.bytes);
            ASSERT_TRUE(a) << descriptors;
            EXPECT_EQ(readFileEntry(a.get(), u"a"), bytesOf("a"));
            EXPECT_TRUE(a->fileMetadata(a->findFile(u"b")).encrypted);
            Ref<InStream> b(a->openFileByName(u"b"));
            const Status& why = b ? b->status() : a->openFailure();
            EXPECT_EQ(describe(why),
                      cipher == 1 ? "encrypted; give a password with -p" : "encryption method not supported");
        }
    }
}

// Stored data is the entry: sizes that disagree never let a read run into the
// next record, and missing bytes show as a short read.
TEST(ZipRecords, StoredEntryWithSizesThatDisagree) {
    test::ZipBuilder z;
    z.local("long", bytesOf("0123456789"), {.size = 4});
    z.local("short", bytesOf("0123456789"), {.size = 20});
    Ref<Archive> a = openBytes(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(readFileEntry(a.get(), u"long"), bytesOf("0123"));
    std::vector<uint8_t> got = readFileEntry(a.get(), u"short");
    EXPECT_EQ(a->fileSize(a->findFile(u"short")), 20);
    EXPECT_EQ(got, bytesOf("0123456789"));
}

TEST(ZipRecords, DataRunningPastTheEndIsShortNotPadded) {
    test::ZipBuilder z;
    z.local("first", bytesOf("first"));
    z.local("cut", bytesOf("0123456789"));
    z.bytes.resize(z.bytes.size() - 4);
    Ref<Archive> a = openBytes(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->fileCount(), 2);
    EXPECT_EQ(readFileEntry(a.get(), u"cut"), bytesOf("012345"));
}

TEST(ZipRecords, SizesBeyondAnyPositionStopTheScan) {
    test::ZipBuilder z;
    z.local("ok", bytesOf("ok"));
    // zip64 sizes of 2^63 and more.
    std::vector<uint8_t> extra = test::ZipBuilder::zip64Extra({0x8000000000000000ull, 0xFFFFFFFFFFFFFFF0ull});
    z.local("huge", bytesOf("h"), {.packedSize = 0xFFFFFFFF, .size = 0xFFFFFFFF, .extra = extra});
    z.local("after", bytesOf("a"));
    Ref<Archive> a = openBytes(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), std::vector<std::u16string>{u"ok"});
}

// A local header's zip64 field holds both sizes, even when only one of the
// 32-bit fields is marked.
TEST(ZipRecords, LocalZip64FieldHoldsBothSizes) {
    test::ZipBuilder z;
    z.local("a", bytesOf("abcdef"), {.packedSize = 0xFFFFFFFF, .extra = test::ZipBuilder::zip64Extra({6, 6})});
    z.local("b", bytesOf("b"));
    Ref<Archive> a = openBytes(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(readFileEntry(a.get(), u"a"), bytesOf("abcdef"));
    EXPECT_EQ(readFileEntry(a.get(), u"b"), bytesOf("b"));
}

// In the central directory a zip64 field holds only the values marked
// 0xFFFFFFFF, in order: here only the header offset.
TEST(ZipRecords, CentralZip64FieldWithOnlySomeValues) {
    test::ZipBuilder z;
    z.local("a", bytesOf("aaaa"), {.flags = 0x8});
    z.local("b", bytesOf("bb"), {.flags = 0x8});
    z.finish({.zip64Offsets = true});
    Ref<Archive> a = openBytes(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(readFileEntry(a.get(), u"a"), bytesOf("aaaa"));
    EXPECT_EQ(readFileEntry(a.get(), u"b"), bytesOf("bb"));
}

TEST(ZipRecords, CentralDirectoryFoundBehindAComment) {
    for (bool zip64 : {false, true}) {
        test::ZipBuilder z;
        z.local("x/1", bytesOf("one"), {.flags = 0x8});
        z.local("2", bytesOf("two"), {.flags = 0x8});
        z.finish({.comment = "PK\x05\x06 looks like a record", .zip64End = zip64});
        Ref<Archive> a = openBytes(z.bytes);
        ASSERT_TRUE(a) << zip64;
        EXPECT_EQ(fileNames(a.get()), std::vector<std::u16string>{u"2"}) << zip64;
        EXPECT_EQ(a->folderCount(), 1) << zip64;
    }
}

// ---- data in front of the archive ---------------------------------------------

// A zip written after a stub: python records offsets from the file's start, as
// `zip -A` adjusts them; a stub put in front of a finished zip leaves them
// relative to the archive.
const char* kStubbed = R"(
import io, sys, zipfile
stub = sys.argv[2].encode().decode("unicode_escape").encode("latin-1") * 500
body = io.BytesIO()
with zipfile.ZipFile(body, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("dir/a.txt", b"alpha " * 1000)
    z.writestr("b.txt", b"beta")
with open(sys.argv[1] + ".relative", "wb") as f:
    f.write(stub + body.getvalue())
with open(sys.argv[1] + ".adjusted", "wb") as f:
    f.write(stub)
    with zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("dir/a.txt", b"alpha " * 1000)
        z.writestr("b.txt", b"beta")
)";

TEST(ZipDataInFront, StubsAndPaddingWithOffsetsOfEitherKind) {
    REQUIRE_TOOL("python3");
    test::TempDir dir;
    // A stub with a "PK" word in it, and one that is nothing but zero bytes.
    for (const char* stub : {"MZ stub PK\x03\x04 ", "\x00"}) {
        python(dir, kStubbed, "'" + (dir / "s").string() + "' \"" + stub + "\"");
        for (const char* kind : {"relative", "adjusted"}) {
            SCOPED_TRACE(std::string(stub) + " " + kind);
            Ref<Archive> a = openArchive(dir / (std::string("s.") + kind));
            ASSERT_TRUE(a);
            EXPECT_EQ(readFileEntry(a.get(), u"b.txt"), bytesOf("beta"));
            Ref<Archive> sub(a->openFolderByName(u"dir"));
            ASSERT_TRUE(sub);
            EXPECT_EQ(readFileEntry(sub.get(), u"a.txt").size(), 6000u);
        }
    }
}

// A stub that is a zip of its own: the archive is the one whose end record
// ends the file, not the one the file starts with.
TEST(ZipDataInFront, StubThatIsAnotherZip) {
    REQUIRE_TOOL("python3");
    test::TempDir dir;
    python(dir, R"(
import io, sys, zipfile
def archive(names):
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w") as z:
        for n in names: z.writestr(n, n.encode() * 3)
    return b.getvalue()
with open(sys.argv[1], "wb") as f:
    f.write(archive(["stub.exe", "stub.cfg"]) + archive(["real.txt"]))
)", "'" + (dir / "two.zip").string() + "'");
    Ref<Archive> a = openArchive(dir / "two.zip");
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), std::vector<std::u16string>{u"real.txt"});
    EXPECT_EQ(readFileEntry(a.get(), u"real.txt"), bytesOf("real.txtreal.txtreal.txt"));
}

// End records that place the directory before the file's start or beyond
// its end: nothing is read from outside the file, and what the local headers
// show is still listed.
TEST(ZipDataInFront, EndRecordsPointingOutsideTheFile) {
    test::ZipBuilder z;
    z.local("a", bytesOf("aaaa"));
    z.local("b", bytesOf("bb"));
    z.finish({});
    size_t end = z.bytes.size() - 22;
    struct Lie {
        size_t field;
        uint32_t value;
    } lies[] = {{12, 0xFFFFFF00}, {12, static_cast<uint32_t>(end + 1)}, {16, 0xFFFFFFF0}, {16, static_cast<uint32_t>(end)}};
    for (const Lie& lie : lies) {
        auto bytes = z.bytes;
        for (int i = 0; i < 4; ++i) bytes[end + lie.field + i] = static_cast<uint8_t>(lie.value >> (8 * i));
        Ref<Archive> a = openBytes(bytes);
        ASSERT_TRUE(a) << lie.field << " " << lie.value;
        EXPECT_EQ(readFileEntry(a.get(), u"a"), bytesOf("aaaa"));
        EXPECT_EQ(readFileEntry(a.get(), u"b"), bytesOf("bb"));
    }
    // With a stub in front as well, a directory said to lie further in than
    // it does cannot be placed: nothing is listed, nothing crashes.
    std::vector<uint8_t> stubbed(100, 0);
    stubbed.insert(stubbed.end(), z.bytes.begin(), z.bytes.end());
    uint32_t directory = static_cast<uint32_t>(z.bytes[end + 16] | z.bytes[end + 17] << 8) + 300;
    for (int i = 0; i < 4; ++i) stubbed[100 + end + 16 + i] = static_cast<uint8_t>(directory >> (8 * i));
    Ref<Archive> a = openBytes(stubbed);
    if (a) EXPECT_EQ(a->fileCount(), 0);
}

// ---- names from the Unicode path field -------------------------------------------

TEST(ZipNames, UnicodePathFieldWhenItsChecksumMatchesTheHeaderName) {
    REQUIRE_TOOL("python3");
    test::TempDir dir;
    python(dir, R"(
import struct, sys, zipfile, zlib
def field(header_name, unicode_name, crc=None):
    crc = zlib.crc32(header_name) if crc is None else crc
    data = b"\x01" + struct.pack("<I", crc) + unicode_name.encode()
    return struct.pack("<HH", 0x7075, len(data)) + data
def entry(z, header_name, extra, content):
    info = zipfile.ZipInfo(header_name.decode("cp437"))
    info.extra = extra
    z.writestr(info, content)
with zipfile.ZipFile(sys.argv[1], "w") as z:
    entry(z, b"caf? 1.txt", field(b"caf? 1.txt", "caf\u00e9 1.txt"), b"one")
    entry(z, b"renamed.txt", field(b"old name.txt", "old name \u00e9.txt"), b"two")
    entry(z, b"d/x.txt", struct.pack("<HH", 0x5455, 5) + b"\x01\0\0\0\0" + field(b"d/x.txt", "d/\u00fc.txt"), b"three")
    entry(z, b"cut.txt", field(b"cut.txt", "never")[:-2], b"four")
)", "'" + (dir / "u.zip").string() + "'");
    Ref<Archive> a = openArchive(dir / "u.zip");
    ASSERT_TRUE(a);
    EXPECT_EQ(fileNames(a.get()), (std::vector<std::u16string>{u"caf\u00e9 1.txt", u"cut.txt", u"renamed.txt"}));
    EXPECT_EQ(readFileEntry(a.get(), u"caf\u00e9 1.txt"), bytesOf("one"));
    Ref<Archive> d(a->openFolderByName(u"d"));
    ASSERT_TRUE(d);
    EXPECT_EQ(fileNames(d.get()), std::vector<std::u16string>{u"\u00fc.txt"});
}

// ---- the corpus ---------------------------------------------------------------

struct ManifestRow {
    std::string archive, kind, path, size, sha256, method;
};

std::vector<ManifestRow> zipRows(const path& corpus) {
    std::ifstream in(corpus / "MANIFEST.tsv");
    std::vector<ManifestRow> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string field; std::getline(ss, field, '\t');) f.push_back(field);
        f.resize(8);
        if (f[0].rfind("zip/", 0) == 0) rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
    }
    return rows;
}

// The codec that a manifest method such as "zipx lzma (14)" needs.
const char16_t* codecForMethod(const std::string& method) {
    static const std::map<int, const char16_t*> codecs = {
        {0, u"store"}, {8, u"deflate"}, {9, u"deflate64"}, {12, u"bzip2"}, {14, u"lzma"},
        {93, u"zstd"}, {95, u"xz"},   {96, u"zip-jpeg"}, {97, u"wavpack"}, {98, u"ppmd-i"}};
    size_t open = method.find('(');
    if (open == std::string::npos) return nullptr;
    auto it = codecs.find(std::atoi(method.c_str() + open + 1));
    return it == codecs.end() ? nullptr : it->second;
}

std::u16string entryPath(const path& archive, const std::string& inside) {
    std::optional<std::u16string> wide = utf8ToWide(inside);
    std::u16string p = test::enginePath(archive) + u"\\" + wide.value_or(u"");
    for (char16_t& c : p)
        if (c == u'/') c = u'\\';
    return p;
}

// (size, SHA-256) of every file in the archive, folders and nested archives'
// streams included.
void collectContents(Archive* archive, std::set<std::pair<int64_t, std::string>>& out) {
    for (int i = 0; i < archive->fileCount(); ++i) {
        Ref<InStream> s(archive->openFile(i));
        if (s) out.insert({archive->fileSize(i), test::sha256Hex(test::readAll(s.get()))});
    }
    for (int i = 0; i < archive->nestedCount(); ++i) {
        Ref<InStream> s(archive->openNestedStream(i));
        if (s) out.insert({archive->nestedSize(i), test::sha256Hex(test::readAll(s.get()))});
    }
    for (int i = 0; i < archive->folderCount(); ++i) {
        Ref<Archive> folder(archive->openFolder(i));
        if (folder) collectContents(folder.get(), out);
    }
}

// ---- records that disagree ---------------------------------------------------

// What each variant of a small zip (made by python's zipfile, then edited)
// must give: whole, or damaged for the reason named, its entries still listed.
TEST(ZipChecks, DirectoryEndRecordAndLocalHeadersMustAgree) {
    REQUIRE_TOOL("python3");
    test::TempDir dir;
    python(dir, R"(
import io, os, struct, zipfile
os.chdir(os.path.dirname(os.path.abspath(__file__)))

class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)

def base(stream=False):
    out = io.BytesIO()
    with zipfile.ZipFile(Unseekable(out) if stream else out, 'w') as z:
        z.writestr('a.txt', b'alpha ' * 100, zipfile.ZIP_DEFLATED)
        z.writestr('b.txt', b'beta', zipfile.ZIP_STORED)
    return bytearray(out.getvalue())

def parts(b):
    end = b.rfind(b'PK\x05\x06')
    cd = struct.unpack_from('<I', b, end + 16)[0]
    n, e, c = struct.unpack_from('<HHH', b, cd + 28)
    return end, cd, cd + 46 + n + e + c

def edit(name, change):
    b = base()
    change(b, *parts(b))
    open(name + '.zip', 'wb').write(b)

def add(b, at, fmt, delta):
    struct.pack_into(fmt, b, at, struct.unpack_from(fmt, b, at)[0] + delta)

def zip64(locatorShift):
    b = base()
    end, cd, _ = parts(b)
    cdsize = end - cd
    record = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, 2, 2, cdsize, cd)
    locator = struct.pack('<IIQI', 0x07064b50, 0, end + locatorShift, 1)
    return b[:end] + record + locator + b[end:]

open('whole.zip', 'wb').write(base())
open('descriptors.zip', 'wb').write(base(stream=True))
open('zip64.zip', 'wb').write(zip64(0))
edit('method', lambda b, end, cd, cd2: struct.pack_into('<H', b, cd + 10, 0))
edit('crc', lambda b, end, cd, cd2: add(b, cd + 16, '<I', 1))
edit('packed', lambda b, end, cd, cd2: add(b, cd + 20, '<I', 1))
edit('size', lambda b, end, cd, cd2: add(b, cd + 24, '<I', 1))
edit('count-high', lambda b, end, cd, cd2: struct.pack_into('<HH', b, end + 8, 3, 3))
edit('count-low', lambda b, end, cd, cd2: struct.pack_into('<HH', b, end + 8, 1, 1))
edit('offset', lambda b, end, cd, cd2: add(b, end + 16, '<I', 1))
edit('disk', lambda b, end, cd, cd2: struct.pack_into('<H', b, end + 4, 1))
b = base(); end, cd, cd2 = parts(b)
struct.pack_into('<I', b, end + 12, cd2 - cd)
open('cut-directory.zip', 'wb').write(b[:cd2] + b[end:])
open('no-end.zip', 'wb').write(base()[:parts(base())[0]])
open('split-part.zip', 'wb').write(b'PK\x07\x08' + base()[:parts(base())[1]])
open('zip64-locator.zip', 'wb').write(zip64(1))
b = base(); struct.pack_into('<I', b, parts(b)[0] + 16, 0xFFFFFFFF)
open('zip64-missing.zip', 'wb').write(b)
)", "");
    struct Case {
        const char* file;
        const char* reason;  // null: whole
    } cases[] = {
        {"whole", nullptr},
        {"descriptors", nullptr},  // local CRC and sizes are zero behind a data descriptor
        {"zip64", nullptr},
        {"method", "disagree on the method of a.txt"},
        {"crc", "disagree on the CRC of a.txt"},
        {"packed", "disagree on the sizes of a.txt"},
        {"size", "disagree on the sizes of a.txt"},
        {"count-high", "cut short (2 of 3 entries)"},
        {"count-low", "more entries than the end record counts"},
        {"cut-directory", "cut short (1 of 2 entries)"},
        {"offset", "no central directory where the end record says"},
        {"no-end", "no end of central directory record"},
        {"disk", "multi-disk set"},
        {"split-part", "multi-disk set"},
        {"zip64-locator", "no zip64 end record where its locator says"},
        {"zip64-missing", "zip64 locator that is missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Ref<Archive> a = openArchive(dir / (std::string(c.file) + ".zip"));
        ASSERT_TRUE(a);
        EXPECT_EQ(fileNames(a.get()), (std::vector<std::u16string>{u"a.txt", u"b.txt"}));
        EXPECT_EQ(a->damaged(), c.reason != nullptr) << a->damageReason();
        if (c.reason) EXPECT_NE(a->damageReason().find(c.reason), std::string::npos) << a->damageReason();
    }
}


// Every entry must be there with its size and content. Names are matched
// first; a name that the archive stores in a code page other than the OEM
// one, or in an extra field the reader does not use, is matched by content.
// Archives with an encrypted entry are refused whole.
TEST(ZipCorpus, FilesListAndExtractAsTheManifestSays) {
    REQUIRE_CORPUS(corpus);
    std::vector<ManifestRow> rows = zipRows(corpus);
    std::set<std::string> refused;
    for (const ManifestRow& row : rows)
        if (row.kind == "refused") refused.insert(row.archive);
    std::map<std::string, std::set<std::pair<int64_t, std::string>>> contents;
    int byName = 0, byContent = 0;
    for (const ManifestRow& row : rows) {
        if (row.kind != "file" && row.kind != "symlink") continue;
        if (refused.count(row.archive)) continue;
        const char16_t* codec = codecForMethod(row.method);
        if (!codec || !findCodec(codec)) continue;
        int64_t size = std::stoll(row.size);
        // A file named "." or ".." is listed under the archive's own name.
        bool dotName = row.path == "." || row.path == "..";
        Ref<InStream> s(dotName ? nullptr : openStreamPath(entryPath(corpus / row.archive, row.path).c_str()));
        if (s) {
            EXPECT_EQ(s->size(), size) << row.archive << " " << row.path;
            EXPECT_EQ(test::sha256Hex(test::readAll(s.get())), row.sha256) << row.archive << " " << row.path;
            ++byName;
            continue;
        }
        // Entries that lie inside another entry's data (a quoted-overlap
        // bomb) are passed over with it.
        if (row.archive.find("overlap") != std::string::npos) continue;
        if (!contents.count(row.archive)) {
            Ref<Archive> a = openArchive(corpus / row.archive);
            ASSERT_TRUE(a) << row.archive;
            collectContents(a.get(), contents[row.archive]);
        }
        EXPECT_TRUE(contents[row.archive].count({size, row.sha256})) << row.archive << " " << row.path;
        ++byContent;
    }
    EXPECT_GT(byName, 120) << byContent;
    EXPECT_LT(byContent, 25) << byName;
}

TEST(ZipCorpus, EncryptedEntriesYieldNoDataWithoutPassword) {
    REQUIRE_CORPUS(corpus);
    for (const ManifestRow& row : zipRows(corpus)) {
        if (row.kind != "refused" || row.path.empty()) continue;
        Ref<Archive> a = openArchive(corpus / row.archive);
        ASSERT_TRUE(a) << row.archive;
        Ref<InStream> s(openStreamPath(entryPath(corpus / row.archive, row.path).c_str()));
        EXPECT_TRUE(!s || test::readAll(s.get()).empty()) << row.archive << " " << row.path;
    }
}

}  // namespace
}  // namespace zorvex
