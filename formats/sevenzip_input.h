// Stand-in for the engine's codec input joining, until the engine has it.
#pragma once

#include <cstdint>
#include <new>

#include "engine/codec.h"
#include "engine/refobject.h"
#include "engine/stream.h"

namespace zorvex {

// Joins a coder's leading bytes (properties, size tables) and windows on
// other streams into the one input its codec reads.
class CodecInput {
public:
    CodecInput(const char16_t* name, Archive* owner, int64_t tag)
        : joined_(new (std::nothrow) ConcatStream(name, owner, tag)) {}

    bool addBytes(const void* data, size_t size) {
        Ref<MemoryStream> bytes(MemoryStream::create(u"", nullptr, 0, data, size));
        return addWindow(bytes.get(), 0, static_cast<int64_t>(size));
    }
    bool addWindow(InStream* stream, int64_t offset, int64_t length) {
        ok_ = ok_ && joined_ && stream && joined_->appendPart(stream, offset, length);
        return ok_;
    }
    InStream* take() { return ok_ ? joined_.detach() : nullptr; }
    int64_t size() const { return joined_ ? joined_->size() : -1; }

private:
    Ref<ConcatStream> joined_;
    bool ok_ = true;
};

inline InStream* openCodecStream(const char16_t* codecName, const char16_t* name, Archive* owner, int64_t tag,
                                 InStream* source, int64_t offset, int64_t packedSize, int64_t unpackedSize) {
    Codec* codec = findCodec(codecName);
    return codec ? codec->createStream(name, owner, tag, source, offset, packedSize, unpackedSize) : nullptr;
}

}  // namespace zorvex
