// The "zstd" codec over libzstd's streaming decoder.
#include <zstd.h>

#include "codecs/zstd/zstd.h"
#include "codecs/zstd/zstd_stream.h"
#include "engine/codec.h"

namespace zorvex {
namespace {

class ZstdStream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;
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
        ZSTD_DCtx_reset(stream_, ZSTD_reset_session_only);
        betweenFrames_ = true;
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
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

private:
    ZSTD_DStream* stream_ = nullptr;
    bool betweenFrames_ = true;
};

}  // namespace

InStream* makeZstdStream(const CodecRequest& r) {
    return makeZstdStreamOf<ZstdStream>(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize);
}

}  // namespace zorvex
