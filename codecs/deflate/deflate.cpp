#include "codecs/deflate/deflate.h"

#ifdef ZORVEX_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

#include <new>

#include "engine/pipeline.h"

namespace zorvex {
namespace {

#ifdef ZORVEX_HAVE_ISAL

// Raw Deflate through ISA-L's inflate, which decodes several times faster than
// zlib's on the machines that have it. It keeps its own bit buffer and history,
// so a step may end anywhere in the input and the next one resumes there.
class InflateStream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;

    bool init() {
        isal_inflate_init(&state_);
        state_.crc_flag = ISAL_DEFLATE;
        return true;
    }

    void reset() override { isal_inflate_reset(&state_); }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        state_.next_in = const_cast<uint8_t*>(in);
        state_.avail_in = static_cast<uint32_t>(inLength);
        state_.next_out = out;
        state_.avail_out = static_cast<uint32_t>(outCapacity);
        int rc = isal_inflate(&state_);
        *consumed = inLength - static_cast<int>(state_.avail_in);
        *produced = outCapacity - static_cast<int>(state_.avail_out);
        if (rc < 0) return kDecodeError;
        if (state_.block_state == ISAL_BLOCK_FINISH) return kDecodeEnd;
        // Out of input with nothing more to give before the final block ended:
        // the data was cut short, which must not pass for a whole entry.
        if (inLength == 0 && *produced == 0) return kDecodeError;
        return kDecodeProgress;
    }

private:
    inflate_state state_{};
};

#else

// Raw inflate: window bits -15 means a 32 KiB window and no header.
constexpr int kRawWindowBits = -15;

class InflateStream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;

    ~InflateStream() override {
        if (initialised_) inflateEnd(&zs_);
    }

    bool init() {
        initialised_ = inflateInit2(&zs_, kRawWindowBits) == Z_OK;
        return initialised_;
    }

    void reset() override { inflateReset(&zs_); }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        zs_.next_in = const_cast<Bytef*>(in);
        zs_.avail_in = static_cast<uInt>(inLength);
        zs_.next_out = out;
        zs_.avail_out = static_cast<uInt>(outCapacity);
        int rc = inflate(&zs_, Z_NO_FLUSH);
        *consumed = inLength - static_cast<int>(zs_.avail_in);
        *produced = outCapacity - static_cast<int>(zs_.avail_out);
        // Z_BUF_ERROR (no progress possible) is what a stream cut short ends
        // with: an error, so that a short entry is never taken for a whole one.
        if (rc != Z_OK && rc != Z_STREAM_END) return kDecodeError;
        if (rc == Z_STREAM_END || (inLength == 0 && *produced == 0)) return kDecodeEnd;
        return kDecodeProgress;
    }

private:
    z_stream zs_{};
    bool initialised_ = false;
};

#endif

}  // namespace

InStream* makeDeflateStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize) {
    return startDecoderStream(
        new (std::nothrow) InflateStream(name, owner, tag, source, offset, packedSize, unpackedSize),
        [](InflateStream& stream) { return stream.init(); });
}

}  // namespace zorvex
