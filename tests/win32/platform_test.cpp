// The Windows platform layer: the overlapped file source over real files,
// code-page conversions and local time through the Windows APIs.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <vector>

#include "engine/archive.h"
#include "engine/convert.h"
#include "engine/file_source.h"
#include "engine/names.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

using test::TempDir;

Ref<FileSource> openSource(const test::fs::path& path) {
    return Ref<FileSource>(openFileSource(test::enginePath(path).c_str()));
}

std::vector<uint8_t> readRange(FileSource* source, int64_t at, int count) {
    std::vector<uint8_t> out(static_cast<size_t>(count));
    EXPECT_TRUE(source->seek(at));
    out.resize(static_cast<size_t>(source->read(out.data(), count)));
    return out;
}

TEST(Win32FileSource, EmptyFileOpensAndReadsNothing) {
    TempDir dir;
    test::writeFile(dir / "empty", "");
    Ref<FileSource> source = openSource(dir / "empty");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->size(), 0);
    uint8_t byte;
    EXPECT_EQ(source->read(&byte, 1), 0);
    EXPECT_EQ(source->tell(), 0);
}

TEST(Win32FileSource, MissingFileDoesNotOpen) {
    TempDir dir;
    EXPECT_EQ(openFileSource(test::enginePath(dir / "absent").c_str()), nullptr);
    FileSource direct(test::enginePath(dir / "absent").c_str(), nullptr, 0, -1);
    EXPECT_FALSE(direct.isOpen());
    EXPECT_EQ(direct.size(), -1);
    EXPECT_EQ(direct.tell(), -1);
    EXPECT_FALSE(direct.seek(0));
}

TEST(Win32FileSource, SequentialReadDeliversEveryByteAcrossBlocks) {
    TempDir dir;
    // Several 1 MiB blocks and a short last one, read in odd-sized pieces.
    std::vector<uint8_t> data = test::sampleData(5 * 0x100000 + 12345, 7);
    test::writeFile(dir / "big", data.data(), data.size());
    Ref<FileSource> source = openSource(dir / "big");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->size(), static_cast<int64_t>(data.size()));
    std::vector<uint8_t> got;
    std::vector<uint8_t> piece(100003);
    int n;
    while ((n = source->read(piece.data(), static_cast<int>(piece.size()))) > 0)
        got.insert(got.end(), piece.begin(), piece.begin() + n);
    EXPECT_EQ(got, data);
    EXPECT_EQ(source->tell(), static_cast<int64_t>(data.size()));
}

TEST(Win32FileSource, SeeksForwardBackAndAcrossTheRing) {
    TempDir dir;
    std::vector<uint8_t> data = test::sampleData(9 * 0x100000 + 777, 3);
    test::writeFile(dir / "big", data.data(), data.size());
    Ref<FileSource> source = openSource(dir / "big");
    ASSERT_TRUE(source);
    std::mt19937 rng(11);
    for (int i = 0; i < 200; ++i) {
        int64_t at = rng() % data.size();
        int count = static_cast<int>(rng() % 300000) + 1;
        std::vector<uint8_t> got = readRange(source.get(), at, count);
        size_t expected = std::min<size_t>(static_cast<size_t>(count), data.size() - static_cast<size_t>(at));
        ASSERT_EQ(got.size(), expected) << "at " << at;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), data.begin() + at)) << "at " << at;
    }
    // Back to the start after reading far ahead.
    EXPECT_EQ(readRange(source.get(), 0, 16), std::vector<uint8_t>(data.begin(), data.begin() + 16));
}

