#include "formats/zip.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "codecs/crypto/zip_crypto.h"
#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "engine/format_registry.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kZip64EndRecordSignature = 0x06064B50;
constexpr uint32_t kSpanningMarker = 0x30304B50;
// Starts the first part of a set split over several disks or files.
constexpr uint32_t kSplitMarker = 0x08074B50;

constexpr uint16_t kFlagEncrypted = 0x1;
constexpr uint16_t kFlagDataDescriptor = 0x8;
constexpr uint16_t kFlagStrongEncryption = 0x40;
constexpr uint16_t kFlagEncryptedDirectory = 0x2000;
constexpr uint16_t kFlagUtf8Name = 0x800;

constexpr uint32_t kZip64Marker = 0xFFFFFFFF;
constexpr uint16_t kZip64ExtraId = 1;
constexpr uint16_t kUnicodePathExtraId = 0x7075;
constexpr uint16_t kAesExtraId = 0x9901;
constexpr uint16_t kAesMethod = 99;

constexpr int kLocalHeaderSize = 26;    // after the signature
constexpr int kCentralHeaderSize = 46;  // with the signature
constexpr int kEndRecordSize = 22;
constexpr int kZip64LocatorSize = 20;
constexpr int kZip64EndRecordPrefix = 56;  // up to and including the directory offset
constexpr int64_t kEndRecordSearch = 65558;
// Unrecognised words tolerated between records before the scan gives up.
constexpr int kMaxUnknownWords = 7;

// Local header parse results other than the position after the entry's data.
constexpr int64_t kStop = -1;
constexpr int64_t kUseDirectory = -2;


struct Method {
    uint16_t number;
    const char16_t* codec;
    // Bytes in front of the codec's data that belong to the zip method itself.
    int headerBytes;
    // The last of them that are the codec's properties.
    int propertyBytes = 0;
};

// Implode's dictionary size (4 or 8 KiB) and tree count (2 or 3).
constexpr uint16_t kImplodeFlags = 0x6;

// Reduce's compression factor is the method number - 1 and Implode's
// variant is in the flags: their codecs take it as one property byte.
std::vector<uint8_t> flagProperties(uint16_t method, uint16_t flags) {
    if (method >= 2 && method <= 5) return {static_cast<uint8_t>(method - 1)};
    if (method == 6) return {static_cast<uint8_t>(flags & kImplodeFlags)};
    return {};
}

// The lzma method stores a 2-byte version and a 2-byte property size before
// the 5 property bytes of the "lzma" codec.
constexpr Method kMethods[] = {
    {0, u"store", 0},      {8, u"deflate", 0}, {9, u"deflate64", 0}, {12, u"bzip2", 0},  {14, u"lzma", 9, 5},
    {93, u"zstd", 0},      {95, u"xz", 0},        {96, u"zip-jpeg", 0}, {97, u"wavpack", 0},
    {98, u"ppmd-i", 0},
    {1, u"shrink", 0},     {2, u"reduce", 0},     {3, u"reduce", 0},     {4, u"reduce", 0},     {5, u"reduce", 0},
    {6, u"implode", 0},
};
constexpr int kMethodCount = sizeof kMethods / sizeof kMethods[0];

// Walks the records of an extra field: `take(data)` for each record of type
// `id`, first to last, until one gives a value.
template <typename Take>
auto findExtraRecord(std::string_view extra, uint16_t id, Take take) -> decltype(take(extra)) {
    constexpr size_t kRecordHead = 4;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(extra.data());
    for (size_t at = 0; at + kRecordHead <= extra.size();) {
        uint16_t recordId = le16(p + at);
        size_t size = le16(p + at + 2);
        at += kRecordHead;
        if (size > extra.size() - at) break;
        if (recordId == id)
            if (auto value = take(extra.substr(at, size))) return value;
        at += size;
    }
    return std::nullopt;
}

// The UTF-8 name of an Info-ZIP Unicode path field (version 1, the CRC-32
// of the header's name, the name), when the CRC shows that it was written
// for this name and not left behind by a tool that renamed the entry.
std::optional<std::string_view> unicodePathName(std::string_view extra, std::string_view headerName) {
    constexpr size_t kFieldHead = 5;
    return findExtraRecord(extra, kUnicodePathExtraId, [&](std::string_view data) -> std::optional<std::string_view> {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
        const uint32_t nameCrc = crc32Update(0, headerName.data(), headerName.size());
        if (data.size() > kFieldHead && p[0] == 1 && le32(p + 1) == nameCrc) return data.substr(kFieldHead);
        return std::nullopt;
    });
}

// The AES extra field: the vendor version (1: AE-1, 2: AE-2, which stores
// no CRC), the key strength and the method of the decrypted data.
struct AesField {
    uint16_t version;
    uint8_t strength;
    uint16_t method;
};

std::optional<AesField> aesField(std::string_view extra) {
    constexpr size_t kFieldSize = 7;
    return findExtraRecord(extra, kAesExtraId, [](std::string_view data) -> std::optional<AesField> {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
        if (data.size() >= kFieldSize && p[2] == 'A' && p[3] == 'E') return AesField{le16(p), p[4], le16(p + 5)};
        return std::nullopt;
    });
}

// A name without the UTF-8 flag: in the character set the user chose, else
// UTF-8 when it is valid UTF-8 beyond ASCII (many tools write UTF-8 without
// saying so, and text in an old code page is seldom valid UTF-8), else the
// OEM code page.
std::optional<std::u16string> unflaggedName(std::string_view raw) {
    if (!namesCharset().empty()) return charsetToWide(raw, namesCharset());
    bool beyondAscii = std::any_of(raw.begin(), raw.end(), [](char c) { return static_cast<uint8_t>(c) > 0x7F; });
    if (beyondAscii)
        if (std::optional<std::u16string> utf8 = utf8ToWide(raw)) return utf8;
    return oemToWide(raw);
}

// What the central directory says about one entry.
struct CentralRecord {
    uint64_t packedSize;
    uint64_t size;
    uint64_t headerOffset;
    uint32_t crc;
    uint16_t method = 0;
    int64_t nameAt = 0;  // where the record's name lies in the archive
    uint16_t nameLength = 0;
    std::string name;
    uint16_t flags = 0;
    EntryMetadata metadata;
    uint16_t time = 0, date = 0;
};

// What reading the directory found out about its records, for the checks
// made once the entries are known.
struct DirectoryFacts {
    bool endRecord = false;
    bool multiDisk = false;        // the end record names other disks
    bool zip64Missing = false;     // the end record says zip64, no locator found
    bool zip64Misplaced = false;   // no zip64 end record where the locator says
    bool directoryFound = false;   // a central header where the end record says
    uint64_t total = 0;            // entries the end record counts
    bool moreThanCounted = false;  // central headers go on past that count
};

