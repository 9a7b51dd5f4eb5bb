#include "engine/pipeline.h"

#include <new>

#include "engine/codec.h"

namespace zorvex {

CodecInput::CodecInput(const char16_t* name, Archive* owner, int64_t tag)
    : joined_(new (std::nothrow) ConcatStream(name, owner, tag)) {}

CodecInput::~CodecInput() {
    if (joined_) joined_->release();
}

bool CodecInput::addBytes(const void* data, size_t size) {
    if (!joined_) return false;
    if (size == 0) return true;
    Ref<MemoryStream> bytes(MemoryStream::create(joined_->name(), nullptr, joined_->tag(), data, size));
    return addWindow(bytes.get(), 0, static_cast<int64_t>(size));
}

bool CodecInput::addWindow(InStream* stream, int64_t offset, int64_t length) {
    if (!joined_) return false;
    if (!stream || !joined_->appendPart(stream, offset, length)) {
        joined_->release();
        joined_ = nullptr;
        return false;
    }
    size_ += length;
    return true;
}

InStream* CodecInput::take() {
    InStream* joined = joined_;
    joined_ = nullptr;
    return joined;
}

InStream* openCodecStream(const char16_t* codecName, const char16_t* name, Archive* owner, int64_t tag,
                          InStream* source, int64_t offset, int64_t packedSize, int64_t unpackedSize) {
    Codec* codec = findCodec(codecName);
    if (!codec) return nullptr;
    return codec->createStream(name, owner, tag, source, offset, packedSize, unpackedSize);
}

}  // namespace zorvex
