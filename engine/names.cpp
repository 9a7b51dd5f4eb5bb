// Name comparison for entry lookups and listings.
#include <algorithm>

#include "engine/names.h"

namespace zorvex {

// Simple one-unit case folding: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic cover the names found in real archives.
char16_t foldCase(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return char16_t(c + 32);
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (c == 0x178) return 0xFF;
        bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        bool isUpper = oddUpper ? (c & 1) : !(c & 1);
        return isUpper ? char16_t(c + 1) : c;
    }
    if (c >= 0x386 && c <= 0x3AB) {
        if (c == 0x386) return 0x3AC;
        if (c >= 0x388 && c <= 0x38A) return char16_t(c + 37);
        if (c == 0x38C) return 0x3CC;
        if (c == 0x38E || c == 0x38F) return char16_t(c + 63);
        if (c >= 0x391 && c != 0x3A2) return char16_t(c + 32);
        return c;
    }
    if (c >= 0x400 && c <= 0x52F) {
        if (c <= 0x40F) return char16_t(c + 80);
        if (c <= 0x42F) return char16_t(c + 32);
        if (c == 0x4C0) return 0x4CF;
        if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
            return (c & 1) ? c : char16_t(c + 1);
        if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? char16_t(c + 1) : c;
    }
    return c;
}

std::u16string foldCase(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) c = foldCase(c);
    return out;
}

int compareNoCase(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = foldCase(a[i]), y = foldCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

namespace {

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Compares the digit runs starting at a[i] and b[j] by value (any length):
// past leading zeros, the longer run is the larger number, and runs of one
// length differ at their first different digit. Both indices move past the
// runs when they are equal.
int compareNumbers(std::u16string_view a, size_t& i, std::u16string_view b, size_t& j) {
    while (i < a.size() && a[i] == u'0') ++i;
    while (j < b.size() && b[j] == u'0') ++j;
    int firstDifference = 0;
    for (; i < a.size() && j < b.size() && isDigit(a[i]) && isDigit(b[j]); ++i, ++j)
        if (firstDifference == 0 && a[i] != b[j]) firstDifference = a[i] < b[j] ? -1 : 1;
    if (i < a.size() && isDigit(a[i])) return 1;
    if (j < b.size() && isDigit(b[j])) return -1;
    return firstDifference;
}

// Where two names part, moved back to the start of the digit run it falls
// in: the shared text before it compares equal, and a number is only ever
// compared whole.
size_t commonStart(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    size_t k = 0;
    while (k < n && a[k] == b[k]) ++k;
    while (k > 0 && isDigit(a[k - 1])) --k;
    return k;
}

}  // namespace

int naturalCompareNoCase(std::u16string_view a, std::u16string_view b) {
    // Names in one folder mostly share long stretches (a common stem, a
    // counter's leading zeros): those are passed over without folding.
    size_t i = commonStart(a, b), j = i;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            int c = compareNumbers(a, i, b, j);
            if (c != 0) return c;
            continue;
        }
        if (a[i] != b[j]) {
            char16_t x = foldCase(a[i]), y = foldCase(b[j]);
            if (x != y) return x < y ? -1 : 1;
        }
        ++i, ++j;
    }
    bool aLeft = i < a.size(), bLeft = j < b.size();
    if (aLeft != bLeft) return aLeft ? 1 : -1;
    return compareNoCase(a, b);
}

int naturalCompare(std::u16string_view a, std::u16string_view b) {
    if (int order = naturalCompareNoCase(a, b); order != 0) return order;
    return a == b ? 0 : a < b ? -1 : 1;
}

std::u16string stemOf(std::u16string_view fullName) {
    size_t slash = fullName.find_last_of(u'\\');
    if (slash != std::u16string_view::npos) fullName.remove_prefix(slash + 1);
    return std::u16string(fullName.substr(0, fullName.find_last_of(u'.')));
}

namespace {

bool& olderVersionsSetting() {
    static bool listed = false;
    return listed;
}

}  // namespace

void setOlderVersionsListed(bool listed) { olderVersionsSetting() = listed; }
bool olderVersionsListed() { return olderVersionsSetting(); }

}  // namespace zorvex
