// The RAR reader and the RAR 2.9 decoder: the corpus archives, volume sets,
// solid groups, filters, seeking, and hostile variants of corpus files made
// here (cut short, bits flipped, header fields patched).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <tuple>

#include "codecs/rar/filters29.h"
#include "codecs/rar/unpacker.h"
#include "engine/checked_stream.h"
#include "engine/crc32.h"
#include "engine/file_source.h"
#include "formats/rar.h"
#include "fuzz/walk.h"
#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

using test::fs::path;

// ---- Helpers ------------------------------------------------------------------

Ref<Archive> openRarFile(const path& file) { return Ref<Archive>(openArchivePath(test::enginePath(file).c_str())); }

// Every file's data by name ("\\"-joined paths), or nullopt for entries that
// did not read whole.
std::map<std::u16string, std::optional<std::vector<uint8_t>>> allData(Archive* archive,
                                                                      const std::u16string& prefix = u"") {
    std::map<std::u16string, std::optional<std::vector<uint8_t>>> out;
    for (int i = 0; i < archive->fileCount(); ++i) {
        std::u16string name = prefix + archive->fileName(i);
        Ref<InStream> s(archive->openFile(i));
        if (!s) {
            out[name] = std::nullopt;
            continue;
        }
        std::vector<uint8_t> data = test::readAll(s.get());
        bool whole = int64_t(data.size()) == archive->fileSize(i);
        DataCheck check(archive->fileChecks(i));
        check.update(data.data(), data.size());
        if (!check.crcMatches() || !check.blake2spMatches()) whole = false;
        out[name] = whole ? std::optional(data) : std::nullopt;
    }
    for (int i = 0; i < archive->folderCount(); ++i) {
        Ref<Archive> folder(archive->openFolder(i));
        if (!folder) continue;
        for (auto& [name, data] : allData(folder.get(), prefix + archive->folderName(i) + u"\\")) out[name] = data;
    }
    return out;
}

Ref<Archive> openBytes(const char16_t* name, const std::vector<uint8_t>& bytes) {
    Ref<InStream> stream(MemoryStream::create(name, nullptr, 0, bytes.data(), bytes.size()));
    return Ref<Archive>(detectAndOpen(name, nullptr, stream.get()));
}

// A format 1.5-4.x block as it lies in an archive.
struct Block4 {
    size_t offset;
    uint8_t type;
    uint16_t flags;
    uint16_t headerSize;
    uint32_t dataSize;
};

std::vector<Block4> blocks4(const std::vector<uint8_t>& a) {
    std::vector<Block4> blocks;
    for (size_t p = 7; p + 7 <= a.size();) {
        Block4 b{p, a[p + 2], uint16_t(a[p + 3] | a[p + 4] << 8), uint16_t(a[p + 5] | a[p + 6] << 8), 0};
        if (b.headerSize < 7) break;
        if ((b.flags & 0x8000) || b.type == 0x74) std::memcpy(&b.dataSize, &a[p + 7], 4);
        blocks.push_back(b);
        p += b.headerSize + b.dataSize;
    }
    return blocks;
}

void put16(std::vector<uint8_t>& a, size_t at, uint16_t v) {
    a[at] = uint8_t(v);
    a[at + 1] = uint8_t(v >> 8);
}

// A stored file header (format 1.5-4.x) followed by its data.
std::vector<uint8_t> storedFile4(const std::string& name, const std::string& data, uint16_t extraFlags) {
    std::vector<uint8_t> h(32 + name.size());
    h[2] = 0x74;
    put16(h, 3, uint16_t(0x8000 | extraFlags));
    put16(h, 5, uint16_t(h.size()));
    uint32_t size = uint32_t(data.size()), crc = crc32Update(0, data.data(), data.size());
    std::memcpy(&h[7], &size, 4);
    std::memcpy(&h[11], &size, 4);
    std::memcpy(&h[16], &crc, 4);
    h[24] = 20;    // version
    h[25] = 0x30;  // stored
    put16(h, 26, uint16_t(name.size()));
    std::memcpy(&h[32], name.data(), name.size());
    h.insert(h.end(), data.begin(), data.end());
    return h;
}

// ---- Corpus -------------------------------------------------------------------

TEST(RarCorpus, FileRowsMatchAndMalformedArchivesSurvive) {
    REQUIRE_CORPUS(corpus);
    test::checkCorpusFolder(corpus, "rar", test::rowsOfRefusedArchives(corpus, "rar"));
    test::checkCorpusFolder(corpus, "rar5", test::rowsOfRefusedArchives(corpus, "rar5"));
}

