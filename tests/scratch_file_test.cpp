// The platform's scratch file: what is written at any offset reads back, and
// reads past what was written fail instead of returning stale bytes.
#include "platform/platform.h"

#include "tests/test_util.h"

namespace zorvex {
namespace {

TEST(ScratchFile, WritesReadBackAtTheirOffsets) {
    auto file = platform::ScratchFile::create();
    ASSERT_TRUE(file);
    EXPECT_GT(file->freeSpace(), 0);
    auto first = test::sampleData(300000, 1);
    auto second = test::sampleData(5000, 2);
    ASSERT_TRUE(file->write(0, first.data(), int(first.size())));
    ASSERT_TRUE(file->write(int64_t(first.size()), second.data(), int(second.size())));
    ASSERT_TRUE(file->write(100, second.data(), 10));  // overwrites in place

    std::vector<uint8_t> back(first.size() + second.size());
    ASSERT_TRUE(file->read(0, back.data(), int(back.size())));
    std::copy(second.begin(), second.begin() + 10, first.begin() + 100);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), back.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), back.begin() + first.size()));

    uint8_t byte;
    EXPECT_FALSE(file->read(int64_t(back.size()), &byte, 1));
    EXPECT_FALSE(file->read(int64_t(back.size()) - 4, back.data(), 8));
}

}  // namespace
}  // namespace zorvex
