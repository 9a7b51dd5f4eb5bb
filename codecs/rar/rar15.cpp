// The version 15 block decoder. Its codes are fixed; what adapts are lists of
// values kept roughly most-used-first, and running averages that pick which
// fixed code the next position is read with. Item kinds come from flag bits
// delivered eight at a time in flag bytes, themselves coded as positions.
//
// Every member of a solid group starts its bit input afresh at its own packed
// data and ends at its unpacked size; the lists, averages, distances and the
// window carry over. Data no valid stream holds (a position past a list's
// end, distance 0 or before the first byte, a match past the member's end,
// bits past the packed data) is an error, never a read outside the lists.
#include <cstdint>
#include <new>
#include <utility>

#include "codecs/rar/lz_common.h"
#include "codecs/rar/unpacker.h"

namespace zorvex::rar {
namespace {

// A fixed prefix code over 16-bit left-aligned values: `limit[j]` is the end of
// the codes of length shortest + j, `base[L]` the first symbol of length L.
struct FixedCode {
    int shortest;
    uint16_t limit[12];
    uint16_t base[13];
};

// Position codes (257 symbols) and length codes (256 symbols).
constexpr FixedCode kP0 = {4, {0x8000, 0xC000, 0xE000, 0xF200, 0xF200, 0xF200, 0xF200, 0xF200, 0xFFFF},
                           {0, 0, 0, 0, 0, 8, 16, 24, 33, 33, 33, 33, 33}};
constexpr FixedCode kP1 = {5, {0x2000, 0xC000, 0xE000, 0xF000, 0xF200, 0xF200, 0xF7E0, 0xFFFF},
                           {0, 0, 0, 0, 0, 0, 4, 44, 60, 76, 80, 80, 127}};
constexpr FixedCode kP2 = {5, {0x1000, 0x2400, 0x8000, 0xC000, 0xFA00, 0xFFFF},
                           {0, 0, 0, 0, 0, 0, 2, 7, 53, 117, 233, 0, 0}};
constexpr FixedCode kP3 = {6, {0x0800, 0x2400, 0xEE00, 0xFE80, 0xFFFF},
                           {0, 0, 0, 0, 0, 0, 0, 2, 16, 218, 251, 0, 0}};
constexpr FixedCode kP4 = {8, {0xFF00, 0xFFFF}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0}};
constexpr FixedCode kN1 = {2,
                           {0x8000, 0xA000, 0xC000, 0xD000, 0xE000, 0xEA00, 0xEE00, 0xF000, 0xF200, 0xF200, 0xFFFF},
                           {0, 0, 0, 2, 3, 5, 7, 11, 16, 20, 24, 32, 32}};
constexpr FixedCode kN2 = {3, {0xA000, 0xC000, 0xD000, 0xE000, 0xEA00, 0xEE00, 0xF000, 0xF200, 0xF240, 0xFFFF},
                           {0, 0, 0, 0, 5, 7, 9, 13, 18, 22, 26, 34, 36}};

// Short-match selector codes: a row k matches when the top `length` bits of
// the next byte equal those of `pattern`; rows are tried in order. Length 0
// stands for "3 or 4 by the variant bit".
struct SelectorCode {
    uint8_t pattern[15];
    uint8_t length[15];
};
constexpr SelectorCode kS1 = {{0x00, 0xA0, 0xD0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF, 0xC0, 0x80, 0x90, 0x98, 0x9C, 0xB0},
                              {1, 0, 4, 4, 5, 6, 7, 8, 8, 4, 4, 5, 6, 6, 4}};
constexpr SelectorCode kS2 = {{0x00, 0x40, 0x60, 0xA0, 0xD0, 0xE0, 0xF0, 0xF8, 0xFC, 0xC0, 0x80, 0x90, 0x98, 0x9C, 0xB0},
                              {2, 3, 3, 0, 4, 4, 5, 6, 6, 4, 4, 5, 6, 6, 4}};

constexpr int kLiteralLimit = 0xA1;
constexpr int kCountLimit = 0xFF;

// 256 values ordered by decreasing use count. `start[c]` is the index of the
// first entry whose count is c (the number of entries counted higher).
class CountedList {
public:
    void reset(bool descending, bool rescaled) {
        for (int i = 0; i < 256; ++i) entries_[i] = static_cast<uint16_t>((descending ? (256 - i) & 0xFF : i) << 8);
        for (uint16_t& s : start_) s = 0;
        if (rescaled) rescale();
    }

