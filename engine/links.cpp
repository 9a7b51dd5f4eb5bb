#include "engine/links.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace zorvex {

namespace {

// The level and name a symbolic link's target names, resolved from the
// link's level within the same archive; false when it is absolute or climbs
// out of the archive.
bool resolveInArchive(Ref<Archive>& level, std::u16string& name, std::u16string_view target) {
    if (target.empty() || target[0] == u'\\' || (target.size() > 1 && target[1] == u':')) return false;
    std::vector<std::u16string_view> parts;
    for (size_t start = 0; start <= target.size();) {
        size_t end = std::min(target.find(u'\\', start), target.size());
        std::u16string_view part = target.substr(start, end - start);
        if (!part.empty() && part != u".") parts.push_back(part);
        start = end + 1;
    }
    if (parts.empty() || parts.back() == u"..") return false;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] == u"..") {
            // Folder levels share their archive's stream; the archive's own
            // level is the last that does.
            Ref<Archive> up(level->owner());
            if (!up || up->stream() != level->stream()) return false;
            level = std::move(up);
        } else {
            level = Ref<Archive>(level->openFolderByName(std::u16string(parts[i]).c_str()));
            if (!level) return false;
        }
    }
    name = std::u16string(parts.back());
    return true;
}

const EntryMetadata& metadataOf(Archive* level, const LevelEntry& entry) {
    return entry.nested ? level->nestedMetadata(entry.index) : level->fileMetadata(entry.index);
}

}  // namespace

bool followLinks(Ref<Archive>& level, LevelEntry& entry) {
    constexpr int kMaxLinks = 16;
    for (int links = 0; links <= kMaxLinks; ++links) {
        const EntryMetadata& metadata = metadataOf(level.get(), entry);
        if (metadata.link != LinkKind::kSymbolic) return true;
        const std::u16string target = metadata.linkTarget;  // the level holding it may go
        std::u16string name;
        if (!resolveInArchive(level, name, target)) return false;
        entry = LevelEntry{name, false, level->findFile(name.c_str())};
        if (entry.index < 0) entry = LevelEntry{name, true, level->findNested(name.c_str())};
        if (entry.index < 0) return false;
    }
    return false;
}

}  // namespace zorvex
