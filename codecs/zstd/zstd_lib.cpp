// The "zstd" codec over libzstd's streaming decoder.
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "codecs/zstd/zstd.h"
#include "codecs/zstd/zstd_frames.h"
#include "codecs/zstd/zstd_stream.h"
#include "engine/codec.h"

namespace zorvex {
namespace {

class ZstdStream final : public DecoderStream, private UnitCodec {
public:
    ZstdStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
               int64_t packedSize, int64_t unpackedSize)
        : DecoderStream(name, owner, tag, source, offset, packedSize, unpackedSize),
          units_(*this, *this, packedSize) {}
    ~ZstdStream() override { ZSTD_freeDStream(stream_); }

    bool init() {
        // A stated size must be where the data ends: decoding goes on to the
        // end of the last frame, where its checksum and content size are checked.
        if (knownSize() >= 0) requireEndAtSize();
        stream_ = ZSTD_createDStream();
        int largest = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound;
        int limit = zstdWindowLogLimit(packedSize(), largest);
        if (!stream_ || ZSTD_isError(ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax, limit))) return false;
        if (hasSeveralFrames(source(), packedOffset(), packedSize())) setRestartsNearby();
        return true;
    }

    void reset() override {
        units_.restart();
        restartDecoder();
        serialInput_ = decoded_ = 0;
    }

    // Frames decode apart: decoding restarts at the last frame boundary
    // passed before the target (the data's start before the first), on this
    // thread: a seek wants the frame it lands in, not the workers' read-ahead.
    bool restartPoint(int64_t target, int64_t* inputOffset, int64_t* outputPosition) override {
        auto after = std::upper_bound(frameStarts_.begin(), frameStarts_.end(), target,
                                      [](int64_t t, const FrameStart& f) { return t < f.output; });
        const FrameStart start = after == frameStarts_.begin() ? FrameStart{0, 0} : *(after - 1);
        if (decoded_ >= start.output && decoded_ <= target) return false;
        units_.resumeSerial(start.input);
        startSerial(start.input);
        *inputOffset = start.input;
        *outputPosition = decoded_ = start.output;
        return true;
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        int status = units_.decode(in, inLength, consumed, out, outCapacity, produced);
        decoded_ += *produced;
        return status;
    }

private:
    Found findUnit(int64_t, const uint8_t* data, int64_t size, bool ended, Unit* unit) override {
        return findZstdFrame(data, size, ended, unit);
    }
    // Whole frames go straight into the job's buffer in one call: a
    // streaming decoder would fill a window of its own, fresh for each job,
    // and copy out of it. Each worker keeps one context for all its jobs.
    Decoded decodeUnits(int64_t, bool, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                        const std::atomic<bool>& cancelled) const override {
        struct FreeContext {
            void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
        };
        thread_local std::unique_ptr<ZSTD_DCtx, FreeContext> context(ZSTD_createDCtx());
        if (!context || cancelled.load(std::memory_order_relaxed)) return Decoded{};
        const size_t decoded = ZSTD_decompressDCtx(context.get(), out, static_cast<size_t>(capacity), in,
                                                   static_cast<size_t>(size));
        // Damage, or more output than the frames' bound: the caller's own decoder says which.
        if (ZSTD_isError(decoded)) return Decoded{};
        return Decoded{static_cast<int64_t>(decoded), size};
    }
    void startSerial(int64_t offset) override {
        restartDecoder();
        serialInput_ = offset;
    }
    void unitsDelivered(int64_t input, int64_t output) override { noteFrameStart(input, output); }

    // Keeps a boundary newly passed; their number is bounded by the packed
    // size over the smallest run of frames a worker takes, and capped.
    void noteFrameStart(int64_t input, int64_t output) {
        constexpr size_t kMaxStarts = 1 << 16;
        if (output <= 0 || (!frameStarts_.empty() && frameStarts_.back().output >= output) ||
            frameStarts_.size() >= kMaxStarts)
            return;
        frameStarts_.push_back(FrameStart{input, output});
    }

    // Whether the first frame of data ends before the data does; a single
    // frame has no place to restart in but its start (skippable frames
    // before it hold no data to restart in).
    static bool hasSeveralFrames(InStream* source, int64_t offset, int64_t packedSize) {
        int64_t start = 0;
        auto fetch = [&](int64_t at, uint8_t* buffer, int count) {
            return start + at + count <= packedSize && source->seek(offset + start + at) &&
                   readExact(source, buffer, count);
        };
        ZstdFrame frame;
        while (walkZstdFrame(fetch, &frame) == FrameWalk::kFrame) {
            start += frame.length;
            if (frame.blocks > 0) return start < packedSize;
        }
        return false;
    }

    void restartDecoder() {
        ZSTD_DCtx_reset(stream_, ZSTD_reset_session_only);
        betweenFrames_ = true;
    }

    int decodeSerial(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                     int* produced) override {
        ZSTD_inBuffer input{in, static_cast<size_t>(inLength), 0};
        ZSTD_outBuffer output{out, static_cast<size_t>(outCapacity), 0};
        size_t result = ZSTD_decompressStream(stream_, &output, &input);
        *consumed = static_cast<int>(input.pos);
        *produced = static_cast<int>(output.pos);
        if (ZSTD_isError(result)) {
            markDamaged();  // also when it had no input: the library rejected data it held
            return kDecodeError;
        }
        if (*consumed > 0 || *produced > 0) {
            betweenFrames_ = result == 0;  // 0: a frame ended and everything of it was delivered
            serialInput_ += *consumed;
            // The serial decoder's output is all of the stream's current step.
            if (betweenFrames_) noteFrameStart(serialInput_, decoded_ + *produced);
            return kDecodeProgress;
        }
        // Nothing moved: the input is used up, which is only right between frames.
        return betweenFrames_ ? kDecodeEnd : kDecodeError;
    }

    struct FrameStart {
        int64_t input;   // packed offset
        int64_t output;  // decoded position
    };

    ZSTD_DStream* stream_ = nullptr;
    bool betweenFrames_ = true;
    std::vector<FrameStart> frameStarts_;
    int64_t serialInput_ = 0;  // the packed offset the serial decoder has reached
    int64_t decoded_ = 0;      // bytes the stream's steps gave
    ParallelUnits units_;
};

}  // namespace

InStream* makeZstdStream(const CodecRequest& r) {
    return makeZstdStreamOf<ZstdStream>(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize);
}

}  // namespace zorvex
