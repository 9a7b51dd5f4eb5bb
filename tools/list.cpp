// `zorvex list`: one line per folder, nested archive and file, with its
// modification time and size (-l: packed size, method, CRC and attributes
// too), or one JSON document (--json); -r descends into folders and nested
// archives.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "engine/codec.h"
#include "engine/convert.h"

#include "engine/format_registry.h"
#include "engine/level_walk.h"
#include "tools/password.h"
#include "tools/commands.h"
#include "tools/entries.h"
#include "tools/json.h"
#include "tools/selection.h"
#include "tools/standard_input.h"

namespace zorvex::cli {

namespace {

constexpr const char* kRule = "-------------------  --------------  ----";
constexpr const char* kLongRule =
    "-------------------  --------------  --------------  ----------  --------  ----------  ----";

// Listings run to hundreds of thousands of lines: they are gathered here and
// written in large pieces rather than formatted line by line through stdio.
// Before work that may take long (opening a nested archive) what is gathered
// is written out, so that a listing shows its rows as they are found.
class Output {
public:
    ~Output() { flush(); }

    void text(std::string_view s) { buffer_.append(s); }
    std::string& raw() { return buffer_; }
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
        flushIfFull();
    }
    void flushIfFull() {
        if (buffer_.size() >= kFlushSize) flush();
    }
    // While held, nothing is written: what is gathered may still be taken back.
    void hold() { ++held_; }
    void release() { --held_; }
    void flush() {
        if (held_ > 0) return;
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
    int held_ = 0;
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

enum class Kind { kFile, kFolder, kArchive, kLink };

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::kFolder: return "folder";
        case Kind::kArchive: return "archive";
        case Kind::kLink: return "link";
        default: return "file";
    }
}

// "-rw-r--r--" for a stored Unix mode; blanks without one.
std::string modeText(const std::optional<uint32_t>& mode, Kind kind) {
    if (!mode) return std::string(10, ' ');
    std::string text(10, '-');
    const uint32_t type = *mode & kUnixTypeMask;
    const bool link = type == kUnixSymbolicLink || kind == Kind::kLink;
    text[0] = type == kUnixFolder || kind == Kind::kFolder ? 'd' : link ? 'l' : '-';
    static const char kLetters[] = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        if (*mode & (0400u >> bit)) text[size_t(bit) + 1] = kLetters[bit];
    return text;
}

struct Listing {
    Listing(Reporter& reporter, std::string subject, const ListOptions& options)
        : reporter(reporter),
          subject(std::move(subject)),
          recursive(options.recursive),
          style(options.style),
          selection(options.patterns, options.excludes, options.ignoreCase) {}

    Reporter& reporter;
    std::string subject;  // the path as given, for error lines
    bool recursive;
    ListOptions::Style style;
    Selection selection;
    int64_t files = 0, folders = 0, archives = 0, bytes = 0;
    bool bytesUnknown = false;  // some size was not stated: the total is not known either
    Output out;
    // Entries of one archive often share their time: the local-time
    // conversion is done once per distinct value in a row.
    int64_t lastTime = 0;
    std::string lastTimeText = formatTime(0);
    // JSON: where the display prefix of each nested level being written
    // starts its own paths, and whether its entry array is still empty.
    std::vector<size_t> levelStarts{0};
    bool firstEntry = true;
    int64_t rows = 0;  // written, at every level

    // JSON: an archive, or a file that may be one, that patterns do not
    // select but may select entries in gets an object all the same, to hold
    // them; it is taken back when none was selected.
    struct Tentative {
        size_t mark;
        bool firstEntry;
        int64_t rows;
    };
    std::optional<Tentative> beginTentative(bool taken) {
        if (taken || !json()) return std::nullopt;
        out.hold();
        return Tentative{out.raw().size(), firstEntry, rows};
    }
    void endTentative(const std::optional<Tentative>& tentative) {
        if (!tentative) return;
        out.release();
        if (rows > tentative->rows + 1) return;  // more than its own row
        out.raw().resize(tentative->mark);
        firstEntry = tentative->firstEntry;
        rows = tentative->rows;
    }

    bool json() const { return style == ListOptions::Style::kJson; }
    // Whether the entry at the display path PREFIX + NAME is listed.
    bool takes(const std::string& prefix, std::u16string_view name) {
        if (selection.all()) return true;
        return selection.takes(utf8ToWide(prefix).value_or(u"") + std::u16string(name));
    }
    bool mayTakeBelow(const std::string& prefix, std::u16string_view name) {
        if (selection.all()) return true;
        return selection.mayTakeBelow(utf8ToWide(prefix).value_or(u"") + std::u16string(name));
    }

