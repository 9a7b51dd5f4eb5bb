#include "formats/tar.h"

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/convert.h"
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
constexpr int kSize = 124, kMtime = 136, kNumberLength = 12;
constexpr int kType = 156;
constexpr int kLinkName = 157;
constexpr int kPrefix = 345, kPrefixLength = 155;

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
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (std::string_view part : parts) {
        if (!out.empty()) out += '/';
        out += part;
    }
    if (!out.empty() && name.back() == '/') out += '/';
    return out;
}

std::u16string toWide(const std::string& name) {
    if (auto wide = utf8ToWide(name)) return *wide;
    return ansiToWide(name).value_or(std::u16string());
}

struct FileData {
    int64_t offset;
    int64_t size;
};

struct SymbolicLink {
    std::string path;
    std::string target;
};

// Attributes that a GNU long-name record or a pax header sets for the next entry.
struct Pending {
    std::optional<std::string> path, linkPath;
    std::optional<int64_t> size, mtime;
};

class TarReader {
public:
    TarReader(Archive* archive, InStream* stream) : archive_(archive), stream_(stream), store_(findCodec(u"store")) {}

    void run() {
        uint8_t header[kBlock];
        for (int64_t at = 0;;) {
            if (!stream_->seek(at) || !readExact(stream_, header, kBlock)) break;
            std::optional<int64_t> next = entry(header, at);
            if (!next) break;
            at = *next;
        }
        addSymbolicLinks();
    }

private:
    // Handles one header at `at`; the position of the next one, or nullopt
    // when the archive is damaged there.
    std::optional<int64_t> entry(const uint8_t* header, int64_t at) {
        std::optional<int64_t> headerSize = parseNumber(header + kSize, kNumberLength);
        if (!headerSize || *headerSize < 0 || *headerSize > kMaxSize) return std::nullopt;
        int64_t dataStart = at + kBlock;
        int64_t next = dataStart + (*headerSize + kBlock - 1) / kBlock * kBlock;
        char type = static_cast<char>(header[kType]);

        switch (type) {
            case 'L':
                pending_.path = readText(dataStart, *headerSize);
                return next;
            case 'K':
                pending_.linkPath = readText(dataStart, *headerSize);
                return next;
            case 'x':
                readPax(dataStart, *headerSize);
                return next;
            case 'g':
                return next;
        }

        Pending attributes = std::move(pending_);
        pending_ = {};
        std::string name = attributes.path ? *attributes.path : headerName(header);
        int64_t size = attributes.size.value_or(*headerSize);
        if (attributes.size) {
            if (size < 0 || size > kMaxSize) return std::nullopt;
            next = dataStart + (size + kBlock - 1) / kBlock * kBlock;
        }
        int64_t time = attributes.mtime ? *attributes.mtime : parseNumber(header + kMtime, kNumberLength).value_or(0);
        if (name.empty()) return next;
        std::string path = normalizeName(name);
        if (path.empty()) return next;
        std::string linkTarget =
            attributes.linkPath ? *attributes.linkPath : field(header, kLinkName, kNameLength);

        switch (type) {
            case 0:
            case '0':
            case '7':  // contiguous file: a regular file everywhere else
                if (!path.empty() && path.back() == '/') addFolder(path, time);  // old-style folder
                else addFile(path, dataStart, size, time);
                break;
            case '1':  // hard link: the content of the earlier file of that name
                if (auto it = files_.find(normalizeName(linkTarget)); it != files_.end())
                    addFile(path, it->second.offset, it->second.size, time);
                break;
            case '2':
                links_.push_back({path, resolveLink(path, linkTarget)});
                break;
            case '5':
                addFolder(path.back() == '/' ? path : path + '/', time);
                break;
        }
        return next;
    }

    static std::string headerName(const uint8_t* header) {
        std::string name = field(header, kName, kNameLength);
        std::string prefix = field(header, kPrefix, kPrefixLength);
        return prefix.empty() ? name : prefix + "/" + name;
    }

    void addFolder(const std::string& path, int64_t time) {
        if (path != "/") addEntry(archive_, nullptr, toWide(path), 0, 0, 0, time);
    }

    void addFile(const std::string& path, int64_t offset, int64_t size, int64_t time) {
        if (path.empty() || path.back() == '/') return;
        addEntry(archive_, store_, toWide(path), offset, size, size, time);
        files_.try_emplace(path, FileData{offset, size});
    }

    // A relative link target is relative to the link's folder.
    static std::string resolveLink(const std::string& path, const std::string& target) {
        if (target.empty() || target[0] == '/') return normalizeName(target);
        size_t slash = path.rfind('/');
        return normalizeName(slash == std::string::npos ? target : path.substr(0, slash + 1) + target);
    }

    // A link to a file in the archive lists with that file's content; links to
    // links resolve as far as the chain goes.
    void addSymbolicLinks() {
        constexpr int kMaxChain = 16;
        bool progress = true;
        for (int pass = 0; pass < kMaxChain && progress && !links_.empty(); ++pass) {
            progress = false;
            for (size_t i = 0; i < links_.size();) {
                auto it = files_.find(links_[i].target);
                if (it == files_.end()) {
                    ++i;
                    continue;
                }
                FileData data = it->second;
                addFile(links_[i].path, data.offset, data.size, 0);
                links_[i] = std::move(links_.back());
                links_.pop_back();
                progress = true;
            }
        }
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

    // Records "<length> <key>=<value>\n".
    void readPax(int64_t offset, int64_t size) {
        std::string data;
        if (!load(offset, size, &data)) return;
        size_t pos = 0;
        while (pos < data.size()) {
            size_t space = data.find(' ', pos);
            if (space == std::string::npos) return;
            uint64_t length = 0;
            for (size_t i = pos; i < space; ++i) {
                if (data[i] < '0' || data[i] > '9' || length > data.size()) return;
                length = length * 10 + (data[i] - '0');
            }
            if (length <= space - pos || pos + length > data.size()) return;
            std::string_view record(data.data() + space + 1, pos + length - space - 1);
            if (!record.empty() && record.back() == '\n') record.remove_suffix(1);
            size_t equals = record.find('=');
            if (equals != std::string_view::npos) paxRecord(record.substr(0, equals), record.substr(equals + 1));
            pos += length;
        }
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

    Archive* archive_;
    InStream* stream_;
    Codec* store_;
    Pending pending_;
    std::unordered_map<std::string, FileData> files_;
    std::vector<SymbolicLink> links_;
};

}  // namespace

Archive* openTar(const char16_t* name, Archive* container, InStream* stream) {
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    TarReader(archive, stream).run();
    return archive;
}

}  // namespace zorvex
