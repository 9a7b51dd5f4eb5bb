// Seeks into large compressed streams decode a bounded amount: xz from the
// block, zstd from the frame, Deflate (raw and gzip) from the decoder state
// kept every MiB or so of the first pass, gzip members from their start,
// whether the first pass ran on this thread or on workers. Counted in packed
// bytes read, not time.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"

namespace zorvex::test {
namespace {

constexpr size_t kDataSize = 16 << 20;

// Text-like data that compresses about 3:1, the same on every run.
const std::vector<uint8_t>& sampleData() {
    static const std::vector<uint8_t> data = [] {
        static const char* const kWords[] = {"archive", "stream", "block", "frame", "window", "offset",
                                             "restart", "member", "decoder", "history", "index", "point"};
        std::vector<uint8_t> out;
        out.reserve(kDataSize + 16);
        uint32_t state = 12345;
        while (out.size() < kDataSize) {
            state = state * 1103515245 + 12345;
            const char* word = kWords[(state >> 16) % 12];
            out.insert(out.end(), word, word + std::strlen(word));
            out.push_back((state >> 8) % 7 == 0 ? '\n' : ' ');
            if ((state >> 4) % 5 == 0) out.push_back(uint8_t('0' + (state >> 20) % 10));
        }
        out.resize(kDataSize);
        return out;
    }();
    return data;
}

// Compresses "data" as one gzip member with a flush of the kind argv[1]
// names (zlib's Z_SYNC_FLUSH or Z_FULL_FLUSH) after every 128 KiB.
#define kFlushedGzip                                                                        \
    "import sys,zlib; d=open('data','rb').read(); c=zlib.compressobj(1,zlib.DEFLATED,31); " \
    "sys.stdout.buffer.write(b''.join(c.compress(d[i:i+131072])+c.flush(int(sys.argv[1])) " \
    "for i in range(0,len(d),131072))+c.flush())"

struct Packing {
    const char* name;
    const char16_t* codec;
    // Whether every block or frame carries a check, which bytes overwritten
    // inside it fail; Deflate finds them only where they decode to no valid
    // code (a gzip member's CRC is for a read to its end).
    bool checksUnits;
    const char* command;  // packs the file "data" into "packed"
};

const Packing kPackings[] = {
    {"xz blocks", u"xz", true, "xz -1 -T2 --block-size=2MiB -c data > packed"},
    {"zstd frames", u"zstd", true,
     "split -b 2M data part. && for f in part.*; do zstd -q -1 --check -c $f; done > packed"},
    {"gzip member", u"gzip", false, "gzip -1 -c data > packed"},
    // What parallel gzip writers make: a member cut at flush points every
    // 128 KiB, its parts referring back across them or not, and small members.
    {"gzip flush points", u"gzip", false, "python3 -c \"" kFlushedGzip "\" 2 > packed"},
    {"gzip independent parts", u"gzip", false, "python3 -c \"" kFlushedGzip "\" 3 > packed"},
    {"gzip 64 KiB members", u"gzip", false,
     "python3 -c \"import gzip,sys; d=open('data','rb').read(); "
     "[sys.stdout.buffer.write(gzip.compress(d[i:i+65536],1)) for i in range(0,len(d),65536)]\" > packed"},
    {"raw deflate", u"deflate", false,
     "python3 -c \"import sys,zlib; c=zlib.compressobj(1,zlib.DEFLATED,-15); "
     "sys.stdout.buffer.write(c.compress(open('data','rb').read())+c.flush())\" > packed"},
};

// The programs the packings run; a test skips without them (under Wine).
#define REQUIRE_PACKERS()       \
    REQUIRE_TOOL("xz");         \
    REQUIRE_TOOL("zstd");       \
    REQUIRE_TOOL("gzip");       \
    REQUIRE_TOOL("python3")

// Packed once for all the tests.
const std::vector<uint8_t>& pack(const Packing& packing) {
    static std::map<std::string, std::vector<uint8_t>> packed;
    std::vector<uint8_t>& bytes = packed[packing.name];
    if (bytes.empty()) {
        TempDir dir;
        const std::vector<uint8_t>& data = sampleData();
        writeFile(dir / "data", data.data(), data.size());
        EXPECT_EQ(run("cd '" + dir.path().string() + "' && " + packing.command), 0) << packing.name;
        bytes = readFile(dir / "packed");
    }
    return bytes;
}

TEST(RestartPoints, SeeksAfterTheFirstPassDecodeLittle) {
    REQUIRE_PACKERS();
    const std::vector<uint8_t>& data = sampleData();
    for (const Packing& packing : kPackings) {
        SCOPED_TRACE(packing.name);
        const std::vector<uint8_t>& packed = pack(packing);
        onBothPaths([&] {
            Ref<CountingStream> counted(new CountingStream(memorySource(packed).detach()));
            Ref<InStream> stream = openCodec(packing.codec, counted.get(), 0, int64_t(packed.size()), -1);
            ASSERT_TRUE(stream);
            EXPECT_TRUE(stream->restartsNearby());
            ASSERT_TRUE(readAll(stream.get()) == data);
            ASSERT_FALSE(stream->damaged());
            // Back and forth: each read costs no more packed bytes than the
            // few MiB of output around its target, whatever the distance.
            const int64_t bound = int64_t(packed.size()) / 3;
            const size_t targets[] = {kDataSize - 70000, kDataSize / 2 + 12345, 5 << 20, 1 << 20, kDataSize - 1};
            for (size_t target : targets) {
                SCOPED_TRACE(target);
                const int64_t before = counted->bytesRead;
                const std::vector<uint8_t> got = readAt(stream.get(), int64_t(target), 65536);
                EXPECT_TRUE(got == slice(data, target, std::min<size_t>(65536, kDataSize - target)));
                EXPECT_LT(counted->bytesRead - before, bound);
            }
            EXPECT_FALSE(stream->damaged());
        });
    }
}

// Which files a reader going back and forth (the mount) may read in place:
// those whose data lies in the archive's file, or in a stream that restarts
// nearby. A file of a solid 7z block is a window of decoded data: going back
// would decode the block again from its start, so it does not count.
TEST(RestartPoints, OnlyWindowsOfStoredOrRestartableDataSeekBounded) {
    REQUIRE_TOOL("7zz");
    REQUIRE_TOOL("xz");
    struct Case {
        const char* archive;
        const char* command;  // run in a folder holding "data" and "more"
        const char* inner;    // the path of "data" inside
        bool bounded;
    };
    const Case cases[] = {
        {"solid.7z", "7zz a -bd -ms=on solid.7z data more >/dev/null", "data", false},
        {"lzma.7z", "7zz a -bd -ms=off lzma.7z data more >/dev/null", "data", false},
        {"stored.zip", "7zz a -bd -tzip -mx=0 stored.zip data more >/dev/null", "data", true},
        {"plain.tar", "tar cf plain.tar data more", "data", true},
        {"blocks.tar.xz", "tar cf - data more | xz -T2 --block-size=1MiB > blocks.tar.xz", "blocks.tar/data", true},
        // A level inside a solid block is kept as it is first decoded.
        {"nested.7z", "7zz a -bd -tzip -mx=0 in.zip data >/dev/null && 7zz a -bd -ms=on nested.7z in.zip more >/dev/null",
         "in.zip/data", true},
    };
    TempDir tmp;
    const std::vector<uint8_t> data = test::sampleData(3 << 20, 5);
    writeFile(tmp / "data", data.data(), data.size());
    writeFile(tmp / "more", "more\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        ASSERT_EQ(run("cd '" + tmp.path().string() + "' && " + c.command), 0);
        InStream* opened = nullptr;
        Ref<Archive> archive(openArchivePath(insidePath(tmp / c.archive, c.inner).c_str(),
                                             &opened, ReadPlan::kRandomAccess));
        Ref<InStream> stream(opened);
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->seeksBounded(), c.bounded);
    }
}

// An extraction reads each entry once, front to back: the decoder keeps no
// states to restart from (they cost a tenth of the decoding), while a reader
// that browses keeps them.
TEST(RestartPoints, OnlyReadersThatMayGoBackKeepDecoderStates) {
    REQUIRE_TOOL("gzip");
    TempDir tmp;
    const std::vector<uint8_t> data = test::sampleData(3 << 20, 9);
    writeFile(tmp / "d", data.data(), data.size());
    ASSERT_EQ(run("gzip -1 '" + (tmp / "d").string() + "'"), 0);
    for (ReadPlan plan : {ReadPlan::kEveryEntry, ReadPlan::kBrowse, ReadPlan::kRandomAccess}) {
        SCOPED_TRACE(int(plan));
        InStream* opened = nullptr;
        Ref<Archive> archive(openArchivePath(insidePath(tmp / "d.gz", "d").c_str(), &opened, plan));
        Ref<InStream> stream(opened);
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->restartsNearby(), plan != ReadPlan::kEveryEntry);
        EXPECT_TRUE(readAll(stream.get()) == data);
    }
}

