// The codec pipeline: how a reader or a container codec builds a codec's
// input and gets the decoding stream made.
//
//   CodecInput input(name, owner, tag);
//   input.addBytes(properties, 5);                  // leading bytes the codec reads first
//   input.addWindow(archiveStream, offset, packed); // then windows on other streams
//   Ref<InStream> joined(input.take());
//   Ref<InStream> decoded(openCodecStream(u"lzma", name, owner, tag, joined.get(), 0, input.size(), size));
//
// A codec with several inputs (a size table, then the inputs) gets them the
// same way, and a decoded stream can be the window of the next codec's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "engine/refobject.h"
#include "engine/stream.h"

namespace zorvex {

class ConcatStream;

// Joins leading bytes (properties, size tables) and windows on other streams
// into the one input a codec reads.
class CodecInput {
public:
    CodecInput(const char16_t* name, Archive* owner, int64_t tag);
    ~CodecInput();
    CodecInput(const CodecInput&) = delete;
    CodecInput& operator=(const CodecInput&) = delete;

    // Copies the bytes. False (and the input is void) when memory is short.
    bool addBytes(const void* data, size_t size);
    // [offset, offset + length) of `stream`, which the input then holds a
    // count on. False (and the input is void) for a bad window.
    bool addWindow(InStream* stream, int64_t offset, int64_t length);
    // The joined input (counted, the caller releases); null when an add failed
    // or it was taken already.
    InStream* take();
    // Bytes added so far.
    int64_t size() const { return size_; }

private:
    ConcatStream* joined_;
    int64_t size_ = 0;
};

// The named codec's stream through the registry (findCodec); null when the
// codec is unknown or its stream cannot be made.
InStream* openCodecStream(const char16_t* codecName, const char16_t* name, Archive* owner, int64_t tag,
                          InStream* source, int64_t offset, int64_t packedSize, int64_t unpackedSize);

// Finishes a stream a factory made with new(std::nothrow): null when it is
// null, when a DecoderStream lacks its buffers, or when `init(*stream)` fails
// (the stream is then released).
template <class Stream, class Init>
InStream* startDecoderStream(Stream* stream, Init&& init) {
    if (!stream) return nullptr;
    bool ready = true;
    if constexpr (std::is_base_of_v<DecoderStream, Stream>) ready = stream->ok();
    if (!ready || !std::forward<Init>(init)(*stream)) {
        stream->release();
        return nullptr;
    }
    return stream;
}

// For streams that need no initialisation beyond their constructor.
template <class Stream>
InStream* startDecoderStream(Stream* stream) {
    return startDecoderStream(stream, [](Stream&) { return true; });
}

}  // namespace zorvex
