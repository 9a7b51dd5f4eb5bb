// The "zstd" codec over the LZMA SDK's decoder, for the builds that do not
// link libzstd. The decoder writes into its own window; each step hands out
// what it has decoded before asking it for more.
#include <algorithm>
#include <cstdlib>
#include <cstddef>
#include <cstring>

#include "codecs/common/sdk_alloc.h"
#include "codecs/zstd/zstd.h"
#include "codecs/zstd/zstd_frames.h"
#include "codecs/zstd/zstd_stream.h"
#include "engine/codec.h"
#include "engine/copy_bytes.h"

extern "C" {
#include "7zTypes.h"
#include "ZstdDec.h"
}

namespace zorvex {
namespace {


// The window allocator: refuses anything beyond twice the largest window the
// packed data can justify (the decoder rounds its window up and adds room
// for two blocks).
struct WindowAlloc {
    ISzAlloc base = {allocate, sdkHeapFree};
    uint64_t limit = 0;

    static void* allocate(ISzAllocPtr p, size_t size) {
        const auto* self = reinterpret_cast<const WindowAlloc*>(p);
        return size <= self->limit ? std::malloc(size) : nullptr;
    }
};
static_assert(offsetof(WindowAlloc, base) == 0);

class ZstdStream final : public DecoderStream, private UnitCodec {
public:
    ZstdStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
               int64_t packedSize, int64_t unpackedSize)
        : DecoderStream(name, owner, tag, source, offset, packedSize, unpackedSize),
          units_(*this, *this, packedSize) {}
    ~ZstdStream() override {
        if (decoder_) ZstdDec_Destroy(decoder_);
    }

    bool init() {
        // A stated size must be where the data ends: decoding goes on to the
        // end of the last frame, where its checksum and content size are checked.
        if (knownSize() >= 0) requireEndAtSize();
        constexpr int kLargestWindowLog = sizeof(size_t) == 4 ? 30 : 31;
        constexpr uint64_t kBlockRoom = 1 << 20;
        windows_.limit = (uint64_t{2} << zstdWindowLogLimit(packedSize(), kLargestWindowLog)) + kBlockRoom;
        decoder_ = ZstdDec_Create(&kSdkHeap, &windows_.base);
        if (!decoder_) return false;
        restartDecoder();
        return true;
    }

    void reset() override {
        units_.restart();
        restartDecoder();
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return units_.decode(in, inLength, consumed, out, outCapacity, produced);
    }

private:
    Found findUnit(int64_t, const uint8_t* data, int64_t size, bool ended, Unit* unit) override {
        return findZstdFrame(data, size, ended, unit);
    }
    Decoded decodeUnits(int64_t, bool, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                        const std::atomic<bool>& cancelled) const override {
        return decodeZstdFrames(in, size, out, capacity, cancelled);
    }
    void startSerial(int64_t) override { restartDecoder(); }

    void restartDecoder() {
        ZstdDec_Init(decoder_);
        ZstdDecState_Clear(&state_);
    }

    int decodeSerial(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                     int* produced) override {
        *consumed = 0;
        *produced = deliver(out, outCapacity);
        if (*produced > 0) return kDecodeProgress;
        state_.inBuf = in;
        state_.inPos = 0;
        state_.inLim = static_cast<size_t>(inLength);
        SRes result = ZstdDec_Decode(decoder_, &state_);
        *consumed = static_cast<int>(state_.inPos);
        if (result != SZ_OK) {
            markDamaged();  // also when it had no input: the library rejected data it held
            return kDecodeError;
        }
        *produced = deliver(out, outCapacity);
        if (*consumed > 0 || *produced > 0) return kDecodeProgress;
        // Nothing moved: the input is used up, which is only right between frames.
        CZstdDecResInfo info;
        ZstdDec_GetResInfo(decoder_, &state_, result, &info);
        return info.is_NonFinishedFrame || info.extraSize != 0 ? kDecodeError : kDecodeEnd;
    }

    // Copies decoded bytes not handed out yet from the decoder's window.
    int deliver(uint8_t* out, int capacity) {
        size_t ready = state_.winPos - state_.wrPos;
        int n = static_cast<int>(std::min(ready, static_cast<size_t>(capacity)));
        if (n > 0) copyBytes(out, state_.win + state_.wrPos, static_cast<size_t>(n));
        state_.wrPos += static_cast<size_t>(n);
        return n;
    }

    WindowAlloc windows_;
    CZstdDecHandle decoder_ = nullptr;
    CZstdDecState state_{};
    ParallelUnits units_;
};

}  // namespace

InStream* makeZstdStream(const CodecRequest& r) {
    return makeZstdStreamOf<ZstdStream>(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize);
}

}  // namespace zorvex
