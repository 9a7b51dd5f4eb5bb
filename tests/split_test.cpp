// Split .001 sets: pieces joined through their siblings, browsed into.
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
