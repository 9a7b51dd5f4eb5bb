// The archive model: folder split, views, safe entry paths, extraction order
// and the scale of large listings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/format_registry.h"
#include "engine/names.h"
#include "engine/stream.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

Codec* store() { return findCodec(u"store"); }

std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// An empty archive over 64 KiB of numbered bytes: entries are windows of it.
struct Fixture {
    Ref<Archive> archive;
    Fixture() {
        std::vector<uint8_t> bytes(65536);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
        Ref<MemoryStream> stream(MemoryStream::create(u"mem", nullptr, 0, bytes.data(), bytes.size()));
        archive = Ref<Archive>(newArchive(u"\\t\\a.arc", nullptr, stream.get()));
    }
    bool add(std::u16string_view path, int64_t offset = 0, int64_t size = 4, int64_t time = 0) {
        return addEntry(archive.get(), store(), path, offset, size, size, time);
    }
};

std::vector<std::u16string> fileNames(Archive* a) {
    std::vector<std::u16string> out;
    for (int i = 0; i < a->fileCount(); ++i) out.push_back(a->fileName(i));
    return out;
}

std::vector<std::u16string> folderNames(Archive* a) {
    std::vector<std::u16string> out;
    for (int i = 0; i < a->folderCount(); ++i) out.push_back(a->folderName(i));
    return out;
}

// Every name of the tree below `a`, depth first, as "folder\\name".
void collect(Archive* a, const std::u16string& prefix, std::vector<std::u16string>& out) {
    for (const auto& f : fileNames(a)) out.push_back(prefix + f);
    for (int i = 0; i < a->folderCount(); ++i) {
        Ref<Archive> sub(a->openFolder(i));
        ASSERT_TRUE(sub);
        out.push_back(prefix + a->folderName(i) + u"\\");
        collect(sub.get(), prefix + a->folderName(i) + u"\\", out);
    }
}

TEST(ArchiveModel, SeparatorsOfBothKindsMakeOneFolderAndCaseMakesDuplicates) {
    Fixture f;
    EXPECT_TRUE(f.add(u"a/b.txt", 0));
    EXPECT_TRUE(f.add(u"a\\b.txt", 10));
    EXPECT_TRUE(f.add(u"A\\B.TXT", 20));
    EXPECT_EQ(f.archive->folderCount(), 1);
    EXPECT_EQ(f.archive->fileCount(), 0);
    Ref<Archive> a(f.archive->openFolderByName(u"A"));
    ASSERT_TRUE(a);
    EXPECT_EQ(std::u16string(a->name()), std::u16string(u"\\t\\a.arc\\a"));
    ASSERT_EQ(a->fileCount(), 1);
    // The first of the duplicates is kept.
    Ref<InStream> s(a->openFile(0));
    ASSERT_TRUE(s);
    uint8_t b;
    ASSERT_EQ(s->read(&b, 1), 1);
    EXPECT_EQ(b, 0);

    EXPECT_TRUE(f.add(u"x.txt"));
    EXPECT_FALSE(f.add(u"X.TXT"));  // a duplicate at the level the reader adds to
    EXPECT_EQ(f.archive->fileCount(), 1);

    // A folder met again after another one is still the same folder.
    EXPECT_TRUE(f.add(u"b\\c.txt"));
    EXPECT_TRUE(f.add(u"a\\d.txt"));
    EXPECT_TRUE(f.add(u"B\\e.txt"));
    EXPECT_EQ(folderNames(f.archive.get()), (std::vector<std::u16string>{u"a", u"b"}));
    Ref<Archive> folderB(f.archive->openFolderByName(u"b"));
    ASSERT_TRUE(folderB);
    EXPECT_EQ(fileNames(folderB.get()), (std::vector<std::u16string>{u"c.txt", u"e.txt"}));
}

