// Bit input for the decoders.
//
// LsbBitReader: codes packed from the least significant bit of each byte
// (the deflate family). It is resumable: the decoder keeps it as state and
// hands it each new piece of input with setInput(); whatever was loaded into
// the 64-bit buffer survives between pieces.
//
// MsbBitReader: codes packed from the most significant bit. It reads a whole
// buffer owned by the caller, which keeps at least kPadding readable bytes
// past the filled length, so a peek never checks for the end; overrun() says
// whether the position went past the filled data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/byte_order.h"
#include "engine/copy_bytes.h"

namespace zorvex {

class LsbBitReader {
public:
    // Drops buffered bits (a new stream starts).
    void clear() {
        bits_ = 0;
        count_ = 0;
    }
    void setInput(const uint8_t* in, const uint8_t* end) {
        in_ = in;
        end_ = end;
    }
    // The first input byte not yet loaded into the buffer.
    const uint8_t* input() const { return in_; }

    // Tops the buffer up to at least 56 bits while input lasts. False when no
    // byte could be added. Bits above count() may then hold a look-ahead copy
    // of bytes not yet consumed: they are the same bits the next load adds.
    bool refill() {
        if (end_ - in_ >= 8) {
            bits_ |= loadLe64(in_) << count_;
            in_ += (63 - count_) >> 3;
            count_ |= 56;
            return true;
        }
        bool added = false;
        while (count_ <= 56 && in_ < end_) {
            bits_ |= static_cast<uint64_t>(*in_++) << count_;
            count_ += 8;
            added = true;
        }
        return added;
    }
    // True when at least `n` bits are buffered (refilling as needed).
    bool ensure(int n) {
        if (count_ < n) refill();
        return count_ >= n;
    }

    uint64_t bits() const { return bits_; }
    int count() const { return count_; }
    // The next `n` bits (n < 64); only meaningful when count() >= n.
    uint32_t peek(int n) const { return static_cast<uint32_t>(bits_ & ((uint64_t{1} << n) - 1)); }
    void drop(int n) {
        bits_ >>= n;
        count_ -= n;
    }
    uint32_t read(int n) {
        uint32_t v = peek(n);
        drop(n);
        return v;
    }
    void alignToByte() { drop(count_ & 7); }

    // Copies up to `n` whole bytes at a byte boundary: buffered bytes first,
    // then straight from the input. Returns the number copied.
    size_t copyBytes(uint8_t* out, size_t n) {
        size_t done = 0;
        while (done < n && count_ >= 8) out[done++] = static_cast<uint8_t>(read(8));
        if (done == n) return done;
        bits_ = 0;  // only look-ahead copies of the input remain
        size_t direct = static_cast<size_t>(end_ - in_);
        if (direct > n - done) direct = n - done;
        zorvex::copyBytes(out + done, in_, direct);
        in_ += direct;
        return done + direct;
    }

private:
    uint64_t bits_ = 0;
    int count_ = 0;
    const uint8_t* in_ = nullptr;
    const uint8_t* end_ = nullptr;
};

class MsbBitReader {
public:
    // Readable bytes the owner keeps past the filled length.
    static constexpr size_t kPadding = 8;

    void reset(const uint8_t* data, size_t size) { rebase(data, size, 0); }
    // Points the reader at `data` again, for instance after the owner moved
    // the unread tail of its buffer to the front and refilled it.
    void rebase(const uint8_t* data, size_t size, uint64_t bitPosition) {
        data_ = data;
        size_ = size;
        position_ = bitPosition;
    }
    // More bytes were filled in after the old end.
    void setSize(size_t size) { size_ = size; }
    size_t size() const { return size_; }

    // The next `n` bits, 1 <= n <= 32, in the low bits of the result. Past
    // the filled data this reads padding (the last byte position is clamped),
    // never outside the buffer.
    uint32_t peek(int n) const {
        size_t byte = position_ >> 3;
        if (byte > size_) byte = size_;
        uint64_t v = loadBe64(data_ + byte) << (position_ & 7);
        return static_cast<uint32_t>(v >> (64 - n));
    }
    void skip(int n) { position_ += static_cast<uint64_t>(n); }
    uint32_t read(int n) {
        uint32_t v = peek(n);
        skip(n);
        return v;
    }
    void alignToByte() { position_ = (position_ + 7) & ~uint64_t{7}; }

    uint64_t bitPosition() const { return position_; }
    void setBitPosition(uint64_t position) { position_ = position; }
    size_t bytePosition() const { return static_cast<size_t>(position_ >> 3); }
    // The position went past the filled data: the input is cut or corrupt.
    bool overrun() const { return position_ > uint64_t{size_} * 8; }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    uint64_t position_ = 0;
};

}  // namespace zorvex