// One entry as its local header gives it, with the directory's sizes and CRC
// when it was reached from there. Its bytes run from the header to the end
// of its data.
struct LocalEntry {
    uint16_t flags, method, time, date;
    int64_t headerOffset, dataOffset, packedSize, size;
    uint32_t crc;
    // The local header's own sizes and CRC, which a directory record
    // must agree with.
    uint64_t localPackedSize, localSize;
    uint32_t localCrc;
    size_t nameAt;  // in the reader's name store
    uint16_t nameLength;
    bool named;  // by a directory record
    bool overlapping;  // its bytes are also another entry's
    bool unicodePath;  // the name is the Unicode path field's UTF-8
    std::optional<AesField> aes;  // of an AES-encrypted entry
    EntryMetadata metadata;  // from the directory record
    // Read front to back: where its decoded data starts among the entries'
    // decoded data, how much of it decoded, and why it is not whole.
    int64_t decodedAt = -1;
    int64_t decodedSize = 0;
    Status failure;
    int64_t end() const { return dataOffset + packedSize; }
};

// How an entry's data is decoded: the codec and its request's window.
struct EntryDecoding {
    Codec* codec;
    std::vector<uint8_t> properties;
    int64_t offset, packedSize;
    std::optional<uint32_t> crc;
    Status failure;
};

// A directory record keeps the Unix mode in the high half of its external
// attributes when the host that made it was Unix, and the DOS attributes in the
// low byte (every host sets the read-only bit there the same way).
EntryMetadata metadataOf(uint8_t host, uint32_t externalAttributes) {
    constexpr uint8_t kUnixHost = 3;
    constexpr uint32_t kDosReadOnly = 0x01;
    const uint32_t mode = externalAttributes >> 16;
    EntryMetadata metadata;
    if (host == kUnixHost && mode != 0) metadata = unixMetadata(mode);
    metadata.readOnly = (externalAttributes & kDosReadOnly) != 0;
    return metadata;
}

bool startsBefore(const LocalEntry* a, const LocalEntry* b) { return a->headerOffset < b->headerOffset; }

// Marks the entries whose bytes are shared with another entry.
void markOverlaps(std::vector<LocalEntry>& entries) {
    std::vector<LocalEntry*> byStart;
    byStart.reserve(entries.size());
    for (LocalEntry& e : entries) byStart.push_back(&e);
    // Found by the scan, they are in order already.
    if (!std::is_sorted(byStart.begin(), byStart.end(), startsBefore))
        std::stable_sort(byStart.begin(), byStart.end(), startsBefore);
    // An entry shares bytes with an earlier-starting one exactly when it
    // starts before the farthest end so far, and with a later-starting one
    // exactly when the next one starts before its end.
    int64_t farthestEnd = 0;
    for (size_t i = 0; i < byStart.size(); ++i) {
        LocalEntry& e = *byStart[i];
        if (i > 0 && e.headerOffset < farthestEnd) e.overlapping = true;
        if (i + 1 < byStart.size() && byStart[i + 1]->headerOffset < e.end()) e.overlapping = true;
        farthestEnd = std::max(farthestEnd, e.end());
    }
}

class ZipReader {
public:
    ZipReader(Archive* archive, InStream* in) : archive_(archive), in_(in) {
        for (int i = 0; i < kMethodCount; ++i) codecs_[i] = findCodec(kMethods[i].codec);
    }

    void read();
    // Why the archive is damaged, after read(); empty when it is not.
    const std::string& damage() const { return damage_; }

private:
    int64_t parseLocalHeader(const CentralRecord* record);
    bool skipCentralHeader(uint32_t& headerOffset, std::string& name, uint16_t& flags,
                           EntryMetadata& metadata);
    void takeCentralName(LocalEntry& entry, std::string_view name, uint16_t flags);
    void readFromDirectory();
    std::optional<int64_t> findEndRecord();
    bool readDirectory(std::vector<CentralRecord>& records, uint64_t limit = UINT64_MAX,
                       DirectoryFacts* facts = nullptr);
    bool readCentralRecord(CentralRecord& record);
    void checkDirectory(bool startsWithSplitMarker);
    void checkRecord(const CentralRecord& record, const LocalEntry& entry);
    void damaged(std::string reason) {
        if (damage_.empty()) damage_ = std::move(reason);
    }
    bool sameName(const CentralRecord& a, const CentralRecord& b);
    bool dataInFront();
    bool takeUnicodePath(size_t nameAt, uint16_t& nameLength);
    bool centralHeaderAt(uint64_t offset) {
        uint32_t signature;
        return offset <= INT64_MAX && in_->seek(static_cast<int64_t>(offset)) && readU32(signature) &&
               signature == kCentralHeaderSignature;
    }
    bool readZip64Extra(int extraLength, uint64_t* values[], int count, bool allPresent);
    EntryDecoding decodingOf(const LocalEntry& entry);
    void addLocalEntry(const LocalEntry& entry);
    std::optional<std::vector<uint8_t>> encryptionProperties(const LocalEntry& entry, const Method& method);
    std::vector<uint8_t> readProperties(const LocalEntry& entry, int headerBytes, int count);
    void addEntries();

    bool readBytes(void* buf, int count) { return count == 0 || readExact(in_, buf, count); }
    bool readU32(uint32_t& v) {
        uint8_t b[4];
        if (!readBytes(b, 4)) return false;
        v = le32(b);
        return true;
    }
    bool skip(int64_t count) { return count == 0 || in_->skip(count); }

    Archive* archive_;
    InStream* in_;
    Codec* codecs_[kMethodCount];
    Codec* zipEncrypted_ = findCodec(u"zip-encrypted");
    LocalEntry* scannedEntryAt(int64_t headerOffset);

    // Entries in the order they were found, added once the reading is over,
    // and their names back to back.
    std::vector<LocalEntry> entries_;
    std::string names_;
    // Local header names read in all. Headers that do not overlap hold no
    // more name bytes than the file has, whatever the directory says.
    int64_t nameBudget_ = 0;
    std::string extra_;
    std::string damage_;

    // Read front to back (ZipStreamed): entries with a data descriptor are
    // read as they come, and the decoded ones are listed with the codec
    // standIn_ gives for theirs.
    friend class ZipStreamed;
    bool frontToBack_ = false;
    Codec* (*standIn_)(Codec*) = nullptr;
};

