#include "engine/archive.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "engine/decoded_cache.h"
#include "engine/recent_blocks.h"
#include "engine/file_source.h"
#include "engine/format_registry.h"
#include "engine/names.h"
#include "engine/password.h"
#include "engine/path_clean.h"
#include "engine/stream.h"
// The path API resolves a path typed by a user against the current folder,
// which only the operating system knows. platform/ is built into the same
// library and its header declares plain functions on strings, so this one
// upward include adds no cycle between the model and the platform code.
#include "platform/platform.h"

namespace zorvex {
namespace {

// Every archive and folder level alive, so that opening a path that is open
// already hands out the same object. Threads that each read archives of
// their own make and release them at once, so the list has a lock.
struct LiveArchives {
    std::mutex lock;
    std::vector<Archive*> archives;
};

LiveArchives& liveArchives() {
    static LiveArchives live;
    return live;
}

thread_local bool openingOwnCopies = false;

std::u16string joinName(const char16_t* level, std::u16string_view name) {
    std::u16string full(level);
    full += u'\\';
    full += name;
    return full;
}

// Makes a stored path safe to use below the archive's root: "/" becomes "\\",
// empty and "." components go, ".." removes the component before it (never
// climbing above the root), and drive or device prefixes and leading
// separators are dropped. A trailing separator (a folder entry) is kept.
std::u16string sanitizePath(std::u16string_view path) {
    if (!path.empty() && !isDriveComponent(path) && isResolvedPath(path)) {
        std::u16string clean(path);
        std::replace(clean.begin(), clean.end(), u'/', u'\\');
        return clean;
    }
    bool devicePrefix = path.size() >= 4 && isPathSeparator(path[0]) && isPathSeparator(path[1]) &&
                        (path[2] == u'?' || path[2] == u'.') && isPathSeparator(path[3]);
    if (devicePrefix) path.remove_prefix(4);
    std::vector<std::u16string_view> parts = resolvePath(path, Drives::kDropLeading);
    // A last component that names no file (empty, "." or "..") leaves a folder.
    std::u16string_view last = path.substr(path.find_last_of(u"\\/") + 1);
    if (parts.empty() && isDriveComponent(last)) last.remove_prefix(2);
    bool folder = last.empty() || last == u"." || last == u"..";
    std::u16string clean;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) clean += u'\\';
        clean += parts[i];
    }
    if (folder && !clean.empty()) clean += u'\\';
    return clean;
}

}  // namespace

// ---- Archive: construction and entry insertion ----------------------------

Archive::Archive(const char16_t* name, Archive* owner, InStream* stream)
    : RefObject(name, owner),
      stream_(stream),
      readPlan_(owner ? owner->readPlan_ : ReadPlan::kBrowse),
      // A folder level shares its archive's stream; a nested archive has its own.
      nesting_(owner ? owner->nesting_ + (stream != owner->stream_ ? 1 : 0) : 0),
      stagingFolder_(owner ? owner->stagingFolder_ : std::u16string()),
      formatName_(owner && stream == owner->stream_ ? owner->formatName_ : std::u16string()),
      password_(passwordFor(owner)),
      shared_(owner ? owner->shared_ : !openingOwnCopies) {
    if (stream_) stream_->addRef();
    LiveArchives& live = liveArchives();
    std::lock_guard<std::mutex> hold(live.lock);
    live.archives.push_back(this);
}

Archive::~Archive() {
    {
        LiveArchives& live = liveArchives();
        std::lock_guard<std::mutex> hold(live.lock);
        live.archives.erase(std::find(live.archives.begin(), live.archives.end(), this));
    }
    if (stream_) stream_->release();
}

OpeningOwnCopy::OpeningOwnCopy() : previous_(std::exchange(openingOwnCopies, true)) {}

OpeningOwnCopy::~OpeningOwnCopy() { openingOwnCopies = previous_; }

RefObject* asRefObject(Archive* archive) { return archive; }

InStream* InStream::openSibling(const char16_t* name) {
    Archive* owner = ownerNoRef();
    if (!name || !*name || !owner) return nullptr;
    if (InStream* file = owner->openFileByName(name)) return file;
    return owner->openNestedStreamByName(name);
}

Archive* newArchive(const char16_t* name, Archive* container, InStream* stream) {
    return new (std::nothrow) Archive(name, container, stream);
}

