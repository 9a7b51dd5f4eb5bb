// WavPack: WAV files of each sample width and channel count, compressed by the
// real encoder and stored as zip entries of method 97, come back byte for
// byte, whether their runs of blocks are decoded on worker threads or on the
// caller's alone; damage inside them is reported.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/crc32.h"
#include "engine/stream.h"
#include "tests/codec_fixtures.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

using test::TempDir;

// Writes a WAV file: a sine with noise, and optionally a LIST chunk after
// the samples.
const char* const kMakeWav = R"(
import math, random, struct, sys
path, bits, channels, frames, trailer = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] == '1'
random.seed(bits * 10 + channels)
width = bits // 8
data = bytearray()
low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
for i in range(frames):
    for c in range(channels):
        v = max(low, min(high, int(math.sin(i * 0.01 * (c + 1)) * high * 0.8) + random.randint(-50, 50)))
        data += bytes([(v + 128) & 0xFF]) if bits == 8 else (v & ((1 << bits) - 1)).to_bytes(width, 'little')
fmt = struct.pack('<HHIIHH', 1, channels, 44100, 44100 * channels * width, channels * width, bits)
body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data
if len(data) % 2:
    body += b'\0'
if trailer:
    info = b'INFOISFT' + struct.pack('<I', 8) + b'testing\0'
    body += b'LIST' + struct.pack('<I', len(info)) + info
open(path, 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
)";

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A zip archive with one entry of method 97 holding `packed`.
std::vector<uint8_t> zipWithWavPackEntry(const std::string& name, const std::vector<uint8_t>& packed,
                                         const std::vector<uint8_t>& plain) {
    const uint32_t crc = crc32Update(0, plain.data(), plain.size());
    std::vector<uint8_t> zip;
    auto header = [&](bool central) {
        put32(zip, central ? 0x02014B50 : 0x04034B50);
        if (central) put16(zip, 63);
        put16(zip, 63);
        put16(zip, 0);
        put16(zip, 97);
        put16(zip, 0);
        put16(zip, 0x5A21);
        put32(zip, crc);
        put32(zip, static_cast<uint32_t>(packed.size()));
        put32(zip, static_cast<uint32_t>(plain.size()));
        put16(zip, static_cast<uint32_t>(name.size()));
        put16(zip, 0);
        if (central) {
            put16(zip, 0);
            put16(zip, 0);
            put16(zip, 0);
            put32(zip, 0);
            put32(zip, 0);
        }
        zip.insert(zip.end(), name.begin(), name.end());
    };
    header(false);
    zip.insert(zip.end(), packed.begin(), packed.end());
    const size_t central = zip.size();
    header(true);
    const size_t centralSize = zip.size() - central;
    put32(zip, 0x06054B50);
    put32(zip, 0);
    put16(zip, 1);
    put16(zip, 1);
    put32(zip, static_cast<uint32_t>(centralSize));
    put32(zip, static_cast<uint32_t>(central));
    put16(zip, 0);
    return zip;
}

struct Fixture {
    std::vector<uint8_t> wav;
    std::vector<uint8_t> packed;
    std::u16string entryPath;
};

// With `tagged`, a tag follows the blocks, as taggers append one.
Fixture makeEntry(const TempDir& dir, int bits, int channels, int frames, bool trailer, bool tagged = false) {
    Fixture f;
    const std::string stem = "w" + std::to_string(bits) + "x" + std::to_string(channels) + "_" + std::to_string(frames);
    test::writeFile(dir / "make_wav.py", kMakeWav);
    const std::string wav = (dir / (stem + ".wav")).string();
    const std::string wv = (dir / (stem + ".wv")).string();
    EXPECT_EQ(test::run("python3 '" + (dir / "make_wav.py").string() + "' '" + wav + "' " + std::to_string(bits) + " " +
                        std::to_string(channels) + " " + std::to_string(frames) + (trailer ? " 1" : " 0")),
              0);
    EXPECT_EQ(test::run("wavpack -q -y '" + wav + "' -o '" + wv + "'"), 0);
    if (tagged) EXPECT_EQ(test::run("wvtag -q -w Artist=Someone -w Title=Something '" + wv + "'"), 0);
    f.wav = test::readFile(wav);
    f.packed = test::readFile(wv);
    auto zip = zipWithWavPackEntry(stem + ".wav", f.packed, f.wav);
    test::writeFile(dir / (stem + ".zip"), zip.data(), zip.size());
    f.entryPath = test::enginePath(dir / (stem + ".zip")) + u"\\" + std::u16string(stem.begin(), stem.end()) + u".wav";
    return f;
}

// Where each block of a WavPack file begins.
std::vector<size_t> blockStarts(const std::vector<uint8_t>& packed) {
    std::vector<size_t> starts;
    for (size_t at = 0; at + 8 <= packed.size() && std::equal(packed.begin() + at, packed.begin() + at + 4, "wvpk");) {
        starts.push_back(at);
        at += 8 + (packed[at + 4] | packed[at + 5] << 8 | packed[at + 6] << 16);
    }
    return starts;
}

// Reads the entry whole, then at offsets that seek back across runs: header,
// samples and trailer all come back.
void expectWholeAndSeeks(const Fixture& f) {
    Ref<InStream> s(openStreamPath(f.entryPath.c_str()));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), static_cast<int64_t>(f.wav.size()));
    EXPECT_TRUE(test::readAll(s.get()) == f.wav);
    EXPECT_FALSE(s->damaged());
    const int64_t size = s->size();
    for (int64_t at : {size - 40, int64_t(0), size * 3 / 4, size / 4, int64_t(10), size - 1}) {
        auto got = test::readAt(s.get(), at, 5000);
        ASSERT_EQ(static_cast<int64_t>(got.size()), std::min<int64_t>(5000, size - at)) << at;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), f.wav.begin() + at)) << at;
    }
    EXPECT_FALSE(s->seek(size));
}

