#include "codecs/jpeg/zip_jpeg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/jpeg/arith_decoder.h"
#include "codecs/jpeg/coefficient_model.h"
#include "codecs/jpeg/jpeg_format.h"
#include "codecs/jpeg/packed_input.h"
#include "codecs/jpeg/scan_writer.h"
#include "engine/codec.h"
#include "engine/pipeline.h"
#include "engine/refobject.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

using namespace jpeg;

// Marker segments of one header block are small; this leaves room for large
// metadata segments and trailing data while bounding what a header can claim.
constexpr uint32_t kMaxHeaderBytes = 64u << 20;
// Coefficient rows of one band, all scan components together.
constexpr int64_t kMaxBandBytes = int64_t(256) << 20;
constexpr int kFileHeaderSize = 4;
constexpr uint8_t kFileVersion = 16;
constexpr uint8_t kFileKind = 1;
constexpr int kBandSettingLimit = 32;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<uint8_t, FreeDeleter>;

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

// The LZMA dictionary of a header block, from its decoded size.
uint32_t headerDictionary(uint32_t size) {
    constexpr uint32_t kLargest = 524288;
    uint32_t rounded = (size + 511) / 512 * 512;
    return rounded <= 512 ? 1024 : std::min(rounded, kLargest);
}

// One scan component's geometry, tables and coefficient rows.
struct ScanPart {
    int h = 1, v = 1;  // blocks per MCU across and down
    int64_t blocksAcross = 0;
    const uint16_t* quant = nullptr;
    const HuffmanCode* dc = nullptr;
    const HuffmanCode* ac = nullptr;
    // Row 0 holds the last block row of the previous band (the north
    // neighbours of the band's first row); the band's rows follow.
    std::unique_ptr<Block, FreeDeleter> rows;

    Block* row(int64_t index) const { return rows.get() + index * blocksAcross; }
};

// One pass over the packed data, producing the JPEG piece by piece; a
// backward seek starts a new one.
class ZipJpegDecoder {
public:
    ZipJpegDecoder(InStream* source, int64_t offset, int64_t packedSize, int64_t unpackedSize)
        : input_(source, offset, packedSize), arith_(&input_), unpackedSize_(unpackedSize) {}

    // The next piece of output, valid until the next call; false at the end or
    // on damage.
    bool next(const uint8_t** data, int* size);

private:
    enum class Phase {
        kFileHeader,   // the packed file's own header, before the image
        kHeaderBlock,  // handing out the image's header segments up to a scan or the end
        kScanStart,    // a scan begins: its components and models are set up
        kBandDecode,   // decoding one band of MCUs of the scan
        kBandOutput,   // handing out the entropy-coded bytes of that band
        kFinished,     // the end of the image was written
        kFailed,       // the data is damaged: nothing more is written
    };

    bool step(const uint8_t** data, int* size);
    bool readFileHeader();
    bool readHeaderBlock(const uint8_t** data, int* size);
    Bytes readCompressedHeader(uint32_t size, uint32_t packed);
    bool startScan();
    bool decodeBand();
    bool writeBand(const uint8_t** data, int* size);

    PackedInput input_;
    ArithDecoder arith_;
    CoefficientModel model_;
    ScanWriter writer_;
    JpegTables tables_{};
    int64_t unpackedSize_;
    Phase phase_ = Phase::kFileHeader;
    int bandSetting_ = 0;
    bool firstBlock_ = true;
    Bytes header_;
    ScanPart parts_[kMaxComponents];
    int partCount_ = 0;
    int64_t bandHeight_ = 0;  // in MCU rows
    int64_t bandStart_ = 0;
    int64_t bandRows_ = 0;
    int64_t nextMcu_ = 0;  // within the band, for output
};

bool ZipJpegDecoder::next(const uint8_t** data, int* size) {
    while (phase_ != Phase::kFinished && phase_ != Phase::kFailed) {
        *size = 0;
        if (!step(data, size)) {
            phase_ = Phase::kFailed;
            return false;
        }
        if (*size > 0) return true;
    }
    return false;
}

