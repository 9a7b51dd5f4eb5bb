// `zorvex extract`: writes whole archives to disk.
//
// Which level is written and under which wrapper folder is the engine's
// extraction rule (engine/extraction.h); other nested archives are written as
// files. Nothing is ever written outside the destination: every
// name is checked component by component, and a folder that resolves outside
// (through a symbolic link) is refused.
//
// No file appears under its own name before it is whole and checked: each is
// written as ".zorvex-PID-N.part" in its folder and renamed when its size and
// checks hold. Entries of a level inside a compressed stream (a .tar.gz) wait
// under those names until the stream's own check at its end has held too. An
// interruption removes them; those of a killed process are removed by a
// later extraction into the same folder.
//
// On POSIX systems files and folders get their stored permissions, and links
// are created last, once every file is in place, so that nothing is ever
// written through one; folders get their times and modes after that. On
// Windows links are written as the data the archive gives them.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <unordered_map>

#include "engine/extraction.h"
#include "engine/level_walk.h"
#include "engine/names.h"
#include "tools/password.h"
#include "tools/commands.h"
#include "tools/entries.h"
#include "tools/os.h"

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

class Extractor {
public:
    Extractor(Reporter& reporter, const ExtractOptions& options) : reporter_(reporter), options_(options) {}

    // Prepares the destination folder; false when it cannot be used.
    bool prepare();
    void extractArchive(const std::string& argument);

    // The walk over the levels (engine/level_walk.h): where a level's items
    // are written and how their entries are named. Nested archives other than
    // an unwrapped top are written as files, not entered.
    struct Place {
        fs::path folder;
        std::string entryPrefix;
        bool created = false;  // by this extraction, so empty but for what it wrote
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
    };
    void createLinks();
    void createSymbolicLink(const Link& link);
    void createHardLink(const Link& link);
    // Makes room for a link: false (after reporting) when something is there
    // and may not be replaced.
    bool linkPlaceFree(const Link& link);
    void finishFolders();
    // A file written under a temporary name, waiting for its own name.
    struct Written {
        fs::path temporary;
        fs::path target;
        std::string entry;
        bool checked;  // its own stored check held
        bool readOnly;  // given the read-only attribute once in place
    };
    void extractItem(Archive* level, const LevelItem& item, const Place& place);
    bool linkKept(InStream* stream, const EntryChecks& checks, const fs::path& written);
    // Writes the entry's data to `written` with the modification time `time`
    // (none when 0), reporting what fails. False when no file is left.
    bool writeData(InStream* stream, const EntryChecks& checks, int64_t time, const fs::path& written,
                   const fs::path& target, const std::string& entry);
    // Gives a written file its own name (replacing a file there only with
    // --overwrite); the temporary file goes on failure.
    void rename(const Written& file);
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
    fs::path root_;  // canonical destination
    std::string subject_;
    int temporaries_ = 0;
    fs::path writing_;  // the temporary file being written
    // Whether files wait for the outer data's check, and those that wait.
    bool waiting_ = false;
    std::vector<Written> waitingFiles_;
    std::unordered_map<std::u16string, fs::path> claimedFolders_;  // by case-folded path
    std::vector<FolderFinish> folders_;
    std::vector<Link> links_;
    fs::path top_;  // where the archive's root is written
    std::set<fs::path> written_;  // files this extraction gave their names
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
    return true;
}