    // The value at `p`; the entry then moves to the front of its count group
    // and joins the next higher one. A count passing `limit` first rescales
    // the whole list.
    int use(int p, int limit) {
        int value = entries_[p] >> 8;
        for (;;) {
            int count = entries_[p] & 0xFF;
            int q = start_[count]++;
            if (count + 1 > limit) {
                rescale();
                continue;
            }
            entries_[p] = static_cast<uint16_t>(value << 8 | (count + 1));
            std::swap(entries_[p], entries_[q]);
            return value;
        }
    }

private:
    // Counts by position: 7 for the first 32 entries down to 0 for the last.
    void rescale() {
        for (int i = 0; i < 256; ++i) entries_[i] = static_cast<uint16_t>((entries_[i] & 0xFF00) | (7 - (i >> 5)));
        for (int c = 0; c < 256; ++c) start_[c] = c < 8 ? static_cast<uint16_t>((7 - c) * 32) : 0;
    }

    uint16_t entries_[256];  // value << 8 | count
    uint16_t start_[256];
};

class Rar15Decoder final : public BlockDecoder {
public:
    bool startMember(Unpacker& unpacker, bool first) override;
    DecodeResult decode(Unpacker& unpacker) override;

private:
    void resetModel();
    int decodeFixed(const FixedCode& code);
    int decodeSelector();
    bool fetchFlagByte();
    int takeFlag();
    bool item();
    bool literalItem();
    bool runEscape();
    bool shortItem();
    bool longItem();
    void remember(uint32_t distance, int length, bool toHistory);
    bool copyMatch(uint32_t distance, int length);

    Unpacker* unpacker_ = nullptr;
    MsbBitReader* bits_ = nullptr;

    CountedList literals_;
    CountedList longDistances_;
    CountedList flagBytes_;
    uint8_t shortDistances_[256];
    int literalAverage_ = 0;
    int longDistanceAverage_ = 0;
    int shortAverage_ = 0;
    int longLengthAverage_ = 0;
    int zeroLengthScore_ = 0;
    int literalWeight_ = 0;
    int matchWeight_ = 0;
    uint32_t farLimit_ = 0;
    int altShort_ = 0;
    int literalRun_ = 0;
    MatchHistory history_;

