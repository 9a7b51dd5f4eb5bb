// The "zip-jpeg" codec: its arithmetic decoder, the Huffman re-coding of
// scans written by cjpeg, the real sample, hand-made containers and damage.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "codecs/jpeg/arith_decoder.h"
#include "codecs/jpeg/jpeg_format.h"
#include "codecs/jpeg/scan_writer.h"
#include "tests/archive_support.h"
#include "tests/codec_fixtures.h"

namespace zorvex::test {
namespace {

using jpeg::Block;
using jpeg::HuffmanCode;

constexpr int64_t kSampleSize = 57105;

TEST(ZipJpegArith, DecodesTheReferenceSequence) {
    const std::vector<uint8_t> packed = {0xEF, 0xD9, 0x81, 0xA3, 0x73, 0x2D, 0x10, 0x63, 0xD4, 0x69,
                                         0x2B, 0xF6, 0x0A, 0xEA, 0xDF, 0x0A, 0x4E, 0x9F, 0xC5, 0x80};
    Ref<InStream> source = memorySource(packed);
    jpeg::PackedInput input(source.get(), 0, static_cast<int64_t>(packed.size()));
    jpeg::ArithDecoder decoder(&input);
    jpeg::Context context;
    decoder.start();
    std::string bits;
    for (int i = 0; i < 256; i += 4) {
        int nibble = 0;
        for (int j = 0; j < 4; ++j) nibble = nibble << 1 | decoder.decode(context);
        bits += "0123456789abcdef"[nibble];
    }
    EXPECT_EQ(bits, "effffffefffff6c7fffffffffffbdff3fdfffffff6f5f7febffbdff6edffe7ff");
    EXPECT_EQ(decoder.logRange(), 4965);
    EXPECT_EQ(decoder.logLimit(), 12401);
    EXPECT_EQ(decoder.code(), 0u);
    EXPECT_EQ(context.state, 15);
    EXPECT_EQ(context.mps, 1);
    EXPECT_EQ(context.lpsCount, 5);
    EXPECT_EQ(input.remaining(), 0);
    EXPECT_FALSE(input.exhausted());
}

// ---- Huffman re-coding of scans that cjpeg wrote ----

// Reads a baseline scan's entropy-coded bytes back into blocks.
class ScanReader {
public:
    ScanReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool block(const HuffmanCode& dcCode, const HuffmanCode& acCode, int* predictor, Block* block) {
        *block = Block{};
        int size = symbol(dcCode);
        if (size < 0) return false;
        *predictor += extend(bits(size), size);
        block->coefficient[0] = static_cast<int16_t>(*predictor);
        for (int k = 1; k < 64; ++k) {
            int rs = symbol(acCode);
            if (rs < 0) return false;
            if (rs == 0) break;
            k += rs >> 4;
            if (k > 63) return false;
            if ((rs & 15) == 0) continue;  // sixteen zeros
            block->coefficient[k] = static_cast<int16_t>(extend(bits(rs & 15), rs & 15));
            block->eob = static_cast<uint8_t>(k);
        }
        return true;
    }

