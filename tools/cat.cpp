// `zorvex cat`: one entry's bytes to standard output, size and CRC checked.
#include "engine/checked_stream.h"
#include "engine/names.h"
#include "engine/standard_input.h"
#include "tools/password.h"
#include "tools/commands.h"
#include "tools/entries.h"
#include "tools/os.h"
#include "tools/standard_input.h"

namespace zorvex::cli {

namespace {

// Whether several files of the level differ from `name` in case alone and
// none is spelled exactly so: the lookup then does not guess.
bool matchesSeveralCases(Archive* level, const std::u16string& name) {
    int matches = 0;
    for (int i = 0; i < level->fileCount(); ++i) matches += compareNoCase(level->fileName(i), name) == 0;
    for (int i = 0; i < level->nestedCount(); ++i) matches += compareNoCase(level->nestedName(i), name) == 0;
    return matches > 1;
}

}  // namespace

int catCommand(const std::string& path) {
    // Bytes shown on the terminal and a line redrawn among them would mix.
    if (stdoutIsTerminal()) setProgressMode(ProgressMode::kQuiet);
    Reporter reporter;
    StandardInput input({path}, reporter);
    std::u16string enginePath = engineArgumentPath(path);
    // "-" alone is the decoded data of a compressed stream on standard input.
    if (enginePath == standardInputPath()) enginePath += std::u16string(u"\\") + kStandardInputStream;
    size_t slash = enginePath.find_last_of(u'\\');
    if (slash == std::u16string::npos || slash + 1 == enginePath.size()) {
        reporter.error(path, "", "not an entry inside an archive");
        return 1;
    }
    // The parent level is opened here rather than through openStreamPath so
    // that the entry's stored CRC can be checked too.
    std::u16string parentPath = enginePath.substr(0, slash <= 2 ? slash + 1 : slash);
    std::u16string name = enginePath.substr(slash + 1);
    Ref<Archive> parent(openArchivePath(parentPath.c_str(), nullptr, ReadPlan::kEveryEntry, commandPasswords()));
    if (!parent) {
        reporter.error(path, "", "not an entry inside an archive");
        return 1;
    }
    LevelItem item{name, false, parent->findFile(name.c_str())};
    if (item.index < 0) item = LevelItem{name, true, parent->findNested(name.c_str())};
    if (item.index < 0) {
        const char* why = parent->findFolder(name.c_str()) >= 0      ? "is a folder"
                          : matchesSeveralCases(parent.get(), name) ? "names several entries that differ only in case"
                                                                    : "no such entry";
        reporter.error(path, "", why);
        return 1;
    }
    // A symbolic link gives the bytes of the entry it points to in the archive.
    if (const EntryMetadata& metadata = item.metadata(parent.get()); metadata.link == LinkKind::kSymbolic) {
        const std::string target = displayPath(metadata.linkTarget);  // the level holding it may go
        std::optional<LevelItem> linked = linkedEntry(parent, item);
        if (!linked) {
            reporter.error(path, "", "a link to " + target + ", which is not a file of the archive");
            return 1;
        }
        item = std::move(*linked);
    }
    Ref<InStream> stream(item.open(parent.get()));
    if (!stream) {
        reporter.error(path, "", openFailureText(parent.get()));
        return 1;
    }
    reporter.beginWork("reading " + path, stream->knownSize());
    std::string writeError;
    auto toStdout = [&](const uint8_t* data, size_t size) {
        if (writeStdout(data, size)) return true;
        writeError = lastErrorText();
        return false;
    };
    CopyResult result = copyVerified(stream.get(), item.checks(parent.get()), toStdout, reporter, path, "");
    if (result == CopyResult::kWriteFailed && !writeError.empty())
        reporter.error(path, "", "cannot write to standard output: " + writeError);
    // Bytes from a stream whose check at its end fails may be wrong: the
    // entry's own check, when it has one, is what still vouches for them.
    bool ownCheck = storesCheck(item.checks(parent.get()));
    if (result == CopyResult::kOk && !ownCheck && sourceFoundDamaged(parent.get()))
        reporter.error(path, "", "the data it was read from is damaged");
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