int liveArchiveCount() {
    LiveArchives& live = liveArchives();
    std::lock_guard<std::mutex> hold(live.lock);
    return static_cast<int>(live.archives.size());
}

bool addEntry(Archive* archive, Codec* codec, std::u16string_view path, int64_t offset, int64_t packedSize,
              int64_t size, int64_t time, std::optional<uint32_t> crc, bool damaged,
              std::optional<Blake2spDigest> blake2sp) {
    return addEntry(archive, codec, {}, path, offset, packedSize, size, time, crc,
                    damaged ? Status::corrupt() : Status(), blake2sp);
}

bool addEntry(Archive* archive, Codec* codec, std::u16string_view path, int64_t offset, int64_t packedSize,
              int64_t size, int64_t time, std::optional<uint32_t> crc, const Status& failure,
              std::optional<Blake2spDigest> blake2sp) {
    return addEntry(archive, codec, {}, path, offset, packedSize, size, time, crc, failure, blake2sp, {});
}

bool addEntry(Archive* archive, Codec* codec, std::u16string_view path, int64_t offset, int64_t packedSize,
              int64_t size, int64_t time, std::optional<uint32_t> crc, const Status& failure,
              std::optional<Blake2spDigest> blake2sp, EntryMetadata metadata) {
    return addEntry(archive, codec, {}, path, offset, packedSize, size, time, crc, failure, blake2sp,
                    std::move(metadata));
}

bool addEntry(Archive* archive, Codec* codec, std::vector<uint8_t> properties, std::u16string_view path,
              int64_t offset, int64_t packedSize, int64_t size, int64_t time, std::optional<uint32_t> crc,
              bool damaged, std::optional<Blake2spDigest> blake2sp) {
    return addEntry(archive, codec, std::move(properties), path, offset, packedSize, size, time, crc,
                    damaged ? Status::corrupt() : Status(), blake2sp, {});
}

bool addEntry(Archive* archive, Codec* codec, std::vector<uint8_t> properties, std::u16string_view path,
              int64_t offset, int64_t packedSize, int64_t size, int64_t time, std::optional<uint32_t> crc,
              const Status& failure, std::optional<Blake2spDigest> blake2sp, EntryMetadata metadata) {
    return addEntry(archive, codec, std::move(properties), path, offset, packedSize, size, time,
                    EntryChecks{crc, blake2sp, nullptr}, failure, std::move(metadata));
}

bool addEntry(Archive* archive, Codec* codec, std::vector<uint8_t> properties, std::u16string_view path,
              int64_t offset, int64_t packedSize, int64_t size, int64_t time, EntryChecks checks,
              const Status& failure, EntryMetadata metadata) {
    if (!archive || !archive->stream_) return false;
    ArchiveEntry entry{codec, sanitizePath(path), offset, packedSize, size, time, std::move(checks), failure,
                       false, std::move(properties), std::move(metadata)};
    // A file stored without a name of its own takes the archive's name
    // without its extension: dropped, its data would be lost. That is a file
    // with no name at all (archivers store data read from standard input so),
    // or data under a name that, like ".", names the root folder.
    if (entry.name.empty() && codec && (path.empty() || size != 0))
        entry.name = sanitizePath(stemOf(archive->name()));
    if (entry.name.empty()) return !path.empty();  // a folder naming only the root: nothing to add
    if (!archive->addAtLevel(std::move(entry))) return false;
    ++archive->entriesAdded_;
    return true;
}

void Archive::markDamaged(std::string reason) {
    if (damaged() || reason.empty()) return;
    damageReason_ = std::move(reason);
    entriesBeforeDamage_ = entriesAdded_;
}

void markHoldsArchive(Archive* archive, std::u16string_view name) {
    if (!archive) return;
    auto it = archive->entryIndex_.find(std::u16string(name));
    if (it == archive->entryIndex_.end()) return;
    archive->entries_[it->second].holdsArchive = true;
    archive->viewsValid_ = false;
}

bool Archive::addAtLevel(ArchiveEntry&& entry) {
    size_t separator = entry.name.find(u'\\');
    if (separator == std::u16string::npos) return !entry.codec || insertEntry(std::move(entry));
    std::u16string_view first = std::u16string_view(entry.name).substr(0, separator);
    bool isFolderItself = separator + 1 == entry.name.size();
    DirectoryRecord& directory = directoryFor(first);
    if (isFolderItself) {
        if (entry.time > 0 && directory.time <= 0) directory.time = entry.time;
        if (entry.metadata.mode && !directory.metadata.mode) directory.metadata.mode = entry.metadata.mode;
        return true;
    }
    entry.name.erase(0, separator + 1);
    directory.entries.push_back(std::move(entry));
    return true;
}