    // Skips to the byte after the next restart marker.
    bool restart() {
        count_ = 0;
        if (at_ + 2 > size_ || data_[at_] != 0xFF || (data_[at_ + 1] & 0xF8) != 0xD0) return false;
        at_ += 2;
        return true;
    }

private:
    int bit() {
        if (count_ == 0) {
            current_ = at_ < size_ ? data_[at_++] : 0;
            if (current_ == 0xFF) ++at_;  // the stuffed zero
            count_ = 8;
        }
        return current_ >> --count_ & 1;
    }
    int bits(int n) {
        int v = 0;
        while (n-- > 0) v = v << 1 | bit();
        return v;
    }
    static int extend(int v, int size) { return size && v < (1 << (size - 1)) ? v - (1 << size) + 1 : v; }
    int symbol(const HuffmanCode& table) {
        int code = 0;
        for (int length = 1; length <= 16; ++length) {
            code = code << 1 | bit();
            for (int s = 0; s < 256; ++s)
                if (table.length[s] == length && table.code[s] == code) return s;
        }
        return -1;
    }

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    int current_ = 0;
    int count_ = 0;
};

// Where the first scan's entropy-coded bytes start: after the SOS segment.
size_t scanStart(const std::vector<uint8_t>& file) {
    size_t at = 2;
    while (at + 4 <= file.size() && file[at] == 0xFF) {
        size_t length = size_t(file[at + 2]) << 8 | file[at + 3];
        at += 2 + length;
        if (file[at - length - 1] == 0xDA) return at;
    }
    return 0;
}

// Decodes every MCU of the file's only scan and writes it again.
std::vector<uint8_t> recodeScan(const std::vector<uint8_t>& file) {
    jpeg::JpegTables tables{};
    if (jpeg::parseMarkers(file.data(), file.size(), &tables) != jpeg::ParseResult::kScanFollows) return {};
    size_t start = scanStart(file);
    if (start == 0 || file.size() < start + 2) return {};
    const jpeg::Frame& frame = tables.frame;
    const jpeg::Scan& scan = tables.scan;
    ScanReader reader(file.data() + start, file.size() - 2 - start);
    jpeg::ScanWriter writer;
    writer.start(tables.restartInterval);
    std::vector<uint8_t> out;
    int predictor[4] = {};
    int64_t mcus = int64_t(frame.mcuColumns) * frame.mcuRows;
    for (int64_t mcu = 0; mcu < mcus; ++mcu) {
        if (tables.restartInterval && mcu > 0 && mcu % tables.restartInterval == 0) {
            if (!reader.restart()) return {};
            for (int& p : predictor) p = 0;
        }
        writer.beginMcu();
        for (int s = 0; s < scan.componentCount; ++s) {
            const jpeg::FrameComponent& component = frame.components[scan.components[s].frameIndex];
            const HuffmanCode& dc = tables.huffman[0][scan.components[s].dcTable];
            const HuffmanCode& ac = tables.huffman[1][scan.components[s].acTable];
            for (int n = 0; n < component.h * component.v; ++n) {
                Block block;
                if (!reader.block(dc, ac, &predictor[s], &block) || !writer.writeBlock(s, block, dc, ac)) return {};
            }
        }
        if (writer.full()) {
            out.insert(out.end(), writer.data(), writer.data() + writer.size());
            writer.clear();
        }
    }
    writer.finish();
    out.insert(out.end(), writer.data(), writer.data() + writer.size());
    return out;
}

// A 203 x 117 picture with smooth and busy parts, as binary PPM.
void writePicture(const fs::path& path) {
    std::ostringstream ppm;
    ppm << "P6\n203 117\n255\n";
    std::mt19937 random(5);
    for (int y = 0; y < 117; ++y)
        for (int x = 0; x < 203; ++x) {
            int noise = x > 120 ? int(random() % 90) : 0;
            ppm << char((x * 255 / 202 + noise) & 255) << char((y * 2 + (x ^ y)) & 255)
                << char(((x / 16 + y / 16) % 2) * 200 + noise / 3);
        }
    writeFile(path, ppm.str());
}

TEST(ZipJpegRecode, ScansOfCjpegComeOutByteForByte) {
    REQUIRE_TOOL("cjpeg");
    TempDir dir;
    writePicture(dir / "picture.ppm");
    const char* settings[] = {
        "-quality 75 -sample 2x2",
        "-quality 95 -sample 2x1 -restart 2B",
        "-quality 100 -sample 1x1 -optimize -restart 3B",
        "-quality 50 -sample 1x2 -restart 5B",
        "-grayscale -quality 90 -restart 7B",
        "-quality 85 -sample 2x2 -optimize -restart 26B",
        "-quality 30 -sample 2x2 -restart 1",
    };
    for (const char* setting : settings) {
        SCOPED_TRACE(setting);
        mustRun(dir, std::string("cjpeg -baseline ") + setting + " -outfile picture.jpg picture.ppm");
        std::vector<uint8_t> file = readFile(dir / "picture.jpg");
        size_t start = scanStart(file);
        ASSERT_GT(start, 0u);
        std::vector<uint8_t> original(file.begin() + start, file.end() - 2);
        EXPECT_EQ(recodeScan(file), original);
    }
}

TEST(ZipJpegRecode, SymbolWithoutCodeIsAnError) {
    HuffmanCode dc{}, ac{};
    dc.length[0] = 1;  // only a zero DC difference has a code
    ac.length[0] = 1;
    jpeg::ScanWriter writer;
    writer.start(0);
    writer.beginMcu();
    Block flat{};
    EXPECT_TRUE(writer.writeBlock(0, flat, dc, ac));
    Block brighter{};
    brighter.coefficient[0] = 3;
    EXPECT_FALSE(writer.writeBlock(0, brighter, dc, ac));
}

// ---- The real sample ----

struct Sample {
    std::vector<uint8_t> packed;
    std::string sha256;
};

// The packed data of train.jpg and its SHA-256 from the manifest.
std::optional<Sample> loadSample(const fs::path& corpus) {
    std::vector<uint8_t> zip = readFile(corpus / "zip" / "winzip-jpeg.zipx");
    if (zip.size() < 30) return std::nullopt;
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | zip[at + i];
        return v;
    };
    size_t data = 30 + le(26, 2) + le(28, 2);
    size_t packed = le(18, 4);
    if (le(0, 4) != 0x04034B50 || le(8, 2) != 96 || data + packed > zip.size()) return std::nullopt;
    Sample sample;
    sample.packed.assign(zip.begin() + data, zip.begin() + data + packed);
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    for (std::string line; std::getline(manifest, line);) {
        if (line.rfind("zip/winzip-jpeg.zipx\tfile\ttrain.jpg\t", 0) != 0) continue;
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && std::getline(fields, field, '\t'); ++i) sample.sha256 = field;
    }
    return sample;
}