// Without a password, archives with encrypted files list them; those with
// encrypted headers list nothing.
TEST(RarCorpus, EncryptedArchivesListWithoutAPasswordUnlessTheirHeadersAre) {
    REQUIRE_CORPUS(corpus);
    std::set<std::string> refused = test::refusedArchives(corpus, "rar");
    refused.merge(test::refusedArchives(corpus, "rar5"));
    std::erase_if(refused, [](const std::string& archive) { return archive.starts_with("rar/rar14"); });
    ASSERT_GT(refused.size(), 10u);
    for (const std::string& archive : refused) {
        bool headersEncrypted = archive.find("filenames") != std::string::npos ||
                                archive.find("hpsw") != std::string::npos ||
                                archive.find("encryption_header") != std::string::npos;
        Ref<Archive> opened = openRarFile(corpus / archive);
        ASSERT_TRUE(opened) << archive;
        EXPECT_EQ(opened->fileCount() + opened->folderCount() == 0, headersEncrypted) << archive;
        if (headersEncrypted) EXPECT_EQ(opened->damageReason(), describe(Status::encrypted())) << archive;
    }
}

TEST(RarCorpus, HardLinkGivesTheTargetsData) {
    REQUIRE_CORPUS(corpus);
    Ref<Archive> archive = openRarFile(corpus / "rar5" / "test_read_format_rar5_hardlink.rar");
    ASSERT_TRUE(archive);
    auto data = allData(archive.get());
    ASSERT_TRUE(data[u"file.txt"]);
    ASSERT_TRUE(data[u"hardlink.txt"]);
    EXPECT_EQ(*data[u"hardlink.txt"], *data[u"file.txt"]);
}

// rar5-blake.rar with one byte of its stored stest2.txt changed: the data
// reads whole, so only the digest can tell.
std::vector<uint8_t> blake2spArchiveWithAChangedByte(const test::fs::path& corpus) {
    std::vector<uint8_t> a = test::readFile(corpus / "rar5" / "rar5-blake.rar");
    Ref<Archive> original = openBytes(u"x.rar", a);
    std::vector<uint8_t> text = allData(original.get())[u"stest2.txt"].value_or(std::vector<uint8_t>{});
    if (text.size() < 200) return {};
    auto at = std::search(a.begin(), a.end(), text.begin(), text.begin() + 64);
    if (at == a.end()) return {};
    at[100] ^= 0x20;
    return a;
}

TEST(RarCorpus, Blake2spDigestsAreChecked) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"rar5/rar5-blake.rar", "rar5/test_read_format_rar5_blake2.rar"}) {
        SCOPED_TRACE(name);
        Ref<Archive> archive = openRarFile(corpus / name);
        ASSERT_TRUE(archive);
        ASSERT_GT(archive->fileCount(), 0);
        for (int i = 0; i < archive->fileCount(); ++i) EXPECT_TRUE(archive->fileChecks(i).blake2sp) << i;
        for (const auto& [entry, data] : allData(archive.get())) EXPECT_TRUE(data);
    }

    std::vector<uint8_t> changed = blake2spArchiveWithAChangedByte(corpus);
    ASSERT_FALSE(changed.empty());
    Ref<Archive> damaged = openBytes(u"x.rar", changed);
    EXPECT_FALSE(allData(damaged.get())[u"stest2.txt"]);
    int index = damaged->findFile(u"stest2.txt");
    Ref<InStream> checked(openChecked(damaged->openFile(index), damaged->fileChecks(index)));
    EXPECT_EQ(test::readAll(checked.get()).size(), 2048u);
    EXPECT_TRUE(checked->damaged());
}

TEST(RarCorpus, Blake2spMismatchFailsTheTestCommand) {
    REQUIRE_CORPUS(corpus);
    if (!test::fs::exists(test::cliPath())) GTEST_SKIP() << "zorvex is not built";
    REQUIRE_TOOL("sh");  // zorvex runs through a shell
    std::vector<uint8_t> changed = blake2spArchiveWithAChangedByte(corpus);
    ASSERT_FALSE(changed.empty());
    test::TempDir dir;
    test::writeFile(dir / "changed.rar", changed.data(), changed.size());
    int status = 0;
    std::string out =
        test::runOutput("'" + test::cliPath() + "' test '" + (dir / "changed.rar").string() + "' 2>&1", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("stest2.txt: BLAKE2sp mismatch"), std::string::npos) << out;
}

// ---- Volumes ------------------------------------------------------------------

TEST(RarVolumes, NamesInBothSchemes) {
    EXPECT_EQ(rarVolumeName(u"x.rar", false, 1), u"x.r00");
    EXPECT_EQ(rarVolumeName(u"x.r00", false, 12), u"x.r11");
    EXPECT_EQ(rarVolumeName(u"x.part01.rar", true, 1), u"x.part02.rar");
    EXPECT_EQ(rarVolumeName(u"x.part3.rar", true, 0), u"x.part1.rar");
    EXPECT_EQ(rarVolumeName(u"a.b.part0009.rar", true, 9), u"a.b.part0010.rar");
    // No number between the last two dots, or one that does not fit its width.
    EXPECT_EQ(rarVolumeName(u"x.rar", true, 1), std::nullopt);
    EXPECT_EQ(rarVolumeName(u"x.part.rar", true, 1), std::nullopt);
    EXPECT_EQ(rarVolumeName(u"x.part9.rar", true, 9), std::nullopt);
    EXPECT_EQ(rarVolumeName(u"x.rar5", false, 1), std::nullopt);
}