TEST(WavPack, EverySampleWidthComesBackAsTheWavFile) {
    REQUIRE_TOOL("wavpack");
    REQUIRE_TOOL("python3");
    TempDir dir;
    const int shapes[][2] = {{8, 1}, {16, 2}, {24, 2}, {32, 1}};
    for (auto [bits, channels] : shapes) {
        SCOPED_TRACE(bits);
        // 8-bit mono with an odd frame count also checks the pad byte.
        Fixture f = makeEntry(dir, bits, channels, bits == 8 ? 30001 : 20000, true);
        test::onBothPaths([&] { expectWholeAndSeeks(f); });
    }
}

// Files of several runs: stereo, six channels (each range of samples spans
// three blocks) and one with a tag after its blocks.
TEST(WavPack, LongFilesComeBackWholeFromTheirRuns) {
    REQUIRE_TOOL("wavpack");
    REQUIRE_TOOL("wvtag");
    REQUIRE_TOOL("python3");
    TempDir dir;
    const Fixture files[] = {makeEntry(dir, 16, 2, 300000, true), makeEntry(dir, 24, 6, 80000, false),
                             makeEntry(dir, 16, 2, 300001, true, true)};
    for (const Fixture& f : files) {
        ASSERT_GT(f.wav.size(), 1u << 20);  // more than one run
        test::onBothPaths([&] { expectWholeAndSeeks(f); });
    }
}

// Damage inside a long file: a changed byte in its first run and in its last,
// a block left out, a block header broken, and the file cut inside a block.
// What comes before the damage is delivered; then the stream ends, damaged.
TEST(WavPack, DamageInsideALongFileEndsItThere) {
    REQUIRE_TOOL("wavpack");
    REQUIRE_TOOL("python3");
    TempDir dir;
    Fixture f = makeEntry(dir, 16, 2, 300000, false);
    const std::vector<size_t> starts = blockStarts(f.packed);
    ASSERT_GT(starts.size(), 20u);
    const size_t early = starts.size() * 3 / 10;
    const size_t late = starts.size() * 9 / 10;
    std::vector<std::vector<uint8_t>> variants(5, f.packed);
    variants[0][starts[early] + 500] ^= 0x10;
    variants[1][starts[late] + 500] ^= 0x10;
    variants[2].erase(variants[2].begin() + starts[late], variants[2].begin() + starts[late + 1]);
    variants[3][starts[late] + 1] = 'x';
    variants[4].resize(starts[late] + 100);
    Codec* codec = findCodec(u"wavpack");
    ASSERT_TRUE(codec);
    for (size_t v = 0; v < variants.size(); ++v) {
        SCOPED_TRACE(v);
        const std::vector<uint8_t>& packed = variants[v];
        test::onBothPaths([&] {
            Ref<MemoryStream> m(MemoryStream::create(u"m", nullptr, 0, packed.data(), packed.size()));
            Ref<InStream> d(test::openCodec(u"wavpack", m.get(), 0, packed.size(), f.wav.size()));
            ASSERT_TRUE(d);
            const std::vector<uint8_t> got = test::readAll(d.get());
            EXPECT_TRUE(d->damaged());
            EXPECT_GT(got.size(), f.wav.size() / 4);
            EXPECT_LT(got.size(), f.wav.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), f.wav.begin()));
        });
    }
}

TEST(WavPack, WithoutTrailerOrSizeAndDamaged) {
    REQUIRE_TOOL("wavpack");
    REQUIRE_TOOL("python3");
    TempDir dir;
    Fixture f = makeEntry(dir, 16, 2, 50000, false);
    Ref<InStream> s(openStreamPath(f.entryPath.c_str()));
    ASSERT_TRUE(s);
    EXPECT_TRUE(test::readAll(s.get()) == f.wav);

    Codec* codec = findCodec(u"wavpack");
    ASSERT_TRUE(codec);
    Ref<MemoryStream> memory(MemoryStream::create(u"m", nullptr, 0, f.packed.data(), f.packed.size()));
    // Readers always give the size; without it nothing is delivered.
    Ref<InStream> unsized(test::openCodec(u"wavpack", memory.get(), 0, f.packed.size(), -1));
    ASSERT_TRUE(unsized);
    EXPECT_TRUE(test::readAll(unsized.get()).empty());
    // Not WavPack at all.
    std::vector<uint8_t> noise(4000, 0x5A);
    Ref<MemoryStream> junk(MemoryStream::create(u"m", nullptr, 0, noise.data(), noise.size()));
    EXPECT_FALSE(Ref<InStream>(test::openCodec(u"wavpack", junk.get(), 0, noise.size(), 100)));

    std::mt19937 rng(3);
    for (int round = 0; round < 30; ++round) {
        auto damaged = f.packed;
        for (int i = 0; i < 1 + round % 3; ++i) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        if (round % 5 == 4) damaged.resize(damaged.size() / 2);
        Ref<MemoryStream> m(MemoryStream::create(u"m", nullptr, 0, damaged.data(), damaged.size()));
        Ref<InStream> d(test::openCodec(u"wavpack", m.get(), 0, damaged.size(), f.wav.size()));
        if (!d) continue;
        EXPECT_LE(test::readAll(d.get()).size(), f.wav.size());
        d->seek(1000);
        test::readAll(d.get());
    }
}

}  // namespace
}  // namespace zorvex
