#include "codecs/xz/xz.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/crc32.h"
#include "engine/pipeline.h"

extern "C" {
#include "Sha256.h"
#include "XzCrc64.h"
}
#ifdef ZORVEX_HAVE_ISAL
#include <isa-l/crc64.h>
#endif

namespace zorvex {
namespace {

constexpr int kHeaderSize = 12;  // stream header and stream footer alike
constexpr uint8_t kHeaderMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr int kCheckCrc32 = 1;
constexpr int kCheckCrc64 = 4;
constexpr int kCheckSha256 = 10;
constexpr int kMaxCheckBytes = 64;  // the reserved types 13 to 15
constexpr int kMaxFilters = 4;
constexpr int64_t kMaxIndexSize = 1 << 30;  // far beyond any real index; keeps reads in int range
constexpr uint64_t kFilterLzma2 = 0x21;

int64_t roundUp4(int64_t n) { return (n + 3) & ~int64_t{3}; }

// CRC-64 as xz defines it; `crc` is the previous result, 0 to start. ISA-L
// folds with carry-less multiplication, several times faster than the SDK's
// tables, whose CRC took as long as the LZMA2 decoding of typical data.
uint64_t crc64Update(uint64_t crc, const uint8_t* data, size_t size) {
#ifdef ZORVEX_HAVE_ISAL
    return crc64_ecma_refl(crc, data, size);
#else
    static const bool tableReady = (Crc64GenerateTable(), true);
    (void)tableReady;
    return CRC64_GET_DIGEST(Crc64Update(CRC64_GET_DIGEST(crc), data, size));
#endif
}

// Bytes of the check value that ends each block, by check type.
int checkSize(int type) {
    static constexpr int kSizes[16] = {0, 4, 4, 4, 8, 8, 8, 16, 16, 16, 32, 32, 32, 64, 64, 64};
    return kSizes[type & 15];
}

// xz variable-length integer: 7 bits a byte, low bits first, at most 9 bytes,
// no superfluous zero byte at the end.
bool readVli(const uint8_t* data, size_t size, size_t* pos, uint64_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < 9; ++i) {
        if (*pos >= size) return false;
        uint8_t b = data[(*pos)++];
        v |= uint64_t{b & 0x7Fu} << (7 * i);
        if (!(b & 0x80)) {
            if (i > 0 && b == 0) return false;
            *value = v;
            return v <= uint64_t{INT64_MAX};
        }
    }
    return false;
}

bool crcMatches(const uint8_t* data, size_t size, const uint8_t* stored) {
    return crc32Update(0, data, size) == le32(stored);
}

// The check value of a block's data, computed as the data is read. The
// format's other check types are reserved and passed over.
class BlockCheck {
public:
    // False for a type that is not computed.
    bool start(int type) {
        type_ = type;
        switch (type) {
        case kCheckCrc32:
            crc32_ = 0;
            return true;
        case kCheckCrc64:
            crc64_ = 0;
            return true;
        case kCheckSha256:
            Sha256_Init(&sha256_);
            return true;
        default:
            return false;
        }
    }

    void update(const uint8_t* data, size_t size) {
        if (type_ == kCheckCrc32) crc32_ = crc32Update(crc32_, data, size);
        else if (type_ == kCheckCrc64) crc64_ = crc64Update(crc64_, data, size);
        else if (type_ == kCheckSha256) Sha256_Update(&sha256_, data, size);
    }

