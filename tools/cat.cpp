// `zorvex cat`: one entry's bytes to standard output, size and CRC checked.
#include "tools/commands.h"
#include "tools/entries.h"
#include "tools/os.h"

namespace zorvex::cli {

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
    LevelItem item{name, false, parent->findFile(name.c_str())};
    if (item.index < 0) item = LevelItem{name, true, parent->findNested(name.c_str())};
    if (item.index < 0) {
        bool folder = parent->findFolder(name.c_str()) >= 0;
        reporter.error(path, "", folder ? "is a folder" : "no such entry");
        return 1;
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
    if (copyVerified(stream.get(), item.checks(parent.get()), toStdout, reporter, path, "") ==
        CopyResult::WriteFailed && !writeError.empty())
        reporter.error(path, "", "cannot write to standard output: " + writeError);
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
