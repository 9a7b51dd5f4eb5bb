#include "codecs/rar/filters29.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/common/bit_reader.h"
#include "codecs/rar/unpacker.h"
#include "engine/byte_order.h"
#include "engine/crc32.h"

namespace zorvex::rar {
namespace {

struct KnownProgram {
    uint32_t size;
    uint32_t crc;
    FilterType type;
};

constexpr KnownProgram kKnownPrograms[] = {
    {53, 0xAD576887, FilterType::kE8},     {57, 0x3CD7E57E, FilterType::kE8E9},
    {120, 0x3769893F, FilterType::kItanium}, {29, 0x0E06077D, FilterType::kDelta},
    {149, 0x1C2C5DC8, FilterType::kRgb},   {216, 0xBC85E701, FilterType::kAudio},
};

// Blocks the filters that write their result after the input may have.
constexpr uint32_t kMaxTwoPartBlock = 0x1DFFF;
constexpr uint32_t kMaxInPlaceBlock = 0x3BFFF;
constexpr uint32_t kMaxDeltaChannels = 1024;
constexpr uint32_t kMaxAudioChannels = 128;

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

FilterResult unchanged(uint32_t length) { return {0, length}; }

FilterResult runE8(uint8_t* memory, uint32_t length, uint32_t fileOffset, bool e9) {
    constexpr uint32_t kAddressSpace = 0x1000000;
    if (length < 4 || length > kMaxInPlaceBlock) return unchanged(length);
    for (uint32_t pos = 0; pos + 4 < length;) {
        uint8_t b = memory[pos++];
        if (b != 0xE8 && !(e9 && b == 0xE9)) continue;
        uint32_t offset = pos + fileOffset;
        int32_t address = static_cast<int32_t>(le32(memory + pos));
        if (address < 0) {
            if (static_cast<int32_t>(static_cast<uint32_t>(address) + offset) >= 0)
                putLe32(memory + pos, static_cast<uint32_t>(address) + kAddressSpace);
        } else if (static_cast<uint32_t>(address) < kAddressSpace) {
            putLe32(memory + pos, static_cast<uint32_t>(address) - offset);
        }
        pos += 4;
    }
    return unchanged(length);
}

uint32_t bundleBits(const uint8_t* p, uint32_t bit, int count) {
    uint32_t v = le32(p + bit / 8) >> (bit & 7);
    return v & (0xFFFFFFFFu >> (32 - count));
}

void setBundleBits(uint8_t* p, uint32_t bit, int count, uint32_t value) {
    uint32_t shift = bit & 7;
    uint32_t mask = ~((0xFFFFFFFFu >> (32 - count)) << shift);
    uint32_t word = (le32(p + bit / 8) & mask) | (value << shift);
    putLe32(p + bit / 8, word);
}

FilterResult runItanium(uint8_t* memory, uint32_t length, uint32_t fileOffset) {
    // Which of the three 41-bit slots of a bundle hold branches, by template 16-31.
    static constexpr uint8_t kBranchSlots[16] = {4, 4, 6, 6, 0, 0, 7, 7, 4, 4, 0, 0, 4, 4, 0, 0};
    if (length < 21 || length > kMaxInPlaceBlock) return unchanged(length);
    uint32_t bundle = fileOffset >> 4;
    for (uint32_t pos = 0; pos + 21 < length; pos += 16, ++bundle) {
        uint8_t* p = memory + pos;
        int templ = p[0] & 0x1F;
        if (templ < 16) continue;
        for (int slot = 0; slot < 3; ++slot) {
            if (!((kBranchSlots[templ - 16] >> slot) & 1)) continue;
            uint32_t start = static_cast<uint32_t>(slot) * 41 + 5;
            if (bundleBits(p, start + 37, 4) != 5) continue;
            uint32_t target = bundleBits(p, start + 13, 20);
            setBundleBits(p, start + 13, 20, (target - bundle) & 0xFFFFF);
        }
    }
    return unchanged(length);
}

FilterResult runDelta(uint8_t* memory, uint32_t length, uint32_t channels) {
    if (length > kMaxTwoPartBlock || channels == 0 || channels > kMaxDeltaChannels) return unchanged(length);
    uint8_t* out = memory + length;
    const uint8_t* in = memory;
    for (uint32_t c = 0; c < channels; ++c) {
        uint8_t previous = 0;
        for (uint32_t i = c; i < length; i += channels) out[i] = previous = static_cast<uint8_t>(previous - *in++);
    }
    return {length, length};
}

FilterResult runRgb(uint8_t* memory, uint32_t length, uint32_t width, uint32_t redPosition) {
    if (length > kMaxTwoPartBlock || width < 3) return unchanged(length);
    uint8_t* out = memory + length;
    const uint8_t* in = memory;
    for (uint32_t c = 0; c < 3; ++c) {
        int previous = 0;
        for (uint32_t i = c; i < length; i += 3) {
            int prediction = previous;
            if (i >= width) {
                int upper = out[i - width + 3], upperLeft = out[i - width];
                int predicted = previous + upper - upperLeft;
                int pa = std::abs(predicted - previous), pb = std::abs(predicted - upper),
                    pc = std::abs(predicted - upperLeft);
                prediction = pa <= pb && pa <= pc ? previous : pb <= pc ? upper : upperLeft;
            }
            out[i] = static_cast<uint8_t>(prediction - *in++);
            previous = out[i];
        }
    }
    for (uint32_t i = redPosition; i + 2 < length; i += 3) {
        out[i] = static_cast<uint8_t>(out[i] + out[i + 1]);
        out[i + 2] = static_cast<uint8_t>(out[i + 2] + out[i + 1]);
    }
    return {length, length};
}

FilterResult runAudio(uint8_t* memory, uint32_t length, uint32_t channels) {
    if (length > kMaxTwoPartBlock || channels == 0 || channels > kMaxAudioChannels) return unchanged(length);
    uint8_t* out = memory + length;
    const uint8_t* in = memory;
    for (uint32_t c = 0; c < channels; ++c) {
        int previous = 0, lastDelta = 0, d1 = 0, d2 = 0, d3 = 0, k1 = 0, k2 = 0, k3 = 0;
        int sums[7] = {};
        for (uint32_t i = c, count = 0; i < length; i += channels, ++count) {
            d3 = d2;
            d2 = lastDelta - d1;
            d1 = lastDelta;
            int predicted = ((8 * previous + k1 * d1 + k2 * d2 + k3 * d3) >> 3) & 0xFF;
            uint8_t input = *in++;
            uint8_t value = static_cast<uint8_t>(predicted - input);
            out[i] = value;
            lastDelta = static_cast<int8_t>(value - previous);
            previous = value;
            int d = static_cast<int8_t>(input) * 8;
            sums[0] += std::abs(d);
            sums[1] += std::abs(d - d1);
            sums[2] += std::abs(d + d1);
            sums[3] += std::abs(d - d2);
            sums[4] += std::abs(d + d2);
            sums[5] += std::abs(d - d3);
            sums[6] += std::abs(d + d3);
            if (count % 32 != 0) continue;
            int best = static_cast<int>(std::min_element(sums, sums + 7) - sums);
            switch (best) {
                case 1: k1 -= k1 >= -16; break;
                case 2: k1 += k1 < 16; break;
                case 3: k2 -= k2 >= -16; break;
                case 4: k2 += k2 < 16; break;
                case 5: k3 -= k3 >= -16; break;
                case 6: k3 += k3 < 16; break;
                default: break;
            }
            std::fill(sums, sums + 7, 0);
        }
    }
    return {length, length};
}

// A number of a filter definition: 4, 8, 16 or 32 bits after a 2-bit
// selector; the 8-bit form with its top nibble clear stands for 0xFFFFFFxx.
uint32_t readNumber(MsbBitReader& r) {
    uint32_t head = r.peek(16);
    switch (head & 0xC000) {
        case 0: r.skip(6); return (head >> 10) & 0xF;
        case 0x4000:
            if ((head & 0x3C00) == 0) {
                r.skip(14);
                return 0xFFFFFF00 | ((head >> 2) & 0xFF);
            }
            r.skip(10);
            return (head >> 6) & 0xFF;
        case 0x8000: r.skip(2); return r.read(16);
        default: r.skip(2); return r.read(32);
    }
}

}  // namespace

FilterType recogniseFilter(const uint8_t* code, size_t size) {
    if (size == 0) return FilterType::kNone;
    uint8_t sum = 0;
    for (size_t i = 1; i < size; ++i) sum ^= code[i];
    if (sum != code[0]) return FilterType::kNone;
    uint32_t crc = crc32Update(0, code, size);
    for (const KnownProgram& p : kKnownPrograms)
        if (p.size == size && p.crc == crc) return p.type;
    return FilterType::kNone;
}

FilterResult runFilter(FilterType type, uint8_t* memory, uint32_t length, const uint32_t* registers) {
    switch (type) {
        case FilterType::kE8: return runE8(memory, length, registers[6], false);
        case FilterType::kE8E9: return runE8(memory, length, registers[6], true);
        case FilterType::kItanium: return runItanium(memory, length, registers[6]);
        case FilterType::kDelta: return runDelta(memory, length, registers[0]);
        case FilterType::kRgb: return runRgb(memory, length, registers[0], registers[1]);
        case FilterType::kAudio: return runAudio(memory, length, registers[0]);
        case FilterType::kNone: break;
    }
    return unchanged(length);
}

void Filters29::reset() {
    programs_.clear();
    lastProgram_ = 0;
    pending_.clear();
}

bool Filters29::define(Unpacker& unpacker, uint8_t flags, const uint8_t* code, size_t size) {
    std::vector<uint8_t> padded(size + MsbBitReader::kPadding);
    std::memcpy(padded.data(), code, size);
    MsbBitReader r;
    r.reset(padded.data(), size);

    size_t number = lastProgram_;
    if (flags & 0x80) {
        number = readNumber(r);
        if (number == 0) {
            programs_.clear();
        } else {
            --number;
        }
    }
    if (number > programs_.size() || number >= kMaxPrograms) return false;
    lastProgram_ = number;
    bool isNew = number == programs_.size();
    if (isNew) {
        programs_.emplace_back();
    } else {
        ++programs_[number].useCount;
    }
    Program& program = programs_[number];

    Pending filter{};
    uint64_t start = readNumber(r);
    if (flags & 0x40) start += 258;
    filter.start = unpacker.decoded() + start;
    if (flags & 0x20) program.blockLength = readNumber(r);
    filter.length = program.blockLength;
    if (filter.length > kFilterMemory) return false;
    filter.registers[3] = kFilterGlobalArea;
    filter.registers[4] = filter.length;
    filter.registers[5] = program.useCount;
    if (flags & 0x10) {
        uint32_t mask = r.read(7);
        for (int i = 0; i < kFilterRegisters; ++i)
            if (mask & (1u << i)) filter.registers[i] = readNumber(r);
    }
    if (isNew) {
        uint32_t codeSize = readNumber(r);
        if (codeSize == 0 || codeSize >= 0x10000 || codeSize > size) return false;
        std::vector<uint8_t> program(codeSize);
        for (uint8_t& b : program) b = static_cast<uint8_t>(r.read(8));
        if (r.overrun()) return false;
        programs_[number].type = recogniseFilter(program.data(), program.size());
    }
    if (flags & 0x08) {
        uint32_t dataSize = readNumber(r);
        if (dataSize > kMaxGlobalData) return false;
        r.skip(static_cast<int>(dataSize * 8));
    }
    if (r.overrun() || pending_.size() >= kMaxPending) return false;
    filter.type = programs_[number].type;
    pending_.push_back(filter);
    return true;
}

bool Filters29::apply(Unpacker& unpacker, Pending& filter) {
    if (!memory_) {
        memory_.reset(new (std::nothrow) uint8_t[kFilterMemory + 4]);
        if (!memory_) return false;
    }
    uint8_t* memory = memory_.get();
    for (uint32_t copied = 0; copied < filter.length;) {
        size_t n = 0;
        const uint8_t* p = unpacker.window().run(filter.start + copied, filter.length - copied, &n);
        std::memcpy(memory + copied, p, n);
        copied += static_cast<uint32_t>(n);
    }
    std::memset(memory + filter.length, 0, 4);
    filter.registers[6] = static_cast<uint32_t>(unpacker.memberOutput());
    FilterResult result = runFilter(filter.type, memory, filter.length, filter.registers);
    unpacker.emitReplacement(memory + result.offset, result.size, filter.length);
    return true;
}

bool Filters29::writeOut(Unpacker& unpacker, bool memberEnd) {
    while (!pending_.empty()) {
        Pending& filter = pending_.front();
        if (filter.start < unpacker.written()) {
            pending_.pop_front();  // its block was written out before it was defined
            continue;
        }
        unpacker.emitWindow(std::min(filter.start, unpacker.decoded()));
        if (filter.start + filter.length > unpacker.decoded()) {
            if (!memberEnd) return true;
            // The member ends inside the block: it goes out as decoded.
            pending_.clear();
            break;
        }
        if (!apply(unpacker, filter)) return false;
        pending_.pop_front();
    }
    unpacker.emitWindow(unpacker.decoded());
    return true;
}

}  // namespace zorvex::rar