void ZipReader::read() {
    int64_t fileSize = in_->size();
    nameBudget_ = fileSize >= 0 ? fileSize : INT64_MAX;
    uint32_t first = 0;
    bool splitMarker = in_->seek(0) && readU32(first) && first == kSplitMarker;
    if (dataInFront()) {
        readFromDirectory();
        checkDirectory(splitMarker);
        addEntries();
        return;
    }
    if (!in_->seek(0)) return;
    int unknownWords = 0;
    bool passedDirectory = false;
    // Whether the directory names a header the scan did not find (one inside
    // another entry's data) or names one header twice.
    bool directoryDisagrees = false;
    std::string centralName;
    uint32_t signature;
    while (readU32(signature)) {
        if (signature == kLocalHeaderSignature) {
            unknownWords = 0;
            int64_t next = parseLocalHeader(nullptr);
            if (next >= 0) {
                if (!in_->seek(next)) break;
                continue;
            }
            if (next == kUseDirectory) {
                passedDirectory = true;
                readFromDirectory();
            }
            break;
        }
        if (signature == kCentralHeaderSignature) {
            unknownWords = 0;
            passedDirectory = true;
            uint32_t headerOffset;
            uint16_t flags;
            EntryMetadata metadata;
            if (!skipCentralHeader(headerOffset, centralName, flags, metadata)) break;
            if (headerOffset == kZip64Marker) continue;
            LocalEntry* named = scannedEntryAt(headerOffset);
            if (!named || named->named) directoryDisagrees = true;
            else takeCentralName(*named, centralName, flags);  // the first record naming it
            if (named) {
                named->named = true;
                named->metadata = metadata;
            }
        } else if (signature != kSpanningMarker && ++unknownWords >= kMaxUnknownWords) {
            break;
        }
    }
    // The scan stopped before the central directory (junk between records, a
    // damaged header, a stub in front): the directory still lists the rest.
    if (!passedDirectory || directoryDisagrees) {
        for (LocalEntry& entry : entries_) entry.named = false;
        readFromDirectory();
    }
    checkDirectory(splitMarker);
    addEntries();
}

// Cross-checks the end record, the central directory and the local headers
// once every entry is read. The entries stay as read; the first disagreement
// marks the archive damaged.
void ZipReader::checkDirectory(bool startsWithSplitMarker) {
    std::vector<CentralRecord> records;
    DirectoryFacts facts;
    readDirectory(records, UINT64_MAX, &facts);
    bool directoryEncrypted = std::any_of(entries_.begin(), entries_.end(),
                                          [](const LocalEntry& e) { return e.flags & kFlagEncryptedDirectory; });
    if (directoryEncrypted) return damaged("central directory is encrypted (encryption method not supported)");
    if (!facts.endRecord || facts.multiDisk) {
        bool part = startsWithSplitMarker || facts.multiDisk;
        return damaged(part ? "one part of a multi-disk set" : "no end of central directory record");
    }
    if (facts.zip64Misplaced) return damaged("no zip64 end record where its locator says");
    if (facts.zip64Missing) return damaged("end record needs a zip64 locator that is missing");
    if (!facts.directoryFound && facts.total != 0) return damaged("no central directory where the end record says");
    if (records.size() < facts.total)
        return damaged("central directory cut short (" + std::to_string(records.size()) + " of " +
                       std::to_string(facts.total) + " entries)");
    if (facts.moreThanCounted) return damaged("central directory holds more entries than the end record counts");
    std::unordered_map<int64_t, const LocalEntry*> entryAt;
    for (const LocalEntry& e : entries_) entryAt.emplace(e.headerOffset, &e);
    for (const CentralRecord& record : records) {
        auto found = record.headerOffset <= INT64_MAX ? entryAt.find(static_cast<int64_t>(record.headerOffset))
                                                      : entryAt.end();
        if (found == entryAt.end()) return damaged("no local header where the central directory says");
        checkRecord(record, *found->second);
        if (!damage_.empty()) return;
    }
}

// A directory record against its local header. Names are not compared:
// writers that store a Unicode name in one place only differ there, and
// other readers take such archives as whole. Sizes and CRC count only
// where the local header holds them: not behind a data descriptor, nor as
// zip64 markers whose values it did not read.
void ZipReader::checkRecord(const CentralRecord& record, const LocalEntry& entry) {
    std::string name = names_.substr(entry.nameAt, entry.nameLength);
    if (record.method != entry.method) return damaged("central and local headers disagree on the method of " + name);
    if (entry.flags & kFlagDataDescriptor) {
        // Read front to back, the descriptor gave them.
        bool described = entry.decodedAt >= 0 && entry.failure.ok();
        if (described && (record.crc != entry.crc || record.size != uint64_t(entry.size) ||
                          record.packedSize != uint64_t(entry.packedSize)))
            damaged("central directory and data descriptor disagree on " + name);
        return;
    }
    if (record.crc != entry.localCrc) return damaged("central and local headers disagree on the CRC of " + name);
    bool sizesRead = entry.localPackedSize != kZip64Marker && entry.localSize != kZip64Marker;
    if (sizesRead && (record.packedSize != entry.localPackedSize || record.size != entry.localSize))
        damaged("central and local headers disagree on the sizes of " + name);
}

// Adds the entries found, once all are known: only then can the ones sharing
// bytes with another be told.
void ZipReader::addEntries() {
    markOverlaps(entries_);
    for (const LocalEntry& entry : entries_) addLocalEntry(entry);
}

// The entry the sequential scan found at `headerOffset` (the scan finds them
// in order), or null.
LocalEntry* ZipReader::scannedEntryAt(int64_t headerOffset) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), headerOffset,
                               [](const LocalEntry& e, int64_t offset) { return e.headerOffset < offset; });
    return it != entries_.end() && it->headerOffset == headerOffset ? &*it : nullptr;
}

// In the sequential scan, passes over a central directory header whose
// signature has just been read, noting the local header offset, the name and
// the flags and the attributes it records.
bool ZipReader::skipCentralHeader(uint32_t& headerOffset, std::string& name, uint16_t& flags,
                                  EntryMetadata& metadata) {
    uint8_t h[kCentralHeaderSize - 4];
    if (!readBytes(h, sizeof h)) return false;
    headerOffset = le32(h + 38);
    flags = le16(h + 4);
    metadata = metadataOf(h[1], le32(h + 34));
    name.resize(le16(h + 24));
    return readBytes(name.data(), static_cast<int>(name.size())) && skip(int64_t{le16(h + 26)} + le16(h + 28));
}

// The central directory's name (and whether it is UTF-8) wins over the local
// header's: tools that rename an entry rewrite the directory, and every other
// reader goes by it. A name taken from a Unicode path field stays.
void ZipReader::takeCentralName(LocalEntry& entry, std::string_view name, uint16_t flags) {
    std::string_view local(names_.data() + entry.nameAt, entry.nameLength);
    bool sameFlag = (flags & kFlagUtf8Name) == (entry.flags & kFlagUtf8Name);
    if (entry.unicodePath || name.empty() || (name == local && sameFlag)) return;
    entry.nameAt = names_.size();
    names_ += name;
    entry.nameLength = static_cast<uint16_t>(name.size());
    entry.flags = static_cast<uint16_t>((entry.flags & ~kFlagUtf8Name) | (flags & kFlagUtf8Name));
}