TEST(ArchiveModel, FolderTimesComeFromTheFolderEntries) {
    Fixture f;
    f.add(u"dir\\", 0, 0, 1000);
    f.add(u"later\\x", 0, 4, 5);  // a file inside does not date its folder
    f.add(u"later\\", 0, 0, 2000);
    f.add(u"dated\\", 0, 0, 3000);
    f.add(u"dated\\", 0, 0, 4000);  // the first time stays
    EXPECT_EQ(f.archive->folderTime(f.archive->findFolder(u"dir")), 1000);
    EXPECT_EQ(f.archive->folderTime(f.archive->findFolder(u"later")), 2000);
    EXPECT_EQ(f.archive->folderTime(f.archive->findFolder(u"dated")), 3000);
    EXPECT_EQ(f.archive->folderTime(99), 0);
}

TEST(ArchiveModel, ViewsUseNaturalOrderAndSeparateNestedArchives) {
    static const char16_t* const ext[] = {u".tsn"};
    FunctionFormat nested(u"test-nested", ext, 1, nullptr, 0, newArchive);
    Fixture f;
    for (auto n : {u"file10", u"file2", u"File1", u"b.tsn", u"a.TSN", u".tsn", u"file02"}) f.add(n);
    EXPECT_EQ(fileNames(f.archive.get()),
              (std::vector<std::u16string>{u".tsn", u"File1", u"file02", u"file2", u"file10"}));
    ASSERT_EQ(f.archive->nestedCount(), 2);
    EXPECT_EQ(std::u16string(f.archive->nestedName(0)), u"a.TSN");
    EXPECT_EQ(f.archive->findNested(u"B.tsn"), 1);
    EXPECT_EQ(f.archive->findFile(u"FILE10"), 4);
    EXPECT_EQ(f.archive->findFile(u"file1"), 1);
    EXPECT_EQ(f.archive->findFile(u"file3"), -1);
    EXPECT_EQ(f.archive->findFile(u"b.tsn"), -1);

    for (auto n : {u"d10\\x", u"d9\\x", u"D1\\x"}) f.add(n);
    EXPECT_EQ(folderNames(f.archive.get()), (std::vector<std::u16string>{u"D1", u"d9", u"d10"}));
    EXPECT_EQ(f.archive->findFolder(u"d9"), 1);

    // Out of range.
    EXPECT_EQ(f.archive->fileName(-1), nullptr);
    EXPECT_EQ(f.archive->fileSize(5), -1);
    EXPECT_EQ(f.archive->nestedSize(2), -1);
    EXPECT_EQ(f.archive->openFile(5), nullptr);
    EXPECT_EQ(f.archive->openFolder(3), nullptr);
    EXPECT_EQ(f.archive->openNestedArchive(2), nullptr);
}

TEST(ArchiveModel, NaturalCompareRules) {
    EXPECT_LT(naturalCompare(u"file2", u"file10"), 0);
    EXPECT_LT(naturalCompare(u"File1", u"file2"), 0);
    EXPECT_LT(naturalCompare(u"a99999999999999999999999", u"a100000000000000000000000"), 0);
    EXPECT_LT(naturalCompare(u"x", u"x1"), 0);
    EXPECT_NE(naturalCompare(u"file01", u"file1"), 0);  // equal by value, told apart by text
    EXPECT_EQ(naturalCompare(u"ABC", u"abc"), 0);
    // Names that share the first digits of a number still compare it whole.
    EXPECT_LT(naturalCompare(u"x17", u"x105"), 0);
    EXPECT_GT(naturalCompare(u"x105", u"x17"), 0);
    EXPECT_LT(naturalCompare(u"a1b2", u"a1b10"), 0);
    EXPECT_LT(naturalCompare(u"page10", u"page100"), 0);
    EXPECT_LT(naturalCompare(u"v1.9", u"v1.10"), 0);
    EXPECT_LT(naturalCompare(u"entry000999", u"entry001000"), 0);
    EXPECT_LT(naturalCompare(u"img007", u"img7"), 0);  // equal by value: the text decides
    EXPECT_LT(naturalCompare(u"Äpfel2", u"äpfel10"), 0);
    EXPECT_EQ(naturalCompare(u"ÉTÉ 2", u"été 2"), 0);
    EXPECT_LT(naturalCompare(u"éta", u"étB"), 0);
    EXPECT_EQ(compareNoCase(u"ÄÖÜ ΣΑΣ ЖЁ", u"äöü σασ жё"), 0);
    EXPECT_NE(compareNoCase(u"a", u"b"), 0);
}

