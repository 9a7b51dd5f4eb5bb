#include "codecs/deflate64/deflate64.h"

#include <new>

#include "codecs/deflate64/inflate64.h"
#include "engine/codec.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

class Deflate64Stream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;

    bool inflaterReady() const { return inflater_.ok(); }
    void reset() override { inflater_.reset(); }
    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return inflater_.decode(in, inLength, consumed, out, outCapacity, produced);
    }

private:
    Inflate64 inflater_;
};

}  // namespace

InStream* makeDeflate64Stream(const CodecRequest& r) {
    return startDecoderStream(
        new (std::nothrow) Deflate64Stream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
        [](Deflate64Stream& stream) { return stream.inflaterReady(); });
}

}  // namespace zorvex
