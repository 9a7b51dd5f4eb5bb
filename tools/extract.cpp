// `zorvex extract`: writes whole archives to disk.
//
// Which level is written and under which wrapper folder is the engine's
// extraction rule (engine/extraction.h); other nested archives are written as
// files. Nothing is ever written outside the destination: every
// name is checked component by component, and a folder that resolves outside
// (through a symbolic link) is refused.
//
// No file appears under its own name before it is whole and checked: each is
// written in its folder without a name (Linux) or as ".zorvex-PID-N.part", and
// named when its size and checks hold. Entries of a level inside a compressed
// stream (a .tar.gz) wait until the stream's own check at its end has held too.
// An interruption removes them; a killed process leaves no nameless file, and
// its temporary names are removed by a later extraction into the same folder.
//
// On POSIX systems files and folders get their stored permissions, and links
// are created last, once every file is in place, so that nothing is ever
// written through one; folders get their times and modes after that. On
// Windows links are written as the data the archive gives them.
//
// With workers (-j), the walk over an archive's levels only queues its
// files, keeping what it reports; workers write the files' data (each
// through its own copy of the archive, tools/entry_units.h) while the walk
// goes on, and this thread takes the written files in the walk's order,
// saying what the walk said before each and what its worker said, and gives
// each its name. The first file queued under a name (whatever the case) gets
// it from its worker: nothing before it in the walk's order takes that name.
// Names, conflicts and messages come out as with one thread. Archives given
// after the one being extracted are opened and planned meanwhile on other
// threads (tools/archives_ahead.h), an archive's only file decoded into
// data kept in the destination; nothing is named for them before their turn.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "engine/checked_stream.h"
#include "engine/decoded_cache.h"
#include "engine/extraction.h"
#include "engine/file_source.h"
#include "engine/job_pool.h"
#include "engine/level_walk.h"
#include "engine/names.h"
#include "platform/platform.h"
#include "tools/archives_ahead.h"
#include "tools/commands.h"
#include "tools/password.h"
#include "tools/entries.h"
#include "tools/entry_units.h"
#include "tools/os.h"
#include "tools/selection.h"
#include "tools/standard_input.h"

namespace zorvex::cli {

namespace fs = std::filesystem;

namespace {

// A path component that is safe to create: never empty, ".", ".." or with a
// separator (the engine cleans entry paths already; this does not rely on it).
// On Windows the name is then mapped as the shell maps it.
std::optional<fs::path> safeComponent(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") return std::nullopt;
    for (char16_t c : name)
        if (c == u'/' || c == u'\\' || c == 0) return std::nullopt;
#ifdef _WIN32
    std::u16string safe = windowsSafeName(name);
    return fs::path(std::wstring(safe.begin(), safe.end()));
#else
    return fs::path(displayName(name));
#endif
}

bool isWithin(const fs::path& path, const fs::path& root) {
    auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end();
}

constexpr std::string_view kTemporaryStart = ".zorvex-";
constexpr std::string_view kTemporaryEnd = ".part";

// The process id in a temporary name ".zorvex-PID-N.part"; -1 for any other name.
int64_t temporaryNameOwner(const std::string& name) {
    if (name.size() <= kTemporaryStart.size() + kTemporaryEnd.size() || !name.starts_with(kTemporaryStart) ||
        !name.ends_with(kTemporaryEnd))
        return -1;
    std::string_view middle(name);
    middle = middle.substr(kTemporaryStart.size(), middle.size() - kTemporaryStart.size() - kTemporaryEnd.size());
    size_t dash = middle.find('-');
    auto digits = [](std::string_view text) {
        return !text.empty() && text.size() <= 18 &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dash == std::string_view::npos || !digits(middle.substr(0, dash)) || !digits(middle.substr(dash + 1)))
        return -1;
    return std::stoll(std::string(middle.substr(0, dash)));
}

// Removes the temporary files that extractions killed before they could
// clean up left in `folder`.
void removeLeftovers(const fs::path& folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        int64_t owner = temporaryNameOwner(utf8FromPath(it->path().filename()));
        if (owner < 0 || owner == processId() || processAlive(owner)) continue;
        std::error_code ignored;
        if (it->is_regular_file(ignored)) fs::remove(it->path(), ignored);
    }
}

// Files that wait for their names hold a descriptor each while they have
// none: past a quarter of what the process may open (and more are seldom
// worth it), they take temporary names instead.
size_t namelessWaitingFiles() {
    static const size_t limit = std::min<size_t>(openFileLimit() / 4, 256);
    return limit;
}

// An argument opened, and its extraction planned.
struct OpenedArchive {
    Ref<Archive> archive;  // null when it does not open
    ExtractionPlan plan;
    // The level's only file (a .gz of one file), decoded ahead and kept in
    // the destination, whole and undamaged; null for any other.
    Ref<InStream> onlyFile;
};

class Extractor {
public:
    Extractor(Reporter& reporter, const ExtractOptions& options)
        : reporter_(reporter),
          options_(options),
          selection_(options.patterns, options.excludes, options.ignoreCase) {}

    // Prepares the destination folder; false when it cannot be used.
    bool prepare();
    // Where entries' data may be kept while an archive is read: the destination.
    std::u16string stagingFolder() const { return engineArgumentPath(utf8FromPath(root_)); }
    // Opens an argument and plans its extraction; any thread may
    // (tools/archives_ahead.h). Ahead of its turn, a level's only file is
    // decoded too: nothing else would be.
    OpenedArchive open(const std::string& argument, PasswordSource* passwords, bool ahead) const;
    // Extracts the argument, as `opened` when it was opened ahead.
    void extractArchive(const std::string& argument, std::optional<OpenedArchive> opened);
    // The patterns that selected nothing in any archive.
    std::vector<std::string> unmatchedPatterns() const { return selection_.unmatched(); }