// Damage past the last restart point before a target is decoded on the way
// to it: the read fails rather than give bytes that are not the data.
TEST(RestartPoints, DamagePastARestartPointStillFails) {
    REQUIRE_PACKERS();
    const std::vector<uint8_t>& data = sampleData();
    for (const Packing& packing : kPackings) {
        const std::vector<uint8_t>& packed = pack(packing);
        const size_t damageAt = packed.size() * 4 / 5;
        std::vector<uint8_t> overwritten = packed;
        for (size_t i = 0; i < 4096; ++i) overwritten[damageAt + i] = uint8_t(i * 131 + 7);
        const std::vector<uint8_t> cut(packed.begin(), packed.begin() + std::ptrdiff_t(damageAt));
        const std::vector<uint8_t>* variants[] = {&cut, packing.checksUnits ? &overwritten : nullptr};
        for (const std::vector<uint8_t>* damaged : variants) {
            if (!damaged) continue;
            SCOPED_TRACE(std::string(packing.name) + (damaged == &cut ? " cut short" : " overwritten"));
            Ref<InStream> stream = openCodec(packing.codec, *damaged, -1);
            if (!stream) continue;  // a container that checks its index refuses it at once
            // The first pass stops halfway, with restart points behind it.
            EXPECT_TRUE(readAt(stream.get(), 0, int(kDataSize / 2)) == slice(data, 0, kDataSize / 2));
            // The 2 MiB around where the damage lies (the data compresses evenly).
            const size_t target = kDataSize * 4 / 5 - (1 << 20);
            const std::vector<uint8_t> got = readAt(stream.get(), int64_t(target), 2 << 20);
            EXPECT_TRUE(stream->damaged() || got.size() < (2u << 20)) << got.size();
        }
    }
}

}  // namespace
}  // namespace zorvex::test