TEST(ZipJpegSample, ZipxEntryDecodesToTheOriginal) {
    REQUIRE_CORPUS(corpus);
    auto sample = loadSample(corpus);
    ASSERT_TRUE(sample);
    auto data = entryData(insidePath(corpus / "zip" / "winzip-jpeg.zipx", "train.jpg"));
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), size_t(kSampleSize));
    EXPECT_EQ(sha256Hex(*data), sample->sha256);
}

TEST(ZipJpegSample, SeeksBackAndForthToTheSameBytes) {
    REQUIRE_CORPUS(corpus);
    auto original = entryData(insidePath(corpus / "zip" / "winzip-jpeg.zipx", "train.jpg"));
    ASSERT_TRUE(original);
    Ref<InStream> stream(openStreamPath(insidePath(corpus / "zip" / "winzip-jpeg.zipx", "train.jpg").c_str()));
    ASSERT_TRUE(stream);
    for (int64_t position : {40000, 100, 100, 56000, 30, 56010, 542, 541}) {
        SCOPED_TRACE(position);
        size_t count = std::min<size_t>(1000, kSampleSize - position);
        EXPECT_EQ(readAt(stream.get(), position, 1000), slice(*original, position, count));
        EXPECT_EQ(stream->tell(), std::min<int64_t>(position + 1000, kSampleSize));
    }
    EXPECT_FALSE(stream->seek(kSampleSize));
    EXPECT_FALSE(stream->seek(-1));
}