    // Whether the stored value (checkSize(type) bytes) is the computed one.
    bool matches(const uint8_t* stored) {
        if (type_ == kCheckCrc32) return le32(stored) == crc32_;
        if (type_ == kCheckCrc64) return le64(stored) == crc64_;
        uint8_t digest[SHA256_DIGEST_SIZE];
        Sha256_Final(&sha256_, digest);
        return std::memcmp(digest, stored, sizeof digest) == 0;
    }

private:
    int type_ = 0;
    uint32_t crc32_ = 0;
    uint64_t crc64_ = 0;
    CSha256 sha256_;
};

struct Block {
    int64_t headerOffset;  // within the xz data
    int64_t unpaddedSize;  // header + packed data + check
    int64_t start;         // decoded position of its first byte
    int64_t size;          // decoded size
    uint8_t checkType;
    bool damaged = false;  // its check value did not match
};

struct Filter {
    uint64_t id;
    uint8_t props[4];
    int propsSize;
};

// Branch converters by filter id; 4 property bytes, when present, give the
// start offset.
struct BranchFilter {
    uint64_t id;
    const char16_t* codec;
};
constexpr BranchFilter kBranchFilters[] = {
    {0x04, u"bcj"}, {0x05, u"ppc"}, {0x06, u"ia64"}, {0x07, u"arm"}, {0x08, u"armt"}, {0x09, u"sparc"},
};
constexpr uint64_t kFilterDelta = 0x03;

// The request that undoes a non-final filter of a chain over `data`; false
// for ids and property sizes that are not allowed there.
bool describeFilter(const Filter& filter, CodecRequest* request) {
    if (filter.id == kFilterDelta) {
        request->method = u"delta";
        request->properties = std::span<const uint8_t>(filter.props, static_cast<size_t>(filter.propsSize));
        return filter.propsSize == 1;
    }
    for (const BranchFilter& branch : kBranchFilters) {
        if (branch.id != filter.id) continue;
        request->method = branch.codec;
        if (filter.propsSize == 4) request->startOffset = le32(filter.props);
        return filter.propsSize == 0 || filter.propsSize == 4;
    }
    return false;
}

class XzStream final : public InStream {
public:
    XzStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset, int64_t packedSize)
        : InStream(name, owner, tag), source_(source), offset_(offset), packedSize_(packedSize) {
        source_->addRef();
    }
    ~XzStream() override {
        closeBlock();
        source_->release();
    }

    // Reads every stream's index, from the last stream to the first.
    bool readIndexes() {
        std::vector<std::vector<Block>> streams;
        int64_t end = packedSize_;
        while (end > 0) {
            uint8_t footer[kHeaderSize];
            if (end < 2 * kHeaderSize || !readAt(end - kHeaderSize, footer, kHeaderSize)) return false;
            if (footer[10] != 'Y' || footer[11] != 'Z') {
                // Stream padding: zero bytes in groups of four after a stream.
                if (le32(footer + 8) != 0) return false;
                end -= 4;
                continue;
            }
            std::vector<Block> blocks;
            int64_t start = readStream(end, footer, &blocks);
            if (start < 0) return false;
            streams.push_back(std::move(blocks));
            end = start;
        }
        if (streams.empty()) return false;
        int64_t position = 0;
        for (auto stream = streams.rbegin(); stream != streams.rend(); ++stream) {
            for (Block& block : *stream) {
                block.start = position;
                if (block.size > INT64_MAX - position) return false;
                position += block.size;
                blocks_.push_back(block);
            }
        }
        size_ = position;
        return true;
    }

    int64_t tell() override { return position_; }
    int64_t size() override { return size_; }

    bool seek(int64_t target) override {
        if (target < 0 || target >= size_) return false;
        if (target == position_ && chain_) return true;
        position_ = target;
        return enterBlock();
    }

    int read(void* buf, int count) override {
        if (!buf || count <= 0 || position_ >= size_) return 0;
        int wanted = static_cast<int>(std::min<int64_t>(count, size_ - position_));
        auto* out = static_cast<uint8_t*>(buf);
        int delivered = 0;
        while (delivered < wanted) {
            if (!enterBlock()) break;
            Block& block = blocks_[current_];
            // A block found damaged at its end never delivers its last byte,
            // so the reader sees the data end short.
            int64_t limit = block.start + block.size - (block.damaged ? 1 : 0);
            if (position_ >= limit) break;
            int n = static_cast<int>(std::min<int64_t>(wanted - delivered, limit - position_));
            int got = chain_->read(out + delivered, n);
            if (got <= 0) {
                markDamaged();  // the block decodes to less than the index says
                closeBlock();
                break;
            }
            if (checking_) check_.update(out + delivered, got);
            position_ += got;
            delivered += got;
            if (position_ == block.start + block.size && !blockEndsWhole(block)) {
                block.damaged = true;
                markDamaged();
                --position_;
                --delivered;
                closeBlock();
                break;
            }
        }
        return delivered;
    }

private:
    bool readAt(int64_t position, void* buf, int count) {
        return source_->seek(offset_ + position) && readExact(source_, buf, count);
    }

