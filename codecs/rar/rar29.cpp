// The RAR 2.9 block decoder: LZ blocks coded with Huffman tables, PPMd
// blocks, and the standard filters that post-process ranges of the output.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

#include "codecs/common/huffman.h"
#include "codecs/common/sdk_alloc.h"
#include "codecs/rar/filters29.h"
#include "codecs/rar/lz_common.h"
#include "codecs/rar/unpacker.h"

extern "C" {
#include "Ppmd7.h"
}

namespace zorvex::rar {
namespace {

constexpr int kMainSymbols = 299;
constexpr int kDistanceSymbols = 60;
constexpr int kLowDistanceSymbols = 17;
constexpr int kRepeatSymbols = 28;
constexpr int kTableSymbols = kMainSymbols + kDistanceSymbols + kLowDistanceSymbols + kRepeatSymbols;  // 404
constexpr int kPreCodeSymbols = 20;

// One low-distance symbol stands for the previous value and then so do the
// next 15 distances that need low bits.
constexpr int kLowDistanceRepeats = 16;

constexpr int kEndOfBlock = 256;
constexpr int kFilterSymbol = 257;
constexpr int kRepeatLast = 258;
constexpr int kFirstOldDistance = 259;
constexpr int kFirstShort = 263;
constexpr int kFirstLong = 271;

// PPMd codes after the escape character.
constexpr int kPpmEndOfBlock = 0;
constexpr int kPpmEndOfFile = 2;
constexpr int kPpmFilter = 3;
constexpr int kPpmMatch = 4;
constexpr int kPpmRun = 5;

constexpr uint8_t kPpmNewEscape = 0x40;
constexpr uint8_t kPpmReset = 0x20;

using Table = HuffmanTable<BitOrder::kMsbFirst, kMainSymbols, 10>;
using SmallTable = HuffmanTable<BitOrder::kMsbFirst, kDistanceSymbols, 8>;


class Rar29Decoder;

// The PPMd range decoder reads whole bytes from the bit input.
struct PpmdByteSource {
    IByteIn vt;
    Unpacker* unpacker;
};

Byte readPpmdByte(IByteInPtr p) {
    Unpacker* u = reinterpret_cast<const PpmdByteSource*>(p)->unpacker;
    u->ensureInput();
    return static_cast<Byte>(u->bits().read(8));
}

class Rar29Decoder final : public BlockDecoder {
public:
    Rar29Decoder() {
        Ppmd7_Construct(&ppmd_);
        byteSource_.vt.Read = readPpmdByte;
    }
    ~Rar29Decoder() override { Ppmd7_Free(&ppmd_, &kSdkHeap); }

    bool startMember(Unpacker& u, bool first) override;
    DecodeResult decode(Unpacker& u) override;
    bool writeOut(Unpacker& u, bool memberEnd) override { return filters_.writeOut(u, memberEnd); }

private:
    enum class Block { kLz, kPpmd };
    enum class Symbol { kOutput, kControl, kEndOfFile, kError };

    bool readTables(Unpacker& u);
    bool readLzTables(Unpacker& u);
    bool startPpmd(Unpacker& u);
    // Decodes one symbol: output into the window, or a table, filter or end.
    Symbol lzSymbol(Unpacker& u);
    Symbol ppmdSymbol(Unpacker& u);
    bool endOfBlock(Unpacker& u, Symbol* result);
    bool readLzFilter(Unpacker& u);
    bool readPpmdFilter(Unpacker& u);
    int ppmdByte() { return Ppmd7a_DecodeSymbol(&ppmd_); }
    void match(Unpacker& u, uint32_t length, uint64_t distance);
    void pushOldDistance(uint64_t distance);
    // At a member's end: consumes the end-of-file marker (and tables or
    // filters before it), which tells a solid group's next member whether
    // new tables follow and, in a PPMd block, updates the model.
    void finishMember(Unpacker& u);
    bool inputLeft(Unpacker& u) const {
        return u.inputBase() + u.bits().bytePosition() < u.memberPackedSize();
    }

    Block block_ = Block::kLz;
    bool tablesValid_ = false;
    Table main_;
    SmallTable distance_, lowDistance_, repeat_;
    uint8_t previousLengths_[kTableSymbols] = {};
    uint64_t oldDistances_[4] = {};
    uint64_t lastDistance_ = 0;
    uint32_t lastLength_ = 0;
    uint32_t previousLow_ = 0;
    int lowRepeats_ = 0;