    // The walk over the levels (engine/level_walk.h): where a level's items
    // are written and how their entries are named. Nested archives other than
    // an unwrapped top are written as files, not entered.
    struct Place {
        fs::path folder;
        std::string entryPrefix;
        bool created = false;  // by this extraction, so empty but for what it wrote
        std::u16string path;   // the folder's own path in the level, with a final "\\" (patterns match it)
        int depth = 0;         // of that path, in components
        bool taken = true;     // selected itself, not only walked for what it holds
        bool operator==(const Place&) const = default;
    };
    void items(Archive* level, const Place& place);
    std::optional<Place> folder(Archive* level, int i, const Place& place);
    void folderFailed(Archive* level, int i, const Place& place);
    void leftFolder(Archive* level, int i, const Place& place, const Place& sub);
    std::optional<Place> nested(Archive*, int, const Place&) { return std::nullopt; }
    void nestedFailed(Archive*, int, const Place&) {}

private:
    void reportDamagedLevels(const ExtractionPlan& plan);
    // A link, created once the files are in place.
    struct Link {
        fs::path path;
        fs::path folder;
        EntryMetadata metadata;
        int64_t time;
        std::string entry;
    };
    // A folder's time and mode, set once nothing more is written into it.
    struct FolderFinish {
        fs::path path;
        int64_t time;
        std::optional<uint32_t> mode;
        bool removeIfEmpty;  // created only to hold selected entries
    };
    void createLinks();
    void createSymbolicLink(const Link& link);
    void createHardLink(const Link& link);
    // Makes room for a link: false (after reporting) when something is there
    // and may not be replaced.
    bool linkPlaceFree(const Link& link);
    void finishFolders();
    // A file written, waiting for its own name.
    struct Written {
        std::unique_ptr<OutputFile> file;
        fs::path target;
        std::string entry;
        bool checked;   // its own stored check held
        bool readOnly;  // given the read-only attribute once in place
    };
    // A file queued for a worker to write (see the top of this file).
    // Each holds what it needs until it is finished: the queue's memory is
    // then used again, a unit's worth at a time, whatever the archive's size.
    struct Queued {
        Ref<Archive> level;  // this thread's, for what the file is
        LevelItem item;
        std::shared_ptr<const Place> place;  // shared with the folder's other files
        std::vector<Reporter::Line> before;  // said by the walk before the file
        int64_t unit = -1;                   // decodingUnit, -1 for none
        int64_t size = -1;                   // as stated, -1 unknown
        bool decode = false;                 // a worker writes it
        bool nameless = false;               // with no name until it is given one
        bool named = false;                  // by its worker, once written
        // From the worker: what it said, and the file, whole and checked (or
        // null), or whether it has its name.
        std::vector<Reporter::Line> lines;
        std::unique_ptr<OutputFile> file;
        bool published = false;
    };
    // Queues a file for the workers, offering them each unit as it is cut.
    void queue(Queued queued);
    // `place`, shared by the queued files of one folder.
    std::shared_ptr<const Place> sharedPlace(const Place& place);
    // Finishes the decoded units in order; with `all`, every unit offered,
    // waiting for them.
    void finishUnits(bool all);
    // Offers the last unit, finishes every unit and ends queueing.
    void writeQueued();
    void decodeQueued(Queued& queued, ArchiveCopy& copy);
    void extractItem(Archive* level, const LevelItem& item, const Place& place);
    // What extractItem does once the item is taken: with `queued`, its data
    // was written by a worker.
    void writeItem(Archive* level, const LevelItem& item, const Place& place, Queued* queued);
    // The level's only file, decoded ahead into kept data (null when it was not).
    Ref<InStream> keepOnlyFile(Archive* level) const;
    // What keepOnlyFile kept, when `item` of `level` is that file; once.
    Ref<InStream> takeOnlyFileAhead(Archive* level, const LevelItem& item);
    // The stream of a file's data: a link where links cannot be made reads
    // the file it points to. Null after reporting.
    Ref<InStream> openData(Archive* level, const LevelItem& item, Reporter& reporter, const std::string& entry);
    // The stored time and mode, given to a written file.
    void giveMetadata(OutputFile& out, int64_t time, const EntryMetadata& metadata);
    void writeToStdout(Archive* level, const LevelItem& item, const std::string& entry);
    bool linkKept(InStream* stream, const EntryChecks& checks, OutputFile& out, const fs::path& temporary);
    bool copyStored(InStream* stream, const EntryChecks& checks, OutputFile& out, Reporter& reporter);
    bool linkKeptUnderName(Archive* level, InStream* stream, const EntryChecks& checks, const fs::path& target,
                           int64_t time, const EntryMetadata& metadata);
    // Whether the data the waiting level is read from has been read to its
    // end with every check holding (asked once per archive).
    bool sourceChecked(Archive* level);
    // Writes the entry's data to a new file in `folder`, reporting what fails.
    // False when no file is left.
    bool writeData(InStream* stream, const EntryChecks& checks, OutputFile& out, const fs::path& folder,
                   const fs::path& temporary, const fs::path& target, const std::string& entry, Reporter& reporter,
                   bool nameless);
    // Gives a written file its own name (replacing a file there only with
    // --overwrite); the file goes on failure. False after reporting.
    void rename(Written& file);
    bool publish(OutputFile& file, const fs::path& target, const std::string& entry, bool readOnly,
                 Reporter& reporter);
    // After a level read from an enclosing archive's entry: its files get
    // their names once that entry's data has held its checks.
    void finishWaiting(Archive* level, const std::string& levelPath);
    // Removes every temporary file and ends the process when interrupted.
    void stopIfInterrupted();
    // Creates (or accepts) a folder inside the destination, saying in
    // `created` which. False after reporting.
    bool makeFolder(const fs::path& folder, const std::string& entry, bool& created);
    // False (after reporting) for a folder whose name differs only in case
    // from one this run wrote, where the file system takes them for one.
    bool claimFolder(const fs::path& folder, const std::string& entry);
    fs::path temporaryName(const fs::path& folder);

