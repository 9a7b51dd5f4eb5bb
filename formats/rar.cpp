// The "rar" reader: block headers of formats 1.5-4.x and 5.0, volume sets in
// both naming schemes, files split over volumes and solid groups.
//
// Entries live in the archive's joined stream. A compressed file gets the
// head the RAR codecs read (dictionary and member sizes) followed by its
// packed parts. The compressed members of a solid group are decoded by one
// codec stream over the group's packed data; that stream is appended whole
// to the joined stream and every member is a stored range of it. Stored
// files in a solid archive keep their own ranges.
#include "formats/rar.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "codecs/rar/unpacker.h"
#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/names.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

constexpr uint8_t kSignature[6] = {'R', 'a', 'r', '!', 0x1A, 0x07};
constexpr int kSignature4Size = 7;
constexpr int kSignature5Size = 8;

enum class Layout { None, Rar4, Rar5 };

// Format 1.5-4.x block types and flags.
constexpr uint8_t kMainBlock = 0x73;
constexpr uint8_t kFileBlock = 0x74;
constexpr uint8_t kSubBlock = 0x7A;
constexpr uint8_t kEndBlock = 0x7B;
// Authenticity, old service, old recovery record and signature blocks.
constexpr uint8_t kFirstSkippedBlock = 0x76;
constexpr uint8_t kLastSkippedBlock = 0x79;

constexpr uint16_t kMainVolume = 0x0001;
constexpr uint16_t kMainSolid = 0x0008;
constexpr uint16_t kMainNewNumbering = 0x0010;
constexpr uint16_t kMainEncryptedHeaders = 0x0080;

constexpr uint16_t kFileFromPrevious = 0x0001;
constexpr uint16_t kFileToNext = 0x0002;
constexpr uint16_t kFileEncrypted = 0x0004;
constexpr uint16_t kFileSolid = 0x0010;
constexpr uint16_t kFileDirectoryMask = 0x00E0;
constexpr uint16_t kFileLargeSizes = 0x0100;
constexpr uint16_t kFileUnicodeName = 0x0200;
constexpr uint16_t kBlockHasData = 0x8000;

constexpr uint16_t kEndNextVolume = 0x0001;
constexpr uint16_t kEndDataCrc = 0x0002;
constexpr uint16_t kEndVolumeNumber = 0x0008;

constexpr int kBaseHeaderSize = 7;
constexpr int kFileHeaderFixed = 32;  // base header + fields up to the attributes
constexpr uint8_t kStoredMethod = 0x30;
constexpr uint8_t kHostUnix = 3;

// Format 5.0 header types and flags.
constexpr uint64_t kMain5 = 1;
constexpr uint64_t kFile5 = 2;
constexpr uint64_t kEncryption5 = 4;
constexpr uint64_t kEnd5 = 5;

constexpr uint64_t kHeaderExtra = 0x0001;
constexpr uint64_t kHeaderData = 0x0002;
constexpr uint64_t kHeaderFromPrevious = 0x0008;
constexpr uint64_t kHeaderToNext = 0x0010;

constexpr uint64_t kArchiveVolume = 0x0001;
constexpr uint64_t kArchiveVolumeNumber = 0x0002;
constexpr uint64_t kArchiveSolid = 0x0004;

constexpr uint64_t kFile5Directory = 0x0001;
constexpr uint64_t kFile5Time = 0x0002;
constexpr uint64_t kFile5Crc = 0x0004;

constexpr uint64_t kRecordEncryption = 1;
constexpr uint64_t kRecordHash = 2;
constexpr uint64_t kHashBlake2sp = 0;
constexpr uint64_t kRecordTime = 3;
constexpr uint64_t kRecordRedirection = 5;
constexpr uint64_t kRedirectionHardLink = 4;
constexpr uint64_t kRedirectionFileCopy = 5;

constexpr uint64_t kMaxHeader5 = 0x200000;
// RAR 5.0 dictionaries are 128 KiB << N.
constexpr uint64_t kDictionaryBase5 = 0x20000;

Layout layoutAt(InStream* stream, int64_t position) {
    uint8_t head[8];
    if (!stream->seek(position) || stream->read(head, 8) < 7) return Layout::None;
    if (std::memcmp(head, kSignature, 6) != 0) return Layout::None;
    if (head[6] == 0) return Layout::Rar4;
    if (head[6] == 1 && head[7] == 0) return Layout::Rar5;
    return Layout::None;
}

