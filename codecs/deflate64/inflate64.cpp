#include "codecs/deflate64/inflate64.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/copy_bytes.h"

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

// Table payloads: bits 0-1 the kind, bits 2-6 the extra bits, bits 8-23 the
// base value. In a table entry they sit above the code length (see huffman.h):
// kind 0 is what unused codes carry.
enum Kind : uint32_t { kInvalid = 0, kLiteral = 1, kMatch = 2, kEndOfBlock = 3 };

constexpr uint32_t payload(uint32_t kind, uint32_t value, uint32_t extra) { return kind | extra << 2 | value << 8; }
constexpr int entryLength(uint32_t e) { return huffman::lengthOf(e); }
constexpr uint32_t entryKind(uint32_t e) { return (e >> 8) & 3; }
constexpr int entryExtra(uint32_t e) { return (e >> 10) & 31; }
constexpr uint32_t entryValue(uint32_t e) { return e >> 16; }

// What each symbol means: kind, base value and extra bits.
struct Symbols {
    uint32_t literal[288];
    uint32_t distance[32];

    Symbols() {
        for (uint32_t i = 0; i < 256; ++i) literal[i] = payload(kLiteral, i, 0);
        literal[256] = payload(kEndOfBlock, 0, 0);
        uint32_t base = 3;
        for (int i = 257; i < 285; ++i) {
            int extra = i < 265 ? 0 : (i - 261) / 4;
            literal[i] = payload(kMatch, base, extra);
            base += 1u << extra;
        }
        literal[285] = payload(kMatch, 3, 16);
        literal[286] = literal[287] = payload(kInvalid, 0, 0);
        base = 1;
        for (int i = 0; i < 32; ++i) {
            int extra = i < 4 ? 0 : i / 2 - 1;
            distance[i] = payload(kMatch, base, extra);
            base += 1u << extra;
        }
    }
};
const Symbols kSymbols;

// The fixed-code tables, built on first use (not at every program start).
struct FixedTables {
    Inflate64::LiteralTable literal;
    Inflate64::DistanceTable distance;

    FixedTables() {
        uint8_t lengths[288];
        for (int i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        literal.build(lengths, 288, Incomplete::kReject, kSymbols.literal);
        for (int i = 0; i < 32; ++i) lengths[i] = 5;
        distance.build(lengths, 32, Incomplete::kReject, kSymbols.distance);
    }
};
const FixedTables& fixedTables() {
    static const FixedTables tables;
    return tables;
}

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

}  // namespace

Inflate64::Inflate64() : window_(static_cast<uint8_t*>(std::malloc(kWindowSize))) {}

Inflate64::~Inflate64() { std::free(window_); }

void Inflate64::reset() {
    windowPos_ = deliveredPos_ = 0;
    total_ = 0;
    in_.clear();
    state_ = kBlockHeader;
    finalBlock_ = false;
    error_ = false;
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
        in_.setInput(in, in + inLength);
        int before = windowPos_;
        int startBits = in_.count();
        run();
        *consumed = static_cast<int>(in_.input() - in);
        moved = moved || *consumed > 0 || windowPos_ != before || in_.count() != startBits;
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
    copyBytes(out, window_ + deliveredPos_, n);
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
                if (!in_.ensure(3)) return false;
                finalBlock_ = in_.peek(1);
                switch (in_.peek(3) >> 1) {
                    case 0: state_ = kStoredHeader; break;
                    case 1: state_ = kLiteralLength; break;
                    case 2: state_ = kDynamicHeader; break;
                    default: state_ = kFailed; return true;
                }
                in_.drop(3);
                if (state_ == kLiteralLength) {
                    literalTable_ = fixedTables().literal;
                    distanceTable_ = fixedTables().distance;
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
        in_.alignToByte();
        if (!in_.ensure(32)) return false;
        uint32_t length = in_.peek(16);
        uint32_t check = in_.peek(32) >> 16;
        if ((length ^ 0xFFFF) != check) {
            state_ = kFailed;
            return true;
        }
        in_.drop(32);
        storedLeft_ = static_cast<int>(length);
        state_ = kStoredCopy;
    }
    while (storedLeft_ > 0 && windowPos_ < kWorkLimit) {
        int n = static_cast<int>(in_.copyBytes(window_ + windowPos_, std::min(storedLeft_, kWorkLimit - windowPos_)));
        if (n == 0) return false;
        windowPos_ += n;
        storedLeft_ -= n;
        total_ += n;
    }
    if (storedLeft_ == 0) state_ = kBlockHeader;
    return true;
}

