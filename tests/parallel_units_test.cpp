// Streams whose units (xz blocks, zstd frames, gzip members, LZMA2 runs from a
// dictionary reset, bzip2 blocks) are decoded on worker threads: the same
// bytes as on one thread, damage met at the same byte for the same reason,
// seeks anywhere, and a worker limit of 0 that keeps everything on one thread.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/parallel_units.h"
#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex::test {
namespace {

constexpr size_t kDataSize = 2 << 20;
constexpr size_t kParts = 6;

struct Fixture {
    const char* name;
    const char* tool;
    const char* command;  // run where `data` and its parts `part.N` lie; writes `file`
    const char* file;
    int64_t leastPacked;  // below this much packed data, everything stays on one thread
    // The workers confirm a bzip2 block's CRC before any of it is delivered,
    // where one thread streams a block whose CRC then fails.
    bool withholdsDamagedUnit;
    // The data holds the bytes that end a deflate flush point (00 00 ff ff).
    bool flushLookAlikes = false;
};

// Packed data large enough to be split, in several units, as the threaded
// compressors write it (frames and members written one after the other are
// what pzstd and pigz --independent write).
constexpr Fixture kFixtures[] = {
    {"xz blocks", "xz", "xz -1 -T2 --block-size=300000 -c data > data.xz", "data.xz",
     ParallelUnits::kMinimumPacked, false},
    {"zstd frames", "zstd", "for p in part.*; do zstd -q -c $p; done > data.zst", "data.zst",
     ParallelUnits::kMinimumPacked, false},
    {"gzip members", "gzip", "for p in part.*; do gzip -n -c $p; done > data.gz", "data.gz",
     ParallelUnits::kMinimumPacked, false},
    {"LZMA2 resets", "7zz", "7zz a -bd -mmt2 -m0=lzma2:d=64k:c=256k:a=0 data.7z data > /dev/null", "data.7z",
     ParallelUnits::kMinimumPacked, false},
    {"bzip2 blocks", "bzip2", "bzip2 -1 -c data > data.bz2", "data.bz2", 0, true},
    // One member in parts that need nothing before them, each ended by a flush.
    {"gzip independent parts", "pigz", "pigz -n -i -p 2 -b 64 -c data > data.gz", "data.gz",
     ParallelUnits::kMinimumPacked, false},
    // The same flush points, but parts that refer back across them.
    {"gzip dependent parts", "pigz", "pigz -n -p 2 -b 64 -c data > data.gz", "data.gz",
     ParallelUnits::kMinimumPacked, false},
    // Stored data whose own bytes look like flush points.
    {"gzip stored parts", "pigz", "pigz -n -0 -i -p 2 -b 64 -c data > data.gz", "data.gz",
     ParallelUnits::kMinimumPacked, false, true},
};

struct Reading {
    std::vector<uint8_t> bytes;
    Status status;
};

Reading readEntry(const fs::path& file, int workers, bool expectWorkers = false) {
    setJobWorkerLimit(workers);
    Reading reading;
    Ref<InStream> stream(openStreamPath(insidePath(file, "data").c_str()));
    if (!stream) {
        ADD_FAILURE() << "does not open";
        return reading;
    }
    std::vector<uint8_t> piece(100000);
    int got = stream->read(piece.data(), static_cast<int>(piece.size()));
    reading.bytes.assign(piece.begin(), piece.begin() + std::max(got, 0));
    // The first read starts the workers, which live as long as the stream.
    if (expectWorkers) EXPECT_GT(liveJobWorkers(), 0);
    std::vector<uint8_t> rest = readAll(stream.get());
    reading.bytes.insert(reading.bytes.end(), rest.begin(), rest.end());
    reading.status = stream->status();
    return reading;
}

class ParallelUnitsTest : public ::testing::TestWithParam<Fixture> {
protected:
    void SetUp() override {
        if (!haveTool(GetParam().tool)) GTEST_SKIP() << GetParam().tool << " is not installed";
        data_ = sampleData(kDataSize, 34);
        if (GetParam().flushLookAlikes)
            for (size_t at = 100; at + 4 < data_.size(); at += 5000) std::memcpy(&data_[at], "\0\0\xff\xff", 4);
        writeFile(dir_ / "data", data_.data(), data_.size());
        const size_t part = data_.size() / kParts;
        for (size_t i = 0; i < kParts; ++i) {
            const size_t size = i + 1 == kParts ? data_.size() - i * part : part;
            writeFile(dir_ / ("part." + std::to_string(i)), data_.data() + i * part, size);
        }
        ASSERT_EQ(run("cd '" + dir_.path().string() + "' && " + GetParam().command), 0);
        file_ = dir_ / GetParam().file;
        ASSERT_GE(int64_t(fs::file_size(file_)), GetParam().leastPacked) << "too small to be split among workers";
    }
    void TearDown() override { setJobWorkerLimit(kMaxJobWorkers); }

