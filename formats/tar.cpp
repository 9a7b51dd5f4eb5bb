#include "formats/tar.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/format_registry.h"
#include "engine/path_clean.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

constexpr int kBlock = 512;
// Long names and pax records larger than this are skipped, not loaded.
constexpr int64_t kMaxMetadata = 1 << 20;
// Sizes beyond this cannot be real and would overflow the offset arithmetic.
constexpr int64_t kMaxSize = int64_t(1) << 56;

// Header field offsets.
constexpr int kName = 0, kNameLength = 100;
constexpr int kMode = 100, kModeLength = 8;
constexpr int kSize = 124, kMtime = 136, kNumberLength = 12;
constexpr int kChecksum = 148, kChecksumLength = 8;
constexpr int kType = 156;
constexpr int kLinkName = 157;
constexpr int kMagic = 257;
constexpr int kPrefix = 345, kPrefixLength = 155;

bool isZeroBlock(const uint8_t* block) {
    return std::all_of(block, block + kBlock, [](uint8_t b) { return b == 0; });
}

// The sum of a header's bytes, with the checksum field counted as spaces, is
// the octal number in that field (old writers summed signed bytes).
bool checksumHolds(const uint8_t* header) {
    int i = kChecksum;
    while (i < kChecksum + kChecksumLength && header[i] == ' ') ++i;
    int digitsStart = i;
    int64_t stored = 0;
    for (; i < kChecksum + kChecksumLength && header[i] >= '0' && header[i] <= '7'; ++i)
        stored = stored * 8 + (header[i] - '0');
    if (i == digitsStart || (i < kChecksum + kChecksumLength && header[i] != ' ' && header[i] != 0)) return false;
    // Summed whole in a straight loop (which the compiler vectorises: a
    // listing checks every header), then the checksum field's bytes taken out
    // again. The signed sum is needed only for the rare old header.
    int32_t unsignedSum = 0;
    for (int k = 0; k < kBlock; ++k) unsignedSum += header[k];
    for (int k = kChecksum; k < kChecksum + kChecksumLength; ++k) unsignedSum += ' ' - header[k];
    if (stored == unsignedSum) return true;
    int32_t signedSum = 0;
    for (int k = 0; k < kBlock; ++k) signedSum += static_cast<int8_t>(header[k]);
    for (int k = kChecksum; k < kChecksum + kChecksumLength; ++k) signedSum += ' ' - static_cast<int8_t>(header[k]);
    return stored == signedSum;
}

std::string field(const uint8_t* header, int offset, int length) {
    const char* p = reinterpret_cast<const char*>(header + offset);
    return std::string(p, strnlen(p, length));
}

// A numeric field: octal text (leading spaces, ending at a space or zero) or,
// with the high bit of the first byte set, a big-endian base-256 number whose
// next bit is the sign. Nullopt when it does not fit in 63 bits.
std::optional<int64_t> parseNumber(const uint8_t* p, int length) {
    if (p[0] & 0x80) {
        if (p[0] & 0x40) {
            // Negative (times before 1970): two's complement, sign-extended.
            for (int i = 0; i < length - 8; ++i)
                if ((p[i] | 0x80) != 0xFF) return std::nullopt;
            uint64_t value = 0;
            for (int i = length - 8; i < length; ++i) value = value << 8 | p[i];
            return static_cast<int64_t>(value) < 0 ? std::optional<int64_t>(static_cast<int64_t>(value))
                                                   : std::nullopt;
        }
        uint64_t value = p[0] & 0x3F;
        for (int i = 1; i < length; ++i) {
            if (value >> 55) return std::nullopt;
            value = value << 8 | p[i];
        }
        return int64_t(value);
    }
    int i = 0;
    while (i < length && p[i] == ' ') ++i;
    uint64_t value = 0;
    for (; i < length && p[i] >= '0' && p[i] <= '7'; ++i) {
        if (value >> 60) return std::nullopt;
        value = value * 8 + (p[i] - '0');
    }
    // The digits end at a space or zero byte (what follows is ignored); any
    // other byte means this is not a header.
    if (i < length && p[i] != ' ' && p[i] != 0) return std::nullopt;
    return int64_t(value);
}

