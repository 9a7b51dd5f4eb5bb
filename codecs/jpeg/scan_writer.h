// Writes quantised blocks as a baseline scan's Huffman-coded bytes, with byte
// stuffing, restart markers and the final fill, into a buffer that the caller
// drains.
#pragma once

#include <cstdint>

#include "codecs/jpeg/jpeg_format.h"

namespace zorvex::jpeg {

class ScanWriter {
public:
    // Callers drain the buffer once it holds this much; one more MCU always fits.
    static constexpr int kDrainSize = 4096;

    // A new scan: empty bit output, predictors 0, restarts every
    // `restartInterval` MCUs (0: none).
    void start(int restartInterval);
    // Before each MCU: writes a restart marker when one is due.
    void beginMcu();
    // False when a symbol to be written has no code in the tables.
    bool writeBlock(int component, const Block& block, const HuffmanCode& dc, const HuffmanCode& ac);
    // After the last MCU: fills the last byte with one bits.
    void finish();

    const uint8_t* data() const { return buffer_; }
    int size() const { return fill_; }
    bool full() const { return fill_ >= kDrainSize; }
    void clear() { fill_ = 0; }

private:
    // Stuffing doubles at most each byte of a block's longest coding: a DC code
    // with 16 extra bits, 63 AC codes with 15 and no end-of-block code.
    static constexpr int kMaxBlockBytes = 2 * (32 + 63 * 31 + 7) / 8;
    static constexpr int kCapacity = kDrainSize + kMaxBlocksPerMcu * kMaxBlockBytes + 8;

    void putByte(uint8_t byte) {
        buffer_[fill_++] = byte;
        if (byte == 0xFF) buffer_[fill_++] = 0;
    }
    void putBits(uint32_t value, int count);
    bool putSymbol(const HuffmanCode& table, int symbol);
    void putValue(int value, int size);
    void fillByte();

    uint64_t bits_ = 0;
    int bitCount_ = 0;  // pending bits in bits_, below 8 between calls
    int restartInterval_ = 0;
    int mcusSinceRestart_ = 0;
    int nextRestart_ = 0;
    bool firstMcu_ = true;
    int predictor_[kMaxComponents] = {};
    int fill_ = 0;
    uint8_t buffer_[kCapacity];
};

}  // namespace zorvex::jpeg
