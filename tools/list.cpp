// `zorvex list`: one line per folder, nested archive and file, with its
// modification time and size; -r descends into folders and nested archives.
#include <charconv>
#include <chrono>
#include <cstdio>

#include "engine/format_registry.h"
#include "engine/level_walk.h"
#include "tools/password.h"
#include "tools/commands.h"
#include "tools/entries.h"

namespace zorvex::cli {

namespace {

constexpr const char* kRule = "-------------------  --------------  ----";

// Listings run to hundreds of thousands of lines: they are gathered here and
// written in large pieces rather than formatted line by line through stdio.
// Before work that may take long (opening a nested archive) what is gathered
// is written out, so that a listing shows its rows as they are found.
class Output {
public:
    ~Output() { flush(); }

    void text(std::string_view s) { buffer_.append(s); }
    void character(char c) { buffer_.push_back(c); }
    // A name as UTF-8; ASCII names are copied unit by unit.
    void name(std::u16string_view name) {
        size_t start = buffer_.size();
        for (char16_t c : name) {
            if (c >= 0x80) {
                buffer_.resize(start);
                buffer_ += displayName(name);
                return;
            }
            buffer_.push_back(static_cast<char>(c));
        }
    }
    void endLine() {
        buffer_.push_back('\n');
        if (buffer_.size() >= kFlushSize) flush();
    }
    void flush() {
        if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), stdout);
        buffer_.clear();
        std::fflush(stdout);
        lastFlush_ = std::chrono::steady_clock::now();
    }
    // Before work that is mostly quick (looking into a file that may be an
    // archive, for every file of a large archive): rows wait at most a
    // moment, and a listing does not cost a write per row.
    void flushIfWaiting() {
        if (std::chrono::steady_clock::now() - lastFlush_ >= kMaxWait) flush();
    }

private:
    static constexpr size_t kFlushSize = 1 << 18;
    static constexpr auto kMaxWait = std::chrono::milliseconds(50);
    std::chrono::steady_clock::time_point lastFlush_ = std::chrono::steady_clock::now();
    std::string buffer_;
};

// Looking into a file of a solid archive decodes everything before it, so
// probing every file would make listing quadratic. Only names that may hide
// an archive are probed: none at all, or the document and package types
// built on zip or rar.
bool mayHoldArchive(std::u16string_view name) {
    static const ExtensionSet kArchiveBased{
        u".jar",  u".war",  u".ear",  u".apk",  u".aar",  u".aab",   u".ipa",  u".docx", u".docm", u".dotx",
        u".xlsx", u".xlsm", u".xltx", u".pptx", u".pptm", u".potx",  u".odt",  u".ods",  u".odp",  u".odg",
        u".odf",  u".ott",  u".epub", u".xps",  u".oxps", u".cbz",   u".cbr",  u".cb7",  u".whl",  u".egg",
        u".nupkg", u".vsix", u".crx", u".xpi",  u".appx", u".msix",  u".kmz",  u".sfx",  u".3mf"};
    size_t dot = name.rfind(u'.');
    return dot == std::u16string_view::npos || dot == 0 || kArchiveBased.find(name) >= 0;
}

struct Listing {
    Listing(Reporter& reporter, std::string subject, bool recursive)
        : reporter(reporter), subject(std::move(subject)), recursive(recursive) {}

    Reporter& reporter;
    std::string subject;  // the path as given, for error lines
    bool recursive;
    int64_t files = 0, folders = 0, archives = 0, bytes = 0;
    bool bytesUnknown = false;  // some size was not stated: the total is not known either
    Output out;
    // Entries of one archive often share their time: the local-time
    // conversion is done once per distinct value in a row.
    int64_t lastTime = 0;
    std::string lastTimeText = formatTime(0);

    // Starts a row: the time and the size column, then the name follows.
    void beginRow(int64_t time, std::string_view size) {
        if (time != lastTime) {
            lastTimeText = formatTime(time);
            lastTime = time;
        }
        out.text(lastTimeText);
        out.text("  ");
        for (size_t n = size.size(); n < 14; ++n) out.character(' ');
        out.text(size);
        out.text("  ");
    }
    void beginSizedRow(int64_t time, int64_t size) {
        char text[24] = "?";
        size_t length = 1;
        if (size >= 0) length = static_cast<size_t>(std::to_chars(text, text + sizeof text, size).ptr - text);
        beginRow(time, std::string_view(text, length));
    }
    void countBytes(int64_t size) {
        if (size < 0)
            bytesUnknown = true;
        else
            bytes += size;
    }
    void error(const std::string& name, const std::string& message) {
        out.flush();  // keep the error after the rows before it
        flushStandardOutput();
        reporter.error(subject, name, message);
    }
    // A nested archive left unopened. One whose data repeats an archive
    // enclosing it would only list again what is shown above: a note, and
    // the listing is still whole. One beyond the depth limit leaves its
    // contents unlisted, which is a failure.
    void notEntered(const std::string& name, NestingStop stop) {
        out.flush();
        if (stop == NestingStop::kRepeatsEnclosing)
            reporter.note(subject, name, "not opened: same size and CRC as an archive enclosing it");
        else
            reporter.error(subject, name, "not opened: archives nested more than " + std::to_string(kMaxNesting) +
                                              " deep");
    }