bool Archive::insertEntry(ArchiveEntry&& entry) {
    auto [it, inserted] = entryIndex_.try_emplace(entry.name, static_cast<int>(entries_.size()));
    // A later entry of the same path (a member appended to a tar, a file
    // added again to a zip or 7z) is the one the archive means now.
    if (inserted)
        entries_.push_back(std::move(entry));
    else
        entries_[it->second] = std::move(entry);
    viewsValid_ = false;
    return true;
}

DirectoryRecord& Archive::directoryFor(std::u16string_view name) {
    // Entries of one folder mostly come one after another.
    if (lastDirectory_ < directories_.size() && directories_[lastDirectory_].name == name)
        return directories_[lastDirectory_];
    auto [it, inserted] = directoryIndex_.try_emplace(std::u16string(name), static_cast<int>(directories_.size()));
    if (inserted) {
        directories_.push_back(DirectoryRecord{std::u16string(name), {}, 0, {}});
        viewsValid_ = false;
    }
    lastDirectory_ = static_cast<size_t>(it->second);
    return directories_[it->second];
}

// ---- Views ------------------------------------------------------------------

namespace {

// Archives mostly store names in order already: checking that takes one
// comparison per name, sorting many. Names in a view never compare equal
// (one path is one entry), so either way gives the same order.
template <class Less>
void sortView(std::vector<int>& view, Less less) {
    if (!std::is_sorted(view.begin(), view.end(), less)) std::sort(view.begin(), view.end(), less);
}

}  // namespace

void Archive::buildViews() {
    fileView_.clear();
    nestedView_.clear();
    folderView_.clear();
    for (int i = 0; i < static_cast<int>(entries_.size()); ++i)
        (entries_[i].holdsArchive || isArchiveName(entries_[i].name.c_str()) ? nestedView_ : fileView_).push_back(i);
    for (int i = 0; i < static_cast<int>(directories_.size()); ++i) folderView_.push_back(i);
    auto byEntryName = [this](int a, int b) { return naturalCompare(entries_[a].name, entries_[b].name) < 0; };
    sortView(fileView_, byEntryName);
    sortView(nestedView_, byEntryName);
    sortView(folderView_,
             [this](int a, int b) { return naturalCompare(directories_[a].name, directories_[b].name) < 0; });
    viewsValid_ = true;
}

const std::vector<int>& Archive::fileView() {
    if (!viewsValid_) buildViews();
    return fileView_;
}

const std::vector<int>& Archive::folderView() {
    if (!viewsValid_) buildViews();
    return folderView_;
}

const std::vector<int>& Archive::nestedView() {
    if (!viewsValid_) buildViews();
    return nestedView_;
}

// The names equal to `name` but for case sit together in natural order. The
// one spelled exactly so wins; otherwise one that is the only such name.
int Archive::findInView(const std::vector<int>& view, const char16_t* name, bool folders) {
    if (!name) return -1;
    auto nameOf = [&](int raw) -> const std::u16string& {
        return folders ? directories_[raw].name : entries_[raw].name;
    };
    auto first = std::lower_bound(view.begin(), view.end(), name, [&](int raw, const char16_t* key) {
        return naturalCompareNoCase(nameOf(raw), key) < 0;
    });
    auto end = first;
    while (end != view.end() && compareNoCase(nameOf(*end), name) == 0) {
        if (nameOf(*end) == name) return static_cast<int>(end - view.begin());
        ++end;
    }
    return end - first == 1 ? static_cast<int>(first - view.begin()) : -1;
}

namespace {

// Raw index of a view position, or -1 out of range.
int rawAt(const std::vector<int>& view, int index) {
    return index >= 0 && index < static_cast<int>(view.size()) ? view[index] : -1;
}

}  // namespace

int Archive::fileCount() { return static_cast<int>(fileView().size()); }
const char16_t* Archive::fileName(int index) { return entryName(rawAt(fileView(), index)); }
int Archive::findFile(const char16_t* name) { return findInView(fileView(), name, false); }
InStream* Archive::openFile(int index) { return openEntry(rawAt(fileView(), index)); }
int64_t Archive::fileSize(int index) { return entrySize(rawAt(fileView(), index)); }
int64_t Archive::fileTime(int index) { return entryTime(rawAt(fileView(), index)); }
EntryChecks Archive::fileChecks(int index) { return checksAt(rawAt(fileView(), index)); }