    Reporter& reporter_;
    const ExtractOptions& options_;
    Selection selection_;
    fs::path root_;  // canonical destination
    bool systemCopies_ = false;  // whether stored data is copied by the system there
    std::string subject_;
    std::atomic<int> temporaries_ = 0;  // workers name files too
    OutputFile* writing_ = nullptr;  // the file being written
    // Whether files wait for the outer data's check, and those that wait.
    bool waiting_ = false;
    std::vector<Written> waitingFiles_;
    std::optional<bool> sourceChecked_;
    std::unordered_map<std::u16string, fs::path> claimedFolders_;  // by case-folded path
    std::vector<FolderFinish> folders_;
    std::vector<Link> links_;
    fs::path top_;  // where the archive's root is written
    std::unordered_set<fs::path::string_type> written_;  // files this extraction gave their names
    // With workers: the walk queues files, and the runner stops when interrupted.
    // Workers read queued_ while this thread adds to it: it grows past its
    // reserve only when no unit is out.
    bool queueing_ = false;
    std::vector<Queued> queued_;
    UnitCutter cutter_;
    size_t unitStart_ = 0;          // the queued entry that starts the unit being cut
    std::vector<size_t> unitEnds_;  // of the units offered, where each ends
    size_t unitsFinished_ = 0;
    size_t namelessPerUnit_ = 0;  // files of a unit that wait for their names without one
    std::unordered_map<std::u16string, int> queuedTargets_;  // files queued by targetKey
    std::unordered_set<fs::path::string_type> queuedFiles_;  // and by their paths
    // A target path (made whole already) as a file system that folds case may take it.
    static std::u16string targetKey(const fs::path& target) {
        return foldCase(enginePath(target));
    }
    UnitRunner* runner_ = nullptr;
    std::shared_ptr<const Place> lastPlace_;  // the one sharedPlace gave last
    // Of the archive being extracted: its plan's level, and that level's
    // only file as decoded ahead.
    Archive* onlyFileLevel_ = nullptr;
    Ref<InStream> onlyFileAhead_;
};

bool Extractor::prepare() {
    std::error_code error;
    fs::path destination = pathFromUtf8(options_.destination);
    auto status = fs::status(destination, error);
    if (fs::exists(status) && !fs::is_directory(status)) {
        reporter_.error(options_.destination, "", "not a folder");
        return false;
    }
    if (!fs::exists(status) && !fs::create_directories(destination, error) && error) {
        reporter_.error(options_.destination, "", "cannot create destination folder: " + error.message());
        return false;
    }
    root_ = fs::canonical(destination, error);
    if (error) {
        reporter_.error(options_.destination, "", "cannot use as destination folder: " + error.message());
        return false;
    }
    removeLeftovers(root_);
    systemCopies_ = systemCopyPays(stagingFolder().c_str());
    return true;
}

OpenedArchive Extractor::open(const std::string& argument, PasswordSource* passwords, bool ahead) const {
    const std::u16string path = engineArgumentPath(argument);
    OpenedArchive opened;
    opened.archive = Ref<Archive>(openArchivePath(path.c_str(), nullptr, ReadPlan::kEveryEntry, passwords));
    if (!opened.archive) return opened;
    if (!options_.toStdout) opened.archive->setStagingFolder(stagingFolder());
    opened.plan = planExtraction(opened.archive.get());
    // Patterns may leave the file out, and standard output keeps nothing.
    const bool whole = options_.patterns.empty() && options_.excludes.empty() && options_.stripComponents == 0;
    if (ahead && whole && !options_.toStdout && opened.plan.level)
        opened.onlyFile = keepOnlyFile(opened.plan.level.get());
    return opened;
}

Ref<InStream> Extractor::keepOnlyFile(Archive* level) const {
    if (level->fileCount() != 1 || level->nestedCount() != 0 || level->folderCount() != 0 ||
        level->fileMetadata(0).link != LinkKind::kNone)
        return {};
    Ref<InStream> decoded(level->openFile(0));
    Ref<InStream> kept(decoded ? keepDecodedData(decoded.detach(), stagingFolder()) : nullptr);
    if (!kept) return {};
    // In a file of its own, which the extraction names.
    kept->keepApart(0, -1);
    uint8_t piece[1 << 16];
    while (kept->read(piece, sizeof piece) > 0 && !interrupted()) {
    }
    kept->endApart(kept->tell());
    // Damage is left for the extraction to meet and say, as it would.
    if (kept->damaged() || kept->knownSize() <= 0 || !kept->seek(0)) return {};
    return kept;
}

void Extractor::extractArchive(const std::string& argument, std::optional<OpenedArchive> opened) {
    subject_ = argument;
    if (!opened) opened = open(argument, commandPasswords(), false);
    const Ref<Archive> archive = std::move(opened->archive);
    if (!archive) {
        reporter_.error(argument, "", "cannot open as an archive");
        return;
    }
    const ExtractionPlan plan = std::move(opened->plan);
    onlyFileLevel_ = plan.level.get();
    onlyFileAhead_ = std::move(opened->onlyFile);
    const std::u16string path = engineArgumentPath(argument);
    reportDamagedLevels(plan);
    std::string prefix;
    for (const std::u16string& name : plan.unwrapped) prefix += displayName(name) + kDisplaySeparator;
    if (!plan.level) {
        // Nothing to extract, which damage may have caused.
        std::string levelPath;
        for (size_t i = 1; i < plan.levels.size(); ++i) {
            if (i > 1) levelPath += kDisplaySeparator;
            levelPath += displayName(plan.levels[i - 1]->nestedName(0));
        }
        if (plan.levels.size() > 1 && sourceFoundDamaged(plan.levels.back().get()))
            reporter_.error(subject_, levelPath, "data is damaged");
        return;
    }
    Archive* level = plan.level.get();

    Place top{root_, prefix, false, u"", 0, true};
    if (!plan.wrapper.empty() && !options_.toStdout && options_.stripComponents == 0) {
        if (auto wrapper = safeComponent(plan.wrapper)) {
            top.folder /= *wrapper;
            if (!makeFolder(top.folder, displayName(plan.wrapper), top.created)) return;
        }
    }
    reporter_.beginWork("extracting " + argument, level->statedSizeOfAll());
    waiting_ = !plan.unwrapped.empty();
    sourceChecked_.reset();
    if (waiting_) setCleanupPending(true);
    top_ = top.folder;
    // Workers read copies of an archive file opened as it is; a level
    // unwrapped from a compressed stream is read through once, alone.
    UnitRunner runner;
    auto decode = [this](size_t begin, size_t end, ArchiveCopy& copy) {
        for (size_t i = begin; i < end && !interrupted(); ++i)
            if (queued_[i].decode) decodeQueued(queued_[i], copy);
    };
    queueing_ = !waiting_ && !options_.toStdout && level == archive.get() && !standardInputArgumentPath(argument) &&
                UnitRunner::wanted(archive.get()) && runner.start(path, archive.get(), decode);
    if (queueing_) {
        runner_ = &runner;
        queued_.reserve(static_cast<size_t>(archive->entryCount()));
        // The files of the units out at once wait for their names.
        namelessPerUnit_ = std::max<size_t>(1, namelessWaitingFiles() / (2 * static_cast<size_t>(jobWorkerCount())));
        setCleanupPending(true);
        reporter_.keepLines();
    }
    walkLevels(level, *this, top);
    if (queueing_) writeQueued();
    if (waiting_) finishWaiting(level, prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1));
    createLinks();
    finishFolders();
    // Kept for a file not written after all (it existed): its data goes.
    onlyFileAhead_ = Ref<InStream>();
    onlyFileLevel_ = nullptr;
}

