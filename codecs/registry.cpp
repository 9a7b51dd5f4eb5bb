// Every codec, registered at load in this order (the order matters only when
// codecs are enumerated). A family's header names its stream factory.
#include "codecs/deflate/deflate.h"
#include "engine/codec.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

InStream* makeStoreStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t) {
    return new StoreStream(name, owner, tag, source, offset, packedSize);
}

FactoryCodec deflate(u"deflate", makeDeflateStream);
FactoryCodec store(u"store", makeStoreStream);

}  // namespace
}  // namespace zorvex
