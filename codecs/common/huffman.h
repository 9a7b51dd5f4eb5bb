// Canonical Huffman decoding tables: one lookup in a primary table indexed by
// the next few bits, a second in a subtable for longer codes.
//
// An entry is a 32-bit word: bits 0-4 hold the code length (the bits to take),
// bit 5 marks a link to a subtable, bit 6 an unused code, and bits 8-31 the
// symbol's payload. By default the payload is the symbol number; a decoder may
// supply its own per-symbol payload (kind, base value, extra bits ...) so that
// its hot loop finds everything in the one entry. Payload 0 is what unused
// codes carry, so a payload layout should keep 0 for "invalid".
#pragma once

#include <cstdint>

#include "codecs/common/bit_reader.h"

namespace zorvex {

enum class BitOrder { kLsbFirst, kMsbFirst };

// What a set of code lengths that does not fill the code space means.
enum class Incomplete {
    kReject,
    kAcceptSingle,  // only a lone one-bit code (deflate's single distance code)
    kAccept,
};

namespace huffman {
constexpr uint32_t kLengthMask = 31;
constexpr uint32_t kLink = 1u << 5;
constexpr uint32_t kInvalid = 1u << 6;
constexpr int kPayloadShift = 8;
constexpr int kMaxCodeLength = 15;
constexpr int kMaxPrimaryBits = 12;
constexpr int kMaxSymbols = 1024;

// Returned by decode() instead of a symbol.
constexpr int kInvalidCode = -1;
constexpr int kNeedInput = -2;

constexpr uint32_t payloadOf(uint32_t entry) { return entry >> kPayloadShift; }
constexpr int lengthOf(uint32_t entry) { return static_cast<int>(entry & kLengthMask); }

// Fills `table` for `count` code lengths (0 = unused symbol). `payloads` may
// be null (payload = symbol number); given, each value is placed in bits 8-31
// as is (it must fit in 24 bits). False for lengths above `maxLength`, an
// over-subscribed set, or an incomplete one that `incomplete` refuses.
bool build(const uint8_t* lengths, int count, const uint32_t* payloads, int primaryBits, int maxLength,
           BitOrder order, Incomplete incomplete, uint32_t* table);
}  // namespace huffman

template <BitOrder kOrder, int kSymbols, int kPrimaryBits, int kMaxLength = huffman::kMaxCodeLength>
class HuffmanTable {
    static_assert(kPrimaryBits <= huffman::kMaxPrimaryBits && kMaxLength <= huffman::kMaxCodeLength);
    static_assert(kSymbols <= huffman::kMaxSymbols);

public:
    // Room for the primary table and the largest subtables the lengths allow.
    static constexpr int kSubtableRoots = kSymbols < (1 << kPrimaryBits) ? kSymbols : 1 << kPrimaryBits;
    static constexpr int kEntries =
        (1 << kPrimaryBits) + (kMaxLength > kPrimaryBits ? kSubtableRoots << (kMaxLength - kPrimaryBits) : 0);

    bool build(const uint8_t* lengths, int count, Incomplete incomplete, const uint32_t* payloads = nullptr) {
        if (count > kSymbols) return false;
        return huffman::build(lengths, count, payloads, kPrimaryBits, kMaxLength, kOrder, incomplete, entries_);
    }

    // The entry for the next code, its length field counting every bit the
    // code takes. Least significant first: `bits` is the bit buffer. Most
    // significant first: `bits` is the next kMaxLength bits (peek(kMaxLength)).
    uint32_t lookup(uint64_t bits) const {
        if constexpr (kOrder == BitOrder::kLsbFirst) {
            uint32_t e = entries_[bits & ((1u << kPrimaryBits) - 1)];
            if (!(e & huffman::kLink)) return e;
            uint32_t sub = static_cast<uint32_t>(bits >> kPrimaryBits) & ((1u << subBits(e)) - 1);
            return entries_[subOffset(e) + sub] + kPrimaryBits;
        } else {
            uint32_t e = entries_[bits >> (kMaxLength - kPrimaryBits)];
            if (!(e & huffman::kLink)) return e;
            int rest = subBits(e);
            uint32_t sub = static_cast<uint32_t>(bits >> (kMaxLength - kPrimaryBits - rest)) & ((1u << rest) - 1);
            return entries_[subOffset(e) + sub] + kPrimaryBits;
        }
    }

    // The next symbol's payload, or huffman::kInvalidCode for a code that is
    // not in the set, or huffman::kNeedInput when the input ran out first.
    int decode(LsbBitReader& reader) const
        requires(kOrder == BitOrder::kLsbFirst)
    {
        if (reader.count() < kMaxLength) reader.refill();
        uint32_t e = lookup(reader.bits());
        int length = huffman::lengthOf(e);
        if (e & huffman::kInvalid) return reader.count() < kMaxLength ? huffman::kNeedInput : huffman::kInvalidCode;
        if (length > reader.count()) return huffman::kNeedInput;
        reader.drop(length);
        return static_cast<int>(huffman::payloadOf(e));
    }
    // Past the end of the data this decodes padding: the caller checks
    // reader.overrun().
    int decode(MsbBitReader& reader) const
        requires(kOrder == BitOrder::kMsbFirst)
    {
        uint32_t e = lookup(reader.peek(kMaxLength));
        if (e & huffman::kInvalid) return huffman::kInvalidCode;
        reader.skip(huffman::lengthOf(e));
        return static_cast<int>(huffman::payloadOf(e));
    }

private:
    static int subBits(uint32_t link) { return static_cast<int>((link >> huffman::kPayloadShift) & 15); }
    static uint32_t subOffset(uint32_t link) { return link >> (huffman::kPayloadShift + 4); }

    uint32_t entries_[kEntries];
};

}  // namespace zorvex
