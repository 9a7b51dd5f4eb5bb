// zstd: one entry decoded by the "zstd" codec over the whole file. Its size is
// the sum of the sizes the frames state, found by walking the frame and block
// headers; when a frame states none, the codec learns it by decoding.
#include <optional>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {
namespace {

constexpr uint32_t kFrameMagic = 0xFD2FB528;
constexpr uint32_t kSkippableMagic = 0x184D2A50;  // the low 4 bits are free
constexpr int kBlockHeaderBytes = 3, kChecksumBytes = 4;
constexpr int kRleBlock = 1, kReservedBlock = 3;

uint64_t le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

struct FrameWalk {
    int64_t end = 0;                   // where the frame ends
    std::optional<uint64_t> size;      // the decoded size it states
};

// The frame starting at `at` (data or skippable), or nullopt when its headers
// do not fit in the file.
std::optional<FrameWalk> walkFrame(InStream* stream, int64_t at, int64_t fileSize) {
    uint8_t head[18];  // magic, descriptor, window, dictionary id, content size
    if (fileSize - at < 8 || !stream->seek(at) || !readExact(stream, head, 8)) return std::nullopt;
    uint32_t magic = static_cast<uint32_t>(le(head, 4));
    if ((magic & 0xFFFFFFF0) == kSkippableMagic) {
        int64_t end = at + 8 + static_cast<int64_t>(le(head + 4, 4));
        if (end > fileSize) return std::nullopt;
        return FrameWalk{end, 0};
    }
    if (magic != kFrameMagic) return std::nullopt;
    uint8_t descriptor = head[4];
    bool singleSegment = descriptor & 0x20;
    static constexpr int kSizeBytes[4] = {0, 2, 4, 8};
    static constexpr int kDictionaryBytes[4] = {0, 1, 2, 4};
    int sizeBytes = kSizeBytes[descriptor >> 6];
    if (singleSegment && sizeBytes == 0) sizeBytes = 1;
    int headerBytes = 5 + (singleSegment ? 0 : 1) + kDictionaryBytes[descriptor & 3] + sizeBytes;
    if (descriptor & 0x08 || fileSize - at < headerBytes || !stream->seek(at) ||
        !readExact(stream, head, headerBytes))
        return std::nullopt;
    FrameWalk frame;
    if (sizeBytes > 0) {
        frame.size = le(head + headerBytes - sizeBytes, sizeBytes);
        if (sizeBytes == 2) *frame.size += 256;
    }
    int64_t pos = at + headerBytes;
    for (bool last = false; !last;) {
        uint8_t block[kBlockHeaderBytes];
        if (fileSize - pos < kBlockHeaderBytes || !stream->seek(pos) || !readExact(stream, block, kBlockHeaderBytes))
            return std::nullopt;
        uint32_t header = static_cast<uint32_t>(le(block, kBlockHeaderBytes));
        last = header & 1;
        int type = header >> 1 & 3;
        if (type == kReservedBlock) return std::nullopt;
        pos += kBlockHeaderBytes + (type == kRleBlock ? 1 : header >> 3);
    }
    if (descriptor & 0x04) pos += kChecksumBytes;
    if (pos > fileSize) return std::nullopt;
    frame.end = pos;
    return frame;
}

// The decoded size all frames state together; nullopt when one states none
// or the frames cannot be walked to the file's end.
std::optional<int64_t> statedSize(InStream* stream) {
    int64_t fileSize = stream->size();
    uint64_t total = 0;
    for (int64_t at = 0; at < fileSize;) {
        std::optional<FrameWalk> frame = walkFrame(stream, at, fileSize);
        if (!frame || !frame->size || *frame->size > uint64_t(INT64_MAX) - total) return std::nullopt;
        total += *frame->size;
        at = frame->end;
    }
    return static_cast<int64_t>(total);
}

}  // namespace

Archive* openZstd(const char16_t* name, Archive* container, InStream* stream) {
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    std::u16string entryName = singleEntryName(stream, {{u".zst", u""}, {u".tzst", u".tar"}}, u"zst.out");
    addEntry(archive, findCodec(u"zstd"), entryName, 0, stream->size(), statedSize(stream).value_or(-1),
             stream->tag());
    return archive;
}

}  // namespace zorvex