    // The walk over the levels (engine/level_walk.h); the place is the
    // display prefix. Rows: folders (each followed by its contents with -r),
    // nested archives (likewise), then files.
    void items(Archive*, const std::string&) {}
    std::optional<std::string> folder(Archive* archive, int i, const std::string& prefix) {
        beginRow(archive->folderTime(i), "<dir>");
        ++folders;
        if (!recursive) {
            out.text(prefix);
            out.name(archive->folderName(i));
            out.character(kDisplaySeparator);
            out.endLine();
            return std::nullopt;
        }
        std::string name = prefix + displayName(archive->folderName(i)) + kDisplaySeparator;
        out.text(name);
        out.endLine();
        return name;
    }
    void folderFailed(Archive* archive, int i, const std::string& prefix) {
        error(prefix + displayName(archive->folderName(i)) + kDisplaySeparator, "cannot open folder");
    }
    // With -r the nested archive is opened before its row is written, and
    // walked here: opening mostly reads its stream to the end, which tells a
    // size that no header stated, so the size column costs no second
    // decoding. Without -r such a size is shown as unknown.
    std::optional<std::string> nested(Archive* archive, int i, const std::string& prefix) {
        std::string name = prefix + displayName(archive->nestedName(i));
        NestingStop stop = recursive ? archive->nestedStop(i) : NestingStop::kNone;
        bool open = recursive && stop == NestingStop::kNone;
        if (open) out.flush();
        Ref<Archive> inner(open ? archive->openNestedArchive(i) : nullptr);
        int64_t size = archive->statedNestedSize(i);
        beginSizedRow(archive->nestedTime(i), size);
        encryptedMark(archive->nestedMetadata(i));
        out.text(name);
        out.endLine();
        ++archives;
        if (!recursive) {
            countBytes(size);
        } else if (stop != NestingStop::kNone) {
            notEntered(name, stop);
        } else if (inner) {
            walkLevels(inner.get(), *this, name + kDisplaySeparator);
            damagedLevel(inner.get(), name);
        } else {
            nestedFailed(archive, i, prefix);
        }
        return std::nullopt;
    }
    void nestedFailed(Archive* archive, int i, const std::string& prefix) {
        error(prefix + displayName(archive->nestedName(i)), "cannot open as an archive");
    }
    void after(Archive* archive, const std::string& prefix) {
        for (int i = 0; i < archive->fileCount(); ++i) {
            int64_t size = archive->statedFileSize(i);
            beginSizedRow(archive->fileTime(i), size);
            encryptedMark(archive->fileMetadata(i));
            out.text(prefix);
            out.name(archive->fileName(i));
            linkTarget(archive->fileMetadata(i));
            out.endLine();
            ++files;
            countBytes(size);
            if (recursive) descendByContent(archive, i, prefix);
        }
    }
    // "*" in front of an entry whose data needs the password.
    void encryptedMark(const EntryMetadata& metadata) {
        if (metadata.encrypted) out.character('*');
    }
    // "name -> target" for a symbolic link, "name link to target" for a hard one.
    void linkTarget(const EntryMetadata& metadata) {
        if (metadata.link == LinkKind::kNone) return;
        out.text(metadata.link == LinkKind::kSymbolic ? " -> " : " link to ");
        out.text(displayPath(metadata.linkTarget));
    }
    // A file whose name says nothing may still be an archive (a .jar, a .docx).
    void descendByContent(Archive* archive, int index, const std::string& prefix) {
        const char16_t* name = archive->fileName(index);
        if (!mayHoldArchive(name)) return;
        std::string path = prefix + displayName(name);
        if (NestingStop stop = archive->fileStop(index); stop != NestingStop::kNone) {
            // Only a file that is an archive is worth a word.
            Ref<InStream> file(archive->openFile(index));
            if (stop == NestingStop::kRepeatsEnclosing || startsWithArchive(file.get())) notEntered(path, stop);
            return;
        }
        out.flushIfWaiting();
        Ref<Archive> inner(archive->openFileByContent(index));
        if (!inner) return;
        walkLevels(inner.get(), *this, path + kDisplaySeparator);
        damagedLevel(inner.get(), path);
    }
    // After the rows of a level its reader found damaged.
    void damagedLevel(Archive* level, const std::string& path) {
        if (!level->damaged()) return;
        out.flush();
        reportDamagedLevel(level, reporter, subject, path);
    }
};

std::string plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int listCommand(const std::string& path, bool recursive) {
    Reporter reporter;
    std::u16string enginePath = engineArgumentPath(path);
    InStream* fileStream = nullptr;
    Ref<Archive> archive(openArchivePath(enginePath.c_str(), &fileStream, ReadPlan::kBrowse, commandPasswords()));
    Ref<InStream> file(fileStream);
    if (!archive && !file) {
        reporter.error(path, "", "cannot open (no such archive, folder or entry)");
        return 1;
    }

    std::printf("%-19s  %14s  %s\n%s\n", "Modified", "Size", "Name", kRule);
    Listing listing{reporter, path, recursive};
    if (archive) {
        walkLevels(archive.get(), listing, std::string());
        listing.damagedLevel(archive.get(), std::string());
    } else {
        // The path names a file inside an archive: show just that entry.
        auto slash = enginePath.find_last_of(u'\\');
        listing.beginSizedRow(file->tag(), file->knownSize());
        listing.out.name(std::u16string_view(enginePath).substr(slash + 1));
        listing.out.endLine();
        listing.files = 1;
        listing.countBytes(file->knownSize());
    }
    listing.out.flush();
    std::string summary = plural(listing.files, "file", "files") + ", " +
                          plural(listing.folders, "folder", "folders") + ", " +
                          plural(listing.archives, "archive", "archives");
    std::string total = listing.bytesUnknown ? "?" : std::to_string(listing.bytes);
    std::printf("%s\n%19s  %14s  %s\n", kRule, "", total.c_str(), summary.c_str());
    flushStandardOutput();
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