    TempDir dir_;
    std::vector<uint8_t> data_;
    fs::path file_;
};

TEST_P(ParallelUnitsTest, WorkersGiveTheBytesOfOneThread) {
    Reading alone = readEntry(file_, 0);
    EXPECT_TRUE(alone.status.ok());
    EXPECT_TRUE(alone.bytes == data_);
    Reading shared = readEntry(file_, kMaxJobWorkers, true);
    EXPECT_TRUE(shared.status.ok()) << describe(shared.status);
    EXPECT_TRUE(shared.bytes == data_);
}

TEST_P(ParallelUnitsTest, DamageInAMiddleUnitEndsTheDataWhereOneThreadDoes) {
    std::vector<uint8_t> packed = readFile(file_);
    for (size_t at : {packed.size() * 3 / 5, packed.size() * 3 / 5 + 7}) packed[at] ^= 0x5A;
    writeFile(file_, packed.data(), packed.size());
    Reading alone = readEntry(file_, 0);
    Reading shared = readEntry(file_, kMaxJobWorkers);
    EXPECT_FALSE(alone.status.ok());
    // Damage shortens the data, or (a changed literal in gzip) only alters it.
    EXPECT_FALSE(alone.bytes == data_);
    EXPECT_EQ(shared.status.kind(), alone.status.kind()) << describe(shared.status);
    if (GetParam().withholdsDamagedUnit) {
        ASSERT_LE(shared.bytes.size(), alone.bytes.size());
        EXPECT_TRUE(std::equal(shared.bytes.begin(), shared.bytes.end(), alone.bytes.begin()));
        EXPECT_TRUE(std::equal(shared.bytes.begin(), shared.bytes.end(), data_.begin()));
        return;
    }
    EXPECT_EQ(shared.bytes.size(), alone.bytes.size());
    EXPECT_TRUE(shared.bytes == alone.bytes);
}

TEST_P(ParallelUnitsTest, SeeksBackAndForthWhileWorkersRun) {
    setJobWorkerLimit(kMaxJobWorkers);
    Ref<InStream> stream(openStreamPath(insidePath(file_, "data").c_str()));
    ASSERT_TRUE(stream);
    const size_t positions[] = {0, 2000000, 300000, kDataSize - 10, 1500000, 17, 1000000};
    for (size_t position : positions) {
        SCOPED_TRACE(position);
        ASSERT_TRUE(stream->seek(static_cast<int64_t>(position)));
        uint8_t got[10];
        ASSERT_TRUE(readExact(stream.get(), got, sizeof got));
        EXPECT_TRUE(std::equal(got, got + sizeof got, data_.begin() + static_cast<ptrdiff_t>(position)));
    }
    EXPECT_FALSE(stream->damaged());
}

INSTANTIATE_TEST_SUITE_P(Units, ParallelUnitsTest, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<Fixture>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// A gzip member of `data` made by zlib (no archiver needed: this runs on Windows too).
std::vector<uint8_t> gzipMember(const uint8_t* data, size_t size, int level = 1) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out(deflateBound(&zs, static_cast<uLong>(size)) + 32);
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// Workers start with a stream's first read and have all ended once it is
// released, whatever they were doing: the Windows library may be unloaded
// only then (its DllCanUnloadNow asks).
TEST(ParallelUnitsLifetime, WorkersEndWithTheirStream) {
    std::vector<uint8_t> data = sampleData(kDataSize, 36);
    std::vector<uint8_t> packed;
    for (size_t at = 0; at < data.size(); at += 100000) {
        std::vector<uint8_t> member = gzipMember(data.data() + at, std::min<size_t>(100000, data.size() - at));
        packed.insert(packed.end(), member.begin(), member.end());
    }
    ASSERT_GE(int64_t(packed.size()), ParallelUnits::kMinimumPacked);
    for (size_t readFirst : {size_t{1}, data.size()}) {
        SCOPED_TRACE(readFirst);
        ASSERT_EQ(liveJobWorkers(), 0);
        {
            Ref<InStream> stream = openCodec(u"gzip", packed, -1);
            ASSERT_TRUE(stream);
            std::vector<uint8_t> got(readFirst);
            ASSERT_TRUE(readExact(stream.get(), got.data(), static_cast<int>(got.size())));
            EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
            EXPECT_GT(liveJobWorkers(), 0);
        }
        EXPECT_EQ(liveJobWorkers(), 0);
    }
    setJobWorkerLimit(0);
    Ref<InStream> alone = openCodec(u"gzip", packed, -1);
    EXPECT_TRUE(readAll(alone.get()) == data);
    EXPECT_EQ(liveJobWorkers(), 0);
    setJobWorkerLimit(kMaxJobWorkers);
}

// One plain member larger than the search for flush points (stored, so that
// none is found) is decoded on the caller's thread from the start, with no
// worker started: the bytes, and the damage at its end, of one thread.
TEST(ParallelUnitsGzip, OnePlainMember) {
    std::vector<uint8_t> data = sampleData(kDataSize, 38);
    std::vector<uint8_t> packed = gzipMember(data.data(), data.size(), 0);
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged);
        if (damaged) packed[packed.size() - 6] ^= 0x10;  // the CRC
        std::vector<uint8_t> got[2];
        for (int workers : {0, kMaxJobWorkers}) {
            setJobWorkerLimit(workers);
            Ref<InStream> stream = openCodec(u"gzip", packed, -1);
            ASSERT_TRUE(stream);
            got[workers > 0] = readAll(stream.get());
            EXPECT_EQ(stream->damaged(), damaged);
            EXPECT_EQ(liveJobWorkers(), 0);
        }
        EXPECT_TRUE(got[0] == got[1]);
        if (!damaged) EXPECT_TRUE(got[1] == data);
    }
    setJobWorkerLimit(kMaxJobWorkers);
}

