#include "codecs/zip_legacy/shrink.h"

namespace zorvex {
namespace {
constexpr int16_t kFree = -1;
constexpr int16_t kRoot = -2;  // a single byte: no parent
}  // namespace

void ShrinkDecoder::restart() {
    state_ = kCode;
    codeBits_ = kMinCodeBits;
    previous_ = -1;
    nextFree_ = kFirstFree;
    stackTop_ = kCodes;
    for (int i = 0; i < kCodes; ++i) {
        parent_[i] = i < kControl ? kRoot : kFree;
        byte_[i] = static_cast<uint8_t>(i);
    }
}

void ShrinkDecoder::run() {
    while (!failed() && room()) {
        switch (state_) {
            case kCode: {
                if (!bits_.ensure(codeBits_)) return;
                int code = static_cast<int>(bits_.read(codeBits_));
                if (code == kControl) {
                    state_ = kControlCode;
                } else if (takeCode(code)) {
                    state_ = kString;
                } else {
                    fail();
                }
                break;
            }
            case kControlCode: {
                if (!bits_.ensure(codeBits_)) return;
                int control = static_cast<int>(bits_.read(codeBits_));
                if (control == 1 && codeBits_ < kMaxCodeBits) {
                    ++codeBits_;
                } else if (control == 2) {
                    partialClear();
                } else {
                    fail();
                }
                state_ = kCode;
                break;
            }
            case kString:
                while (stackTop_ < kCodes && room()) emit(stack_[stackTop_++]);
                if (stackTop_ == kCodes) state_ = kCode;
                break;
        }
    }
}

bool ShrinkDecoder::takeCode(int code) {
    if (previous_ < 0) {
        // The first code is a single byte: there is no string to extend yet.
        if (parent_[code] != kRoot) return false;
        previous_ = code;
        return stackString(code);
    }
    bool known = parent_[code] != kFree;
    if (!known && code != nextFree_) return false;
    // The new string is the previous one plus the first byte of this code's
    // string; for the code being defined by this very use, that first byte
    // is the previous string's own.
    if (!stackString(known ? code : previous_)) return false;
    addString(stack_[stackTop_]);
    previous_ = code;
    return known || stackString(code);
}

bool ShrinkDecoder::stackString(int code) {
    stackTop_ = kCodes;
    for (int at = code; at != kRoot; at = parent_[at]) {
        if (at == kFree || stackTop_ == 0) return false;
        stack_[--stackTop_] = byte_[at];
    }
    return true;
}

void ShrinkDecoder::addString(uint8_t byte) {
    if (nextFree_ >= kCodes) return;  // the table is full until a clear
    parent_[nextFree_] = static_cast<int16_t>(previous_);
    byte_[nextFree_] = byte;
    findNextFree();
}

void ShrinkDecoder::findNextFree() {
    do ++nextFree_;
    while (nextFree_ < kCodes && parent_[nextFree_] != kFree);
}

void ShrinkDecoder::partialClear() {
    bool extended[kCodes] = {};
    for (int i = kFirstFree; i < kCodes; ++i)
        if (parent_[i] >= 0) extended[parent_[i]] = true;
    nextFree_ = kCodes;
    for (int i = kCodes - 1; i >= kFirstFree; --i) {
        if (extended[i]) continue;
        parent_[i] = kFree;
        nextFree_ = i;
    }
}

}  // namespace zorvex