// Removes empty and "." components and resolves ".." without ever leaving the
// root. A trailing "/" (a folder) is kept.
std::string normalizeName(std::string_view name) {
    if (isResolvedPath(name)) return std::string(name);
    std::string out;
    for (std::string_view part : resolvePath(name)) {
        if (!out.empty()) out += '/';
        out += part;
    }
    if (!out.empty() && name.back() == '/') out += '/';
    return out;
}

std::u16string toWide(const std::string& name) {
    if (auto wide = utf8ToWide(name)) return std::move(*wide);
    return ansiToWide(name).value_or(std::u16string());
}

struct FileData {
    int64_t offset;
    int64_t size;
};

struct SymbolicLink {
    std::string path;
    std::string target;    // as stored
    std::string resolved;  // from the archive's root
    int64_t time;
    std::optional<uint32_t> mode;
};

// A sparse file: its real size and the (offset, length) pieces that hold
// data, stored back to back in the archive; the rest reads as zeros.
struct SparseMap {
    int64_t realSize = -1;
    std::vector<std::pair<int64_t, int64_t>> pieces;
    bool mapInData = false;  // format 1.0: the map opens the stored data
};

// Attributes that a GNU long-name record or a pax header sets for the next entry.
struct Pending {
    std::optional<std::string> path, linkPath;
    std::optional<int64_t> size, mtime;
    std::optional<SparseMap> sparse;
};

// Entries are added once the scan is over, when it is known which stream the
// archive reads (the file, or the file followed by expanded sparse files).
struct ListedEntry {
    bool folder;
    std::string path;
    int64_t offset, size, time;
    bool damaged = false;  // listed, but its data cannot be read
    std::optional<uint32_t> mode = std::nullopt;
    LinkKind link = LinkKind::kNone;
    std::string linkTarget = {};
};

// Endless zeros: the holes of sparse files.
class ZeroStream final : public InStream {
public:
    ZeroStream() : InStream(u"", nullptr, 0) {}
    int64_t tell() override { return position_; }
    bool seek(int64_t position) override {
        if (position < 0) return false;
        position_ = position;
        return true;
    }
    int read(void* buf, int count) override {
        if (!buf || count <= 0) return 0;
        std::memset(buf, 0, static_cast<size_t>(count));
        position_ += count;
        return count;
    }
    int64_t size() override { return INT64_MAX; }

private:
    int64_t position_ = 0;
};

// Old GNU sparse headers: 4 pieces in the header, 21 per extension block.
constexpr int kGnuPieces = 386, kGnuExtended = 482, kGnuRealSize = 483;
constexpr int kPiecesPerExtension = 21, kExtensionFlag = 504;
// More pieces than this (in one map or in all) are treated as damage.
constexpr size_t kMaxPieces = 1 << 20;

class TarReader {
public:
    explicit TarReader(InStream* stream) : stream_(stream) {}

