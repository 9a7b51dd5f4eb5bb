// The archive model: an opened archive or a folder level inside it, and the
// path API. Formats register in engine/format_registry.h; name comparison is
// engine/names.h.
//
// Format readers add entries with addEntry; the model builds folders from the
// entry paths (one level at a time, on demand) and keeps three views in
// natural order: files, folders and nested archives. A lookup by name
// (findFile, openFolderByName, ...) takes the entry spelled exactly so, or
// else the only one whose name differs from it in case alone.
#pragma once

#include <array>
#include <cstdint>
#include <new>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/refobject.h"
#include "engine/status.h"
#include "platform/platform.h"

namespace zorvex {

class ArchivePassword;
class Codec;
class InStream;
class PasswordSource;

// How a caller will use what it opens. A browser lists levels and reads some
// entries; a caller that reads every entry after listing (extracting,
// testing, copying one entry out of a nested archive) says so, and nested
// archives inside compressed streams then keep their data as it is decoded
// for the listing (engine/decoded_cache.h), so that reading the entries does
// not decode it again. A caller that reads entries in any order, again and
// again (a mounted file system), keeps decoded data only where the codec
// cannot resume near any offset (InStream::restartsNearby): a seek elsewhere
// costs a bounded amount of decoding. Levels opened under a level share its plan.
enum class ReadPlan { kBrowse, kEveryEntry, kRandomAccess };

// Nested archives are opened at most this many levels below the outermost.
inline constexpr int kMaxNesting = 32;

// Why a nested archive is not opened: it would lie deeper than kMaxNesting,
// or its data has the size and CRC of an archive enclosing it (an archive
// that contains itself would otherwise be entered without end).
enum class NestingStop { kNone, kTooDeep, kRepeatsEnclosing };

// A BLAKE2sp digest, which RAR 5 archives may store instead of a CRC-32.
using Blake2spDigest = std::array<uint8_t, 32>;

// Turns the checksums of an entry's data into the values its archive stores,
// for formats that key them with a secret (the encrypted files of "rar" 5.0
// archives), so that known plain text cannot be confirmed without it.
// Nullopt while the key is not known: the check then fails.
class ChecksumKey {
public:
    virtual ~ChecksumKey() = default;
    virtual std::optional<uint32_t> storedCrc(uint32_t crc) const = 0;
    virtual std::optional<Blake2spDigest> storedDigest(const Blake2spDigest& digest) const = 0;
};

// What an archive stores to check an entry's data by; either may be missing.
// With a key, the stored values are keyed ones.
struct EntryChecks {
    std::optional<uint32_t> crc;
    std::optional<Blake2spDigest> blake2sp;
    std::shared_ptr<const ChecksumKey> key;
};

// What an entry is besides data, as Unix-like systems keep it.
enum class LinkKind : uint8_t { kNone, kSymbolic, kHard };

// What an entry is besides its data: as Unix-like systems keep it, its
// read-only attribute, and whether its data is encrypted.
struct EntryMetadata {
    // The Unix mode (type and permission bits) when the archive stores one.
    std::optional<uint32_t> mode;
    LinkKind link = LinkKind::kNone;
    // A symbolic link's target as stored, "\\"-separated and not resolved (it
    // may be absolute or climb out); a hard link's target entry, a path from
    // the archive's root.
    std::u16string linkTarget;
    // The DOS and Windows read-only attribute, when the archive stores it.
    bool readOnly = false;
    // The data needs the archive's password (engine/password.h); listings mark it.
    bool encrypted = false;
};

struct ArchiveEntry {
    Codec* codec = nullptr;  // null: the entry cannot be opened
    std::u16string name;     // relative to its level, "\\"-separated, may go deeper
    int64_t offset = 0;
    int64_t packedSize = 0;
    int64_t size = -1;
    int64_t time = 0;
    EntryChecks checks;
    Status failure;  // why the data is known not to be whole, or cannot be read
    bool holdsArchive = false;  // a nested archive whatever its name says (markHoldsArchive)
    std::vector<uint8_t> properties{};  // the codec's property bytes (CodecRequest in engine/codec.h)
    EntryMetadata metadata;
};

// Storage for an archive's entry records. A listing of a hundred thousand
// entries takes tens of MiB; on large pages its first touches fault a few
// hundred times instead of thousands, which is most of the time an opening
// spends on them.
template <class T>
struct LargeTableAllocator {
    using value_type = T;
    LargeTableAllocator() = default;
    template <class U>
    LargeTableAllocator(const LargeTableAllocator<U>&) {}
    T* allocate(size_t count) {
        void* block = count <= SIZE_MAX / sizeof(T) ? platform::allocateLarge(count * sizeof(T)) : nullptr;
        if (!block) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) { platform::freeLarge(block); }
    friend bool operator==(const LargeTableAllocator&, const LargeTableAllocator&) { return true; }
};
using EntryTable = std::vector<ArchiveEntry, LargeTableAllocator<ArchiveEntry>>;

struct DirectoryRecord {
    std::u16string name;  // one component
    EntryTable entries;
    int64_t time = 0;
    EntryMetadata metadata;  // the folder entry's own mode, when one was stored
};

class Archive : public RefObject {
public:
    Archive(const char16_t* name, Archive* owner, InStream* stream);
    ~Archive() override;