// Readers add entries in whatever order the archive stores them: in order
// already, backwards or mixed, the views come out the same.
TEST(ArchiveModel, ViewOrderDoesNotDependOnStoredOrder) {
    const std::vector<std::u16string> sorted{u"a",    u"A1",  u"a01b", u"a1b",   u"a2",    u"a10",
                                             u"a17",  u"a105", u"b",   u"é1",   u"É2",    u"éa"};
    std::vector<std::u16string> mixed = sorted;
    std::swap(mixed[0], mixed[7]);
    std::swap(mixed[3], mixed[10]);
    for (const auto& order : {sorted, std::vector<std::u16string>(sorted.rbegin(), sorted.rend()), mixed}) {
        Fixture f;
        for (const auto& name : order) {
            ASSERT_TRUE(f.add(name));
            ASSERT_TRUE(f.add(u"d" + name + u"\\x"));
        }
        EXPECT_EQ(fileNames(f.archive.get()), sorted);
        std::vector<std::u16string> folders;
        for (const auto& name : sorted) folders.push_back(u"d" + name);
        EXPECT_EQ(folderNames(f.archive.get()), folders);
    }
}

TEST(ArchiveModel, StoredPathsCannotLeaveTheRoot) {
    Fixture f;
    EXPECT_TRUE(f.add(u"../../etc/passwd"));
    EXPECT_TRUE(f.add(u"C:\\Windows\\win.ini"));
    EXPECT_TRUE(f.add(u"\\\\?\\D:\\dev\\x"));
    EXPECT_TRUE(f.add(u"/abs/y"));
    EXPECT_TRUE(f.add(u"a/./b/../c"));
    EXPECT_TRUE(f.add(u"a/../../../up"));
    EXPECT_TRUE(f.add(u"C:drive-relative"));
    EXPECT_TRUE(f.add(u"//server/share/z"));
    EXPECT_TRUE(f.add(u"k/l/..", 0, 0, 77));  // names folder k itself
    EXPECT_TRUE(f.add(u"..", 0, 0));
    EXPECT_TRUE(f.add(u"/", 0, 0));
    EXPECT_TRUE(f.add(u"./", 0, 0));
    EXPECT_FALSE(addEntry(f.archive.get(), nullptr, u"", 0, 0, 0, 0));  // a folder without a path

    std::vector<std::u16string> all;
    collect(f.archive.get(), u"", all);
    std::vector<std::u16string> expected = {u"a\\",       u"a\\c",           u"abs\\",   u"abs\\y",
                                            u"dev\\",     u"dev\\x",         u"drive-relative",
                                            u"etc\\",     u"etc\\passwd",    u"k\\",     u"server\\",
                                            u"server\\share\\", u"server\\share\\z", u"up", u"Windows\\",
                                            u"Windows\\win.ini"};
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(f.archive->folderTime(f.archive->findFolder(u"k")), 77);
}

// Archivers store data they read from standard input without a name; other
// archivers show it under the archive's name without its extension.
TEST(ArchiveModel, FileWithoutANameTakesTheArchivesName) {
    for (const char16_t* stored : {u"", u".", u"..", u"/"}) {
        Fixture f;
        EXPECT_TRUE(f.add(stored));
        EXPECT_EQ(fileNames(f.archive.get()), std::vector<std::u16string>{u"a"});
        // Without data such a name only marks the root folder.
        Fixture marker;
        EXPECT_TRUE(marker.add(stored, 0, 0));
        EXPECT_EQ(fileNames(marker.archive.get()).size(), *stored ? 0u : 1u);
    }

    REQUIRE_TOOL("7zz");
    test::TempDir dir;
    for (const char* type : {"7z", "zip"}) {
        SCOPED_TRACE(type);
        std::string archive = (dir / (std::string("piped.") + type)).string();
        ASSERT_EQ(test::run("printf 'from a pipe' | 7zz a -bd -si -t" + std::string(type) + " '" + archive + "' >/dev/null"),
                  0);
        Ref<Archive> opened(openArchivePath(test::enginePath(archive).c_str()));
        ASSERT_TRUE(opened);
        ASSERT_EQ(fileNames(opened.get()), std::vector<std::u16string>{u"piped"});
        Ref<InStream> data(opened->openFile(0));
        ASSERT_TRUE(data);
        std::vector<uint8_t> bytes = test::readAll(data.get());
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "from a pipe");
    }
}

