#include "codecs/zip_legacy/reduce.h"

namespace zorvex {
namespace {
constexpr uint8_t kEscape = 144;
constexpr int kMinCopy = 3;

// Bits of an index into a follower set of `size` entries (at least one).
int indexBits(int size) {
    int bits = 1;
    while ((1 << bits) < size) ++bits;
    return bits;
}
}  // namespace

ReduceDecoder::ReduceDecoder(int64_t size, int factor) : LegacyDecoder(size), factor_(factor) { restart(); }

void ReduceDecoder::restart() {
    state_ = kSetSize;
    escape_ = kPlain;
    setIndex_ = 255;
    followerIndex_ = 0;
    lastByte_ = 0;
    copyLeft_ = 0;
}

void ReduceDecoder::run() {
    while (!failed() && room()) {
        switch (state_) {
            case kSetSize:
                if (!readSetSize()) return;
                break;
            case kFollower:
                if (!readFollower()) return;
                break;
            case kByte:
                if (!readByte()) return;
                break;
            case kCopy:
                while (copyLeft_ > 0 && room()) {
                    emit(back(copyDistance_));
                    --copyLeft_;
                }
                if (copyLeft_ == 0) state_ = kByte;
                break;
        }
    }
}

bool ReduceDecoder::readSetSize() {
    if (!bits_.ensure(6)) return false;
    int size = static_cast<int>(bits_.read(6));
    if (size > kMaxFollowers) {
        fail();
        return true;
    }
    setSize_[setIndex_] = static_cast<uint8_t>(size);
    followerIndex_ = 0;
    state_ = kFollower;
    return true;
}

bool ReduceDecoder::readFollower() {
    while (followerIndex_ < setSize_[setIndex_]) {
        if (!bits_.ensure(8)) return false;
        followers_[setIndex_][followerIndex_++] = static_cast<uint8_t>(bits_.read(8));
    }
    state_ = setIndex_-- == 0 ? kByte : kSetSize;
    return true;
}

bool ReduceDecoder::readByte() {
    int setSize = setSize_[lastByte_];
    if (setSize == 0) {
        if (!bits_.ensure(8)) return false;
        lastByte_ = static_cast<uint8_t>(bits_.read(8));
    } else {
        if (!bits_.ensure(1)) return false;
        bool whole = bits_.peek(1);
        int bits = whole ? 8 : indexBits(setSize);
        if (!bits_.ensure(1 + bits)) return false;
        bits_.drop(1);
        uint32_t value = bits_.read(bits);
        if (whole) {
            lastByte_ = static_cast<uint8_t>(value);
        } else if (value < static_cast<uint32_t>(setSize)) {
            lastByte_ = followers_[lastByte_][value];
        } else {
            fail();
            return true;
        }
    }
    takeByte(lastByte_);
    return true;
}

void ReduceDecoder::takeByte(uint8_t byte) {
    // The high bits of the byte after 144 belong to the distance; the low
    // ones are the length, all ones meaning that a further byte adds to it.
    const int lengthMask = 0xFF >> factor_;
    switch (escape_) {
        case kPlain:
            if (byte == kEscape) escape_ = kEscaped;
            else emit(byte);
            break;
        case kEscaped:
            if (byte == 0) {
                emit(kEscape);
                escape_ = kPlain;
                break;
            }
            escapeValue_ = byte;
            copyLength_ = byte & lengthMask;
            escape_ = copyLength_ == lengthMask ? kLength : kDistance;
            break;
        case kLength:
            copyLength_ += byte;
            escape_ = kDistance;
            break;
        case kDistance:
            copyDistance_ = static_cast<uint32_t>(((escapeValue_ >> (8 - factor_)) << 8) + byte + 1);
            copyLeft_ = copyLength_ + kMinCopy;
            escape_ = kPlain;
            state_ = kCopy;
            break;
    }
}

}  // namespace zorvex
