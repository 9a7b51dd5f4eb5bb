// Text and time conversions, and native path forms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>

#include "engine/convert.h"
#include "platform/platform.h"

namespace zorvex {
namespace {

TEST(TimeConversion, DosDatesAreLocalTimes) {
    int64_t t = timeFromDos(0x0021, 0);
    ASSERT_GT(t, 0);
    auto parts = timeToParts(t);
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->year, 1980);
    EXPECT_EQ(parts->month, 1);
    EXPECT_EQ(parts->day, 1);
    EXPECT_EQ(parts->hour, 0);
    EXPECT_EQ(parts->minute, 0);
    EXPECT_EQ(parts->second, 0);
    EXPECT_EQ(t, timeFromParts(1980, 1, 1, 0, 0, 0));

    // 2019-06-15 13:45, seconds field 29 = 58 s.
    uint16_t date = (39 << 9) | (6 << 5) | 15, time = (13 << 11) | (45 << 5) | 29;
    auto summer = timeToParts(timeFromDos(date, time));
    ASSERT_TRUE(summer);
    EXPECT_EQ(summer->second, 58);
    EXPECT_EQ(summer->hour, 13);  // summer time is the runtime's call, not an hour off
    EXPECT_EQ(timeFromDosPacked(uint32_t(date) << 16 | time), timeFromDos(date, time));

    EXPECT_EQ(timeFromDos(0, 0), 0);
    EXPECT_EQ(timeFromDosPacked(0), 0);
    EXPECT_EQ(timeFromParts(1900, 1, 1, 0, 0, 0), 0);  // before 1970
    EXPECT_FALSE(timeToParts(0));
    EXPECT_FALSE(timeToParts(-5));
}

#ifndef _WIN32
// Local times convert through each hour's start, remembered per thread: every
// local time of a year with both summer-time changes comes back as it was.
TEST(TimeConversion, LocalTimesRoundTripAcrossSummerTime) {
    if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no time zone data";
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    std::thread([] {  // a thread of its own: no hour remembered from another zone
        for (int64_t t = 1704067200; t < 1704067200 + 366 * 86400; t += 37 * 60 + 11) {
            auto parts = timeToParts(t);
            ASSERT_TRUE(parts);
            int64_t back = timeFromParts(parts->year, parts->month, parts->day, parts->hour, parts->minute,
                                         parts->second);
            auto again = timeToParts(back);
            ASSERT_TRUE(again);
            ASSERT_EQ(std::tie(again->year, again->month, again->day, again->hour, again->minute, again->second),
                      std::tie(parts->year, parts->month, parts->day, parts->hour, parts->minute, parts->second))
                << t;
        }
    }).join();
    if (saved) setenv("TZ", before.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}
#endif

TEST(TimeConversion, FiletimesAreUtc) {
    constexpr uint64_t kEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns units since 1601
    EXPECT_EQ(timeFromFiletime(kEpoch + 86400ull * 10000000), 86400);
    EXPECT_EQ(timeFromFiletime(kEpoch + 1700000000ull * 10000000 + 9999999), 1700000000);
    EXPECT_EQ(timeFromFiletime(0), 0);
    EXPECT_EQ(timeFromFiletime(kEpoch - 1), 0);
}

TEST(TextConversion, Utf8IsValidated) {
    EXPECT_EQ(utf8ToWide("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"), std::u16string(u"aä€😀"));
    EXPECT_EQ(utf8ToWide(std::string_view("ab\0cd", 5)), std::u16string(u"ab"));
    EXPECT_FALSE(utf8ToWide(""));
    EXPECT_FALSE(utf8ToWide("\xC0\x80"));          // overlong
    EXPECT_FALSE(utf8ToWide("a\x80"));             // stray continuation
    EXPECT_FALSE(utf8ToWide("\xE2\x82"));          // cut short
    EXPECT_FALSE(utf8ToWide("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(utf8ToWide("\xF4\x90\x80\x80"));  // beyond U+10FFFF

    EXPECT_EQ(wideToUtf8(u"aä€😀"), std::string("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_EQ(wideToUtf8(std::u16string(1, char16_t(0xD800))), std::string("\xEF\xBF\xBD"));
    EXPECT_FALSE(wideToUtf8(u""));
}

TEST(TextConversion, SingleByteCodePages) {
    EXPECT_EQ(oemToWide("\x81\xE1\xC9 x"), std::u16string(u"üß╔ x"));
    EXPECT_EQ(ansiToWide("\x80\xE9\x9F"), std::u16string(u"€éŸ"));
    EXPECT_FALSE(oemToWide(""));
    char16_t out[2];
    EXPECT_TRUE(oemCharToWide('\x9B', out));
    EXPECT_EQ(out[0], u'¢');
    EXPECT_EQ(out[1], 0);
    EXPECT_TRUE(ansiCharToWide('\x8A', out));
    EXPECT_EQ(out[0], u'Š');
}

TEST(NativePaths, RoundTripIncludingNamesThatAreNotUtf8) {
    EXPECT_EQ(platform::toNativePath(u"\\home\\me\\ä.zip"), std::string("/home/me/\xC3\xA4.zip"));
    EXPECT_EQ(platform::fromNativePath("/home/me/\xC3\xA4.zip"), std::u16string(u"\\home\\me\\ä.zip"));
    std::string latin1 = "/tmp/caf\xE9.zip";
    EXPECT_EQ(platform::toNativePath(platform::fromNativePath(latin1)), latin1);
    EXPECT_EQ(platform::fullPath(u"\\a\\..\\..\\b\\"), std::u16string(u"\\b\\"));
    EXPECT_EQ(platform::fullPath(u"\\"), std::u16string(u"\\"));
}

}  // namespace
}  // namespace zorvex