TEST(RarVolumes, LaterVolumeOfNewNumberingStartsOverAtTheFirst) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"rar/rar3-vols.part2.rar", "rar/rar3-vols.part3.rar", "rar5/rar5-vols.part3.rar"}) {
        SCOPED_TRACE(name);
        Ref<Archive> archive = openRarFile(corpus / name);
        ASSERT_TRUE(archive);
        auto data = allData(archive.get());
        ASSERT_TRUE(data[u"vols\\bigfile.txt"]);
        EXPECT_EQ(data[u"vols\\bigfile.txt"]->size(), 205000u);
        EXPECT_TRUE(data[u"vols\\smallfile.txt"]);
    }
}

TEST(RarVolumes, PartContinuedFromAVolumeNotReadIsNotListed) {
    REQUIRE_CORPUS(corpus);
    // Old numbering starts at the volume that was opened: x.r00 holds the
    // middle of bigfile.txt, x.r01 its end and all of smallfile.txt.
    Ref<InStream> source(openFileSource(test::enginePath(corpus / "rar" / "rar3-old.r00").c_str()));
    ASSERT_TRUE(source);
    Ref<Archive> archive(openRar(u"rar3-old.r00", nullptr, source.get()));
    ASSERT_TRUE(archive);
    auto data = allData(archive.get());
    EXPECT_EQ(data.count(u"vols\\bigfile.txt"), 0u);
    ASSERT_TRUE(data[u"vols\\smallfile.txt"]);
    EXPECT_EQ(data[u"vols\\smallfile.txt"]->size(), 2050u);
}

// ---- Headers ------------------------------------------------------------------

TEST(RarHeaders, EncodedUnicodeNames) {
    const uint8_t plain[] = {'a', 'b', 'c', 'd', 'e'};
    // High byte 0x04; flags 0b00'01'11'00: code 0 ('X'), code 1 (0x0430),
    // code 3 with a correction: 2 + 1 characters from the plain name.
    const uint8_t encoded[] = {0x04, 0x1C, 'X', 0x30, 0x81, 0x01};
    std::u16string name = decodeRarUnicodeName(plain, 5, encoded, sizeof encoded);
    EXPECT_EQ(name, std::u16string(u"X\u0430") + char16_t(0x0400 | ('c' + 1)) + char16_t(0x0400 | ('d' + 1)) +
                        char16_t(0x0400 | ('e' + 1)));
    // Cut short: what was decoded stays, nothing is read past the end.
    EXPECT_EQ(decodeRarUnicodeName(plain, 5, encoded, 3), u"X");
}

TEST(RarHeaders, DictionaryOfFormat5IsBase128KiB) {
    EXPECT_EQ(rar5DictionarySize(0 << 10), 0x20000u);
    EXPECT_EQ(rar5DictionarySize(3 << 10), 0x100000u);  // the "dict 1M" of the corpus' solid archives
    EXPECT_EQ(rar5DictionarySize(15 << 10), uint64_t{1} << 32);
}

// The offset of the first file header of a 5.0 archive and its header size:
// after the signature and the main block.
std::pair<size_t, size_t> firstFileHeader5(const std::vector<uint8_t>& a) {
    auto vint = [&](size_t& p) {
        uint64_t v = 0;
        for (int shift = 0; p < a.size(); shift += 7) {
            v |= uint64_t(a[p] & 0x7F) << shift;
            if (!(a[p++] & 0x80)) break;
        }
        return v;
    };
    size_t p = 8 + 4;
    size_t mainSize = vint(p);
    p += mainSize + 4;
    size_t headerStart = p - 4;
    size_t size = vint(p);
    return {headerStart, p - headerStart + size};
}

