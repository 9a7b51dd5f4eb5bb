#include "codecs/zip_legacy/zip_legacy.h"

#include <new>

#include "codecs/zip_legacy/implode.h"
#include "codecs/zip_legacy/reduce.h"
#include "codecs/zip_legacy/shrink.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

template <class Decoder>
class LegacyStream final : public DecoderStream {
public:
    template <class... Options>
    LegacyStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                 int64_t packedSize, int64_t unpackedSize, Options... options)
        : DecoderStream(name, owner, tag, source, offset, packedSize, unpackedSize),
          decoder_(unpackedSize, options...) {}

    void reset() override { decoder_.reset(); }
    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return decoder_.decode(in, inLength, consumed, out, outCapacity, produced);
    }

private:
    Decoder decoder_;
};

template <class Decoder, class... Options>
InStream* makeLegacyStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                           int64_t packedSize, int64_t unpackedSize, Options... options) {
    return startDecoderStream(new (std::nothrow) LegacyStream<Decoder>(name, owner, tag, source, offset, packedSize,
                                                                       unpackedSize, options...));
}

}  // namespace

InStream* makeShrinkStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                           int64_t packedSize, int64_t unpackedSize) {
    return makeLegacyStream<ShrinkDecoder>(name, owner, tag, source, offset, packedSize, unpackedSize);
}

template <int kFactor>
InStream* makeReduceStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                           int64_t packedSize, int64_t unpackedSize) {
    static_assert(kFactor >= 1 && kFactor <= 4);
    return makeLegacyStream<ReduceDecoder>(name, owner, tag, source, offset, packedSize, unpackedSize, kFactor);
}
template InStream* makeReduceStream<1>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t, int64_t);
template InStream* makeReduceStream<2>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t, int64_t);
template InStream* makeReduceStream<3>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t, int64_t);
template InStream* makeReduceStream<4>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t, int64_t);

template <bool kBigDictionary, bool kLiteralTree>
InStream* makeImplodeStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize) {
    return makeLegacyStream<ImplodeDecoder>(name, owner, tag, source, offset, packedSize, unpackedSize,
                                            kBigDictionary, kLiteralTree);
}
template InStream* makeImplodeStream<false, false>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t,
                                                   int64_t);
template InStream* makeImplodeStream<false, true>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t,
                                                  int64_t);
template InStream* makeImplodeStream<true, false>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t,
                                                  int64_t);
template InStream* makeImplodeStream<true, true>(const char16_t*, Archive*, int64_t, InStream*, int64_t, int64_t,
                                                 int64_t);

}  // namespace zorvex
