#include "codecs/bcj2/bcj2.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "engine/codec.h"
#include "engine/pipeline.h"
#include "engine/sequential_stream.h"

namespace zorvex {
namespace {

// Bytes of one window of the source, read in pieces through a buffer.
class WindowInput {
public:
    bool init(InStream* source, int64_t offset, int64_t size, int capacity) {
        if (offset < 0 || size < 0) return false;
        source_ = Ref<InStream>::share(source);
        offset_ = offset;
        size_ = size;
        capacity_ = capacity;
        buffer_.reset(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(capacity))));
        return buffer_ != nullptr;
    }

    void rewind() {
        consumed_ = 0;
        next_ = fill_ = 0;
    }

    // False when the window is used up or the source fails.
    bool byte(uint8_t* out) {
        if (next_ == fill_ && !refill()) return false;
        *out = buffer_.get()[next_++];
        return true;
    }

    // The buffered bytes not yet taken (refilled when none are left); null
    // when the window is used up or the source fails. `advance` takes them.
    const uint8_t* peek(int* available) {
        if (next_ == fill_ && !refill()) return nullptr;
        *available = fill_ - next_;
        return buffer_.get() + next_;
    }
    void advance(int count) { next_ += count; }

private:
    bool refill() {
        int want = static_cast<int>(std::min<int64_t>(capacity_, size_ - consumed_));
        if (want <= 0 || !source_->seek(offset_ + consumed_)) return false;
        int got = source_->read(buffer_.get(), want);
        if (got <= 0) return false;
        consumed_ += got;
        next_ = 0;
        fill_ = got;
        return true;
    }

    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    Ref<InStream> source_;
    int64_t offset_ = 0;
    int64_t size_ = 0;
    int64_t consumed_ = 0;
    int capacity_ = 0;
    std::unique_ptr<uint8_t, FreeDeleter> buffer_;
    int next_ = 0;
    int fill_ = 0;
};

enum Input { kMain, kCall, kJump, kRange, kInputCount };

class Bcj2Stream final : public SequentialStream {
public:
    Bcj2Stream(const CodecRequest& r) : SequentialStream(r.name, r.owner, r.tag, r.unpackedSize) {}

    bool init(std::span<const CodecWindow> windows) {
        static constexpr int kCapacity[kInputCount] = {1 << 16, 1 << 12, 1 << 12, 1 << 12};
        for (int i = 0; i < kInputCount; ++i)
            if (!inputs_[i].init(windows[i].stream, windows[i].offset, windows[i].size, kCapacity[i])) return false;
        return restart();
    }

protected:
    bool restart() override {
        for (WindowInput& input : inputs_) input.rewind();
        std::fill(std::begin(probabilities_), std::end(probabilities_), kProbabilityInit);
        phase_ = Phase::kStart;
        previous_ = 0;
        produced_ = 0;
        return true;
    }

    int produce(uint8_t* out, int count) override {
        int done = 0;
        while (done < count) {
            switch (phase_) {
                case Phase::kStart:
                    if (!startRangeDecoder()) return finish(done);
                    phase_ = Phase::kOpcode;
                    break;
                case Phase::kOpcode: {
                    int copied = 0;
                    bool ok = copyMain(out + done, count - done, &copied);
                    done += copied;
                    if (!ok) return finish(done);
                    break;
                }
                case Phase::kOperand:
                    out[done++] = static_cast<uint8_t>(operand_ >> (8 * (4 - operandLeft_)));
                    ++produced_;
                    if (--operandLeft_ == 0) phase_ = Phase::kOpcode;
                    break;
                case Phase::kFinished:
                    return done;
            }
        }
        return done;
    }

private:
    enum class Phase {
        kStart,     // the range decoder's first bytes are still to be read
        kOpcode,    // copying the main stream up to and through the next branch opcode
        kOperand,   // handing out the 4 bytes of the converted branch target
        kFinished,  // the output is complete or the data failed: nothing more comes
    };
    static constexpr int kProbabilityBits = 11;
    static constexpr uint32_t kProbabilityInit = 1u << (kProbabilityBits - 1);
    static constexpr int kMoveBits = 5;
    static constexpr uint32_t kTop = 1u << 24;
    // 0-255: E8 by the byte before it; 256: E9; 257: 0F 80-8F.
    static constexpr int kJumpProbability = 256;
    static constexpr int kConditionalProbability = 257;

    int finish(int done) {
        phase_ = Phase::kFinished;
        return done;
    }

