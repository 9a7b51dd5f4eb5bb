// A graph of coders over packed streams, as a 7z folder describes it: each
// coder has one output and one or more inputs; bindings feed outputs into
// inputs, packed windows of the archive feed the inputs left, and the one
// output nothing is bound to is what the graph decodes to.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zorvex {

class ArchivePassword;
class InStream;
class SharedStream;

struct GraphCoder {
    const char16_t* method = nullptr;  // codec name; null: unknown, the graph cannot be decoded
    uint64_t id = 0;                   // the format's id of the coder, which messages about it name
    uint32_t inputs = 1;
    uint32_t firstInput = 0;  // index of its first input among the graph's inputs
    std::vector<uint8_t> properties;
    uint32_t startOffset = 0;  // branch filters (CodecRequest::startOffset)
};

struct CoderBinding {
    uint32_t input;
    uint32_t output;
};

struct PackedWindow {
    int64_t offset;  // in the archive stream
    int64_t size;
};

struct CoderGraph {
    std::vector<GraphCoder> coders;  // coder i makes output i
    std::vector<CoderBinding> bindings;
    std::vector<uint32_t> packedInputs;  // graph input fed by the k-th packed window
    std::vector<PackedWindow> packed;
    std::vector<int64_t> unpackSizes;  // one per coder output
    uint32_t mainOutput = 0;
    // For graphs that decrypt: given to every coder's request
    // (CodecRequest::password). Damage found in such a graph is reported
    // as a wrong password, which it most likely is.
    std::shared_ptr<ArchivePassword> password;

    int64_t size() const { return unpackSizes.empty() ? 0 : unpackSizes[mainOutput]; }
};

// The graph's main output over `archive` (counted; null when memory is
// short). Its coders are built on first use and dropped when reading
// reaches the end, so that reading graph after graph keeps only one alive.
// Bindings must bind every output at most once.
//
// With `shared` (a shared view of `archive` itself), a graph read from its
// start decodes the first input of a coder with several inputs (the big
// one, as BCJ2's main stream) ahead on a worker thread, reading the archive
// through a view of its own. A graph first reached by a seek stays on one
// thread: the read-ahead would decode from the start only to be stopped.
InStream* openCoderGraph(InStream* archive, CoderGraph graph, SharedStream* shared = nullptr);

}  // namespace zorvex
