// The factory the two zstd decoder streams share.
#pragma once

#include <new>

#include "engine/stream.h"

namespace zorvex {

template <class Stream>
InStream* makeZstdStreamOf(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                           int64_t packedSize, int64_t unpackedSize) {
    if (!source) return nullptr;
    auto* stream = new (std::nothrow) Stream(name, owner, tag, source, offset, packedSize, unpackedSize);
    if (!stream) return nullptr;
    if (!stream->ok() || !stream->init()) {
        stream->release();
        return nullptr;
    }
    return stream;
}

}  // namespace zorvex