// Parses a local header whose signature has just been read and keeps its
// entry. Without a directory record (sequential mode) the header's own sizes
// count; with one, the directory's. Returns the position after the entry's
// data, or kStop or kUseDirectory.
int64_t ZipReader::parseLocalHeader(const CentralRecord* record) {
    int64_t headerOffset = in_->tell() - 4;
    uint8_t h[kLocalHeaderSize];
    if (headerOffset < 0 || !readBytes(h, kLocalHeaderSize)) return kStop;
    uint16_t flags = le16(h + 2);
    if (!record && (flags & kFlagDataDescriptor) && !frontToBack_) return kUseDirectory;
    uint16_t method = le16(h + 4);
    uint16_t time = le16(h + 6);
    uint16_t date = le16(h + 8);
    uint32_t crc = le32(h + 10);
    uint64_t packedSize = le32(h + 14);
    uint64_t size = le32(h + 18);
    uint16_t nameLength = le16(h + 22);
    uint16_t extraLength = le16(h + 24);

    if (nameLength > nameBudget_) return kStop;
    nameBudget_ -= nameLength;
    size_t nameAt = names_.size();
    names_.resize(nameAt + nameLength);
    if (!readBytes(names_.data() + nameAt, nameLength)) return kStop;
    int64_t nameEnd = in_->tell();
    if (nameEnd < 0) return kStop;
    extra_.resize(extraLength);
    if (!readBytes(extra_.data(), extraLength)) extra_.clear();
    bool unicodePath = takeUnicodePath(nameAt, nameLength);
    std::optional<AesField> aes = aesField(extra_);
    int64_t dataOffset = nameEnd + extraLength;
    const uint32_t localCrc = crc;
    uint64_t localPackedSize = packedSize, localSize = size;

    if (record) {
        packedSize = record->packedSize;
        size = record->size;
        crc = record->crc;
    } else if (extraLength != 0 && (packedSize == kZip64Marker || size == kZip64Marker)) {
        // A local zip64 field always holds both sizes.
        uint64_t* values[] = {&size, &packedSize};
        if (!in_->seek(nameEnd) || !readZip64Extra(extraLength, values, 2, true)) return kStop;
        localPackedSize = packedSize;
        localSize = size;
    }

    // Sizes beyond what a stream position can express, or data that would end
    // past the largest position, are damage: nothing further can be trusted.
    constexpr uint64_t kMaxPosition = INT64_MAX;
    if (packedSize > kMaxPosition || size > kMaxPosition ||
        packedSize > kMaxPosition - static_cast<uint64_t>(dataOffset))
        return kStop;

    LocalEntry entry;
    entry.flags = flags;
    entry.method = method;
    entry.time = time;
    entry.date = date;
    entry.headerOffset = headerOffset;
    entry.dataOffset = dataOffset;
    entry.packedSize = static_cast<int64_t>(packedSize);
    entry.size = static_cast<int64_t>(size);
    entry.crc = crc;
    entry.localPackedSize = localPackedSize;
    entry.localSize = localSize;
    entry.localCrc = localCrc;
    entry.nameAt = nameAt;
    entry.nameLength = nameLength;
    entry.named = record != nullptr;
    entry.overlapping = false;
    entry.unicodePath = unicodePath;
    entry.aes = aes;
    entries_.push_back(entry);
    return entry.end();
}

// When the extra field just read holds a Unicode path written for the name
// stored at `nameAt`, that name is replaced by the field's UTF-8 name.
bool ZipReader::takeUnicodePath(size_t nameAt, uint16_t& nameLength) {
    std::string_view headerName = std::string_view(names_).substr(nameAt, nameLength);
    std::optional<std::string_view> unicode = unicodePathName(extra_, headerName);
    if (!unicode || !utf8ToWide(*unicode)) return false;
    std::string utf8(*unicode);
    names_.resize(nameAt);
    names_ += utf8;
    nameLength = static_cast<uint16_t>(utf8.size());
    return true;
}

// Reads the zip64 extra field from the current position into `values`, in
// their fixed order: all of them (a local header's field), or only those
// marked 0xFFFFFFFF (a central header's field holds no others). False on a
// short read.
bool ZipReader::readZip64Extra(int extraLength, uint64_t* values[], int count, bool allPresent) {
    int needed = 0;
    for (int i = 0; i < count; ++i)
        if (allPresent || *values[i] == kZip64Marker) needed += 8;
    int remaining = extraLength;
    while (remaining > 4) {
        uint8_t head[4];
        if (!readBytes(head, 4)) return false;
        remaining -= 4;
        uint16_t id = le16(head);
        uint16_t dataSize = le16(head + 2);
        if (dataSize > remaining) return true;
        if (id == kZip64ExtraId && dataSize >= needed) {
            uint8_t data[24];
            if (!readBytes(data, needed)) return false;
            const uint8_t* p = data;
            for (int i = 0; i < count; ++i) {
                if (!allPresent && *values[i] != kZip64Marker) continue;
                *values[i] = le64(p);
                p += 8;
            }
            return true;
        }
        if (!skip(dataSize)) return false;
        remaining -= dataSize;
    }
    return true;
}

// The codec that decodes the entry, and over which bytes.
EntryDecoding ZipReader::decodingOf(const LocalEntry& entry) {
    const bool encrypted = entry.flags & kFlagEncrypted;
    // AES keeps the method of the decrypted data in its extra field.
    const uint16_t method = encrypted && entry.method == kAesMethod && entry.aes ? entry.aes->method : entry.method;
    // Entries sharing bytes never decode: no data is expanded again and again
    // (the overlapping zip-bomb pattern), and every command reports them.
    Codec* codec = entry.overlapping ? damagedEntryCodec() : nullptr;
    const Method* known = nullptr;
    for (int i = 0; i < kMethodCount && !entry.overlapping; ++i) {
        if (kMethods[i].number != method) continue;
        codec = codecs_[i];
        known = &kMethods[i];
        break;
    }
    // An entry no codec here decodes is still listed: every read of it fails
    // and names the method.
    Status failure = entry.overlapping ? Status::corrupt("shares its data with another entry") : Status();
    if (!codec) {
        codec = damagedEntryCodec();
        failure = Status::unsupportedMethod(method);
    }
    int headerBytes = 0;
    std::vector<uint8_t> properties;
    std::optional<uint32_t> crc = entry.crc;
    if (encrypted && known && !entry.overlapping) {
        // The method's header bytes are encrypted: the codec reads them once
        // it has decrypted them.
        std::optional<std::vector<uint8_t>> described = encryptionProperties(entry, *known);
        if (described) {
            codec = zipEncrypted_;
            properties = std::move(*described);
        } else {
            codec = damagedEntryCodec();
            failure = Status::unsupportedEncryption();
        }
        // AE-2 stores no CRC: its authentication code is the only check.
        if (entry.method == kAesMethod && entry.aes && entry.aes->version == 2) crc.reset();
    } else if (known && !entry.overlapping) {
        headerBytes = known->headerBytes;
        properties = known->propertyBytes ? readProperties(entry, headerBytes, known->propertyBytes)
                                          : flagProperties(entry.method, entry.flags);
    }
    // Stored data is the entry itself: never hand out more than the entry's
    // size (the bytes after it belong to the next record), and when the data
    // is shorter the reader sees fewer bytes than the size.
    int64_t packedSize = entry.method == 0 && !encrypted ? std::min(entry.packedSize, entry.size) : entry.packedSize;
    return {codec, std::move(properties), entry.dataOffset + headerBytes, packedSize - headerBytes, crc, failure};
}