    // Reads the stream that ends at `end` (its footer read already) and lists
    // its blocks. Returns the stream's start, or -1 when it is damaged.
    int64_t readStream(int64_t end, const uint8_t* footer, std::vector<Block>* blocks) {
        if (!crcMatches(footer + 4, 6, footer) || footer[8] != 0 || footer[9] > 15) return -1;
        int64_t indexSize = (int64_t{le32(footer + 4)} + 1) * 4;
        int64_t indexStart = end - kHeaderSize - indexSize;
        if (indexStart < kHeaderSize || indexSize > kMaxIndexSize) return -1;
        auto* index = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(indexSize)));
        if (!index) return -1;
        bool ok = readAt(indexStart, index, static_cast<int>(indexSize)) && parseIndex(index, indexSize, blocks);
        std::free(index);
        if (!ok) return -1;

        int64_t blocksSize = 0;
        for (Block& block : *blocks) {
            block.headerOffset = blocksSize;  // made absolute below
            block.checkType = footer[9];
            blocksSize += roundUp4(block.unpaddedSize);
            if (blocksSize > indexStart) return -1;
        }
        int64_t start = indexStart - blocksSize - kHeaderSize;
        uint8_t header[kHeaderSize];
        if (start < 0 || !readAt(start, header, kHeaderSize)) return -1;
        if (std::memcmp(header, kHeaderMagic, 6) != 0 || header[6] != footer[8] || header[7] != footer[9] ||
            !crcMatches(header + 6, 2, header + 8))
            return -1;
        for (Block& block : *blocks) block.headerOffset += start + kHeaderSize;
        return start;
    }

    static bool parseIndex(const uint8_t* index, int64_t indexSize, std::vector<Block>* blocks) {
        size_t size = static_cast<size_t>(indexSize) - 4;
        if (index[0] != 0 || !crcMatches(index, size, index + size)) return false;
        size_t pos = 1;
        uint64_t count;
        if (!readVli(index, size, &pos, &count) || count > size / 2) return false;
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t unpadded, unpacked;
            if (!readVli(index, size, &pos, &unpadded) || !readVli(index, size, &pos, &unpacked)) return false;
            if (unpadded < 5 || unpadded > (uint64_t{1} << 62)) return false;
            blocks->push_back({0, static_cast<int64_t>(unpadded), 0, static_cast<int64_t>(unpacked), 0});
        }
        // Zero padding up to the CRC-32, which starts on a multiple of four.
        if (size - pos >= 4) return false;
        for (; pos < size; ++pos)
            if (index[pos] != 0) return false;
        return true;
    }

    // Makes the chain of the block holding position_ ready to deliver it.
    bool enterBlock() {
        if (chain_ && position_ >= blocks_[current_].start &&
            position_ < blocks_[current_].start + blocks_[current_].size) {
            int64_t inBlock = position_ - blocks_[current_].start;
            if (chain_->tell() == inBlock) return true;
            if (!chain_->seek(inBlock)) {
                closeBlock();
                return false;
            }
            checking_ = false;
            return true;
        }
        closeBlock();
        // The last block starting at or before the position; empty blocks
        // share their start with the next one, which is the one wanted.
        auto after = std::upper_bound(blocks_.begin(), blocks_.end(), position_,
                                      [](int64_t p, const Block& b) { return p < b.start; });
        if (after == blocks_.begin()) return false;
        int index = static_cast<int>(after - blocks_.begin()) - 1;
        if (!openBlock(index)) return false;
        int64_t inBlock = position_ - blocks_[index].start;
        checking_ = inBlock == 0 && check_.start(blocks_[index].checkType);
        if (inBlock > 0 && !chain_->seek(inBlock)) {
            closeBlock();
            return false;
        }
        return true;
    }

    void closeBlock() {
        if (chain_) chain_->release();
        if (lzma2_) lzma2_->release();
        chain_ = nullptr;
        lzma2_ = nullptr;
        current_ = -1;
        checking_ = false;
    }

    // Reads the block header and builds the decoder chain for its data.
    bool openBlock(int index) {
        const Block& block = blocks_[index];
        uint8_t header[1024];
        if (!readAt(block.headerOffset, header, 1)) return false;
        int headerSize = (header[0] + 1) * 4;
        if (header[0] == 0 || headerSize > block.unpaddedSize || !readAt(block.headerOffset, header, headerSize) ||
            !crcMatches(header, headerSize - 4, header + headerSize - 4))
            return false;
        int64_t packed = block.unpaddedSize - headerSize - checkSize(block.checkType);
        Filter filters[kMaxFilters];
        int filterCount = 0;
        if (packed <= 0 || !parseBlockHeader(header, headerSize - 4, block, packed, filters, &filterCount))
            return false;

        const Filter& last = filters[filterCount - 1];
        if (last.id != kFilterLzma2 || last.propsSize != 1) return false;
        CodecRequest lzma2Request = request(u"lzma2", source_, offset_ + block.headerOffset + headerSize, packed);
        lzma2Request.properties = std::span<const uint8_t>(last.props, 1);
        lzma2Request.unpackedSize = block.size;
        Ref<InStream> lzma2(openCodecStream(lzma2Request));
        Ref<InStream> stream = lzma2;
        for (int i = filterCount - 2; i >= 0 && stream; --i) {
            int64_t size = stream->size();
            CodecRequest filter = request(nullptr, stream.get(), 0, size);
            filter.unpackedSize = size;
            stream = Ref<InStream>(describeFilter(filters[i], &filter) ? openCodecStream(filter) : nullptr);
        }
        if (!stream || stream->size() != block.size) return false;
        chain_ = stream.detach();
        lzma2_ = lzma2.detach();
        current_ = index;
        return true;
    }

    // Checks the header fields; fills the filter list.
    static bool parseBlockHeader(const uint8_t* header, size_t size, const Block& block, int64_t packed,
                                 Filter* filters, int* filterCount) {
        uint8_t flags = header[1];
        if (flags & 0x3C) return false;
        size_t pos = 2;
        uint64_t value;
        if (flags & 0x40) {
            if (!readVli(header, size, &pos, &value) || value != static_cast<uint64_t>(packed)) return false;
        }
        if (flags & 0x80) {
            if (!readVli(header, size, &pos, &value) || value != static_cast<uint64_t>(block.size)) return false;
        }
        *filterCount = (flags & 3) + 1;
        for (int i = 0; i < *filterCount; ++i) {
            uint64_t propsSize;
            if (!readVli(header, size, &pos, &filters[i].id) || !readVli(header, size, &pos, &propsSize) ||
                propsSize > 4 || propsSize > size - pos)
                return false;
            filters[i].propsSize = static_cast<int>(propsSize);
            std::memcpy(filters[i].props, header + pos, propsSize);
            pos += propsSize;
        }
        for (; pos < size; ++pos)
            if (header[pos] != 0) return false;
        return true;
    }

    // A request for the codec over [offset, offset + size) of `data`, its
    // stream named as this one.
    CodecRequest request(const char16_t* method, InStream* data, int64_t offset, int64_t size) {
        CodecRequest r;
        r.method = method;
        r.name = name();
        r.owner = ownerNoRef();
        r.tag = tag();
        r.source = data;
        r.offset = offset;
        r.packedSize = size;
        return r;
    }

    // Once a block's data has been read to its end: its LZMA2 data ended
    // there with its end mark and filled the packed size the index gives, its
    // padding is zero, and its check value matches when the block was read
    // from its start.
    bool blockEndsWhole(const Block& block) {
        if (lzma2_->damaged() || chain_->damaged()) return false;
        // Padding (zero bytes up to a multiple of four), then the check value.
        uint8_t tail[3 + kMaxCheckBytes];
        int checkBytes = checkSize(block.checkType);
        int paddingBytes = static_cast<int>(roundUp4(block.unpaddedSize) - block.unpaddedSize);
        if (!readAt(block.headerOffset + block.unpaddedSize - checkBytes, tail, paddingBytes + checkBytes))
            return false;
        for (int i = 0; i < paddingBytes; ++i)
            if (tail[i] != 0) return false;
        return !checking_ || check_.matches(tail + paddingBytes);
    }

    InStream* source_;
    int64_t offset_;
    int64_t packedSize_;
    std::vector<Block> blocks_;
    int64_t size_ = 0;
    int64_t position_ = 0;
    InStream* chain_ = nullptr;
    InStream* lzma2_ = nullptr;  // the chain's innermost stream, whose damage the filters above do not pass on
    int current_ = -1;
    bool checking_ = false;  // the block is read from its start: its check is being computed
    BlockCheck check_;
};

}  // namespace

InStream* makeXzStream(const CodecRequest& r) {
    if (!r.source || r.offset < 0 || r.packedSize < 0) return nullptr;
    auto* stream = new (std::nothrow) XzStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize);
    if (stream && !stream->readIndexes()) {
        stream->release();
        return nullptr;
    }
    return stream;
}

}  // namespace zorvex
