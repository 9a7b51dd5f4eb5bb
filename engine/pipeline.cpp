#include "engine/pipeline.h"

#include <new>

namespace zorvex {
namespace {

class FailedStream final : public InStream {
public:
    FailedStream(const CodecRequest& request, const Status& why) : InStream(request.name, request.owner, request.tag) {
        fail(why);
    }
    int64_t tell() override { return 0; }
    bool seek(int64_t position) override { return position == 0; }
    int read(void*, int) override { return 0; }
    int64_t size() override { return 0; }
};

}  // namespace

InStream* openCodecStream(const CodecRequest& request) {
    Codec* codec = findCodec(request.method);
    if (!codec) return nullptr;
    return codec->createStream(request);
}

InStream* failedStream(const CodecRequest& request, const Status& why) {
    return new (std::nothrow) FailedStream(request, why);
}

}  // namespace zorvex