// Entries that cannot be listed (unconvertible name, duplicate) are passed
// over. Of entries read front to back, those that decoded are listed under
// their method and read from their decoded data (standIn_).
void ZipReader::addLocalEntry(const LocalEntry& entry) {
    EntryDecoding decoding = decodingOf(entry);
    if (entry.decodedAt >= 0) {
        if (decoding.codec != damagedEntryCodec()) {
            decoding.codec = standIn_(decoding.codec);
            decoding.offset = entry.decodedAt;
            decoding.properties.assign(8, 0);
            for (int i = 0; i < 8; ++i) decoding.properties[i] = uint8_t(uint64_t(entry.decodedSize) >> (8 * i));
        }
        if (!entry.failure.ok()) decoding.failure = entry.failure;
        // Sizes and CRC that were to follow the data and never came.
        if (entry.size < 0) {
            decoding.packedSize = -1;
            decoding.crc.reset();
        }
    }
    std::string_view raw(names_.data() + entry.nameAt, entry.nameLength);
    raw = raw.substr(0, raw.find('\0'));  // a zero byte ends the name
    std::optional<std::u16string> name;
    if (raw.empty()) name = std::u16string();  // stored without a name: addEntry gives it one
    else if (entry.flags & kFlagUtf8Name || entry.unicodePath) name = utf8ToWide(raw);
    else name = unflaggedName(raw);
    // A name flagged UTF-8 that is not is still the entry's name.
    if (!name) name = oemToWide(raw);
    if (!name) return;
    EntryMetadata metadata = entry.metadata;
    metadata.encrypted = entry.flags & kFlagEncrypted;
    addEntry(archive_, decoding.codec, std::move(decoding.properties), *name, decoding.offset, decoding.packedSize,
             entry.size, timeFromDos(entry.date, entry.time), decoding.crc, decoding.failure, std::nullopt,
             std::move(metadata));
}

// What the "zip-encrypted" codec needs to decrypt and decode the entry;
// nothing for a cipher it does not know (strong encryption, an AES field
// that is missing or names another strength).
std::optional<std::vector<uint8_t>> ZipReader::encryptionProperties(const LocalEntry& entry, const Method& method) {
    if (!zipEncrypted_ || (entry.flags & kFlagStrongEncryption)) return std::nullopt;
    ZipEncryption encryption;
    if (entry.method == kAesMethod) {
        if (!entry.aes || !zipAesSaltSize(entry.aes->strength)) return std::nullopt;
        encryption.scheme = ZipEncryption::kAes;
        encryption.strength = entry.aes->strength;
    } else {
        // With a data descriptor the writer did not know the CRC when it
        // wrote the encryption header, and checks against the time instead.
        encryption.check = entry.flags & kFlagDataDescriptor ? uint8_t(entry.time >> 8) : uint8_t(entry.crc >> 24);
    }
    encryption.method = method.codec;
    encryption.headerBytes = uint8_t(method.headerBytes);
    encryption.propertyBytes = uint8_t(method.propertyBytes);
    if (!method.propertyBytes) encryption.properties = flagProperties(method.number, entry.flags);
    return encodeZipEncryption(encryption);
}

// The last `count` of the method's `headerBytes` header bytes. None when
// they cannot be read: the codec then refuses the entry when it is opened.
std::vector<uint8_t> ZipReader::readProperties(const LocalEntry& entry, int headerBytes, int count) {
    std::vector<uint8_t> properties(static_cast<size_t>(count));
    if (count == 0 || entry.packedSize < headerBytes || !in_->seek(entry.dataOffset + headerBytes - count) ||
        !readBytes(properties.data(), count))
        return {};
    return properties;
}

void ZipReader::readFromDirectory() {
    std::vector<CentralRecord> records;
    if (!readDirectory(records)) return;
    std::unordered_map<int64_t, size_t> entryAt;  // entries by header offset
    for (size_t i = 0; i < entries_.size(); ++i) entryAt.emplace(entries_[i].headerOffset, i);
    constexpr size_t kUnnamed = SIZE_MAX;
    std::vector<size_t> namedBy(entries_.size(), kUnnamed);  // the first record naming each entry
    for (size_t r = 0; r < records.size(); ++r) {
        const CentralRecord& record = records[r];
        if (record.headerOffset > INT64_MAX) break;
        // A header already read is the entry the scan found there, or one
        // that another record names too. The same record twice is still that
        // one entry; under another name, both would share its data.
        auto seen = entryAt.find(static_cast<int64_t>(record.headerOffset));
        if (seen != entryAt.end()) {
            LocalEntry& earlier = entries_[seen->second];
            size_t& first = namedBy[seen->second];
            if (first != kUnnamed && !sameName(records[first], record)) earlier.overlapping = true;
            if (first == kUnnamed) {
                first = r;
                takeCentralName(earlier, record.name, record.flags);  // the first record naming it
            }
            earlier.named = true;
            earlier.metadata = record.metadata;
            continue;
        }
        uint32_t signature;
        if (!in_->seek(static_cast<int64_t>(record.headerOffset)) || !readU32(signature) ||
            signature != kLocalHeaderSignature)
            break;
        int64_t next = parseLocalHeader(&record);
        if (next < 0) break;
        takeCentralName(entries_.back(), record.name, record.flags);
        entries_.back().metadata = record.metadata;
        entryAt.emplace(entries_.back().headerOffset, entries_.size() - 1);
        namedBy.push_back(r);
    }
}

bool ZipReader::sameName(const CentralRecord& a, const CentralRecord& b) {
    if (a.nameLength != b.nameLength) return false;
    std::string first(a.nameLength, '\0'), second(b.nameLength, '\0');
    return in_->seek(a.nameAt) && readBytes(first.data(), a.nameLength) && in_->seek(b.nameAt) &&
           readBytes(second.data(), b.nameLength) && first == second;
}

// Position of the end of central directory record.
std::optional<int64_t> ZipReader::findEndRecord() {
    int64_t n = in_->size();
    if (n <= kEndRecordSize) return std::nullopt;
    uint32_t signature;
    if (in_->seek(n - kEndRecordSize) && readU32(signature) && signature == kEndRecordSignature)
        return n - kEndRecordSize;

    // A comment follows the record: search the tail for it.
    int64_t tail = std::min(n, kEndRecordSearch);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[tail]);
    if (!buf || !in_->seek(n - tail) || !readBytes(buf.get(), static_cast<int>(tail))) return std::nullopt;
    std::optional<int64_t> first;
    for (int64_t i = 0; i + kEndRecordSize <= tail; ++i) {
        if (le32(buf.get() + i) != kEndRecordSignature) continue;
        // The record whose comment ends exactly at the end of the file is the
        // real one; an earlier match may lie in the data of a stored entry
        // (a zip inside the zip).
        if (i + kEndRecordSize + le16(buf.get() + i + 20) == tail) return n - tail + i;
        if (!first) first = n - tail + i;
    }
    return first;
}

// Whether something other than the archive's first entry starts the file: a
// self-extractor stub, padding, even another zip. The directory found from
// the end then says where the entries are; a scan from the start would read
// the stub.
bool ZipReader::dataInFront() {
    std::vector<CentralRecord> first;
    return readDirectory(first, 1) && first[0].headerOffset > 0;
}

