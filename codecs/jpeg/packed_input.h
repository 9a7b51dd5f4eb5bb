// Byte input over the packed range of a source stream, fetched in pieces.
#pragma once

#include <cstdint>

namespace zorvex {
class InStream;
}

namespace zorvex::jpeg {

class PackedInput {
public:
    // Reads [offset, offset + size) of `source`; the caller keeps the source alive.
    PackedInput(InStream* source, int64_t offset, int64_t size);
    PackedInput(const PackedInput&) = delete;
    PackedInput& operator=(const PackedInput&) = delete;

    // The next byte; 0 once the packed data is used up (then exhausted() is true).
    uint8_t byte() { return position_ != end_ ? *position_++ : refill(); }
    // Exactly `count` bytes; false when the data ends first.
    bool read(uint8_t* out, int64_t count);
    // Packed bytes not yet taken.
    int64_t remaining() const { return unfetched_ + (end_ - position_); }
    bool exhausted() const { return exhausted_; }

private:
    static constexpr int kBufferSize = 0x4000;

    uint8_t refill();
    bool fetch();

    InStream* source_;
    int64_t offset_;
    int64_t size_;
    int64_t unfetched_;
    const uint8_t* position_ = nullptr;
    const uint8_t* end_ = nullptr;
    bool exhausted_ = false;
    uint8_t buffer_[kBufferSize];
};

}  // namespace zorvex::jpeg
