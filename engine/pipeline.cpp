#include "engine/pipeline.h"

namespace zorvex {

InStream* openCodecStream(const CodecRequest& request) {
    Codec* codec = findCodec(request.method);
    if (!codec) return nullptr;
    return codec->createStream(request);
}

}  // namespace zorvex