    // Starts a row: the time and the size column, then the name follows.
    void beginRow(int64_t time, std::string_view size) {
        if (time != lastTime) {
            lastTimeText = formatTime(time);
            lastTime = time;
        }
        out.text(lastTimeText);
        out.text("  ");
        column(size, 14);
        out.text("  ");
    }
    void column(std::string_view text, size_t width) {
        for (size_t n = text.size(); n < width; ++n) out.character(' ');
        out.text(text);
    }
    static std::string_view number(int64_t value, char (&text)[24]) {
        if (value < 0) return "?";
        return std::string_view(text, size_t(std::to_chars(text, text + sizeof text, value).ptr - text));
    }
    void beginSizedRow(int64_t time, int64_t size) {
        char text[24];
        beginRow(time, number(size, text));
    }
    // -l: packed size, method, CRC and attributes after the size.
    void longColumns(Kind kind, const ArchiveEntry* entry, const EntryMetadata& metadata) {
        char text[24];
        column(entry && kind != Kind::kFolder ? number(entry->packedSize, text) : "", 14);
        out.text("  ");
        std::string method = entry && entry->codec ? displayName(entry->codec->name()) : "";
        out.text(method);
        for (size_t n = method.size(); n < 10; ++n) out.character(' ');
        out.text("  ");
        char crc[16] = "        ";
        if (entry && entry->checks.crc) std::snprintf(crc, sizeof crc, "%08" PRIx32, *entry->checks.crc);
        out.text(crc);
        out.text("  ");
        out.text(modeText(metadata.mode, kind));
        out.text("  ");
    }

    // One entry: a row of text, or a JSON object left open for what the
    // entry may still get ("contents" of a nested level); endRow ends it.
    void row(Kind kind, const std::string& prefix, std::u16string_view name, int64_t time, int64_t size,
             const ArchiveEntry* entry, const EntryMetadata& metadata) {
        ++rows;
        if (json()) return jsonRow(kind, prefix, name, time, size, entry, metadata);
        if (kind == Kind::kFolder)
            beginRow(time, "<dir>");
        else
            beginSizedRow(time, size);
        if (style == ListOptions::Style::kLong) longColumns(kind, entry, metadata);
        encryptedMark(metadata);
        out.text(prefix);
        out.name(name);
        if (kind == Kind::kFolder) out.character(kDisplaySeparator);
        linkTarget(metadata);
    }
    void endRow() {
        if (!json()) return out.endLine();
        out.character('}');
        out.flushIfFull();
    }
    void jsonRow(Kind kind, const std::string& prefix, std::u16string_view name, int64_t time, int64_t size,
                 const ArchiveEntry* entry, const EntryMetadata& metadata) {
        std::string& text = out.raw();
        if (!firstEntry) text += ",\n";
        firstEntry = false;
        text += "{\"path\":";
        std::string path = prefix.substr(levelStarts.back()) + displayName(name);
        if (kDisplaySeparator != '/') std::replace(path.begin(), path.end(), kDisplaySeparator, '/');
        appendJsonString(text, path);
        text += ",\"kind\":\"";
        text += kindName(kind);
        text += "\",\"size\":";
        char number[24];
        text += kind == Kind::kFolder || size < 0 ? "null" : this->number(size, number);
        text += ",\"packed_size\":";
        text += kind == Kind::kFolder || !entry ? "null" : this->number(entry->packedSize, number);
        text += ",\"modified\":";
        appendJsonTime(text, time);
        text += ",\"method\":";
        if (kind != Kind::kFolder && entry && entry->codec)
            appendJsonString(text, displayName(entry->codec->name()));
        else
            text += "null";
        text += ",\"crc32\":";
        if (entry && entry->checks.crc) {
            char crc[16];
            std::snprintf(crc, sizeof crc, "\"%08" PRIx32 "\"", *entry->checks.crc);
            text += crc;
        } else {
            text += "null";
        }
        text += metadata.encrypted ? ",\"encrypted\":true" : ",\"encrypted\":false";
        text += ",\"link_target\":";
        if (metadata.link != LinkKind::kNone)
            appendJsonString(text, displayName(metadata.linkTarget));
        else
            text += "null";
        text += ",\"mode\":";
        if (metadata.mode) {
            char mode[16];
            std::snprintf(mode, sizeof mode, "\"%o\"", unsigned(*metadata.mode));
            text += mode;
        } else {
            text += "null";
        }
    }
    // JSON: a nested level's own document inside its entry's object.
    void beginContents(Archive* level, const std::string& prefix) {
        if (!json()) return;
        out.text(",\"contents\":{\"format\":");
        appendJsonString(out.raw(), displayName(level->formatName()));
        out.text(",\"entries\":[\n");
        levelStarts.push_back(prefix.size());
        firstEntry = true;
    }
    void endContents(Archive* level) {
        if (!json()) return;
        out.text("\n],\"damaged\":");
        damageVerdict(level);
        out.character('}');
        levelStarts.pop_back();
        firstEntry = false;
    }
    // An entry whose contents could not be listed (JSON: in its object).
    void entryError(const std::string& message) {
        if (!json()) return;
        out.text(",\"error\":");
        appendJsonString(out.raw(), message);
    }
    void damageVerdict(Archive* level) {
        if (!level->damaged()) {
            out.text("null");
            return;
        }
        out.text("{\"reason\":");
        appendJsonString(out.raw(), level->damageReason());
        out.text(",\"entries_before\":" + std::to_string(level->entriesBeforeDamage()) + "}");
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
        if (stop == NestingStop::kRepeatsEnclosing) {
            reporter.note(subject, name, "not opened: same size and CRC as an archive enclosing it");
        } else {
            std::string message = "not opened: archives nested more than " + std::to_string(kMaxNesting) + " deep";
            entryError(message);
            reporter.error(subject, name, message);
        }
    }

