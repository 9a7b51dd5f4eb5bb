#include "engine/convert.h"

#include <iconv.h>

#include <ctime>
#include <mutex>

#include "platform/posix/utf8.h"

namespace zorvex {
namespace posix {

namespace {

void appendCodePoint(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Length of the well-formed sequence at text[i] and its code point; 0 when malformed.
int decodeOne(std::string_view text, size_t i, char32_t* cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = b(i);
    int length;
    char32_t value, minimum;
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (int k = 1; k < length; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        value = value << 6 | (b(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return length;
}

}  // namespace

std::optional<std::u16string> decodeUtf8(std::string_view text, bool lenient) {
    // Most names are plain ASCII: that leading run widens in one go.
    size_t ascii = 0;
    while (ascii < text.size() && static_cast<unsigned char>(text[ascii]) < 0x80) ++ascii;
    std::u16string out(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(ascii));
    out.reserve(text.size());
    for (size_t i = ascii; i < text.size();) {
        char32_t cp;
        int length = decodeOne(text, i, &cp);
        if (length == 0) {
            if (!lenient) return std::nullopt;
            out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(text[i])));
            ++i;
            continue;
        }
        appendCodePoint(out, cp);
        i += length;
    }
    return out;
}

std::string encodeUtf8(std::u16string_view text, bool restoreEscapes) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC80 && cp <= 0xDCFF && restoreEscapes) {
            out.push_back(static_cast<char>(cp - 0xDC00));
            continue;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | cp >> 6));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | cp >> 12));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | cp >> 18));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace posix

namespace {

// Upper halves of the two single-byte code pages. Code page 1252 leaves five
// bytes undefined; they map to the C1 control of the same value.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

char16_t ansiChar(unsigned char c) { return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : c; }
char16_t oemChar(unsigned char c) { return c >= 0x80 ? kCp437High[c - 0x80] : c; }

// Stored names are zero-terminated; text after a zero is not part of them.
std::string_view untilZero(std::string_view text) { return text.substr(0, text.find('\0')); }

std::optional<std::u16string> singleByteToWide(std::string_view text, char16_t (*map)(unsigned char)) {
    text = untilZero(text);
    if (text.empty()) return std::nullopt;
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out.push_back(map(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::optional<std::u16string> utf8ToWide(std::string_view text) {
    auto out = posix::decodeUtf8(untilZero(text), false);
    if (!out || out->empty()) return std::nullopt;
    return out;
}

std::optional<std::u16string> ansiToWide(std::string_view text) { return singleByteToWide(text, ansiChar); }

std::optional<std::u16string> oemToWide(std::string_view text) { return singleByteToWide(text, oemChar); }

std::optional<std::string> wideToUtf8(std::u16string_view text) {
    text = text.substr(0, text.find(u'\0'));
    if (text.empty()) return std::nullopt;
    return posix::encodeUtf8(text, false);
}

// iconv converts to UTF-8, which then widens as any UTF-8 name.
std::optional<std::u16string> charsetToWide(std::string_view text, const std::string& charset) {
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string in(text), out(text.size() * 4 + 4, '\0');
    char* from = in.data();
    char* to = out.data();
    size_t fromLeft = in.size(), toLeft = out.size();
    bool whole = iconv(cd, &from, &fromLeft, &to, &toLeft) != static_cast<size_t>(-1) &&
                 iconv(cd, nullptr, nullptr, &to, &toLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!whole) return std::nullopt;
    out.resize(out.size() - toLeft);
    return utf8ToWide(out);
}

bool charsetKnown(const std::string& charset) {
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    return true;
}

bool ansiCharToWide(char c, char16_t out[2]) {
    out[0] = ansiChar(static_cast<unsigned char>(c));
    out[1] = 0;
    return true;
}

bool oemCharToWide(char c, char16_t out[2]) {
    out[0] = oemChar(static_cast<unsigned char>(c));
    out[1] = 0;
    return true;
}

int64_t timeFromParts(int year, int month, int day, int hour, int minute, int second) {
    // mktime looks at the time zone file again on every call (a stat each
    // time); an archive's entries mostly share their hour, whose start is
    // converted once. Within an hour local time runs on as UTC does.
    struct Hour {
        int year = 0, month = 0, day = 0, hour = -1;
        time_t start = 0;
    };
    thread_local Hour last;
    if (year != last.year || month != last.month || day != last.day || hour != last.hour) {
        std::tm parts{};
        parts.tm_year = year - 1900;
        parts.tm_mon = month - 1;
        parts.tm_mday = day;
        parts.tm_hour = hour;
        parts.tm_isdst = -1;
        // With TZ unset, every mktime frees and copies the C library's note
        // of the zone's name under a lock of its own, which thread checkers
        // cannot see: taken under ours, the calls are plainly one at a time.
        static std::mutex zoneLock;
        std::lock_guard<std::mutex> hold(zoneLock);
        last = {year, month, day, hour, std::mktime(&parts)};
    }
    if (last.start == time_t(-1)) return 0;
    const int64_t t = int64_t{last.start} + int64_t{minute} * 60 + second;
    return t < 0 ? 0 : t;
}

std::optional<TimeParts> timeToParts(int64_t time) {
    if (time <= 0) return std::nullopt;
    time_t t = static_cast<time_t>(time);
    std::tm parts{};
    if (!localtime_r(&t, &parts)) return std::nullopt;
    return TimeParts{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

}  // namespace zorvex