TEST(ArchiveModel, DoubledSeparatorsCollapseAndTrailingOnesNameFolders) {
    Fixture f;
    EXPECT_TRUE(f.add(u"p//q"));
    EXPECT_TRUE(f.add(u"r//", 0, 0, 55));
    EXPECT_TRUE(f.add(u"s/t/", 0, 0, 66));
    EXPECT_TRUE(f.add(u"u\\v\\"));
    EXPECT_TRUE(f.add(u"w/x.y/z"));

    std::vector<std::u16string> all;
    collect(f.archive.get(), u"", all);
    std::vector<std::u16string> expected = {u"p\\", u"p\\q", u"r\\", u"s\\", u"s\\t\\", u"u\\", u"u\\v\\",
                                            u"w\\", u"w\\x.y\\", u"w\\x.y\\z"};
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(f.archive->folderTime(f.archive->findFolder(u"r")), 55);
    Ref<Archive> s(f.archive->openFolderByName(u"s"));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->folderTime(s->findFolder(u"t")), 66);
}

TEST(ArchiveModel, EntriesWithoutCodecAreDroppedAndUnknownSizesLearnt) {
    Fixture f;
    EXPECT_TRUE(addEntry(f.archive.get(), nullptr, u"nocodec", 0, 4, 4, 0));
    EXPECT_TRUE(addEntry(f.archive.get(), nullptr, u"dir\\nocodec", 0, 4, 4, 0));
    EXPECT_EQ(f.archive->fileCount(), 0);
    ASSERT_EQ(f.archive->folderCount(), 1);
    Ref<Archive> dir(f.archive->openFolder(0));
    EXPECT_EQ(dir->fileCount(), 0);

    // Size -1: the codec's stream tells it.
    EXPECT_TRUE(addEntry(f.archive.get(), store(), u"measured", 100, 37, -1, 0));
    EXPECT_EQ(f.archive->fileSize(f.archive->findFile(u"measured")), 37);
    EXPECT_TRUE(addEntry(f.archive.get(), store(), u"negative", 100, 12, -7, 0));  // a damaged header
    EXPECT_EQ(f.archive->fileSize(f.archive->findFile(u"negative")), 12);
    FactoryCodec noSize(u"test-nosize", [](const CodecRequest&) -> InStream* { return nullptr; });
    // One whose stream cannot be made is listed, of unknown size, and fails to open.
    EXPECT_TRUE(addEntry(f.archive.get(), &noSize, u"unmeasurable", 0, 4, -1, 0));
    int unmeasurable = f.archive->findFile(u"unmeasurable");
    ASSERT_GE(unmeasurable, 0);
    EXPECT_EQ(f.archive->fileSize(unmeasurable), -1);
    EXPECT_EQ(Ref<InStream>(f.archive->openFile(unmeasurable)).get(), nullptr);

    Ref<Archive> noStream(newArchive(u"x", nullptr, nullptr));
    EXPECT_FALSE(addEntry(noStream.get(), store(), u"a", 0, 1, 1, 0));
    EXPECT_FALSE(addEntry(nullptr, store(), u"a", 0, 1, 1, 0));
}

TEST(ArchiveModel, StoredChecksumsAreKeptPerEntry) {
    Fixture f;
    addEntry(f.archive.get(), store(), u"with", 0, 4, 4, 0, 0xDEADBEEFu);
    addEntry(f.archive.get(), store(), u"without", 0, 4, 4, 0);
    addEntry(f.archive.get(), store(), u"d\\deep", 0, 4, 4, 0, 0x12345678u);
    EXPECT_EQ(f.archive->fileChecks(f.archive->findFile(u"with")).crc, 0xDEADBEEFu);
    EXPECT_EQ(f.archive->fileChecks(f.archive->findFile(u"without")).crc, std::nullopt);
    EXPECT_EQ(f.archive->fileChecks(7).crc, std::nullopt);
    Ref<Archive> d(f.archive->openFolderByName(u"d"));
    EXPECT_EQ(d->fileChecks(0).crc, 0x12345678u);
}