bool ZipReader::readDirectory(std::vector<CentralRecord>& records, uint64_t limit, DirectoryFacts* facts) {
    DirectoryFacts unused;
    if (!facts) facts = &unused;
    std::optional<int64_t> end = findEndRecord();
    if (!end) return false;
    uint8_t e[kEndRecordSize];
    if (!in_->seek(*end) || !readBytes(e, kEndRecordSize)) return false;
    facts->endRecord = true;
    uint64_t total = le16(e + 10);
    uint64_t directorySize = le32(e + 12);
    uint64_t directoryOffset = le32(e + 16);
    int64_t directoryEnd = *end;
    // This disk's number, the directory's first disk and this disk's entry
    // count (all of them on a single disk).
    facts->multiDisk = (le16(e + 4) != 0 && le16(e + 4) != 0xFFFF) || (le16(e + 6) != 0 && le16(e + 6) != 0xFFFF) ||
                       le16(e + 8) != le16(e + 10);
    // (A count of 0xFFFF is also a count: writers take zip64 only past it.)
    bool zip64Marked = directorySize == kZip64Marker || directoryOffset == kZip64Marker;

    uint8_t locator[kZip64LocatorSize];
    if (*end > kZip64LocatorSize && in_->seek(*end - kZip64LocatorSize) &&
        readBytes(locator, kZip64LocatorSize) && le32(locator) == kZip64LocatorSignature) {
        uint64_t recordOffset = le64(locator + 8);
        uint8_t z[kZip64EndRecordPrefix];
        if (recordOffset > INT64_MAX || !in_->seek(static_cast<int64_t>(recordOffset)) ||
            !readBytes(z, kZip64EndRecordPrefix) || le32(z) != kZip64EndRecordSignature) {
            facts->zip64Misplaced = true;
            return false;
        }
        zip64Marked = false;
        total = std::min<uint64_t>(le64(z + 32), 0x7FFFFFFF);
        directorySize = le64(z + 40);
        directoryOffset = le64(z + 48);
        directoryEnd = static_cast<int64_t>(recordOffset);
    }

    facts->zip64Missing = zip64Marked;
    facts->total = total;

    // Data in front of the archive (a self-extractor stub, padding) moves
    // every recorded offset by the same amount; the directory still ends where
    // the end record begins.
    uint64_t shift = 0;
    if (!centralHeaderAt(directoryOffset)) {
        if (directorySize > static_cast<uint64_t>(directoryEnd)) return false;
        uint64_t actual = static_cast<uint64_t>(directoryEnd) - directorySize;
        if (actual <= directoryOffset || !centralHeaderAt(actual)) return false;
        shift = actual - directoryOffset;
        directoryOffset = actual;
    }
    if (!in_->seek(static_cast<int64_t>(directoryOffset))) return false;
    facts->directoryFound = true;
    for (uint64_t i = 0; i < std::min(total, limit); ++i) {
        CentralRecord record;
        if (!readCentralRecord(record)) break;
        record.headerOffset += shift;
        records.push_back(record);
    }
    uint32_t next;
    facts->moreThanCounted = limit == UINT64_MAX && records.size() == total && readU32(next) &&
                             next == kCentralHeaderSignature;
    return !records.empty();
}


// Reads the central header at the position, signature included.
bool ZipReader::readCentralRecord(CentralRecord& record) {
    uint8_t h[kCentralHeaderSize];
    if (!readBytes(h, kCentralHeaderSize) || le32(h) != kCentralHeaderSignature) return false;
    record = CentralRecord{le32(h + 20), le32(h + 24), le32(h + 42), le32(h + 16), le16(h + 10),
                           in_->tell(), le16(h + 28), {}, le16(h + 8), metadataOf(h[5], le32(h + 38)),
                           le16(h + 12), le16(h + 14)};
    uint16_t nameLength = record.nameLength;
    uint16_t extraLength = le16(h + 30);
    uint16_t commentLength = le16(h + 32);
    record.name.resize(nameLength);
    if (!readBytes(record.name.data(), nameLength)) return false;
    bool marked = record.packedSize == kZip64Marker || record.size == kZip64Marker ||
                  record.headerOffset == kZip64Marker;
    if (extraLength == 0 || !marked) return skip(int64_t{extraLength} + commentLength);
    uint64_t* values[] = {&record.size, &record.packedSize, &record.headerOffset};
    int64_t extraStart = in_->tell();
    return extraStart >= 0 && readZip64Extra(extraLength, values, 3, false) && in_->seek(extraStart + extraLength) &&
           skip(commentLength);
}

// ---- Front to back, from a stream that goes back only a little --------------

constexpr uint32_t kDescriptorSignature = 0x08074B50;
// The traditional encryption's header in front of the data.
constexpr int kTraditionalHeader = 12;
// The longest data descriptor: signature, CRC and two zip64 sizes.
constexpr int kMaxDescriptor = 24;
// Decoders fetch their packed data in pieces: where they stop reading lies at
// most this far past the end of the data.
constexpr int64_t kDecoderReadAhead = 256 << 10;

bool startsRecord(uint32_t word) { return word == kLocalHeaderSignature || word == kCentralHeaderSignature; }

// The length of a data descriptor at `at` (of which `available` bytes are at
// hand) for data of `packed` bytes that decoded to `size`, with `crc` when
// given; 0 when none fits there. A local or central header must follow it:
// that tells the zip64 form, and a form with no signature, from the others.
int descriptorAt(const uint8_t* at, int64_t available, int64_t packed, int64_t size, std::optional<uint32_t> crc,
                 uint32_t& stored) {
    for (bool signature : {true, false}) {
        for (bool wide : {false, true}) {
            const int crcAt = signature ? 4 : 0, field = wide ? 8 : 4, length = crcAt + 4 + 2 * field;
            if (available < length + 4 || (signature && le32(at) != kDescriptorSignature)) continue;
            const uint8_t* sizes = at + crcAt + 4;
            const uint64_t statedPacked = wide ? le64(sizes) : le32(sizes);
            const uint64_t statedSize = wide ? le64(sizes + field) : le32(sizes + field);
            if (statedPacked != uint64_t(packed) || statedSize != uint64_t(size) ||
                (crc && le32(at + crcAt) != *crc) || !startsRecord(le32(at + length)))
                continue;
            stored = le32(at + crcAt);
            return length;
        }
    }
    return 0;
}

class ZipStreamed final : public ZipFrontToBack {
public:
    ZipStreamed(InStream* input, std::shared_ptr<ArchivePassword> password)
        : ZipFrontToBack(input->name(), nullptr, 0), input_(input), reader_(nullptr, input),
          password_(std::move(password)) {
        input_->addRef();
        reader_.frontToBack_ = true;
        reader_.nameBudget_ = INT64_MAX;
    }
    ~ZipStreamed() override { input_->release(); }

