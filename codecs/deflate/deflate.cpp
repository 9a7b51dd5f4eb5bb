#include "codecs/deflate/deflate.h"

#include <new>

#include "codecs/deflate/inflater.h"
#include "engine/codec.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

class InflateStream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;

    bool ready() const { return inflater_.ready(); }

    void reset() override { inflater_.reset(); }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        switch (inflater_.step(in, inLength, consumed, out, outCapacity, produced)) {
            case Inflater::Step::kEnd:
                return kDecodeEnd;
            case Inflater::Step::kError:
                return kDecodeError;
            case Inflater::Step::kProgress:
                break;
        }
        // Out of input with nothing more to give before the final block ended:
        // the data was cut short, which must not pass for a whole entry.
        return inLength == 0 && *produced == 0 ? kDecodeError : kDecodeProgress;
    }

private:
    Inflater inflater_{Inflater::Wrapper::kRaw};
};

}  // namespace

InStream* makeDeflateStream(const CodecRequest& r) {
    return startDecoderStream(
        new (std::nothrow) InflateStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
        [](InflateStream& stream) { return stream.ready(); });
}

}  // namespace zorvex