TEST(ArchiveModel, EntryStreamsAreNamedAndOwnedByTheirLevel) {
    Fixture f;
    f.add(u"sub\\data.bin", 300, 5, 1234);
    Ref<Archive> sub(f.archive->openFolderByName(u"sub"));
    Ref<InStream> s(sub->openFileByName(u"DATA.bin"));
    ASSERT_TRUE(s);
    EXPECT_EQ(std::u16string(s->name()), u"\\t\\a.arc\\sub\\data.bin");
    EXPECT_EQ(s->tag(), 1234);
    Ref<Archive> owner(s->owner());
    EXPECT_EQ(owner.get(), sub.get());
    EXPECT_EQ(test::readAll(s.get()), (std::vector<uint8_t>{300 % 251, 301 % 251, 302 % 251, 303 % 251, 304 % 251}));
}

TEST(ArchiveModel, SiblingsAreOpenedThroughTheOwner) {
    Fixture f;
    f.add(u"part1", 0, 10);
    f.add(u"part2", 10, 20, 55);
    Ref<InStream> first(f.archive->openFileByName(u"part1"));
    Ref<InStream> second(first->openSibling(u"part2"));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->size(), 20);
    EXPECT_EQ(first->openSibling(u""), nullptr);
    EXPECT_EQ(first->openSibling(u"part3"), nullptr);
    Ref<InStream> copy(first->openSiblingInMemory(u"part2"));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->tag(), 55);
    EXPECT_EQ(test::readAll(copy.get()), test::readAll(second.get()));
    Ref<MemoryStream> loose(MemoryStream::create(u"m", nullptr, 0, "x", 1));
    EXPECT_EQ(loose->openSibling(u"part2"), nullptr);  // no owner to ask
}

TEST(ArchiveModel, ExtractionOrderFollowsTheData) {
    Fixture f;
    f.add(u"c", 300);
    f.add(u"a", 100);
    f.add(u"dir\\b", 200);
    f.add(u"dir\\deep\\d", 250);
    f.add(u"linked", 100);  // shares its data with "a"
    f.add(u"zero1", 0);
    f.add(u"zero2", 0);
    std::vector<std::u16string> names = {u"dir\\Deep\\D", u"c", u"linked", u"dir\\B", u"missing",
                                         u"a",            u"zero1", u"zero2"};
    EXPECT_TRUE(f.archive->orderForExtraction(names));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"missing", u"zero1", u"zero2", u"linked", u"dir\\B",
                                                  u"dir\\Deep\\D", u"c", u"a"}));
    // A folder orders the paths below it alike.
    Ref<Archive> dir(f.archive->openFolderByName(u"dir"));
    std::vector<std::u16string> inDir = {u"deep\\d", u"b"};
    EXPECT_TRUE(dir->orderForExtraction(inDir));
    EXPECT_EQ(inDir, (std::vector<std::u16string>{u"b", u"deep\\d"}));

    std::vector<std::u16string> two = {u"linked", u"a"};
    EXPECT_TRUE(f.archive->orderForExtraction(two));
    EXPECT_EQ(two, (std::vector<std::u16string>{u"linked", u"a"}));
}