// Told before anything is written: what a damaged level lists is extracted
// all the same.
void Extractor::reportDamagedLevels(const ExtractionPlan& plan) {
    std::string path;
    for (size_t i = 0; i < plan.levels.size(); ++i) {
        if (i > 0) path += (i > 1 ? std::string(1, kDisplaySeparator) : "") + displayName(plan.unwrapped[i - 1]);
        reportDamagedLevel(plan.levels[i].get(), reporter_, subject_, path);
    }
}

void Extractor::finishWaiting(Archive* level, const std::string& levelPath) {
    const bool damaged = sourceFoundDamaged(level);
    stopIfInterrupted();
    // Nothing tells which bytes a failed check covers: a file without a check
    // of its own that held may be wrong anywhere, and is not kept.
    if (damaged)
        reporter_.error(subject_, levelPath,
                        options_.toStdout ? "data is damaged: what was written from it may be wrong"
                                          : "data is damaged: files written from it are not kept");
    for (Written& file : waitingFiles_) {
        if (damaged && !file.checked) {
            file.file->discard();
            reporter_.error(subject_, file.entry, "not kept: written from damaged data");
            continue;
        }
        rename(file);
    }
    waitingFiles_.clear();
    waiting_ = false;
    setCleanupPending(false);
}

void Extractor::stopIfInterrupted() {
    if (!interrupted()) return;
    if (runner_) runner_->stop();
    for (Queued& queued : queued_)
        if (queued.file) queued.file->discard();
    if (writing_) writing_->discard();
    for (Written& file : waitingFiles_) file.file->discard();
    reporter_.clearProgress();
    exitInterrupted();
}

void Extractor::items(Archive* level, const Place& place) {
    for (const LevelItem& item : itemsForExtraction(level)) extractItem(level, item, place);
}

std::optional<Extractor::Place> Extractor::folder(Archive* level, int i, const Place& place) {
    std::u16string_view name = level->folderName(i);
    const std::u16string path = place.path + std::u16string(name);
    if (!selection_.mayTakeBelow(path)) return std::nullopt;
    std::string entry = place.entryPrefix + displayName(name);
    auto component = safeComponent(name);
    if (!component) {
        reporter_.error(subject_, entry, "unsafe folder name, skipped");
        return std::nullopt;
    }
    Place sub{place.folder / *component, entry + kDisplaySeparator, false, path + u'\\', place.depth + 1,
              selection_.takes(path)};
    // A folder whose path is stripped, or written to standard output, puts
    // nothing on disk: its entries go where its own folder's went.
    if (sub.depth <= options_.stripComponents || options_.toStdout) {
        sub.folder = place.folder;
        sub.created = place.created;
        return sub;
    }
    // One thread would have written a queued file of that name by now.
    if (queueing_ && queuedFiles_.count(sub.folder.native())) {
        reporter_.error(subject_, entry, "exists and is not a folder");
        return std::nullopt;
    }
    if (!claimFolder(sub.folder, entry) || !makeFolder(sub.folder, entry, sub.created)) return std::nullopt;
    return sub;
}

void Extractor::folderFailed(Archive* level, int i, const Place& place) {
    reporter_.error(subject_, place.entryPrefix + displayName(level->folderName(i)), "cannot open folder");
}

void Extractor::leftFolder(Archive* level, int i, const Place& place, const Place& sub) {
    if (sub.folder == place.folder) return;  // none of its own
    // After everything written into it, links last: that changes its time,
    // and a mode without write permission would stop it.
    std::optional<uint32_t> mode = sub.created ? level->folderMetadata(i).mode : std::nullopt;
    folders_.push_back({sub.folder, level->folderTime(i), mode, sub.created && !sub.taken});
}

