// `zorvex extract`: writes whole archives to disk.
//
// Which level is written and under which wrapper folder is the engine's
// extraction rule (engine/extraction.h); other nested archives are written as
// files. Nothing is ever written outside the destination: every
// name is checked component by component, and a folder that resolves outside
// (through a symbolic link) is refused.
#include <algorithm>
#include <filesystem>
#include <optional>

#include "engine/extraction.h"
#include "engine/level_walk.h"
#include "engine/names.h"
#include "tools/commands.h"
#include "tools/entries.h"
#include "tools/os.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

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
    };
    void items(Archive* level, const Place& place);
    std::optional<Place> folder(Archive* level, int i, const Place& place);
    void folderFailed(Archive* level, int i, const Place& place);
    void leftFolder(Archive* level, int i, const Place& place, const Place& sub);
    std::optional<Place> nested(Archive*, int, const Place&) { return std::nullopt; }
    void nestedFailed(Archive*, int, const Place&) {}

private:
    void reportDamagedLevels(const ExtractionPlan& plan);
    void extractItem(Archive* level, const LevelItem& item, const fs::path& folder, const std::string& entry);
    bool linkKept(InStream* stream, const EntryChecks& checks, const fs::path& written);
    // Writes the entry's data to `written`, reporting what fails. False when
    // no file is left (a data check that fails keeps it: it is complete).
    bool writeData(InStream* stream, const EntryChecks& checks, const fs::path& written, const fs::path& target,
                   const std::string& entry);
    // Creates (or accepts) a folder inside the destination. False after reporting.
    bool makeFolder(const fs::path& folder, const std::string& entry);
    fs::path temporaryName(const fs::path& folder);

    Reporter& reporter_;
    const ExtractOptions& options_;
    fs::path root_;  // canonical destination
    std::string subject_;
    int temporaries_ = 0;
};

bool Extractor::prepare() {
    std::error_code error;
    fs::path destination = pathFromUtf8(options_.destination);
    fs::create_directories(destination, error);
    root_ = fs::canonical(destination, error);
    if (error || !fs::is_directory(root_)) {
        reporter_.error(options_.destination, "", "cannot use as destination folder: " + error.message());
        return false;
    }
    return true;
}