bool ZipJpegDecoder::step(const uint8_t** data, int* size) {
    switch (phase_) {
        case Phase::kFileHeader:
            phase_ = Phase::kHeaderBlock;
            return readFileHeader();
        case Phase::kHeaderBlock:
            return readHeaderBlock(data, size);
        case Phase::kScanStart:
            phase_ = Phase::kBandDecode;
            return startScan();
        case Phase::kBandDecode:
            phase_ = Phase::kBandOutput;
            nextMcu_ = 0;
            return decodeBand();
        case Phase::kBandOutput:
            return writeBand(data, size);
        case Phase::kFinished:
        case Phase::kFailed:
            break;
    }
    return false;
}

bool ZipJpegDecoder::readFileHeader() {
    uint8_t header[kFileHeaderSize];
    if (!input_.read(header, kFileHeaderSize)) return false;
    if (header[0] < kFileHeaderSize || header[1] != kFileVersion || header[2] != kFileKind ||
        header[3] >= kBandSettingLimit)
        return false;
    bandSetting_ = header[3];
    for (int extra = header[0] - kFileHeaderSize; extra > 0; --extra) input_.byte();
    return !input_.exhausted();
}

// Sizes come uncompressed first, then compressed, as 16-bit values or, after
// two 0xFFFF, as 32-bit values; a compressed size of 0 means stored bytes.
bool ZipJpegDecoder::readHeaderBlock(const uint8_t** data, int* size) {
    header_.reset();
    for (ScanPart& part : parts_) part.rows.reset();
    uint8_t sizes[8];
    if (!input_.read(sizes, 4)) return false;
    uint32_t length = le16(sizes), packed = le16(sizes + 2);
    if (length == 0xFFFF && packed == 0xFFFF) {
        if (!input_.read(sizes, 8)) return false;
        length = le32(sizes);
        packed = le32(sizes + 4);
    }
    // Header bytes are output as they are, so they never exceed the file.
    if (length == 0 || length > kMaxHeaderBytes || (unpackedSize_ >= 0 && length > unpackedSize_)) return false;
    if (packed == 0) {
        if (length > input_.remaining()) return false;
        header_.reset(static_cast<uint8_t*>(std::malloc(length)));
        if (!header_ || !input_.read(header_.get(), length)) return false;
    } else {
        header_ = readCompressedHeader(length, packed);
        if (!header_) return false;
    }
    const uint8_t* bytes = header_.get();
    size_t start = 0;
    if (firstBlock_) {
        // Anything before the start of image is kept in the output as it was.
        start = findStartOfImage(bytes, length);
        if (start == length) return false;
        firstBlock_ = false;
    }
    ParseResult parsed = parseMarkers(bytes + start, length - start, &tables_);
    if (parsed == ParseResult::kFailed) return false;
    phase_ = parsed == ParseResult::kEndOfImage ? Phase::kFinished : Phase::kScanStart;
    *data = bytes;
    *size = static_cast<int>(length);
    return true;
}

// Decoded through the "lzma" codec.
Bytes ZipJpegDecoder::readCompressedHeader(uint32_t size, uint32_t packed) {
    if (packed > input_.remaining()) return nullptr;
    auto* source = static_cast<uint8_t*>(std::malloc(std::max<size_t>(packed, 1)));
    if (!source) return nullptr;
    if (!input_.read(source, packed)) {
        std::free(source);
        return nullptr;
    }
    Ref<InStream> memory(MemoryStream::adopt(u"", nullptr, 0, source, packed));
    if (!memory) return nullptr;
    uint32_t dictionary = headerDictionary(size);
    uint8_t properties[5] = {0x5D};  // lc 3, lp 0, pb 2
    for (int i = 0; i < 4; ++i) properties[1 + i] = static_cast<uint8_t>(dictionary >> (8 * i));
    CodecRequest lzma;
    lzma.method = u"lzma";
    lzma.source = memory.get();
    lzma.packedSize = packed;
    lzma.unpackedSize = size;
    lzma.properties = properties;
    Ref<InStream> decoded(openCodecStream(lzma));
    Bytes out(static_cast<uint8_t*>(std::malloc(size)));
    if (!decoded || !out || !readExact(decoded.get(), out.get(), static_cast<int>(size))) return nullptr;
    return out;
}