// Corpus archives of both formats, cut or with a header byte changed here:
// the archive is marked damaged and still lists what its headers gave.
TEST(RarHeaders, DamageMarksTheArchive) {
    REQUIRE_CORPUS(corpus);
    struct Format {
        const char* file;
        size_t firstFile;  // the first file header's offset and size
        size_t firstFileSize;
    };
    std::vector<uint8_t> rar4 = test::readFile(corpus / "rar" / "test_read_format_rar_compress_normal.rar");
    std::vector<uint8_t> rar5 = test::readFile(corpus / "rar5" / "test_read_format_rar5_win32.rar");
    std::vector<Block4> blocks = blocks4(rar4);
    ASSERT_GE(blocks.size(), 3u);
    auto [first5, size5] = firstFileHeader5(rar5);
    for (auto [name, whole, firstFile, firstFileSize] :
         {std::tuple(u"x4.rar", rar4, blocks[1].offset, size_t(blocks[1].headerSize)),
          std::tuple(u"x5.rar", rar5, first5, size5)}) {
        SCOPED_TRACE(std::string(name, name + 6));
        Ref<Archive> original = openBytes(name, whole);
        ASSERT_TRUE(original);
        EXPECT_FALSE(original->damaged()) << original->damageReason();
        const int files = original->fileCount();
        auto cut = [&](size_t size) { return std::vector<uint8_t>(whole.begin(), whole.begin() + long(size)); };
        auto flipped = [&](size_t at) {
            std::vector<uint8_t> a = whole;
            a[at] ^= 0x20;
            return a;
        };
        struct Case {
            const char* what;
            std::vector<uint8_t> bytes;
            const char* reason;
            int files;  // -1: any number
        } cases[] = {
            {"cut to 11 bytes", cut(11), "cut inside a header", 0},
            {"cut inside the first file header", cut(firstFile + 9), "cut inside a header", 0},
            {"cut inside the data", cut(whole.size() * 2 / 3), "cut inside", -1},
            {"first file header changed", flipped(firstFile + firstFileSize - 1), "header CRC mismatch", files},
            {"end of archive header changed", flipped(whole.size() - 3), "header CRC mismatch", files},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            Ref<Archive> archive = openBytes(name, c.bytes);
            ASSERT_TRUE(archive);
            EXPECT_NE(archive->damageReason().find(c.reason), std::string::npos) << archive->damageReason();
            if (c.files >= 0) EXPECT_EQ(archive->fileCount(), c.files);
        }
    }
}

TEST(RarHeaders, OldServiceBlocksAreSkipped) {
    REQUIRE_CORPUS(corpus);
    std::vector<uint8_t> a = test::readFile(corpus / "rar" / "gh-88-empty.rar");
    std::vector<Block4> blocks = blocks4(a);
    ASSERT_GE(blocks.size(), 3u);
    // Authenticity (no data) and signature (with 10 bytes of data) blocks
    // before the first file.
    std::vector<uint8_t> inserted = {0, 0, 0x76, 0, 0, 9, 0, 1, 2, 0, 0, 0x79, 0, 0x80, 11, 0, 10, 0, 0, 0};
    inserted.insert(inserted.end(), 10, 0xAA);
    a.insert(a.begin() + long(blocks[1].offset), inserted.begin(), inserted.end());
    Ref<Archive> archive = openBytes(u"x.rar", a);
    ASSERT_TRUE(archive);
    auto data = allData(archive.get());
    ASSERT_TRUE(data[u"foo.txt"]);
    ASSERT_TRUE(data[u"bar.txt"]);
    EXPECT_EQ(test::fileText(*data[u"bar.txt"]).size(), 3u);
}

// Writers made the CRC of an old service block over its header alone or over
// the header and its data; one that matches neither is damage.
TEST(RarHeaders, ServiceBlockCrcsAreChecked) {
    REQUIRE_CORPUS(corpus);
    for (auto [file, damaged] : {std::pair("mac-subblock.rar", false), std::pair("rar2-unix-owner.rar", false),
                                 std::pair("old-uo-header-crc-mismatch.rar", true),
                                 std::pair("sign-header-crc-mismatch.rar", true),
                                 std::pair("av-header-crc-mismatch.rar", true)}) {
        SCOPED_TRACE(file);
        Ref<Archive> archive = openBytes(u"x.rar", test::readFile(corpus / "rar" / file));
        ASSERT_TRUE(archive);
        EXPECT_EQ(archive->damaged(), damaged) << archive->damageReason();
        if (damaged) EXPECT_EQ(archive->damageReason(), "header CRC mismatch");
    }
}

TEST(RarHeaders, TooSmallHeaderSizesEndTheListing) {
    REQUIRE_CORPUS(corpus);
    std::vector<uint8_t> original = test::readFile(corpus / "rar" / "gh-88-empty.rar");
    std::vector<Block4> blocks = blocks4(original);
    for (uint16_t size = 0; size <= 40; ++size) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> a = original;
        put16(a, blocks[2].offset + 5, size);
        // Also with no packed data, so that a reader that keeps its position loops.
        std::memset(&a[blocks[2].offset + 7], 0, 4);
        auto start = std::chrono::steady_clock::now();
        Ref<Archive> archive = openBytes(u"x.rar", a);
        if (archive) allData(archive.get());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        if (archive && size < 7) EXPECT_EQ(archive->findFile(u"bar.txt"), -1);
    }
    // Format 5.0: a header size of 0 and one above 2 MiB end the listing too.
    std::vector<uint8_t> rar5 = test::readFile(corpus / "rar5" / "rar5-readonly-unix.rar");
    for (std::vector<uint8_t> size : {std::vector<uint8_t>{0}, std::vector<uint8_t>{0xFF, 0xFF, 0x7F}}) {
        std::vector<uint8_t> a(rar5.begin(), rar5.begin() + 12);
        a.insert(a.end(), size.begin(), size.end());
        a.insert(a.end(), 64, 0);
        Ref<Archive> archive = openBytes(u"x.rar", a);
        if (archive) EXPECT_EQ(archive->fileCount() + archive->folderCount(), 0);
    }
}