int Archive::folderCount() { return static_cast<int>(folderView().size()); }
const char16_t* Archive::folderName(int index) { return directoryName(rawAt(folderView(), index)); }
int Archive::findFolder(const char16_t* name) { return findInView(folderView(), name, true); }
Archive* Archive::openFolder(int index) { return openDirectory(rawAt(folderView(), index)); }
int64_t Archive::folderTime(int index) { return directoryTime(rawAt(folderView(), index)); }

int Archive::nestedCount() { return static_cast<int>(nestedView().size()); }
const char16_t* Archive::nestedName(int index) { return entryName(rawAt(nestedView(), index)); }
int Archive::findNested(const char16_t* name) { return findInView(nestedView(), name, false); }
InStream* Archive::openNestedStream(int index) { return openEntry(rawAt(nestedView(), index)); }
int64_t Archive::nestedSize(int index) { return entrySize(rawAt(nestedView(), index)); }
int64_t Archive::nestedTime(int index) { return entryTime(rawAt(nestedView(), index)); }
EntryChecks Archive::nestedChecks(int index) { return checksAt(rawAt(nestedView(), index)); }

const EntryMetadata& Archive::fileMetadata(int index) { return metadataAt(rawAt(fileView(), index)); }
const EntryMetadata& Archive::nestedMetadata(int index) { return metadataAt(rawAt(nestedView(), index)); }
const ArchiveEntry* Archive::fileEntry(int index) {
    int raw = rawAt(fileView(), index);
    return raw >= 0 ? &entries_[raw] : nullptr;
}
const ArchiveEntry* Archive::nestedEntry(int index) {
    int raw = rawAt(nestedView(), index);
    return raw >= 0 ? &entries_[raw] : nullptr;
}
const EntryMetadata& Archive::folderMetadata(int index) {
    static const EntryMetadata none;
    int raw = rawAt(folderView(), index);
    return raw >= 0 ? directories_[raw].metadata : none;
}

EntryMetadata unixMetadata(std::optional<uint32_t> mode) {
    EntryMetadata metadata;
    if (!mode) return metadata;
    metadata.mode = *mode & 07777;
    if ((*mode & kUnixTypeMask) == kUnixSymbolicLink) metadata.link = LinkKind::kSymbolic;
    return metadata;
}

const EntryMetadata& Archive::metadataAt(int raw) {
    static const EntryMetadata none;
    if (raw < 0 || raw >= entryCount()) return none;
    ArchiveEntry& e = entries_[raw];
    if (e.metadata.link == LinkKind::kSymbolic && e.metadata.linkTarget.empty()) readLinkTarget(raw);
    return e.metadata;
}

// A symbolic link stored as a file holds its target as text (UTF-8 on the
// systems that make such links). One that cannot be read keeps no target.
void Archive::readLinkTarget(int raw) {
    constexpr int kMaxTarget = 4096;  // the longest path a Unix system takes
    ArchiveEntry& e = entries_[raw];
    if (e.size > kMaxTarget) return;
    Status lastOpen = openFailure_;  // an open callers did not ask for
    Ref<InStream> data(openEntry(raw));
    openFailure_ = lastOpen;
    if (!data) return;
    std::string text(kMaxTarget + 1, '\0');
    int total = 0;
    while (total <= kMaxTarget) {
        int got = data->read(text.data() + total, kMaxTarget + 1 - total);
        if (got <= 0) break;
        total += got;
    }
    if (total > kMaxTarget || data->damaged()) return;
    text.resize(size_t(total));
    std::u16string target = utf8ToWide(text).value_or(ansiToWide(text).value_or(std::u16string()));
    std::replace(target.begin(), target.end(), u'/', u'\\');
    e.metadata.linkTarget = std::move(target);
}

InStream* Archive::openFileByName(const char16_t* name) { return openFile(findFile(name)); }
Archive* Archive::openFolderByName(const char16_t* name) { return openFolder(findFolder(name)); }
InStream* Archive::openNestedStreamByName(const char16_t* name) { return openNestedStream(findNested(name)); }
Archive* Archive::openNestedArchiveByName(const char16_t* name) { return openNestedArchive(findNested(name)); }

