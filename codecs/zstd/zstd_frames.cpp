#include "codecs/zstd/zstd_frames.h"

#include <cstring>

#include "engine/codec.h"

namespace zorvex {

UnitCodec::Found findZstdFrame(const uint8_t* data, int64_t size, bool ended, UnitCodec::Unit* unit) {
    constexpr int64_t kMaxBlockOutput = 128 << 10;
    auto fetch = [&](int64_t offset, uint8_t* buffer, int count) {
        if (offset < 0 || offset > size - count) return false;
        std::memcpy(buffer, data + offset, static_cast<size_t>(count));
        return true;
    };
    ZstdFrame frame;
    switch (walkZstdFrame(fetch, &frame)) {
        case FrameWalk::kFrame:
            *unit = UnitCodec::Unit{frame.length, frame.blocks * kMaxBlockOutput};
            return UnitCodec::Found::kUnit;
        case FrameWalk::kShort:
            return ended ? UnitCodec::Found::kNone : UnitCodec::Found::kMore;
        case FrameWalk::kInvalid:
            break;
    }
    return UnitCodec::Found::kNone;  // the codec's own decoder says what is wrong
}

UnitCodec::Decoded decodeZstdFrames(const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                                    const std::atomic<bool>& cancelled) {
    CodecRequest request;
    request.method = u"zstd";
    return decodeUnitsThrough(request, in, size, nullptr, 0, -1, out, capacity, cancelled);
}

}  // namespace zorvex
