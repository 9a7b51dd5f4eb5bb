// Implode (zip method 6): LZ77 over a 4 KiB or 8 KiB dictionary whose
// lengths, distances and (with three trees) literals are Shannon-Fano coded.
// The code lengths come first, run-length packed; then each item is a bit 1
// and a literal, or a bit 0 and a back-reference: the distance's low 6 or 7
// bits as they are, its high 6 bits coded, then the coded length, with a
// byte more when it is 63. The shortest copy is 3 bytes with a literal tree,
// else 2.
#pragma once

#include <cstdint>

#include "codecs/zip_legacy/legacy_decoder.h"

namespace zorvex {

// A Shannon-Fano code: codes are handed out from the longest lengths down,
// and arrive with their first bit the code's most significant one.
class ShannonFanoCode {
public:
    static constexpr int kMaxLength = 16;
    static constexpr int kNeedInput = -1;
    static constexpr int kInvalid = -2;

    // False when the lengths (1 to 16) do not give a prefix code.
    bool build(const uint8_t* lengths, int count);
    // The next symbol, kNeedInput when the bits end before a code does, or
    // kInvalid for bits that are no code.
    int decode(LsbBitReader& bits) const;

private:
    // Codes of one length have consecutive values, the lowest for the last
    // symbol of the length in (length, symbol) order.
    uint32_t lowest_[kMaxLength + 1];
    uint32_t count_[kMaxLength + 1];
    int end_[kMaxLength + 1];  // one past the length's last position in sorted_
    uint8_t sorted_[256];
};

class ImplodeDecoder final : public LegacyDecoder {
public:
    ImplodeDecoder(int64_t size, bool bigDictionary, bool literalTree);

private:
    enum State {
        kTreeSize,      // the byte count of a tree's description
        kTreeBytes,     // its bytes: a length and how many symbols have it
        kItem,          // the bit that tells a literal from a back-reference
        kLiteral,       // the literal, coded or as 8 bits
        kDistanceLow,   // the distance's low bits
        kDistanceHigh,  // its coded high bits
        kLength,        // the coded length
        kLengthExtra,   // the byte added to the longest coded length
        kCopy,          // delivering copyLeft_ bytes from copyDistance_ back
    };
    enum Tree { kLiteralTree, kLengthTree, kDistanceTree };

    void restart() override;
    void run() override;
    // Each returns false when the input ran dry (readCoded also on damage).
    bool readTreeByte();
    bool readCoded(const ShannonFanoCode& code, int* value);
    bool readBits(int count, int* value);
    // The description of tree_ is complete: builds it and moves on.
    void finishTree();

    const int distanceLowBits_;
    const int minCopy_;
    const bool literalTree_;
    State state_ = kTreeSize;
    Tree tree_ = kLiteralTree;
    int treeBytesLeft_ = 0;
    int lengthsFilled_ = 0;
    uint32_t copyDistance_ = 0;
    int copyLeft_ = 0;

    uint8_t lengths_[256];
    ShannonFanoCode literals_;
    ShannonFanoCode copyLengths_;
    ShannonFanoCode distances_;
};

}  // namespace zorvex