bool Archive::keepsDecodedData(InStream* decoded, const Codec* codec) const {
    // Going back and forth: anything that would decode again from a start
    // far back (a window of a solid block too) is kept.
    if (readPlan_ == ReadPlan::kRandomAccess) return !decoded->seeksBounded();
    if (codec == findCodec(u"store")) return false;
    return readPlan_ == ReadPlan::kEveryEntry;
}

Archive* Archive::openNestedArchive(int index) {
    int raw = rawAt(nestedView(), index);
    if (raw < 0 || nestingStop(raw) != NestingStop::kNone) return nullptr;
    Ref<InStream> stream(openEntry(raw));
    if (!stream) return nullptr;
    if (keepsDecodedData(stream.get(), entries_[raw].codec))
        stream = Ref<InStream>(keepDecodedData(stream.detach(), stagingFolder_));
    else if (readPlan_ == ReadPlan::kRandomAccess && stream->restartsNearby())
        stream = Ref<InStream>(keepRecentBlocks(stream.detach()));
    if (!stream) return nullptr;
    return openBelow(raw, stream.get());
}

Archive* Archive::openFileByContent(int index) {
    int raw = rawAt(fileView(), index);
    if (raw < 0 || nestingStop(raw) != NestingStop::kNone) return nullptr;
    Ref<InStream> file(openEntry(raw));
    return file ? openBelow(raw, file.get()) : nullptr;
}

Archive* Archive::openBelow(int raw, InStream* stream) {
    ArchiveEntry& e = entries_[raw];
    Archive* nested = detectAndOpen(joinName(name(), e.name).c_str(), this, stream);
    if (!nested) return nullptr;
    // Opening mostly reads the stream to its end (a tar reads on through its
    // end blocks, other formats seek to a directory there): a size no header
    // stated is then known, and showing it costs no second decoding.
    if (e.size < 0 && stream->knownSize() >= 0) learnSize(e, stream);
    nested->originSize_ = e.size;
    // A keyed CRC is no plain CRC of the data: nothing to compare with.
    if (!e.checks.key) nested->originCrc_ = e.checks.crc;
    return nested;
}

NestingStop Archive::nestedStop(int index) {
    int raw = rawAt(nestedView(), index);
    return raw < 0 ? NestingStop::kNone : nestingStop(raw);
}

NestingStop Archive::fileStop(int index) {
    int raw = rawAt(fileView(), index);
    return raw < 0 ? NestingStop::kNone : nestingStop(raw);
}

// Entries without a size or CRC are only bounded by depth.
NestingStop Archive::nestingStop(int raw) {
    if (nesting_ >= kMaxNesting) return NestingStop::kTooDeep;
    const ArchiveEntry& e = entries_[raw];
    if (e.size < 0 || !e.checks.crc || e.checks.key) return NestingStop::kNone;
    for (Archive* level = this; level; level = level->ownerNoRef())
        if (level->openedFrom(e.size, *e.checks.crc)) return NestingStop::kRepeatsEnclosing;
    return NestingStop::kNone;
}

namespace {

std::optional<uint32_t> crcOfStream(InStream* stream) {
    constexpr int kPiece = 1 << 16;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kPiece]);
    if (!buffer || !stream->seek(0)) return std::nullopt;
    uint32_t crc = 0;
    for (int n; (n = stream->read(buffer.get(), kPiece)) > 0;) crc = crc32Update(crc, buffer.get(), n);
    return crc;
}

}  // namespace

bool Archive::openedFrom(int64_t size, uint32_t crc) {
    bool outermost = !ownerNoRef();
    if (outermost && originSize_ < 0 && stream_) originSize_ = stream_->size();
    if (size != originSize_) return false;
    // The outermost file is read whole only when an entry has its size.
    if (outermost && !originCrc_) originCrc_ = crcOfStream(stream_);
    return originCrc_ == crc;
}

// ---- Raw entries and directories -------------------------------------------

int Archive::entryCount() { return static_cast<int>(entries_.size()); }

const char16_t* Archive::entryName(int raw) {
    return raw >= 0 && raw < entryCount() ? entries_[raw].name.c_str() : nullptr;
}

