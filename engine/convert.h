// Text and time conversions shared by the format readers and the shell.
// Implemented per platform (platform/posix, platform/win32).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvex {

// Each returns nullopt when the conversion fails or yields no characters.
std::optional<std::u16string> utf8ToWide(std::string_view text);
std::optional<std::u16string> ansiToWide(std::string_view text);  // code page 1252 on POSIX
std::optional<std::u16string> oemToWide(std::string_view text);   // code page 437 on POSIX
std::optional<std::string> wideToUtf8(std::u16string_view text);
// Text in a character set named as the system knows it ("CP866", "ISO-8859-2";
// on Windows a code page number, "cp1251" or "utf-8").
std::optional<std::u16string> charsetToWide(std::string_view text, const std::string& charset);
bool charsetKnown(const std::string& charset);

// The character set the user chose for names an archive stores without
// saying which (zip names without the UTF-8 flag); empty: each reader's own
// rule. One setting for the process, made before archives are opened.
void setNamesCharset(std::string charset);
const std::string& namesCharset();
// One byte of the ANSI or OEM code page; out holds one or two units and a zero.
bool ansiCharToWide(char c, char16_t out[2]);
bool oemCharToWide(char c, char16_t out[2]);

// Seconds since 1970-01-01 UTC of a local broken-down time (month 1-12); the
// runtime decides daylight saving. Negative results give 0.
int64_t timeFromParts(int year, int month, int day, int hour, int minute, int second);
int64_t timeFromDos(uint16_t date, uint16_t time);
int64_t timeFromDosPacked(uint32_t dateTime);  // date in the high half
int64_t timeFromFiletime(uint64_t filetime);   // 100 ns units since 1601, UTC

struct TimeParts {
    int year, month, day, hour, minute, second;
};
// Local time of an entry time; nullopt for times <= 0 or ones the runtime rejects.
std::optional<TimeParts> timeToParts(int64_t time);

}  // namespace zorvex