    bool startRangeDecoder() {
        code_ = 0;
        range_ = 0xFFFFFFFF;
        for (int i = 0; i < 5; ++i) {
            uint8_t b;
            if (!inputs_[kRange].byte(&b)) return false;
            code_ = code_ << 8 | b;
        }
        return true;
    }

    // One decision; the range is topped up before it rather than after, so
    // that the last decision needs no byte past the coder's data.
    bool decodeBit(uint32_t& probability, bool* bit) {
        if (range_ < kTop) {
            uint8_t b;
            if (!inputs_[kRange].byte(&b)) return false;
            range_ <<= 8;
            code_ = code_ << 8 | b;
        }
        uint32_t bound = (range_ >> kProbabilityBits) * probability;
        if (code_ < bound) {
            range_ = bound;
            probability += ((1u << kProbabilityBits) - probability) >> kMoveBits;
            *bit = false;
        } else {
            range_ -= bound;
            code_ -= bound;
            probability -= probability >> kMoveBits;
            *bit = true;
        }
        return true;
    }

    // Copies main-stream bytes to `out` and decides each branch opcode on the
    // way, writing a moved operand in place when it fits (else the Operand
    // phase writes it). Stops at `count` or after an operand left for that
    // phase; false when the main stream or a decision failed.
    bool copyMain(uint8_t* out, int count, int* copied) {
        int n = 0;
        while (n < count && phase_ == Phase::kOpcode) {
            int available = 0;
            const uint8_t* in = inputs_[kMain].peek(&available);
            if (!in) {
                *copied = n;
                return false;
            }
            int limit = std::min(count - n, available);
            uint8_t before = previous_;
            int taken = 0;
            bool opcodeFound = false;
            while (taken < limit) {
                uint8_t b = in[taken];
                out[n + taken++] = b;
                if (isOpcode(before, b)) {
                    opcodeFound = true;
                    break;
                }
                before = b;
            }
            inputs_[kMain].advance(taken);
            produced_ += taken;
            n += taken;
            previous_ = before;
            if (!opcodeFound) continue;
            if (!decideOpcode(out[n - 1])) {
                *copied = n;
                return false;
            }
            if (phase_ == Phase::kOperand && count - n >= 4) {
                for (int i = 0; i < 4; ++i) out[n + i] = static_cast<uint8_t>(operand_ >> (8 * i));
                n += 4;
                produced_ += 4;
                phase_ = Phase::kOpcode;
            }
        }
        *copied = n;
        return true;
    }

    static bool isOpcode(uint8_t before, uint8_t b) {
        return b == 0xE8 || b == 0xE9 || (before == 0x0F && (b & 0xF0) == 0x80);
    }

    // After a branch opcode (previous_ holds the byte before it): the range
    // coder says whether its operand was moved to the call or jump stream.
    bool decideOpcode(uint8_t b) {
        int index = b == 0xE8 ? previous_ : b == 0xE9 ? kJumpProbability : kConditionalProbability;
        bool converted;
        if (!decodeBit(probabilities_[index], &converted)) return false;
        if (!converted) {
            previous_ = b;
            return true;
        }
        WindowInput& targets = inputs_[b == 0xE8 ? kCall : kJump];
        uint32_t target = 0;
        for (int i = 0; i < 4; ++i) {
            uint8_t t;
            if (!targets.byte(&t)) return false;
            target = target << 8 | t;
        }
        operand_ = target - static_cast<uint32_t>(produced_ + 4);
        operandLeft_ = 4;
        previous_ = static_cast<uint8_t>(operand_ >> 24);
        phase_ = Phase::kOperand;
        return true;
    }

    WindowInput inputs_[kInputCount];
    Phase phase_ = Phase::kStart;
    uint32_t code_ = 0;
    uint32_t range_ = 0;
    uint32_t probabilities_[258] = {};
    uint8_t previous_ = 0;
    uint32_t operand_ = 0;  // written little-endian, lowest byte first
    int operandLeft_ = 0;
    int64_t produced_ = 0;
};

}  // namespace

InStream* makeBcj2Stream(const CodecRequest& request) {
    if (request.inputs.size() != kInputCount || request.unpackedSize < 0) return nullptr;
    return startDecoderStream(new (std::nothrow) Bcj2Stream(request),
                              [&](Bcj2Stream& stream) { return stream.init(request.inputs); });
}

}  // namespace zorvex