// Deepest first (folders are left after their contents): a folder's time
// is set after its subfolders' modes and times changed nothing more in it.
void Extractor::finishFolders() {
    for (const FolderFinish& folder : folders_) {
        std::error_code error;
        if (folder.removeIfEmpty && fs::is_empty(folder.path, error)) {
            fs::remove(folder.path, error);
            continue;
        }
        if (folder.time > 0) setModificationTime(folder.path, folder.time);
        if (folder.mode) setPermissions(folder.path, permissionsFor(*folder.mode, options_.preservePermissions));
    }
    folders_.clear();
}

void Extractor::createLinks() {
    for (const Link& link : links_) {
        stopIfInterrupted();
        if (link.metadata.link == LinkKind::kSymbolic)
            createSymbolicLink(link);
        else
            createHardLink(link);
    }
    links_.clear();
}

bool Extractor::linkPlaceFree(const Link& link) {
    std::error_code error;
    auto status = fs::symlink_status(link.path, error);
    if (!fs::exists(status)) return true;
    if (fs::is_directory(status)) {
        reporter_.error(subject_, link.entry, "a folder of that name exists, not overwritten");
        return false;
    }
    if (!options_.overwrite) {
        reporter_.error(subject_, link.entry, "exists, not overwritten (use --overwrite to replace it)");
        return false;
    }
    fs::remove(link.path, error);
    return true;
}

// A link is created only when its target, resolved from the link's folder as
// it is on disk, stays inside the destination. ".." is taken only before the
// first name: after one, it would climb from wherever that name (perhaps
// another link) leads.
void Extractor::createSymbolicLink(const Link& link) {
    const std::u16string& target = link.metadata.linkTarget;
    if (target.empty()) {
        reporter_.error(subject_, link.entry, "a link without a target, not created");
        return;
    }
    std::error_code error;
    fs::path resolved = fs::canonical(link.folder, error);
    bool inside = !error && target[0] != u'\\' && !(target.size() > 1 && target[1] == u':');
    bool named = false;
    for (size_t start = 0; inside && start <= target.size();) {
        size_t end = std::min(target.find(u'\\', start), target.size());
        std::u16string_view part = std::u16string_view(target).substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            inside = !named && resolved != root_;
            resolved = resolved.parent_path();
        } else {
            named = true;
        }
    }
    if (!inside || !isWithin(resolved, root_)) {
        reporter_.error(subject_, link.entry, "link leaves the destination, not created");
        return;
    }
    if (!linkPlaceFree(link)) return;
    if (!cli::createSymbolicLink(displayPath(target), link.path)) {
        reporter_.error(subject_, link.entry, "cannot create link " + utf8FromPath(link.path) + ": " + lastErrorText());
        return;
    }
    if (link.time > 0) setLinkModificationTime(link.path, link.time);
}

// A hard link repeats a file this extraction wrote; where the file system
// takes no hard link, a copy of it stands in.
void Extractor::createHardLink(const Link& link) {
    fs::path target = top_;
    const std::u16string stored = strippedPath(link.metadata.linkTarget, options_.stripComponents);
    bool safe = !stored.empty();
    for (size_t start = 0; safe && start <= stored.size();) {
        size_t end = std::min(stored.find(u'\\', start), stored.size());
        auto component = safeComponent(std::u16string_view(stored).substr(start, end - start));
        safe = component.has_value();
        if (safe) target /= *component;
        start = end + 1;
    }
    if (!safe || !written_.count(target.native())) {
        reporter_.error(subject_, link.entry,
                        "a hard link to " + displayPath(link.metadata.linkTarget) +
                            ", which was not extracted: not created");
        return;
    }
    if (!linkPlaceFree(link)) return;
    std::error_code error;
    fs::create_hard_link(target, link.path, error);
    if (error) fs::copy_file(target, link.path, error);
    if (error)
        reporter_.error(subject_, link.entry, "cannot create " + utf8FromPath(link.path) + ": " + error.message());
}

bool Extractor::makeFolder(const fs::path& folder, const std::string& entry, bool& created) {
    std::error_code error;
    auto status = fs::symlink_status(folder, error);
    created = false;
    if (!fs::exists(status)) {
        created = fs::create_directory(folder, error);
        if (!created && error) {
            reporter_.error(subject_, entry, "cannot create folder: " + error.message());
            return false;
        }
        return true;
    }
    // An existing folder, or a link to one, is used only when it lies inside
    // the destination.
    fs::path resolved = fs::canonical(folder, error);
    if (error || !fs::is_directory(resolved)) {
        reporter_.error(subject_, entry, "exists and is not a folder");
        return false;
    }
    if (!isWithin(resolved, root_)) {
        reporter_.error(subject_, entry, "refusing to write through a link that leads outside the destination");
        return false;
    }
    removeLeftovers(folder);
    return true;
}

// "Docs" and "docs" of one archive are two folders: on a file system that
// folds case the second is a conflict like an existing file, never merged
// into the first.
bool Extractor::claimFolder(const fs::path& folder, const std::string& entry) {
    auto [it, inserted] = claimedFolders_.try_emplace(foldCase(enginePath(folder)), folder);
    std::error_code error;
    if (inserted || it->second == folder || !fs::exists(folder, error)) return true;
    reporter_.error(subject_, entry, "exists, not merged (a folder whose name differs only in case)");
    return false;
}

fs::path Extractor::temporaryName(const fs::path& folder) {
    static const std::string start = std::string(kTemporaryStart) + std::to_string(processId()) + "-";
    return folder / (start + std::to_string(++temporaries_) + std::string(kTemporaryEnd));
}

