// The tar reader against archives written by GNU tar (gnu, pax, ustar) and
// bsdtar, hand-made headers for huge sizes, and the corpus.
#include <cstdio>
#include <cstring>

#include "engine/format_registry.h"
#include "engine/stream.h"
#include "tests/archive_support.h"

namespace zorvex::test {
namespace {

// A tree with deep and long paths, links and sizes around block edges.
struct Tree {
    std::map<std::string, std::vector<uint8_t>> files;  // relative path -> content
    std::string longDir;
};

Tree makeTree(const fs::path& root, bool longLinks) {
    Tree tree;
    tree.longDir = "deep/" + std::string(60, 'd') + "/" + std::string(70, 'e');
    auto add = [&](const std::string& path, size_t size, uint32_t seed) {
        tree.files[path] = sampleData(size, seed);
        writeFile(root / path, tree.files[path].data(), size);
    };
    add("empty.txt", 0, 1);
    add("one.bin", 1, 2);
    add("block.bin", 512, 3);
    add("over.bin", 513, 4);
    add("a/b/c/d/e/f/g/h/nested.txt", 3000, 5);
    add(tree.longDir + "/" + std::string(90, 'n') + ".txt", 777, 6);  // well over 100 characters
    add("big.bin", 300000, 7);
    fs::create_directories(root / "emptydir");
    fs::create_symlink("../one.bin", root / "a/link-to-one");
    tree.files["a/link-to-one"] = tree.files["one.bin"];
    fs::create_hard_link(root / "big.bin", root / "hard.bin");
    tree.files["hard.bin"] = tree.files["big.bin"];
    if (longLinks) {
        std::string target = "../" + tree.longDir + "/" + std::string(90, 'n') + ".txt";
        fs::create_symlink(target, root / "deep/long-link");
        tree.files["deep/long-link"] = tree.files[tree.longDir + "/" + std::string(90, 'n') + ".txt"];
    }
    return tree;
}

// The stated sizes below `level` summed folder by folder, as the levels list them.
int64_t statedSizeWalked(Archive* level) {
    int64_t total = 0;
    for (int i = 0; i < level->fileCount(); ++i) total += level->statedFileSize(i);
    for (int i = 0; i < level->nestedCount(); ++i) total += level->statedNestedSize(i);
    for (int i = 0; i < level->folderCount(); ++i) {
        Ref<Archive> folder(level->openFolder(i));
        if (folder) total += statedSizeWalked(folder.get());
    }
    return total;
}

void expectTree(const fs::path& tar, const Tree& tree) {
    for (const auto& [path, content] : tree.files) {
        SCOPED_TRACE(path);
        std::optional<std::vector<uint8_t>> data = entryData(insidePath(tar, path));
        ASSERT_TRUE(data);
        EXPECT_TRUE(*data == content);
    }
    Ref<Archive> archive(openArchivePath(insidePath(tar).c_str()));
    ASSERT_TRUE(archive);
    std::map<std::string, int64_t> listed = listTree(archive.get());
    EXPECT_TRUE(listed.count("emptydir/"));
    int files = 0;
    for (const auto& [path, size] : listed) files += size >= 0;
    EXPECT_EQ(files, int(tree.files.size()));  // nothing extra, nothing lost
    // Summed from the folders' records without opening them, as the walk sums it.
    EXPECT_EQ(archive->statedSizeOfAll(), statedSizeWalked(archive.get()));
}

struct Writer {
    const char* name;
    const char* tool;
    const char* command;  // run in the tree's folder, writes ../out.tar
    bool longLinks;
};

TEST(Tar, ReadsWhatCommonWritersProduce) {
    const Writer writers[] = {
        {"gnu", "tar", "tar --format=gnu -cf ../out.tar .", true},
        {"pax", "tar", "tar --format=pax -cf ../out.tar .", true},
        {"ustar", "tar", "tar --format=ustar -cf ../out.tar .", false},
        {"bsdtar", "bsdtar", "bsdtar -cf ../out.tar .", true},
    };
    for (const Writer& writer : writers) {
        SCOPED_TRACE(writer.name);
        if (!haveTool(writer.tool)) continue;
        TempDir dir;
        Tree tree = makeTree(dir / "tree", writer.longLinks);
        ASSERT_EQ(run("cd '" + (dir / "tree").string() + "' && " + writer.command + " 2>/dev/null"), 0);
        expectTree(dir / "out.tar", tree);
    }
}

// One header with the given size field, then an end block.
std::vector<uint8_t> headerWithSize(const uint8_t sizeField[12], const char* mtime) {
    std::vector<uint8_t> tar(512 * 3, 0);
    std::strcpy(reinterpret_cast<char*>(tar.data()), "huge.img");
    std::memcpy(tar.data() + 124, sizeField, 12);
    std::memcpy(tar.data() + 136, mtime, 12);
    tar[156] = '0';
    std::memcpy(tar.data() + 257, "ustar", 6);
    std::memset(tar.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += tar[i];
    std::snprintf(reinterpret_cast<char*>(tar.data()) + 148, 8, "%06o", sum);
    return tar;
}

TEST(Tar, SizesAndTimesBeyond32Bits) {
    TempDir dir;
    const uint8_t octal5G[12] = {'5', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', 0};  // 5 GiB
    uint8_t base256[12] = {0x80};
    const uint64_t size20G = 20ull << 30;
    for (int i = 0; i < 8; ++i) base256[11 - i] = uint8_t(size20G >> (8 * i));
    const char year2100[12] = "36441453400";  // 4102444800 seconds

    struct Case {
        const uint8_t* field;
        int64_t size;
    } cases[] = {{octal5G, 5ll << 30}, {base256, int64_t(size20G)}};
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = headerWithSize(c.field, year2100);
        fs::path tar = dir / ("huge" + std::to_string(c.size) + ".tar");
        writeFile(tar, bytes.data(), bytes.size());
        Ref<Archive> archive(openArchivePath(insidePath(tar).c_str()));
        ASSERT_TRUE(archive);
        ASSERT_EQ(archive->fileCount(), 1);
        EXPECT_EQ(archive->fileSize(0), c.size);
        EXPECT_EQ(archive->fileTime(0), 4102444800);
    }
}

// Without a name that says tar, a stream is one only when its first header's
// checksum holds: summed over unsigned bytes, or signed ones as old writers did.
TEST(Tar, NamelessStreamIsATarOnlyWhenItsFirstChecksumHolds) {
    const uint8_t zeroSize[12] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', 0};
    struct Case {
        const char* what;
        uint8_t nameByte;
        bool signedSum;
        int error;
        bool isTar;
    } cases[] = {{"unsigned sum", 'h', false, 0, true},
                 {"signed sum over a high byte", 0xE9, true, 0, true},
                 {"unsigned sum over a high byte", 0xE9, false, 0, true},
                 {"sum off by one", 'h', false, 1, false},
                 {"signed sum off by one", 0xE9, true, -1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = headerWithSize(zeroSize, "00000000000");
        bytes[0] = c.nameByte;
        std::memset(bytes.data() + 148, ' ', 8);
        int sum = 0;
        for (int i = 0; i < 512; ++i) sum += c.signedSum ? static_cast<int8_t>(bytes[i]) : bytes[i];
        std::snprintf(reinterpret_cast<char*>(bytes.data() + 148), 8, "%06o", sum + c.error);
        Ref<InStream> stream(MemoryStream::create(u"noname", nullptr, 0, bytes.data(), bytes.size()));
        Ref<Archive> archive(detectAndOpen(u"noname", nullptr, stream.get()));
        EXPECT_EQ(bool(archive), c.isTar);
        EXPECT_EQ(startsWithArchive(stream.get()), c.isTar);
    }
}

TEST(Tar, SparseFilesExpandToTheirRealSize) {
    REQUIRE_TOOL("tar");
    TempDir dir;
    // 5 GiB with data at its start and end: the archive stays small.
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && printf head > holes.img && truncate -s 5G holes.img && "
                  "printf tail >> holes.img && tar --format=gnu --sparse -cf gnu.tar holes.img && "
                  "tar --format=pax --sparse -cf pax.tar holes.img"),
              0);
    const int64_t size = (int64_t(5) << 30) + 4;
    for (const char* name : {"gnu.tar", "pax.tar"}) {
        SCOPED_TRACE(name);
        Ref<Archive> archive(openArchivePath(insidePath(dir / name).c_str()));
        ASSERT_TRUE(archive);
        ASSERT_EQ(archive->fileCount(), 1);
        EXPECT_EQ(std::string(archive->fileName(0), archive->fileName(0) + 9), std::string("holes.img"));
        EXPECT_EQ(archive->fileSize(0), size);
        Ref<InStream> data(archive->openFile(0));
        ASSERT_TRUE(data);
        char buf[8] = {};
        ASSERT_EQ(data->read(buf, 8), 8);
        EXPECT_EQ(std::string(buf, 8), std::string("head\0\0\0\0", 8));
        ASSERT_TRUE(data->seek(size - 6));
        ASSERT_EQ(data->read(buf, 8), 6);
        EXPECT_EQ(std::string(buf, 6), std::string("\0\0tail", 6));
    }
}

// Sparse maps that do not fit the archive: the entry lists, but no command
// reads anything from it (a few bytes must not read as petabytes of zeros,
// nor the raw pieces pass for the file).
TEST(Tar, SparseMapsThatDoNotFitAreDamaged) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    // Each member: name, GNU.sparse.realsize, GNU.sparse.map, stored bytes.
    writeFile(dir / "make.py", R"(
import io, sys, tarfile
members = [("fits", 12, "0,5,12,0", 5), ("huge", 1 << 56, "0,5", 5), ("outside", 8, "0,5,6,5", 10),
           ("unordered", 20, "10,5,0,5,20,0", 10), ("short", 9, "0,5", 5), ("missing", 9000, "0,9000", 9000)]
out = io.BytesIO()
with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as t:
    for name, real, pieces, stored in members:
        info = tarfile.TarInfo(name)
        info.size = stored
        info.pax_headers = {"GNU.sparse.realsize": str(real), "GNU.sparse.map": pieces}
        t.addfile(info, io.BytesIO(b"x" * stored))
data = out.getvalue()
open(sys.argv[1], "wb").write(data[:data.rfind(b"x" * 9000) + 100])  # the last member's data cut short
)");
    std::string tar = "'" + (dir / "sparse.tar").string() + "'";
    ASSERT_EQ(run("python3 '" + (dir / "make.py").string() + "' " + tar), 0);
    Ref<Archive> archive(openArchivePath(insidePath(dir / "sparse.tar").c_str()));
    ASSERT_TRUE(archive);
    int fits = archive->findFile(u"fits");
    ASSERT_GE(fits, 0);
    EXPECT_EQ(archive->fileSize(fits), 12);
    Ref<InStream> data(archive->openFile(fits));
    ASSERT_TRUE(data);
    EXPECT_EQ(readAll(data.get()), std::vector<uint8_t>({'x', 'x', 'x', 'x', 'x', 0, 0, 0, 0, 0, 0, 0}));
    for (const char16_t* name : {u"huge", u"outside", u"unordered", u"short", u"missing"}) {
        int i = archive->findFile(name);
        ASSERT_GE(i, 0) << archive->fileCount();
        EXPECT_LT(archive->fileSize(i), 10000);
        EXPECT_EQ(archive->openFile(i), nullptr);
    }
    auto test = runOutput("'" + cliPath() + "' test " + tar + " 2>&1");
    EXPECT_NE(test.find("damaged after 6 entries: archive cut inside an entry's data"), std::string::npos) << test;
    EXPECT_NE(test.find("6 errors"), std::string::npos) << test;
}

// Python's tarfile writes names exactly as given.
void pythonTar(const fs::path& tar, const std::string& members) {
    std::string script =
        "import tarfile, io\n"
        "t = tarfile.open('" + tar.string() + "', 'w', format=tarfile.GNU_FORMAT)\n"
        "def add(name, data=b'', kind=tarfile.REGTYPE, link=''):\n"
        "    i = tarfile.TarInfo(name); i.size = len(data); i.type = kind; i.linkname = link\n"
        "    t.addfile(i, io.BytesIO(data))\n" + members + "t.close()\n";
    writeFile(tar.parent_path() / "make.py", script);
    ASSERT_EQ(run("python3 '" + (tar.parent_path() / "make.py").string() + "'"), 0);
}

TEST(Tar, NamesAreNormalisedAndLinksResolved) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    fs::path tar = dir / "names.tar";
    pythonTar(tar,
              "add('a//b', b'first')\n"
              "add('./a/b', b'second')\n"        // the same name: the later one supersedes
              "add('x/../c/d', b'dee')\n"
              "add('../../escape.txt', b'out')\n"
              "add('c/link', kind=tarfile.SYMTYPE, link='d')\n"
              "add('c/abs', kind=tarfile.SYMTYPE, link='/c/d')\n"
              "add('c/chain', kind=tarfile.SYMTYPE, link='link')\n"
              "add('c/dangling', kind=tarfile.SYMTYPE, link='nowhere')\n"
              "add('c/hard', kind=tarfile.LNKTYPE, link='c/d')\n"
              "add('c/hard-missing', kind=tarfile.LNKTYPE, link='c/none')\n");
    Ref<Archive> archive(openArchivePath(insidePath(tar).c_str()));
    ASSERT_TRUE(archive);
    std::map<std::string, int64_t> listed = listTree(archive.get());
    std::map<std::string, int64_t> expected = {{"a/", -1},      {"a/b", 6},      {"c/", -1},   {"c/d", 3},
                                               {"escape.txt", 3}, {"c/link", 3}, {"c/abs", 3}, {"c/chain", 3},
                                               {"c/hard", 3}, {"c/dangling", 0}, {"c/hard-missing", 0}};
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(fileText(*entryData(insidePath(tar, "a/b"))), "second");
    EXPECT_EQ(fileText(*entryData(insidePath(tar, "c/chain"))), "dee");
    // Links keep what they are: symbolic ones their target as stored, hard
    // ones the entry they repeat; one whose entry is missing has no data.
    Ref<Archive> c(openArchivePath(insidePath(tar, "c").c_str()));
    ASSERT_TRUE(c);
    const std::vector<std::tuple<std::u16string, LinkKind, std::u16string>> links = {
        {u"link", LinkKind::kSymbolic, u"d"},       {u"abs", LinkKind::kSymbolic, u"\\c\\d"},
        {u"dangling", LinkKind::kSymbolic, u"nowhere"}, {u"hard", LinkKind::kHard, u"c\\d"},
        {u"hard-missing", LinkKind::kHard, u"c\\none"}, {u"d", LinkKind::kNone, u""}};
    for (const auto& [name, kind, target] : links) {
        const EntryMetadata& metadata = c->fileMetadata(c->findFile(name.c_str()));
        EXPECT_EQ(metadata.link, kind);
        EXPECT_EQ(metadata.linkTarget, target);
        EXPECT_EQ(metadata.mode, std::optional<uint32_t>(0644));
    }
    EXPECT_FALSE(Ref<InStream>(c->openFileByName(u"hard-missing")));
}

