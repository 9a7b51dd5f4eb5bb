// Path clean-up by the text alone, shared by the archive model, the readers
// and both platform layers: a path need not exist anywhere to be resolved.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvex {

// The full engine form of a path on disk: absolute, "\\"-separated, "." and
// ".." resolved, a bare drive ("C:") given its root. Empty for an empty path;
// nothing when the current folder cannot be found. Defined with the path API
// (engine/archive.cpp).
std::optional<std::u16string> normalizePath(const char16_t* path);

template <class Char>
inline constexpr Char dotDot[3] = {Char('.'), Char('.'), Char(0)};

template <class Char>
constexpr bool isPathSeparator(Char c) {
    return c == Char('/') || c == Char('\\');
}

// "C:" and the like at the start of a component.
template <class Char>
bool isDriveComponent(std::basic_string_view<Char> part) {
    return part.size() >= 2 && part[1] == Char(':') &&
           ((part[0] >= Char('A') && part[0] <= Char('Z')) || (part[0] >= Char('a') && part[0] <= Char('z')));
}

// True when resolvePath would keep `path` as it is: no leading separator, no
// empty, "." or ".." component (a trailing separator aside).
template <class Char>
bool isResolvedPath(std::basic_string_view<Char> path) {
    const std::basic_string_view<Char> dot(dotDot<Char>, 1), parent(dotDot<Char>, 2);
    if (!path.empty() && isPathSeparator(path[0])) return false;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !isPathSeparator(path[i])) continue;
        std::basic_string_view<Char> part = path.substr(start, i - start);
        if (part == dot || part == parent || (part.empty() && i != path.size()))
            return false;
        start = i + 1;
    }
    return true;
}

enum class Drives { kKeep, kDropLeading };

// The components of `path`, split at "/" and "\\": empty and "." components
// go, ".." removes the component before it and never climbs above the start.
// With Drives::kDropLeading a drive prefix ("C:") is cut from any component
// met while nothing is kept yet.
template <class Char>
std::vector<std::basic_string_view<Char>> resolvePath(std::basic_string_view<Char> path,
                                                      Drives drives = Drives::kKeep) {
    const std::basic_string_view<Char> dot(dotDot<Char>, 1), parent(dotDot<Char>, 2);
    std::vector<std::basic_string_view<Char>> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !isPathSeparator(path[end])) ++end;
        std::basic_string_view<Char> part = path.substr(start, end - start);
        if (drives == Drives::kDropLeading && parts.empty() && isDriveComponent(part)) part.remove_prefix(2);
        if (part == parent) {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != dot) {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

}  // namespace zorvex
