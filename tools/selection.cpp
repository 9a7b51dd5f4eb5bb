#include "tools/selection.h"

#include <algorithm>
#include <filesystem>

#include "engine/convert.h"
#include "engine/names.h"
#include "tools/os.h"

namespace zorvex::cli {

namespace {

constexpr std::u16string_view kAnyDepth = u"**";

// A pattern's text: bytes that are no UTF-8 stay bytes, which no name holds.
std::u16string patternText(const std::string& text) {
    if (auto wide = utf8ToWide(text)) return *wide;
    return std::u16string(text.begin(), text.end());
}

bool isSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

// Units of the character at `at`: a surrogate pair is one character to "?".
size_t characterLength(std::u16string_view text, size_t at) {
    return (text[at] >= 0xD800 && text[at] <= 0xDBFF && at + 1 < text.size()) ? 2 : 1;
}

// A bracket expression at `pattern[start]` ("[...]"): whether it is well
// formed (then `end` is past its "]") and whether `c` is in it.
bool matchBracket(std::u16string_view pattern, size_t start, char16_t c, size_t& end, bool& matched) {
    size_t at = start + 1;
    const bool negated = at < pattern.size() && (pattern[at] == u'!' || pattern[at] == u'^');
    if (negated) ++at;
    bool found = false;
    for (bool first = true; at < pattern.size(); first = false) {
        if (pattern[at] == u']' && !first) {
            end = at + 1;
            matched = found != negated;
            return true;
        }
        char16_t low = pattern[at], high = low;
        if (at + 2 < pattern.size() && pattern[at + 1] == u'-' && pattern[at + 2] != u']') {
            high = pattern[at + 2];
            at += 3;
        } else {
            at += 1;
        }
        found = found || (c >= low && c <= high);
    }
    return false;
}

// Whether pattern components from `pattern` match all of `path`; with
// `prefix`, also when the path ends while pattern components remain (what
// lies below it may match). Dynamic programming over both positions: "**"
// makes plain backtracking exponential.
bool componentsMatch(const std::vector<std::u16string>& pattern, const std::vector<std::u16string>& path, bool prefix) {
    const size_t count = path.size();
    std::vector<char> next(count + 1), current(count + 1);  // rows for the pattern's rest
    for (size_t t = 0; t <= count; ++t) next[t] = t == count;
    for (size_t p = pattern.size(); p-- > 0;) {
        const bool anyDepth = pattern[p] == kAnyDepth;
        for (size_t t = count + 1; t-- > 0;) {
            if (t == count)
                current[t] = prefix || (anyDepth && next[t]);
            else if (anyDepth)
                current[t] = next[t] || current[t + 1];
            else
                current[t] = next[t + 1] && componentMatches(pattern[p], path[t]);
        }
        std::swap(current, next);
    }
    return next[0];
}

}  // namespace

bool componentMatches(std::u16string_view pattern, std::u16string_view text) {
    size_t p = 0, t = 0;
    size_t starPattern = std::u16string_view::npos, starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starPattern = ++p;
            starText = t;
            continue;
        }
        if (p < pattern.size()) {
            size_t end = 0;
            bool matched = false;
            if (pattern[p] == u'?') {
                ++p;
                t += characterLength(text, t);
                continue;
            }
            if (pattern[p] == u'[' && matchBracket(pattern, p, text[t], end, matched)) {
                if (matched) {
                    p = end;
                    t += characterLength(text, t);
                    continue;
                }
            } else if (pattern[p] == text[t]) {
                ++p, ++t;
                continue;
            }
        }
        // A mismatch: the last "*" takes one more character, if there was one.
        if (starPattern == std::u16string_view::npos) return false;
        starText += characterLength(text, starText);
        p = starPattern;
        t = starText;
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

void splitArchivesAndPatterns(const std::vector<std::string>& arguments, const std::vector<std::string>& afterSeparator,
                              std::vector<std::string>& archives, std::vector<std::string>& patterns) {
    archives.clear();
    size_t i = 0;
    for (; i < arguments.size(); ++i) {
        std::error_code error;
        bool archive =
            i == 0 || arguments[i] == "-" || std::filesystem::is_regular_file(pathFromUtf8(arguments[i]), error);
        if (!archive) break;
        archives.push_back(arguments[i]);
    }
    patterns.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
    patterns.insert(patterns.end(), afterSeparator.begin(), afterSeparator.end());
}

std::vector<std::string> takeArgumentsAfterSeparator(std::vector<std::string>& arguments,
                                                     const std::vector<std::string>& commands) {
    if (arguments.size() < 2) return {};
    auto command = std::find_first_of(arguments.begin() + 1, arguments.end(), commands.begin(), commands.end());
    auto separator = std::find(command, arguments.end(), "--");
    if (command == arguments.end() || separator == arguments.end()) return {};
    std::vector<std::string> after(separator + 1, arguments.end());
    arguments.erase(separator, arguments.end());
    return after;
}

Selection::Selection(const std::vector<std::string>& patterns, const std::vector<std::string>& excludes,
                     bool ignoreCase)
    : ignoreCase_(ignoreCase) {
    for (const std::string& text : patterns) {
        Pattern pattern{text, split(patternText(text))};
        pattern.components.emplace_back(kAnyDepth);  // and everything below what it matches
        patterns_.push_back(std::move(pattern));
    }
    for (const std::string& text : excludes) {
        Pattern exclude{text, split(patternText(text))};
        if (exclude.components.empty()) continue;  // excludes nothing
        if (exclude.components.size() == 1)
            exclude.components.insert(exclude.components.begin(), std::u16string(kAnyDepth));
        exclude.components.emplace_back(kAnyDepth);
        excludes_.push_back(std::move(exclude));
    }
}

Selection::Components Selection::split(std::u16string_view path) const {
    Components components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        std::u16string_view part = path.substr(start, end - start);
        if (!part.empty() && part != u".") components.push_back(ignoreCase_ ? foldCase(part) : std::u16string(part));
        start = end + 1;
    }
    return components;
}

bool Selection::excluded(const Components& path) const {
    return std::any_of(excludes_.begin(), excludes_.end(),
                       [&](const Pattern& exclude) { return componentsMatch(exclude.components, path, false); });
}

bool Selection::takes(std::u16string_view path) {
    if (all()) return true;
    Components components = split(path);
    bool taken = patterns_.empty();
    for (Pattern& pattern : patterns_) {
        if (taken && pattern.matched) continue;
        if (componentsMatch(pattern.components, components, false)) taken = pattern.matched = true;
    }
    return taken && !excluded(components);
}

bool Selection::mayTakeBelow(std::u16string_view path) const {
    if (all()) return true;
    Components components = split(path);
    if (excluded(components)) return false;
    return patterns_.empty() || std::any_of(patterns_.begin(), patterns_.end(), [&](const Pattern& pattern) {
               return componentsMatch(pattern.components, components, true);
           });
}

std::vector<std::string> Selection::unmatched() const {
    std::vector<std::string> texts;
    for (const Pattern& pattern : patterns_)
        if (!pattern.matched) texts.push_back(pattern.text);
    return texts;
}

std::u16string strippedPath(std::u16string_view path, int count) {
    size_t start = 0;
    while (count > 0) {
        while (start < path.size() && isSeparator(path[start])) ++start;
        size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        if (end == path.size()) return {};
        start = end + 1;
        --count;
    }
    return std::u16string(path.substr(start));
}

}  // namespace zorvex::cli