// The command line's thread count reaches the engine: one thread and many
// give the same bytes.
TEST(ParallelUnitsCli, ThreadCountOption) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    std::vector<uint8_t> data = sampleData(kDataSize, 35);
    writeFile(dir / "data", data.data(), data.size());
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && xz -1 -T2 --block-size=300000 data"), 0);
    for (const char* threads : {"-j 1", "--threads 8"}) {
        SCOPED_TRACE(threads);
        int status = -1;
        std::string out = runOutput(cliPath() + " " + threads + " cat '" + (dir / "data.xz/data").string() + "'",
                                    &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(std::vector<uint8_t>(out.begin(), out.end()) == data);
    }
    EXPECT_NE(run(cliPath() + " -j 0 cat '" + (dir / "data.xz/data").string() + "' 2>/dev/null"), 0);
}

// One gzip member of independent parts: any thread count gives gunzip's
// bytes, and damage anywhere the bytes, message and exit status of one thread.
TEST(ParallelUnitsCli, GzipMemberInParts) {
    REQUIRE_TOOL("pigz");
    TempDir dir;
    std::vector<uint8_t> data = sampleData(kDataSize, 37);
    writeFile(dir / "data", data.data(), data.size());
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && pigz -n -i -b 64 data"), 0);
    const fs::path file = dir / "data.gz";
    const std::vector<uint8_t> packed = readFile(file);
    struct Case {
        const char* name;
        size_t at;  // the byte changed, from the end when negative
        bool fromEnd;
    };
    const Case cases[] = {
        {"intact", 0, false},
        {"middle part", packed.size() / 2, false},
        {"last part", packed.size() - 300, false},
        {"trailer CRC", 8, true},
        {"trailer size", 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> changed = packed;
        const bool intact = c.at == 0;
        if (!intact) changed[c.fromEnd ? changed.size() - c.at : c.at] ^= 0x21;
        writeFile(file, changed.data(), changed.size());
        std::string first;
        int firstStatus = -1;
        for (int threads : {1, 2, 8}) {
            SCOPED_TRACE(threads);
            int status = -1;
            const std::string command = cliPath() + " -j " + std::to_string(threads) + " cat '" +
                                        (dir / "data.gz/data").string() + "' 2>&1";
            std::string out = runOutput(command, &status);
            if (intact) {
                EXPECT_EQ(status, 0);
                EXPECT_TRUE(std::vector<uint8_t>(out.begin(), out.end()) == data);
                continue;
            }
            EXPECT_NE(status, 0);
            if (threads == 1) {
                first = out;
                firstStatus = status;
                EXPECT_LT(out.size(), data.size() + 200) << "damage went unseen";
            } else {
                EXPECT_EQ(status, firstStatus);
                EXPECT_EQ(out.size(), first.size());
                EXPECT_TRUE(out == first) << "output or message differs from one thread's";
            }
        }
    }
}

}  // namespace
}  // namespace zorvex::test
