// The version 5.0 block decoder: LZ with four Huffman tables read per block,
// distances up to the dictionary size, and filters (delta, x86 call and jump,
// ARM branch) applied to ranges of the output before it is delivered.
//
// Positions are the unpacker's absolute byte counts rather than window
// offsets, so "not decoded yet", "before what was delivered" and "a lap
// ahead" need no wrap arithmetic. Each member (one file of a solid group)
// starts with a block header; tables, repeat distances and the window carry
// over, pending filters do not.
#include "codecs/rar/rar50.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/common/huffman.h"
#include "codecs/rar/unpacker.h"
#include "engine/byte_order.h"

namespace zorvex::rar {
namespace {

constexpr int kMainSymbols = 306;
constexpr int kDistanceSymbols = 64;
constexpr int kAlignSymbols = 16;
constexpr int kLengthSymbols = 44;
constexpr int kTableSize = kMainSymbols + kDistanceSymbols + kAlignSymbols + kLengthSymbols;  // 430
constexpr int kPreCodeSymbols = 20;

constexpr uint32_t kMaxFilterLength = 0x400000;
// Pending filters beyond this many force a write-out first.
constexpr size_t kFilterWriteOut = 8190;
// The longest match: 4097 from the length slot and 3 more for a far distance.
constexpr uint64_t kMaxMatch = 4100;

template <int kSymbols, int kPrimaryBits>
using Code = HuffmanTable<BitOrder::kMsbFirst, kSymbols, kPrimaryBits>;

void storeLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void rar50CallFilter(uint8_t* data, uint32_t size, uint64_t fileOffset, bool jumpsToo) {
    constexpr uint32_t kFileSize = 0x1000000;
    for (uint32_t p = 0; p + 4 < size;) {
        uint8_t op = data[p++];
        if (op != 0xE8 && !(jumpsToo && op == 0xE9)) continue;
        uint32_t offset = static_cast<uint32_t>((fileOffset + p) % kFileSize);
        auto address = static_cast<int32_t>(le32(data + p));
        if (address < 0) {
            if (static_cast<int32_t>(static_cast<uint32_t>(address) + offset) >= 0)
                storeLe32(data + p, static_cast<uint32_t>(address) + kFileSize);
        } else if (static_cast<uint32_t>(address) < kFileSize) {
            storeLe32(data + p, static_cast<uint32_t>(address) - offset);
        }
        p += 4;
    }
}

void rar50ArmFilter(uint8_t* data, uint32_t size, uint64_t fileOffset) {
    for (uint32_t p = 0; p + 3 < size; p += 4) {
        if (data[p + 3] != 0xEB) continue;
        uint32_t value = data[p] | data[p + 1] << 8 | data[p + 2] << 16;
        value -= static_cast<uint32_t>((fileOffset + p) / 4);
        data[p] = static_cast<uint8_t>(value);
        data[p + 1] = static_cast<uint8_t>(value >> 8);
        data[p + 2] = static_cast<uint8_t>(value >> 16);
    }
}

void rar50DeltaFilter(const uint8_t* in, uint8_t* out, uint32_t size, int channels) {
    for (int c = 0; c < channels; ++c) {
        uint8_t previous = 0;
        for (uint32_t i = c; i < size; i += channels) {
            previous = static_cast<uint8_t>(previous - *in++);
            out[i] = previous;
        }
    }
}

namespace {

enum FilterType : uint8_t { kDelta = 0, kE8 = 1, kE8E9 = 2, kArm = 3 };

struct Filter {
    uint64_t start;  // absolute output position of the block
    uint32_t length;
    uint8_t type;
    uint8_t channels;
};

class Rar50Decoder final : public BlockDecoder {
public:
    ~Rar50Decoder() override {
        std::free(filters_);
        std::free(filterBuffer_);
    }
    bool startMember(Unpacker& unpacker, bool first) override;
    DecodeResult decode(Unpacker& unpacker) override;
    bool writeOut(Unpacker& unpacker, bool memberEnd) override;

private:
    uint64_t position() const { return unpacker_->inputBase() * 8 + bits_->bitPosition(); }
    bool readBlockHeader();
    bool readTables();
    bool symbol();
    uint32_t slotLength(int slot);
    bool readDistance(uint64_t* distance);
    bool readFilter();
    bool addFilter(const Filter& filter);
    bool applyFilter(const Filter& filter);
    bool growFilterBuffer(size_t size);

