#include "codecs/common/huffman.h"

namespace zorvex::huffman {
namespace {

uint32_t reverseBits(uint32_t code, int length) {
    uint32_t r = 0;
    for (int i = 0; i < length; ++i, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

uint32_t linkEntry(uint32_t offset, int subBits, int primaryBits) {
    return static_cast<uint32_t>(primaryBits) | kLink | static_cast<uint32_t>(subBits) << kPayloadShift |
           offset << (kPayloadShift + 4);
}

// Checks the code space: false when over-subscribed or incomplete beyond what
// `incomplete` allows.
bool countLengths(const uint8_t* lengths, int count, int maxLength, Incomplete incomplete, int* lengthCount) {
    for (int i = 0; i < count; ++i) {
        if (lengths[i] > maxLength) return false;
        ++lengthCount[lengths[i]];
    }
    int longest = 0;
    int left = 1;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        left = (left << 1) - lengthCount[length];
        if (left < 0) return false;
        if (lengthCount[length]) longest = length;
    }
    if (left == 0 || longest == 0) return true;
    switch (incomplete) {
        case Incomplete::kReject: return false;
        case Incomplete::kAcceptSingle: return longest == 1;
        case Incomplete::kAccept: return true;
    }
    return false;
}

}  // namespace

bool build(const uint8_t* lengths, int count, const uint32_t* payloads, int primaryBits, int maxLength,
           BitOrder order, Incomplete incomplete, uint32_t* table) {
    if (count > kMaxSymbols) return false;
    int lengthCount[kMaxCodeLength + 1] = {};
    if (!countLengths(lengths, count, maxLength, incomplete, lengthCount)) return false;

    const bool lsb = order == BitOrder::kLsbFirst;
    const int primarySize = 1 << primaryBits;
    for (int i = 0; i < primarySize; ++i) table[i] = kInvalid;

    uint32_t nextCode[kMaxCodeLength + 1] = {};
    for (int length = 2; length <= kMaxCodeLength; ++length)
        nextCode[length] = (nextCode[length - 1] + lengthCount[length - 1]) << 1;

    // Codes as they appear in the primary index; a long code's subtable is
    // sized by the longest code sharing its primary prefix.
    uint8_t subBits[1 << kMaxPrimaryBits] = {};
    uint32_t codes[kMaxSymbols];
    for (int i = 0; i < count; ++i) {
        int length = lengths[i];
        if (!length) continue;
        uint32_t code = nextCode[length]++;
        codes[i] = lsb ? reverseBits(code, length) : code;
        if (length > primaryBits) {
            int rest = length - primaryBits;
            uint32_t prefix = lsb ? codes[i] & (primarySize - 1) : codes[i] >> rest;
            if (rest > subBits[prefix]) subBits[prefix] = static_cast<uint8_t>(rest);
        }
    }
    uint32_t next = primarySize;
    for (int prefix = 0; prefix < primarySize; ++prefix) {
        if (!subBits[prefix]) continue;
        uint32_t size = 1u << subBits[prefix];
        table[prefix] = linkEntry(next, subBits[prefix], primaryBits);
        for (uint32_t i = 0; i < size; ++i) table[next + i] = kInvalid;
        next += size;
    }

    for (int i = 0; i < count; ++i) {
        int length = lengths[i];
        if (!length) continue;
        uint32_t payload = (payloads ? payloads[i] : static_cast<uint32_t>(i)) << kPayloadShift;
        uint32_t code = codes[i];
        if (length <= primaryBits) {
            if (lsb) {
                for (int j = code; j < primarySize; j += 1 << length) table[j] = payload | length;
            } else {
                int spread = primaryBits - length;
                for (uint32_t j = 0; j < 1u << spread; ++j) table[(code << spread) + j] = payload | length;
            }
            continue;
        }
        int rest = length - primaryBits;
        uint32_t link = lsb ? table[code & (primarySize - 1)] : table[code >> rest];
        int linkBits = static_cast<int>((link >> kPayloadShift) & 15);
        uint32_t* sub = table + (link >> (kPayloadShift + 4));
        if (lsb) {
            for (int j = code >> primaryBits; j < 1 << linkBits; j += 1 << rest) sub[j] = payload | rest;
        } else {
            int spread = linkBits - rest;
            uint32_t first = (code & ((1u << rest) - 1)) << spread;
            for (uint32_t j = 0; j < 1u << spread; ++j) sub[first + j] = payload | rest;
        }
    }
    return true;
}

}  // namespace zorvex::huffman
