// gzip: one entry, the data of every member joined, decoded by the "gzip"
// codec. The reader takes the entry's name from the first member's header.
#include <algorithm>

#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/format_registry.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {
namespace {

constexpr uint8_t kMagic[2] = {0x1F, 0x8B};

// Small buffered reader for the header fields.
class HeaderReader {
public:
    explicit HeaderReader(InStream* stream) : stream_(stream) {}
    bool byte(uint8_t* b) {
        if (pos_ == fill_) {
            consumedBefore_ += fill_;
            fill_ = std::max(stream_->read(buf_, sizeof buf_), 0);
            pos_ = 0;
            if (fill_ == 0) return false;
        }
        *b = buf_[pos_++];
        return true;
    }
    bool skip(int count) {
        uint8_t b;
        while (count-- > 0)
            if (!byte(&b)) return false;
        return true;
    }
    // A zero-terminated field; only its first `keep` bytes are stored.
    bool text(std::string* out, size_t keep) {
        uint8_t b;
        while (byte(&b)) {
            if (b == 0) return true;
            if (out && out->size() < keep) out->push_back(static_cast<char>(b));
        }
        return false;
    }
    int64_t consumed() const { return consumedBefore_ + pos_; }

private:
    InStream* stream_;
    uint8_t buf_[4096];
    int fill_ = 0;
    int pos_ = 0;
    int64_t consumedBefore_ = 0;
};

struct GzipHeader {
    int64_t dataStart = 0;
    std::string storedName;
};

constexpr uint8_t kFlagHeaderCrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08, kFlagComment = 0x10;

bool readHeader(InStream* stream, GzipHeader* header) {
    if (!stream->seek(0)) return false;
    HeaderReader in(stream);
    uint8_t magic1, magic2, method, flags;
    if (!in.byte(&magic1) || !in.byte(&magic2) || !in.byte(&method) || !in.byte(&flags)) return false;
    if (magic1 != kMagic[0] || magic2 != kMagic[1] || method != 8) return false;
    if (!in.skip(6)) return false;
    if (flags & kFlagExtra) {
        uint8_t length[2];
        if (!in.byte(&length[0]) || !in.byte(&length[1]) || !in.skip(le16(length))) return false;
    }
    if ((flags & kFlagName) && !in.text(&header->storedName, 4096)) return false;
    if ((flags & kFlagComment) && !in.text(nullptr, 0)) return false;
    if ((flags & kFlagHeaderCrc) && !in.skip(2)) return false;
    header->dataStart = in.consumed();
    return true;
}

// The stored name without any folders it names.
std::u16string storedEntryName(const std::string& stored) {
    size_t cut = stored.find_last_of("/\\");
    std::string base = cut == std::string::npos ? stored : stored.substr(cut + 1);
    if (base.empty() || base == "." || base == "..") return {};
    if (auto wide = utf8ToWide(base)) return *wide;
    return ansiToWide(base).value_or(std::u16string());
}

}  // namespace

Archive* openGzip(const char16_t* name, Archive* container, InStream* stream) {
    GzipHeader header;
    int64_t fileSize = stream->size();
    Archive* archive = newArchive(name, container, stream);
    if (!archive || !readHeader(stream, &header) || header.dataStart >= fileSize - 8) return archive;

    std::u16string ownName = singleEntryName(stream, {{u".gz", u""}, {u".tgz", u".tar"}}, u"gz.out");
    std::u16string entryName = storedEntryName(header.storedName);
    if (entryName.empty()) entryName = ownName;
    // Each member's CRC and size are checked while decoding.
    addEntry(archive, findCodec(u"gzip"), entryName, 0, fileSize, -1, stream->tag());
    // A .tgz holds a tar even where gzip stored another name for it
    // ("backup.part1"): the data then opens as the archive it is. Only then
    // is its start decoded, so a plain data.csv.gz costs nothing more.
    if (!isArchiveName(entryName.c_str()) && isArchiveName(ownName.c_str()) && archive->fileCount() == 1) {
        std::u16string listed = archive->fileName(0);
        Ref<InStream> data(archive->openFile(0));
        if (startsWithArchive(data.get())) markHoldsArchive(archive, listed);
    }
    return archive;
}

}  // namespace zorvex
