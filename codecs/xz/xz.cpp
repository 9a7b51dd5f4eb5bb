#include "codecs/xz/xz.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/crc32.h"
#include "engine/parallel_units.h"
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

// Reads `count` bytes at `position` of xz data that lies in `source` from `base` on.
bool readAt(InStream* source, int64_t base, int64_t position, void* buf, int count) {
    return source->seek(base + position) && readExact(source, buf, count);
}

// Checks the header fields; fills the filter list.
bool parseBlockHeader(const uint8_t* header, size_t size, const Block& block, int64_t packed, Filter* filters,
                      int* filterCount) {
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

// A block's decoder chain, and apart from it the chain's innermost LZMA2
// stream, whose damage the filters above do not pass on.
struct BlockChain {
    Ref<InStream> chain;
    Ref<InStream> lzma2;
};

// Reads the header of `block` (of xz data in `source` from `base` on) and
// builds the chain that decodes its data; `naming` gives the streams' name,
// owner and tag.
bool openBlockChain(InStream* source, int64_t base, const Block& block, const CodecRequest& naming,
                    BlockChain* out) {
    auto request = [&naming](const char16_t* method, InStream* data, int64_t offset, int64_t size) {
        CodecRequest r;
        r.method = method;
        r.name = naming.name;
        r.owner = naming.owner;
        r.tag = naming.tag;
        r.source = data;
        r.offset = offset;
        r.packedSize = size;
        return r;
    };
    uint8_t header[1024];
    if (!readAt(source, base, block.headerOffset, header, 1)) return false;
    int headerSize = (header[0] + 1) * 4;
    if (header[0] == 0 || headerSize > block.unpaddedSize ||
        !readAt(source, base, block.headerOffset, header, headerSize) ||
        !crcMatches(header, headerSize - 4, header + headerSize - 4))
        return false;
    int64_t packed = block.unpaddedSize - headerSize - checkSize(block.checkType);
    Filter filters[kMaxFilters];
    int filterCount = 0;
    if (packed <= 0 || !parseBlockHeader(header, headerSize - 4, block, packed, filters, &filterCount)) return false;

    const Filter& last = filters[filterCount - 1];
    if (last.id != kFilterLzma2 || last.propsSize != 1) return false;
    CodecRequest lzma2Request = request(u"lzma2", source, base + block.headerOffset + headerSize, packed);
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
    *out = BlockChain{stream, lzma2};
    return true;
}

// Once a block's data has been read to its end: its LZMA2 data ended there
// with its end mark and filled the packed size the index gives, its padding
// is zero, and its check value matches when `check` (computed over the
// block from its start) is given.
bool blockEndsWhole(InStream* source, int64_t base, const Block& block, const BlockChain& chain,
                    BlockCheck* check) {
    if (chain.lzma2->damaged() || chain.chain->damaged()) return false;
    // Padding (zero bytes up to a multiple of four), then the check value.
    uint8_t tail[3 + kMaxCheckBytes];
    int checkBytes = checkSize(block.checkType);
    int paddingBytes = static_cast<int>(roundUp4(block.unpaddedSize) - block.unpaddedSize);
    if (!readAt(source, base, block.headerOffset + block.unpaddedSize - checkBytes, tail, paddingBytes + checkBytes))
        return false;
    for (int i = 0; i < paddingBytes; ++i)
        if (tail[i] != 0) return false;
    return !check || check->matches(tail + paddingBytes);
}

// Decodes a whole block from its start, its check included, into `out`
// (block.size bytes); false when it is not whole.
bool decodeWholeBlock(InStream* source, int64_t base, const Block& block, uint8_t* out,
                      const std::atomic<bool>& cancelled) {
    constexpr int kStep = 1 << 20;
    BlockChain chain;
    BlockCheck check;
    const bool checking = check.start(block.checkType);
    if (!openBlockChain(source, base, block, CodecRequest{}, &chain)) return false;
    for (int64_t done = 0; done < block.size;) {
        if (cancelled.load(std::memory_order_relaxed)) return false;
        int got = chain.chain->read(out + done, static_cast<int>(std::min<int64_t>(block.size - done, kStep)));
        if (got <= 0) return false;
        if (checking) check.update(out + done, static_cast<size_t>(got));
        done += got;
    }
    return blockEndsWhole(source, base, block, chain, checking ? &check : nullptr);
}

// Reading from a block's start on, the blocks are units that decode apart
// (engine/parallel_units.h), located by the index; what lies between them
// (indexes and headers of further streams, checked when the indexes were
// read) is a unit that decodes to nothing. Where the workers cannot vouch for
// a block, the stream reads it itself, as it does without workers.
class XzStream final : public InStream, private UnitCodec {
public:
    XzStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset, int64_t packedSize)
        : InStream(name, owner, tag),
          source_(source),
          offset_(offset),
          packedSize_(packedSize),
          units_(*this, *this, packedSize) {
        source_->addRef();
    }
    ~XzStream() override {
        stopFeeding();
        closeBlock();
        source_->release();
        std::free(feed_);
    }

    // Reads every stream's index, from the last stream to the first.
    bool readIndexes() {
        std::vector<std::vector<Block>> streams;
        int64_t end = packedSize_;
        while (end > 0) {
            uint8_t footer[kHeaderSize];
            if (end < 2 * kHeaderSize || !readAt(source_, offset_, end - kHeaderSize, footer, kHeaderSize))
                return false;
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
        // A seek decodes from the start of its block only.
        if (blocks_.size() > 1) setRestartsNearby();
        return true;
    }

    int64_t tell() override { return position_; }
    int64_t size() override { return size_; }

    bool seek(int64_t target) override {
        if (target < 0 || target >= size_) return false;
        if (target == position_ && (chain_.chain || feeding_)) return true;
        stopFeeding();
        position_ = target;
        return enterBlock();
    }

    int read(void* buf, int count) override {
        if (!buf || count <= 0 || position_ >= size_) return 0;
        int wanted = static_cast<int>(std::min<int64_t>(count, size_ - position_));
        auto* out = static_cast<uint8_t*>(buf);
        int delivered = 0;
        if (feeding_ || startFeeding()) delivered = readUnits(out, wanted);
        while (delivered < wanted) {
            if (!enterBlock()) break;
            Block& block = blocks_[current_];
            // A block found damaged at its end never delivers its last byte,
            // so the reader sees the data end short.
            int64_t limit = block.start + block.size - (block.damaged ? 1 : 0);
            if (position_ >= limit) break;
            int n = static_cast<int>(std::min<int64_t>(wanted - delivered, limit - position_));
            int got = chain_.chain->read(out + delivered, n);
            if (got <= 0) {
                markDamaged();  // the block decodes to less than the index says
                closeBlock();
                break;
            }
            if (checking_) check_.update(out + delivered, got);
            position_ += got;
            delivered += got;
            if (position_ == block.start + block.size &&
                !blockEndsWhole(source_, offset_, block, chain_, checking_ ? &check_ : nullptr)) {
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
    static constexpr int kFeedPiece = 1 << 18;

    // Reads the stream that ends at `end` (its footer read already) and lists
    // its blocks. Returns the stream's start, or -1 when it is damaged.
    int64_t readStream(int64_t end, const uint8_t* footer, std::vector<Block>* blocks) {
        if (!crcMatches(footer + 4, 6, footer) || footer[8] != 0 || footer[9] > 15) return -1;
        int64_t indexSize = (int64_t{le32(footer + 4)} + 1) * 4;
        int64_t indexStart = end - kHeaderSize - indexSize;
        if (indexStart < kHeaderSize || indexSize > kMaxIndexSize) return -1;
        auto* index = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(indexSize)));
        if (!index) return -1;
        bool ok = readAt(source_, offset_, indexStart, index, static_cast<int>(indexSize)) &&
                  parseIndex(index, indexSize, blocks);
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
        if (start < 0 || !readAt(source_, offset_, start, header, kHeaderSize)) return -1;
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

    // The block that holds decoded `position`: the last one starting at or
    // before it (empty blocks share their start with the next one, which is
    // the one wanted); -1 for none.
    int blockAt(int64_t position) const {
        auto after = std::upper_bound(blocks_.begin(), blocks_.end(), position,
                                      [](int64_t p, const Block& b) { return p < b.start; });
        return static_cast<int>(after - blocks_.begin()) - 1;
    }

    // Makes the chain of the block holding position_ ready to deliver it.
    bool enterBlock() {
        if (chain_.chain && position_ >= blocks_[current_].start &&
            position_ < blocks_[current_].start + blocks_[current_].size) {
            int64_t inBlock = position_ - blocks_[current_].start;
            if (chain_.chain->tell() == inBlock) return true;
            if (!chain_.chain->seek(inBlock)) {
                closeBlock();
                return false;
            }
            checking_ = false;
            return true;
        }
        closeBlock();
        int index = blockAt(position_);
        if (index < 0) return false;
        CodecRequest naming;
        naming.name = name();
        naming.owner = ownerNoRef();
        naming.tag = tag();
        if (!openBlockChain(source_, offset_, blocks_[index], naming, &chain_)) return false;
        current_ = index;
        int64_t inBlock = position_ - blocks_[index].start;
        checking_ = inBlock == 0 && check_.start(blocks_[index].checkType);
        if (inBlock > 0 && !chain_.chain->seek(inBlock)) {
            closeBlock();
            return false;
        }
        return true;
    }

    void closeBlock() {
        chain_ = BlockChain{};
        current_ = -1;
        checking_ = false;
    }

    // Blocks go to the workers when reading starts at a block other than the
    // last, unless they gave that block back already.
    bool startFeeding() {
        int index = blockAt(position_);
        if (index < 0 || index + 1 >= static_cast<int>(blocks_.size()) || blocks_[index].start != position_ ||
            position_ == declinedAt_)
            return false;
        closeBlock();
        units_.restart();
        feedBase_ = blocks_[index].headerOffset;
        fed_ = feedBase_;
        feedUsed_ = feedFill_ = 0;
        feeding_ = true;
        return true;
    }

    void stopFeeding() {
        if (!feeding_) return;
        units_.restart();
        feeding_ = false;
    }

    // What the workers deliver, up to where they leave the rest to read().
    int readUnits(uint8_t* out, int wanted) {
        if (!feed_) feed_ = static_cast<uint8_t*>(std::malloc(kFeedPiece));
        int delivered = 0;
        while (feed_ && delivered < wanted) {
            if (feedUsed_ == feedFill_ && fed_ < packedSize_) {
                int n = static_cast<int>(std::min<int64_t>(packedSize_ - fed_, kFeedPiece));
                feedUsed_ = 0;
                feedFill_ = readAt(source_, offset_, fed_, feed_, n) ? n : 0;
                fed_ += feedFill_;
                if (feedFill_ == 0) break;  // the blocks are read as without workers, which tells what failed
            }
            int consumed = 0, produced = 0;
            int status = units_.decode(feed_ + feedUsed_, feedFill_ - feedUsed_, &consumed, out + delivered,
                                       wanted - delivered, &produced);
            feedUsed_ += consumed;
            delivered += produced;
            position_ += produced;
            if (status != kDecodeProgress) break;
        }
        if (delivered < wanted) {
            declinedAt_ = position_;
            stopFeeding();
        }
        return delivered;
    }

    Found findUnit(int64_t offset, const uint8_t*, int64_t size, bool, Unit* unit) override {
        const int64_t at = feedBase_ + offset;
        auto next = std::lower_bound(blocks_.begin(), blocks_.end(), at,
                                     [](const Block& b, int64_t p) { return b.headerOffset < p; });
        if (next == blocks_.end()) return Found::kNone;  // the last index: nothing more to decode
        if (next->headerOffset == at) *unit = Unit{roundUp4(next->unpaddedSize), next->size};
        else *unit = Unit{next->headerOffset - at, 0};
        return unit->length <= size ? Found::kUnit : Found::kMore;
    }

    Decoded decodeUnits(int64_t offset, bool, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                        const std::atomic<bool>& cancelled) const override {
        const int64_t from = feedBase_ + offset;
        Ref<InStream> bytes(openMemoryView(in, size));
        if (!bytes) return Decoded{};
        auto block = std::lower_bound(blocks_.begin(), blocks_.end(), from,
                                      [](const Block& b, int64_t p) { return b.headerOffset < p; });
        int64_t produced = 0;
        for (; block != blocks_.end() && block->headerOffset < from + size; ++block) {
            if (block->size > capacity - produced ||
                !decodeWholeBlock(bytes.get(), -from, *block, out + produced, cancelled))
                return Decoded{};
            produced += block->size;
        }
        return Decoded{produced, size};
    }

    // The stream reads on by itself from where the workers stopped.
    void startSerial(int64_t) override {}
    int decodeSerial(const uint8_t*, int, int* consumed, uint8_t*, int, int* produced) override {
        *consumed = *produced = 0;
        return kDecodeStop;
    }

    InStream* source_;
    int64_t offset_;
    int64_t packedSize_;
    std::vector<Block> blocks_;
    int64_t size_ = 0;
    int64_t position_ = 0;
    BlockChain chain_;
    int current_ = -1;
    bool checking_ = false;  // the block is read from its start: its check is being computed
    BlockCheck check_;

    bool feeding_ = false;     // the workers deliver from position_ on
    int64_t declinedAt_ = -1;  // where they last gave the reading back
    int64_t feedBase_ = 0;     // the xz offset their packed offset 0 is
    int64_t fed_ = 0;          // the xz offset of the next byte to read for them
    uint8_t* feed_ = nullptr;
    int feedUsed_ = 0;
    int feedFill_ = 0;
    ParallelUnits units_;  // last: stopped before what its workers read goes
};

}  // namespace

InStream* makeXzStream(const CodecRequest& r) {
    if (!r.source || r.offset < 0 || r.packedSize < 0) return nullptr;
    if (r.source->knownSize() < 0) return makeXzForwardStream(r);
    auto* stream = new (std::nothrow) XzStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize);
    if (stream && !stream->readIndexes()) {
        stream->release();
        return nullptr;
    }
    return stream;
}

}  // namespace zorvex