void Extractor::queue(Queued queued) {
    if (cutter_.startsUnit({queued.unit, queued.size}) && !queued_.empty()) {
        unitEnds_.push_back(queued_.size());
        runner_->offer(unitStart_, queued_.size());
        unitStart_ = queued_.size();
    }
    queued.nameless = queued_.size() - unitStart_ < namelessPerUnit_;
    if (queued_.size() == queued_.capacity()) finishUnits(true);
    queued_.push_back(std::move(queued));
    finishUnits(false);
}

std::shared_ptr<const Extractor::Place> Extractor::sharedPlace(const Place& place) {
    if (!lastPlace_ || !(*lastPlace_ == place)) lastPlace_ = std::make_shared<const Place>(place);
    return lastPlace_;
}

void Extractor::finishUnits(bool all) {
    for (; unitsFinished_ < unitEnds_.size(); ++unitsFinished_) {
        if (!all && !runner_->decoded(unitsFinished_)) return;
        runner_->wait(unitsFinished_);
        const size_t begin = unitsFinished_ == 0 ? 0 : unitEnds_[unitsFinished_ - 1];
        for (size_t i = begin; i < unitEnds_[unitsFinished_]; ++i) {
            Queued& queued = queued_[i];
            reporter_.replay(queued.before);
            stopIfInterrupted();
            writeItem(queued.level.get(), queued.item, *queued.place, &queued);
            if (queued.file) queued.file->discard();  // taken by a conflict found first
            queued = Queued();
        }
        // What the walk says next is kept for its turn.
        reporter_.keepLines();
    }
}

void Extractor::writeQueued() {
    std::vector<Reporter::Line> after = reporter_.takeKept();
    if (unitStart_ < queued_.size()) {
        unitEnds_.push_back(queued_.size());
        runner_->offer(unitStart_, queued_.size());
    }
    finishUnits(true);
    stopIfInterrupted();
    runner_->stop();
    runner_ = nullptr;
    reporter_.replay(after);
    queued_.clear();
    cutter_ = UnitCutter();
    unitStart_ = 0;
    unitEnds_.clear();
    unitsFinished_ = 0;
    queuedTargets_.clear();
    queuedFiles_.clear();
    lastPlace_.reset();
    queueing_ = false;
    setCleanupPending(false);
}

// On a worker: opens the file in the worker's copy and writes it, keeping what it says.
void Extractor::decodeQueued(Queued& queued, ArchiveCopy& copy) {
    Reporter lines(reporter_);
    const std::string entry = queued.place->entryPrefix + displayName(queued.item.name);
    const fs::path& folder = queued.place->folder;
    Ref<Archive> level = Ref<Archive>::share(copy.level(queued.place->path));
    LevelItem item = queued.item;
    if (level)
        item.index = item.nested ? level->findNested(item.name.c_str()) : level->findFile(item.name.c_str());
    Ref<InStream> stream;
    if (!level || item.index < 0)
        lines.error(subject_, entry, "cannot be decoded");
    else
        stream = openData(level.get(), item, lines, entry);
    EntryChecks checks;
    int64_t time = 0;
    EntryMetadata metadata;
    if (stream) {
        checks = item.checks(level.get());
        time = item.time(level.get());
        metadata = item.metadata(level.get());
    }
    if (stream) {
        auto out = std::make_unique<OutputFile>();
        const fs::path target = folder / *safeComponent(item.name);
        if (writeData(stream.get(), checks, *out, folder, temporaryName(folder), target, entry, lines,
                      queued.nameless)) {
            giveMetadata(*out, time, metadata);
            if (queued.named)
                queued.published = publish(*out, target, entry, metadata.readOnly, lines);
            else if (out->setAside())
                queued.file = std::move(out);
            else
                lines.error(subject_, entry, "cannot write " + utf8FromPath(target) + ": " + lastErrorText());
        }
    }
    queued.lines = lines.takeKept();
}

void Extractor::extractItem(Archive* level, const LevelItem& item, const Place& place) {
    stopIfInterrupted();
    if (!selection_.takes(place.path + item.name) || place.depth + 1 <= options_.stripComponents) return;
    if (!queueing_) {
        writeItem(level, item, place, nullptr);
        return;
    }
    // A worker writes what writeItem would decode: a file with a safe name,
    // no conflict with what is there already, that is no link to create.
    Queued queued;
    queued.level = Ref<Archive>::share(level);
    queued.item = item;
    queued.place = sharedPlace(place);
    queued.before = reporter_.takeKept();
    queued.nameless = true;
    if (auto component = safeComponent(item.name)) {
        const fs::path target = place.folder / *component;
        std::error_code error;
        auto status = place.created ? fs::file_status(fs::file_type::not_found) : fs::symlink_status(target, error);
        const bool conflict = fs::exists(status) && (fs::is_directory(status) || !options_.overwrite);
        const bool link = kHasUnixMetadata && item.metadata(level).link != LinkKind::kNone;
        queued.decode = !conflict && !link;
        if (queued.decode) {
            // The first file queued under a name gets it from its worker;
            // those after it are named here, in their turn, as one thread
            // would name them.
            queued.named = ++queuedTargets_[targetKey(target)] == 1;
            queuedFiles_.insert(target.native());
        }
    }
    if (queued.decode) {
        queued.size = item.nested ? level->statedNestedSize(item.index) : level->statedFileSize(item.index);
        if (!item.nested) queued.unit = decodingUnit(level, item.index);
    }
    queue(std::move(queued));
}

