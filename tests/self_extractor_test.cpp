// Archives behind a program stub: found past the stub when a RAR or 7z header
// whose checksum holds follows the signature, never in an ordinary program.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/format_registry.h"
#include "tests/archive_support.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

using namespace test;

// Program-like bytes that hold every signature without a valid header after it.
std::vector<uint8_t> programStub(size_t size) {
    std::vector<uint8_t> bytes = sampleData(size, 5);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    const std::string decoys[] = {std::string("7z\xBC\xAF\x27\x1C\0\4", 8), std::string("Rar!\x1A\x07\0", 7),
                                  std::string("Rar!\x1A\x07\1\0", 8)};
    for (size_t i = 0; i < 3 && (i + 1) * 200 + 64 < size; ++i)
        std::memcpy(bytes.data() + (i + 1) * 200, decoys[i].data(), decoys[i].size());
    return bytes;
}

std::vector<uint8_t> joined(std::vector<uint8_t> front, const std::vector<uint8_t>& back) {
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

class SelfExtractorTest : public ::testing::Test {
protected:
    TempDir tmp;
    std::vector<uint8_t> first = sampleData(70000, 1), second = sampleData(3000, 2);

    // A solid 7z of the two files.
    std::vector<uint8_t> sevenZip() {
        writeFile(tmp / "in/first.bin", first.data(), first.size());
        writeFile(tmp / "in/second.txt", second.data(), second.size());
        EXPECT_EQ(run("cd '" + (tmp / "in").string() + "' && 7zz a -bso0 -bsp0 ../a.7z first.bin second.txt"), 0);
        return readFile(tmp / "a.7z");
    }
    Ref<Archive> openAs(const std::string& name, const std::vector<uint8_t>& bytes) {
        writeFile(tmp / name, bytes.data(), bytes.size());
        return Ref<Archive>(openArchivePath(enginePath(tmp / name).c_str()));
    }
};

TEST_F(SelfExtractorTest, SevenZipBehindAStubOpensWhereverTheStubEnds) {
    REQUIRE_TOOL("7zz");
    std::vector<uint8_t> archive = sevenZip();
    // Small and large stubs, and stubs that put the signature across the
    // search's block boundary.
    for (size_t stubSize : {1000u, 65533u, 65536u - 8u, 65536u + 5u, 3u << 20}) {
        for (const char* name : {"setup.exe", "installer"}) {
            SCOPED_TRACE(std::to_string(stubSize) + " " + name);
            Ref<Archive> opened = openAs(name, joined(programStub(stubSize), archive));
            ASSERT_TRUE(opened);
            EXPECT_EQ(entryData(insidePath(tmp / name, "first.bin")), first);
            EXPECT_EQ(entryData(insidePath(tmp / name, "second.txt")), second);
        }
    }
}

TEST_F(SelfExtractorTest, ProgramsWithoutAValidHeaderDoNotOpen) {
    REQUIRE_TOOL("7zz");
    EXPECT_FALSE(openAs("plain.exe", programStub(200000)));
    std::vector<uint8_t> archive = sevenZip();
    // A start header whose checksum fails is not an archive.
    std::vector<uint8_t> damaged = archive;
    damaged[14] ^= 1;
    EXPECT_FALSE(openAs("damaged.exe", joined(programStub(5000), damaged)));
    // The search stops after the first few megabytes.
    EXPECT_FALSE(openAs("far.exe", joined(programStub(5u << 20), archive)));
    // A name that says what the file is gets no search.
    EXPECT_FALSE(openAs("named.zip", joined(programStub(5000), archive)));
}

// Cut anywhere in the archive part, a self-extractor opens or fails; what
// opens reads whole or reports damage, never crashes.
TEST_F(SelfExtractorTest, TruncatedSelfExtractorsAreSurvived) {
    REQUIRE_CORPUS(corpus);
    const std::pair<std::string, size_t> files[] = {{"rar/test_read_format_rar_sfx.exe", 98816},
                                                    {"rar5/test_read_format_rar5_sfx.exe", 316928},
                                                    {"7z/test_read_format_7zip_sfx_pe.exe", 213504}};
    for (const auto& [file, archiveStart] : files) {
        std::vector<uint8_t> whole = readFile(corpus / file);
        ASSERT_GT(whole.size(), archiveStart);
        for (size_t cut = archiveStart; cut < whole.size(); cut += 3) {
            SCOPED_TRACE(file + " cut at " + std::to_string(cut));
            Ref<Archive> opened = openAs("cut.exe", {whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut)});
            if (!opened) continue;
            for (const auto& [path, size] : listTree(opened.get()))
                if (size >= 0) entryData(insidePath(tmp / "cut.exe", path));
        }
    }
}

// RAR sets whose first volume is a program: later volumes keep the .rar
// extension (new numbering) or are numbered .r00 on (old numbering).
TEST_F(SelfExtractorTest, RarVolumeSetsStartingWithAProgram) {
    REQUIRE_CORPUS(corpus);
    struct Set {
        std::string folder, base, firstSuffix, exeName;
        int volumes;
    };
    const Set sets[] = {{"rar", "Rar4.multi.part0", "1.rar", "Rar4.multi.part01.exe", 7},
                        {"rar5", "Rar5.multi.part0", "1.rar", "Rar5.multi.part01.exe", 6}};
    for (const Set& set : sets) {
        SCOPED_TRACE(set.exeName);
        for (int v = 2; v <= set.volumes; ++v) {
            std::string volume = set.base + std::to_string(v) + ".rar";
            std::vector<uint8_t> bytes = readFile(corpus / set.folder / volume);
            writeFile(tmp / volume, bytes.data(), bytes.size());
        }
        std::vector<uint8_t> firstVolume = readFile(corpus / set.folder / (set.base + set.firstSuffix));
        Ref<Archive> opened = openAs(set.exeName, joined(programStub(40000), firstVolume));
        ASSERT_TRUE(opened);
        auto data = entryData(insidePath(tmp / set.exeName, "exe/test.exe"));
        ASSERT_TRUE(data);
        EXPECT_EQ(sha256Hex(*data), "8557928804f57ecc340b3bb38b095a3607474ec8deb0076f316fcfe02b562106");
    }
    // Old numbering: x.exe, then x.r00.
    for (int v = 0; v <= 5; ++v) {
        std::string volume = "Rar2.multi.r0" + std::to_string(v);
        std::vector<uint8_t> bytes = readFile(corpus / "rar" / volume);
        writeFile(tmp / volume, bytes.data(), bytes.size());
    }
    ASSERT_TRUE(openAs("Rar2.multi.exe", joined(programStub(40000), readFile(corpus / "rar" / "Rar2.multi.rar"))));
    auto data = entryData(insidePath(tmp / "Rar2.multi.exe", "exe/test.exe"));
    ASSERT_TRUE(data);
    EXPECT_EQ(sha256Hex(*data), "8557928804f57ecc340b3bb38b095a3607474ec8deb0076f316fcfe02b562106");
}

}  // namespace
}  // namespace zorvex