// A stream that ends inside a format 5.0 signature is no archive.
TEST(RarHeaders, SignatureCutBeforeItsEndIsNoArchive) {
    const uint8_t cut[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01};
    EXPECT_FALSE(openBytes(u"x.rar", std::vector<uint8_t>(std::begin(cut), std::end(cut))));
}

// ---- Solid groups -------------------------------------------------------------

// rar3-solid.rar rebuilt with a directory first and a stored file between the
// two compressed members, the first of which then carries the solid flag as
// real archives do when something precedes it.
TEST(RarSolid, DirectoryFirstAndStoredMemberInTheGroup) {
    REQUIRE_CORPUS(corpus);
    std::vector<uint8_t> a = test::readFile(corpus / "rar" / "rar3-solid.rar");
    Ref<Archive> plain = openBytes(u"x.rar", a);
    ASSERT_TRUE(plain);
    auto expected = allData(plain.get());
    ASSERT_TRUE(expected[u"stest1.txt"] && expected[u"stest2.txt"]);

    std::vector<Block4> blocks = blocks4(a);
    ASSERT_EQ(blocks[1].type, 0x74);
    ASSERT_EQ(blocks[2].type, 0x74);
    size_t first = blocks[1].offset, second = blocks[2].offset;
    a[first + 3] |= 0x10;  // the first compressed member now says it continues a group
    std::vector<uint8_t> directory = storedFile4("dir", "", 0x00E0);
    std::vector<uint8_t> stored = storedFile4("dir/hello.txt", "hello", 0x0010);
    a.insert(a.begin() + long(second), stored.begin(), stored.end());
    a.insert(a.begin() + long(first), directory.begin(), directory.end());

    Ref<Archive> archive = openBytes(u"x.rar", a);
    ASSERT_TRUE(archive);
    auto data = allData(archive.get());
    ASSERT_TRUE(data[u"stest1.txt"]);
    ASSERT_TRUE(data[u"stest2.txt"]);
    ASSERT_TRUE(data[u"dir\\hello.txt"]);
    EXPECT_EQ(*data[u"stest1.txt"], *expected[u"stest1.txt"]);
    EXPECT_EQ(*data[u"stest2.txt"], *expected[u"stest2.txt"]);
    EXPECT_EQ(test::fileText(*data[u"dir\\hello.txt"]), "hello");
}

// Packed data of the first file of a format 1.5-4.x corpus archive.
std::vector<uint8_t> packedData(const path& file, uint32_t* size, uint32_t* crc) {
    std::vector<uint8_t> a = test::readFile(file);
    for (const Block4& b : blocks4(a)) {
        if (b.type != 0x74 || (b.flags & 0xE0) == 0xE0) continue;
        std::memcpy(size, &a[b.offset + 11], 4);
        std::memcpy(crc, &a[b.offset + 16], 4);
        auto start = a.begin() + long(b.offset + b.headerSize);
        return std::vector<uint8_t>(start, start + b.dataSize);
    }
    return {};
}

// The E8 filter translates addresses relative to the start of the current
// file: a program decoded as the second member of a group must come out as
// it does alone. (The first member is a PPMd file, after which the next
// member starts with tables of its own.)
TEST(RarSolid, FilterOffsetsCountFromTheCurrentMember) {
    REQUIRE_CORPUS(corpus);
    uint32_t textSize, textCrc, exeSize, exeCrc;
    std::vector<uint8_t> text = packedData(corpus / "rar" / "legit-maxmb63.rar", &textSize, &textCrc);
    std::vector<uint8_t> exe = packedData(corpus / "rar" / "test_read_format_rar_filter.rar", &exeSize, &exeCrc);
    ASSERT_FALSE(text.empty());
    ASSERT_FALSE(exe.empty());
    std::vector<uint8_t> properties = rar::encodeProperties(0, {{text.size(), textSize}, {exe.size(), exeSize}});
    std::vector<uint8_t> input = text;
    input.insert(input.end(), exe.begin(), exe.end());
    Ref<InStream> decoded(test::openCodec(u"rar29", input, -1, properties));
    ASSERT_TRUE(decoded);
    std::vector<uint8_t> out = test::readAll(decoded.get());
    ASSERT_EQ(out.size(), size_t(textSize) + exeSize);
    EXPECT_EQ(crc32Update(0, out.data(), textSize), textCrc);
    EXPECT_EQ(crc32Update(0, out.data() + textSize, exeSize), exeCrc);
}

// ---- Seeking ------------------------------------------------------------------

void expectSeeksMatch(InStream* stream, const std::vector<uint8_t>& whole, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> buf(3000);
    for (int i = 0; i < 25; ++i) {
        int64_t at = int64_t(random() % whole.size());
        ASSERT_TRUE(stream->seek(at)) << at;
        int n = stream->read(buf.data(), int(buf.size()));
        size_t expected = std::min(buf.size(), whole.size() - size_t(at));
        ASSERT_EQ(size_t(n), expected) << at;
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + n, whole.begin() + at)) << at;
    }
}

