// Shrink, Reduce and Implode: the corpus's zips byte-exact, the same data fed
// to the decoders in small pieces, streams from small encoders here for the
// cases the corpus lacks (partial clears, every Reduce factor, each Implode
// dictionary and tree count), and damaged data.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codecs/zip_legacy/implode.h"
#include "codecs/zip_legacy/reduce.h"
#include "codecs/zip_legacy/shrink.h"
#include "engine/byte_order.h"
#include "tests/archive_support.h"
#include "tests/bit_writer.h"
#include "tests/codec_fixtures.h"

namespace zorvex {
namespace {

using test::readFile;

using BitWriter = test::LsbBitWriter;

struct Decoded {
    std::vector<uint8_t> data;
    bool damaged;
};

// A codec and its property byte, if it takes one.
struct Method {
    const char16_t* codec;
    int property = -1;
};
constexpr Method kShrink{u"shrink"};
constexpr Method reduce(int factor) { return {u"reduce", factor}; }
constexpr Method implode(int flags) { return {u"implode", flags}; }

// Everything the codec's stream gives for `packed`, and whether it was found damaged.
Decoded decodeWith(Method method, const std::vector<uint8_t>& packed, int64_t size) {
    std::vector<uint8_t> properties;
    if (method.property >= 0) properties.push_back(static_cast<uint8_t>(method.property));
    Ref<InStream> stream = test::openCodec(method.codec, packed, size, properties);
    if (!stream) return {{}, true};
    std::vector<uint8_t> data = test::readAll(stream.get());
    return {data, stream->damaged()};
}

// Drives a decoder directly with `inPiece` input bytes and `outPiece` output
// bytes at a time, as a stream would when its buffers are that small.
Decoded decodeInPieces(LegacyDecoder& decoder, const std::vector<uint8_t>& packed, int inPiece, int outPiece) {
    std::vector<uint8_t> out(outPiece);
    Decoded result{{}, false};
    size_t at = 0;
    for (int status = kDecodeProgress; status == kDecodeProgress;) {
        int length = static_cast<int>(std::min<size_t>(inPiece, packed.size() - at));
        int consumed = 0, produced = 0;
        status = decoder.decode(packed.data() + at, length, &consumed, out.data(), outPiece, &produced);
        at += consumed;
        result.data.insert(result.data.end(), out.begin(), out.begin() + produced);
        result.damaged = status == kDecodeError;
    }
    return result;
}

// ---- the corpus ------------------------------------------------------------

struct Sample {
    const char* file;
    Method method;
    std::vector<uint8_t> packed;
    std::vector<uint8_t> plain;
};

// The text all three corpus zips hold (its manifest rows' SHA-256).
constexpr const char* kSampleSha256 = "7fa9e80fcfc8ef32d3e08d88b85730803da855affea2d1ec51f08a4b01f171e7";

// The packed data of a corpus zip's one entry, and the text it decodes to.
std::optional<Sample> loadSample(const test::fs::path& corpus, const char* file, Method method) {
    std::vector<uint8_t> zip = readFile(corpus / "zip-legacy" / file);
    if (zip.size() < 30) return std::nullopt;
    size_t start = 30 + le16(zip.data() + 26) + le16(zip.data() + 28);
    size_t packedSize = le32(zip.data() + 18);
    if (start + packedSize > zip.size()) return std::nullopt;
    auto plain = test::entryData(test::insidePath(corpus / "zip-legacy" / "zip2-implode.zip", "first.txt"));
    if (!plain || test::sha256Hex(*plain) != kSampleSha256) return std::nullopt;
    return Sample{file, method, test::slice(zip, start, packedSize), *plain};
}

const std::pair<const char*, Method> kSamples[] = {
    {"zip2-shrink.zip", kShrink}, {"zip2-reduce.zip", reduce(4)}, {"zip2-implode.zip", implode(6)}};

TEST(ZipLegacy, CorpusRowsDecodeExactly) {
    REQUIRE_CORPUS(corpus);
    test::checkCorpusFolder(corpus, "zip-legacy");
}

std::unique_ptr<LegacyDecoder> decoderFor(Method method, int64_t size) {
    std::u16string name = method.codec;
    if (name == u"shrink") return std::make_unique<ShrinkDecoder>(size);
    if (name == u"reduce") return std::make_unique<ReduceDecoder>(size, method.property);
    return std::make_unique<ImplodeDecoder>(size, method.property & 2, method.property & 4);
}

TEST(ZipLegacy, DecodersResumeAtAnyInputAndOutputBoundary) {
    REQUIRE_CORPUS(corpus);
    for (auto [file, codec] : kSamples) {
        SCOPED_TRACE(file);
        auto sample = loadSample(corpus, file, codec);
        ASSERT_TRUE(sample);
        for (auto [inPiece, outPiece] : {std::pair{1, 1}, {1, 7}, {3, 64}}) {
            auto decoder = decoderFor(codec, static_cast<int64_t>(sample->plain.size()));
            Decoded got = decodeInPieces(*decoder, sample->packed, inPiece, outPiece);
            EXPECT_FALSE(got.damaged) << inPiece << "/" << outPiece;
            EXPECT_TRUE(got.data == sample->plain) << inPiece << "/" << outPiece;
        }
    }
}

TEST(ZipLegacy, DamagedCorpusDataIsReportedNotCrashed) {
    REQUIRE_CORPUS(corpus);
    struct Case {
        int sample;
        const char* what;
        void (*damage)(std::vector<uint8_t>&);
    };
    const Case cases[] = {
        {0, "cut short", [](std::vector<uint8_t>& p) { p.erase(p.end() - 2, p.end()); }},
        {1, "cut short", [](std::vector<uint8_t>& p) { p.erase(p.end() - 2, p.end()); }},
        {2, "cut short", [](std::vector<uint8_t>& p) { p.erase(p.end() - 2, p.end()); }},
        {1, "cut inside the follower sets", [](std::vector<uint8_t>& p) { p.resize(20); }},
        {2, "cut inside the trees", [](std::vector<uint8_t>& p) { p.resize(20); }},
        // The size of the set of byte 255 (the first six bits) above 32.
        {1, "follower set too large", [](std::vector<uint8_t>& p) { p[0] |= 0x3F; }},
        // The literal tree's byte count: its lengths no longer cover 256 symbols.
        {2, "tree description too short", [](std::vector<uint8_t>& p) { p[0] ^= 0x01; }},
        // The first length run covers 16 symbols more: the lengths no longer form a code.
        {2, "tree description overfull", [](std::vector<uint8_t>& p) { p[1] ^= 0x10; }},
        // The first code's ninth bit set: it names an entry no string has yet.
        {0, "code at an unused entry", [](std::vector<uint8_t>& p) { p[1] |= 0x01; }},
    };
    std::vector<Sample> samples;
    for (auto [file, codec] : kSamples) {
        auto sample = loadSample(corpus, file, codec);
        ASSERT_TRUE(sample) << file;
        samples.push_back(*sample);
    }
    for (const Case& c : cases) {
        const Sample& sample = samples[c.sample];
        SCOPED_TRACE(std::string(sample.file) + ": " + c.what);
        std::vector<uint8_t> packed = sample.packed;
        c.damage(packed);
        Decoded got = decodeWith(sample.method, packed, static_cast<int64_t>(sample.plain.size()));
        EXPECT_TRUE(got.damaged);
        EXPECT_LT(got.data.size(), sample.plain.size());
    }
}

// ---- Shrink ----------------------------------------------------------------

// LZW as Shrink writes it, with a partial clear after every `clearEvery`
// codes (0: never) and whenever the table is full.
std::vector<uint8_t> shrink(const std::vector<uint8_t>& data, int clearEvery) {
    constexpr int kCodes = 8192;
    std::map<std::pair<int, uint8_t>, int> child;  // (parent, byte) -> code
    std::vector<int> parent(kCodes, -1);            // -1: free
    int bits = 9, written = 0;
    BitWriter out;
    auto put = [&](int code) {
        while (code >= (1 << bits)) {
            out.bits(256, bits);
            out.bits(1, bits);
            ++bits;
        }
        out.bits(code, bits);
        ++written;
    };
    int nextFree = 257;
    auto findFree = [&](int from) {
        for (nextFree = from; nextFree < kCodes && parent[nextFree] != -1;) ++nextFree;
    };
    auto partialClear = [&] {
        std::vector<bool> extended(kCodes);
        for (int code = 257; code < kCodes; ++code)
            if (parent[code] >= 0) extended[parent[code]] = true;
        for (auto it = child.begin(); it != child.end();) {
            if (!extended[it->second]) {
                parent[it->second] = -1;
                it = child.erase(it);
            } else {
                ++it;
            }
        }
    };
    int w = data[0];
    for (size_t i = 1; i < data.size(); ++i) {
        auto found = child.find({w, data[i]});
        if (found != child.end()) {
            w = found->second;
            continue;
        }
        put(w);
        if ((clearEvery && written % clearEvery == 0) || nextFree == kCodes) {
            out.bits(256, bits);
            out.bits(2, bits);
            partialClear();
            findFree(257);
        }
        // A parent freed by the clear is taken as it is: the decoder does the same.
        child[{w, data[i]}] = nextFree;
        parent[nextFree] = w;
        findFree(nextFree);
        w = data[i];
    }
    put(w);
    return out.finish();
}

TEST(ZipLegacy, ShrinkPartialClearsReuseTheLowestFreedCodes) {
    struct Case {
        const char* what;
        size_t size;
        int clearEvery;
    };
    const Case cases[] = {
        {"no clear, codes widen to 13 bits", 30000, 0},
        {"a clear every 50 codes", 20000, 50},
        {"a clear every 7 codes", 5000, 7},
        {"the table fills and is cleared again and again", 400000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> data = test::sampleData(c.size, static_cast<uint32_t>(c.size));
        std::vector<uint8_t> packed = shrink(data, c.clearEvery);
        Decoded got = decodeWith(kShrink, packed, static_cast<int64_t>(data.size()));
        EXPECT_FALSE(got.damaged);
        EXPECT_TRUE(got.data == data);
    }
}

TEST(ZipLegacy, ShrinkRefusesCodesItCannotResolve) {
    // Each fault is followed by good codes: only the bytes before it come out.
    struct Case {
        const char* what;
        std::vector<int> codes;  // 9 bits each, unless widened
        size_t before;           // bytes delivered before the fault
    };
    const Case cases[] = {
        {"first code not a byte", {257, 65}, 0},
        {"code beyond the next free one", {65, 258, 66}, 1},
        {"unknown control code", {65, 256, 3, 66, 67}, 1},
        {"codes wider than 13 bits", {65, 256, 1, 256, 1, 256, 1, 256, 1, 256, 1, 66, 67}, 1},
        // 259 and 258 are freed; 257 is then added as 258 + 'D' and used.
        {"a string whose chain reaches a freed code", {65, 66, 67, 258, 256, 2, 68, 257, 69}, 6},
        // 257 is freed and then added again as its own extension.
        {"a string that runs in a circle", {65, 66, 257, 256, 2, 67, 257, 68}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BitWriter w;
        int bits = 9;
        for (size_t i = 0; i < c.codes.size(); ++i) {
            w.bits(c.codes[i], bits);
            if (i > 0 && c.codes[i - 1] == 256 && c.codes[i] == 1) ++bits;
        }
        Decoded got = decodeWith(kShrink, w.finish(), 100);
        EXPECT_TRUE(got.damaged);
        EXPECT_EQ(got.data.size(), c.before);
    }
}

// ---- Reduce ----------------------------------------------------------------

// What a back-reference adds: bytes before the start of the data read as zeros.
void appendCopy(std::vector<uint8_t>& data, int length, int distance) {
    for (int i = 0; i < length; ++i) {
        int64_t from = static_cast<int64_t>(data.size()) - distance;
        data.push_back(from < 0 ? 0 : data[from]);
    }
}

TEST(ZipLegacy, ReduceBackReferencesForEveryFactor) {
    // Empty follower sets, so every byte is written whole; 144 then escapes
    // a literal 144 (144 0) or a back-reference.
    struct Case {
        int factor;
        int length;    // 3 and up
        int distance;  // 1 and up
    };
    const Case cases[] = {
        {1, 130, 300}, {1, 3, 512}, {2, 62 + 3, 1024}, {3, 40, 2000}, {4, 14 + 3, 4096}, {4, 273, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("factor " + std::to_string(c.factor) + " length " + std::to_string(c.length) + " distance " +
                     std::to_string(c.distance));
        BitWriter w;
        for (int i = 0; i < 256; ++i) w.bits(0, 6);
        std::vector<uint8_t> plain = test::sampleData(100, 9);
        plain.push_back(144);
        for (uint8_t b : plain) {
            w.bits(b, 8);
            if (b == 144) w.bits(0, 8);
        }
        const int mask = 0xFF >> c.factor, length = c.length - 3, distance = c.distance - 1;
        w.bits(144, 8);
        int lowLength = length < mask ? length : mask;
        w.bits(static_cast<uint32_t>((distance >> 8) << (8 - c.factor) | lowLength), 8);
        if (lowLength == mask) w.bits(length - mask, 8);
        w.bits(distance & 0xFF, 8);
        appendCopy(plain, c.length, c.distance);
        Decoded got = decodeWith(reduce(c.factor), w.finish(), static_cast<int64_t>(plain.size()));
        EXPECT_FALSE(got.damaged);
        EXPECT_TRUE(got.data == plain);
    }
}

TEST(ZipLegacy, ReduceRefusesBadFollowerSets) {
    // The set of byte 0 (the one the first byte is looked up in) holds x, y
    // and z; each case then writes one fault and good bytes after it.
    struct Case {
        const char* what;
        int setSize;
        int index;  // 2 bits after a 0 flag
    };
    const Case cases[] = {{"index past the set", 3, 3}, {"set of 33", 33, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BitWriter w;
        for (int i = 255; i > 0; --i) w.bits(0, 6);
        w.bits(c.setSize, 6);
        for (int i = 0; i < c.setSize; ++i) w.bits('x' + i % 3, 8);
        w.bits(0, 1);
        w.bits(c.index, 2);
        for (int i = 0; i < 4; ++i) w.bits(1, 1), w.bits('a', 8);
        Decoded got = decodeWith(reduce(1), w.finish(), 5);
        EXPECT_TRUE(got.damaged);
        EXPECT_TRUE(got.data.empty());
    }
}

// ---- Implode ---------------------------------------------------------------

// Implode with every code of a tree the same length (8 bits for literals, 6
// for lengths and distances): symbol s then has the code (symbols - 1 - s).
class Imploder {
public:
    // `lengthSymbols`: how many symbols the length tree's description covers
    // (64 unless damaged on purpose).
    Imploder(bool bigDictionary, bool literalTree, int lengthSymbols = 64)
        : big_(bigDictionary), literals_(literalTree) {
        if (literals_) sameLengths(256, 8);
        sameLengths(lengthSymbols, 6);
        sameLengths(64, 6);
    }
    void literal(uint8_t byte) {
        w_.bits(1, 1);
        if (literals_) w_.code(255 - byte, 8);
        else w_.bits(byte, 8);
    }
    void copy(int length, int distance) {
        const int lowBits = big_ ? 7 : 6;
        w_.bits(0, 1);
        w_.bits((distance - 1) & ((1 << lowBits) - 1), lowBits);
        w_.code(63 - ((distance - 1) >> lowBits), 6);
        int code = length - (literals_ ? 3 : 2);
        w_.code(63 - std::min(code, 63), 6);
        if (code >= 63) w_.bits(code - 63, 8);
    }
    std::vector<uint8_t> finish() const { return w_.finish(); }

private:
    void sameLengths(int symbols, int length) {
        w_.bits(symbols / 16 - 1, 8);
        for (int i = 0; i < symbols / 16; ++i) w_.bits(15 << 4 | (length - 1), 8);
    }
    bool big_, literals_;
    BitWriter w_;
};

TEST(ZipLegacy, ImplodeDictionarySizesAndTreeCounts) {
    struct Case {
        bool big, literalTree;
        int length, distance;
    };
    const Case cases[] = {
        {false, false, 2, 4096}, {false, true, 3, 4096}, {true, false, 65, 8192},
        {true, true, 66 + 255, 5000}, {true, true, 40, 1}, {false, false, 70, 3000},
    };
    for (const Case& c : cases) {
        const int flags = (c.big ? 2 : 0) | (c.literalTree ? 4 : 0);
        SCOPED_TRACE("flags " + std::to_string(flags) + " length " + std::to_string(c.length) + " distance " +
                     std::to_string(c.distance));
        Imploder imploder(c.big, c.literalTree);
        std::vector<uint8_t> plain = test::sampleData(6000, 4);
        for (uint8_t b : plain) imploder.literal(b);
        imploder.copy(c.length, c.distance);
        appendCopy(plain, c.length, c.distance);
        imploder.literal('!');
        plain.push_back('!');
        Decoded got = decodeWith(implode(flags), imploder.finish(), static_cast<int64_t>(plain.size()));
        EXPECT_FALSE(got.damaged);
        EXPECT_TRUE(got.data == plain);
    }
}

TEST(ZipLegacy, ImplodeRefusesTreesThatDoNotDescribeEverySymbol) {
    // Too few would leave the literal tree's lengths in place for the rest
    // (8 bits each, which would still make a prefix code); too many overrun.
    for (int lengthSymbols : {48, 80}) {
        SCOPED_TRACE(lengthSymbols);
        Imploder imploder(false, true, lengthSymbols);
        for (uint8_t b : {'a', 'b', 'c'}) imploder.literal(b);
        Decoded got = decodeWith(implode(4), imploder.finish(), 3);
        EXPECT_TRUE(got.damaged);
        EXPECT_TRUE(got.data.empty());
    }
}

TEST(ZipLegacy, PropertiesOutsideTheMethodsAreRefused) {
    const std::vector<uint8_t> packed(16, 0);
    const std::pair<const char16_t*, std::vector<uint8_t>> cases[] = {
        {u"reduce", {}}, {u"reduce", {0}}, {u"reduce", {5}}, {u"reduce", {1, 1}}, {u"implode", {}},
    };
    for (const auto& [codec, properties] : cases)
        EXPECT_FALSE(test::openCodec(codec, packed, 10, properties)) << properties.size();
    EXPECT_TRUE(test::openCodec(u"reduce", packed, 10, std::vector<uint8_t>{4}));
}

TEST(ZipLegacy, ShannonFanoCodesMustBePrefixCodes) {
    struct Case {
        const char* what;
        std::vector<uint8_t> lengths;
        bool valid;
    };
    const Case cases[] = {
        {"complete", {1, 2, 3, 3}, true},
        {"room left over", {2, 2, 2}, true},
        {"oversubscribed", {1, 1, 2}, false},
        {"a short code inside a long one", {1, 2}, false},
        {"length 0", {0, 1, 1}, false},
        {"length 17", {1, 17}, false},
    };
    for (const Case& c : cases) {
        ShannonFanoCode code;
        EXPECT_EQ(code.build(c.lengths.data(), static_cast<int>(c.lengths.size())), c.valid) << c.what;
    }
    // Lengths 1, 2, 3, 3: codes are counted up from the longest, so symbol 3
    // is 000, symbol 2 is 001, symbol 1 is 01 and symbol 0 is 1.
    const uint8_t lengths[] = {1, 2, 3, 3};
    ShannonFanoCode code;
    ASSERT_TRUE(code.build(lengths, 4));
    BitWriter w;
    for (auto [value, bits] : {std::pair{0b000, 3}, {0b001, 3}, {0b01, 2}, {0b1, 1}}) w.code(value, bits);
    std::vector<uint8_t> packed = w.finish();
    LsbBitReader reader;
    reader.setInput(packed.data(), packed.data() + packed.size());
    for (int expected : {3, 2, 1, 0}) EXPECT_EQ(code.decode(reader), expected);
}

}  // namespace
}  // namespace zorvex
