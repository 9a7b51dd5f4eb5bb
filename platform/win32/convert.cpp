// Text and time conversions through the Windows code-page and time APIs:
// ANSI and OEM mean the system's current code pages, local time the C
// runtime's view of the machine's time zone.
#include "engine/convert.h"

#include <windows.h>

#include <time.h>

#include <string>

namespace zorvex {

namespace {

std::optional<std::u16string> toWide(UINT codePage, std::string_view text) {
    if (text.empty()) return std::nullopt;
    // Malformed UTF-8 fails instead of turning into U+FFFD, so that readers
    // can fall back to another code page and names stay distinct.
    DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    // The input need not be zero-terminated here, so its length is passed.
    int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (needed <= 0) return std::nullopt;
    std::u16string out(static_cast<size_t>(needed), u'\0');
    if (MultiByteToWideChar(codePage, flags, text.data(), length, reinterpret_cast<wchar_t*>(out.data()),
                            needed) != needed)
        return std::nullopt;
    // A name ends at its first NUL, as a zero-terminated input would.
    out.resize(std::char_traits<char16_t>::length(out.c_str()));
    if (out.empty()) return std::nullopt;
    return out;
}

bool charToWide(UINT codePage, char c, char16_t out[2]) {
    out[0] = out[1] = 0;
    int n = MultiByteToWideChar(codePage, 0, &c, 1, reinterpret_cast<wchar_t*>(out), 1);
    return n == 1;
}

}  // namespace

std::optional<std::u16string> utf8ToWide(std::string_view text) { return toWide(CP_UTF8, text); }
std::optional<std::u16string> ansiToWide(std::string_view text) { return toWide(CP_ACP, text); }
std::optional<std::u16string> oemToWide(std::string_view text) { return toWide(CP_OEMCP, text); }

namespace {

// A code page number, alone or after "cp", "windows-" or "ibm"; "utf-8" is
// CP_UTF8. Zero when the name is none of these or the system lacks the page.
UINT codePageOf(const std::string& charset) {
    std::string name;
    for (char c : charset) name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (name == "utf-8" || name == "utf8") return CP_UTF8;
    for (const char* prefix : {"cp", "windows-", "ibm"})
        if (name.rfind(prefix, 0) == 0) name.erase(0, std::char_traits<char>::length(prefix));
    if (name.empty() || name.size() > 5 || name.find_first_not_of("0123456789") != std::string::npos) return 0;
    UINT page = static_cast<UINT>(std::stoul(name));
    return IsValidCodePage(page) ? page : 0;
}

}  // namespace

std::optional<std::u16string> charsetToWide(std::string_view text, const std::string& charset) {
    UINT page = codePageOf(charset);
    return page ? toWide(page, text) : std::nullopt;
}

bool charsetKnown(const std::string& charset) { return codePageOf(charset) != 0; }

std::optional<std::string> wideToUtf8(std::u16string_view text) {
    if (text.empty()) return std::nullopt;
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    int length = static_cast<int>(text.size());
    int needed = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::nullopt;
    std::string out(static_cast<size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), needed, nullptr, nullptr) != needed)
        return std::nullopt;
    out.resize(std::char_traits<char>::length(out.c_str()));
    if (out.empty()) return std::nullopt;
    return out;
}

bool ansiCharToWide(char c, char16_t out[2]) { return charToWide(CP_ACP, c, out); }
bool oemCharToWide(char c, char16_t out[2]) { return charToWide(CP_OEMCP, c, out); }

int64_t timeFromParts(int year, int month, int day, int hour, int minute, int second) {
    struct tm parts = {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    __time64_t t = _mktime64(&parts);
    return t < 0 ? 0 : static_cast<int64_t>(t);
}

std::optional<TimeParts> timeToParts(int64_t time) {
    if (time <= 0) return std::nullopt;
    __time64_t t = time;
    struct tm parts;
    if (_localtime64_s(&parts, &t) != 0) return std::nullopt;
    return TimeParts{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

}  // namespace zorvex