// A byte range of one volume.
struct Range {
    Ref<InStream> stream;
    int64_t offset;
    int64_t length;
};

// What the headers say about one file, gathered over its parts.
struct FileRecord {
    std::u16string name;
    int64_t time = 0;
    EntryChecks checks;
    uint64_t unpackedSize = 0;
    bool directory = false;
    bool stored = false;
    bool solid = false;  // continues the current solid group
    bool link = false;   // a symbolic link or junction: listed empty
    Codec* codec = nullptr;
    uint64_t dictionary = 0;
    std::u16string linkTarget;  // a hard link or file copy: the entry it repeats
    std::vector<Range> parts;
};

struct ListedEntry {
    Codec* codec;
    int64_t offset, packedSize, size;
    EntryChecks checks;
};

}  // namespace

std::optional<std::u16string> rarVolumeName(std::u16string_view name, bool newNumbering, uint64_t index) {
    size_t lastDot = name.rfind(u'.');
    if (lastDot == std::u16string_view::npos) return std::nullopt;
    char digits[24];
    if (!newNumbering) {
        if (name.size() - lastDot != 4 || index == 0 || index > 100) return std::nullopt;
        std::snprintf(digits, sizeof digits, "r%02u", static_cast<unsigned>(index - 1));
        return std::u16string(name.substr(0, lastDot + 1)) + std::u16string(digits, digits + 3);
    }
    if (lastDot == 0) return std::nullopt;
    size_t previousDot = name.rfind(u'.', lastDot - 1);
    if (previousDot == std::u16string_view::npos) return std::nullopt;
    size_t start = previousDot + 1;
    while (start < lastDot && (name[start] < u'0' || name[start] > u'9')) ++start;
    size_t end = start;
    while (end < lastDot && name[end] >= u'0' && name[end] <= u'9') ++end;
    if (start == end) return std::nullopt;
    int width = static_cast<int>(end - start);
    int written = std::snprintf(digits, sizeof digits, "%0*llu", width, static_cast<unsigned long long>(index + 1));
    if (written != width) return std::nullopt;
    return std::u16string(name.substr(0, start)) + std::u16string(digits, digits + width) +
           std::u16string(name.substr(end));
}

uint64_t rar5DictionarySize(uint64_t compressionInfo) { return kDictionaryBase5 << ((compressionInfo >> 10) & 0xF); }

std::u16string decodeRarUnicodeName(const uint8_t* plain, size_t plainSize, const uint8_t* encoded,
                                    size_t encodedSize) {
    std::u16string out;
    if (encodedSize == 0) return out;
    size_t in = 0;
    uint16_t high = static_cast<uint16_t>(encoded[in++] << 8);
    unsigned flags = 0;
    int flagBits = 0;
    auto next = [&](uint8_t* b) {
        if (in >= encodedSize) return false;
        *b = encoded[in++];
        return true;
    };
    while (in < encodedSize && out.size() < plainSize) {
        if (flagBits == 0) {
            uint8_t f;
            if (!next(&f)) break;
            flags = f;
            flagBits = 8;
        }
        flagBits -= 2;
        uint8_t a, b;
        switch ((flags >> flagBits) & 3) {
            case 0:
                if (!next(&a)) return out;
                out.push_back(a);
                break;
            case 1:
                if (!next(&a)) return out;
                out.push_back(static_cast<char16_t>(high | a));
                break;
            case 2:
                if (!next(&a) || !next(&b)) return out;
                out.push_back(static_cast<char16_t>(a | b << 8));
                break;
            default: {
                if (!next(&a)) return out;
                if (a & 0x80) {
                    if (!next(&b)) return out;
                    for (int n = (a & 0x7F) + 2; n > 0 && out.size() < plainSize; --n)
                        out.push_back(static_cast<char16_t>(high | ((plain[out.size()] + b) & 0xFF)));
                } else {
                    for (int n = a + 2; n > 0 && out.size() < plainSize; --n) out.push_back(plain[out.size()]);
                }
            }
        }
    }
    return out;
}

