// Opening archives, folders, nested archives and files by path.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/format_registry.h"
#include "engine/path_clean.h"
#include "engine/stream.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

// A minimal stored container for these tests: a signature, then records of
// name length (1 byte), name ("/"-separated), data size (4 bytes LE) and data.
const uint8_t kPackSignature[] = {0xE7, 'P', 'K', '1'};

Archive* openPack(const char16_t* name, Archive* container, InStream* stream) {
    Ref<Archive> archive(newArchive(name, container, stream));
    int64_t end = stream->size();
    int64_t position = sizeof kPackSignature;
    while (position < end && stream->seek(position)) {
        uint8_t length;
        char entryName[256];
        uint8_t size[4];
        if (!readExact(stream, &length, 1) || !readExact(stream, entryName, length) || !readExact(stream, size, 4))
            return nullptr;
        int64_t dataSize = size[0] | size[1] << 8 | size[2] << 16 | int64_t(size[3]) << 24;
        std::u16string path(entryName, entryName + length);
        int64_t offset = position + 1 + length + 4;
        addEntry(archive.get(), findCodec(u"store"), path, offset, dataSize, dataSize, 0);
        position = offset + dataSize;
    }
    return archive.detach();
}

const char16_t* const kPackExtensions[] = {u".tpk"};
FunctionFormat packFormat(u"test-pack", kPackExtensions, 1, kPackSignature, 4, openPack);

using Files = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

std::vector<uint8_t> pack(const Files& files) {
    std::vector<uint8_t> out(std::begin(kPackSignature), std::end(kPackSignature));
    for (const auto& [name, data] : files) {
        out.push_back(static_cast<uint8_t>(name.size()));
        out.insert(out.end(), name.begin(), name.end());
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(data.size() >> (8 * i)));
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

class PathApi : public ::testing::Test {
protected:
    void SetUp() override {
        liveBefore_ = liveArchiveCount();
        auto inner = pack({{"deep/x.bin", bytes("inner data")}});
        auto outer = pack({{"docs/readme.txt", bytes("read me")}, {"inner.tpk", inner}, {"a.txt", bytes("plain")}});
        test::writeFile(dir_ / "outer.tpk", outer.data(), outer.size());
        outer_ = test::enginePath(dir_ / "outer.tpk");
    }
    void TearDown() override { EXPECT_EQ(liveArchiveCount(), liveBefore_) << "an archive was leaked"; }

    std::u16string at(const std::u16string& rest) const { return outer_ + u"\\" + rest; }
    static std::string text(InStream* s) {
        auto v = test::readAll(s);
        return std::string(v.begin(), v.end());
    }

    test::TempDir dir_;
    std::u16string outer_;
    int liveBefore_ = 0;
};

TEST_F(PathApi, OpensArchivesFoldersAndNestedArchives) {
    Ref<Archive> outer(openArchivePath(outer_.c_str()));
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->fileCount(), 1);
    EXPECT_EQ(outer->nestedCount(), 1);
    EXPECT_EQ(outer->folderCount(), 1);

    Ref<Archive> docs(openArchivePath(at(u"docs").c_str()));
    ASSERT_TRUE(docs);
    EXPECT_EQ(std::u16string(docs->name()), at(u"docs"));
    ASSERT_EQ(docs->fileCount(), 1);
    EXPECT_EQ(std::u16string(docs->fileName(0)), u"readme.txt");

    Ref<Archive> deep(openArchivePath(at(u"inner.tpk\\deep").c_str()));
    ASSERT_TRUE(deep);
    Ref<InStream> x(deep->openFileByName(u"x.bin"));
    ASSERT_TRUE(x);
    EXPECT_EQ(text(x.get()), "inner data");

    // A trailing separator names the same folder.
    Ref<Archive> again(openArchivePath(at(u"docs\\").c_str()));
    EXPECT_EQ(again.get(), docs.get());

    EXPECT_FALSE(Ref<Archive>(openArchivePath(at(u"missing").c_str())));
    EXPECT_FALSE(Ref<Archive>(openArchivePath(test::enginePath(dir_ / "nothing.tpk").c_str())));
    EXPECT_FALSE(Ref<Archive>(openArchivePath(u"")));
}