TEST(ZipJpegSample, DamageEndsTheStreamShort) {
    REQUIRE_CORPUS(corpus);
    auto sample = loadSample(corpus);
    ASSERT_TRUE(sample);
    const std::vector<uint8_t>& packed = sample->packed;
    std::vector<size_t> cuts;
    for (size_t cut = 0; cut < 420; ++cut) cuts.push_back(cut);  // file header and first header block
    for (size_t cut = 420; cut < packed.size(); cut += 197) cuts.push_back(cut);
    for (size_t cut = packed.size() - 40; cut < packed.size(); ++cut) cuts.push_back(cut);
    for (size_t cut : cuts) {
        std::vector<uint8_t> shorter(packed.begin(), packed.begin() + cut);
        Ref<InStream> stream = openCodec(u"zip-jpeg", shorter, kSampleSize);
        ASSERT_TRUE(stream);
        EXPECT_LT(readAll(stream.get()).size(), size_t(kSampleSize)) << "cut at " << cut;
    }
    std::mt19937 random(11);
    int unchanged = 0;
    for (int i = 0; i < 150; ++i) {
        std::vector<uint8_t> flipped = packed;
        flipped[random() % flipped.size()] ^= uint8_t(1 << (random() % 8));
        Ref<InStream> stream = openCodec(u"zip-jpeg", flipped, kSampleSize);
        ASSERT_TRUE(stream);
        std::vector<uint8_t> out = readAll(stream.get());
        EXPECT_LE(out.size(), size_t(kSampleSize));
        if (sha256Hex(out) == sample->sha256) ++unchanged;
    }
    // A flip in the LZMA stream's unused tail may leave the output as it was;
    // a flip in coded coefficients never does.
    EXPECT_LT(unchanged, 10);
}

// ---- Hand-made containers ----

std::vector<uint8_t> fileHeader(uint8_t bandSetting = 8) { return {4, 16, 1, bandSetting}; }

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A header block: uncompressed size first, then the compressed size (0: stored).
void addBlock(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& packed = {},
              bool wide = false) {
    uint32_t u = uint32_t(bytes.size()), c = uint32_t(packed.size());
    if (wide) {
        put32(out, 0xFFFFFFFF);
        put32(out, u);
        put32(out, c);
    } else {
        put16(out, u);
        put16(out, c);
    }
    const std::vector<uint8_t>& body = packed.empty() ? bytes : packed;
    out.insert(out.end(), body.begin(), body.end());
}

// An image with a comment and no scan.
std::vector<uint8_t> emptyImage(size_t commentLength) {
    std::vector<uint8_t> bytes = {0xFF, 0xD8, 0xFF, 0xFE};
    bytes.push_back(uint8_t((commentLength + 2) >> 8));
    bytes.push_back(uint8_t(commentLength + 2));
    for (size_t i = 0; i < commentLength; ++i) bytes.push_back(uint8_t('a' + i % 7));
    bytes.push_back(0xFF);
    bytes.push_back(0xD9);
    return bytes;
}

std::vector<uint8_t> decodeAll(const std::vector<uint8_t>& packed, int64_t size) {
    Ref<InStream> stream = openCodec(u"zip-jpeg", packed, size);
    return stream ? readAll(stream.get()) : std::vector<uint8_t>{};
}

TEST(ZipJpegContainer, HeaderBlocksStoredOrLzmaWithUncompressedSizeFirst) {
    REQUIRE_TOOL("xz");
    TempDir dir;
    std::vector<uint8_t> image = emptyImage(600);
    writeFile(dir / "header", image.data(), image.size());
    mustRun(dir, "xz --format=raw --lzma1=lc=3,lp=0,pb=2,dict=4KiB -c header > header.lzma");
    std::vector<uint8_t> compressed = readFile(dir / "header.lzma");
    ASSERT_LT(compressed.size(), image.size());

    std::vector<uint8_t> lzma = fileHeader();
    addBlock(lzma, image, compressed);
    EXPECT_EQ(decodeAll(lzma, int64_t(image.size())), image);

    std::vector<uint8_t> wide = fileHeader();
    addBlock(wide, image, compressed, true);
    EXPECT_EQ(decodeAll(wide, int64_t(image.size())), image);

    // Bytes before the start of image are part of the file too.
    std::vector<uint8_t> prefixed = concat({'x', 'y'}, image);
    std::vector<uint8_t> stored = fileHeader();
    addBlock(stored, prefixed);
    EXPECT_EQ(decodeAll(stored, int64_t(prefixed.size())), prefixed);
}