    CPpmd7 ppmd_;
    PpmdByteSource byteSource_{};
    uint32_t ppmdMemory_ = 0;
    bool ppmdReady_ = false;
    int escape_ = 2;

    Filters29 filters_;
};

bool Rar29Decoder::startMember(Unpacker& u, bool first) {
    if (first) {
        block_ = Block::kLz;
        tablesValid_ = false;
        std::memset(previousLengths_, 0, sizeof previousLengths_);
        std::fill(std::begin(oldDistances_), std::end(oldDistances_), 0);
        lastDistance_ = lastLength_ = previousLow_ = 0;
        lowRepeats_ = 0;
        escape_ = 2;
        filters_.reset();
    }
    byteSource_.unpacker = &u;
    filters_.startMember();
    if (!tablesValid_) return readTables(u);
    return true;
}

bool Rar29Decoder::readTables(Unpacker& u) {
    u.bits().alignToByte();
    if (!u.ensureInput()) return false;
    if (u.bits().peek(1)) return startPpmd(u);
    return readLzTables(u);
}

bool Rar29Decoder::readLzTables(Unpacker& u) {
    MsbBitReader& bits = u.bits();
    block_ = Block::kLz;
    previousLow_ = 0;
    lowRepeats_ = 0;
    bits.skip(1);
    if (!bits.read(1)) std::memset(previousLengths_, 0, sizeof previousLengths_);

    uint8_t preLengths[kPreCodeSymbols] = {};
    for (int i = 0; i < kPreCodeSymbols;) {
        uint8_t length = static_cast<uint8_t>(bits.read(4));
        if (length == 15) {
            int zeros = static_cast<int>(bits.read(4));
            if (zeros == 0) {
                preLengths[i++] = 15;
            } else {
                for (zeros += 2; zeros > 0 && i < kPreCodeSymbols; --zeros) preLengths[i++] = 0;
            }
        } else {
            preLengths[i++] = length;
        }
    }
    SmallTable preCode;
    if (!preCode.build(preLengths, kPreCodeSymbols, Incomplete::kAccept)) return false;

    uint8_t lengths[kTableSymbols];
    for (int i = 0; i < kTableSymbols;) {
        if (!u.ensureInput() || u.inputOverrun()) return false;
        int symbol = preCode.decode(bits);
        if (symbol < 0) return false;
        if (symbol < 16) {
            lengths[i] = static_cast<uint8_t>((previousLengths_[i] + symbol) & 15);
            ++i;
            continue;
        }
        int count = symbol == 16 || symbol == 18 ? 3 + static_cast<int>(bits.read(3))
                                                 : 11 + static_cast<int>(bits.read(7));
        if (symbol <= 17) {
            if (i == 0) continue;  // nothing to repeat yet
            for (uint8_t last = lengths[i - 1]; count > 0 && i < kTableSymbols; --count) lengths[i++] = last;
        } else {
            for (; count > 0 && i < kTableSymbols; --count) lengths[i++] = 0;
        }
    }
    if (u.inputOverrun()) return false;
    std::memcpy(previousLengths_, lengths, sizeof lengths);
    const uint8_t* p = lengths;
    bool built = main_.build(p, kMainSymbols, Incomplete::kAccept) &&
                 distance_.build(p + kMainSymbols, kDistanceSymbols, Incomplete::kAccept) &&
                 lowDistance_.build(p + kMainSymbols + kDistanceSymbols, kLowDistanceSymbols, Incomplete::kAccept) &&
                 repeat_.build(p + kMainSymbols + kDistanceSymbols + kLowDistanceSymbols, kRepeatSymbols,
                               Incomplete::kAccept);
    tablesValid_ = built;
    return built;
}

bool Rar29Decoder::startPpmd(Unpacker& u) {
    MsbBitReader& bits = u.bits();
    uint8_t flags = static_cast<uint8_t>(bits.read(8));
    uint32_t memoryMb = 0;
    if (flags & kPpmReset) memoryMb = bits.read(8);
    if (flags & kPpmNewEscape) escape_ = static_cast<int>(bits.read(8));
    if (!(flags & kPpmReset) && !ppmdReady_) return false;
    ppmd_.rc.dec.Stream = &byteSource_.vt;
    if (!Ppmd7a_RangeDec_Init(&ppmd_.rc.dec) || u.inputOverrun()) return false;
    if (flags & kPpmReset) {
        unsigned order = (flags & 0x1F) + 1u;
        if (order > 16) order = 16 + (order - 16) * 3;
        if (order == 1) return false;
        // The encoder sizes its model with exactly this many bytes; any other
        // size moves the point where the model restarts.
        uint32_t memory = (memoryMb + 1) << 20;
        if (memory != ppmdMemory_) {
            Ppmd7_Free(&ppmd_, &kSdkHeap);
            ppmdMemory_ = 0;
            ppmdReady_ = false;
            if (!Ppmd7_Alloc(&ppmd_, memory, &kSdkHeap)) return false;
            ppmdMemory_ = memory;
        }
        Ppmd7_Init(&ppmd_, order);
        ppmdReady_ = true;
    }
    block_ = Block::kPpmd;
    // A PPMd block leaves no tables behind: the next member starts with a
    // block header of its own.
    tablesValid_ = false;
    return true;
}

void Rar29Decoder::pushOldDistance(uint64_t distance) {
    oldDistances_[3] = oldDistances_[2];
    oldDistances_[2] = oldDistances_[1];
    oldDistances_[1] = oldDistances_[0];
    oldDistances_[0] = distance;
}

void Rar29Decoder::match(Unpacker& u, uint32_t length, uint64_t distance) {
    lastLength_ = length;
    lastDistance_ = distance;
    u.copyMatch(distance, length);
}

bool Rar29Decoder::endOfBlock(Unpacker& u, Symbol* result) {
    MsbBitReader& bits = u.bits();
    if (bits.read(1)) {
        *result = Symbol::kControl;
        return readTables(u);
    }
    tablesValid_ = !bits.read(1);
    *result = Symbol::kEndOfFile;
    return true;
}

Rar29Decoder::Symbol Rar29Decoder::lzSymbol(Unpacker& u) {
    MsbBitReader& bits = u.bits();
    int symbol = main_.decode(bits);
    if (symbol < 0) return Symbol::kError;
    if (symbol < 256) {
        u.putByte(static_cast<uint8_t>(symbol));
        return Symbol::kOutput;
    }
    if (symbol >= kFirstLong) {
        int slot = symbol - kFirstLong;
        uint32_t length = kLengthBase[slot] + 3u;
        if (kLengthBits[slot]) length += bits.read(kLengthBits[slot]);
        int distanceSlot = distance_.decode(bits);
        if (distanceSlot < 0) return Symbol::kError;
        int extra = kDistances.bits[distanceSlot];
        uint64_t distance = kDistances.base[distanceSlot] + 1u;
        if (extra >= 4) {
            if (extra > 4) distance += uint64_t{bits.read(extra - 4)} << 4;
            if (lowRepeats_ > 0) {
                --lowRepeats_;
                distance += previousLow_;
            } else {
                int low = lowDistance_.decode(bits);
                if (low < 0) return Symbol::kError;
                if (low == 16) {
                    lowRepeats_ = kLowDistanceRepeats - 1;
                    distance += previousLow_;
                } else {
                    distance += static_cast<uint32_t>(low);
                    previousLow_ = static_cast<uint32_t>(low);
                }
            }
        } else if (extra > 0) {
            distance += bits.read(extra);
        }
        if (distance >= 0x2000) ++length;
        if (distance >= 0x40000) ++length;
        pushOldDistance(distance);
        match(u, length, distance);
        return Symbol::kOutput;
    }
    if (symbol >= kFirstShort) {
        int slot = symbol - kFirstShort;
        uint64_t distance = kShortBase[slot] + 1u + bits.read(kShortBits[slot]);
        pushOldDistance(distance);
        match(u, 2, distance);
        return Symbol::kOutput;
    }
    if (symbol >= kFirstOldDistance) {
        int index = symbol - kFirstOldDistance;
        uint64_t distance = oldDistances_[index];
        for (int i = index; i > 0; --i) oldDistances_[i] = oldDistances_[i - 1];
        oldDistances_[0] = distance;
        int slot = repeat_.decode(bits);
        if (slot < 0 || slot >= kRepeatSymbols) return Symbol::kError;
        uint32_t length = kLengthBase[slot] + 2u;
        if (kLengthBits[slot]) length += bits.read(kLengthBits[slot]);
        match(u, length, distance);
        return Symbol::kOutput;
    }
    if (symbol == kRepeatLast) {
        if (lastLength_ == 0) return Symbol::kControl;
        match(u, lastLength_, lastDistance_);
        return Symbol::kOutput;
    }
    if (symbol == kFilterSymbol) return readLzFilter(u) ? Symbol::kControl : Symbol::kError;
    Symbol result;
    return endOfBlock(u, &result) ? result : Symbol::kError;
}

bool Rar29Decoder::readLzFilter(Unpacker& u) {
    MsbBitReader& bits = u.bits();
    uint8_t flags = static_cast<uint8_t>(bits.read(8));
    uint32_t length = (flags & 7) + 1u;
    if (length == 7) {
        length = bits.read(8) + 7;
    } else if (length == 8) {
        length = bits.read(16);
    }
    std::vector<uint8_t> code(length);
    for (uint8_t& b : code) {
        if (!u.ensureInput()) return false;
        b = static_cast<uint8_t>(bits.read(8));
    }
    if (u.inputOverrun()) return false;
    return filters_.define(u, flags, code.data(), code.size());
}

bool Rar29Decoder::readPpmdFilter(Unpacker& u) {
    int flags = ppmdByte();
    if (flags < 0) return false;
    uint32_t length = (flags & 7) + 1u;
    if (length == 7) {
        int b = ppmdByte();
        if (b < 0) return false;
        length = static_cast<uint32_t>(b) + 7;
    } else if (length == 8) {
        int high = ppmdByte(), low = ppmdByte();
        if (high < 0 || low < 0) return false;
        length = static_cast<uint32_t>(high << 8 | low);
    }
    std::vector<uint8_t> code(length);
    for (uint8_t& b : code) {
        int c = ppmdByte();
        if (c < 0) return false;
        b = static_cast<uint8_t>(c);
    }
    return filters_.define(u, static_cast<uint8_t>(flags), code.data(), code.size());
}

Rar29Decoder::Symbol Rar29Decoder::ppmdSymbol(Unpacker& u) {
    int c = ppmdByte();
    if (c < 0) return Symbol::kError;
    if (c != escape_) {
        u.putByte(static_cast<uint8_t>(c));
        return Symbol::kOutput;
    }
    int code = ppmdByte();
    if (code < 0) return Symbol::kError;
    switch (code) {
        case kPpmEndOfBlock: return readTables(u) ? Symbol::kControl : Symbol::kError;
        case kPpmEndOfFile: return Symbol::kEndOfFile;
        case kPpmFilter: return readPpmdFilter(u) ? Symbol::kControl : Symbol::kError;
        case kPpmMatch: {
            uint32_t distance = 0;
            for (int i = 0; i < 3; ++i) {
                int b = ppmdByte();
                if (b < 0) return Symbol::kError;
                distance = distance << 8 | static_cast<uint32_t>(b);
            }
            int length = ppmdByte();
            if (length < 0) return Symbol::kError;
            u.copyMatch(distance + 2u, static_cast<uint32_t>(length) + 32u);
            return Symbol::kOutput;
        }
        case kPpmRun: {
            int length = ppmdByte();
            if (length < 0) return Symbol::kError;
            u.copyMatch(1, static_cast<uint32_t>(length) + 4u);
            return Symbol::kOutput;
        }
        default: u.putByte(static_cast<uint8_t>(escape_)); return Symbol::kOutput;
    }
}

DecodeResult Rar29Decoder::decode(Unpacker& u) {
    while (u.decoded() < u.decodeLimit()) {
        if (!u.ensureInput()) return DecodeResult::kError;
        Symbol s = block_ == Block::kLz ? lzSymbol(u) : ppmdSymbol(u);
        if (s == Symbol::kError || u.inputOverrun()) return DecodeResult::kError;
        if (s == Symbol::kEndOfFile) return DecodeResult::kMemberDone;
    }
    if (u.decoded() < u.memberEnd()) return DecodeResult::kMore;
    finishMember(u);
    return DecodeResult::kMemberDone;
}

void Rar29Decoder::finishMember(Unpacker& u) {
    if (block_ == Block::kPpmd) {
        // The escape and end code still update the model the next member uses.
        if (ppmdByte() == escape_) ppmdByte();
        return;
    }
    // Only what follows in this member's own data can be its end marker.
    while (inputLeft(u) && u.ensureInput()) {
        uint64_t before = u.bits().bitPosition();
        int symbol = main_.decode(u.bits());
        if (symbol == kFilterSymbol) {
            if (!readLzFilter(u)) return;
            continue;
        }
        if (symbol != kEndOfBlock) {
            u.bits().setBitPosition(before);
            return;
        }
        Symbol result;
        if (!endOfBlock(u, &result) || result == Symbol::kEndOfFile) return;
    }
}

}  // namespace

std::unique_ptr<BlockDecoder> makeRar29Decoder() { return std::unique_ptr<BlockDecoder>(new (std::nothrow) Rar29Decoder); }

}  // namespace zorvex::rar