    Unpacker* unpacker_ = nullptr;
    MsbBitReader* bits_ = nullptr;

    // The current block: where its data ends (absolute bit position).
    bool inBlock_ = false;
    bool lastBlock_ = false;
    bool fileDone_ = false;
    uint64_t blockEnd_ = 0;

    bool tablesValid_ = false;
    uint64_t repeats_[4] = {};
    uint32_t lastLength_ = 0;

    Filter* filters_ = nullptr;  // kFilterWriteOut of them, allocated on first use
    size_t filterCount_ = 0;
    uint8_t* filterBuffer_ = nullptr;
    size_t filterCapacity_ = 0;

    Code<kPreCodeSymbols, 7> preCode_;
    Code<kMainSymbols, 10> mainCode_;
    Code<kDistanceSymbols, 8> distanceCode_;
    Code<kAlignSymbols, 6> alignCode_;
    Code<kLengthSymbols, 7> lengthCode_;
};

bool Rar50Decoder::startMember(Unpacker& unpacker, bool first) {
    unpacker_ = &unpacker;
    bits_ = &unpacker.bits();
    if (first) {
        tablesValid_ = false;
        for (uint64_t& d : repeats_) d = 0;
        lastLength_ = 0;
    }
    inBlock_ = false;
    lastBlock_ = false;
    fileDone_ = false;
    filterCount_ = 0;
    return true;
}

DecodeResult Rar50Decoder::decode(Unpacker& unpacker) {
    // Unpacker limits leave room for its symbol bound; matches here reach 4100.
    uint64_t limit = std::min(unpacker.decodeLimit(), unpacker.written() + unpacker.window().size() - kMaxMatch);
    while (!fileDone_ && unpacker.decoded() < limit) {
        if (!unpacker.ensureInput()) return DecodeResult::kError;
        if (!inBlock_ || position() >= blockEnd_) {
            if (inBlock_ && lastBlock_) {
                fileDone_ = true;
                break;
            }
            if (!readBlockHeader()) return DecodeResult::kError;
            continue;
        }
        if (!symbol() || unpacker.inputOverrun()) return DecodeResult::kError;
    }
    return fileDone_ || unpacker.decoded() >= unpacker.memberEnd() ? DecodeResult::kMemberDone : DecodeResult::kMore;
}

// A block header: flags, a check byte and the size in 1-3 bytes. The block's
// data ends after size - 1 whole bytes and the valid bits of its last byte.
bool Rar50Decoder::readBlockHeader() {
    bits_->alignToByte();
    uint32_t flags = bits_->read(8);
    uint32_t check = bits_->read(8);
    int sizeBytes = static_cast<int>((flags >> 3) & 3) + 1;
    if (sizeBytes == 4) return false;
    uint32_t size = 0;
    for (int i = 0; i < sizeBytes; ++i) size |= bits_->read(8) << (8 * i);
    if (unpacker_->inputOverrun() || check != ((0x5A ^ flags ^ size ^ (size >> 8) ^ (size >> 16)) & 0xFF))
        return false;
    uint64_t start = position();
    blockEnd_ = size == 0 ? start : start + (uint64_t{size} - 1) * 8 + (flags & 7) + 1;
    lastBlock_ = (flags & 0x40) != 0;
    inBlock_ = true;
    if (flags & 0x80) {
        if (!readTables()) return false;
    } else if (!tablesValid_) {
        return false;
    }
    return position() <= blockEnd_;
}

bool Rar50Decoder::readTables() {
    tablesValid_ = false;
    uint8_t preLengths[kPreCodeSymbols];
    for (int i = 0; i < kPreCodeSymbols;) {
        uint8_t length = static_cast<uint8_t>(bits_->read(4));
        if (length == 15) {
            int zeros = static_cast<int>(bits_->read(4));
            if (zeros) {
                for (zeros += 2; zeros > 0 && i < kPreCodeSymbols; --zeros) preLengths[i++] = 0;
                continue;
            }
        }
        preLengths[i++] = length;
    }
    if (!preCode_.build(preLengths, kPreCodeSymbols, Incomplete::kAccept)) return false;

    uint8_t lengths[kTableSize];
    for (int i = 0; i < kTableSize;) {
        if (!unpacker_->ensureInput()) return false;
        int symbol = preCode_.decode(*bits_);
        if (symbol < 0) return false;
        if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        int count = symbol == 16 || symbol == 18 ? 3 + static_cast<int>(bits_->read(3))
                                                 : 11 + static_cast<int>(bits_->read(7));
        uint8_t value = 0;
        if (symbol < 18) {
            if (i == 0) return false;
            value = lengths[i - 1];
        }
        // Repeats stop at the table's end.
        for (; count > 0 && i < kTableSize; --count) lengths[i++] = value;
    }
    if (unpacker_->inputOverrun()) return false;
    const uint8_t* p = lengths;
    if (!mainCode_.build(p, kMainSymbols, Incomplete::kAccept) ||
        !distanceCode_.build(p += kMainSymbols, kDistanceSymbols, Incomplete::kAccept) ||
        !alignCode_.build(p += kDistanceSymbols, kAlignSymbols, Incomplete::kAccept) ||
        !lengthCode_.build(p += kAlignSymbols, kLengthSymbols, Incomplete::kAccept))
        return false;
    tablesValid_ = true;
    return true;
}

uint32_t Rar50Decoder::slotLength(int slot) {
    if (slot < 8) return static_cast<uint32_t>(slot) + 2;
    int extra = slot / 4 - 1;
    return ((4u | (slot & 3)) << extra) + bits_->read(extra) + 2;
}

bool Rar50Decoder::readDistance(uint64_t* distance) {
    int slot = distanceCode_.decode(*bits_);
    if (slot < 0) return false;
    if (slot < 4) {
        *distance = static_cast<uint64_t>(slot) + 1;
        return true;
    }
    int extra = slot / 2 - 1;
    uint64_t d = uint64_t{2u | (slot & 1u)} << extra;
    if (extra < 4) {
        d += bits_->read(extra);
    } else {
        // The low four bits come from the alignment code.
        if (extra > 4) d += uint64_t{bits_->read(extra - 4)} << 4;
        int low = alignCode_.decode(*bits_);
        if (low < 0) return false;
        d += static_cast<uint64_t>(low);
    }
    *distance = d + 1;
    return true;
}

// One main symbol. False on invalid data.
bool Rar50Decoder::symbol() {
    Unpacker& u = *unpacker_;
    int symbol = mainCode_.decode(*bits_);
    if (symbol < 0) return false;
    if (symbol < 256) {
        u.putByte(static_cast<uint8_t>(symbol));
        return true;
    }
    if (symbol == 256) return readFilter();
    if (symbol == 257) {
        if (lastLength_) u.copyMatch(repeats_[0], lastLength_);
        return true;
    }
    if (symbol < 262) {
        int index = symbol - 258;
        uint64_t distance = repeats_[index];
        for (int i = index; i > 0; --i) repeats_[i] = repeats_[i - 1];
        repeats_[0] = distance;
        int slot = lengthCode_.decode(*bits_);
        if (slot < 0) return false;
        lastLength_ = slotLength(slot);
        u.copyMatch(distance, lastLength_);
        return true;
    }
    uint32_t length = slotLength(symbol - 262);
    uint64_t distance;
    if (!readDistance(&distance)) return false;
    if (distance > 0x100) {
        ++length;
        if (distance > 0x2000) {
            ++length;
            if (distance > 0x40000) ++length;
        }
    }
    for (int i = 3; i > 0; --i) repeats_[i] = repeats_[i - 1];
    repeats_[0] = distance;
    lastLength_ = length;
    u.copyMatch(distance, length);
    return true;
}

// A filter record: block offset and length, each as a byte count and that
// many little-endian bytes, then the type and, for delta, the channel count.
bool Rar50Decoder::readFilter() {
    auto number = [this] {
        int bytes = static_cast<int>(bits_->read(2)) + 1;
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= bits_->read(8) << (8 * i);
        return value;
    };
    uint32_t offset = number();
    uint32_t length = number();
    Filter filter{};
    filter.type = static_cast<uint8_t>(bits_->read(3));
    // An unknown type would silently drop its block from the output.
    if (filter.type > kArm) return false;
    if (filter.type == kDelta) filter.channels = static_cast<uint8_t>(bits_->read(5) + 1);
    // Longer blocks are not made by any encoder: the filter does nothing.
    if (length > kMaxFilterLength || length == 0) return true;
    filter.start = unpacker_->decoded() + offset;
    filter.length = length;
    return addFilter(filter);
}

bool Rar50Decoder::addFilter(const Filter& filter) {
    if (!filters_) {
        filters_ = static_cast<Filter*>(std::malloc(kFilterWriteOut * sizeof(Filter)));
        if (!filters_) return false;
    }
    if (filterCount_ == kFilterWriteOut) {
        // Still as many after writing out: they all wait for data far ahead.
        if (!writeOut(*unpacker_, false) || filterCount_ == kFilterWriteOut) return false;
    }
    filters_[filterCount_++] = filter;
    return true;
}

// Hands out what was decoded, passing filtered blocks through their filters,
// up to the start of the first block not fully decoded yet. A block that
// starts inside output already delivered (overlapping an earlier block) is
// dropped.
bool Rar50Decoder::writeOut(Unpacker& unpacker, bool) {
    uint64_t decoded = unpacker.decoded();
    size_t kept = 0;
    bool blocked = false;
    for (size_t i = 0; i < filterCount_; ++i) {
        const Filter filter = filters_[i];
        if (blocked || filter.start >= decoded) {
            filters_[kept++] = filter;
            continue;
        }
        if (filter.start < unpacker.written()) continue;
        unpacker.emitWindow(filter.start);
        if (filter.start + filter.length > decoded) {
            filters_[kept++] = filter;
            blocked = true;
            continue;
        }
        if (!applyFilter(filter)) return false;
    }
    filterCount_ = kept;
    if (!blocked) unpacker.emitWindow(decoded);
    return true;
}

bool Rar50Decoder::growFilterBuffer(size_t size) {
    if (size <= filterCapacity_) return true;
    size_t capacity = size + size / 4 + 32;
    auto* grown = static_cast<uint8_t*>(std::realloc(filterBuffer_, capacity));
    if (!grown) return false;
    filterBuffer_ = grown;
    filterCapacity_ = capacity;
    return true;
}

// Gathers a filter's block from the window, transforms it and hands it out.
// The code offsets of the branch filters count from the start of the file.
bool Rar50Decoder::applyFilter(const Filter& filter) {
    Unpacker& u = *unpacker_;
    if (!growFilterBuffer(filter.type == kDelta ? size_t{filter.length} * 2 : filter.length)) return false;
    for (size_t done = 0; done < filter.length;) {
        size_t length = 0;
        const uint8_t* run = u.window().run(filter.start + done, filter.length - done, &length);
        std::memcpy(filterBuffer_ + done, run, length);
        done += length;
    }
    uint64_t fileOffset = filter.start - u.memberStart();
    uint8_t* result = filterBuffer_;
    switch (filter.type) {
        case kDelta:
            result = filterBuffer_ + filter.length;
            rar50DeltaFilter(filterBuffer_, result, filter.length, filter.channels);
            break;
        case kE8:
        case kE8E9: rar50CallFilter(filterBuffer_, filter.length, fileOffset, filter.type == kE8E9); break;
        case kArm: rar50ArmFilter(filterBuffer_, filter.length, fileOffset); break;
    }
    u.emitReplacement(result, filter.length, filter.length);
    return true;
}

}  // namespace

std::unique_ptr<BlockDecoder> makeRar50Decoder() {
    return std::unique_ptr<BlockDecoder>(new (std::nothrow) Rar50Decoder);
}

}  // namespace zorvex::rar