void Extractor::writeItem(Archive* level, const LevelItem& item, const Place& place, Queued* queued) {
    const std::string entry = place.entryPrefix + displayName(item.name);
    reporter_.countEntry(entry);
    if (options_.toStdout) {
        writeToStdout(level, item, entry);
        return;
    }
    auto component = safeComponent(item.name);
    if (!component) {
        reporter_.error(subject_, entry, "unsafe file name, skipped");
        return;
    }
    fs::path target = place.folder / *component;
    if (queued && queued->named) {
        // Its worker gave it its name, or said why not.
        reporter_.replay(queued->lines);
        if (queued->published && kHasUnixMetadata) written_.insert(target.native());
        return;
    }
    // What exists is not decoded to no purpose. A folder this extraction
    // created holds only what it wrote, and a name written twice is caught
    // when the second file is renamed.
    std::error_code error;
    auto status = place.created ? fs::file_status(fs::file_type::not_found) : fs::symlink_status(target, error);
    if (fs::exists(status)) {
        if (fs::is_directory(status)) {
            reporter_.error(subject_, entry, "a folder of that name exists, not overwritten");
            return;
        }
        if (!options_.overwrite) {
            reporter_.error(subject_, entry, "exists, not overwritten (use --overwrite to replace it)");
            return;
        }
    }
    const EntryMetadata& metadata = item.metadata(level);
    if (kHasUnixMetadata && metadata.link != LinkKind::kNone) {
        links_.push_back({target, place.folder, metadata, item.time(level), entry});
        return;
    }
    std::unique_ptr<OutputFile> out;
    EntryChecks checks;
    if (queued) {
        reporter_.replay(queued->lines);
        out = std::move(queued->file);
    } else {
        Ref<InStream> stream = takeOnlyFileAhead(level, item);
        if (!stream) stream = openData(level, item, reporter_, entry);
        if (!stream) return;
        checks = item.checks(level);
        if (waiting_ && linkKeptUnderName(level, stream.get(), checks, target, item.time(level), metadata))
            return;
        out = std::make_unique<OutputFile>();
        if (!waiting_) setCleanupPending(true);
        writing_ = out.get();
        const fs::path temporary = temporaryName(place.folder);
        const bool written = linkKept(stream.get(), checks, *out, temporary) ||
                             writeData(stream.get(), checks, *out, place.folder, temporary, target, entry, reporter_,
                                       !waiting_ || waitingFiles_.size() < namelessWaitingFiles());
        stopIfInterrupted();
        writing_ = nullptr;
        if (written)
            giveMetadata(*out, item.time(level), metadata);
        else
            out.reset();
    }
    if (out) {
        Written file{std::move(out), std::move(target), entry, storesCheck(checks), metadata.readOnly};
        if (!waiting_)
            rename(file);
        else if (file.file->setAside())
            waitingFiles_.push_back(std::move(file));
        else
            reporter_.error(subject_, entry, "cannot write " + utf8FromPath(file.target) + ": " + lastErrorText());
    }
    if (!waiting_ && !queued) setCleanupPending(false);
}

Ref<InStream> Extractor::takeOnlyFileAhead(Archive* level, const LevelItem& item) {
    const bool onlyFile = level == onlyFileLevel_ && !item.nested && item.index == 0;
    return onlyFile ? std::move(onlyFileAhead_) : Ref<InStream>();
}

Ref<InStream> Extractor::openData(Archive* level, const LevelItem& item, Reporter& reporter, const std::string& entry) {
    // Where links cannot be made, a symbolic link is written as the file it
    // points to in the archive; its own data (mostly the target's path, or
    // nothing) never stands in for it.
    Ref<Archive> source = Ref<Archive>::share(level);
    LevelItem data = item;
    const EntryMetadata& metadata = item.metadata(level);
    if (metadata.link == LinkKind::kSymbolic) {
        std::optional<LevelItem> linked = linkedEntry(source, item);
        if (!linked) {
            reporter.error(
                subject_, entry,
                "a link to " + displayPath(metadata.linkTarget) + ", which is not a file of the archive: not created");
            return Ref<InStream>();
        }
        data = std::move(*linked);
    }
    Ref<InStream> stream(data.open(source.get()));
    if (!stream) reporter.error(subject_, entry, openFailureText(source.get()));
    return stream;
}

void Extractor::giveMetadata(OutputFile& out, int64_t time, const EntryMetadata& metadata) {
    if (time > 0) out.setModificationTime(time);
    if (metadata.mode) {
        // A file written here, or kept apart by the engine, already has 0666
        // under the umask, which most entries (0644 and 0664 under the usual
        // umasks) want: no call for them.
        const uint32_t wanted = permissionsFor(*metadata.mode, options_.preservePermissions);
        if (wanted != createdPermissions()) out.setPermissions(wanted);
    }
}

// -O: the entry's bytes, checked as `cat` checks them. A link has none of its own.
void Extractor::writeToStdout(Archive* level, const LevelItem& item, const std::string& entry) {
    if (item.metadata(level).link != LinkKind::kNone) return;
    Ref<InStream> stream(item.open(level));
    if (!stream) {
        reporter_.error(subject_, entry, openFailureText(level));
        return;
    }
    std::string writeError;
    auto toStdout = [&](const uint8_t* data, size_t size) {
        if (writeStdout(data, size)) return true;
        writeError = lastErrorText();
        return false;
    };
    CopyResult result = copyVerified(stream.get(), item.checks(level), toStdout, reporter_, subject_, entry);
    if (result == CopyResult::kWriteFailed)
        reporter_.error(subject_, entry, "cannot write to standard output: " + writeError);
    stopIfInterrupted();
}

void Extractor::rename(Written& file) {
    if (publish(*file.file, file.target, file.entry, file.readOnly, reporter_) && kHasUnixMetadata)
        written_.insert(file.target.native());
}

bool Extractor::publish(OutputFile& file, const fs::path& target, const std::string& entry, bool readOnly,
                        Reporter& reporter) {
    std::string error;
    RenameResult result = file.publish(target, options_.overwrite, error);
    if (result == RenameResult::kDone) {
        // Last, so that nothing done to the file before fails on it.
        if (readOnly) setReadOnly(target);
        return true;
    }
    if (result == RenameResult::kExists)
        reporter.error(subject_, entry, "exists, not overwritten (use --overwrite to replace it)");
    else
        reporter.error(subject_, entry, "cannot create " + utf8FromPath(target) + ": " + error);
    return false;
}