    // Reset at every member.
    bool runMode_ = false;
    int repeatCount_ = 0;
    int flagByte_ = 0;
    int flagsLeft_ = 0;
    bool flagsStarted_ = false;
};

void Rar15Decoder::resetModel() {
    literals_.reset(false, false);
    longDistances_.reset(false, true);
    flagBytes_.reset(true, false);
    for (int i = 0; i < 256; ++i) shortDistances_[i] = static_cast<uint8_t>(i);
    literalAverage_ = 0x3500;
    longDistanceAverage_ = 0;
    shortAverage_ = 0;
    longLengthAverage_ = 0;
    zeroLengthScore_ = 0;
    literalWeight_ = 0x80;
    matchWeight_ = 0x80;
    farLimit_ = 0x2001;
    altShort_ = 0;
    literalRun_ = 0;
    history_ = {};
}

bool Rar15Decoder::startMember(Unpacker& unpacker, bool first) {
    unpacker_ = &unpacker;
    bits_ = &unpacker.bits();
    if (first) resetModel();
    runMode_ = false;
    repeatCount_ = 0;
    flagByte_ = 0;
    flagsLeft_ = 0;
    flagsStarted_ = false;
    return true;
}

DecodeResult Rar15Decoder::decode(Unpacker& unpacker) {
    // An empty member reads nothing, not even its first flag byte.
    if (unpacker.decoded() >= unpacker.memberEnd()) return DecodeResult::kMemberDone;
    if (!flagsStarted_) {
        if (!unpacker.ensureInput() || !fetchFlagByte()) return DecodeResult::kError;
        flagsLeft_ = 8;
        flagsStarted_ = true;
    }
    while (unpacker.decoded() < unpacker.decodeLimit()) {
        if (!unpacker.ensureInput() || !item() || unpacker.inputOverrun()) return DecodeResult::kError;
    }
    return unpacker.decoded() >= unpacker.memberEnd() ? DecodeResult::kMemberDone : DecodeResult::kMore;
}

int Rar15Decoder::decodeFixed(const FixedCode& code) {
    uint32_t w = bits_->peek(16) & 0xFFF0;
    int j = 0;
    while (w >= code.limit[j]) ++j;
    int length = code.shortest + j;
    uint32_t start = j > 0 ? code.limit[j - 1] : 0;
    bits_->skip(length);
    return code.base[length] + static_cast<int>((w - start) >> (16 - length));
}

int Rar15Decoder::decodeSelector() {
    const SelectorCode& code = shortAverage_ < 37 ? kS1 : kS2;
    uint32_t top = bits_->peek(8);
    int k = 0;
    int length = 0;
    // Every column is a complete code: some row always matches.
    for (; k < 14; ++k) {
        length = code.length[k] ? code.length[k] : 3 + altShort_;
        if ((top >> (8 - length)) == static_cast<uint32_t>(code.pattern[k] >> (8 - length))) break;
    }
    if (k == 14) length = code.length[14];
    bits_->skip(length);
    return k;
}

bool Rar15Decoder::fetchFlagByte() {
    int p = decodeFixed(kP2);
    if (p > 255) return false;
    flagByte_ = flagBytes_.use(p, kCountLimit);
    return true;
}

// The next flag bit, or -1 when the flag byte behind it is invalid.
int Rar15Decoder::takeFlag() {
    if (--flagsLeft_ < 0) {
        if (!fetchFlagByte()) return -1;
        flagsLeft_ = 7;
    }
    int bit = flagByte_ >> 7;
    flagByte_ = (flagByte_ << 1) & 0xFF;
    return bit;
}

// One item: a literal, a match or a control step.
bool Rar15Decoder::item() {
    if (runMode_) return literalItem();
    int first = takeFlag();
    if (first < 0) return false;
    bool matchPreferred = matchWeight_ > literalWeight_;
    if (first) return matchPreferred ? longItem() : literalItem();
    int second = takeFlag();
    if (second < 0) return false;
    if (second) return matchPreferred ? literalItem() : longItem();
    return shortItem();
}

bool Rar15Decoder::literalItem() {
    const FixedCode& code = literalAverage_ > 0x75FF   ? kP4
                            : literalAverage_ > 0x5DFF ? kP3
                            : literalAverage_ > 0x35FF ? kP2
                            : literalAverage_ > 0x0DFF ? kP1
                                                       : kP0;
    int symbol = decodeFixed(code);
    int p;
    if (runMode_) {
        if (symbol == 0) return runEscape();
        p = symbol - 1;
    } else {
        if (symbol > 255) return false;
        p = symbol;
        // Run mode starts only on a literal that used its flag byte's last bit.
        if (literalRun_ >= 16 && flagsLeft_ == 0) runMode_ = true;
        ++literalRun_;
    }
    literalAverage_ += p;
    literalAverage_ -= literalAverage_ >> 8;
    literalWeight_ += 16;
    if (literalWeight_ > 0xFF) {
        literalWeight_ = 0x90;
        matchWeight_ >>= 1;
    }
    unpacker_->putByte(static_cast<uint8_t>(literals_.use(p, kLiteralLimit)));
    return true;
}

// Literal symbol 0 in run mode either ends run mode or brings a match that
// changes no other state.
bool Rar15Decoder::runEscape() {
    if (bits_->read(1)) {
        runMode_ = false;
        literalRun_ = 0;
        return true;
    }
    int length = bits_->read(1) ? 4 : 3;
    uint32_t distance = static_cast<uint32_t>(decodeFixed(kP2)) * 32;
    distance += bits_->read(5);
    return copyMatch(distance, length);
}

bool Rar15Decoder::shortItem() {
    literalRun_ = 0;
    if (repeatCount_ == 2) {
        if (bits_->read(1)) return copyMatch(history_.lastDistance, history_.lastLength);
        repeatCount_ = 0;
    }
    int k = decodeSelector();
    if (k <= 8) {
        repeatCount_ = 0;
        shortAverage_ += k;
        shortAverage_ -= shortAverage_ >> 4;
        int p = decodeFixed(kP2);
        if (p > 255) return false;
        uint32_t distance = shortDistances_[p] + 1u;
        if (p > 0) std::swap(shortDistances_[p], shortDistances_[p - 1]);
        remember(distance, k + 2, true);
        return copyMatch(distance, k + 2);
    }
    if (k == 9) {
        ++repeatCount_;
        return copyMatch(history_.lastDistance, history_.lastLength);
    }
    repeatCount_ = 0;
    if (k == 14) {
        int length = decodeFixed(kN2) + 5;
        uint32_t distance = 0x8000 + bits_->read(15);
        remember(distance, length, false);
        return copyMatch(distance, length);
    }
    uint32_t distance = history_.back(k - 9);
    int n = decodeFixed(kN1);
    if (k == 10 && n == 255) {
        altShort_ ^= 1;
        return true;
    }
    int length = n + 2;
    if (distance > 256) ++length;
    if (distance >= farLimit_) ++length;
    remember(distance, length, true);
    return copyMatch(distance, length);
}

bool Rar15Decoder::longItem() {
    literalRun_ = 0;
    matchWeight_ += 16;
    if (matchWeight_ > 0xFF) {
        matchWeight_ = 0x90;
        literalWeight_ >>= 1;
    }
    int oldLengthAverage = longLengthAverage_;
    int n;
    if (longLengthAverage_ >= 122) {
        n = decodeFixed(kN2);
    } else if (longLengthAverage_ >= 64) {
        n = decodeFixed(kN1);
    } else {
        // Eight zero bits bring a raw byte; otherwise a unary code.
        uint32_t v = bits_->peek(16);
        if (v < 0x100) {
            n = static_cast<int>(v);
            bits_->skip(16);
        } else {
            n = __builtin_clz(v) - 16;
            bits_->skip(n + 1);
        }
    }
    longLengthAverage_ += n;
    longLengthAverage_ -= longLengthAverage_ >> 5;

    const FixedCode& code = longDistanceAverage_ > 0x28FF ? kP2 : longDistanceAverage_ > 0x06FF ? kP1 : kP0;
    int s = decodeFixed(code);
    if (s > 255) return false;
    longDistanceAverage_ += s;
    longDistanceAverage_ -= longDistanceAverage_ >> 8;
    uint32_t distance = static_cast<uint32_t>(longDistances_.use(s, kCountLimit)) * 128;
    distance += bits_->read(7);

    // Length adjustments and the score use the far limit and averages as
    // they were before this match.
    int oldScore = zeroLengthScore_;
    if (n != 1 && n != 4) {
        if (n == 0 && distance <= farLimit_) {
            ++zeroLengthScore_;
            zeroLengthScore_ -= zeroLengthScore_ >> 8;
        } else if (zeroLengthScore_ > 0) {
            --zeroLengthScore_;
        }
    }
    int length = n + 3;
    if (distance >= farLimit_) ++length;
    if (distance <= 256) length += 8;
    farLimit_ = oldScore > 0xB0 || (literalAverage_ >= 0x2A00 && oldLengthAverage < 0x40) ? 0x7F00 : 0x2001;
    remember(distance, length, true);
    return copyMatch(distance, length);
}

void Rar15Decoder::remember(uint32_t distance, int length, bool toHistory) {
    if (toHistory) history_.push(distance);
    history_.lastDistance = distance;
    history_.lastLength = length;
}

// A match must start after the stream's first byte and end within the member.
bool Rar15Decoder::copyMatch(uint32_t distance, int length) {
    if (length == 0) return true;
    Unpacker& u = *unpacker_;
    if (distance == 0 || distance > u.decoded() || static_cast<uint64_t>(length) > u.memberEnd() - u.decoded())
        return false;
    u.copyMatch(distance, static_cast<uint32_t>(length));
    return true;
}

}  // namespace

std::unique_ptr<BlockDecoder> makeRar15Decoder() {
    return std::unique_ptr<BlockDecoder>(new (std::nothrow) Rar15Decoder);
}

}  // namespace zorvex::rar