    Archive* run(const char16_t* name, Archive* container) {
        scan();
        addSymbolicLinks();
        Archive* archive = newArchive(name, container, expanded_ ? expanded_.get() : stream_);
        if (!archive) return nullptr;
        Codec* store = findCodec(u"store");
        for (const ListedEntry& e : listed_) {
            Codec* codec = e.folder ? nullptr : e.damaged ? damagedEntryCodec() : store;
            EntryMetadata metadata{e.mode, e.link, toWide(e.linkTarget)};
            std::replace(metadata.linkTarget.begin(), metadata.linkTarget.end(), u'/', u'\\');
            addEntry(archive, codec, toWide(e.path), e.offset, e.size, e.size, e.time, std::nullopt, Status(),
                     std::nullopt, std::move(metadata));
        }
        if (!damage_.empty()) archive->markDamaged(damage_);
        return archive;
    }

private:
    // Reads header after header to the end of the stream. Every header before
    // the end-of-archive zeros must pass its checksum; what follows them may
    // be anything (tapes and writers pad archives so), and is read only while
    // it holds headers.
    void scan() {
        reserveListing();
        uint8_t header[kBlock];
        bool ended = false;
        int64_t at = 0;
        for (;;) {
            int got = stream_->seek(at) ? readBlock(header) : 0;
            if (got == 0) break;
            if (got < kBlock) {
                if (!ended) damage_ = "archive cut inside a header";
                return;
            }
            if (isZeroBlock(header)) {
                ended = true;
                at += kBlock;
                continue;
            }
            if (!checksumHolds(header)) {
                if (!ended) damage_ = "header checksum mismatch at offset " + std::to_string(at);
                return;
            }
            std::optional<int64_t> next = entry(header, at);
            if (!next) return;
            at = *next;
        }
        // The last entry's data must be there in full. An archive that then
        // stops at a block's end without end blocks is whole as far as anyone
        // can tell (some writers leave them out); one that stops inside the
        // padding was cut, and what followed is lost.
        int64_t size = stream_->size();
        if (size >= 0 && dataEnd_ > size)
            damage_ = "archive cut inside an entry's data";
        else if (size >= 0 && !ended && size % kBlock != 0)
            damage_ = "archive cut after an entry's data";
    }

    // Room for as many entries as the archive's size allows (two blocks
    // each), up to a bound: a listing of many small files then never moves
    // the entries gathered so far. Memory never written is never touched.
    // Only a size already known counts: learning it would read a pipe whole.
    void reserveListing() {
        constexpr int64_t kMaxReserved = 1 << 18;
        int64_t size = stream_->knownSize();
        if (size > 0) listed_.reserve(static_cast<size_t>(std::min(size / (2 * kBlock) + 1, kMaxReserved)));
    }

    // Reads up to a block; the count read.
    int readBlock(uint8_t* block) {
        int got = 0;
        while (got < kBlock) {
            int n = stream_->read(block + got, kBlock - got);
            if (n <= 0) break;
            got += n;
        }
        return got;
    }

