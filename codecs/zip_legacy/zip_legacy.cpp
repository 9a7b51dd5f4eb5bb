#include "codecs/zip_legacy/zip_legacy.h"

#include <new>

#include "codecs/zip_legacy/implode.h"
#include "codecs/zip_legacy/reduce.h"
#include "codecs/zip_legacy/shrink.h"
#include "engine/codec.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

constexpr uint8_t kImplodeBigDictionary = 0x2;
constexpr uint8_t kImplodeLiteralTree = 0x4;

template <class Decoder>
class LegacyStream final : public DecoderStream {
public:
    template <class... Options>
    LegacyStream(const CodecRequest& r, Options... options)
        : DecoderStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
          decoder_(r.unpackedSize, options...) {}

    void reset() override { decoder_.reset(); }
    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return decoder_.decode(in, inLength, consumed, out, outCapacity, produced);
    }

private:
    Decoder decoder_;
};

template <class Decoder, class... Options>
InStream* makeLegacyStream(const CodecRequest& request, Options... options) {
    return startDecoderStream(new (std::nothrow) LegacyStream<Decoder>(request, options...));
}

}  // namespace

InStream* makeShrinkStream(const CodecRequest& request) { return makeLegacyStream<ShrinkDecoder>(request); }

InStream* makeReduceStream(const CodecRequest& request) {
    if (request.properties.size() != 1) return nullptr;
    int factor = request.properties[0];
    if (factor < 1 || factor > 4) return nullptr;
    return makeLegacyStream<ReduceDecoder>(request, factor);
}

InStream* makeImplodeStream(const CodecRequest& request) {
    if (request.properties.size() != 1) return nullptr;
    uint8_t flags = request.properties[0];
    return makeLegacyStream<ImplodeDecoder>(request, (flags & kImplodeBigDictionary) != 0,
                                            (flags & kImplodeLiteralTree) != 0);
}

}  // namespace zorvex
