// Shrink (zip method 1): LZW with codes of 9 to 13 bits, where code 256
// introduces a control code: 1 widens the codes by one bit, 2 frees every
// leaf of the string tree (a partial clear). New strings take the lowest free
// code above 256.
#pragma once

#include <cstdint>

#include "codecs/zip_legacy/legacy_decoder.h"

namespace zorvex {

class ShrinkDecoder final : public LegacyDecoder {
public:
    explicit ShrinkDecoder(int64_t size) : LegacyDecoder(size) { restart(); }

private:
    static constexpr int kCodes = 8192;
    static constexpr int kControl = 256;
    static constexpr int kFirstFree = 257;
    static constexpr int kMinCodeBits = 9;
    static constexpr int kMaxCodeBits = 13;

    enum State {
        kCode,         // the next code of codeBits_ bits
        kControlCode,  // the control code after a 256
        kString,       // delivering the string of the last code from stack_
    };

    void restart() override;
    void run() override;
    // Handles a code other than 256; false on damage.
    bool takeCode(int code);
    // Frees every string no other string extends.
    void partialClear();
    // Adds previous_ + `byte` at the lowest free code, if one is left.
    void addString(uint8_t byte);
    // Puts the string of `code` on the stack; false for a code chain that
    // reaches a free code or runs in a circle.
    bool stackString(int code);
    void findNextFree();

    State state_ = kCode;
    int codeBits_ = kMinCodeBits;
    int previous_ = -1;  // the last code taken; -1 before the first
    int nextFree_ = kFirstFree;
    int stackTop_ = 0;  // stack_[stackTop_, kCodes) is the string still to deliver

    // A string is its parent's string plus one byte; codes below 256 are the
    // single bytes. parent_ is -1 for a free code.
    int16_t parent_[kCodes];
    uint8_t byte_[kCodes];
    uint8_t stack_[kCodes];
};

}  // namespace zorvex
