#include "codecs/filters/filters.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/codec.h"
#include "engine/copy_bytes.h"
#include "engine/stream.h"

extern "C" {
#include "Bra.h"
#include "Delta.h"
}

namespace zorvex {
namespace {

// Reads the source in 16 KiB pieces, converts each piece in place and hands
// out the converted bytes. A converter may leave a tail of the piece
// unconverted (it needs the bytes after it); the tail moves to the buffer's
// start and is converted together with the next piece.
class FilterStream : public InStream {
public:
    static constexpr int kBufferSize = 0x4000;

    FilterStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                 int64_t size, int unit, uint32_t startOffset)
        : InStream(name, owner, tag), startOffset_(startOffset), offset_(offset), size_(size), unit_(unit) {
        if (!source || size < 0) return;
        buffer_ = static_cast<uint8_t*>(std::malloc(kBufferSize));
        if (!buffer_) return;
        source_ = source;
        source_->addRef();
        sourceLeft_ = size;
    }
    ~FilterStream() override {
        std::free(buffer_);
        if (source_) source_->release();
    }

    int64_t tell() override { return buffer_ ? position_ : -1; }
    int64_t size() override { return size_; }

    int read(void* buf, int count) override {
        if (!buf || count <= 0 || !buffer_ || position_ >= size_) return 0;
        int wanted = static_cast<int>(std::min<int64_t>(count, size_ - position_));
        auto* out = static_cast<uint8_t*>(buf);
        int delivered = 0;
        while (delivered < wanted) {
            if (converted_ == 0 && !fill()) break;
            int n = std::min(wanted - delivered, converted_);
            copyBytes(out + delivered, buffer_ + readIndex_, n);
            consume(n);
            delivered += n;
        }
        return delivered;
    }

    bool seek(int64_t target) override {
        if (target < 0 || target >= size_ || !buffer_) return false;
        if (target == position_) return true;
        if (target < position_) {
            int64_t back = position_ - target;
            if (back <= readIndex_) {
                readIndex_ -= static_cast<int>(back);
                converted_ += static_cast<int>(back);
                position_ = target;
                return true;
            }
            restart();
            if (target == 0) return true;
        }
        while (position_ < target) {
            if (converted_ == 0 && !fill()) return false;
            consume(static_cast<int>(std::min<int64_t>(target - position_, converted_)));
        }
        return true;
    }

    // Returns the converter to its state at the start of the data.
    virtual bool resetState() = 0;  // slot 14
    // Converts `length` bytes whose first byte lies at stream `position`;
    // returns how many leading bytes are now final.
    virtual int convert(uint8_t* data, int length, uint32_t position) = 0;  // slot 15
    virtual bool isOpen() const { return buffer_ != nullptr; }              // slot 16

protected:
    const uint32_t startOffset_;

private:
    void consume(int n) {
        readIndex_ += n;
        converted_ -= n;
        position_ += n;
    }

    void restart() {
        position_ = 0;
        readIndex_ = fill_ = converted_ = 0;
        sourceLeft_ = size_;
        failed_ = false;
        resetState();
    }

    // Makes converted bytes available; false when the data has ended.
    bool fill() {
        if (failed_) return false;
        int tail = fill_ - readIndex_;
        if (tail > 0 && readIndex_ > 0) std::memmove(buffer_, buffer_ + readIndex_, tail);
        readIndex_ = 0;
        fill_ = tail;
        if (sourceLeft_ > 0 && !readSource()) {
            failed_ = true;
            return false;
        }
        if (fill_ == 0) return false;
        converted_ = fill_;
        if (fill_ >= unit_) {
            int done = convert(buffer_, fill_, static_cast<uint32_t>(position_));
            // At the end of the data a converter may decline a last piece it
            // cannot parse whole; the encoder left such bytes as they were.
            if (done > 0) converted_ = done;
            else if (sourceLeft_ > 0) {
                failed_ = true;
                return false;
            }
        }
        return true;
    }

    bool readSource() {
        if (!source_->seek(offset_ + size_ - sourceLeft_)) return false;
        int wanted = static_cast<int>(std::min<int64_t>(sourceLeft_, kBufferSize - fill_));
        while (wanted > 0) {
            int got = source_->read(buffer_ + fill_, wanted);
            if (got <= 0) return false;
            fill_ += got;
            sourceLeft_ -= got;
            wanted -= got;
        }
        return true;
    }