    // Handles one header at `at`; the position of the next one, or nullopt
    // when the archive is damaged there (`damage_` says how).
    std::optional<int64_t> entry(const uint8_t* header, int64_t at) {
        std::optional<int64_t> headerSize = parseNumber(header + kSize, kNumberLength);
        if (!headerSize || *headerSize < 0 || *headerSize > kMaxSize) return damaged("header has an invalid size");
        int64_t dataStart = at + kBlock;
        int64_t next = dataStart + (*headerSize + kBlock - 1) / kBlock * kBlock;
        char type = static_cast<char>(header[kType]);
        // Links and folders may state a size but store no data.
        bool storesData = type != '1' && type != '2' && type != '5';
        dataEnd_ = storesData ? dataStart + *headerSize : dataStart;

        switch (type) {
            case 'L':
                pending_.path = readText(dataStart, *headerSize);
                return next;
            case 'K':
                pending_.linkPath = readText(dataStart, *headerSize);
                return next;
            case 'x':
            case 'X':  // the same records under the type some older writers use
                if (!readPax(dataStart, *headerSize)) return damaged("extended header record does not parse");
                return next;
            case 'g':
                return next;
        }

        Pending attributes = std::move(pending_);
        pending_ = {};
        std::string name = attributes.path ? *attributes.path : headerName(header);
        int64_t size = attributes.size.value_or(*headerSize);
        if (attributes.size) {
            if (size < 0 || size > kMaxSize) return damaged("extended header has an invalid size");
            next = dataStart + (size + kBlock - 1) / kBlock * kBlock;
            if (storesData) dataEnd_ = dataStart + size;
        }
        int64_t time = attributes.mtime ? *attributes.mtime : parseNumber(header + kMtime, kNumberLength).value_or(0);
        if (name.empty()) return next;
        std::string path = normalizeName(name);
        if (path.empty() && holdsFileData(type, size)) path.push_back('.');  // listed under the archive's stem
        if (path.empty()) return next;
        std::string linkTarget =
            attributes.linkPath ? *attributes.linkPath : field(header, kLinkName, kNameLength);
        std::optional<int64_t> storedMode = parseNumber(header + kMode, kModeLength);
        mode_ = storedMode ? std::optional<uint32_t>(uint32_t(*storedMode) & 07777) : std::nullopt;

        if (type == 'S') {
            attributes.sparse = gnuSparseMap(header, &dataStart, &next);
            if (!attributes.sparse) return damaged("sparse map does not parse");
            dataEnd_ = dataStart + size;
        }
        switch (type) {
            case 0:
            case '0':
            case '7':  // contiguous file: a regular file everywhere else
            case 'S':
                if (path.back() == '/') addFolder(path, time);  // old-style folder
                else if (attributes.sparse) addSparseFile(path, dataStart, size, *attributes.sparse, time);
                else {
                    stream_->keepApart(dataStart, size);
                    addFile(path, dataStart, size, time);
                }
                break;
            case '1': {  // hard link: the content of the earlier file of that name
                std::string target = normalizeName(linkTarget);
                if (auto it = files().find(target); it != files_.end())
                    addFile(path, it->second.offset, it->second.size, time, LinkKind::kHard, target);
                else if (path.back() != '/')  // listed, but nothing in the archive gives its data
                    listed_.push_back({false, path, 0, 0, time, true, mode_, LinkKind::kHard, target});
                break;
            }
            case '2':
                links_.push_back({path, linkTarget, resolveLink(path, linkTarget), time, mode_});
                break;
            case '5':
            case 'D':  // an incremental dump's folder: its data lists the names it held
                addFolder(path.back() == '/' ? path : path + '/', time);
                break;
            default:  // a type no writer here is known for: its data as a regular file, not lost
                if (!holdsNoFile(type) && path.back() != '/') {
                    stream_->keepApart(dataStart, size);
                    addFile(path, dataStart, size, time);
                }
                break;
        }
        return next;
    }

    // The old GNU layout keeps times and sparse data where ustar has the
    // name prefix: the prefix counts only for headers that are not GNU's.
    static std::string headerName(const uint8_t* header) {
        std::string name = field(header, kName, kNameLength);
        if (std::memcmp(header + kMagic, "ustar  ", 8) == 0) return name;
        std::string prefix = field(header, kPrefix, kPrefixLength);
        return prefix.empty() ? name : prefix + "/" + name;
    }

    // A name like "." or ".." on a file with data would name the root: the
    // data is kept under another name rather than dropped.
    static bool holdsFileData(char type, int64_t size) {
        return size > 0 && (type == 0 || type == '0' || type == '7' || type == 'S');
    }

    // Devices, fifos, volume labels, continuations of a file begun on another
    // volume, old renaming records and vendor metadata (ACLs, attributes).
    static bool holdsNoFile(char type) { return type != 0 && std::strchr("346VMNAEI", type) != nullptr; }

    void addFolder(const std::string& path, int64_t time) {
        if (path != "/") listed_.push_back({true, path, 0, 0, time, false, mode_});
    }

    void addFile(const std::string& path, int64_t offset, int64_t size, int64_t time,
                 LinkKind link = LinkKind::kNone, std::string linkTarget = {}) {
        if (path.empty() || path.back() == '/') return;
        listed_.push_back({false, path, offset, size, time, false, mode_, link, std::move(linkTarget)});
        if (filesIndexed_) files_.insert_or_assign(path, FileData{offset, size});
    }

    // The files listed so far by path, for links. Built on the first link:
    // most archives have none and need not pay for the index.
    const std::unordered_map<std::string, FileData>& files() {
        if (!filesIndexed_) {
            for (const ListedEntry& e : listed_)
                if (!e.folder && !e.damaged) files_.insert_or_assign(e.path, FileData{e.offset, e.size});
            filesIndexed_ = true;
        }
        return files_;
    }

