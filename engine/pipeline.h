// The codec pipeline: how a reader or a container codec gets a codec's
// decoding stream made, and how a graph of coders runs (engine/coder_graph.h).
//
//   CodecRequest request;
//   request.method = u"lzma";
//   request.source = archiveStream;
//   request.offset = offset;
//   request.packedSize = packed;
//   request.unpackedSize = size;
//   request.properties = properties;  // the method's property bytes
//   Ref<InStream> decoded(openCodecStream(request));
//
// A decoded stream can be the source of the next codec's request.
#pragma once

#include <type_traits>
#include <utility>

#include "engine/codec.h"
#include "engine/stream.h"

namespace zorvex {

// The stream of the request's method through the registry (findCodec); null
// when the method is unknown or its stream cannot be made.
InStream* openCodecStream(const CodecRequest& request);

// A stream that delivers nothing and fails with `why`: what a codec makes
// when it knows before decoding that it cannot, such as an encrypted method
// without a password (Status::encrypted()) or with one its check value
// rejects (Status::wrongPassword()). Null when memory is short.
InStream* failedStream(const CodecRequest& request, const Status& why);

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
