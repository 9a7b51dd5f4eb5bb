// .lzma: 5 property bytes, the decoded size as 64-bit little-endian (all ones:
// not stored), then the data. The "lzma" codec reads the properties right
// before the data: the archive's stream is the codec input of both.
#include <algorithm>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/pipeline.h"
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

    uint64_t stored = 0;
    for (int i = kHeaderBytes - 1; i >= kPropertyBytes; --i) stored = stored << 8 | header[i];
    // All ones marks a size that is not stored; anything beyond 63 bits cannot be real either.
    int64_t size = stored > uint64_t(INT64_MAX) ? -1 : int64_t(stored);

    // A dictionary larger than the data is never used: the header may ask for
    // 4 GiB, which would be allocated before the first byte is decoded.
    uint32_t dictionary = header[1] | header[2] << 8 | header[3] << 16 | uint32_t(header[4]) << 24;
    if (size >= 0 && dictionary > std::max<int64_t>(size, 4096)) {
        dictionary = static_cast<uint32_t>(std::max<int64_t>(size, 4096));
        for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<uint8_t>(dictionary >> (8 * i));
    }
    CodecInput input(stream->name(), nullptr, stream->tag());
    input.addBytes(header, kPropertyBytes);
    input.addWindow(stream, kHeaderBytes, fileSize - kHeaderBytes);
    Ref<InStream> joined(input.take());
    if (!joined) return newArchive(name, container, stream);
    Archive* archive = newArchive(name, container, joined.get());
    if (!archive) return nullptr;
    std::u16string entryName = singleEntryName(stream, {{u".lzma", u""}}, u"lzma.out");
    addEntry(archive, findCodec(u"lzma"), entryName, 0, input.size(), size, stream->tag());
    return archive;
}

}  // namespace zorvex
