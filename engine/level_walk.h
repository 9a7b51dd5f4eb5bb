// One depth-first walk over the levels of an archive: its folders and, where
// the visitor asks for it, its nested archives. Listing, testing, extracting
// and fuzzing differ only in what they do at each step, which the visitor
// says; what a step down carries (a display prefix, a target folder, a
// nesting depth) is the visitor's Place.
//
// For each level, in this order:
//   visitor.items(level, place)         its files (and nested archives as items)
//   for each folder i:
//     visitor.folder(level, i, place)   -> std::optional<Place>: walk it there?
//     the folder is opened and walked, or visitor.folderFailed(level, i, place)
//     visitor.leftFolder(level, i, place, sub), when the visitor has it
//   for each nested archive i:
//     visitor.nested(level, i, place)   -> std::optional<Place>: walk into it?
//     it is opened and walked, or visitor.nestedFailed(level, i, place)
//   visitor.after(level, place), when the visitor has it
#pragma once

#include <optional>

#include "engine/archive.h"
#include "engine/refobject.h"

namespace zorvex {

template <class Visitor, class Place>
void walkLevels(Archive* level, Visitor& visitor, const Place& place) {
    visitor.items(level, place);
    for (int i = 0; i < level->folderCount(); ++i) {
        std::optional<Place> sub = visitor.folder(level, i, place);
        if (!sub) continue;
        Ref<Archive> folder(level->openFolder(i));
        if (!folder) {
            visitor.folderFailed(level, i, place);
            continue;
        }
        walkLevels(folder.get(), visitor, *sub);
        if constexpr (requires { visitor.leftFolder(level, i, place, *sub); })
            visitor.leftFolder(level, i, place, *sub);
    }
    for (int i = 0; i < level->nestedCount(); ++i) {
        std::optional<Place> sub = visitor.nested(level, i, place);
        if (!sub) continue;
        Ref<Archive> nested(level->openNestedArchive(i));
        if (nested)
            walkLevels(nested.get(), visitor, *sub);
        else
            visitor.nestedFailed(level, i, place);
    }
    if constexpr (requires { visitor.after(level, place); }) visitor.after(level, place);
}

}  // namespace zorvex