    // The pieces of the old GNU format: in the header, then in extension
    // blocks before the data (which moves `dataStart` and `next`).
    std::optional<SparseMap> gnuSparseMap(const uint8_t* header, int64_t* dataStart, int64_t* next) {
        SparseMap map;
        std::optional<int64_t> realSize = parseNumber(header + kGnuRealSize, kNumberLength);
        if (!realSize) return std::nullopt;
        map.realSize = *realSize;
        if (!addPieces(&map, header + kGnuPieces, 4)) return std::nullopt;
        bool extended = header[kGnuExtended] != 0;
        uint8_t block[kBlock];
        while (extended) {
            if (map.pieces.size() > kMaxPieces || !stream_->seek(*dataStart) || !readExact(stream_, block, kBlock) ||
                !addPieces(&map, block, kPiecesPerExtension))
                return std::nullopt;
            extended = block[kExtensionFlag] != 0;
            *dataStart += kBlock;
            *next += kBlock;
        }
        return map;
    }

    static bool addPieces(SparseMap* map, const uint8_t* entries, int count) {
        for (int i = 0; i < count; ++i) {
            const uint8_t* entry = entries + i * 2 * kNumberLength;
            if (entry[0] == 0) break;
            std::optional<int64_t> offset = parseNumber(entry, kNumberLength);
            std::optional<int64_t> length = parseNumber(entry + kNumberLength, kNumberLength);
            if (!offset || !length) return false;
            map->pieces.emplace_back(*offset, *length);
        }
        return true;
    }

    // Format 1.0 keeps the map as decimal lines at the start of the data:
    // the count, then offset and length per piece, padded to a block.
    bool readMapFromData(SparseMap* map, int64_t* dataStart, int64_t* size) {
        std::vector<int64_t> numbers;
        int64_t pos = *dataStart;
        int64_t wanted = 1;
        std::string digits;
        bool comment = false;
        uint8_t block[kBlock];
        while (int64_t(numbers.size()) < wanted) {
            if (pos - *dataStart >= *size || !stream_->seek(pos) || !readExact(stream_, block, kBlock)) return false;
            pos += kBlock;
            for (int i = 0; i < kBlock && int64_t(numbers.size()) < wanted; ++i) {
                if (comment || (digits.empty() && block[i] == '#')) {  // "#!gnu-sparse-format" and the like
                    comment = block[i] != '\n';
                    continue;
                }
                if (block[i] != '\n') {
                    if (block[i] < '0' || block[i] > '9' || digits.size() >= 18) return false;
                    digits += char(block[i]);
                    continue;
                }
                if (digits.empty()) return false;
                numbers.push_back(std::stoll(digits));
                digits.clear();
                if (numbers.size() == 1) {
                    if (numbers[0] > int64_t(kMaxPieces)) return false;
                    wanted = 1 + 2 * numbers[0];
                }
            }
        }
        for (size_t i = 1; i + 1 < numbers.size(); i += 2) map->pieces.emplace_back(numbers[i], numbers[i + 1]);
        *size -= pos - *dataStart;
        *dataStart = pos;
        return true;
    }

    // Whether a sparse map fits the archive: pieces in order and inside the
    // real size, their data stored in full, and the real size where the last
    // piece ends (writers end the map with an empty piece there when the file
    // ends in a hole). Otherwise the map could make a few bytes of archive
    // read as petabytes of zeros.
    bool mapFits(const SparseMap& map, int64_t dataStart, int64_t size) {
        if (map.realSize < 0 || map.realSize > kMaxSize) return false;
        int64_t end = 0, stored = 0;
        for (auto [offset, length] : map.pieces) {
            if (offset < end || length < 0 || length > size - stored || offset > map.realSize - length) return false;
            end = offset + length;
            stored += length;
        }
        int64_t archiveSize = stream_->size();
        return end == map.realSize && (archiveSize < 0 || stored <= archiveSize - dataStart);
    }

