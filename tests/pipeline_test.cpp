#include <gtest/gtest.h>

#include <vector>

#include "engine/pipeline.h"
#include "tests/test_util.h"

namespace zorvex {
namespace {

Ref<MemoryStream> memoryOf(const std::vector<uint8_t>& bytes) {
    return Ref<MemoryStream>(MemoryStream::create(u"m", nullptr, 0, bytes.data(), bytes.size()));
}

TEST(Pipeline, CodecInputJoinsBytesAndWindows) {
    auto source = memoryOf({10, 11, 12, 13, 14, 15});
    const uint8_t props[] = {1, 2};
    CodecInput input(u"in", nullptr, 7);
    ASSERT_TRUE(input.addBytes(props, sizeof props));
    ASSERT_TRUE(input.addBytes(props, 0));
    ASSERT_TRUE(input.addWindow(source.get(), 3, 2));
    ASSERT_TRUE(input.addWindow(source.get(), 0, 1));
    EXPECT_EQ(input.size(), 5);
    Ref<InStream> joined(input.take());
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->tag(), 7);
    EXPECT_EQ(test::readAll(joined.get()), (std::vector<uint8_t>{1, 2, 13, 14, 10}));
    EXPECT_EQ(input.take(), nullptr);  // handed out once

    // Through the registry, over the joined input.
    Ref<InStream> stored(openCodecStream(u"store", u"s", nullptr, 0, joined.get(), 1, 3, 3));
    ASSERT_TRUE(stored);
    EXPECT_EQ(test::readAll(stored.get()), (std::vector<uint8_t>{2, 13, 14}));
    EXPECT_EQ(openCodecStream(u"no-such-codec", u"s", nullptr, 0, joined.get(), 0, 5, 5), nullptr);
}

TEST(Pipeline, AFailedAddVoidsTheInput) {
    auto source = memoryOf({1, 2, 3});
    CodecInput input(u"in", nullptr, 0);
    ASSERT_TRUE(input.addWindow(source.get(), 0, 3));
    EXPECT_FALSE(input.addWindow(source.get(), 4, 1));  // starts past the end
    // Nothing half-built is handed out, and later adds cannot revive it.
    EXPECT_FALSE(input.addBytes("x", 1));
    EXPECT_EQ(input.take(), nullptr);
    CodecInput noStream(u"in", nullptr, 0);
    EXPECT_FALSE(noStream.addWindow(nullptr, 0, 1));
    EXPECT_EQ(noStream.take(), nullptr);
}

}  // namespace
}  // namespace zorvex