// What GNU tar writes for incremental dumps (folders holding a list of their
// names) and for sparse files in each pax map format reads as the files on
// disk: every listed file byte for byte, every folder listed, nothing else.
TEST(Tar, IncrementalAndSparseArchivesReadAsTheFiles) {
    REQUIRE_TOOL("tar");
    TempDir dir;
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && mkdir -p src/sub src/quiet && echo aaa > src/a.txt && "
                  "echo bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb > src/sub/b.txt && echo q > src/quiet/q.txt && "
                  "tar --listed-incremental=snap -cf level0.tar src && echo new > src/sub/new.txt && "
                  "tar --listed-incremental=snap -cf level1.tar src && "
                  "truncate -s 3M holes.bin && "
                  "printf here | dd of=holes.bin bs=1 seek=100000 conv=notrunc status=none && "
                  "printf there | dd of=holes.bin bs=1 seek=2000000 conv=notrunc status=none && "
                  "printf end >> holes.bin && "
                  "for v in 0.0 0.1 1.0; do tar --format=pax --sparse --sparse-version=$v -cf sparse$v.tar "
                  "holes.bin || exit 1; done 2>/dev/null"),
              0);
    struct Case {
        const char* archive;
        std::vector<std::string> files, folders;
    } cases[] = {
        {"level0.tar", {"src/a.txt", "src/sub/b.txt", "src/quiet/q.txt"}, {"src/", "src/sub/", "src/quiet/"}},
        {"level1.tar", {"src/sub/new.txt"}, {"src/", "src/sub/", "src/quiet/"}},  // quiet/ unchanged: no file
        {"sparse0.0.tar", {"holes.bin"}, {}},
        {"sparse0.1.tar", {"holes.bin"}, {}},
        {"sparse1.0.tar", {"holes.bin"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        fs::path tar = dir / c.archive;
        Ref<Archive> archive(openArchivePath(insidePath(tar).c_str()));
        ASSERT_TRUE(archive);
        std::map<std::string, int64_t> expected;
        for (const std::string& folder : c.folders) expected[folder] = -1;
        for (const std::string& file : c.files) {
            std::vector<uint8_t> content = readFile(dir / file);
            expected[file] = int64_t(content.size());
            std::optional<std::vector<uint8_t>> data = entryData(insidePath(tar, file));
            ASSERT_TRUE(data) << file;
            EXPECT_TRUE(*data == content) << file;
        }
        EXPECT_EQ(listTree(archive.get()), expected);
    }
}

// Names that are no path of their own: raw pax bytes (hdrcharset=BINARY) are
// converted as other raw names, and a file named ".." or "." keeps its data
// under the archive's stem, as a nameless file does. Types: an unknown one is
// a regular file, a volume label none; 'X' records are pax records.
TEST(Tar, OddNamesKeepTheirData) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    fs::path tar = dir / "odd.tar";
    writeFile(dir / "make.py",
              "import tarfile, io\n"
              "t = tarfile.open('odd.tar', 'w', format=tarfile.PAX_FORMAT, errors='surrogateescape')\n"
              "def add(name, data, kind=tarfile.REGTYPE):\n"
              "    i = tarfile.TarInfo(name); i.size = len(data); i.type = kind; t.addfile(i, io.BytesIO(data))\n"
              "add(b'caf\\xe9.txt'.decode('utf-8', 'surrogateescape'), b'latin')\n"
              "add('..', b'dots')\n"
              "add('vendor.bin', b'vendor', b'Q')\n"
              "add('label', b'', b'V')\n"
              "x = tarfile.TarInfo._create_pax_generic_header({'path': 'solaris.txt'}, b'X', 'utf-8')\n"
              "t.fileobj.write(x); t.offset += len(x)\n"
              "add('short', b'sun')\n"
              "t.close()\n"
              "assert b'hdrcharset=BINARY' in open('odd.tar', 'rb').read()\n");
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && python3 make.py"), 0);
    Ref<Archive> archive(openArchivePath(insidePath(tar).c_str()));
    ASSERT_TRUE(archive);
    std::map<std::string, int64_t> expected = {
        {"caf\xC3\xA9.txt", 5}, {"odd", 4}, {"vendor.bin", 6}, {"solaris.txt", 3}};
    EXPECT_EQ(listTree(archive.get()), expected);
    EXPECT_EQ(fileText(*entryData(insidePath(tar, "caf\xC3\xA9.txt"))), "latin");
    EXPECT_EQ(fileText(*entryData(insidePath(tar, "odd"))), "dots");
}