    // A sparse file reads from the expanded stream: its pieces from the
    // archive with zeros between them. One whose map does not fit is listed
    // as damaged.
    void addSparseFile(const std::string& path, int64_t dataStart, int64_t size, SparseMap map, int64_t time) {
        if (path.empty() || path.back() == '/') return;
        bool fits = (!map.mapInData || readMapFromData(&map, &dataStart, &size)) && mapFits(map, dataStart, size);
        if (fits) expandedPieces_ += map.pieces.size();
        if (!fits || expandedPieces_ > kMaxPieces) {
            listed_.push_back({false, path, dataStart, size, time, true});
            return;
        }
        if (!expanded_) {
            expanded_ = Ref<ConcatStream>(new (std::nothrow) ConcatStream(stream_->name(), nullptr, stream_->tag()));
            zeros_ = Ref<InStream>(new (std::nothrow) ZeroStream());
            if (!expanded_ || !zeros_ || !expanded_->appendPart(stream_, 0, stream_->size())) {
                expanded_ = {};
                return;
            }
        }
        int64_t start = expanded_->size();
        int64_t at = 0, from = dataStart;
        for (auto [offset, length] : map.pieces) {
            expanded_->appendPart(zeros_.get(), 0, offset - at);
            expanded_->appendPart(stream_, from, length);
            at = offset + length;
            from += length;
        }
        expanded_->appendPart(zeros_.get(), 0, map.realSize - at);
        addFile(path, start, map.realSize, time);
    }

    // A relative link target is relative to the link's folder.
    static std::string resolveLink(const std::string& path, const std::string& target) {
        if (target.empty() || target[0] == '/') return normalizeName(target);
        size_t slash = path.rfind('/');
        return normalizeName(slash == std::string::npos ? target : path.substr(0, slash + 1) + target);
    }

    // A link to a file in the archive lists with that file's content (what a
    // system without links gets); links to links resolve as far as the chain
    // goes. Every link is listed, whatever it points to.
    void addSymbolicLinks() {
        constexpr int kMaxChain = 16;
        bool progress = true;
        for (int pass = 0; pass < kMaxChain && progress && !links_.empty(); ++pass) {
            progress = false;
            for (size_t i = 0; i < links_.size();) {
                auto it = files().find(links_[i].resolved);
                if (it == files_.end()) {
                    ++i;
                    continue;
                }
                FileData data = it->second;
                addLink(links_[i], data.offset, data.size);
                links_[i] = std::move(links_.back());
                links_.pop_back();
                progress = true;
            }
        }
        for (const SymbolicLink& link : links_) addLink(link, 0, 0);
    }

    void addLink(const SymbolicLink& link, int64_t offset, int64_t size) {
        mode_ = link.mode;
        addFile(link.path, offset, size, link.time, LinkKind::kSymbolic, link.target);
    }

    std::optional<std::string> readText(int64_t offset, int64_t size) {
        std::string data;
        if (!load(offset, size, &data)) return std::nullopt;
        data.resize(strnlen(data.data(), data.size()));
        return data;
    }

    bool load(int64_t offset, int64_t size, std::string* out) {
        if (size > kMaxMetadata || !stream_->seek(offset)) return false;
        out->resize(static_cast<size_t>(size));
        return readExact(stream_, out->data(), static_cast<int>(size));
    }

    // Records "<length> <key>=<value>\n". False when one does not parse (zero
    // bytes after the last record are padding). Records too large to load are
    // passed over; data cut short is found by the scan.
    bool readPax(int64_t offset, int64_t size) {
        std::string data;
        if (!load(offset, size, &data)) return true;
        size_t pos = 0;
        while (pos < data.size()) {
            if (data.find_first_not_of('\0', pos) == std::string::npos) return true;
            size_t space = data.find(' ', pos);
            if (space == std::string::npos || space == pos) return false;
            uint64_t length = 0;
            for (size_t i = pos; i < space; ++i) {
                if (data[i] < '0' || data[i] > '9' || length > data.size()) return false;
                length = length * 10 + (data[i] - '0');
            }
            if (length <= space - pos || pos + length > data.size()) return false;
            std::string_view record(data.data() + space + 1, pos + length - space - 1);
            if (!record.empty() && record.back() == '\n') record.remove_suffix(1);
            size_t equals = record.find('=');
            if (equals == std::string_view::npos) return false;
            paxRecord(record.substr(0, equals), record.substr(equals + 1));
            pos += length;
        }
        return true;
    }

