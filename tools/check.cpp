// `zorvex test`: decodes every entry of each archive, through all folders and
// nested archives, and checks its size and stored CRC, and that no level was
// found damaged.
#include <cstdio>

#include "engine/level_walk.h"
#include "tools/password.h"
#include "tools/commands.h"
#include "tools/entries.h"

namespace zorvex::cli {

namespace {

// An archive that holds itself would be entered without end; below this
// depth nested archives are checked as entries only.
constexpr int kMaxNestingDepth = 32;

struct Checker {
    Reporter& reporter;
    std::string subject;
    int64_t entries = 0, bytes = 0;
    int depth = 0;

    // The walk over the levels (engine/level_walk.h); the place is the
    // display prefix. A nested archive is checked where its data lies among
    // the level's entries: opened and walked, then its own data checked.
    void items(Archive* archive, const std::string& prefix) {
        for (const LevelItem& item : itemsForExtraction(archive)) {
            std::string entry = prefix + displayName(item.name);
            reporter.countEntry();
            ++entries;
            if (item.nested && depth < kMaxNestingDepth) {
                Ref<Archive> inner(archive->openNestedArchive(item.index));
                if (inner) {
                    checkNested(inner.get(), item.checks(archive), entry);
                    continue;
                }
            }
            Ref<InStream> stream(item.open(archive));
            if (!stream) {
                reporter.error(subject, entry, openFailureText(archive));
                continue;
            }
            verify(stream.get(), item.checks(archive), entry);
        }
    }
    // The nested level's stream is the one its entries were read from; read
    // again from its start it gives back what was decoded for them (under
    // ReadPlan::kEveryEntry), so the outer data is decoded once.
    void checkNested(Archive* inner, const EntryChecks& checks, const std::string& entry) {
        ++depth;
        walkLevels(inner, *this, entry + kDisplaySeparator);
        --depth;
        reportDamagedLevel(inner, reporter, subject, entry);
        InStream* stream = inner->stream();
        if (!stream->seek(0)) {
            reporter.error(subject, entry, "cannot be read again");
            return;
        }
        verify(stream, checks, entry);
    }
    void verify(InStream* stream, const EntryChecks& checks, const std::string& entry) {
        auto discard = [](const uint8_t*, size_t) { return true; };
        if (copyVerified(stream, checks, discard, reporter, subject, entry) == CopyResult::kOk) bytes += stream->size();
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
        Ref<Archive> archive(openArchivePath(path.c_str(), nullptr, ReadPlan::kEveryEntry, commandPasswords()));
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
        flushStandardOutput();
    }
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
