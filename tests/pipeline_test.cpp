#include <gtest/gtest.h>

#include <vector>

#include "engine/coder_graph.h"
#include "engine/pipeline.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

Ref<MemoryStream> memoryOf(const std::vector<uint8_t>& bytes) {
    return Ref<MemoryStream>(MemoryStream::create(u"m", nullptr, 0, bytes.data(), bytes.size()));
}

TEST(Pipeline, OpensTheRequestedMethod) {
    auto source = memoryOf({10, 11, 12, 13, 14, 15});
    CodecRequest request;
    request.method = u"store";
    request.name = u"s";
    request.tag = 7;
    request.source = source.get();
    request.offset = 1;
    request.packedSize = request.unpackedSize = 3;
    Ref<InStream> stored(openCodecStream(request));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->tag(), 7);
    EXPECT_EQ(test::readAll(stored.get()), (std::vector<uint8_t>{11, 12, 13}));
    request.method = u"no-such-codec";
    EXPECT_EQ(openCodecStream(request), nullptr);
    request.method = nullptr;
    EXPECT_EQ(openCodecStream(request), nullptr);
}

// Packed bytes 5, 1, 1 at offset 2 of the archive; "delta" (distance 1)
// over "store" turns them into 5, 6, 7.
CoderGraph deltaOverStore() {
    CoderGraph graph;
    graph.coders.resize(2);
    graph.coders[0].method = u"delta";
    graph.coders[0].properties = {0};
    graph.coders[1].method = u"store";
    graph.coders[1].firstInput = 1;
    graph.bindings = {{0, 1}};  // coder 0's input is coder 1's output
    graph.packedInputs = {1};
    graph.packed = {{2, 3}};
    graph.unpackSizes = {3, 3};
    return graph;
}

TEST(CoderGraph, RunsTheBoundCodersOrFailsWithoutFault) {
    auto archive = memoryOf({0, 0, 5, 1, 1, 0});
    struct Case {
        const char* what;
        void (*change)(CoderGraph&);
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {"whole graph", [](CoderGraph&) {}, {5, 6, 7}},
        {"unknown method", [](CoderGraph& g) { g.coders[1].method = nullptr; }, {}},
        {"properties the codec refuses", [](CoderGraph& g) { g.coders[0].properties.clear(); }, {}},
        {"input fed by nothing", [](CoderGraph& g) { g.packedInputs = {2}; }, {}},
        {"outputs bound in a circle", [](CoderGraph& g) { g.bindings = {{0, 1}, {1, 0}}; }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CoderGraph graph = deltaOverStore();
        c.change(graph);
        Ref<InStream> decoded(openCoderGraph(archive.get(), graph));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->size(), 3);
        EXPECT_EQ(test::readAll(decoded.get()), c.expected);
    }
}

TEST(CoderGraph, PassesOnTheDamageItsCoderFound) {
    FactoryCodec damaging(u"test-damaging", [](const CodecRequest& r) -> InStream* {
        auto* stream = new StoreStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize);
        stream->markDamaged();
        return stream;
    });
    auto archive = memoryOf({0, 0, 5, 1, 1, 0});
    CoderGraph graph = deltaOverStore();
    graph.coders[0].method = u"test-damaging";
    graph.coders[0].properties.clear();
    Ref<InStream> decoded(openCoderGraph(archive.get(), graph));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(test::readAll(decoded.get()), (std::vector<uint8_t>{5, 1, 1}));
    EXPECT_TRUE(decoded->damaged());
}

}  // namespace
}  // namespace zorvex
