#include "codecs/jpeg/scan_writer.h"

#include <cstdlib>

namespace zorvex::jpeg {

void ScanWriter::start(int restartInterval) {
    bits_ = 0;
    bitCount_ = 0;
    restartInterval_ = restartInterval;
    mcusSinceRestart_ = 0;
    nextRestart_ = 0;
    firstMcu_ = true;
    for (int& p : predictor_) p = 0;
}

void ScanWriter::putBits(uint32_t value, int count) {
    bits_ = bits_ << count | value;
    bitCount_ += count;
    while (bitCount_ >= 8) {
        bitCount_ -= 8;
        putByte(static_cast<uint8_t>(bits_ >> bitCount_));
    }
}

bool ScanWriter::putSymbol(const HuffmanCode& table, int symbol) {
    if (table.length[symbol] == 0) return false;
    putBits(table.code[symbol], table.length[symbol]);
    return true;
}

// The low `size` bits of the value, negative values as value - 1.
void ScanWriter::putValue(int value, int size) {
    if (size == 0) return;
    if (value < 0) value += (1 << size) - 1;
    putBits(static_cast<uint32_t>(value), size);
}

void ScanWriter::fillByte() {
    if (bitCount_ > 0) putBits((1u << (8 - bitCount_)) - 1, 8 - bitCount_);
}

void ScanWriter::beginMcu() {
    if (restartInterval_ > 0 && !firstMcu_ && mcusSinceRestart_ == restartInterval_) {
        fillByte();
        buffer_[fill_++] = 0xFF;
        buffer_[fill_++] = static_cast<uint8_t>(0xD0 + nextRestart_);
        nextRestart_ = (nextRestart_ + 1) & 7;
        for (int& p : predictor_) p = 0;
        mcusSinceRestart_ = 0;
    }
    firstMcu_ = false;
    ++mcusSinceRestart_;
}

bool ScanWriter::writeBlock(int component, const Block& block, const HuffmanCode& dc, const HuffmanCode& ac) {
    int diff = block.coefficient[0] - predictor_[component];
    predictor_[component] = block.coefficient[0];
    int size = category(static_cast<uint64_t>(std::abs(diff)));
    if (!putSymbol(dc, size)) return false;
    putValue(diff, size);
    for (int k = 1; k <= block.eob; ++k) {
        int run = 0;
        while (block.coefficient[k] == 0 && run < 15 && k < 63) {
            ++k;
            ++run;
        }
        int value = block.coefficient[k];
        size = category(static_cast<uint64_t>(std::abs(value)));
        if (!putSymbol(ac, run * 16 + size)) return false;
        putValue(value, size);
    }
    if (block.eob < 63 && !putSymbol(ac, 0)) return false;
    return true;
}

void ScanWriter::finish() { fillByte(); }

}  // namespace zorvex::jpeg
