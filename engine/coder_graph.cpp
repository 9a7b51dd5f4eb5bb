#include "engine/coder_graph.h"

#include <algorithm>
#include <new>
#include <utility>

#include "engine/pipeline.h"
#include "engine/read_ahead.h"
#include "engine/refobject.h"
#include "engine/shared_stream.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

class CoderGraphStream final : public InStream {
public:
    CoderGraphStream(InStream* archive, CoderGraph graph, SharedStream* shared)
        : InStream(u"", nullptr, 0),
          archive_(Ref<InStream>::share(archive)),
          shared_(Ref<SharedStream>::share(shared)),
          graph_(std::move(graph)) {}

    int64_t tell() override { return position_; }
    int64_t size() override { return graph_.size(); }

    bool seek(int64_t position) override {
        if (position < 0 || position > size()) return false;
        if (position == position_) return true;
        if (position == 0 || position == size()) {
            decoder_ = Ref<InStream>();
            position_ = position;
            return true;
        }
        if (!decoder_ && !build(false)) return false;
        if (!decoder_->seek(position)) {
            fail(reported(decoder_->status()));
            return false;
        }
        position_ = position;
        return true;
    }

    int read(void* buf, int count) override {
        if (!buf || count <= 0 || position_ >= size()) return 0;
        if (!decoder_ && !build(position_ == 0)) return 0;
        if (decoder_->tell() != position_ && !decoder_->seek(position_)) return 0;
        int want = static_cast<int>(std::min<int64_t>(count, size() - position_));
        int got = std::max(decoder_->read(buf, want), 0);
        // A coder that found damage (or lacks a password) says so through the graph's output.
        fail(reported(decoder_->status()));
        position_ += got;
        if (position_ == size()) decoder_ = Ref<InStream>();
        return got;
    }

private:
    // Decrypted with a wrong key, data decodes to noise that the next coder
    // rejects: in a graph that decrypts, that is the likely reason.
    Status reported(const Status& status) const {
        bool damage = status.kind() == Status::kCorrupt || status.kind() == Status::kTruncated ||
                      status.kind() == Status::kCheckFailed;
        return graph_.password && damage ? Status::wrongPassword("wrong password or damaged data") : status;
    }

    // How a coder's inputs are made: the stream packed windows are read
    // from, and whether first inputs of coders with several may be read ahead.
    struct Plan {
        InStream* packedSource;
        bool readAhead;
    };

    bool build(bool fromStart) {
        Plan plan{archive_.get(), fromStart && shared_};
        decoder_ = Ref<InStream>(openOutput(graph_.mainOutput, 0, plan));
        return static_cast<bool>(decoder_);
    }

    // One coder input: another coder's output (`ahead`: decoded ahead on a
    // worker) or a packed window. `holder` keeps a decoded output alive
    // until the coder's stream, which counts its inputs, is made.
    bool openInput(uint32_t index, int depth, const Plan& plan, bool ahead, CodecWindow* window,
                   Ref<InStream>* holder) {
        for (const CoderBinding& binding : graph_.bindings) {
            if (binding.input != index) continue;
            *holder = Ref<InStream>(ahead ? openAhead(binding.output, depth + 1)
                                          : openOutput(binding.output, depth + 1, plan));
            *window = {holder->get(), 0, graph_.unpackSizes[binding.output]};
            return static_cast<bool>(*holder);
        }
        for (size_t k = 0; k < graph_.packedInputs.size(); ++k) {
            if (graph_.packedInputs[k] != index) continue;
            *window = {plan.packedSource, graph_.packed[k].offset, graph_.packed[k].size};
            return true;
        }
        return false;
    }

    // Coder `output` decoded ahead on a worker, from a view of the archive
    // that nothing else reads.
    InStream* openAhead(uint32_t output, int depth) {
        Ref<SharedStream> view(shared_->openView());
        if (!view) return nullptr;
        Ref<InStream> decoded(openOutput(output, depth, Plan{view.get(), false}));
        return decoded ? openReadAhead(decoded.get()) : nullptr;
    }

    // The decoded stream of coder `output`. Bindings bind every output at
    // most once, so the walk is a tree; the depth bound stops a cycle.
    InStream* openOutput(uint32_t output, int depth, const Plan& plan) {
        if (depth > static_cast<int>(graph_.coders.size())) return nullptr;
        const GraphCoder& coder = graph_.coders[output];
        if (!coder.method) return nullptr;
        std::vector<CodecWindow> windows(coder.inputs);
        std::vector<Ref<InStream>> holders(coder.inputs);
        // Only the first input of a coder with several is worth a thread.
        for (uint32_t i = 0; i < coder.inputs; ++i) {
            bool ahead = plan.readAhead && coder.inputs > 1 && i == 0;
            if (!openInput(coder.firstInput + i, depth, plan, ahead, &windows[i], &holders[i])) return nullptr;
        }
        CodecRequest request;
        // An input known to fail before decoding (a decrypting coder without
        // its password) fails this output for the same reason.
        for (const Ref<InStream>& input : holders)
            if (input && !input->status().ok()) return failedStream(request, input->status());
        request.method = coder.method;
        request.unpackedSize = graph_.unpackSizes[output];
        request.properties = coder.properties;
        request.startOffset = coder.startOffset;
        request.password = graph_.password.get();
        if (coder.inputs == 1) {
            request.source = windows[0].stream;
            request.offset = windows[0].offset;
            request.packedSize = windows[0].size;
        } else {
            request.inputs = windows;
        }
        return openCodecStream(request);
    }

    Ref<InStream> archive_;
    Ref<SharedStream> shared_;
    CoderGraph graph_;
    Ref<InStream> decoder_;
    int64_t position_ = 0;
};

}  // namespace

InStream* openCoderGraph(InStream* archive, CoderGraph graph, SharedStream* shared) {
    return new (std::nothrow) CoderGraphStream(archive, std::move(graph), shared);
}

}  // namespace zorvex