    InStream* source_ = nullptr;
    int64_t offset_;
    int64_t size_;
    int64_t position_ = 0;
    uint8_t* buffer_ = nullptr;
    int readIndex_ = 0;
    int fill_ = 0;
    int converted_ = 0;
    int64_t sourceLeft_ = 0;
    int unit_;
    bool failed_ = false;
};

using BranchConverter = Byte* (*)(Byte* data, SizeT size, UInt32 pc);

class BranchFilterStream final : public FilterStream {
public:
    BranchFilterStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                       int64_t size, int unit, uint32_t startOffset, BranchConverter converter)
        : FilterStream(name, owner, tag, source, offset, size, unit, startOffset), converter_(converter) {}

    bool resetState() override { return true; }
    int convert(uint8_t* data, int length, uint32_t position) override {
        return static_cast<int>(converter_(data, static_cast<SizeT>(length), startOffset_ + position) - data);
    }

private:
    BranchConverter converter_;
};

class X86FilterStream final : public FilterStream {
public:
    X86FilterStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                    int64_t size, uint32_t startOffset)
        : FilterStream(name, owner, tag, source, offset, size, 5, startOffset) {}

    bool resetState() override {
        state_ = Z7_BRANCH_CONV_ST_X86_STATE_INIT_VAL;
        return true;
    }
    int convert(uint8_t* data, int length, uint32_t position) override {
        Byte* end = Z7_BRANCH_CONV_ST_DEC(X86)(data, static_cast<SizeT>(length), startOffset_ + position, &state_);
        return static_cast<int>(end - data);
    }

private:
    UInt32 state_ = Z7_BRANCH_CONV_ST_X86_STATE_INIT_VAL;
};

class DeltaFilterStream final : public FilterStream {
public:
    DeltaFilterStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                      int64_t size, unsigned distance)
        : FilterStream(name, owner, tag, source, offset, size, 1, 0), distance_(distance) {
        // The SDK keeps its history in a fixed-size state whatever the distance.
        history_ = static_cast<Byte*>(std::malloc(DELTA_STATE_SIZE));
        if (history_) Delta_Init(history_);
    }
    ~DeltaFilterStream() override { std::free(history_); }

    bool resetState() override {
        Delta_Init(history_);
        return true;
    }
    int convert(uint8_t* data, int length, uint32_t) override {
        Delta_Decode(history_, distance_, data, static_cast<SizeT>(length));
        return length;
    }
    bool isOpen() const override { return FilterStream::isOpen() && history_; }

private:
    unsigned distance_;
    Byte* history_ = nullptr;
};

// Hands out a built stream, or releases it and gives none when it lacks memory.
InStream* opened(FilterStream* stream) {
    if (!stream) return nullptr;
    if (!stream->isOpen()) {
        stream->release();
        return nullptr;
    }
    return stream;
}

InStream* makeBranch(const CodecRequest& r, int unit, BranchConverter converter) {
    if (!r.properties.empty()) return nullptr;
    return opened(new (std::nothrow) BranchFilterStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize,
                                                        unit, r.startOffset, converter));
}

}  // namespace

InStream* makeBcjStream(const CodecRequest& r) {
    if (!r.properties.empty()) return nullptr;
    return opened(new (std::nothrow)
                      X86FilterStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.startOffset));
}

InStream* makeDeltaStream(const CodecRequest& r) {
    if (r.properties.size() != 1) return nullptr;
    return opened(new (std::nothrow) DeltaFilterStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize,
                                                       unsigned{r.properties[0]} + 1));
}

#define ZORVEX_BRANCH_FACTORY(function, unit, converter) \
    InStream* function(const CodecRequest& request) { return makeBranch(request, unit, converter); }

ZORVEX_BRANCH_FACTORY(makeArmStream, 4, Z7_BRANCH_CONV_DEC(ARM))
ZORVEX_BRANCH_FACTORY(makeArmtStream, 4, Z7_BRANCH_CONV_DEC(ARMT))
ZORVEX_BRANCH_FACTORY(makePpcStream, 4, Z7_BRANCH_CONV_DEC(PPC))
ZORVEX_BRANCH_FACTORY(makeSparcStream, 4, Z7_BRANCH_CONV_DEC(SPARC))
ZORVEX_BRANCH_FACTORY(makeIa64Stream, 16, Z7_BRANCH_CONV_DEC(IA64))
ZORVEX_BRANCH_FACTORY(makeArm64Stream, 4, Z7_BRANCH_CONV_DEC(ARM64))
// RISC-V instructions are 2-byte aligned and the converter looks 6 bytes ahead.
ZORVEX_BRANCH_FACTORY(makeRiscvStream, 8, Z7_BRANCH_CONV_DEC(RISCV))

#undef ZORVEX_BRANCH_FACTORY

}  // namespace zorvex
