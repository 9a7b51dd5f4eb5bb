#include "codecs/deflate64/inflate64.h"

#include <cstdlib>
#include <cstring>

namespace zorvex {
namespace {

// History kept for back-references, the area decoded between slides, and
// room for the longest match (plus an 8-byte overshoot of the match copy)
// started just before the work area ends.
constexpr int kHistory = 65536;
constexpr int kWorkArea = 65536;
constexpr int kMaxMatch = 65538;
constexpr int kWindowSize = kHistory + kWorkArea + kMaxMatch + 16;
constexpr int kWorkLimit = kHistory + kWorkArea;

// Table entries: bits 0-4 the bits to drop, bits 5-7 the kind, bits 8-12 the
// extra bits (subtable bits for links), bits 16-31 the value.
enum Kind : uint32_t { kLiteral = 0, kMatch = 1, kEndOfBlock = 2, kLink = 3, kInvalid = 4 };

constexpr uint32_t entry(uint32_t kind, uint32_t value, uint32_t extra, uint32_t length) {
    return length | kind << 5 | extra << 8 | value << 16;
}
constexpr int entryLength(uint32_t e) { return e & 31; }
constexpr uint32_t entryKind(uint32_t e) { return (e >> 5) & 7; }
constexpr int entryExtra(uint32_t e) { return (e >> 8) & 31; }
constexpr uint32_t entryValue(uint32_t e) { return e >> 16; }

constexpr int kLiteralBits = 10;
constexpr int kDistanceBits = 8;
constexpr int kCodeLengthBits = 7;

// What each symbol means: kind, base value and extra bits, without length.
struct Symbols {
    uint32_t literal[288];
    uint32_t distance[32];
    uint32_t codeLength[19];