bool ZipJpegDecoder::startScan() {
    const Frame& frame = tables_.frame;
    const Scan& scan = tables_.scan;
    partCount_ = scan.componentCount;
    // A scan of one component has one block per MCU. Which order such a scan
    // of a subsampled component is stored in is not known, so it is refused.
    bool alone = partCount_ == 1;
    int blocksPerMcu = 0;
    for (int s = 0; s < partCount_; ++s) {
        const ScanComponent& component = scan.components[s];
        const FrameComponent& source = frame.components[component.frameIndex];
        if (alone && (source.h != 1 || source.v != 1)) return false;
        ScanPart& part = parts_[s];
        part.h = alone ? 1 : source.h;
        part.v = alone ? 1 : source.v;
        part.blocksAcross = int64_t(frame.mcuColumns) * part.h;
        if (!tables_.quantDefined[source.quantTable]) return false;
        part.quant = tables_.quant[source.quantTable];
        if (std::find(part.quant, part.quant + 64, 0) != part.quant + 64) return false;
        part.dc = &tables_.huffman[0][component.dcTable];
        part.ac = &tables_.huffman[1][component.acTable];
        blocksPerMcu += part.h * part.v;
    }
    if (blocksPerMcu > kMaxBlocksPerMcu) return false;

    // Every block costs the output at least two bits (a DC and an AC code),
    // so the declared size bounds what a frame may claim.
    int64_t columns = frame.mcuColumns, rows = frame.mcuRows;
    if (unpackedSize_ >= 0 && columns * rows * blocksPerMcu / 4 > unpackedSize_) return false;
    if (bandSetting_ == 0) {
        bandHeight_ = rows;
    } else {
        int64_t perBand = std::max<int64_t>(1, (int64_t(1) << (bandSetting_ + 6)) / columns);
        int64_t bands = (rows + perBand - 1) / perBand;
        bandHeight_ = (rows + bands - 1) / bands;
    }
    int64_t bandBytes = 0;
    for (int s = 0; s < partCount_; ++s)
        bandBytes += (bandHeight_ * parts_[s].v + 1) * parts_[s].blocksAcross * int64_t(sizeof(Block));
    if (bandBytes > kMaxBandBytes) return false;
    for (int s = 0; s < partCount_; ++s) {
        ScanPart& part = parts_[s];
        part.rows.reset(static_cast<Block*>(std::malloc(size_t((bandHeight_ * part.v + 1) * part.blocksAcross) *
                                                        sizeof(Block))));
        if (!part.rows) return false;
    }
    model_.resetContexts();
    writer_.start(tables_.restartInterval);
    bandStart_ = 0;
    return true;
}

// Each component's blocks of the band are one arithmetic-coded segment, in
// raster order of the component's block grid.
bool ZipJpegDecoder::decodeBand() {
    bandRows_ = std::min<int64_t>(bandHeight_, tables_.frame.mcuRows - bandStart_);
    for (int s = 0; s < partCount_; ++s) {
        ScanPart& part = parts_[s];
        if (bandStart_ > 0)
            std::memcpy(part.row(0), part.row(bandHeight_ * part.v), size_t(part.blocksAcross) * sizeof(Block));
        arith_.start();
        for (int64_t y = 1; y <= bandRows_ * part.v; ++y) {
            Block* row = part.row(y);
            Block* above = bandStart_ == 0 && y == 1 ? nullptr : part.row(y - 1);
            for (int64_t x = 0; x < part.blocksAcross; ++x) {
                if (!model_.decodeBlock(arith_, s, part.quant, above ? above + x : nullptr, x ? row + x - 1 : nullptr,
                                        row + x))
                    return false;
                if (input_.exhausted()) return false;
            }
        }
        arith_.finish();
    }
    return !input_.exhausted();
}