TEST(RarSeek, RandomSeeksInSolidMembersAndFilteredEntries) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"rar/rar3-solid.rar", "rar/test_read_format_rar_filter.rar", "rar/unicode.rar",
                             "rar/BoatModernEnglish-audio-text-unpack30.rar"}) {
        SCOPED_TRACE(name);
        Ref<Archive> archive = openRarFile(corpus / name);
        ASSERT_TRUE(archive);
        for (int i = 0; i < archive->fileCount(); ++i) {
            Ref<InStream> straight(archive->openFile(i));
            ASSERT_TRUE(straight);
            std::vector<uint8_t> whole = test::readAll(straight.get());
            ASSERT_EQ(int64_t(whole.size()), archive->fileSize(i));
            if (whole.empty()) continue;
            Ref<InStream> seeking(archive->openFile(i));
            expectSeeksMatch(seeking.get(), whole, uint32_t(i + 1));
        }
    }
}

// ---- Filters ------------------------------------------------------------------

TEST(RarFilters, StandardFiltersAndTheirBounds) {
    std::vector<uint8_t> memory(rar::kFilterMemory + 4);
    uint32_t registers[rar::kFilterRegisters] = {};

    // E8: a call at file offset 0x1000 + 1 to absolute 0x2000 becomes relative.
    const uint8_t call[] = {0x90, 0xE8, 0x00, 0x20, 0x00, 0x00, 0x90, 0x90};
    std::memcpy(memory.data(), call, sizeof call);
    registers[6] = 0x1000;
    rar::FilterResult r = rar::runFilter(rar::FilterType::kE8, memory.data(), sizeof call, registers);
    EXPECT_EQ(r.offset, 0u);
    EXPECT_EQ(r.size, sizeof call);
    uint32_t address;
    std::memcpy(&address, &memory[2], 4);
    EXPECT_EQ(address, 0x2000u - (0x1000u + 2));
    // A block of 3 bytes is left as it is.
    std::memcpy(memory.data(), call, 3);
    r = rar::runFilter(rar::FilterType::kE8, memory.data(), 3, registers);
    EXPECT_EQ(r.size, 3u);
    EXPECT_EQ(std::memcmp(memory.data(), call, 3), 0);

    // DELTA over two channels writes its result after the input.
    const uint8_t deltas[] = {0xFF, 0xFF, 0xFE, 0xFE};  // channel 0: 1, 2; channel 1: 2, 4
    std::memcpy(memory.data(), deltas, sizeof deltas);
    registers[0] = 2;
    r = rar::runFilter(rar::FilterType::kDelta, memory.data(), 4, registers);
    ASSERT_EQ(r.offset, 4u);
    EXPECT_EQ(std::vector<uint8_t>(memory.begin() + 4, memory.begin() + 8), (std::vector<uint8_t>{1, 2, 2, 4}));

    // Parameters out of range leave the block unchanged.
    for (auto [type, channels] : {std::pair{rar::FilterType::kDelta, 0u}, {rar::FilterType::kDelta, 1025u},
                                  {rar::FilterType::kAudio, 0u}, {rar::FilterType::kAudio, 129u},
                                  {rar::FilterType::kRgb, 2u}}) {
        registers[0] = channels;
        r = rar::runFilter(type, memory.data(), 64, registers);
        EXPECT_EQ(r.offset, 0u);
        EXPECT_EQ(r.size, 64u);
    }
}

// Writes filter definitions: numbers in their 2-bit-selector forms, bytes.
class DefinitionWriter {
public:
    void bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            if (used_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= uint8_t(0x80 >> (used_ % 8));
            ++used_;
        }
    }
    void number(uint32_t v) {
        int width = v < 16 ? 4 : v < 256 ? 8 : v < 65536 ? 16 : 32;
        bits(width == 4 ? 0 : width == 8 ? 1 : width == 16 ? 2 : 3, 2);
        bits(v, width);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int used_ = 0;
};