// Listing must stay n log n for archives of many entries, in one folder or
// spread over many: quadratic inserts or linear lookups would take minutes.
TEST(ArchiveModel, LargeListingsInOneFolderAndManyFolders) {
    constexpr int kEntries = 100000;
    for (int folders : {1, 1000}) {
        Fixture f;
        for (int i = 0; i < kEntries; ++i) {
            std::u16string path =
                u"d" + wide(std::to_string(i % folders)) + u"\\file" + wide(std::to_string(kEntries - i));
            ASSERT_TRUE(f.add(path, i % 1000, 1));
        }
        ASSERT_EQ(f.archive->folderCount(), folders);
        int total = 0;
        std::vector<std::u16string> order;
        for (int d = 0; d < folders; ++d) {
            Ref<Archive> dir(f.archive->openFolder(d));
            int n = dir->fileCount();
            total += n;
            for (int i = 0; i < n; ++i) ASSERT_EQ(dir->findFile(dir->fileName(i)), i);
            for (int i = 1; i < n; ++i) ASSERT_LT(naturalCompare(dir->fileName(i - 1), dir->fileName(i)), 0);
            if (d > 0) continue;
            for (int i = 0; i < n; ++i)
                order.push_back(f.archive->folderName(0) + std::u16string(u"\\") + dir->fileName(i));
        }
        EXPECT_EQ(total, kEntries);
        EXPECT_TRUE(f.archive->orderForExtraction(order));
    }
}

TEST(FormatRegistry, ExtensionSetFindsTheFirstExtensionAddedThatEndsTheName) {
    ExtensionSet set{u".gz", u".tar.gz", u".TGZ", u"", u".αβ", u".z"};
    EXPECT_EQ(set.find(u"a.gz"), 0);
    EXPECT_EQ(set.find(u"a.tar.gz"), 0);  // ".gz" was added first
    EXPECT_EQ(set.find(u"x.tGz"), 2);
    EXPECT_EQ(set.find(u"x.ΑΒ"), 3);  // the empty extension is not counted
    EXPECT_EQ(set.find(u"x.Z"), 4);
    EXPECT_EQ(set.find(u".gz"), -1);  // never the whole name
    EXPECT_EQ(set.find(u"gz"), -1);
    EXPECT_EQ(set.find(u"a.gzip"), -1);
    EXPECT_EQ(set.find(u""), -1);
    ExtensionSet longerFirst{u".tar.gz", u".gz"};
    EXPECT_EQ(longerFirst.find(u"a.TAR.GZ"), 0);
    EXPECT_EQ(longerFirst.find(u"a.gz"), 1);
    EXPECT_EQ(longerFirst.find(u"tar.gz"), 1);
}

TEST(FormatRegistry, ExtensionsAreMatchedCaseInsensitivelyAndNeverWhole) {
    static const char16_t* const extA[] = {u".tsx", u".TSY"};
    static const char16_t* const extB[] = {u".tsy", u".tsz"};
    FunctionFormat a(u"test-a", extA, 2, nullptr, 0, newArchive);
    FunctionFormat b(u"test-b", extB, 2, nullptr, 0, newArchive);
    FunctionFormat anonymous(nullptr, extB, 2, nullptr, 0, newArchive);
    EXPECT_TRUE(endsWithExtension(u"x.TSX", u".tsx"));
    EXPECT_FALSE(endsWithExtension(u".tsx", u".tsx"));
    EXPECT_FALSE(endsWithExtension(u"tsx", u".tsx"));
    EXPECT_EQ(std::u16string(formatNameFor(u"a.tsy")), u"test-a");
    EXPECT_EQ(std::u16string(formatNameFor(u"a.tsz")), u"test-b");
    EXPECT_EQ(formatNameFor(u".tsz"), nullptr);
    EXPECT_FALSE(isArchiveName(u"a.tsq"));

    std::vector<std::u16string> seen;
    forEachExtension(
        [](const char16_t* e, void* context) { static_cast<std::vector<std::u16string>*>(context)->push_back(e); },
        &seen);
    int tsy = 0;
    for (const auto& e : seen) tsy += compareNoCase(e, u".tsy") == 0;
    EXPECT_EQ(tsy, 1);
    std::vector<std::u16string> names;
    forEachFormatName([&](const char16_t* n) { names.push_back(n); });
    EXPECT_EQ(std::count(names.begin(), names.end(), u"test-b"), 1);
    EXPECT_EQ(names.size() + 1, static_cast<size_t>(formatCount()));
}

