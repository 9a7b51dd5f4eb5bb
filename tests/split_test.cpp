// Split .001 sets: pieces joined through their siblings, browsed into.
#include "engine/convert.h"
#include "engine/extraction.h"
#include "tests/archive_support.h"

namespace zorvex::test {
namespace {

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

TEST(Split, PiecesOfACompressedTarJoinAndBrowse) {
    REQUIRE_TOOL("xz");
    REQUIRE_TOOL("tar");
    TempDir dir;
    std::vector<uint8_t> content = sampleData(300000, 81);
    writeFile(dir / "src/dir/file.bin", content.data(), content.size());
    ASSERT_EQ(run("cd " + q(dir / "src") + " && tar -cf - dir | xz -0 > ../name.tar.xz && cd .. && "
                  "split -b 20000 -d -a 3 --numeric-suffixes=1 name.tar.xz name.tar.xz."),
              0);
    std::optional<std::vector<uint8_t>> joined = entryData(insidePath(dir / "name.tar.xz.001", "name.tar.xz"));
    ASSERT_TRUE(joined);
    EXPECT_TRUE(*joined == readFile(dir / "name.tar.xz"));
    std::optional<std::vector<uint8_t>> data =
        entryData(insidePath(dir / "name.tar.xz.001", "name.tar.xz/name.tar/dir/file.bin"));
    ASSERT_TRUE(data);
    EXPECT_TRUE(*data == content);
}

TEST(Split, SetEndsAtTheFirstMissingPiece) {
    TempDir dir;
    writeFile(dir / "name.001", "aaa");
    writeFile(dir / "name.002", "bb");
    writeFile(dir / "name.004", "dddd");
    EXPECT_EQ(fileText(*entryData(insidePath(dir / "name.001", "name"))), "aaabb");

    writeFile(dir / "solo/only.001", "x");
    EXPECT_EQ(fileText(*entryData(insidePath(dir / "solo/only.001", "only"))), "x");
}

// Pieces whose names lost the archive's extension still show that archive,
// and extraction goes into it. Pieces of other data stay one file, also when
// it starts like a zip (documents and packages are zips) or with another
// short signature.
TEST(Split, JoinedArchiveIsFoundByItsContent) {
    REQUIRE_TOOL("7zz");
    REQUIRE_TOOL("tar");
    TempDir dir;
    writeFile(dir / "src/a.txt", "alpha");
    ASSERT_EQ(run("cd " + q(dir / "src") + " && 7zz a -bd ../bundle.7z a.txt >/dev/null && tar -cf ../tape.001 a.txt && "
                  "7zz a -bd -tzip ../doc.zip a.txt >/dev/null && cd .. && "
                  "split -b 100 -d -a 3 --numeric-suffixes=1 bundle.7z bundle.split. && "
                  "split -b 100 -d -a 3 --numeric-suffixes=1 doc.zip report.docx."),
              0);
    writeFile(dir / "notes.001", "BZh9 is how bzip2 data starts, but this is text");

    const std::pair<std::string, bool> cases[] = {
        {"bundle.split", true}, {"tape", true}, {"report.docx", false}, {"notes", false}};
    for (const auto& [joined, holdsArchive] : cases) {
        SCOPED_TRACE(joined);
        Ref<Archive> level(openArchivePath(insidePath(dir / (joined + ".001")).c_str()));
        ASSERT_TRUE(level);
        ASSERT_EQ(level->nestedCount(), holdsArchive ? 1 : 0);
        ASSERT_EQ(level->fileCount(), holdsArchive ? 0 : 1);
        EXPECT_EQ(wideToUtf8(holdsArchive ? level->nestedName(0) : level->fileName(0)).value_or("?"), joined);
        if (!holdsArchive) continue;
        ExtractionPlan plan = planExtraction(level.get());
        ASSERT_TRUE(plan.level);
        EXPECT_EQ(plan.level->fileCount(), 1);
        std::optional<std::vector<uint8_t>> data = entryData(insidePath(dir / (joined + ".001"), joined + "/a.txt"));
        ASSERT_TRUE(data);
        EXPECT_EQ(fileText(*data), "alpha");
    }
    EXPECT_EQ(readFile(dir / "doc.zip"), *entryData(insidePath(dir / "report.docx.001", "report.docx")));
}

TEST(Split, Corpus) {
    REQUIRE_CORPUS(corpus);
    // The joined entry is the pieces back to back, whatever they hold.
    fs::path first = corpus / "split" / "Original.7z.001";
    std::vector<uint8_t> expected;
    for (int i = 1; i <= 7; ++i) {
        std::vector<uint8_t> piece = readFile(corpus / "split" / ("Original.7z.00" + std::to_string(i)));
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    std::optional<std::vector<uint8_t>> joined = entryData(insidePath(first, "Original.7z"));
    ASSERT_TRUE(joined);
    EXPECT_TRUE(*joined == expected);
    checkCorpusFolder(corpus, "split");
}

}  // namespace
}  // namespace zorvex::test