TEST(RarFilters, DefinitionsBeyondTheLimitsAreRejected) {
    rar::Unpacker unpacker(rar::Version::kRar29, rar::kMinWindow, nullptr, 0, {{1, 1}}, nullptr);
    auto define = [&](rar::Filters29& filters, uint32_t length, uint32_t globalSize, uint32_t number) {
        DefinitionWriter w;
        w.number(number);  // flag 0x80: a filter number
        w.number(0);       // block start
        w.number(length);  // flag 0x20: block length
        if (number == 0) {
            w.number(1);  // a new program of one byte
            w.bits(0, 8);
        }
        if (globalSize) {
            w.number(globalSize);
            for (uint32_t i = 0; i < globalSize; ++i) w.bits(0, 8);
        }
        uint8_t flags = 0x80 | 0x20 | (globalSize ? 0x08 : 0);
        return filters.define(unpacker, flags, w.bytes().data(), w.bytes().size());
    };
    rar::Filters29 filters;
    EXPECT_TRUE(define(filters, 0x40000, 0, 0));
    EXPECT_FALSE(define(filters, 0x40001, 0, 1));  // longer than the filter memory
    EXPECT_TRUE(define(filters, 16, 8128, 1));
    EXPECT_FALSE(define(filters, 16, 8129, 1));     // global data too long
    EXPECT_FALSE(define(filters, 16, 0, 1 + 3));    // a number past the known programs
    rar::Filters29 flood;
    int accepted = define(flood, 16, 0, 0) ? 1 : 0;
    while (accepted < 9000 && define(flood, 16, 0, 1)) ++accepted;
    EXPECT_EQ(accepted, int(rar::Filters29::kMaxPending));
}

TEST(RarStreamProperties, BadPropertiesMakeNoStream) {
    std::vector<uint8_t> data(100, 0);
    auto make = [&](const std::vector<uint8_t>& properties) { return test::openCodec(u"rar29", data, -1, properties); };
    EXPECT_TRUE(make(rar::encodeProperties(0, {{100, 10}})));
    EXPECT_FALSE(make(rar::encodeProperties(0, {{99, 10}})));  // sizes that do not add up
    EXPECT_FALSE(make(rar::encodeProperties(rar::kMaxWindow * 2, {{100, 10}})));
    std::vector<uint8_t> none = rar::encodeProperties(0, {{100, 10}});
    std::memset(&none[8], 0, 4);  // no members
    EXPECT_FALSE(make(none));
    std::vector<uint8_t> longer = rar::encodeProperties(0, {{100, 10}});
    longer.push_back(0);  // a table longer than its count says
    EXPECT_FALSE(make(longer));
    EXPECT_FALSE(make({}));
    rar::Window window;
    EXPECT_FALSE(window.reserve(rar::kMaxWindow * 2));
    EXPECT_TRUE(window.reserve(1000));
    EXPECT_EQ(window.size(), rar::kMinWindow);
}

// A file packed by a version no codec here decodes is listed, and reading it
// names that version; the other files read as before.
TEST(RarCorpus, UnknownPackerVersionIsListedAndFails) {
    REQUIRE_CORPUS(corpus);
    std::vector<uint8_t> a = test::readFile(corpus / "rar/BoatModernEnglish-audio-text-unpack30.rar");
    constexpr size_t kHeader = 0x14, kHeaderSize = 58, kVersion = kHeader + 24;  // the first file's header
    ASSERT_EQ(a[kVersion], 29);
    a[kVersion] = 99;
    uint32_t crc = crc32Update(0, a.data() + kHeader + 2, kHeaderSize - 2);
    a[kHeader] = uint8_t(crc), a[kHeader + 1] = uint8_t(crc >> 8);
    Ref<Archive> archive = openBytes(u"x.rar", a);
    ASSERT_TRUE(archive);
    auto data = allData(archive.get());
    ASSERT_TRUE(data.count(u"BoatModernEnglish.wav"));
    EXPECT_FALSE(data[u"BoatModernEnglish.wav"]);
    EXPECT_FALSE(Ref<InStream>(archive->openFileByName(u"BoatModernEnglish.wav")));
    EXPECT_EQ(describe(archive->openFailure()), "method 99 is not supported");
    ASSERT_TRUE(data[u"LICENSE.txt"]);
    EXPECT_EQ(data[u"LICENSE.txt"]->size(), 107u);
}

// A RAR 5.0 file of a later algorithm version is listed and fails with it;
// the listing goes on past it.
TEST(RarCorpus, UnknownAlgorithmVersionIsListedAndFails) {
    REQUIRE_CORPUS(corpus);
    std::vector<uint8_t> a = test::readFile(corpus / "rar5/rar5-quick-open.rar");
    constexpr size_t kHeader = 24, kHeaderEnd = 61, kCompression = 47;  // stest1.txt's header
    ASSERT_EQ(a[kCompression], 0x80);
    a[kCompression] |= 1;
    uint32_t crc = crc32Update(0, a.data() + kHeader + 4, kHeaderEnd - kHeader - 4);
    for (int i = 0; i < 4; ++i) a[kHeader + i] = uint8_t(crc >> (8 * i));
    Ref<Archive> archive = openBytes(u"x.rar", a);
    ASSERT_TRUE(archive);
    auto data = allData(archive.get());
    ASSERT_TRUE(data.count(u"stest1.txt"));
    EXPECT_FALSE(data[u"stest1.txt"]);
    EXPECT_FALSE(Ref<InStream>(archive->openFileByName(u"stest1.txt")));
    EXPECT_EQ(describe(archive->openFailure()), "method 1 is not supported");
    EXPECT_TRUE(data[u"stest2.txt"]);
}

// ---- Hostile variants -----------------------------------------------------------