// The band's MCUs in JPEG order, as many as fill one piece of output.
bool ZipJpegDecoder::writeBand(const uint8_t** data, int* size) {
    int64_t columns = tables_.frame.mcuColumns;
    int64_t mcus = bandRows_ * columns;
    writer_.clear();
    for (; nextMcu_ < mcus && !writer_.full(); ++nextMcu_) {
        int64_t my = nextMcu_ / columns, mx = nextMcu_ % columns;
        writer_.beginMcu();
        for (int s = 0; s < partCount_; ++s) {
            const ScanPart& part = parts_[s];
            for (int v = 0; v < part.v; ++v) {
                const Block* blocks = part.row(my * part.v + v + 1) + mx * part.h;
                for (int h = 0; h < part.h; ++h)
                    if (!writer_.writeBlock(s, blocks[h], *part.dc, *part.ac)) return false;
            }
        }
    }
    if (nextMcu_ == mcus) {
        bandStart_ += bandRows_;
        if (bandStart_ < tables_.frame.mcuRows) {
            phase_ = Phase::kBandDecode;
        } else {
            writer_.finish();
            phase_ = Phase::kHeaderBlock;
        }
    }
    *data = writer_.data();
    *size = writer_.size();
    return true;
}

class ZipJpegStream final : public InStream {
public:
    ZipJpegStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                  int64_t packedSize, int64_t unpackedSize)
        : InStream(name, owner, tag),
          source_(source),
          offset_(offset),
          packedSize_(packedSize),
          unpackedSize_(unpackedSize) {
        source_->addRef();
    }
    ~ZipJpegStream() override { source_->release(); }

    // Starts decoding from the beginning; false when memory is short.
    bool restart() {
        decoder_.reset();
        decoder_.reset(new (std::nothrow) ZipJpegDecoder(source_, offset_, packedSize_, unpackedSize_));
        position_ = 0;
        piece_ = pending_ = nullptr;
        pendingLeft_ = 0;
        return decoder_ != nullptr;
    }

    int64_t tell() override { return position_; }
    int64_t size() override { return unpackedSize_; }

    int read(void* buf, int count) override {
        if (!buf || count <= 0) return 0;
        return static_cast<int>(deliver(static_cast<uint8_t*>(buf), count));
    }

    bool seek(int64_t position) override {
        if (position < 0 || (unpackedSize_ >= 0 && position >= unpackedSize_)) return false;
        if (position < position_) {
            int64_t back = position_ - position;
            if (back <= pending_ - piece_) {  // still in the current piece
                pending_ -= back;
                pendingLeft_ += static_cast<int>(back);
                position_ = position;
                return true;
            }
            if (!restart()) return false;
        }
        int64_t ahead = position - position_;
        return deliver(nullptr, ahead) == ahead;
    }

private:
    // Copies (or with a null `out` skips) up to `count` bytes; never past the
    // declared size.
    int64_t deliver(uint8_t* out, int64_t count) {
        if (!decoder_) return 0;
        if (unpackedSize_ >= 0) count = std::min(count, unpackedSize_ - position_);
        int64_t done = 0;
        while (done < count) {
            if (pendingLeft_ == 0) {
                if (!decoder_->next(&piece_, &pendingLeft_)) break;
                pending_ = piece_;
            }
            int piece = static_cast<int>(std::min<int64_t>(count - done, pendingLeft_));
            if (out) std::memcpy(out + done, pending_, size_t(piece));
            pending_ += piece;
            pendingLeft_ -= piece;
            done += piece;
        }
        position_ += done;
        return done;
    }

    InStream* source_;
    int64_t offset_;
    int64_t packedSize_;
    int64_t unpackedSize_;
    int64_t position_ = 0;
    std::unique_ptr<ZipJpegDecoder> decoder_;
    const uint8_t* piece_ = nullptr;    // the decoder's current piece of output
    const uint8_t* pending_ = nullptr;  // its undelivered part
    int pendingLeft_ = 0;
};

}  // namespace

InStream* makeZipJpegStream(const CodecRequest& r) {
    if (!r.source || r.packedSize < 0) return nullptr;
    auto* stream =
        new (std::nothrow) ZipJpegStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize);
    if (!stream) return nullptr;
    if (!stream->restart()) {
        stream->release();
        return nullptr;
    }
    return stream;
}

}  // namespace zorvex