    Symbols() {
        for (uint32_t i = 0; i < 256; ++i) literal[i] = entry(kLiteral, i, 0, 0);
        literal[256] = entry(kEndOfBlock, 0, 0, 0);
        uint32_t base = 3;
        for (int i = 257; i < 285; ++i) {
            int extra = i < 265 ? 0 : (i - 261) / 4;
            literal[i] = entry(kMatch, base, extra, 0);
            base += 1u << extra;
        }
        literal[285] = entry(kMatch, 3, 16, 0);
        literal[286] = literal[287] = entry(kInvalid, 0, 0, 0);
        base = 1;
        for (int i = 0; i < 32; ++i) {
            int extra = i < 4 ? 0 : i / 2 - 1;
            distance[i] = entry(kMatch, base, extra, 0);
            base += 1u << extra;
        }
        for (uint32_t i = 0; i < 19; ++i) codeLength[i] = entry(kLiteral, i, 0, 0);
    }
};
const Symbols kSymbols;

uint32_t reverseBits(uint32_t code, int length) {
    uint32_t r = 0;
    for (int i = 0; i < length; ++i, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

// Builds a canonical Huffman decoding table. Over-subscribed lengths fail;
// an incomplete set is accepted only as a single one-bit code (or no code at
// all) when `allowIncomplete`; unused entries decode as invalid.
bool buildTable(const uint8_t* lengths, int count, const uint32_t* symbols, int primaryBits, bool allowIncomplete,
                uint32_t* table) {
    int lengthCount[16] = {};
    for (int i = 0; i < count; ++i) ++lengthCount[lengths[i]];
    int maxLength = 0;
    int left = 1;
    for (int len = 1; len < 16; ++len) {
        left = (left << 1) - lengthCount[len];
        if (left < 0) return false;
        if (lengthCount[len]) maxLength = len;
    }
    if (left > 0 && maxLength != 0 && !(allowIncomplete && maxLength == 1)) return false;

    const uint32_t invalid = entry(kInvalid, 0, 0, 0);
    const int primarySize = 1 << primaryBits;
    for (int i = 0; i < primarySize; ++i) table[i] = invalid;

    uint32_t nextCode[16];
    uint32_t code = 0;
    for (int len = 1; len < 16; ++len) {
        code = (code + lengthCount[len - 1] * (len > 1)) << 1;
        nextCode[len] = code;
    }
    // Codes longer than the primary index: size each prefix's subtable by
    // the longest code sharing that prefix.
    uint8_t subBits[1 << kLiteralBits] = {};
    uint32_t codes[288];
    for (int i = 0; i < count; ++i) {
        int len = lengths[i];
        if (!len) continue;
        codes[i] = reverseBits(nextCode[len]++, len);
        if (len > primaryBits) {
            uint32_t prefix = codes[i] & (primarySize - 1);
            if (len - primaryBits > subBits[prefix]) subBits[prefix] = static_cast<uint8_t>(len - primaryBits);
        }
    }
    int next = primarySize;
    for (int prefix = 0; prefix < primarySize; ++prefix) {
        if (!subBits[prefix]) continue;
        int size = 1 << subBits[prefix];
        table[prefix] = entry(kLink, next, subBits[prefix], primaryBits);
        for (int i = 0; i < size; ++i) table[next + i] = invalid;
        next += size;
    }
    for (int i = 0; i < count; ++i) {
        int len = lengths[i];
        if (!len) continue;
        if (len <= primaryBits) {
            for (int j = codes[i]; j < primarySize; j += 1 << len) table[j] = symbols[i] | len;
        } else {
            uint32_t link = table[codes[i] & (primarySize - 1)];
            int rest = len - primaryBits;
            uint32_t* sub = table + entryValue(link);
            for (int j = codes[i] >> primaryBits; j < 1 << entryExtra(link); j += 1 << rest) sub[j] = symbols[i] | rest;
        }
    }
    return true;
}

// The fixed-code tables, built once.
struct FixedTables {
    uint32_t literal[Inflate64::kTableSize];
    uint32_t distance[Inflate64::kTableSize];

    FixedTables() {
        uint8_t lengths[288];
        for (int i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        buildTable(lengths, 288, kSymbols.literal, kLiteralBits, false, literal);
        for (int i = 0; i < 32; ++i) lengths[i] = 5;
        buildTable(lengths, 32, kSymbols.distance, kDistanceBits, false, distance);
    }
};
const FixedTables kFixed;

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Looks up the next code without dropping it. Returns the entry with its
// length field holding all bits the code takes (primary + subtable).
inline uint32_t lookup(const uint32_t* table, int primaryBits, uint64_t bits) {
    uint32_t e = table[bits & ((1u << primaryBits) - 1)];
    if (entryKind(e) != kLink) return e;
    uint32_t sub = table[entryValue(e) + ((bits >> primaryBits) & ((1u << entryExtra(e)) - 1))];
    return sub + primaryBits;  // length field cannot overflow: at most 15
}

}  // namespace

Inflate64::Inflate64() : window_(static_cast<uint8_t*>(std::malloc(kWindowSize))) {}

Inflate64::~Inflate64() { std::free(window_); }

void Inflate64::reset() {
    windowPos_ = deliveredPos_ = 0;
    total_ = 0;
    bits_ = 0;
    bitCount_ = 0;
    state_ = kBlockHeader;
    finalBlock_ = false;
    error_ = false;
}

// Tops the bit buffer up to at least 56 bits while input lasts. False when
// no byte could be added.
inline bool Inflate64::refill() {
    if (inEnd_ - in_ >= 8) {
        uint64_t v;
        std::memcpy(&v, in_, 8);
        if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v = __builtin_bswap64(v);
        bits_ |= v << bitCount_;
        in_ += (63 - bitCount_) >> 3;
        bitCount_ |= 56;
        return true;
    }
    bool added = false;
    while (bitCount_ <= 56 && in_ < inEnd_) {
        bits_ |= static_cast<uint64_t>(*in_++) << bitCount_;
        bitCount_ += 8;
        added = true;
    }
    return added;
}

Inflate64::Result Inflate64::decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                                    int* produced) {
    *consumed = 0;
    *produced = 0;
    flush(out, outCapacity, produced);
    bool moved = *produced > 0;
    if (*produced < outCapacity && state_ != kDone && state_ != kFailed) {
        if (deliveredPos_ == windowPos_ && windowPos_ >= kWorkLimit) {
            std::memmove(window_, window_ + windowPos_ - kHistory, kHistory);
            windowPos_ = deliveredPos_ = kHistory;
        }
        in_ = in;
        inEnd_ = in + inLength;
        int before = windowPos_;
        int startBits = bitCount_;
        run();
        *consumed = static_cast<int>(in_ - in);
        moved = moved || *consumed > 0 || windowPos_ != before || bitCount_ != startBits;
        int already = *produced;
        flush(out + already, outCapacity - already, produced);
        *produced += already;
    }
    if (deliveredPos_ != windowPos_) return kProgress;
    if (state_ == kFailed) return *produced > 0 ? kProgress : kError;
    if (state_ == kDone) return kEnd;
    return moved ? kProgress : kError;
}

void Inflate64::flush(uint8_t* out, int outCapacity, int* produced) {
    int n = windowPos_ - deliveredPos_;
    if (n > outCapacity) n = outCapacity;
    std::memcpy(out, window_ + deliveredPos_, n);
    deliveredPos_ += n;
    *produced = n;
}

bool Inflate64::run() {
    for (;;) {
        switch (state_) {
            case kBlockHeader:
                if (finalBlock_) {
                    state_ = kDone;
                    return true;
                }
                if (bitCount_ < 3) refill();
                if (bitCount_ < 3) return false;
                finalBlock_ = bits_ & 1;
                switch ((bits_ >> 1) & 3) {
                    case 0: state_ = kStoredHeader; break;
                    case 1: state_ = kLiteralLength; break;
                    case 2: state_ = kDynamicHeader; break;
                    default: state_ = kFailed; return true;
                }
                drop(3);
                if (state_ == kLiteralLength) {
                    std::memcpy(literalTable_, kFixed.literal, sizeof literalTable_);
                    std::memcpy(distanceTable_, kFixed.distance, sizeof distanceTable_);
                }
                break;
            case kStoredHeader:
            case kStoredCopy:
                if (!readStored()) return false;
                break;
            case kDynamicHeader:
            case kCodeLengthCodes:
            case kCodeLengths:
                if (!readDynamicHeader()) return false;
                break;
            case kLiteralLength:
            case kDistance:
                if (!decodeCodes()) return false;
                break;
            case kDone:
            case kFailed:
                return true;
        }
        if (windowPos_ >= kWorkLimit) return true;
    }
}

bool Inflate64::readStored() {
    if (state_ == kStoredHeader) {
        drop(bitCount_ & 7);
        if (bitCount_ < 32) refill();
        if (bitCount_ < 32) return false;
        uint32_t length = bits_ & 0xFFFF;
        uint32_t check = (bits_ >> 16) & 0xFFFF;
        if ((length ^ 0xFFFF) != check) {
            state_ = kFailed;
            return true;
        }
        drop(32);
        storedLeft_ = static_cast<int>(length);
        state_ = kStoredCopy;
    }
    while (storedLeft_ > 0 && windowPos_ < kWorkLimit) {
        // Whole bytes still in the bit buffer come first.
        if (bitCount_ >= 8) {
            window_[windowPos_++] = static_cast<uint8_t>(bits_);
            drop(8);
            --storedLeft_;
            ++total_;
            continue;
        }
        // Bits above the count may hold a look-ahead copy of the bytes taken
        // directly here: clear them.
        bits_ = 0;
        int n = static_cast<int>(inEnd_ - in_);
        if (n == 0) return false;
        if (n > storedLeft_) n = storedLeft_;
        if (n > kWorkLimit - windowPos_) n = kWorkLimit - windowPos_;
        std::memcpy(window_ + windowPos_, in_, n);
        in_ += n;
        windowPos_ += n;
        storedLeft_ -= n;
        total_ += n;
    }
    if (storedLeft_ == 0) state_ = kBlockHeader;
    return true;
}

bool Inflate64::readDynamicHeader() {
    if (state_ == kDynamicHeader) {
        if (bitCount_ < 14) refill();
        if (bitCount_ < 14) return false;
        literalCount_ = static_cast<int>(bits_ & 31) + 257;
        distanceCount_ = static_cast<int>((bits_ >> 5) & 31) + 1;
        codeLengthCount_ = static_cast<int>((bits_ >> 10) & 15) + 4;
        drop(14);
        // Up to 32 distance codes are fine with a 64 KiB history; literal
        // and length codes stop at 285.
        if (literalCount_ > 286) {
            state_ = kFailed;
            return true;
        }
        std::memset(lengths_, 0, 19);
        lengthIndex_ = 0;
        state_ = kCodeLengthCodes;
    }
    if (state_ == kCodeLengthCodes) {
        for (; lengthIndex_ < codeLengthCount_; ++lengthIndex_) {
            if (bitCount_ < 3) refill();
            if (bitCount_ < 3) return false;
            lengths_[kCodeLengthOrder[lengthIndex_]] = bits_ & 7;
            drop(3);
        }
        if (!buildTable(lengths_, 19, kSymbols.codeLength, kCodeLengthBits, false, codeLengthTable_)) {
            state_ = kFailed;
            return true;
        }
        lengthIndex_ = 0;
        state_ = kCodeLengths;
    }
    const int total = literalCount_ + distanceCount_;
    while (lengthIndex_ < total) {
        if (bitCount_ < 14) refill();
        uint32_t e = lookup(codeLengthTable_, kCodeLengthBits, bits_);
        if (entryKind(e) == kInvalid) {
            state_ = kFailed;
            return true;
        }
        int symbol = static_cast<int>(entryValue(e));
        static constexpr int kRepeatBits[3] = {2, 3, 7};
        int extraBits = symbol < 16 ? 0 : kRepeatBits[symbol - 16];
        if (entryLength(e) + extraBits > bitCount_) return false;
        drop(entryLength(e));
        if (symbol < 16) {
            lengths_[lengthIndex_++] = static_cast<uint8_t>(symbol);
            continue;
        }
        int extra = static_cast<int>(bits_ & ((1u << extraBits) - 1));
        drop(extraBits);
        uint8_t value = 0;
        int repeat;
        if (symbol == 16) {
            if (lengthIndex_ == 0) {
                state_ = kFailed;
                return true;
            }
            value = lengths_[lengthIndex_ - 1];
            repeat = 3 + extra;
        } else {
            repeat = (symbol == 17 ? 3 : 11) + extra;
        }
        if (lengthIndex_ + repeat > total) {
            state_ = kFailed;
            return true;
        }
        std::memset(lengths_ + lengthIndex_, value, repeat);
        lengthIndex_ += repeat;
    }
    if (!buildDynamicTables()) {
        state_ = kFailed;
        return true;
    }
    state_ = kLiteralLength;
    return true;
}

bool Inflate64::buildDynamicTables() {
    if (lengths_[256] == 0) return false;  // no end-of-block code
    return buildTable(lengths_, literalCount_, kSymbols.literal, kLiteralBits, true, literalTable_) &&
           buildTable(lengths_ + literalCount_, distanceCount_, kSymbols.distance, kDistanceBits, true,
                      distanceTable_);
}

// The hot loop: literals and matches until the block ends, the work area is
// full or the input runs dry in the middle of a code.
bool Inflate64::decodeCodes() {
    uint8_t* const window = window_;
    int pos = windowPos_;
    bool result = true;
    if (state_ == kDistance) goto distance;
    while (pos < kWorkLimit) {
        {
            if (bitCount_ < 32) refill();
            uint32_t e = lookup(literalTable_, kLiteralBits, bits_);
            int need = entryLength(e) + entryExtra(e);
            if (need > bitCount_) {
                result = false;
                break;
            }
            uint32_t kind = entryKind(e);
            if (kind == kLiteral) {
                drop(entryLength(e));
                window[pos++] = static_cast<uint8_t>(entryValue(e));
                continue;
            }
            if (kind != kMatch) {
                drop(entryLength(e));
                state_ = kind == kEndOfBlock ? kBlockHeader : kFailed;
                break;
            }
            drop(entryLength(e));
            int extra = entryExtra(e);
            matchLength_ = static_cast<int>(entryValue(e) + (bits_ & ((1u << extra) - 1)));
            drop(extra);
            state_ = kDistance;
        }
    distance : {
        if (bitCount_ < 32) refill();
        uint32_t e = lookup(distanceTable_, kDistanceBits, bits_);
        int need = entryLength(e) + entryExtra(e);
        if (need > bitCount_) {
            result = false;
            break;
        }
        if (entryKind(e) != kMatch) {
            state_ = kFailed;
            break;
        }
        drop(entryLength(e));
        int extra = entryExtra(e);
        int distance = static_cast<int>(entryValue(e) + (bits_ & ((1u << extra) - 1)));
        drop(extra);
        state_ = kLiteralLength;
        if (distance > total_ + (pos - windowPos_)) {
            state_ = kFailed;
            break;
        }
        uint8_t* dst = window + pos;
        const uint8_t* src = dst - distance;
        int length = matchLength_;
        pos += length;
        if (distance >= 8) {
            // 8-byte steps may run up to 7 bytes past the match: the window
            // keeps room for that.
            for (int i = 0; i < length; i += 8) std::memcpy(dst + i, src + i, 8);
        } else if (distance == 1) {
            std::memset(dst, *src, length);
        } else {
            for (int i = 0; i < length; ++i) dst[i] = src[i];
        }
    }
    }
    total_ += pos - windowPos_;
    windowPos_ = pos;
    return result;
}

}  // namespace zorvex