TEST(FormatRegistry, NamesFollowFormatsThatRegisterAndGo) {
    static const char16_t* const ext[] = {u".tsw"};
    {
        FunctionFormat format(u"test-w", ext, 1, nullptr, 0, newArchive);
        EXPECT_TRUE(isArchiveName(u"a.TSW"));
    }
    EXPECT_FALSE(isArchiveName(u"a.tsw"));
    FunctionFormat again(u"test-w2", ext, 1, nullptr, 0, newArchive);
    EXPECT_EQ(std::u16string(formatNameFor(u"a.tsw")), u"test-w2");
}

// Formats with signatures of different lengths, to check which one detection
// picks. The bytes chosen belong to no real format.
int openedBy = 0;
template <int Id>
Archive* openAs(const char16_t* name, Archive* container, InStream* stream) {
    openedBy = Id;
    return newArchive(name, container, stream);
}

TEST(FormatRegistry, SignaturesDecideShorterFirstAndExtensionsOnlyPickCandidates) {
    static const char16_t* const extShort[] = {u".tss"};
    static const char16_t* const extLong[] = {u".tsl"};
    static const char16_t* const extPlain[] = {u".tsp"};
    static const char16_t* const extOther[] = {u".tso"};
    static const uint8_t sigShort[] = {0xE7, 0x01};
    static const uint8_t sigLong[] = {0xE7, 0x01, 0x02, 0x03};
    static const uint8_t sigOther[] = {0xE7, 0x02};
    FunctionFormat longer(u"test-long", extLong, 1, sigLong, 4, openAs<2>);
    FunctionFormat shorter(u"test-short", extShort, 1, sigShort, 2, openAs<1>);
    FunctionFormat plain(u"test-plain", extPlain, 1, nullptr, 0, openAs<3>);
    FunctionFormat other(u"test-other", extOther, 1, sigOther, 2, openAs<4>);
    // Shares .tsl with test-long and reads what has not its signature (as
    // lzma-alone data named .tlz is read when lzip's signature is absent).
    FunctionFormat alternative(u"test-alt", extLong, 1, nullptr, 0, openAs<5>);
    EXPECT_GE(maxSignatureLength(), 4);

    auto detect = [](const char16_t* name, std::vector<uint8_t> bytes) {
        openedBy = 0;
        Ref<MemoryStream> s(MemoryStream::create(u"m", nullptr, 0, bytes.data(), bytes.size()));
        Ref<Archive> a(detectAndOpen(name, nullptr, s.get()));
        return a ? openedBy : -1;
    };
    EXPECT_EQ(detect(u"x.tsl", {0xE7, 0x01, 0x02, 0x03, 9, 9}), 1);  // the 2-byte signature matches first
    EXPECT_EQ(detect(u"x.tss", {0xE7, 0x02, 0, 0, 0, 0}), 4);        // the bytes win over the name
    EXPECT_EQ(detect(u"x.TSP", {0xE7, 0x01}), 3);                    // no signature: by name alone
    EXPECT_EQ(detect(u"x.tsp", {}), 3);
    EXPECT_EQ(detect(u"x.tss", {0xE7, 0x09, 0, 0, 0, 0, 0, 0}), -1);  // no signature known
    EXPECT_EQ(detect(u"x.tss", {0xE7}), -1);                          // too short
    EXPECT_EQ(detect(u"x.tsl", {0xE7, 0x09, 0, 0}), 5);               // the name's format without a signature
    // Names that match no extension go by the bytes alone.
    EXPECT_EQ(detect(u"x.unknown", {0xE7, 0x01, 0, 0}), 1);
    EXPECT_EQ(detect(u".tss", {0xE7, 0x02, 0, 0}), 4);
    EXPECT_EQ(detect(u"noname", {0xE7, 0x09, 0, 0}), -1);
    EXPECT_EQ(detectAndOpen(nullptr, nullptr, nullptr), nullptr);
}

TEST(FormatRegistry, UnregisteringRestoresTheLongestSignature) {
    int before = maxSignatureLength();
    {
        static const char16_t* const ext[] = {u".tsw"};
        static const uint8_t sig[32] = {0xE7};
        FunctionFormat wide(u"test-wide", ext, 1, sig, 32, newArchive);
        EXPECT_EQ(maxSignatureLength(), 32);
    }
    EXPECT_EQ(maxSignatureLength(), before);
}

}  // namespace
}  // namespace zorvex
