// What the three old zip decoders share: the bit input, the stated unpacked
// size at which they stop (their data has no end mark), the history that
// back-references copy from, and the step that turns their state machine
// into the decoder stream's decode call.
#pragma once

#include <cstdint>

#include "codecs/common/bit_reader.h"

namespace zorvex {

class LegacyDecoder {
public:
    // `size` is the unpacked size; -1 when unknown (decoding then runs until
    // the input ends, which marks the stream damaged).
    explicit LegacyDecoder(int64_t size) : size_(size) {}
    virtual ~LegacyDecoder() = default;
    LegacyDecoder(const LegacyDecoder&) = delete;
    LegacyDecoder& operator=(const LegacyDecoder&) = delete;

    void reset();
    // A DecodeStatus (engine/stream.h): kDecodeEnd once the unpacked size is
    // reached, kDecodeError on damage or input that ended early (after the
    // output decoded before it was delivered).
    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);

protected:
    // Back-references reach at most this far (Implode's 8 KiB dictionary);
    // bytes before the start of the data read as zeros.
    static constexpr uint32_t kHistorySize = 8192;

    // Returns the decoder's own state to the start of the data.
    virtual void restart() = 0;
    // Advances the state machine until the output has no room, the input
    // runs dry or the data is found damaged (fail()).
    virtual void run() = 0;

    bool room() const { return outPos_ < outCapacity_ && (size_ < 0 || total_ < size_); }
    void emit(uint8_t byte) {
        out_[outPos_++] = byte;
        history_[total_++ & (kHistorySize - 1)] = byte;
    }
    // The byte `distance` (1 to kHistorySize) positions back.
    uint8_t back(uint32_t distance) const { return history_[(total_ - distance) & (kHistorySize - 1)]; }
    void fail() { failed_ = true; }
    bool failed() const { return failed_; }

    LsbBitReader bits_;

private:
    bool finished() const { return size_ >= 0 && total_ >= size_; }

    int64_t size_;
    int64_t total_ = 0;
    bool failed_ = false;
    uint8_t* out_ = nullptr;
    int outPos_ = 0;
    int outCapacity_ = 0;
    uint8_t history_[kHistorySize] = {};
};

}  // namespace zorvex
