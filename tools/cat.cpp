// `zorvex cat`: one entry's bytes to standard output, size and CRC checked.
#include <algorithm>

#include "tools/commands.h"
#include "tools/entries.h"
#include "tools/os.h"

namespace zorvex::cli {

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

}  // namespace

int catCommand(const std::string& path) {
    Reporter reporter;
    std::u16string enginePath = engineArgumentPath(path);
    size_t slash = enginePath.find_last_of(u'\\');
    if (slash == std::u16string::npos || slash + 1 == enginePath.size()) {
        reporter.error(path, "", "not an entry inside an archive");
        return 1;
    }
    // The parent level is opened here rather than through openStreamPath so
    // that the entry's stored CRC can be checked too.
    std::u16string parentPath = enginePath.substr(0, slash <= 2 ? slash + 1 : slash);
    std::u16string name = enginePath.substr(slash + 1);
    Ref<Archive> parent(openArchivePath(parentPath.c_str(), nullptr, ReadPlan::kEveryEntry));
    if (!parent) {
        reporter.error(path, "", "not an entry inside an archive");
        return 1;
    }
    // A symbolic link gives the bytes of the entry it points to in the archive.
    constexpr int kMaxLinks = 16;
    LevelItem item;
    for (int links = 0;; ++links) {
        item = LevelItem{name, false, parent->findFile(name.c_str())};
        if (item.index < 0) item = LevelItem{name, true, parent->findNested(name.c_str())};
        if (item.index < 0) {
            bool folder = parent->findFolder(name.c_str()) >= 0;
            reporter.error(path, "", folder ? "is a folder" : links ? "its link's target is not in the archive"
                                                                   : "no such entry");
            return 1;
        }
        const EntryMetadata& metadata = item.metadata(parent.get());
        if (metadata.link != LinkKind::kSymbolic) break;
        const std::u16string target = metadata.linkTarget;  // the level holding it may go
        if (links == kMaxLinks || !resolveInArchive(parent, name, target)) {
            reporter.error(path, "", "a link to " + displayPath(target) + ", which is not in the archive");
            return 1;
        }
    }
    Ref<InStream> stream(item.open(parent.get()));
    if (!stream) {
        reporter.error(path, "", openFailureText(parent.get()));
        return 1;
    }
    reporter.beginWork("reading " + path);
    std::string writeError;
    auto toStdout = [&](const uint8_t* data, size_t size) {
        if (writeStdout(data, size)) return true;
        writeError = lastErrorText();
        return false;
    };
    CopyResult result = copyVerified(stream.get(), item.checks(parent.get()), toStdout, reporter, path, "");
    if (result == CopyResult::WriteFailed && !writeError.empty())
        reporter.error(path, "", "cannot write to standard output: " + writeError);
    // Bytes from a stream whose check at its end fails may be wrong: the
    // entry's own check, when it has one, is what still vouches for them.
    bool ownCheck = item.checks(parent.get()).crc || item.checks(parent.get()).blake2sp;
    if (result == CopyResult::Ok && !ownCheck && sourceFoundDamaged(parent.get()))
        reporter.error(path, "", "the data it was read from is damaged");
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