    int64_t tell() override { return total_; }
    bool seek(int64_t position) override { return position == total_; }
    int64_t size() override { return state_ == State::kEnd ? total_ : -1; }
    int read(void* buf, int count) override;
    bool nextEntry(int64_t& size) override;
    void addEntries(Archive* archive, Codec* (*standIn)(Codec*)) override;

private:
    enum class State { kHeader, kCodedData, kStoredData, kEnd };

    bool beginEntry(int64_t& size);
    bool skipEntry(LocalEntry& entry, const Status& why);
    bool unreadable(LocalEntry& entry, const char* why);
    void account(const uint8_t* data, int count);
    void finishCoded();
    bool findDescriptor(LocalEntry& entry);
    int readStored(uint8_t* buf, int count);
    void readDirectory();
    void checkAgainstDirectory();
    bool skipTo(int64_t position) {
        const int64_t at = input_->tell();
        return position >= at ? skipBytes(input_, position - at) : input_->seek(position);
    }

    InStream* input_;
    ZipReader reader_;
    std::shared_ptr<ArchivePassword> password_;
    State state_ = State::kHeader;
    Ref<InStream> data_;  // the codec decoding the current entry
    bool sizesFollow_ = false;
    uint32_t crc_ = 0;      // of the current entry's decoded data so far
    int64_t decoded_ = 0;   // of the current entry
    int64_t total_ = 0;     // of all entries
    std::vector<uint8_t> ahead_;  // a stored entry's packed bytes looked at for its descriptor
    std::vector<CentralRecord> records_;
    bool endRecord_ = false;
};

bool ZipStreamed::nextEntry(int64_t& size) {
    size = 0;
    // Data the caller left unread is passed over.
    uint8_t scrap[4096];
    while ((state_ == State::kCodedData || state_ == State::kStoredData) && read(scrap, sizeof scrap) > 0) {
    }
    if (state_ == State::kEnd) return false;
    uint32_t signature;
    state_ = State::kEnd;
    if (!reader_.readU32(signature)) return false;  // no directory: checkAgainstDirectory tells
    if (signature == kCentralHeaderSignature) {
        readDirectory();
        return false;
    }
    if (signature != kLocalHeaderSignature) {
        reader_.damaged("no local header where the previous entry's data ends");
        return false;
    }
    return beginEntry(size);
}

bool ZipStreamed::beginEntry(int64_t& size) {
    if (reader_.parseLocalHeader(nullptr) == kStop) {
        reader_.damaged("local header cut short or damaged");
        return false;
    }
    LocalEntry& entry = reader_.entries_.back();
    entry.decodedAt = total_;
    crc_ = 0;
    decoded_ = 0;
    sizesFollow_ = entry.flags & kFlagDataDescriptor;
    const bool encrypted = entry.flags & kFlagEncrypted;
    if (sizesFollow_) {
        // Until the descriptor tells: data that reaches as far as a stream can.
        entry.packedSize = INT64_MAX - entry.dataOffset;
        entry.size = -1;
        if (entry.method == kAesMethod)
            return unreadable(entry, "an AES-encrypted entry whose sizes follow its data cannot be read from a pipe");
        if (entry.method == 0 && !encrypted) {
            state_ = State::kStoredData;
            size = -1;
            return true;
        }
    }
    EntryDecoding decoding = reader_.decodingOf(entry);
    if (!decoding.failure.ok() || decoding.codec == damagedEntryCodec())
        return skipEntry(entry, decoding.failure.ok() ? Status::corrupt() : decoding.failure);
    CodecRequest request;
    request.source = input_;
    request.offset = decoding.offset;
    request.packedSize = decoding.packedSize;
    request.unpackedSize = entry.size;
    request.properties = decoding.properties;
    request.password = password_.get();
    data_ = Ref<InStream>(decoding.codec->createStream(request));
    if (!data_ || !input_->seek(decoding.offset)) return skipEntry(entry, Status::corrupt());
    // A stored entry decrypts byte for byte: its descriptor is looked for
    // in the packed bytes beside the decrypted ones.
    state_ = sizesFollow_ && entry.method == 0 ? State::kStoredData : State::kCodedData;
    size = entry.size;
    return true;
}

// An entry that cannot be decoded is listed with the reason; the reading
// goes on after it when its header gives its size.
bool ZipStreamed::skipEntry(LocalEntry& entry, const Status& why) {
    entry.failure = why;
    if (sizesFollow_) return unreadable(entry, "an entry that cannot be decoded hides where the next one starts");
    if (!skipTo(entry.end())) return false;
    state_ = State::kHeader;
    return true;
}

bool ZipStreamed::unreadable(LocalEntry& entry, const char* why) {
    if (entry.failure.ok()) entry.failure = Status::unsupportedMethod();
    reader_.damaged(why);
    state_ = State::kEnd;
    return false;
}

void ZipStreamed::account(const uint8_t* data, int count) {
    crc_ = crc32Update(crc_, data, size_t(count));
    decoded_ += count;
    total_ += count;
}

int ZipStreamed::read(void* buf, int count) {
    if (!buf || count <= 0) return 0;
    if (state_ == State::kStoredData) return readStored(static_cast<uint8_t*>(buf), count);
    if (state_ != State::kCodedData) return 0;
    const int got = data_->read(buf, count);
    if (got > 0) {
        account(static_cast<uint8_t*>(buf), got);
        return got;
    }
    finishCoded();
    return 0;
}

// The codec has delivered the entry's data: the next header follows its
// packed data, or the data descriptor after where the data ended.
void ZipStreamed::finishCoded() {
    LocalEntry& entry = reader_.entries_.back();
    entry.decodedSize = decoded_;
    if (data_->damaged()) entry.failure = data_->status();
    data_ = Ref<InStream>();
    state_ = State::kHeader;
    if (!sizesFollow_) {
        if (!skipTo(entry.end())) state_ = State::kEnd;
        return;
    }
    if (!entry.failure.ok()) {
        // Input that ended inside the entry is told by the missing directory.
        if (input_->size() >= 0) state_ = State::kEnd;
        else unreadable(entry, "a damaged entry hides where the next one starts");
    } else if (!findDescriptor(entry)) {
        entry.failure = Status::corrupt("no data descriptor where the entry's data ends");
        reader_.damaged("no data descriptor where an entry's data ends");
        state_ = State::kEnd;
    }
}

// The descriptor whose sizes say that the data ends where it starts: the
// first such place from the farthest back the decoder may have read ahead.
bool ZipStreamed::findDescriptor(LocalEntry& entry) {
    const int64_t stop = input_->tell();
    const int64_t low = std::max(entry.dataOffset, stop - kDecoderReadAhead);
    if (stop < low || !input_->seek(low)) return false;
    std::vector<uint8_t> bytes(size_t(stop - low + kMaxDescriptor + 4));
    int64_t got = 0;
    for (int n; got < int64_t(bytes.size()) &&
                (n = input_->read(bytes.data() + got, int(int64_t(bytes.size()) - got))) > 0;)
        got += n;
    for (int64_t p = low; p <= stop && p - low < got; ++p) {
        uint32_t stored;
        const int length =
            descriptorAt(bytes.data() + (p - low), got - (p - low), p - entry.dataOffset, decoded_, std::nullopt, stored);
        if (!length) continue;
        entry.packedSize = p - entry.dataOffset;
        entry.size = decoded_;
        entry.crc = stored;
        return input_->seek(p + length);
    }
    return false;
}

