#include "codecs/zip_legacy/implode.h"

namespace zorvex {

bool ShannonFanoCode::build(const uint8_t* lengths, int count) {
    // Symbols sorted by length, in symbol order within a length.
    int position[kMaxLength + 2] = {};
    for (int i = 0; i < count; ++i) {
        if (lengths[i] < 1 || lengths[i] > kMaxLength) return false;
        ++position[lengths[i] + 1];
    }
    for (int length = 1; length <= kMaxLength + 1; ++length) position[length] += position[length - 1];
    for (int length = 0; length <= kMaxLength; ++length) {
        end_[length] = position[length + 1];
        count_[length] = static_cast<uint32_t>(position[length + 1] - position[length]);
    }
    for (int i = 0; i < count; ++i) sorted_[position[lengths[i]]++] = static_cast<uint8_t>(i);

    // 16-bit codes, left aligned, counted up from the longest. Each length's
    // lowest code must be a whole code of that length, and all must fit in
    // 16 bits, for no code to be the start of another.
    uint32_t code = 0;
    for (int length = kMaxLength; length >= 1; --length) {
        if (count_[length] == 0) continue;
        uint32_t step = 1u << (kMaxLength - length);
        if (code % step != 0) return false;
        lowest_[length] = code / step;
        code += count_[length] * step;
        if (code > 1u << kMaxLength) return false;
    }
    return true;
}

int ShannonFanoCode::decode(LsbBitReader& bits) const {
    if (bits.count() < kMaxLength) bits.refill();
    const int available = bits.count() < kMaxLength ? bits.count() : kMaxLength;
    const uint64_t buffer = bits.bits();
    uint32_t code = 0;
    for (int length = 1; length <= available; ++length) {
        code = code << 1 | static_cast<uint32_t>((buffer >> (length - 1)) & 1);
        uint32_t index = code - lowest_[length];
        if (count_[length] != 0 && index < count_[length]) {
            bits.drop(length);
            return sorted_[end_[length] - 1 - static_cast<int>(index)];
        }
    }
    return available < kMaxLength ? kNeedInput : kInvalid;
}

ImplodeDecoder::ImplodeDecoder(int64_t size, bool bigDictionary, bool literalTree)
    : LegacyDecoder(size),
      distanceLowBits_(bigDictionary ? 7 : 6),
      minCopy_(literalTree ? 3 : 2),
      literalTree_(literalTree) {
    restart();
}

void ImplodeDecoder::restart() {
    state_ = kTreeSize;
    tree_ = literalTree_ ? kLiteralTree : kLengthTree;
    copyLeft_ = 0;
}

void ImplodeDecoder::run() {
    int value = 0;
    while (!failed() && room()) {
        switch (state_) {
            case kTreeSize:
                if (!readBits(8, &value)) return;
                treeBytesLeft_ = value + 1;
                lengthsFilled_ = 0;
                state_ = kTreeBytes;
                break;
            case kTreeBytes:
                if (!readTreeByte()) return;
                break;
            case kItem:
                if (!readBits(1, &value)) return;
                state_ = value ? kLiteral : kDistanceLow;
                break;
            case kLiteral:
                if (literalTree_ ? !readCoded(literals_, &value) : !readBits(8, &value)) return;
                emit(static_cast<uint8_t>(value));
                state_ = kItem;
                break;
            case kDistanceLow:
                if (!readBits(distanceLowBits_, &value)) return;
                copyDistance_ = static_cast<uint32_t>(value) + 1;
                state_ = kDistanceHigh;
                break;
            case kDistanceHigh:
                if (!readCoded(distances_, &value)) return;
                copyDistance_ += static_cast<uint32_t>(value) << distanceLowBits_;
                state_ = kLength;
                break;
            case kLength:
                if (!readCoded(copyLengths_, &value)) return;
                copyLeft_ = value + minCopy_;
                state_ = value == 63 ? kLengthExtra : kCopy;
                break;
            case kLengthExtra:
                if (!readBits(8, &value)) return;
                copyLeft_ += value;
                state_ = kCopy;
                break;
            case kCopy:
                while (copyLeft_ > 0 && room()) {
                    emit(back(copyDistance_));
                    --copyLeft_;
                }
                if (copyLeft_ == 0) state_ = kItem;
                break;
        }
    }
}

bool ImplodeDecoder::readBits(int count, int* value) {
    if (!bits_.ensure(count)) return false;
    *value = static_cast<int>(bits_.read(count));
    return true;
}

bool ImplodeDecoder::readCoded(const ShannonFanoCode& code, int* value) {
    int symbol = code.decode(bits_);
    if (symbol == ShannonFanoCode::kNeedInput) return false;
    if (symbol == ShannonFanoCode::kInvalid) {
        fail();
        return false;
    }
    *value = symbol;
    return true;
}

bool ImplodeDecoder::readTreeByte() {
    // Each byte: the code length - 1 in the low nibble, the number of
    // consecutive symbols with that length - 1 in the high one.
    const int symbols = tree_ == kLiteralTree ? 256 : 64;
    int value = 0;
    while (treeBytesLeft_ > 0) {
        if (!readBits(8, &value)) return false;
        --treeBytesLeft_;
        int run = (value >> 4) + 1;
        if (lengthsFilled_ + run > symbols) {
            fail();
            return true;
        }
        for (int i = 0; i < run; ++i) lengths_[lengthsFilled_++] = static_cast<uint8_t>((value & 15) + 1);
    }
    finishTree();
    return true;
}

void ImplodeDecoder::finishTree() {
    ShannonFanoCode& code = tree_ == kLiteralTree ? literals_ : tree_ == kLengthTree ? copyLengths_ : distances_;
    const int symbols = tree_ == kLiteralTree ? 256 : 64;
    if (lengthsFilled_ != symbols || !code.build(lengths_, symbols)) {
        fail();
        return;
    }
    if (tree_ == kDistanceTree) {
        state_ = kItem;
    } else {
        tree_ = tree_ == kLiteralTree ? kLengthTree : kDistanceTree;
        state_ = kTreeSize;
    }
}

}  // namespace zorvex
