// .lzma: 5 property bytes, the decoded size as 64-bit little-endian (all ones:
// not stored), then the data. The one entry is the data, with the property
// bytes for the "lzma" codec.
#include <vector>

#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {

namespace {
constexpr int kPropertyBytes = 5, kHeaderBytes = 13;
}

Archive* openLzma(const char16_t* name, Archive* container, InStream* stream) {
    uint8_t header[kHeaderBytes];
    int64_t fileSize = stream->size();
    if (fileSize < kHeaderBytes || !stream->seek(0) || !readExact(stream, header, kHeaderBytes))
        return newArchive(name, container, stream);

    uint64_t stored = le64(header + kPropertyBytes);
    // All ones marks a size that is not stored; anything beyond 63 bits cannot be real either.
    int64_t size = stored > uint64_t(INT64_MAX) ? -1 : int64_t(stored);
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    std::u16string entryName = singleEntryName(stream, {{u".lzma", u""}, {u".tlz", u".tar"}}, u"lzma.out");
    addEntry(archive, findCodec(u"lzma"), std::vector<uint8_t>(header, header + kPropertyBytes), entryName,
             kHeaderBytes, fileSize - kHeaderBytes, size, stream->tag());
    return archive;
}

}  // namespace zorvex
