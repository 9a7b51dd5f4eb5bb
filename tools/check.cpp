// `zorvex test`: decodes every entry of each archive, through all folders and
// nested archives, and checks its size and stored CRC, and that no level was
// found damaged.
//
// With workers (-j), the items of the archive's own levels are queued by the
// walk and read by workers, each through its own copy of the archive
// (tools/entry_units.h); this thread then takes them in the walk's order,
// saying what was said before each and what its worker said. Nested
// archives are checked here, in their turn. Archives given after the one
// being checked are checked meanwhile on other threads, what they say kept
// for their turn (tools/archives_ahead.h).
#include <cstdio>

#include "engine/extraction.h"
#include "engine/level_walk.h"
#include "tools/archives_ahead.h"
#include "tools/commands.h"
#include "tools/password.h"
#include "tools/entries.h"
#include "tools/entry_units.h"
#include "tools/standard_input.h"

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

    // An item of the archive's own levels, queued for a worker (nested
    // archives for this thread).
    struct Queued {
        Ref<Archive> level;  // this thread's
        LevelItem item;
        std::string entry;
        std::u16string folderPath;           // of its level, for ArchiveCopy::level
        std::vector<Reporter::Line> before;  // said by the walk before it
        UnitKey key;
        // From the worker: what it said, and the bytes of data that held its checks.
        std::vector<Reporter::Line> lines;
        int64_t bytes = 0;
    };
    std::vector<Queued>* queue = nullptr;  // with workers
    Archive* root = nullptr;               // of the queued levels

    // The walk over the levels (engine/level_walk.h); the place is the
    // display prefix.
    void items(Archive* archive, const std::string& prefix) {
        for (const LevelItem& item : itemsForExtraction(archive)) {
            std::string entry = prefix + displayName(item.name);
            if (queue && depth == 0) {
                enqueue(archive, item, std::move(entry));
                continue;
            }
            reporter.countEntry(entry);
            ++entries;
            checkItem(archive, item, entry);
        }
    }
    // A nested archive is checked where its data lies among the level's
    // entries: opened and walked, then its own data checked.
    void checkItem(Archive* archive, const LevelItem& item, const std::string& entry) {
        if (item.nested && depth < kMaxNestingDepth) {
            Ref<Archive> inner(archive->openNestedArchive(item.index));
            if (inner) {
                checkNested(inner.get(), item.checks(archive), entry);
                return;
            }
        }
        Ref<InStream> stream(item.open(archive));
        if (!stream) {
            reporter.error(subject, entry, openFailureText(archive));
            return;
        }
        verify(stream.get(), item.checks(archive), entry);
    }
    void enqueue(Archive* archive, const LevelItem& item, std::string entry) {
        // A folder level's name is its archive's followed by the folder names.
        std::u16string_view name = archive->name();
        std::u16string folderPath(name.substr(std::min(name.size(), std::u16string_view(root->name()).size() + 1)));
        if (!folderPath.empty()) folderPath += u'\\';
        UnitKey key;
        if (!item.nested) key = {decodingUnit(archive, item.index), archive->statedFileSize(item.index)};
        queue->push_back({Ref<Archive>::share(archive), item, std::move(entry), std::move(folderPath),
                          reporter.takeKept(), key, {}, 0});
    }
    // On a worker: reads the item in the worker's copy, keeping what it says.
    void decodeQueued(Queued& queued, ArchiveCopy& copy) {
        Reporter lines(reporter);
        Archive* level = copy.level(queued.folderPath);
        LevelItem item = queued.item;
        if (level) item.index = level->findFile(item.name.c_str());
        Ref<InStream> stream(level && item.index >= 0 ? item.open(level) : nullptr);
        if (!stream) lines.error(subject, queued.entry, level ? openFailureText(level) : "cannot be decoded");
        const EntryChecks checks = stream ? item.checks(level) : EntryChecks();
        auto discard = [](const uint8_t*, size_t) { return true; };
        if (stream && copyVerified(stream.get(), checks, discard, lines, subject, queued.entry) == CopyResult::kOk)
            queued.bytes = stream->size();
        queued.lines = lines.takeKept();
    }
    // On this thread, in the walk's order.
    void finishQueued(Queued& queued) {
        reporter.replay(queued.before);
        reporter.countEntry(queued.entry);
        ++entries;
        if (queued.item.nested) {
            checkItem(queued.level.get(), queued.item, queued.entry);
            return;
        }
        reporter.replay(queued.lines);
        bytes += queued.bytes;
    }
    // On a worker: reads the queued items [begin, end) but nested archives.
    void decodeQueued(size_t begin, size_t end, ArchiveCopy& copy) {
        for (size_t i = begin; i < end; ++i)
            if (!(*queue)[i].item.nested) decodeQueued((*queue)[i], copy);
    }
    // Checks the queued items with workers, in units, finishing each in turn.
    void runQueued(UnitRunner& runner) {
        std::vector<Reporter::Line> after = reporter.takeKept();
        std::vector<size_t> ends;  // of the units
        UnitCutter cutter;
        for (size_t i = 0; i < queue->size(); ++i)
            if (cutter.startsUnit((*queue)[i].key) && i > 0) ends.push_back(i);
        if (!queue->empty()) ends.push_back(queue->size());
        for (size_t unit = 0, begin = 0; unit < ends.size(); begin = ends[unit++]) runner.offer(begin, ends[unit]);
        for (size_t unit = 0, i = 0; unit < ends.size(); ++unit) {
            runner.wait(unit);
            for (; i < ends[unit]; ++i) finishQueued((*queue)[i]);
        }
        reporter.replay(after);
        queue->clear();
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

// What checking one argument gave: the line for standard output, and what
// it said on the way when that was kept.
struct Tested {
    std::string summary;
    std::vector<Reporter::Line> lines;
};

// Checks the argument, saying what fails through `reporter`, and, when
// `shown`, what it checks on the progress line once the archive is open (a
// password prompt comes before it).
Tested testArchive(const std::string& argument, Reporter& reporter, PasswordSource* passwords, bool shown) {
    std::u16string path = engineArgumentPath(argument);
    Ref<Archive> archive(openArchivePath(path.c_str(), nullptr, ReadPlan::kEveryEntry, passwords));
    if (!archive) {
        reporter.error(argument, "", "cannot open as an archive");
        return {};
    }
    if (shown) reporter.beginWork("testing " + argument);
    // What this thread says is kept when it works ahead.
    int failuresBefore = reporter.failuresWithKept();
    Checker checker{reporter, argument};
    // Workers read copies of an archive file opened as it is.
    UnitRunner runner;
    std::vector<Checker::Queued> queue;
    if (!standardInputArgumentPath(argument) && !Ref<Archive>(archive->owner()) &&
        UnitRunner::wanted(archive.get()) &&
        runner.start(path, archive.get(), [&](size_t begin, size_t end, ArchiveCopy& copy) {
            checker.decodeQueued(begin, end, copy);
        })) {
        checker.queue = &queue;
        checker.root = archive.get();
        reporter.keepLines();
    }
    walkLevels(archive.get(), checker, std::string());
    if (checker.queue) checker.runQueued(runner);
    reportDamagedLevel(archive.get(), reporter, argument, std::string());
    int failed = reporter.failuresWithKept() - failuresBefore;
    Tested tested;
    if (failed == 0)
        tested.summary = argument + ": OK (" + std::to_string(checker.entries) + " entries, " +
                         std::to_string(checker.bytes) + " bytes)\n";
    else
        tested.summary = argument + ": " + std::to_string(failed) + " error" + (failed == 1 ? "" : "s") + "\n";
    return tested;
}

}  // namespace

int testCommand(const std::vector<std::string>& archives) {
    Reporter reporter;
    StandardInput input(archives, reporter);
    // Arguments after the first are checked ahead, their lines kept.
    ArchivesAhead<Tested> ahead;
    ahead.start(archives, [&](size_t i, PasswordSource* passwords) {
        Reporter kept(reporter);
        Tested tested = testArchive(archives[i], kept, passwords, false);
        tested.lines = kept.takeKept();
        return tested;
    });
    for (size_t i = 0; i < archives.size(); ++i) {
        // Shown while the work ahead goes on; what this thread opens itself
        // is shown once open.
        reporter.beginWork("testing " + archives[i]);
        std::optional<Tested> tested = ahead.take(i);
        if (tested) {
            reporter.replay(tested->lines);
        } else {
            reporter.clearProgress();
            tested = testArchive(archives[i], reporter, commandPasswords(), true);
        }
        reporter.clearProgress();
        std::fputs(tested->summary.c_str(), stdout);
        flushStandardOutput();
    }
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