TEST(Tar, DamagedHeadersEndTheListing) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    fs::path good = dir / "good.tar";
    pythonTar(good, "add('one', b'1' * 700)\nadd('two', b'2' * 10)\n");
    std::vector<uint8_t> bytes = readFile(good);

    // Cut inside the second header: the first file stays.
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 1536 + 100);
    writeFile(dir / "cut.tar", cut.data(), cut.size());
    Ref<Archive> a(openArchivePath(insidePath(dir / "cut.tar").c_str()));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->fileCount(), 1);

    // Garbage in a size field of the second header, and a size of 2^63-1 in base-256.
    std::vector<uint8_t> bad = bytes;
    std::memcpy(bad.data() + 1536 + 124, "zzzzzzzzzzz", 11);
    writeFile(dir / "bad.tar", bad.data(), bad.size());
    Ref<Archive> b(openArchivePath(insidePath(dir / "bad.tar").c_str()));
    ASSERT_TRUE(b);
    EXPECT_LE(b->fileCount(), 2);
    std::memset(bad.data() + 1536 + 124, 0xFF, 12);
    bad[1536 + 124] = 0x80;
    writeFile(dir / "huge.tar", bad.data(), bad.size());
    Ref<Archive> c(openArchivePath(insidePath(dir / "huge.tar").c_str()));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->fileCount(), 1);
}