    InStream* openFileByName(const char16_t* name);
    Archive* openFolderByName(const char16_t* name);
    Archive* openNestedArchive(int index);
    Archive* openNestedArchiveByName(const char16_t* name);
    InStream* openNestedStreamByName(const char16_t* name);

    int fileCount();
    const char16_t* fileName(int index);
    int findFile(const char16_t* name);
    InStream* openFile(int index);
    int64_t fileSize(int index);
    int64_t fileTime(int index);

    int folderCount();
    const char16_t* folderName(int index);
    int findFolder(const char16_t* name);
    Archive* openFolder(int index);
    int64_t folderTime(int index);

    int nestedCount();
    const char16_t* nestedName(int index);
    int findNested(const char16_t* name);
    InStream* openNestedStream(int index);
    int64_t nestedSize(int index);
    int64_t nestedTime(int index);

    // Sorts names (of this level, or paths below it such as "folder\\sub\\name")
    // by data offset so that extraction reads the archive front to back.
    bool orderForExtraction(std::vector<std::u16string>& names);

    int entryCount();
    const char16_t* entryName(int raw);
    InStream* openEntry(int raw);
    int64_t entrySize(int raw);
    int64_t entryTime(int raw);

    int directoryCount();
    const char16_t* directoryName(int raw);
    Archive* openDirectory(int raw);
    int64_t directoryTime(int raw);

    // The CRC-32 the archive stores for the entry, when it has one.
    std::optional<uint32_t> entryCrc(int raw);
    // Everything the archive stores to check the entry by.
    EntryChecks fileChecks(int index);
    EntryChecks nestedChecks(int index);
    // Mode and link of a file, nested archive or folder of this level.
    const EntryMetadata& fileMetadata(int index);
    const EntryMetadata& nestedMetadata(int index);
    const EntryMetadata& folderMetadata(int index);
    // The record of a file or nested archive of this level (its codec,
    // packed size, ...); null for an index out of range.
    const ArchiveEntry* fileEntry(int index);
    const ArchiveEntry* nestedEntry(int index);
    // The display name of the format whose reader opened the archive ("zip",
    // "tar", ...); folder levels share their archive's. Empty when no
    // registered format opened it.
    const std::u16string& formatName() const { return formatName_; }
    void setFormatName(std::u16string name) { formatName_ = std::move(name); }

    // Sizes as the headers state them, learnt without decoding any data
    // (a stream's index or trailer may be read): -1 where only decoding
    // would tell. fileSize and nestedSize decode to learn them.
    int64_t statedFileSize(int index);
    int64_t statedNestedSize(int index);
    // The stated sizes of every file and nested archive at this level and in
    // its folders, all the way down; -1 when one of them is not known.
    int64_t statedSizeOfAll();

    // Whether the nested archive, or the file opened by its content, may be
    // opened below this level (openNestedArchive and openFileByContent
    // return null when not).
    NestingStop nestedStop(int index);
    NestingStop fileStop(int index);
    // A file whose name says nothing may still be an archive (a .jar, a
    // .docx): opens it as the archive its content says it is.
    Archive* openFileByContent(int index);

    // Why the last open of an entry here (openFile, openNestedStream,
    // openEntry, their by-name forms) gave null; ok when it gave a stream.
    const Status& openFailure() const { return openFailure_; }

    // The archive's stream (not counted); shared by all levels of one archive.
    InStream* stream() const { return stream_; }

