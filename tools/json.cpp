#include "tools/json.h"

#include <cstdio>

namespace zorvex::cli {

void appendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            out += "\\u00";
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

void appendJsonTime(std::string& out, int64_t time) {
    if (time <= 0) {
        out += "null";
        return;
    }
    // Days since 1970 to a civil date (proleptic Gregorian), without the
    // runtime's time zone machinery.
    int64_t days = time / 86400, seconds = time % 86400;
    days += 719468;
    const int64_t era = days / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2);
    char text[48];
    int length = std::snprintf(text, sizeof text, "\"%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ\"",
                               static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                               static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                               static_cast<long long>(seconds % 60));
    out.append(text, static_cast<size_t>(length));
}

}  // namespace zorvex::cli