    std::nullopt_t damaged(const char* reason) {
        damage_ = reason;
        return std::nullopt;
    }

    void paxRecord(std::string_view key, std::string_view value) {
        if (key == "path") {
            pending_.path = std::string(value);
        } else if (key == "linkpath") {
            pending_.linkPath = std::string(value);
        } else if (key == "size") {
            if (auto n = decimal(value)) pending_.size = *n;
        } else if (key == "mtime") {
            if (auto n = decimal(value.substr(0, value.find('.')))) pending_.mtime = *n;
        } else if (key.starts_with("GNU.sparse.")) {
            sparseRecord(key.substr(11), value);
        }
    }

    void sparseRecord(std::string_view key, std::string_view value) {
        SparseMap& map = pending_.sparse ? *pending_.sparse : pending_.sparse.emplace();
        std::optional<int64_t> number = decimal(value);
        if (key == "name") {
            pending_.path = std::string(value);
        } else if ((key == "size" || key == "realsize") && number) {
            map.realSize = *number;
        } else if (key == "major" && number) {
            map.mapInData = *number == 1;
        } else if (key == "offset" && number && map.pieces.size() < kMaxPieces) {
            map.pieces.emplace_back(*number, 0);  // format 0.0: offset, then numbytes
        } else if (key == "numbytes" && number && !map.pieces.empty()) {
            map.pieces.back().second = *number;
        } else if (key == "map") {  // format 0.1: "offset,length,offset,length..."
            std::vector<int64_t> numbers;
            for (size_t start = 0; start <= value.size() && numbers.size() < 2 * kMaxPieces;) {
                size_t comma = std::min(value.find(',', start), value.size());
                std::optional<int64_t> n = decimal(value.substr(start, comma - start));
                if (!n) break;
                numbers.push_back(*n);
                start = comma + 1;
            }
            for (size_t i = 0; i + 1 < numbers.size(); i += 2) map.pieces.emplace_back(numbers[i], numbers[i + 1]);
        }
    }

    static std::optional<int64_t> decimal(std::string_view text) {
        bool negative = !text.empty() && text[0] == '-';
        if (negative) text.remove_prefix(1);
        if (text.empty()) return std::nullopt;
        int64_t value = 0;
        for (char c : text) {
            if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return std::nullopt;
            value = value * 10 + (c - '0');
        }
        return negative ? -value : value;
    }

    InStream* stream_;
    std::string damage_;  // why the scan stopped early; empty when it did not
    int64_t dataEnd_ = 0;  // where the last entry's data ends
    Pending pending_;
    std::vector<ListedEntry> listed_;
    Ref<ConcatStream> expanded_;
    Ref<InStream> zeros_;
    size_t expandedPieces_ = 0;  // bounded over the whole archive
    std::unordered_map<std::string, FileData> files_;
    bool filesIndexed_ = false;
    std::vector<SymbolicLink> links_;
    std::optional<uint32_t> mode_;  // of the entry being read
};

}  // namespace

Archive* openTar(const char16_t* name, Archive* container, InStream* stream) {
    return TarReader(stream).run(name, container);
}

// A tar has no signature: its first header's checksum stands for one. Without
// it, a program's first bytes would pass for a header.
Bid probeTar(const ProbeInput& input) {
    uint8_t header[kBlock];
    if (input.place != ProbePlace::kStart || !input.stream->seek(input.position) ||
        !readExact(input.stream, header, kBlock))
        return Bid::kNone;
    return checksumHolds(header) ? Bid::kHeader : Bid::kNone;
}

}  // namespace zorvex