void Extractor::extractArchive(const std::string& argument) {
    subject_ = argument;
    std::u16string path = engineArgumentPath(argument);
    Ref<Archive> archive(openArchivePath(path.c_str(), nullptr, ReadPlan::kEveryEntry));
    if (!archive) {
        reporter_.error(argument, "", "cannot open as an archive");
        return;
    }
    archive->setStagingFolder(engineArgumentPath(utf8FromPath(root_)));
    ExtractionPlan plan = planExtraction(archive.get());
    reportDamagedLevels(plan);
    if (!plan.level) return;  // an empty archive extracts nothing
    std::string prefix;
    for (const std::u16string& name : plan.unwrapped) prefix += displayName(name) + kDisplaySeparator;
    Archive* level = plan.level.get();

    fs::path folder = root_;
    if (!plan.wrapper.empty()) {
        if (auto wrapper = safeComponent(plan.wrapper)) {
            folder /= *wrapper;
            if (!makeFolder(folder, displayName(plan.wrapper))) return;
        }
    }
    reporter_.beginWork("extracting " + argument);
    walkLevels(level, *this, Place{folder, prefix});
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

void Extractor::items(Archive* level, const Place& place) {
    for (const LevelItem& item : itemsForExtraction(level))
        extractItem(level, item, place.folder, place.entryPrefix + displayName(item.name));
}

std::optional<Extractor::Place> Extractor::folder(Archive* level, int i, const Place& place) {
    std::u16string_view name = level->folderName(i);
    std::string entry = place.entryPrefix + displayName(name);
    auto component = safeComponent(name);
    if (!component) {
        reporter_.error(subject_, entry, "unsafe folder name, skipped");
        return std::nullopt;
    }
    fs::path sub = place.folder / *component;
    if (!makeFolder(sub, entry)) return std::nullopt;
    return Place{sub, entry + kDisplaySeparator};
}

void Extractor::folderFailed(Archive* level, int i, const Place& place) {
    reporter_.error(subject_, place.entryPrefix + displayName(level->folderName(i)), "cannot open folder");
}

void Extractor::leftFolder(Archive* level, int i, const Place&, const Place& sub) {
    // After its contents: writing them changed the folder's time.
    if (int64_t time = level->folderTime(i); time > 0) setModificationTime(sub.folder, time);
}

bool Extractor::makeFolder(const fs::path& folder, const std::string& entry) {
    std::error_code error;
    auto status = fs::symlink_status(folder, error);
    if (!fs::exists(status)) {
        if (!fs::create_directory(folder, error) && error) {
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
    return true;
}

fs::path Extractor::temporaryName(const fs::path& folder) {
    return folder / (".zorvex-" + std::to_string(getpid()) + "-" + std::to_string(++temporaries_) + ".part");
}

void Extractor::extractItem(Archive* level, const LevelItem& item, const fs::path& folder, const std::string& entry) {
    reporter_.countEntry();
    auto component = safeComponent(item.name);
    if (!component) {
        reporter_.error(subject_, entry, "unsafe file name, skipped");
        return;
    }
    fs::path target = folder / *component;
    std::error_code error;
    auto status = fs::symlink_status(target, error);
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
    Ref<InStream> stream(item.open(level));
    if (!stream) {
        reporter_.error(subject_, entry, openFailureText(level));
        return;
    }

    // A file that is replaced is written under a temporary name first, so
    // that a failed entry never destroys it. A new file is written in place
    // (never through anything that appeared there since) and removed again
    // when the entry fails: either way no short file is left behind.
    const bool replacing = fs::exists(status);
    fs::path written = replacing ? temporaryName(folder) : target;
    const EntryChecks checks = item.checks(level);
    if (!linkKept(stream.get(), checks, written) && !writeData(stream.get(), checks, written, target, entry)) return;
    if (int64_t time = item.time(level); time > 0) setModificationTime(written, time);
    if (!replacing) return;
    fs::rename(written, target, error);
    if (error) {
        reporter_.error(subject_, entry, "cannot create " + utf8FromPath(target) + ": " + error.message());
        fs::remove(written, error);
    }
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

bool Extractor::writeData(InStream* stream, const EntryChecks& checks, const fs::path& written,
                          const fs::path& target, const std::string& entry) {
    OutputFile out;
    if (!out.create(written)) {
        reporter_.error(subject_, entry, "cannot create " + utf8FromPath(written) + ": " + lastErrorText());
        return false;
    }
    std::string writeError;
    auto toFile = [&](const uint8_t* data, size_t size) {
        if (out.write(data, size)) return true;
        writeError = lastErrorText();
        return false;
    };
    CopyResult result = copyVerified(stream, checks, toFile, reporter_, subject_, entry);
    bool incomplete = result == CopyResult::Short || result == CopyResult::Damaged;
    if (!out.close() && writeError.empty() && !incomplete) {
        writeError = lastErrorText();
        result = CopyResult::WriteFailed;
    }
    if (result == CopyResult::WriteFailed)
        reporter_.error(subject_, entry, "cannot write " + utf8FromPath(target) + ": " + writeError);
    // A failed check keeps the data (it is complete, and reported); short,
    // damaged or unwritten data is discarded.
    if (incomplete || result == CopyResult::WriteFailed) {
        std::error_code error;
        fs::remove(written, error);
        return false;
    }
    return true;
}

}  // namespace

int extractCommand(const std::vector<std::string>& archives, const ExtractOptions& options) {
    Reporter reporter;
    Extractor extractor(reporter, options);
    if (!extractor.prepare()) return 1;
    for (const std::string& archive : archives) extractor.extractArchive(archive);
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