// Whether the stream's data, read from its start to its end, passes the
// stored checks. The stream is back at its start afterwards.
bool passesChecks(InStream* stream, const EntryChecks& checks) {
    DataCheck check(checks);
    uint8_t piece[1 << 16];
    int64_t total = 0;
    for (int n; (n = stream->read(piece, sizeof piece)) > 0; total += n) check.update(piece, size_t(n));
    const bool passed =
        !stream->damaged() && total == stream->knownSize() && check.crcMatches() && check.blake2spMatches();
    return stream->seek(0) && passed;
}

// Data kept apart while the archive was listed (engine/decoded_cache.h) is
// given the file's name instead of being written again. An entry with stored
// checks is read through first (which writes nothing); when it fails them,
// it is written as any other, which reports it.
bool Extractor::linkKept(InStream* stream, const EntryChecks& checks, OutputFile& out, const fs::path& temporary) {
    const int64_t size = stream->knownSize();
    if (size <= 0 || !stream->linkRange(0, size, enginePath(temporary))) return false;
    if (!out.adopt(temporary) || (storesCheck(checks) && !passesChecks(stream, checks))) {
        out.discard();
        return false;
    }
    reporter_.countBytes(size);
    return true;
}

// Kept data of a level whose source has been read to its end with every
// check holding has nothing left to wait for: once its own checks hold too,
// it is linked under its final name at once, which spares a temporary name
// and a rename per file. False, having done nothing, when that cannot be
// (the name is taken, a check fails): the file is then written as any other.
bool Extractor::linkKeptUnderName(Archive* level, InStream* stream, const EntryChecks& checks,
                                  const fs::path& target, int64_t time, const EntryMetadata& metadata) {
    const int64_t size = stream->knownSize();
    if (size <= 0 || !sourceChecked(level)) return false;
    if (storesCheck(checks) && !passesChecks(stream, checks)) return false;
    if (!stream->linkRange(0, size, enginePath(target))) return false;
    OutputFile out;
    if (out.adopt(target)) giveMetadata(out, time, metadata);
    out.keep();
    if (metadata.readOnly) setReadOnly(target);
    if (kHasUnixMetadata) written_.insert(target.native());
    reporter_.countBytes(size);
    return true;
}

bool Extractor::sourceChecked(Archive* level) {
    if (!sourceChecked_) sourceChecked_ = !sourceFoundDamaged(level) && !interrupted();
    return *sourceChecked_;
}

// Data stored as it is in the archive's file with no check of its own to
// compute (a tar's files) is copied by the system from file to file, without
// passing through this process, where the destination makes that pay.
// False, with the file empty again, where that cannot be: the data is then
// read and written as any other, which also says why a short archive falls
// short.
bool Extractor::copyStored(InStream* stream, const EntryChecks& checks, OutputFile& out, Reporter& reporter) {
    const int64_t size = stream->knownSize();
    if (!systemCopies_ || size <= 0 || storesCheck(checks)) return false;
    // In pieces, so that an interruption is seen in time.
    constexpr int64_t kPiece = 16 << 20;
    for (int64_t done = 0; done < size; done += kPiece) {
        if (interrupted() || !stream->copyRangeTo(done, std::min(kPiece, size - done), out.handle())) {
            // Some may have been written. A file that cannot be emptied is
            // dropped, and the writes that follow then fail and say so.
            if (!out.restart()) out.discard();
            return false;
        }
    }
    reporter.countBytes(size);
    return true;
}

bool Extractor::writeData(InStream* stream, const EntryChecks& checks, OutputFile& out, const fs::path& folder,
                          const fs::path& temporary, const fs::path& target, const std::string& entry,
                          Reporter& reporter, bool nameless) {
    if (!out.create(folder, temporary, nameless)) {
        reporter.error(subject_, entry, "cannot create " + utf8FromPath(temporary) + ": " + lastErrorText());
        return false;
    }
    if (copyStored(stream, checks, out, reporter)) return true;
    std::string writeError;
    auto toFile = [&](const uint8_t* data, size_t size) {
        if (interrupted()) return false;
        if (out.write(data, size)) return true;
        writeError = lastErrorText();
        return false;
    };
    CopyResult result = copyVerified(stream, checks, toFile, reporter, subject_, entry);
    if (interrupted()) {
        out.discard();
        return false;
    }
    if (result == CopyResult::kWriteFailed)
        reporter.error(subject_, entry, "cannot write " + utf8FromPath(target) + ": " + writeError);
    if (result == CopyResult::kOk) return true;
    // Short, damaged or unwritten data, or data that fails its check, leaves no file.
    out.discard();
    return false;
}

}  // namespace

int extractCommand(const std::vector<std::string>& archives, const ExtractOptions& options) {
    Reporter reporter;
    catchInterrupts();
    Extractor extractor(reporter, options);
    if (!options.toStdout && !extractor.prepare()) return 1;
    StandardInput input(archives, reporter, options.toStdout ? std::u16string() : extractor.stagingFolder());
    ArchivesAhead<OpenedArchive> ahead;
    ahead.start(archives,
                [&](size_t i, PasswordSource* passwords) { return extractor.open(archives[i], passwords, true); });
    for (size_t i = 0; i < archives.size(); ++i) {
        // Shown while the work ahead goes on; what this thread opens itself
        // is shown once open (a password prompt comes before it).
        reporter.beginWork("extracting " + archives[i]);
        std::optional<OpenedArchive> opened = ahead.take(i);
        if (!opened) reporter.clearProgress();
        extractor.extractArchive(archives[i], std::move(opened));
        reporter.clearProgress();
    }
    for (const std::string& pattern : extractor.unmatchedPatterns()) reporter.error(pattern, "", "no such entry");
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