    // The walk over the levels (engine/level_walk.h); the place is the
    // display prefix. Rows: folders (each followed by its contents with -r,
    // or when patterns may select something in it), nested archives
    // (likewise), then files.
    void items(Archive*, const std::string&) {}
    std::optional<std::string> folder(Archive* archive, int i, const std::string& prefix) {
        std::u16string_view name = archive->folderName(i);
        const bool descend = recursive || (!selection.all() && mayTakeBelow(prefix, name));
        if (takes(prefix, name)) {
            row(Kind::kFolder, prefix, name, archive->folderTime(i), -1, nullptr, archive->folderMetadata(i));
            endRow();
            ++folders;
        }
        if (!descend) return std::nullopt;
        return prefix + displayName(name) + kDisplaySeparator;
    }
    void folderFailed(Archive* archive, int i, const std::string& prefix) {
        error(prefix + displayName(archive->folderName(i)) + kDisplaySeparator, "cannot open folder");
    }
    // With -r the nested archive is opened before its row is written, and
    // walked here: opening mostly reads its stream to the end, which tells a
    // size that no header stated, so the size column costs no second
    // decoding. Without -r such a size is shown as unknown.
    std::optional<std::string> nested(Archive* archive, int i, const std::string& prefix) {
        std::u16string_view nestedName = archive->nestedName(i);
        const bool taken = takes(prefix, nestedName);
        const bool walk = recursive && (taken || mayTakeBelow(prefix, nestedName));
        if (!taken && !walk) return std::nullopt;
        const bool shown = taken || json();
        std::optional<Tentative> tentative = beginTentative(taken);
        std::string name = prefix + displayName(nestedName);
        NestingStop stop = walk ? archive->nestedStop(i) : NestingStop::kNone;
        bool open = walk && stop == NestingStop::kNone;
        if (open) out.flush();
        Ref<Archive> inner(open ? archive->openNestedArchive(i) : nullptr);
        int64_t size = archive->statedNestedSize(i);
        if (shown) {
            row(Kind::kArchive, prefix, nestedName, archive->nestedTime(i), size, archive->nestedEntry(i),
                archive->nestedMetadata(i));
            // Text rows end first: the contents follow as rows of their own.
            if (!json()) endRow();
            archives += taken;
        }
        if (!walk) {
            countBytes(size);
        } else if (stop != NestingStop::kNone) {
            notEntered(name, stop);
        } else if (inner) {
            walkInto(inner.get(), name + kDisplaySeparator);
        } else {
            entryError("cannot open as an archive");
            nestedFailed(archive, i, prefix);
        }
        if (shown && json()) endRow();
        endTentative(tentative);
        return std::nullopt;
    }
    void nestedFailed(Archive* archive, int i, const std::string& prefix) {
        error(prefix + displayName(archive->nestedName(i)), "cannot open as an archive");
    }
    void after(Archive* archive, const std::string& prefix) {
        for (int i = 0; i < archive->fileCount(); ++i) {
            const char16_t* name = archive->fileName(i);
            const bool taken = takes(prefix, name);
            const bool walk = recursive && (taken || mayTakeBelow(prefix, name)) && mayHoldArchive(name);
            if (!taken && !walk) continue;
            if (!taken && !json()) {
                descendByContent(archive, i, prefix);
                continue;
            }
            std::optional<Tentative> tentative = beginTentative(taken);
            int64_t size = archive->statedFileSize(i);
            const EntryMetadata& metadata = archive->fileMetadata(i);
            row(metadata.link == LinkKind::kNone ? Kind::kFile : Kind::kLink, prefix, name, archive->fileTime(i),
                size, archive->fileEntry(i), metadata);
            // Text rows end first: the contents follow as rows of their own.
            if (!json()) endRow();
            ++files;
            countBytes(size);
            if (walk) descendByContent(archive, i, prefix);
            if (json()) endRow();
            endTentative(tentative);
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
        walkInto(inner.get(), path + kDisplaySeparator);
    }
    void walkInto(Archive* inner, const std::string& prefix) {
        beginContents(inner, prefix);
        walkLevels(inner, *this, prefix);
        endContents(inner);
        damagedLevel(inner, prefix.substr(0, prefix.size() - 1));
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

int listCommand(const std::string& path, const ListOptions& options) {
    Reporter reporter;
    StandardInput input({path}, reporter);
    std::u16string enginePath = engineArgumentPath(path);
    InStream* fileStream = nullptr;
    Ref<Archive> archive(openArchivePath(enginePath.c_str(), &fileStream, ReadPlan::kBrowse, commandPasswords()));
    Ref<InStream> file(fileStream);
    if (!archive && !file) {
        reporter.error(path, "", "cannot open (no such archive, folder or entry)");
        return 1;
    }

    Listing listing{reporter, path, options};
    if (listing.json()) {
        listing.out.text("{\"archive\":");
        appendJsonString(listing.out.raw(), path);
        listing.out.text(",\"format\":");
        if (archive)
            appendJsonString(listing.out.raw(), displayName(archive->formatName()));
        else
            listing.out.text("null");
        listing.out.text(",\"entries\":[\n");
    } else if (options.style == ListOptions::Style::kLong) {
        std::printf("%-19s  %14s  %14s  %-10s  %-8s  %-10s  %s\n%s\n", "Modified", "Size", "Packed", "Method", "CRC",
                    "Attributes", "Name", kLongRule);
    } else {
        std::printf("%-19s  %14s  %s\n%s\n", "Modified", "Size", "Name", kRule);
    }
    if (archive) {
        walkLevels(archive.get(), listing, std::string());
        listing.damagedLevel(archive.get(), std::string());
    } else if (listing.selection.all()) {
        // The path names a file inside an archive: show just that entry.
        auto slash = enginePath.find_last_of(u'\\');
        listing.row(Kind::kFile, std::string(), std::u16string_view(enginePath).substr(slash + 1), file->tag(),
                    file->knownSize(), nullptr, EntryMetadata{});
        listing.endRow();
        listing.files = 1;
        listing.countBytes(file->knownSize());
    }
    if (listing.json()) {
        listing.out.text("\n],\"damaged\":");
        if (archive)
            listing.damageVerdict(archive.get());
        else
            listing.out.text("null");
        listing.out.text("}\n");
    }
    listing.out.flush();
    for (const std::string& pattern : listing.selection.unmatched()) reporter.error(pattern, "", "no such entry");
    if (listing.json()) return reporter.failures() ? 1 : 0;
    std::string summary = plural(listing.files, "file", "files") + ", " +
                          plural(listing.folders, "folder", "folders") + ", " +
                          plural(listing.archives, "archive", "archives");
    std::string total = listing.bytesUnknown ? "?" : std::to_string(listing.bytes);
    const char* rule = options.style == ListOptions::Style::kLong ? kLongRule : kRule;
    std::printf("%s\n%19s  %14s  %s\n", rule, "", total.c_str(), summary.c_str());
    flushStandardOutput();
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
