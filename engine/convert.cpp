// The time forms that need no operating system: they reduce to timeFromParts
// (local time, platform/) or to plain arithmetic.
#include "engine/convert.h"

namespace zorvex {

namespace {
std::string& namesCharsetSetting() {
    static std::string charset;
    return charset;
}
}  // namespace

void setNamesCharset(std::string charset) { namesCharsetSetting() = std::move(charset); }
const std::string& namesCharset() { return namesCharsetSetting(); }

int64_t timeFromDos(uint16_t date, uint16_t time) {
    if (date == 0 && time == 0) return 0;
    return timeFromParts(1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
                         2 * (time & 31));
}

int64_t timeFromDosPacked(uint32_t dateTime) {
    if (dateTime == 0) return 0;
    return timeFromDos(static_cast<uint16_t>(dateTime >> 16), static_cast<uint16_t>(dateTime & 0xFFFF));
}

int64_t timeFromFiletime(uint64_t filetime) {
    // A FILETIME is already UTC: the seconds follow directly. Going through
    // local time would apply today's daylight-saving bias to every date and
    // misplace times from the other half of the year.
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    int64_t t = static_cast<int64_t>(filetime / 10000000) - kSecondsFrom1601To1970;
    return t < 0 ? 0 : t;
}

}  // namespace zorvex