// What a damaged copy reports as whole under a name of the original must be
// what the original holds.
void expectNoFalseSuccess(const std::vector<uint8_t>& damaged,
                          const std::map<std::u16string, std::optional<std::vector<uint8_t>>>& original) {
    Ref<Archive> archive = openBytes(u"x.rar", damaged);
    if (!archive) return;
    for (const auto& [name, data] : allData(archive.get())) {
        if (!data) continue;
        auto it = original.find(name);
        if (it != original.end() && it->second) EXPECT_EQ(*data, *it->second);
    }
}

const char* const kHostileSamples[] = {
    "rar/test_read_format_rar_filter.rar", "rar/rar3-solid.rar", "rar/legit-maxmb63.rar",
    "rar/BoatModernEnglish-audio-text-unpack30.rar", "rar/gh-86-missing-data.rar", "rar5/rar5-readonly-unix.rar",
    "rar5/rar5-blake.rar",
};

TEST(RarHostile, TruncatedCopiesNeverClaimSuccess) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : kHostileSamples) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> a = test::readFile(corpus / name);
        Ref<Archive> original = openBytes(u"x.rar", a);
        ASSERT_TRUE(original);
        auto expected = allData(original.get());
        for (size_t cut = 0; cut < a.size(); cut += 97)
            expectNoFalseSuccess(std::vector<uint8_t>(a.begin(), a.begin() + long(cut)), expected);
    }
}

TEST(RarHostile, FlippedBitsInPackedData) {
    REQUIRE_CORPUS(corpus);
    std::mt19937 random(7);
    for (const char* name : kHostileSamples) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> a = test::readFile(corpus / name);
        Ref<Archive> original = openBytes(u"x.rar", a);
        auto expected = allData(original.get());
        for (int i = 0; i < 60; ++i) {
            std::vector<uint8_t> damaged = a;
            size_t at = 20 + random() % (a.size() - 20);
            damaged[at] ^= uint8_t(1 << (random() % 8));
            auto start = std::chrono::steady_clock::now();
            expectNoFalseSuccess(damaged, expected);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << at;
        }
    }
}

// Reads a format 5.0 variable-length integer at `p`, moving past it.
uint64_t vint(const std::vector<uint8_t>& a, size_t* p) {
    uint64_t v = 0;
    for (int shift = 0; *p < a.size(); shift += 7) {
        uint8_t b = a[(*p)++];
        v |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) break;
    }
    return v;
}

TEST(RarHostile, HugeDictionaryExponent) {
    REQUIRE_CORPUS(corpus);
    std::vector<uint8_t> a = test::readFile(corpus / "rar5" / "test_read_format_rar5_compressed.rar");
    // Walk to the first file header's compression information.
    size_t p = 8;
    for (;;) {
        ASSERT_LT(p + 4, a.size());
        p += 4;
        uint64_t size = vint(a, &p);
        size_t end = p + size_t(size);
        uint64_t type = vint(a, &p), flags = vint(a, &p), dataSize = 0;
        if (flags & 1) vint(a, &p);
        if (flags & 2) dataSize = vint(a, &p);
        if (type == 2) break;
        p = end + size_t(dataSize);
    }
    uint64_t fileFlags = vint(a, &p);
    vint(a, &p);  // unpacked size
    vint(a, &p);  // attributes
    if (fileFlags & 2) p += 4;
    if (fileFlags & 4) p += 4;
    size_t info = p;
    ASSERT_EQ(vint(a, &p), (a[info] & 0x7Fu) | uint64_t(a[info + 1] & 0x7F) << 7) << "a two-byte field";
    a[info + 1] |= 0x78;  // exponent 15: a 4 GiB dictionary for a small file

    Ref<Archive> archive = openBytes(u"x.rar", a);
    ASSERT_TRUE(archive);
    ASSERT_GT(archive->fileCount(), 0);
    Ref<InStream> stream(archive->openFile(0));
    // The window never exceeds what the stream decodes; where a window of the
    // dictionary's size could not be addressed, the entry does not open.
    if (sizeof(void*) < 8) {
        EXPECT_FALSE(stream);
    } else {
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->size(), archive->fileSize(0));
    }
}

TEST(RarHostile, MalformedCorpusFilesUnderTheWalker) {
    REQUIRE_CORPUS(corpus);
    for (const char* name : {"rar/channel-flood.rar", "rar/filter-flood.rar", "rar/hostile-maxmb255.rar",
                             "rar/test_read_format_rar_unbound_staticdata.rar", "rar/as-vm-1-trigger.rar",
                             "rar/hostile-ppm-ps-mask.rar", "rar/void-dist-v29.rar", "rar/loop.rar"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = test::readFile(corpus / name);
        auto start = std::chrono::steady_clock::now();
        walk::bytes(u"x.rar", bytes.data(), bytes.size());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    EXPECT_EQ(liveArchiveCount(), 0);
}

}  // namespace
}  // namespace zorvex