// A reader hopping from header to header (a tar listing) gets the bytes it
// asks for, not the blocks around them: bytes further on, changed after the
// hop, are read fresh. Reading on from there streams through the ring.
TEST(Win32FileSource, HopsReadOnlyTheBytesAsked) {
    TempDir dir;
    constexpr int kMiB = 0x100000;
    std::vector<uint8_t> data = test::sampleData(4 * kMiB, 21);
    test::writeFile(dir / "f", data.data(), data.size());
    Ref<FileSource> source = openSource(dir / "f");
    ASSERT_TRUE(source);
    EXPECT_EQ(readRange(source.get(), kMiB + 0x30000, 512),
              std::vector<uint8_t>(data.begin() + kMiB + 0x30000, data.begin() + kMiB + 0x30000 + 512));
    {
        std::fstream f(dir / "f", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(kMiB + 0x32000);
        std::vector<char> fill(512, static_cast<char>(0xAB));
        f.write(fill.data(), 512);
        std::fill(data.begin() + kMiB + 0x32000, data.begin() + kMiB + 0x32000 + 512, 0xAB);
    }
    EXPECT_EQ(readRange(source.get(), kMiB + 0x32000, 512), std::vector<uint8_t>(512, 0xAB));
    std::vector<uint8_t> on(2 * kMiB);
    ASSERT_EQ(source->read(on.data(), 2 * kMiB), 2 * kMiB);
    EXPECT_TRUE(std::equal(on.begin(), on.end(), data.begin() + kMiB + 0x32000 + 512));
}

TEST(Win32FileSource, ReadsEndingOnABlockBoundaryGoOnInTheNextBlock) {
    TempDir dir;
    std::vector<uint8_t> data = test::sampleData(3 * 0x100000 + 5, 9);
    test::writeFile(dir / "f", data.data(), data.size());
    Ref<FileSource> source = openSource(dir / "f");
    ASSERT_TRUE(source);
    // Whole blocks (1 MiB on a local disk), then the few bytes after them.
    std::vector<uint8_t> got(0x100000);
    for (int block = 0; block < 3; ++block) {
        ASSERT_EQ(source->read(got.data(), 0x100000), 0x100000) << "block " << block;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), data.begin() + block * 0x100000)) << "block " << block;
    }
    EXPECT_EQ(source->read(got.data(), 100), 5);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 5, data.end() - 5));
    EXPECT_EQ(source->read(got.data(), 100), 0);
}

TEST(Win32FileSource, SeekToTheEndFailsButKeepsThePosition) {
    TempDir dir;
    std::vector<uint8_t> data = test::sampleData(100000, 5);
    test::writeFile(dir / "f", data.data(), data.size());
    Ref<FileSource> source = openSource(dir / "f");
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->seek(100000));
    EXPECT_EQ(source->tell(), 100000);
    // The next seek inside the file reschedules and reading works again.
    EXPECT_EQ(readRange(source.get(), 99990, 10), std::vector<uint8_t>(data.end() - 10, data.end()));
}

TEST(Win32FileSource, BlockSizeFollowsTheFile) {
    EXPECT_EQ(chooseBlockSize(0x100000, 512, 100000), 65536);
    EXPECT_EQ(chooseBlockSize(0x100000, 512, 0), 512);
    EXPECT_EQ(chooseBlockSize(0x100000, 512, 50 << 20), 0x100000);
    EXPECT_EQ(chooseBlockSize(8192, 4096, 100), 4096);
}

TEST(Win32FileSource, TagIsTheModificationTimeAndSiblingsOpen) {
    TempDir dir;
    test::writeFile(dir / "a.001", "first");
    test::writeFile(dir / "a.002", "second");
    HANDLE h = CreateFileW((dir / "a.001").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // 2021-03-04 05:06:07 UTC.
    constexpr int64_t kTime = 1614834367;
    uint64_t ft = static_cast<uint64_t>(kTime + 11644473600LL) * 10000000ULL;
    FILETIME write = {static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &write));
    CloseHandle(h);

    Ref<FileSource> first = openSource(dir / "a.001");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->tag(), kTime);
    Ref<InStream> second(first->openSibling(u"a.002"));
    ASSERT_TRUE(second);
    EXPECT_EQ(test::readAll(second.get()), std::vector<uint8_t>({'s', 'e', 'c', 'o', 'n', 'd'}));
    EXPECT_EQ(first->openSibling(u""), nullptr);
    EXPECT_EQ(first->openSibling(u"a.003"), nullptr);
}