bool Inflate64::readDynamicHeader() {
    if (state_ == kDynamicHeader) {
        if (!in_.ensure(14)) return false;
        literalCount_ = static_cast<int>(in_.read(5)) + 257;
        distanceCount_ = static_cast<int>(in_.read(5)) + 1;
        codeLengthCount_ = static_cast<int>(in_.read(4)) + 4;
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
            if (!in_.ensure(3)) return false;
            lengths_[kCodeLengthOrder[lengthIndex_]] = static_cast<uint8_t>(in_.read(3));
        }
        if (!codeLengthTable_.build(lengths_, 19, Incomplete::kReject)) {
            state_ = kFailed;
            return true;
        }
        lengthIndex_ = 0;
        state_ = kCodeLengths;
    }
    const int total = literalCount_ + distanceCount_;
    while (lengthIndex_ < total) {
        if (in_.count() < 14) in_.refill();
        uint32_t e = codeLengthTable_.lookup(in_.bits());
        if (e & huffman::kInvalid) {
            state_ = kFailed;
            return true;
        }
        int symbol = static_cast<int>(huffman::payloadOf(e));
        static constexpr int kRepeatBits[3] = {2, 3, 7};
        int extraBits = symbol < 16 ? 0 : kRepeatBits[symbol - 16];
        if (entryLength(e) + extraBits > in_.count()) return false;
        in_.drop(entryLength(e));
        if (symbol < 16) {
            lengths_[lengthIndex_++] = static_cast<uint8_t>(symbol);
            continue;
        }
        int extra = static_cast<int>(in_.read(extraBits));
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
    return literalTable_.build(lengths_, literalCount_, Incomplete::kAcceptSingle, kSymbols.literal) &&
           distanceTable_.build(lengths_ + literalCount_, distanceCount_, Incomplete::kAcceptSingle,
                                kSymbols.distance);
}

// The hot loop: literals and matches until the block ends, the work area is
// full or the input runs dry in the middle of a code.
bool Inflate64::decodeCodes() {
    uint8_t* const window = window_;
    int pos = windowPos_;
    bool result = true;
    while (pos < kWorkLimit) {
        if (state_ == kLiteralLength) {
            if (in_.count() < 32) in_.refill();
            uint32_t e = literalTable_.lookup(in_.bits());
            if (entryLength(e) + entryExtra(e) > in_.count()) {
                result = false;
                break;
            }
            in_.drop(entryLength(e));
            uint32_t kind = entryKind(e);
            if (kind == kLiteral) {
                window[pos++] = static_cast<uint8_t>(entryValue(e));
                continue;
            }
            if (kind != kMatch) {
                state_ = kind == kEndOfBlock ? kBlockHeader : kFailed;
                break;
            }
            int extra = entryExtra(e);
            matchLength_ = static_cast<int>(entryValue(e) + in_.read(extra));
            state_ = kDistance;
        }
        if (in_.count() < 32) in_.refill();
        uint32_t e = distanceTable_.lookup(in_.bits());
        if (entryLength(e) + entryExtra(e) > in_.count()) {
            result = false;
            break;
        }
        if (entryKind(e) != kMatch) {
            state_ = kFailed;
            break;
        }
        in_.drop(entryLength(e));
        int distance = static_cast<int>(entryValue(e) + in_.read(entryExtra(e)));
        state_ = kLiteralLength;
        if (distance > total_ + (pos - windowPos_)) {
            state_ = kFailed;
            break;
        }
        uint8_t* dst = window + pos;
        const uint8_t* src = dst - distance;
        const int length = matchLength_;
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
    total_ += pos - windowPos_;
    windowPos_ = pos;
    return result;
}

}  // namespace zorvex