    ReadPlan readPlan() const { return readPlan_; }
    void setReadPlan(ReadPlan plan) { readPlan_ = plan; }
    // Whether opening its path hands out this level (false for a thread's
    // own copy of an archive, see OpeningOwnCopy).
    bool shared() const { return shared_; }
    // The level's verdict. A reader that stops before the archive's end
    // (damage, a failed header check, a count or offset that does not add
    // up) marks its archive damaged with a short reason; the entries it read
    // stay listed. The first reason is kept. Folder levels opened later
    // carry their archive's verdict; a nested archive has its own.
    void markDamaged(std::string reason);
    bool damaged() const { return !damageReason_.empty(); }
    const std::string& damageReason() const { return damageReason_; }
    // Entries the reader had listed when it marked the archive damaged.
    int entriesBeforeDamage() const { return entriesBeforeDamage_; }

    // Where nested levels opened from now on (and their own) keep entries'
    // data apart for extraction into that folder's volume (see
    // engine/decoded_cache.h); empty: nowhere.
    void setStagingFolder(std::u16string folder) { stagingFolder_ = std::move(folder); }

    // Where this level's encrypted data gets its password (engine/password.h):
    // the outermost archive's, shared by every level; null when its opener
    // gave no password source.
    const std::shared_ptr<ArchivePassword>& password() const { return password_; }

private:
    friend bool addEntry(Archive*, Codec*, std::vector<uint8_t>, std::u16string_view, int64_t, int64_t, int64_t,
                         int64_t, EntryChecks, const Status&, EntryMetadata);
    friend void markHoldsArchive(Archive*, std::u16string_view);
    // Adds an entry whose name has no separator left; a later entry of the
    // same name replaces the earlier one.
    bool insertEntry(ArchiveEntry&& entry);
    // Adds an entry with an already safe path to this level: a file here, or
    // the rest of a deeper path kept in its first folder's record.
    bool addAtLevel(ArchiveEntry&& entry);
    DirectoryRecord& directoryFor(std::u16string_view name);
    const std::vector<int>& fileView();
    const std::vector<int>& folderView();
    const std::vector<int>& nestedView();
    void buildViews();
    int findInView(const std::vector<int>& view, const char16_t* name, bool folders);
    int64_t offsetOfPath(const std::u16string& path);
    EntryChecks checksAt(int raw);
    const EntryMetadata& metadataAt(int raw);
    void readLinkTarget(int raw);
    // Takes an entry's size from a stream of it that has learnt it.
    static void learnSize(ArchiveEntry& entry, InStream* decoded);
    int64_t statedSize(int raw);
    NestingStop nestingStop(int raw);
    // Whether this level is an archive opened from data of that size and CRC.
    bool openedFrom(int64_t size, uint32_t crc);
    // Opens the stream of entry `raw` as an archive one level down.
    Archive* openBelow(int raw, InStream* stream);
    // Whether a nested archive's data, decoded by `codec`, is kept as it is
    // first decoded (engine/decoded_cache.h), by the read plan.
    bool keepsDecodedData(InStream* decoded, const Codec* codec) const;

    InStream* stream_;
    Status openFailure_;
    ReadPlan readPlan_;
    int nesting_;  // archives enclosing this level's archive
    // The size and CRC of the entry this archive was opened from; the
    // outermost archive's are its file's, the CRC computed when first needed.
    int64_t originSize_ = -1;
    std::optional<uint32_t> originCrc_;
    std::u16string stagingFolder_;
    std::u16string formatName_;
    std::shared_ptr<ArchivePassword> password_;
    bool shared_;
    EntryTable entries_;
    std::vector<DirectoryRecord> directories_;
    // Name as stored -> raw index: names that differ only in case are different entries.
    std::unordered_map<std::u16string, int> entryIndex_;
    std::unordered_map<std::u16string, int> directoryIndex_;
    size_t lastDirectory_ = 0;  // the record directoryFor found last
    // Views are sorted lazily: a reader may add a million entries before the
    // first listing, and sorting once is n log n.
    bool viewsValid_ = false;
    std::vector<int> fileView_;
    std::vector<int> folderView_;
    std::vector<int> nestedView_;