void Extractor::extractArchive(const std::string& argument) {
    subject_ = argument;
    std::u16string path = engineArgumentPath(argument);
    Ref<Archive> archive(openArchivePath(path.c_str(), nullptr, ReadPlan::kEveryEntry, commandPasswords()));
    if (!archive) {
        reporter_.error(argument, "", "cannot open as an archive");
        return;
    }
    archive->setStagingFolder(engineArgumentPath(utf8FromPath(root_)));
    ExtractionPlan plan = planExtraction(archive.get());
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

    Place top{root_, prefix};
    if (!plan.wrapper.empty()) {
        if (auto wrapper = safeComponent(plan.wrapper)) {
            top.folder /= *wrapper;
            if (!makeFolder(top.folder, displayName(plan.wrapper), top.created)) return;
        }
    }
    reporter_.beginWork("extracting " + argument);
    waiting_ = !plan.unwrapped.empty();
    if (waiting_) setCleanupPending(true);
    top_ = top.folder;
    walkLevels(level, *this, top);
    if (waiting_) finishWaiting(level, prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1));
    createLinks();
    finishFolders();
    reporter_.clearProgress();
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
    if (damaged) reporter_.error(subject_, levelPath, "data is damaged: files written from it are not kept");
    for (const Written& file : waitingFiles_) {
        if (damaged && !file.checked) {
            std::error_code error;
            fs::remove(file.temporary, error);
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
    std::error_code error;
    if (!writing_.empty()) fs::remove(writing_, error);
    for (const Written& file : waitingFiles_) fs::remove(file.temporary, error);
    reporter_.clearProgress();
    exitInterrupted();
}

void Extractor::items(Archive* level, const Place& place) {
    for (const LevelItem& item : itemsForExtraction(level)) extractItem(level, item, place);
}

std::optional<Extractor::Place> Extractor::folder(Archive* level, int i, const Place& place) {
    std::u16string_view name = level->folderName(i);
    std::string entry = place.entryPrefix + displayName(name);
    auto component = safeComponent(name);
    if (!component) {
        reporter_.error(subject_, entry, "unsafe folder name, skipped");
        return std::nullopt;
    }
    Place sub{place.folder / *component, entry + kDisplaySeparator};
    if (!claimFolder(sub.folder, entry) || !makeFolder(sub.folder, entry, sub.created)) return std::nullopt;
    return sub;
}

void Extractor::folderFailed(Archive* level, int i, const Place& place) {
    reporter_.error(subject_, place.entryPrefix + displayName(level->folderName(i)), "cannot open folder");
}

void Extractor::leftFolder(Archive* level, int i, const Place&, const Place& sub) {
    // After everything written into it, links last: that changes its time,
    // and a mode without write permission would stop it.
    std::optional<uint32_t> mode = sub.created ? level->folderMetadata(i).mode : std::nullopt;
    folders_.push_back({sub.folder, level->folderTime(i), mode});
}

// Deepest first (folders are left after their contents): a folder's time
// is set after its subfolders' modes and times changed nothing more in it.
void Extractor::finishFolders() {
    for (const FolderFinish& folder : folders_) {
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
    const std::u16string& stored = link.metadata.linkTarget;
    bool safe = !stored.empty();
    for (size_t start = 0; safe && start <= stored.size();) {
        size_t end = std::min(stored.find(u'\\', start), stored.size());
        auto component = safeComponent(std::u16string_view(stored).substr(start, end - start));
        safe = component.has_value();
        if (safe) target /= *component;
        start = end + 1;
    }
    if (!safe || !written_.count(target)) {
        reporter_.error(subject_, link.entry,
                        "a hard link to " + displayPath(stored) + ", which was not extracted: not created");
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
    auto [it, inserted] = claimedFolders_.try_emplace(foldCase(engineArgumentPath(utf8FromPath(folder))), folder);
    std::error_code error;
    if (inserted || it->second == folder || !fs::exists(folder, error)) return true;
    reporter_.error(subject_, entry, "exists, not merged (a folder whose name differs only in case)");
    return false;
}

fs::path Extractor::temporaryName(const fs::path& folder) {
    static const std::string start = std::string(kTemporaryStart) + std::to_string(processId()) + "-";
    return folder / (start + std::to_string(++temporaries_) + std::string(kTemporaryEnd));
}

void Extractor::extractItem(Archive* level, const LevelItem& item, const Place& place) {
    stopIfInterrupted();
    reporter_.countEntry();
    const std::string entry = place.entryPrefix + displayName(item.name);
    auto component = safeComponent(item.name);
    if (!component) {
        reporter_.error(subject_, entry, "unsafe file name, skipped");
        return;
    }
    fs::path target = place.folder / *component;
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
    // Where links cannot be made, a symbolic link is written as the file it
    // points to in the archive; its own data (mostly the target's path, or
    // nothing) never stands in for it.
    Ref<Archive> source = Ref<Archive>::share(level);
    LevelItem data = item;
    if (metadata.link == LinkKind::kSymbolic) {
        std::optional<LevelItem> linked = linkedEntry(source, item);
        if (!linked) {
            reporter_.error(subject_, entry, "a link to " + displayPath(metadata.linkTarget) +
                                                 ", which is not a file of the archive: not created");
            return;
        }
        data = std::move(*linked);
    }
    Ref<InStream> stream(data.open(source.get()));
    if (!stream) {
        reporter_.error(subject_, entry, openFailureText(source.get()));
        return;
    }

    const EntryChecks checks = data.checks(source.get());
    Written file{temporaryName(place.folder), target, entry, checks.crc || checks.blake2sp, metadata.readOnly};
    if (!waiting_) setCleanupPending(true);
    writing_ = file.temporary;
    const int64_t time = std::max<int64_t>(item.time(level), 0);
    bool written = false;
    const bool linked = linkKept(stream.get(), checks, file.temporary);
    if (linked) {
        written = true;
        if (time > 0) setModificationTime(file.temporary, time);
    } else {
        written = writeData(stream.get(), checks, time, file.temporary, target, entry);
    }
    writing_.clear();
    if (written && metadata.mode) {
        // A file written here already has 0666 under the umask, which most
        // entries (0644 and 0664 under the usual umasks) want: no call for them.
        const uint32_t wanted = permissionsFor(*metadata.mode, options_.preservePermissions);
        if (linked || wanted != createdPermissions()) setPermissions(file.temporary, wanted);
    }
    if (written) {
        if (waiting_)
            waitingFiles_.push_back(std::move(file));
        else
            rename(file);
    }
    if (!waiting_) setCleanupPending(false);
}

void Extractor::rename(const Written& file) {
    std::string error;
    RenameResult result = renameFile(file.temporary, file.target, options_.overwrite, error);
    if (result == RenameResult::kDone) {
        if (kHasUnixMetadata) written_.insert(file.target);
        // Last, so that nothing done to the file before fails on it.
        if (file.readOnly) setReadOnly(file.target);
        return;
    }
    if (result == RenameResult::kExists)
        reporter_.error(subject_, file.entry, "exists, not overwritten (use --overwrite to replace it)");
    else
        reporter_.error(subject_, file.entry, "cannot create " + utf8FromPath(file.target) + ": " + error);
    std::error_code ignored;
    fs::remove(file.temporary, ignored);
}

// Data kept apart while the archive was listed (engine/decoded_cache.h) is
// given the file's name instead of being written again. An entry with stored
// checks is written, which checks it.
bool Extractor::linkKept(InStream* stream, const EntryChecks& checks, const fs::path& written) {
    if (checks.crc || checks.blake2sp) return false;
    const int64_t size = stream->knownSize();
    if (size <= 0 || !stream->linkRange(0, size, engineArgumentPath(utf8FromPath(written)))) return false;
    reporter_.countBytes(size);
    return true;
}

bool Extractor::writeData(InStream* stream, const EntryChecks& checks, int64_t time, const fs::path& written,
                          const fs::path& target, const std::string& entry) {
    OutputFile out;
    if (!out.create(written)) {
        reporter_.error(subject_, entry, "cannot create " + utf8FromPath(written) + ": " + lastErrorText());
        return false;
    }
    std::string writeError;
    auto toFile = [&](const uint8_t* data, size_t size) {
        if (interrupted()) return false;
        if (out.write(data, size)) return true;
        writeError = lastErrorText();
        return false;
    };
    CopyResult result = copyVerified(stream, checks, toFile, reporter_, subject_, entry);
    if (result == CopyResult::kOk && time > 0) out.setModificationTime(time);
    if (!out.close() && result == CopyResult::kOk) {
        writeError = lastErrorText();
        result = CopyResult::kWriteFailed;
    }
    stopIfInterrupted();
    if (result == CopyResult::kWriteFailed)
        reporter_.error(subject_, entry, "cannot write " + utf8FromPath(target) + ": " + writeError);
    if (result == CopyResult::kOk) return true;
    // Short, damaged or unwritten data, or data that fails its check, leaves no file.
    std::error_code error;
    fs::remove(written, error);
    return false;
}

}  // namespace

int extractCommand(const std::vector<std::string>& archives, const ExtractOptions& options) {
    Reporter reporter;
    catchInterrupts();
    Extractor extractor(reporter, options);
    if (!extractor.prepare()) return 1;
    for (const std::string& archive : archives) extractor.extractArchive(archive);
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
