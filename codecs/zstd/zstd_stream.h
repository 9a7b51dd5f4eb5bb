// What the two zstd decoder streams share: damage bookkeeping and the factory.
#pragma once

#include <new>

#include "engine/stream.h"

namespace zorvex {

class ZstdStreamBase : public DecoderStream {
public:
    using DecoderStream::DecoderStream;

    // When the size was learnt by decoding and the data turned out damaged,
    // the entry claims one byte more than it delivers, so that every reader
    // sees it fall short instead of a complete entry.
    void measureSizeReportingDamage() {
        measureSize();
        if (damaged_) setUnpackedSize(size() + 1);
    }

protected:
    int fail() {
        damaged_ = true;
        return kDecodeError;
    }

private:
    bool damaged_ = false;
};

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
    if (unpackedSize < 0) stream->measureSizeReportingDamage();
    return stream;
}

}  // namespace zorvex