// Rewrites the checksum of the header at `at`, so that only the damage a
// case means is left.
void fixChecksum(std::vector<uint8_t>& tar, size_t at) {
    std::memset(tar.data() + at + 148, ' ', 8);
    unsigned sum = 0;
    for (size_t i = at; i < at + 512; ++i) sum += tar[i];
    std::snprintf(reinterpret_cast<char*>(tar.data()) + at + 148, 8, "%06o", sum);
}

// A tar that stops early, or holds a header that fails its checks, marks the
// archive damaged and keeps the entries before the damage; padding after the
// end blocks and missing end blocks after a whole block do not.
TEST(Tar, DamageMarksTheArchive) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    fs::path good = dir / "good.tar";
    pythonTar(good, "add('one', b'1' * 700)\nadd('two', b'2' * 10)\n");
    const std::vector<uint8_t> bytes = readFile(good);  // headers at 0 and 1536, end blocks from 2560
    fs::path pax = dir / "pax.tar";
    writeFile(dir / "pax.py", "import tarfile, io\n"
                              "t = tarfile.open('" + pax.string() + "', 'w', format=tarfile.PAX_FORMAT)\n"
                              "i = tarfile.TarInfo('p'); i.size = 3; i.pax_headers = {'comment': 'hello'}\n"
                              "t.addfile(i, io.BytesIO(b'abc'))\nt.close()\n");
    ASSERT_EQ(run("python3 '" + (dir / "pax.py").string() + "'"), 0);
    const std::vector<uint8_t> paxBytes = readFile(pax);  // pax header, its records at 512, then the file's header

    auto edited = [](std::vector<uint8_t> tar, auto edit) {
        edit(tar);
        return tar;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> tar;
        int files;
        const char* reason;  // null: whole
    } cases[] = {
        {"whole", bytes, 2, nullptr},
        {"junk after the end blocks", edited(bytes, [](auto& t) { t.resize(t.size() + 512, 'j'); }), 2, nullptr},
        {"no end blocks", edited(bytes, [](auto& t) { t.resize(2560); }), 2, nullptr},
        {"first checksum fails", edited(bytes, [](auto& t) { t[3] ^= 1; }), 0, "header checksum mismatch"},
        {"second checksum fails", edited(bytes, [](auto& t) { t[1536 + 1] ^= 1; }), 1, "header checksum mismatch"},
        {"cut inside a header", edited(bytes, [](auto& t) { t.resize(1536 + 100); }), 1, "cut inside a header"},
        {"cut inside the data", edited(bytes, [](auto& t) { t.resize(1000); }), 1, "cut inside an entry's data"},
        {"cut inside the padding", edited(bytes, [](auto& t) { t.resize(2100); }), 2, "cut after an entry's data"},
        {"negative size", edited(bytes,
                                 [](auto& t) {
                                     std::memset(t.data() + 1536 + 124, 0xFF, 12);
                                     fixChecksum(t, 1536);
                                 }),
         1, "invalid size"},
        {"pax record without its length", edited(paxBytes, [](auto& t) { t[512] = 'x'; }), 0,
         "record does not parse"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path tar = dir / "case.tar";
        writeFile(tar, c.tar.data(), c.tar.size());
        Ref<Archive> archive(openArchivePath(insidePath(tar).c_str()));
        ASSERT_TRUE(archive);
        EXPECT_EQ(archive->fileCount(), c.files);
        EXPECT_EQ(archive->damaged(), c.reason != nullptr) << archive->damageReason();
        if (c.reason) EXPECT_NE(archive->damageReason().find(c.reason), std::string::npos) << archive->damageReason();
    }
}

