#include "codecs/deflate/deflate.h"

#include <new>

#include "codecs/deflate/checkpoints.h"
#include "codecs/deflate/inflater.h"
#include "engine/codec.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

class InflateStream final : public DecoderStream {
public:
    InflateStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                  int64_t packedSize, int64_t unpackedSize, bool readOnce)
        : DecoderStream(name, owner, tag, source, offset, packedSize, unpackedSize) {
        if (readOnce) checkpoints_.keepNone();
        else setRestartsNearby();
    }

    bool ready() const { return inflater_.ready(); }

    void reset() override {
        inflater_.reset();
        input_ = output_ = 0;
    }

    // Before the first point the data's start is one.
    bool restartPoint(int64_t target, int64_t* inputOffset, int64_t* outputPosition) override {
        const InflateCheckpoints::Point* point = checkpoints_.before(target);
        if (output_ >= (point ? point->output : 0) && output_ <= target) return false;
        if (point && inflater_.restore(point->state)) {
            input_ = point->input;
            output_ = point->output;
        } else {
            reset();
        }
        *inputOffset = input_;
        *outputPosition = output_;
        return true;
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        Inflater::Step step = inflater_.step(in, inLength, consumed, out, outCapacity, produced);
        input_ += *consumed;
        output_ += *produced;
        if (step == Inflater::Step::kProgress && checkpoints_.due(output_))
            checkpoints_.add(&inflater_, input_, output_, {});
        switch (step) {
            case Inflater::Step::kEnd:
                return kDecodeEnd;
            case Inflater::Step::kError:
                return kDecodeError;
            case Inflater::Step::kProgress:
                break;
        }
        // Out of input with nothing more to give before the final block ended:
        // the data was cut short, which must not pass for a whole entry.
        return inLength == 0 && *produced == 0 ? kDecodeError : kDecodeProgress;
    }

private:
    Inflater inflater_{Inflater::Wrapper::kRaw};
    InflateCheckpoints checkpoints_;
    int64_t input_ = 0;   // packed bytes the inflater took
    int64_t output_ = 0;  // and the bytes it gave

};

}  // namespace

InStream* makeDeflateStream(const CodecRequest& r) {
    return startDecoderStream(
        new (std::nothrow) InflateStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize,
                                         r.readOnce),
        [](InflateStream& stream) { return stream.ready(); });
}

}  // namespace zorvex
