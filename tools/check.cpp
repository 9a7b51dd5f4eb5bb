// `zorvex test`: decodes every entry of each archive, through all folders,
// and checks its size and stored CRC. Nested archives are checked as entries.
#include <cstdio>

#include "engine/level_walk.h"
#include "tools/commands.h"
#include "tools/entries.h"

namespace zorvex::cli {

namespace {

struct Checker {
    Reporter& reporter;
    std::string subject;
    int64_t entries = 0, bytes = 0;

    // The walk over the levels (engine/level_walk.h); the place is the
    // display prefix. Nested archives are checked as entries, not entered.
    void items(Archive* archive, const std::string& prefix) {
        for (const LevelItem& item : itemsForExtraction(archive)) {
            std::string entry = prefix + displayName(item.name);
            reporter.countEntry();
            ++entries;
            Ref<InStream> stream(item.open(archive));
            if (!stream) {
                reporter.error(subject, entry, openFailureText(archive));
                continue;
            }
            auto discard = [](const uint8_t*, size_t) { return true; };
            if (copyVerified(stream.get(), item.checks(archive), discard, reporter, subject, entry) == CopyResult::Ok)
                bytes += stream->size();
        }
    }
    std::optional<std::string> folder(Archive* archive, int i, const std::string& prefix) {
        return prefix + displayName(archive->folderName(i)) + kDisplaySeparator;
    }
    void folderFailed(Archive* archive, int i, const std::string& prefix) {
        reporter.error(subject, prefix + displayName(archive->folderName(i)), "cannot open folder");
    }
    std::optional<std::string> nested(Archive*, int, const std::string&) { return std::nullopt; }
    void nestedFailed(Archive*, int, const std::string&) {}
};

}  // namespace

int testCommand(const std::vector<std::string>& archives) {
    Reporter reporter;
    for (const std::string& argument : archives) {
        std::u16string path = engineArgumentPath(argument);
        Ref<Archive> archive(openArchivePath(path.c_str(), nullptr, ReadPlan::kEveryEntry));
        if (!archive) {
            reporter.error(argument, "", "cannot open as an archive");
            continue;
        }
        int failuresBefore = reporter.failures();
        Checker checker{reporter, argument};
        reporter.beginWork("testing " + argument);
        walkLevels(archive.get(), checker, std::string());
        reporter.clearProgress();
        reportDamagedLevel(archive.get(), reporter, argument, std::string());
        int failed = reporter.failures() - failuresBefore;
        if (failed == 0)
            std::printf("%s: OK (%lld entries, %lld bytes)\n", argument.c_str(),
                        static_cast<long long>(checker.entries), static_cast<long long>(checker.bytes));
        else
            std::printf("%s: %d error%s\n", argument.c_str(), failed, failed == 1 ? "" : "s");
        std::fflush(stdout);
    }
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