namespace {

// Reads little-endian fields and variable-length integers from a header
// held in memory; every read past its end fails.
class HeaderCursor {
public:
    HeaderCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool skip(uint64_t n) {
        if (n > size_ - pos_) return false;
        pos_ += static_cast<size_t>(n);
        return true;
    }
    bool u8(uint8_t* v) { return fixed(1, v); }
    bool u16(uint16_t* v) { return fixed(2, v); }
    bool u32(uint32_t* v) { return fixed(4, v); }
    bool u64(uint64_t* v) { return fixed(8, v); }
    bool vint(uint64_t* v) {
        *v = 0;
        for (int shift = 0; shift < 70 && pos_ < size_; shift += 7) {
            uint8_t b = data_[pos_++];
            if (shift < 64) *v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    const uint8_t* here() const { return data_ + pos_; }
    size_t position() const { return pos_; }
    size_t left() const { return size_ - pos_; }

private:
    template <class T>
    bool fixed(int n, T* v) {
        if (left() < static_cast<size_t>(n)) return false;
        uint64_t x = 0;
        for (int i = n - 1; i >= 0; --i) x = x << 8 | data_[pos_ + i];
        *v = static_cast<T>(x);
        pos_ += static_cast<size_t>(n);
        return true;
    }
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A member of a solid group, listed once the group's stream exists.
struct GroupEntry {
    std::u16string name;
    uint64_t offset, size;
    int64_t time;
    EntryChecks checks;
};

// The compressed members of a solid group, decoded by one stream.
struct Group {
    Codec* codec = nullptr;
    uint64_t dictionary = 0;
    Ref<ConcatStream> packed;
    std::vector<rar::Member> members;
    std::vector<GroupEntry> entries;
    uint64_t unpacked = 0;
};

class RarReader {
public:
    RarReader(Archive* archive, ConcatStream* data, const char16_t* path, InStream* first)
        : archive_(archive), data_(data), volume_(Ref<InStream>::share(first)) {
        std::u16string_view full = path ? path : u"";
        size_t slash = full.find_last_of(u"\\/");
        volumeName_ = std::u16string(slash == std::u16string_view::npos ? full : full.substr(slash + 1));
        opened_.insert(foldCase(volumeName_));
        store_ = findCodec(u"store");
    }

    // False when the archive is refused.
    bool read(Layout layout);

private:
    // Format 1.5-4.x.
    bool readBlocks4();
    bool readFileHeader4(const std::vector<uint8_t>& header, uint16_t flags, int64_t dataStart, int64_t* next);
    Codec* codecFor4(uint8_t version, uint8_t method);
    std::u16string nameFromHeader4(const uint8_t* name, size_t size, uint16_t flags, uint8_t host);
    // Format 5.0.
    bool readBlocks5();
    bool readFileHeader5(HeaderCursor& h, uint64_t headerFlags, int64_t dataStart, uint64_t dataSize,
                         size_t extraStart);
    bool readExtraRecords5(HeaderCursor& h, FileRecord* file);

    // Volumes.
    bool moveToVolume(uint64_t index, bool allowSeen);
    bool restartAtFirstVolume();
    uint64_t volumeIndexFromName() const;

    // Placing files.
    bool takePart(FileRecord&& header, bool fromPrevious, bool toNext, int64_t dataStart, int64_t length);
    void placeFile(FileRecord& file);
    void placeCompressed(FileRecord& file);
    void openGroup(const FileRecord& file);
    void closeGroup();
    void list(const std::u16string& name, Codec* codec, int64_t offset, int64_t packedSize, int64_t size,
              int64_t time, const EntryChecks& checks);
    void resolveLinks();

    Archive* archive_;
    ConcatStream* data_;
    Ref<InStream> volume_;
    std::u16string volumeName_;
    std::set<std::u16string> opened_;
    uint64_t volumeIndex_ = 0;
    int64_t position_ = 0;
    Codec* store_;

    bool isVolume_ = false;
    bool solid_ = false;
    bool newNumbering_ = false;
    bool sawMain_ = false;
    bool startedMidSet_ = false;  // opened at a later volume of an old-numbering set
    bool refused_ = false;

    // A file whose parts continue in the next volume.
    std::optional<FileRecord> pending_;
    bool pendingOrphan_ = false;

    std::optional<Group> group_;

    std::unordered_map<std::u16string, ListedEntry> listed_;
    std::vector<FileRecord> links_;
};

bool RarReader::read(Layout layout) {
    bool accepted = layout == Layout::Rar4 ? readBlocks4() : readBlocks5();
    if (!accepted) return false;
    closeGroup();
    resolveLinks();
    return true;
}

// ---- Volumes ------------------------------------------------------------------

uint64_t RarReader::volumeIndexFromName() const {
    // x.rar is the first volume of the old scheme, x.r00 the second.
    size_t dot = volumeName_.rfind(u'.');
    if (dot == std::u16string::npos || volumeName_.size() - dot != 4) return 0;
    char16_t r = volumeName_[dot + 1], d1 = volumeName_[dot + 2], d2 = volumeName_[dot + 3];
    if ((r != u'r' && r != u'R') || d1 < u'0' || d1 > u'9' || d2 < u'0' || d2 > u'9') return 0;
    return static_cast<uint64_t>((d1 - u'0') * 10 + (d2 - u'0')) + 1;
}

bool RarReader::moveToVolume(uint64_t index, bool allowSeen) {
    std::optional<std::u16string> name = rarVolumeName(volumeName_, newNumbering_, index);
    if (!name) return false;
    Ref<InStream> next(volume_->openSibling(name->c_str()));
    if (!next) {
        // A self-extracting first volume (x.part1.exe) is followed by x.part2.rar.
        size_t dot = name->rfind(u'.');
        if (foldCase(name->substr(dot)) == u".rar") return false;
        name = name->substr(0, dot) + u".rar";
        next = Ref<InStream>(volume_->openSibling(name->c_str()));
        if (!next) return false;
    }
    std::u16string key = foldCase(*name);
    if (!allowSeen && opened_.count(key)) return false;
    Layout layout = layoutAt(next.get(), 0);
    if (layout == Layout::None) return false;
    opened_.insert(key);
    volume_ = next;
    volumeName_ = *name;
    volumeIndex_ = index;
    position_ = layout == Layout::Rar4 ? kSignature4Size : kSignature5Size;
    return true;
}

bool RarReader::restartAtFirstVolume() {
    std::optional<std::u16string> first = rarVolumeName(volumeName_, true, 0);
    if (!first || *first == volumeName_) return false;
    // The volume that was opened is read again in its turn.
    std::set<std::u16string> opened = std::move(opened_);
    opened_.clear();
    if (moveToVolume(0, true)) return true;
    opened_ = std::move(opened);
    return false;
}

// ---- Placing files ------------------------------------------------------------

void RarReader::list(const std::u16string& name, Codec* codec, int64_t offset, int64_t packedSize, int64_t size,
                     int64_t time, const EntryChecks& checks) {
    if (addEntry(archive_, codec, name, offset, packedSize, size, time, checks.crc, false, checks.blake2sp))
        listed_[foldCase(name)] = {codec, offset, packedSize, size, checks};
}

// Collects one part of a file; the file is placed after its last part. A part
// continued from a volume that was not read is dropped with the rest of its file.
bool RarReader::takePart(FileRecord&& header, bool fromPrevious, bool toNext, int64_t dataStart, int64_t length) {
    int64_t available = std::max<int64_t>(0, volume_->size() - dataStart);
    Range range{volume_, dataStart, std::min(length, available)};
    if (fromPrevious) {
        if (!pending_ || foldCase(pending_->name) != foldCase(header.name)) {
            pending_.reset();
            pendingOrphan_ = true;
        }
    } else {
        pending_.reset();
        pendingOrphan_ = false;
    }
    if (pendingOrphan_) {
        if (!toNext) pendingOrphan_ = false;
        return true;
    }
    std::vector<Range> parts = pending_ ? std::move(pending_->parts) : std::vector<Range>{};
    parts.push_back(std::move(range));
    header.parts = std::move(parts);
    if (toNext) {
        pending_ = std::move(header);
        return true;
    }
    pending_.reset();
    placeFile(header);
    return true;
}

void RarReader::placeFile(FileRecord& file) {
    if (file.directory) {
        addEntry(archive_, nullptr, file.name + u"\\", 0, 0, 0, file.time);
        return;
    }
    if (!file.linkTarget.empty()) {
        links_.push_back(std::move(file));
        return;
    }
    if (file.link) {
        list(file.name, store_, 0, 0, 0, file.time, {});
        return;
    }
    if (file.stored) {
        int64_t offset = data_->size();
        for (const Range& r : file.parts) data_->appendPart(r.stream.get(), r.offset, r.length);
        list(file.name, store_, offset, data_->size() - offset, static_cast<int64_t>(file.unpackedSize), file.time,
             file.checks);
        return;
    }
    placeCompressed(file);
}

void RarReader::placeCompressed(FileRecord& file) {
    if (!file.codec) return;  // a version no codec decodes
    if (file.unpackedSize == 0) {
        // Nothing to decode: the packed data, if any, holds no output.
        list(file.name, store_, 0, 0, 0, file.time, file.checks);
        return;
    }
    uint64_t packed = 0;
    for (const Range& r : file.parts) packed += static_cast<uint64_t>(r.length);
    if (file.solid && group_) {
        // A member decoded by another version cannot continue the group.
        if (group_->codec != file.codec) return;
    } else if (file.solid && startedMidSet_) {
        return;  // it continues members in volumes this listing did not read
    } else if (solid_ || file.solid) {
        // Directories and stored files may come first in a group: the first
        // compressed member opens it whatever its solid flag says.
        closeGroup();
        openGroup(file);
    }
    if (group_) {
        for (const Range& r : file.parts) group_->packed->appendPart(r.stream.get(), r.offset, r.length);
        group_->members.push_back({packed, file.unpackedSize});
        group_->entries.push_back({file.name, group_->unpacked, file.unpackedSize, file.time, file.checks});
        group_->unpacked += file.unpackedSize;
        group_->dictionary = std::max(group_->dictionary, file.dictionary);
        return;
    }
    std::vector<uint8_t> head = rar::encodeHead(file.dictionary, {{packed, file.unpackedSize}});
    Ref<MemoryStream> headStream(MemoryStream::create(nullptr, nullptr, 0, head.data(), head.size()));
    if (!headStream) return;
    int64_t offset = data_->size();
    data_->appendPart(headStream.get(), 0, headStream->size());
    for (const Range& r : file.parts) data_->appendPart(r.stream.get(), r.offset, r.length);
    list(file.name, file.codec, offset, data_->size() - offset, static_cast<int64_t>(file.unpackedSize), file.time,
         file.checks);
}

void RarReader::openGroup(const FileRecord& file) {
    Ref<ConcatStream> packed(new (std::nothrow) ConcatStream(nullptr, nullptr, 0));
    if (!packed) return;
    group_.emplace();
    group_->codec = file.codec;
    group_->packed = std::move(packed);
}

void RarReader::closeGroup() {
    if (!group_) return;
    Group group = std::move(*group_);
    group_.reset();
    if (group.members.empty()) return;
    std::vector<uint8_t> head = rar::encodeHead(group.dictionary, group.members);
    Ref<MemoryStream> headStream(MemoryStream::create(nullptr, nullptr, 0, head.data(), head.size()));
    Ref<ConcatStream> input(new (std::nothrow) ConcatStream(nullptr, nullptr, 0));
    if (!headStream || !input) return;
    input->appendPart(headStream.get(), 0, headStream->size());
    input->appendPart(group.packed.get(), 0, group.packed->size());
    // The decoded stream has no owner: the archive holds it through its joined stream.
    Ref<InStream> decoded(group.codec->createStream(archive_->name(), nullptr, 0, input.get(), 0, input->size(),
                                                    static_cast<int64_t>(group.unpacked)));
    if (!decoded) return;
    int64_t base = data_->size();
    if (!data_->appendPart(decoded.get(), 0, static_cast<int64_t>(group.unpacked))) return;
    for (const GroupEntry& e : group.entries)
        list(e.name, store_, base + static_cast<int64_t>(e.offset), static_cast<int64_t>(e.size),
             static_cast<int64_t>(e.size), e.time, e.checks);
}

// Hard links and file copies give the data of the entry they name.
void RarReader::resolveLinks() {
    for (const FileRecord& link : links_) {
        std::u16string target = link.linkTarget;
        std::replace(target.begin(), target.end(), u'/', u'\\');
        auto it = listed_.find(foldCase(target));
        if (it == listed_.end()) continue;
        const ListedEntry& e = it->second;
        list(link.name, e.codec, e.offset, e.packedSize, e.size, link.time, e.checks);
    }
}

// ---- Format 1.5-4.x -----------------------------------------------------------

Codec* RarReader::codecFor4(uint8_t version, uint8_t method) {
    if (method == kStoredMethod) return store_;
    switch (version) {
        case 15: return findCodec(u"rar15");
        case 20:
        case 26: return findCodec(u"rar20");
        case 29:
        case 36: return findCodec(u"rar29");
        default: return nullptr;
    }
}

std::u16string RarReader::nameFromHeader4(const uint8_t* name, size_t size, uint16_t flags, uint8_t host) {
    std::string_view bytes(reinterpret_cast<const char*>(name), size);
    // Unix hosts store names as UTF-8 without saying so.
    if (host == kHostUnix && !(flags & kFileUnicodeName))
        if (std::optional<std::u16string> utf8 = utf8ToWide(bytes)) return *utf8;
    if (flags & kFileUnicodeName) {
        size_t zero = bytes.find('\0');
        if (zero == std::string_view::npos) return utf8ToWide(bytes).value_or(u"");
        std::u16string decoded = decodeRarUnicodeName(name, zero, name + zero + 1, size - zero - 1);
        if (!decoded.empty()) return decoded;
        bytes = bytes.substr(0, zero);
    }
    return ansiToWide(bytes).value_or(u"");
}

bool RarReader::readBlocks4() {
    position_ = kSignature4Size;
    for (;;) {
        uint8_t base[kBaseHeaderSize];
        int64_t blockStart = position_;
        if (!volume_->seek(blockStart) || !readExact(volume_.get(), base, kBaseHeaderSize)) {
            // The end of a volume without an end block: the next one, if any.
            if (isVolume_ && moveToVolume(volumeIndex_ + 1, false)) continue;
            return true;
        }
        uint8_t type = base[2];
        uint16_t flags = le16(base + 3);
        uint16_t headerSize = le16(base + 5);
        if (headerSize < kBaseHeaderSize) return true;
        std::vector<uint8_t> header(headerSize);
        std::memcpy(header.data(), base, kBaseHeaderSize);
        if (!readExact(volume_.get(), header.data() + kBaseHeaderSize, headerSize - kBaseHeaderSize)) return true;
        int64_t next = blockStart + headerSize;

        if (type == kMainBlock) {
            if (flags & kMainEncryptedHeaders) return false;
            isVolume_ = flags & kMainVolume;
            solid_ = flags & kMainSolid;
            newNumbering_ = flags & kMainNewNumbering;
            if (!sawMain_) {
                sawMain_ = true;
                if (isVolume_ && newNumbering_ && restartAtFirstVolume()) continue;
                volumeIndex_ = newNumbering_ ? 0 : volumeIndexFromName();
                startedMidSet_ = volumeIndex_ > 0;
            }
        } else if (type == kFileBlock || type == kSubBlock) {
            if (flags & kFileEncrypted) return false;
            if (headerSize < kFileHeaderFixed) return true;
            if (!readFileHeader4(header, flags, next, &next)) return true;
        } else if (type == kEndBlock) {
            HeaderCursor h(header.data() + kBaseHeaderSize, headerSize - kBaseHeaderSize);
            uint16_t number = 0;
            if (flags & kEndDataCrc) h.skip(4);
            if (!(flags & kEndVolumeNumber) || !h.u16(&number)) number = static_cast<uint16_t>(volumeIndex_);
            if (!(flags & kEndNextVolume) || !isVolume_) return true;
            if (!moveToVolume(uint64_t{number} + 1, false)) return true;
            continue;
        } else if (type >= kFirstSkippedBlock && type <= kLastSkippedBlock) {
            if (flags & kBlockHasData) {
                if (headerSize < kBaseHeaderSize + 4) return true;
                next += le32(header.data() + kBaseHeaderSize);
            }
        } else {
            return true;
        }
        position_ = next;
    }
}

bool RarReader::readFileHeader4(const std::vector<uint8_t>& header, uint16_t flags, int64_t dataStart,
                                int64_t* next) {
    HeaderCursor h(header.data() + kBaseHeaderSize, header.size() - kBaseHeaderSize);
    uint32_t packedLow, unpackedLow, crc, dosTime, attributes, packedHigh = 0, unpackedHigh = 0;
    uint8_t host, version, method;
    uint16_t nameSize;
    h.u32(&packedLow);
    h.u32(&unpackedLow);
    h.u8(&host);
    h.u32(&crc);
    h.u32(&dosTime);
    h.u8(&version);
    h.u8(&method);
    h.u16(&nameSize);
    h.u32(&attributes);
    if ((flags & kFileLargeSizes) && (!h.u32(&packedHigh) || !h.u32(&unpackedHigh))) return false;
    if (h.left() < nameSize) return false;
    uint64_t packed = uint64_t{packedHigh} << 32 | packedLow;
    if (packed > uint64_t{INT64_MAX} - static_cast<uint64_t>(dataStart)) return false;
    *next = dataStart + static_cast<int64_t>(packed);
    if (header[2] == kSubBlock) return true;

    FileRecord file;
    file.name = nameFromHeader4(h.here(), nameSize, flags, host);
    if (file.name.empty()) return true;
    file.time = timeFromDosPacked(dosTime);
    file.checks.crc = crc;
    file.unpackedSize = uint64_t{unpackedHigh} << 32 | unpackedLow;
    file.directory = (flags & kFileDirectoryMask) == kFileDirectoryMask;
    file.stored = method == kStoredMethod;
    file.codec = codecFor4(version, method);
    // Before version 2.0 the archive's solid flag alone makes a group.
    file.solid = version >= 20 ? (flags & kFileSolid) != 0 : solid_ && group_.has_value();
    return takePart(std::move(file), flags & kFileFromPrevious, flags & kFileToNext, dataStart,
                    static_cast<int64_t>(packed));
}

// ---- Format 5.0 ---------------------------------------------------------------

bool RarReader::readBlocks5() {
    position_ = kSignature5Size;
    for (;;) {
        // The CRC and a header size of at most three bytes (2 MiB).
        uint8_t prefix[4 + 3];
        int64_t blockStart = position_;
        if (!volume_->seek(blockStart)) return true;
        int got = volume_->read(prefix, sizeof prefix);
        if (got < 5) return true;
        HeaderCursor sizeField(prefix + 4, std::min<size_t>(static_cast<size_t>(got) - 4, 3));
        uint64_t headerSize;
        if (!sizeField.vint(&headerSize) || headerSize == 0 || headerSize > kMaxHeader5) return true;
        int64_t headerStart = blockStart + 4 + static_cast<int64_t>(sizeField.position());
        std::vector<uint8_t> header(static_cast<size_t>(headerSize));
        if (!volume_->seek(headerStart) || !readExact(volume_.get(), header.data(), static_cast<int>(headerSize)))
            return true;
        HeaderCursor h(header.data(), header.size());
        uint64_t type, flags, extraSize = 0, dataSize = 0;
        if (!h.vint(&type) || !h.vint(&flags)) return true;
        if ((flags & kHeaderExtra) && !h.vint(&extraSize)) return true;
        if ((flags & kHeaderData) && !h.vint(&dataSize)) return true;
        if (extraSize > header.size()) return true;
        int64_t dataStart = headerStart + static_cast<int64_t>(headerSize);
        if (dataSize > uint64_t{INT64_MAX} - static_cast<uint64_t>(dataStart)) return true;
        int64_t next = dataStart + static_cast<int64_t>(dataSize);

        if (type == kMain5) {
            uint64_t archiveFlags, number = 0;
            if (!h.vint(&archiveFlags)) return true;
            if ((archiveFlags & kArchiveVolumeNumber) && !h.vint(&number)) return true;
            isVolume_ = archiveFlags & kArchiveVolume;
            solid_ = archiveFlags & kArchiveSolid;
            newNumbering_ = true;
            if (!sawMain_) {
                sawMain_ = true;
                if (isVolume_ && number != 0 && restartAtFirstVolume()) continue;
                volumeIndex_ = number;
                startedMidSet_ = number > 0;
            } else if (number != volumeIndex_) {
                return true;
            }
        } else if (type == kFile5) {
            if (!readFileHeader5(h, flags, dataStart, dataSize, header.size() - extraSize)) return !refused_;
        } else if (type == kEncryption5) {
            return false;
        } else if (type == kEnd5) {
            uint64_t endFlags;
            if (!h.vint(&endFlags) || !(endFlags & kEndNextVolume) || !isVolume_) return true;
            if (!moveToVolume(volumeIndex_ + 1, false)) return true;
            continue;
        }
        // Other types are skipped by their sizes: a newer writer's blocks.
        position_ = next;
    }
}

bool RarReader::readExtraRecords5(HeaderCursor& h, FileRecord* file) {
    while (h.left() > 0) {
        uint64_t size, type;
        if (!h.vint(&size) || size == 0 || size > h.left()) return true;
        HeaderCursor record(h.here(), static_cast<size_t>(size));
        h.skip(size);
        if (!record.vint(&type)) continue;
        if (type == kRecordEncryption) return false;
        if (type == kRecordHash) {
            uint64_t hashType;
            Blake2spDigest digest;
            if (!record.vint(&hashType) || hashType != kHashBlake2sp || record.left() < digest.size()) continue;
            std::memcpy(digest.data(), record.here(), digest.size());
            file->checks.blake2sp = digest;
        } else if (type == kRecordTime) {
            uint64_t timeFlags;
            if (!record.vint(&timeFlags) || !(timeFlags & 0x2)) continue;
            if (timeFlags & 0x1) {
                uint32_t unixTime;
                if (record.u32(&unixTime)) file->time = unixTime;
            } else {
                uint64_t filetime;
                if (record.u64(&filetime)) file->time = timeFromFiletime(filetime);
            }
        } else if (type == kRecordRedirection) {
            uint64_t kind, linkFlags, nameLength;
            if (!record.vint(&kind) || !record.vint(&linkFlags) || !record.vint(&nameLength) ||
                nameLength > record.left())
                continue;
            std::string_view target(reinterpret_cast<const char*>(record.here()), static_cast<size_t>(nameLength));
            if (kind == kRedirectionHardLink || kind == kRedirectionFileCopy)
                file->linkTarget = utf8ToWide(target).value_or(u"");
            file->link = file->linkTarget.empty();
        }
    }
    return true;
}

bool RarReader::readFileHeader5(HeaderCursor& h, uint64_t headerFlags, int64_t dataStart, uint64_t dataSize,
                                size_t extraStart) {
    uint64_t fileFlags, unpackedSize, attributes, compression, host, nameLength;
    uint32_t mtime = 0, crc = 0;
    if (!h.vint(&fileFlags) || !h.vint(&unpackedSize) || !h.vint(&attributes)) return false;
    if ((fileFlags & kFile5Time) && !h.u32(&mtime)) return false;
    if ((fileFlags & kFile5Crc) && !h.u32(&crc)) return false;
    if (!h.vint(&compression) || !h.vint(&host) || !h.vint(&nameLength)) return false;
    if (nameLength > h.left() || h.position() + nameLength > extraStart) return false;
    if ((compression & 0x3F) != 0) return false;  // an algorithm this reader does not know

    FileRecord file;
    file.name = utf8ToWide(std::string_view(reinterpret_cast<const char*>(h.here()), nameLength)).value_or(u"");
    h.skip(nameLength);
    file.time = mtime;
    if (fileFlags & kFile5Crc) file.checks.crc = crc;
    file.unpackedSize = unpackedSize;
    file.directory = fileFlags & kFile5Directory;
    file.solid = compression & 0x40;
    file.stored = ((compression >> 7) & 7) == 0;
    file.codec = findCodec(u"rar50");
    file.dictionary = rar5DictionarySize(compression);
    HeaderCursor extra(h.here() + (extraStart - h.position()), h.left() - (extraStart - h.position()));
    if (!readExtraRecords5(extra, &file)) {
        refused_ = true;
        return false;
    }
    if (file.link) file.unpackedSize = 0;
    if (file.name.empty()) return true;
    if (unpackedSize > uint64_t{INT64_MAX} / 2) return false;
    return takePart(std::move(file), headerFlags & kHeaderFromPrevious, headerFlags & kHeaderToNext, dataStart,
                    static_cast<int64_t>(dataSize));
}

}  // namespace

Archive* openRar(const char16_t* name, Archive* container, InStream* stream) {
    Layout layout = layoutAt(stream, 0);
    if (layout == Layout::None) return nullptr;
    Ref<ConcatStream> data(new (std::nothrow) ConcatStream(stream->name(), nullptr, stream->tag()));
    if (!data) return nullptr;
    Ref<Archive> archive(newArchive(name, container, data.get()));
    if (!archive) return nullptr;
    RarReader reader(archive.get(), data.get(), name, stream);
    if (!reader.read(layout)) return nullptr;
    return archive.detach();
}

}  // namespace zorvex