TEST(ZipJpegContainer, BadFileHeaderOrMarkersGiveNothing) {
    std::vector<uint8_t> image = emptyImage(10);
    // Wrong version, wrong kind, band setting out of range, header too short.
    using Header = std::vector<uint8_t>;
    for (Header header : {Header{4, 15, 1, 8}, Header{4, 16, 2, 8}, Header{4, 16, 1, 32}, Header{3, 16, 1, 8}}) {
        addBlock(header, image);
        EXPECT_TRUE(decodeAll(header, int64_t(image.size())).empty());
    }
    std::vector<uint8_t> noStart = fileHeader();
    addBlock(noStart, {0xFF, 0xD9});
    EXPECT_TRUE(decodeAll(noStart, 2).empty());
    std::vector<uint8_t> badLength = image;
    badLength[5] = 1;  // segment length below 2
    std::vector<uint8_t> broken = fileHeader();
    addBlock(broken, badLength);
    EXPECT_TRUE(decodeAll(broken, int64_t(badLength.size())).empty());
}

// The marker segments of a cjpeg file up to and including its start of scan.
std::vector<uint8_t> cjpegHeader(const TempDir& dir, const std::string& options) {
    writePicture(dir / "picture.ppm");
    EXPECT_EQ(run("cd '" + dir.path().string() + "' && cjpeg " + options + " -outfile h.jpg picture.ppm"), 0);
    std::vector<uint8_t> file = readFile(dir / "h.jpg");
    size_t start = scanStart(file);
    return std::vector<uint8_t>(file.begin(), file.begin() + start);
}

TEST(ZipJpegContainer, UnsupportedOrAbsurdFramesFailWithoutDecoding) {
    REQUIRE_TOOL("cjpeg");
    TempDir dir;
    std::vector<uint8_t> progressive = cjpegHeader(dir, "-progressive");
    std::vector<uint8_t> packed = fileHeader();
    addBlock(packed, progressive);
    packed.resize(packed.size() + 64, 0x5A);
    EXPECT_TRUE(decodeAll(packed, 100000).empty());

    // A zero DC quantisation value would divide by zero in the DC prediction.
    std::vector<uint8_t> zeroQuant = cjpegHeader(dir, "-grayscale");
    for (size_t i = 0; i + 5 < zeroQuant.size(); ++i)
        if (zeroQuant[i] == 0xFF && zeroQuant[i + 1] == 0xDB) zeroQuant[i + 5] = 0;
    std::vector<uint8_t> divides = fileHeader();
    addBlock(divides, zeroQuant);
    divides.resize(divides.size() + 512, 0x5A);
    EXPECT_LE(decodeAll(divides, 100000).size(), zeroQuant.size());

    // 65535 x 65535 with a few bytes of data: refused by the declared size, or
    // by the band memory it would take when no size is known.
    std::vector<uint8_t> huge = cjpegHeader(dir, "-grayscale");
    for (size_t i = 0; i + 9 < huge.size(); ++i)
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) std::fill(huge.begin() + i + 5, huge.begin() + i + 9, 0xFF);
    for (uint8_t band : {uint8_t(8), uint8_t(0)}) {
        for (int64_t size : {int64_t(5000), int64_t(-1)}) {
            std::vector<uint8_t> tiny = fileHeader(band);
            addBlock(tiny, huge);
            tiny.resize(tiny.size() + 64, 0x5A);
            std::vector<uint8_t> out = decodeAll(tiny, size);
            EXPECT_LE(out.size(), huge.size()) << "band setting " << int(band) << ", size " << size;
        }
    }
}

}  // namespace
}  // namespace zorvex::test
