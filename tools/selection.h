// Which entries `extract` and `list` take: shell patterns matched on the
// entries' own paths inside the archive.
//
// A pattern is split at "/" (or "\\") into components; "*", "?" and "[...]"
// match within one component, "**" as a whole component matches any number
// of them. A pattern selects the entries it matches and everything below a
// folder it matches. An exclude pattern of one component drops every entry
// with a component it matches (--exclude '*.o' at any depth); one of several
// components drops what it matches from the root, and everything below.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorvex::cli {

// Whether one component matches a pattern component ("*", "?", "[a-z]",
// "[!0-9]"); both already case-folded when case is ignored.
bool componentMatches(std::u16string_view pattern, std::u16string_view text);

// Splits the command-line arguments of `extract` into archives and patterns:
// the first is an archive, and so is each following one that names an
// existing file ("-" included), up to the first that does not; that one and
// the rest are patterns. `afterSeparator` (what followed "--") are patterns
// whatever they name.
void splitArchivesAndPatterns(const std::vector<std::string>& arguments, const std::vector<std::string>& afterSeparator,
                              std::vector<std::string>& archives, std::vector<std::string>& patterns);

// Takes what follows a "--" after the subcommand `command` out of `arguments`
// (the option parser would mix it with the archives).
std::vector<std::string> takeArgumentsAfterSeparator(std::vector<std::string>& arguments,
                                                     const std::vector<std::string>& commands);

class Selection {
public:
    Selection() = default;  // takes everything
    Selection(const std::vector<std::string>& patterns, const std::vector<std::string>& excludes, bool ignoreCase);

    // No patterns and no excludes: everything is taken.
    bool all() const { return patterns_.empty() && excludes_.empty(); }
    // Whether the entry (file, nested archive, link or folder) at `path`
    // ("\\"-separated from the level's root) is taken. Remembers which
    // patterns matched.
    bool takes(std::u16string_view path);
    // Whether a folder at `path` may hold entries that are taken: walking it
    // is worth it.
    bool mayTakeBelow(std::u16string_view path) const;
    // The patterns that matched no entry yet, as given.
    std::vector<std::string> unmatched() const;

private:
    using Components = std::vector<std::u16string>;
    struct Pattern {
        std::string text;
        Components components;
        bool matched = false;
    };
    Components split(std::u16string_view path) const;
    bool excluded(const Components& path) const;

    bool ignoreCase_ = false;
    std::vector<Pattern> patterns_;
    std::vector<Pattern> excludes_;
};

// The path an entry is written to with --strip-components `count`: its first
// `count` components removed; empty when nothing is left of it.
std::u16string strippedPath(std::u16string_view path, int count);

}  // namespace zorvex::cli
