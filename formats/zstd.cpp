// zstd: one entry decoded by the "zstd" codec over the whole file. Its size is
// the sum of the sizes the frames state, found by walking the frame and block
// headers; when a frame states none, the codec learns it by decoding.
#include <limits>
#include <optional>

#include "codecs/zstd/zstd_frames.h"
#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {
namespace {

// The frame starting at `at`, or nullopt when it is not one or its headers
// do not fit in the file.
std::optional<ZstdFrame> walkFrame(InStream* stream, int64_t at, int64_t fileSize) {
    auto fetch = [&](int64_t offset, uint8_t* buffer, int count) {
        return offset >= 0 && offset <= fileSize - at - count && stream->seek(at + offset) &&
               readExact(stream, buffer, count);
    };
    ZstdFrame frame;
    if (walkZstdFrame(fetch, &frame) != FrameWalk::kFrame) return std::nullopt;
    return frame;
}

// The decoded size all frames state together; nullopt when one states none
// or the frames cannot be walked to the file's end.
std::optional<int64_t> statedSize(InStream* stream) {
    int64_t fileSize = stream->size();
    uint64_t total = 0;
    for (int64_t at = 0; at < fileSize;) {
        std::optional<ZstdFrame> frame = walkFrame(stream, at, fileSize);
        if (!frame || frame->statedSize < 0 || uint64_t(frame->statedSize) > uint64_t(INT64_MAX) - total)
            return std::nullopt;
        total += uint64_t(frame->statedSize);
        at += frame->length;
    }
    return static_cast<int64_t>(total);
}

}  // namespace

Bid probeZstd(const ProbeInput& input) {
    constexpr int kMostSkippable = 16;
    if (input.place != ProbePlace::kStart) return Bid::kNone;
    if (input.signatureMatches) return Bid::kSignature;
    // Detection must not learn the size of a stream that is read as it
    // arrives (a pipe): asking would read it whole. A frame's own header
    // bounds it there.
    const int64_t known = input.stream->knownSize();
    const int64_t fileSize = known >= 0 ? known : std::numeric_limits<int64_t>::max();
    int64_t at = input.position;
    for (int i = 0; i < kMostSkippable; ++i) {
        std::optional<ZstdFrame> frame = walkFrame(input.stream, at, fileSize);
        if (!frame) return Bid::kNone;
        if (frame->blocks > 0) return Bid::kSignature;
        at += frame->length;
    }
    return Bid::kNone;
}

Archive* openZstd(const char16_t* name, Archive* container, InStream* stream) {
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    std::u16string entryName = singleEntryName(stream, {{u".zst", u""}, {u".tzst", u".tar"}}, u"zst.out");
    addEntry(archive, findCodec(u"zstd"), entryName, 0, stream->size(), statedSize(stream).value_or(-1),
             stream->tag());
    return archive;
}

}  // namespace zorvex