InStream* Archive::openEntry(int raw) {
    openFailure_ = Status();
    if (raw < 0 || raw >= entryCount()) return nullptr;
    const ArchiveEntry& e = entries_[raw];
    InStream* stream = nullptr;
    if (e.codec) {
        std::u16string streamName = joinName(name(), e.name);
        CodecRequest request;
        request.name = streamName.c_str();
        request.owner = this;
        request.tag = e.time;
        request.source = stream_;
        request.offset = e.offset;
        request.packedSize = e.packedSize;
        request.unpackedSize = e.size;
        request.properties = e.properties;
        request.password = password_.get();
        request.readOnce = readPlan_ == ReadPlan::kEveryEntry;
        stream = e.codec->createStream(request);
    }
    if (stream) {
        stream->fail(e.failure);
        return stream;
    }
    // A codec that makes no stream names no reason: the entry's own if it has
    // one, else its data could not be taken as the codec's.
    if (!e.failure.ok()) openFailure_ = e.failure;
    else openFailure_ = e.codec ? Status::corrupt() : Status::unsupportedMethod();
    return nullptr;
}

// A size the reader could not tell is learnt from the decoder when first
// asked: a command that reads the entry anyway never decodes it twice.
int64_t Archive::entrySize(int raw) {
    if (raw < 0 || raw >= entryCount()) return -1;
    ArchiveEntry& e = entries_[raw];
    if (e.size < 0 && e.codec) {
        Ref<InStream> probe(openEntry(raw));
        if (probe && probe->size() >= 0) learnSize(e, probe.get());
    }
    return e.size;
}

int64_t Archive::statedFileSize(int index) { return statedSize(rawAt(fileView(), index)); }
int64_t Archive::statedNestedSize(int index) { return statedSize(rawAt(nestedView(), index)); }

// Opening a stream reads only what its format keeps apart from the data (an
// xz index); knownSize() then tells what that stated.
int64_t Archive::statedSize(int raw) {
    if (raw < 0 || raw >= entryCount()) return -1;
    ArchiveEntry& e = entries_[raw];
    if (e.size < 0 && e.codec) {
        Ref<InStream> probe(openEntry(raw));
        if (probe && probe->knownSize() >= 0) learnSize(e, probe.get());
    }
    return e.size;
}

// A folder's records hold everything below it, sizes included: the folder
// is opened (which copies and sorts them) only when one of them would have
// to be opened to learn its size. A path stored twice counts twice.
int64_t Archive::statedSizeOfAll() {
    int64_t total = 0;
    auto add = [&total](int64_t size) { total = total < 0 || size < 0 ? -1 : total + size; };
    for (int raw = 0; raw < entryCount() && total >= 0; ++raw) add(statedSize(raw));
    for (int raw = 0; raw < directoryCount() && total >= 0; ++raw) {
        int64_t below = 0;
        for (const ArchiveEntry& e : directories_[raw].entries) {
            if (!e.codec || e.name.ends_with(u'\\')) continue;  // no data, or a folder itself
            if (e.size < 0) {
                Ref<Archive> folder(openDirectory(raw));
                below = folder ? folder->statedSizeOfAll() : 0;
                break;
            }
            below += e.size;
        }
        add(below);
    }
    return total;
}

void Archive::learnSize(ArchiveEntry& entry, InStream* decoded) {
    entry.size = decoded->size();
    // The size is where decoding stopped; when that was damage, every stream
    // of the entry says so.
    entry.failure.update(decoded->status());
}

int64_t Archive::entryTime(int raw) { return raw >= 0 && raw < entryCount() ? entries_[raw].time : 0; }

std::optional<uint32_t> Archive::entryCrc(int raw) {
    if (raw < 0 || raw >= entryCount()) return std::nullopt;
    return entries_[raw].checks.crc;
}

EntryChecks Archive::checksAt(int raw) {
    if (raw < 0 || raw >= entryCount()) return {};
    return entries_[raw].checks;
}

int Archive::directoryCount() { return static_cast<int>(directories_.size()); }

const char16_t* Archive::directoryName(int raw) {
    return raw >= 0 && raw < directoryCount() ? directories_[raw].name.c_str() : nullptr;
}

int64_t Archive::directoryTime(int raw) { return raw >= 0 && raw < directoryCount() ? directories_[raw].time : 0; }