    std::string damageReason_;
    int entriesBeforeDamage_ = 0;
    int entriesAdded_ = 0;  // by the reader, at every depth
};

// Adds an entry to a format reader's archive. The path may use "/" or "\\";
// "." and ".." components, empty components, drive prefixes and leading
// separators are resolved so that no entry names anything outside the
// archive's root. A size of -1 is learnt from the codec's stream when a
// caller first asks for it (entrySize); reading the entry needs no size.
// `damaged` marks data
// the reader knows is not whole (every stream of the entry then says so);
// damagedEntryCodec() in engine/codec.h is for data that must not be decoded.
// A file stored without a path takes the archive's name without its
// extension. Paths are identities as stored: names that differ only in case
// are different entries and folders, and a later entry of the same path
// replaces the earlier one (an appended newer version). False when a folder's
// path is empty or the archive has no stream.
bool addEntry(Archive* archive, Codec* codec, std::u16string_view path, int64_t offset, int64_t packedSize,
              int64_t size, int64_t time, std::optional<uint32_t> crc = std::nullopt, bool damaged = false,
              std::optional<Blake2spDigest> blake2sp = std::nullopt);
// As above, with the reason (engine/status.h) the entry's data is known not
// to be whole, or cannot be read at all: every stream of the entry carries
// it, and opening an entry whose codec makes no stream fails with it.
bool addEntry(Archive* archive, Codec* codec, std::u16string_view path, int64_t offset, int64_t packedSize,
              int64_t size, int64_t time, std::optional<uint32_t> crc, const Status& failure,
              std::optional<Blake2spDigest> blake2sp = std::nullopt);
// The same for a codec that takes property bytes (its method's settings,
// which the archive stores apart from the packed data).
bool addEntry(Archive* archive, Codec* codec, std::vector<uint8_t> properties, std::u16string_view path,
              int64_t offset, int64_t packedSize, int64_t size, int64_t time,
              std::optional<uint32_t> crc = std::nullopt, bool damaged = false,
              std::optional<Blake2spDigest> blake2sp = std::nullopt);
bool addEntry(Archive* archive, Codec* codec, std::vector<uint8_t> properties, std::u16string_view path,
              int64_t offset, int64_t packedSize, int64_t size, int64_t time, std::optional<uint32_t> crc,
              const Status& failure, std::optional<Blake2spDigest> blake2sp = std::nullopt,
              EntryMetadata metadata = {});
// As above, with the entry's Unix mode and link. A folder's path ends with a
// separator; its mode is kept with the folder.
bool addEntry(Archive* archive, Codec* codec, std::u16string_view path, int64_t offset, int64_t packedSize,
              int64_t size, int64_t time, std::optional<uint32_t> crc, const Status& failure,
              std::optional<Blake2spDigest> blake2sp, EntryMetadata metadata);

// As above, with checks that may be keyed (ChecksumKey).
bool addEntry(Archive* archive, Codec* codec, std::vector<uint8_t> properties, std::u16string_view path,
              int64_t offset, int64_t packedSize, int64_t size, int64_t time, EntryChecks checks,
              const Status& failure, EntryMetadata metadata);

// Unix file type bits of a mode.
constexpr uint32_t kUnixTypeMask = 0170000, kUnixSymbolicLink = 0120000, kUnixFolder = 0040000;

// What a stored Unix mode says of an entry whose data is that of a file as
// written to disk: a symbolic link's data is its target, read from the entry
// when first asked for (fileMetadata).
EntryMetadata unixMetadata(std::optional<uint32_t> mode);

// Shows the entry of that name at the archive's top level among its nested
// archives even though its name says nothing of it: its reader found that
// its data starts as one (startsWithArchive in engine/format_registry.h).
void markHoldsArchive(Archive* archive, std::u16string_view name);

// An empty archive over `stream` (counted). Format readers start with it.
Archive* newArchive(const char16_t* name, Archive* container, InStream* stream);

// Path API. Paths are "\\"-separated wide strings, made whole by normalizePath
// (engine/path_clean.h).
// An archive on disk, a folder inside one, or a nested archive. When the last
// component is a file and `outStream` is given, its stream is handed out there.
// An archive opened here the first time asks `passwords` for its password
// when it needs one (engine/password.h).
Archive* openArchivePath(const char16_t* path, InStream** outStream = nullptr, ReadPlan plan = ReadPlan::kBrowse,
                         PasswordSource* passwords = nullptr);
// A file (or nested archive's stream) by path; a folder goes to `outFolder`.
InStream* openStreamPath(const char16_t* path, Archive** outFolder = nullptr);
std::optional<std::u16string> parentPath(const char16_t* path);

// Counts live archives (for tests and leak checks).
int liveArchiveCount();

// While it lives, archives opened on this thread, and every level below
// them, are this thread's own copies: opening their paths never hands them
// out, nor does an opening on this thread take a live archive of another,
// so threads that each read an archive through a copy of their own share no
// object (reference counts are plain integers, engine/refobject.h). Making
// and releasing archives on several threads at once is safe.
class OpeningOwnCopy {
public:
    OpeningOwnCopy();
    ~OpeningOwnCopy();
    OpeningOwnCopy(const OpeningOwnCopy&) = delete;
    OpeningOwnCopy& operator=(const OpeningOwnCopy&) = delete;

private:
    bool previous_;
};

}  // namespace zorvex