// A stored entry whose size follows it ends at the first descriptor whose
// signature, CRC and sizes fit the bytes before it. Its bytes (decrypted,
// when it is encrypted) are delivered up to where one is found.
int ZipStreamed::readStored(uint8_t* buf, int count) {
    LocalEntry& entry = reader_.entries_.back();
    const int header = entry.flags & kFlagEncrypted ? kTraditionalHeader : 0;
    const int64_t at = entry.dataOffset + header + decoded_;
    int got = 0;
    if (data_) {
        got = std::max(data_->read(buf, count), 0);
    } else if (input_->seek(at)) {
        for (int n; got < count && (n = input_->read(buf + got, count - got)) > 0;) got += n;
    }
    // The packed bytes from there on, with room for a descriptor and the
    // record after it.
    constexpr int kLookAhead = kMaxDescriptor + 4;
    ahead_.resize(size_t(got) + kLookAhead);
    int looked = 0;
    if (input_->seek(at))
        for (int n; looked < int(ahead_.size()) &&
                    (n = input_->read(ahead_.data() + looked, int(ahead_.size()) - looked)) > 0;)
            looked += n;
    uint32_t running = crc_;
    int summed = 0;
    for (int q = 0; q < got && q + 4 <= looked; ++q) {
        if (le32(ahead_.data() + q) != kDescriptorSignature) continue;
        running = crc32Update(running, buf + summed, size_t(q - summed));
        summed = q;
        uint32_t stored;
        const int64_t size = decoded_ + q;
        const int length = descriptorAt(ahead_.data() + q, looked - q, size + header, size, running, stored);
        if (!length) continue;
        account(buf, q);
        entry.size = entry.decodedSize = decoded_;
        entry.packedSize = decoded_ + header;
        entry.crc = stored;
        data_ = Ref<InStream>();
        state_ = input_->seek(at + q + length) ? State::kHeader : State::kEnd;
        return q;
    }
    if (got == 0) {
        entry.decodedSize = decoded_;
        entry.failure = data_ && data_->damaged() ? data_->status() : Status::truncated();
        reader_.damaged("no data descriptor after a stored entry");
        data_ = Ref<InStream>();
        state_ = State::kEnd;
        return 0;
    }
    account(buf, got);
    return got;
}

// The central directory, whose first signature has been read, up to the end
// record.
void ZipStreamed::readDirectory() {
    uint32_t signature = kCentralHeaderSignature;
    input_->seek(input_->tell() - 4);
    for (;;) {
        if (signature == kCentralHeaderSignature) {
            CentralRecord record;
            if (!reader_.readCentralRecord(record)) break;
            records_.push_back(std::move(record));
        } else if (signature == kZip64EndRecordSignature) {
            uint8_t size[8];
            if (!reader_.readBytes(size, 8) || le64(size) > INT64_MAX || !skipBytes(input_, int64_t(le64(size))))
                break;
        } else if (signature == kZip64LocatorSignature) {
            if (!skipBytes(input_, kZip64LocatorSize - 4)) break;
        } else {
            endRecord_ = signature == kEndRecordSignature;
            break;
        }
        if (!reader_.readU32(signature)) break;
        if (signature == kCentralHeaderSignature) input_->seek(input_->tell() - 4);
    }
}

// The directory names the entries (its names win) and gives their Unix
// modes; entries it lists that the data did not carry, and entries it does
// not list, are reported.
void ZipStreamed::checkAgainstDirectory() {
    std::vector<LocalEntry> unmet;
    for (const CentralRecord& record : records_) {
        LocalEntry* entry =
            record.headerOffset <= INT64_MAX ? reader_.scannedEntryAt(int64_t(record.headerOffset)) : nullptr;
        if (entry && entry->named) {
            reader_.damaged("the central directory names an entry twice");
            continue;
        }
        if (!entry) {
            // Listed with what the directory says, its data not there.
            LocalEntry missing{};
            missing.flags = record.flags;
            missing.method = record.method;
            missing.time = record.time;
            missing.date = record.date;
            missing.packedSize = int64_t(std::min<uint64_t>(record.packedSize, INT64_MAX));
            missing.size = int64_t(std::min<uint64_t>(record.size, INT64_MAX));
            missing.crc = record.crc;
            missing.nameAt = reader_.names_.size();
            reader_.names_ += record.name;
            missing.nameLength = record.nameLength;
            missing.metadata = record.metadata;
            missing.decodedAt = total_;
            missing.failure = Status::truncated("listed in the central directory, not in the data read");
            unmet.push_back(missing);
            continue;
        }
        reader_.takeCentralName(*entry, record.name, record.flags);
        entry->named = true;
        entry->metadata = record.metadata;
        if (entry->size < 0) {  // its descriptor was not found
            entry->size = int64_t(std::min<uint64_t>(record.size, INT64_MAX));
            entry->packedSize = int64_t(std::min<uint64_t>(record.packedSize, INT64_MAX));
            entry->crc = record.crc;
        }
        reader_.checkRecord(record, *entry);
    }
    if (!unmet.empty())
        reader_.damaged("entries of the central directory not in the data read: " + std::to_string(unmet.size()));
    for (const LocalEntry& entry : reader_.entries_)
        if (!entry.named && endRecord_)
            reader_.damaged("the central directory does not list " +
                            reader_.names_.substr(entry.nameAt, entry.nameLength));
    if (!endRecord_) reader_.damaged("no end of central directory record");
    reader_.entries_.insert(reader_.entries_.end(), unmet.begin(), unmet.end());
}

void ZipStreamed::addEntries(Archive* archive, Codec* (*standIn)(Codec*)) {
    checkAgainstDirectory();
    reader_.archive_ = archive;
    reader_.standIn_ = standIn;
    for (const LocalEntry& entry : reader_.entries_) reader_.addLocalEntry(entry);
    if (!reader_.damage().empty()) archive->markDamaged(reader_.damage());
}

}  // namespace

Archive* openZip(const char16_t* name, Archive* container, InStream* stream) {
    if (!name || !stream) return nullptr;
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    if (!archive->stream()) {
        archive->release();
        return nullptr;
    }
    ZipReader reader(archive, archive->stream());
    reader.read();
    if (!reader.damage().empty()) archive->markDamaged(reader.damage());
    return archive;
}

// A zip may have data in front (a self-extractor's stub, padding): its
// directory, found from the end, then says where the entries are.
Bid probeZip(const ProbeInput& input) {
    if (input.place != ProbePlace::kStart) return Bid::kNone;
    return input.signatureMatches ? Bid::kSignature : Bid::kFromEnd;
}

ZipFrontToBack* openZipFrontToBack(InStream* input, std::shared_ptr<ArchivePassword> password) {
    if (!input) return nullptr;
    return new (std::nothrow) ZipStreamed(input, std::move(password));
}

}  // namespace zorvex