Archive* Archive::openDirectory(int raw) {
    if (raw < 0 || raw >= directoryCount()) return nullptr;
    Archive* level = newArchive(joinName(name(), directories_[raw].name).c_str(), this, stream_);
    if (!level) return nullptr;
    // The records keep their remaining paths, already made safe on the way in.
    const EntryTable& records = directories_[raw].entries;
    // Sized up front: growing the index a record at a time rehashes it over and over.
    size_t here = std::count_if(records.begin(), records.end(),
                                [](const ArchiveEntry& e) { return e.name.find(u'\\') == std::u16string::npos; });
    level->entries_.reserve(here);
    level->entryIndex_.reserve(here);
    for (const ArchiveEntry& e : records) level->addAtLevel(ArchiveEntry(e));
    level->damageReason_ = damageReason_;
    level->entriesBeforeDamage_ = entriesBeforeDamage_;
    return level;
}

// ---- Extraction order --------------------------------------------------------

int64_t Archive::offsetOfPath(const std::u16string& path) {
    auto it = entryIndex_.find(path);
    return it == entryIndex_.end() ? -1 : entries_[it->second].offset;
}

bool Archive::orderForExtraction(std::vector<std::u16string>& names) {
    struct Item {
        int64_t offset;
        std::u16string name;
    };
    std::vector<Item> items;
    items.reserve(names.size());
    // Paths below this level are looked up in their top folder's records,
    // which hold everything under that folder, indexed once per folder so
    // that long lists stay n log n.
    std::unordered_map<std::u16string, int64_t> deeper;
    std::unordered_set<int> indexedFolders;
    auto offsetOf = [&](const std::u16string& path) -> int64_t {
        size_t separator = path.find(u'\\');
        if (separator == std::u16string::npos) return offsetOfPath(path);
        auto dir = directoryIndex_.find(path.substr(0, separator));
        if (dir == directoryIndex_.end()) return -1;
        if (indexedFolders.insert(dir->second).second) {
            const DirectoryRecord& record = directories_[dir->second];
            // In record order, so that a later entry of a path wins as it does in the level.
            for (const ArchiveEntry& e : record.entries)
                if (e.codec) deeper.insert_or_assign(record.name + u'\\' + e.name, e.offset);
        }
        auto found = deeper.find(path);
        return found == deeper.end() ? -1 : found->second;
    };
    for (auto& n : names) items.push_back(Item{offsetOf(n), std::move(n)});
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.offset < b.offset; });
    // Names sharing their data (one stored copy for several names) go last,
    // after everything that has data of its own.
    std::vector<Item*> order;
    std::vector<Item*> shared;
    for (size_t i = 0; i < items.size(); ++i) {
        bool sameAsPrevious = items.size() > 2 && i > 0 && items[i].offset > 0 &&
                              items[i].offset == order.back()->offset;
        (sameAsPrevious ? shared : order).push_back(&items[i]);
    }
    order.insert(order.end(), shared.begin(), shared.end());
    for (size_t i = 0; i < order.size(); ++i) names[i] = std::move(order[i]->name);
    return true;
}

// ---- Path API -------------------------------------------------------------------

std::optional<std::u16string> normalizePath(const char16_t* path) {
    if (!path || !*path) return std::u16string();
    auto full = platform::fullPath(path);
    if (!full) return std::nullopt;
    std::replace(full->begin(), full->end(), u'/', u'\\');
    if (full->back() == u':') full->push_back(u'\\');
    return full;
}

