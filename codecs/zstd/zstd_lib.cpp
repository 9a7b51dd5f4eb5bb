// The "zstd" codec over libzstd's streaming decoder.
#include <zstd.h>

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
        return stream_ && !ZSTD_isError(ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax, limit));
    }

    void reset() override {
        units_.restart();
        restartDecoder();
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return units_.decode(in, inLength, consumed, out, outCapacity, produced);
    }

private:
    Found findUnit(int64_t, const uint8_t* data, int64_t size, bool ended, Unit* unit) override {
        return findZstdFrame(data, size, ended, unit);
    }
    Decoded decodeUnits(int64_t, bool, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                        const std::atomic<bool>& cancelled) const override {
        return decodeZstdFrames(in, size, out, capacity, cancelled);
    }
    void startSerial(int64_t) override { restartDecoder(); }

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
            return kDecodeProgress;
        }
        // Nothing moved: the input is used up, which is only right between frames.
        return betweenFrames_ ? kDecodeEnd : kDecodeError;
    }

    ZSTD_DStream* stream_ = nullptr;
    bool betweenFrames_ = true;
    ParallelUnits units_;
};

}  // namespace

InStream* makeZstdStream(const CodecRequest& r) {
    return makeZstdStreamOf<ZstdStream>(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize);
}

}  // namespace zorvex