TEST(Tar, PaxRecordsAndLongNamesBoundedAndApplied) {
    REQUIRE_TOOL("python3");
    TempDir dir;
    fs::path tar = dir / "pax.tar";
    std::string script =
        "import tarfile, io\n"
        "t = tarfile.open('" + tar.string() + "', 'w', format=tarfile.PAX_FORMAT)\n"
        "i = tarfile.TarInfo('p' * 150 + '/file'); data = b'x' * 99; i.size = len(data)\n"
        "i.pax_headers = {'comment': 'y' * 3000, 'mtime': '1700000000.25'}\n"
        "t.addfile(i, io.BytesIO(data))\n"
        "t.close()\n";
    writeFile(dir / "make.py", script);
    ASSERT_EQ(run("python3 '" + (dir / "make.py").string() + "'"), 0);
    std::optional<std::vector<uint8_t>> data = entryData(insidePath(tar, std::string(150, 'p') + "/file"));
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 99u);
    Ref<Archive> folder(openArchivePath(insidePath(tar, std::string(150, 'p')).c_str()));
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->fileTime(0), 1700000000);

    // A pax header whose record lengths lie must not be trusted or loop.
    std::vector<uint8_t> bytes = readFile(tar);
    for (size_t i = 512; i + 4 < 1024; ++i)
        if (bytes[i] >= '0' && bytes[i] <= '9') bytes[i] = '9';
    writeFile(dir / "lying.tar", bytes.data(), bytes.size());
    Ref<Archive> lying(openArchivePath(insidePath(dir / "lying.tar").c_str()));
    EXPECT_TRUE(lying);
}

TEST(Tar, Corpus) {
    REQUIRE_CORPUS(corpus);
    // A volume label is not a file.
    checkCorpusFolder(corpus, "tar", {"tar/test_read_format_tar_empty_with_gnulabel.tar:label"});
}

}  // namespace
}  // namespace zorvex::test