namespace {

// Splits a normalised path into parent and last component. A parent that is
// a root keeps its separator ("C:\\", or "\\" on POSIX). False when the path
// has no parent.
bool splitLast(const std::u16string& path, std::u16string* parent, std::u16string* last) {
    size_t separator = path.rfind(u'\\');
    if (separator == std::u16string::npos || separator + 1 == path.size()) return false;
    *parent = path.substr(0, separator);
    bool root = parent->empty() || (parent->size() == 2 && (*parent)[1] == u':');
    if (root) *parent += u'\\';
    *last = path.substr(separator + 1);
    return *parent != path;
}

// Exact: below an archive's root, names that differ only in case are
// different folders and files. A thread's own copies are never handed out,
// nor anything to a thread opening its own. The count is raised under the
// list's lock.
Archive* findLive(const std::u16string& name) {
    if (openingOwnCopies) return nullptr;
    LiveArchives& live = liveArchives();
    std::lock_guard<std::mutex> hold(live.lock);
    for (Archive* a : live.archives)
        if (a->shared() && a->name() == name) {
            a->addRef();
            return a;
        }
    return nullptr;
}

// An archive already open under this exact path, or one on disk there.
Archive* openWholePath(const std::u16string& path, PasswordSource* passwords) {
    if (Archive* live = findLive(path)) return live;
    FileSource* file = openFileSource(path.c_str());
    if (!file) return nullptr;
    std::shared_ptr<ArchivePassword> password;
    if (passwords) password = std::make_shared<ArchivePassword>(passwords, path);
    OpeningWithPassword opening(std::move(password));
    Archive* archive = detectAndOpen(path.c_str(), nullptr, file);
    file->release();
    return archive;
}

// A file of `level` that a path names: a caller that takes the last file gets
// the file; a path that goes on through it (a .jar inside a zip) opens it as
// the archive its content says it is.
Archive* openFileAsArchive(Archive* level, const char16_t* name, InStream** outStream) {
    if (!outStream) return level->openFileByContent(level->findFile(name));
    *outStream = level->openFileByName(name);
    return nullptr;
}

// The folder or nested archive of `level` that `name` names, shared when it
// is open already under its stored name (the path may spell it in another
// case).
Archive* openChild(Archive* level, const char16_t* name) {
    int folder = level->findFolder(name);
    int nested = folder < 0 ? level->findNested(name) : -1;
    const char16_t* stored = folder >= 0 ? level->folderName(folder) : level->nestedName(nested);
    if (!stored) return nullptr;
    if (Archive* live = findLive(joinName(level->name(), stored))) return live;
    return folder >= 0 ? level->openFolder(folder) : level->openNestedArchive(nested);
}

// Opens an already normalised path: finds the longest prefix that is an
// archive, then goes down one folder or nested archive per remaining
// component. A loop rather than recursion, so that neither a long path nor
// components such as "c:" (to which normalising adds a separator again) can
// exhaust the stack.
Archive* openNormalizedPath(const std::u16string& full, InStream** outStream, ReadPlan plan,
                            PasswordSource* passwords) {
    std::vector<std::u16string> below;  // components after `base`, the last one first
    Ref<Archive> level;
    for (std::u16string base = full; !base.empty();) {
        level = Ref<Archive>(openWholePath(base, passwords));
        if (level) break;
        // A root ("\\" or "C:\\") has no parent; any other trailing
        // separator is dropped. ("C:" without it would name the drive's
        // current folder.)
        bool root = base.size() == 1 || (base.size() == 3 && base[1] == u':');
        if (!root && base.back() == u'\\') {
            base.pop_back();
            continue;
        }
        std::u16string parent, last;
        if (!splitLast(base, &parent, &last)) return nullptr;
        below.push_back(std::move(last));
        base = std::move(parent);
    }
    if (!level) return nullptr;
    if (plan != ReadPlan::kBrowse) level->setReadPlan(plan);
    for (; !below.empty(); below.pop_back()) {
        const char16_t* name = below.back().c_str();
        Archive* next = openChild(level.get(), name);
        if (!next) next = openFileAsArchive(level.get(), name, below.size() == 1 ? outStream : nullptr);
        if (!next) return nullptr;
        level = Ref<Archive>(next);
    }
    return level.detach();
}

}  // namespace

Archive* openArchivePath(const char16_t* path, InStream** outStream, ReadPlan plan, PasswordSource* passwords) {
    auto normalized = normalizePath(path);
    return normalized ? openNormalizedPath(*normalized, outStream, plan, passwords) : nullptr;
}

InStream* openStreamPath(const char16_t* path, Archive** outFolder) {
    auto normalized = normalizePath(path);
    std::u16string parentName, last;
    if (!normalized || !splitLast(*normalized, &parentName, &last)) return nullptr;
    Ref<Archive> parent(openNormalizedPath(parentName, nullptr, ReadPlan::kBrowse, nullptr));
    if (!parent) return nullptr;
    if (InStream* file = parent->openFileByName(last.c_str())) return file;
    if (InStream* nested = parent->openNestedStreamByName(last.c_str())) return nested;
    if (outFolder) *outFolder = parent->openFolderByName(last.c_str());
    return nullptr;
}

std::optional<std::u16string> parentPath(const char16_t* path) {
    auto normalized = normalizePath(path);
    if (!normalized) return std::nullopt;
    std::u16string full = *normalized;
    if (full.size() > 1 && full.back() == u'\\') full.pop_back();
    std::u16string parentName, last;
    if (!splitLast(full, &parentName, &last)) return std::nullopt;
    return parentName;
}

}  // namespace zorvex