TEST_F(PathApi, RepeatedOpensShareTheLiveArchive) {
    Ref<Archive> first(openArchivePath(outer_.c_str()));
    Ref<Archive> second(openArchivePath(at(u"docs\\..").c_str()));
    EXPECT_EQ(first.get(), second.get());
    Ref<Archive> nested1(openArchivePath(at(u"inner.tpk").c_str()));
    Ref<Archive> nested2(openArchivePath(at(u"INNER.TPK").c_str()));
    ASSERT_TRUE(nested1);
    EXPECT_EQ(nested1.get(), nested2.get());
    Ref<Archive> container(nested1->owner());
    EXPECT_EQ(container.get(), first.get());

    // A thread's own copy shares nothing, in either direction, and neither
    // do the levels below it.
    Ref<Archive> copy, copyDocs;
    {
        OpeningOwnCopy own;
        copy = Ref<Archive>(openArchivePath(outer_.c_str()));
        copyDocs = Ref<Archive>(openArchivePath(at(u"docs").c_str()));
    }
    ASSERT_TRUE(copy && copyDocs);
    EXPECT_NE(copy.get(), first.get());
    EXPECT_FALSE(copy->shared() || copyDocs->shared());
    Ref<Archive> docs(openArchivePath(at(u"docs").c_str()));
    EXPECT_NE(docs.get(), copyDocs.get());
    EXPECT_TRUE(docs->shared());
    EXPECT_EQ(Ref<Archive>(openArchivePath(outer_.c_str())).get(), first.get());
}

TEST_F(PathApi, OpensStreamsAndHandsOutWhatTheLastComponentIs) {
    Ref<InStream> readme(openStreamPath(at(u"docs\\readme.txt").c_str()));
    ASSERT_TRUE(readme);
    EXPECT_EQ(text(readme.get()), "read me");

    Ref<InStream> nestedRaw(openStreamPath(at(u"inner.tpk").c_str()));
    ASSERT_TRUE(nestedRaw);
    EXPECT_EQ(test::readAll(nestedRaw.get()), pack({{"deep/x.bin", bytes("inner data")}}));

    Archive* folder = nullptr;
    EXPECT_EQ(openStreamPath(at(u"docs").c_str(), &folder), nullptr);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->fileCount(), 1);
    folder->release();

    InStream* file = nullptr;
    EXPECT_EQ(openArchivePath(at(u"a.txt").c_str(), &file), nullptr);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(text(file), "plain");
    file->release();

    EXPECT_EQ(openStreamPath(at(u"nope").c_str()), nullptr);
}

TEST_F(PathApi, NormalizesAndFindsParents) {
    EXPECT_EQ(normalizePath(u""), std::u16string());
    EXPECT_EQ(normalizePath(u"\\a/b\\..\\c\\.\\d"), std::u16string(u"\\a\\c\\d"));
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    EXPECT_EQ(normalizePath(u"x\\..\\y"), platform::fromNativePath(cwd) + u"\\y");

    EXPECT_EQ(parentPath(at(u"docs\\readme.txt").c_str()), at(u"docs"));
    EXPECT_EQ(parentPath(at(u"docs\\").c_str()), outer_);
    EXPECT_EQ(parentPath(u"\\home"), std::u16string(u"\\"));
    EXPECT_EQ(parentPath(u"\\"), std::nullopt);
}

// Drive-like components, device and long-path prefixes and very deep paths
// typed by a user: each walk ends, with nothing found.
TEST_F(PathApi, TypedPathsEndInAResultOrNothing) {
    for (const char16_t* rest : {u"c:", u"c:\\a.txt", u"c:\\", u"//./c:/a.txt", u"//?/c:/a.txt", u"////c:/a.txt",
                                 u"\\\\C:\\\\a.txt", u"docs\\c:\\readme.txt", u"inner.tpk\\d:"}) {
        SCOPED_TRACE(std::string(rest, rest + std::char_traits<char16_t>::length(rest)));
        InStream* stream = nullptr;
        EXPECT_EQ(openArchivePath(at(rest).c_str(), &stream), nullptr);
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(openStreamPath(at(rest).c_str()), nullptr);
    }
    std::u16string deep = outer_;
    for (int i = 0; i < 3000; ++i) deep += u"\\c:";
    EXPECT_EQ(openArchivePath(deep.c_str()), nullptr);
    EXPECT_EQ(openStreamPath((deep + u"\\a.txt").c_str()), nullptr);

}

}  // namespace
}  // namespace zorvex
