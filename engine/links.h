// Following symbolic link entries to the entries they point to in the same
// archive.
#pragma once

#include <string>

#include "engine/archive.h"
#include "engine/refobject.h"

namespace zorvex {

// A file or nested archive of one level.
struct LevelEntry {
    std::u16string name;
    bool nested = false;
    int index = -1;  // in the file or nested view
};

// Moves `entry`, a symbolic link entry of `level`, to the entry it points to,
// through links to links; `level` becomes that entry's level. An entry that
// is no link stays as it is. False when a target is absolute, climbs out of
// the archive, is no file or nested archive in it, or the links go round.
bool followLinks(Ref<Archive>& level, LevelEntry& entry);

}  // namespace zorvex
