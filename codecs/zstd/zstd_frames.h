// The frames of zstd data. Where a frame ends, and the size it states, are
// read from its header and block headers alone: the container reader sums
// the sizes, and decoding takes each frame as a unit that decodes apart from
// the others (engine/parallel_units.h).
#pragma once

#include <cstdint>

#include "engine/byte_order.h"
#include "engine/parallel_units.h"

namespace zorvex {

struct ZstdFrame {
    int64_t length = 0;        // packed bytes
    int64_t blocks = 0;
    int64_t statedSize = -1;   // the decoded size it states; -1 for none, 0 for a skippable frame
};

enum class FrameWalk : uint8_t { kFrame, kShort, kInvalid };

// Walks the frame (data or skippable) at offset 0 of data that
// `fetch(offset, buffer, count)` reads; fetch returns false when those bytes
// are not there. kShort: the frame runs past them.
template <class Fetch>
FrameWalk walkZstdFrame(Fetch&& fetch, ZstdFrame* frame) {
    constexpr uint32_t kFrameMagic = 0xFD2FB528;
    constexpr uint32_t kSkippableMagic = 0x184D2A50;  // the low 4 bits are free
    constexpr int kBlockHeaderBytes = 3, kChecksumBytes = 4;
    constexpr int kRleBlock = 1, kReservedBlock = 3;
    uint8_t head[18];  // magic, descriptor, window, dictionary id, content size
    if (!fetch(0, head, 8)) return FrameWalk::kShort;
    const uint32_t magic = le32(head);
    if ((magic & 0xFFFFFFF0) == kSkippableMagic) {
        *frame = ZstdFrame{8 + int64_t{le32(head + 4)}, 0, 0};
        return fetch(frame->length - 1, head, 1) ? FrameWalk::kFrame : FrameWalk::kShort;
    }
    const uint8_t descriptor = head[4];
    if (magic != kFrameMagic || (descriptor & 0x08)) return FrameWalk::kInvalid;
    const bool singleSegment = descriptor & 0x20;
    static constexpr int kSizeBytes[4] = {0, 2, 4, 8};
    static constexpr int kDictionaryBytes[4] = {0, 1, 2, 4};
    int sizeBytes = kSizeBytes[descriptor >> 6];
    if (singleSegment && sizeBytes == 0) sizeBytes = 1;
    const int headerBytes = 5 + (singleSegment ? 0 : 1) + kDictionaryBytes[descriptor & 3] + sizeBytes;
    if (!fetch(0, head, headerBytes)) return FrameWalk::kShort;
    ZstdFrame walked;
    if (sizeBytes > 0) {
        uint64_t stated = 0;
        for (int i = sizeBytes - 1; i >= 0; --i) stated = stated << 8 | head[headerBytes - sizeBytes + i];
        if (sizeBytes == 2) stated += 256;
        if (stated > uint64_t{INT64_MAX}) return FrameWalk::kInvalid;
        walked.statedSize = static_cast<int64_t>(stated);
    }
    int64_t pos = headerBytes;
    for (bool last = false; !last; ++walked.blocks) {
        uint8_t block[kBlockHeaderBytes];
        if (!fetch(pos, block, kBlockHeaderBytes)) return FrameWalk::kShort;
        const uint32_t header = block[0] | uint32_t{block[1]} << 8 | uint32_t{block[2]} << 16;
        const int type = header >> 1 & 3;
        if (type == kReservedBlock) return FrameWalk::kInvalid;
        last = header & 1;
        pos += kBlockHeaderBytes + (type == kRleBlock ? 1 : header >> 3);
    }
    if (descriptor & 0x04) pos += kChecksumBytes;
    walked.length = pos;
    if (!fetch(pos - 1, head, 1)) return FrameWalk::kShort;
    *frame = walked;
    return FrameWalk::kFrame;
}

// The frame that begins at `data`, as a unit.
UnitCodec::Found findZstdFrame(const uint8_t* data, int64_t size, bool ended, UnitCodec::Unit* unit);

// Decodes whole frames with the "zstd" codec, as a worker does.
UnitCodec::Decoded decodeZstdFrames(const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                                    const std::atomic<bool>& cancelled);

}  // namespace zorvex
