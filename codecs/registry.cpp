// Every codec, registered at load in this order (the order matters only when
// codecs are enumerated). A family's header names its stream factory.
#include "codecs/bzip2/bzip2.h"
#include "codecs/deflate/deflate.h"
#include "codecs/deflate64/deflate64.h"
#include "codecs/wavpack/wavpack.h"
#include "engine/codec.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

InStream* makeStoreStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t) {
    return new StoreStream(name, owner, tag, source, offset, packedSize);
}

FactoryCodec wavpack(u"wavpack", makeWavPackStream);
FactoryCodec bzip2(u"bzip2", makeBzip2Stream);
FactoryCodec deflate(u"deflate", makeDeflateStream);
FactoryCodec deflate64(u"deflate64", makeDeflate64Stream);
FactoryCodec store(u"store", makeStoreStream);

}  // namespace
}  // namespace zorvex