TEST(Win32Convert, CodePages) {
    EXPECT_EQ(*utf8ToWide("gr\xc3\xbc\xc3\x9f \xe2\x82\xac"), u"gr\u00fc\u00df \u20ac");
    EXPECT_EQ(*wideToUtf8(u"gr\u00fc\u00df \u20ac"), "gr\xc3\xbc\xc3\x9f \xe2\x82\xac");
    EXPECT_EQ(*ansiToWide("plain.txt"), u"plain.txt");
    EXPECT_EQ(*oemToWide("PLAIN.TXT"), u"PLAIN.TXT");
    EXPECT_FALSE(utf8ToWide(""));
    // Malformed UTF-8 fails, so that a reader can fall back to a code page.
    EXPECT_FALSE(utf8ToWide("a\xE5" "a"));
    EXPECT_FALSE(utf8ToWide("\xC0\x80"));
    EXPECT_FALSE(wideToUtf8(u""));
    // A stored name ends at its first zero byte.
    EXPECT_EQ(*utf8ToWide(std::string_view("name\0junk", 9)), u"name");
    char16_t one[2];
    ASSERT_TRUE(ansiCharToWide('A', one));
    EXPECT_EQ(one[0], u'A');
    EXPECT_EQ(one[1], 0);
    ASSERT_TRUE(oemCharToWide('z', one));
    EXPECT_EQ(one[0], u'z');
}

TEST(Win32Convert, LocalTimes) {
    EXPECT_EQ(timeFromDos(0x0021, 0), timeFromParts(1980, 1, 1, 0, 0, 0));
    EXPECT_EQ(timeFromDos(0, 0), 0);
    EXPECT_EQ(timeFromDosPacked(0), 0);
    auto parts = timeToParts(timeFromDos(0x0021, 29));
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->second, 58);
    int64_t t = timeFromParts(2019, 7, 14, 15, 16, 17);
    ASSERT_GT(t, 0);
    parts = timeToParts(t);
    ASSERT_TRUE(parts);
    EXPECT_EQ((std::vector<int>{parts->year, parts->month, parts->day, parts->hour, parts->minute, parts->second}),
              (std::vector<int>{2019, 7, 14, 15, 16, 17}));
    EXPECT_EQ(timeFromDosPacked(0x4EEE7A08u), timeFromDos(0x4EEE, 0x7A08));
    EXPECT_FALSE(timeToParts(0));
    EXPECT_FALSE(timeToParts(-5));
    // A FILETIME is UTC: 2000-01-01 00:00:00 UTC is 946684800.
    EXPECT_EQ(timeFromFiletime(125911584000000000ULL), 946684800);
    EXPECT_EQ(timeFromFiletime(0), 0);
}

TEST(Win32Paths, FullAndNativeForms) {
    EXPECT_EQ(platform::toNativePath(u"C:/a/b"), L"C:\\a\\b");
    EXPECT_EQ(platform::fromNativePath(L"C:/a\\b"), u"C:\\a\\b");
    auto full = platform::fullPath(u"C:\\windows\\.\\system32\\..\\win.ini");
    ASSERT_TRUE(full);
    EXPECT_EQ(foldCase(*full), u"c:\\windows\\win.ini");
    EXPECT_FALSE(platform::fullPath(u""));
    EXPECT_EQ(platform::fullPath(u"C:\\a\\..\\..\\b\\"), std::u16string(u"C:\\b\\"));
    EXPECT_EQ(platform::fullPath(u"\\\\server\\share\\x\\..\\y.zip"), std::u16string(u"\\\\server\\share\\y.zip"));
    // Names inside archives are text, not devices or names to be trimmed.
    EXPECT_EQ(platform::fullPath(u"C:\\a.zip\\con"), std::u16string(u"C:\\a.zip\\con"));
    EXPECT_EQ(platform::fullPath(u"C:\\a.zip\\name. "), std::u16string(u"C:\\a.zip\\name. "));
    // Relative paths start in the current folder.
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    std::u16string expected = platform::fromNativePath(current);
    if (expected.back() != u'\\') expected += u'\\';
    EXPECT_EQ(foldCase(*platform::fullPath(u"x\\..\\y")), foldCase(expected + u"y"));
}

TEST(Win32Paths, PathsUpToADriveRootEndThere) {
    // A drive root is not an archive and has no parent: the walk up a path of
    // things that are not archives stops there instead of recursing forever.
    EXPECT_EQ(openArchivePath(u"C:\\"), nullptr);
    EXPECT_EQ(openArchivePath(u"C:\\windows\\no-such-folder\\x.zip\\y"), nullptr);
    EXPECT_EQ(openStreamPath(u"C:\\windows\\no-such-file"), nullptr);
    // A device name inside a path once made the walk climb forever.
    EXPECT_EQ(openStreamPath(u"C:\\windows\\win.ini\\con"), nullptr);
    EXPECT_EQ(openArchivePath(u"C:\\windows\\win.ini\\aux\\nul"), nullptr);
}

}  // namespace
}  // namespace zorvex
