#include "codecs/lzma/lzma.h"

#include <algorithm>
#include <cstdlib>

#include "codecs/common/sdk_alloc.h"
#include "engine/byte_order.h"
#include "engine/pipeline.h"

extern "C" {
#include "Lzma2Dec.h"
#include "LzmaDec.h"
}

namespace zorvex {
namespace {


// One SDK decoding call (LzmaDec_DecodeToBuf or Lzma2Dec_DecodeToBuf) as a
// decoder-stream step.
template <class Decoder>
int sdkDecodeStep(SRes (*decodeToBuf)(Decoder*, Byte*, SizeT*, const Byte*, SizeT*, ELzmaFinishMode, ELzmaStatus*),
               Decoder* decoder, const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) {
    SizeT inLen = static_cast<SizeT>(inLength);
    SizeT outLen = static_cast<SizeT>(outCapacity);
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    SRes result = decodeToBuf(decoder, out, &outLen, in, &inLen, LZMA_FINISH_ANY, &status);
    *consumed = static_cast<int>(inLen);
    *produced = static_cast<int>(outLen);
    if (result != SZ_OK) return kDecodeError;
    if (status == LZMA_STATUS_FINISHED_WITH_MARK) return kDecodeEnd;
    if (inLen > 0 || outLen > 0) return kDecodeProgress;
    // Nothing taken and nothing given: the data ends here. Without an end
    // mark that is whole only where the decoder could have finished.
    return status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK ? kDecodeEnd : kDecodeError;
}

class LzmaStream final : public DecoderStream {
public:
    static constexpr int kPropsSize = LZMA_PROPS_SIZE;

    LzmaStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
               int64_t packedSize, int64_t unpackedSize)
        : DecoderStream(name, owner, tag, source, offset + kPropsSize, packedSize - kPropsSize, unpackedSize) {
        LzmaDec_CONSTRUCT(&decoder_);
    }
    ~LzmaStream() override { LzmaDec_Free(&decoder_, &kSdkHeap); }

    bool init(InStream* source, int64_t offset) {
        if (!source->seek(offset) || !readExact(source, props_, kPropsSize)) return false;
        limitDictionary();
        return start();
    }

    void reset() override { start(); }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return sdkDecodeStep(LzmaDec_DecodeToBuf, &decoder_, in, inLength, consumed, out, outCapacity, produced);
    }

private:
    // A dictionary larger than the whole output is never used beyond the
    // output's length, so a header asking for gigabytes for a small entry
    // gets only what the entry needs.
    void limitDictionary() {
        int64_t size = DecoderStream::size();
        if (size < 0) return;
        uint32_t dictionary = le32(props_ + 1);
        if (dictionary <= size) return;
        constexpr int64_t kSmallestDictionary = 1 << 12;
        uint32_t needed = static_cast<uint32_t>(size < kSmallestDictionary ? kSmallestDictionary : size);
        for (int i = 0; i < 4; ++i) props_[1 + i] = static_cast<Byte>(needed >> (8 * i));
    }

    // Allocation keeps the probability table and dictionary when their sizes
    // do not change, so restarts cost no new memory.
    bool start() {
        if (LzmaDec_Allocate(&decoder_, props_, kPropsSize, &kSdkHeap) != SZ_OK) return false;
        LzmaDec_Init(&decoder_);
        return true;
    }

    CLzmaDec decoder_;
    Byte props_[kPropsSize] = {};
};

class Lzma2Stream final : public DecoderStream {
public:
    Lzma2Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                int64_t packedSize, int64_t unpackedSize)
        : DecoderStream(name, owner, tag, source, offset + 1, packedSize - 1, unpackedSize) {
        Lzma2Dec_CONSTRUCT(&decoder_);
    }
    ~Lzma2Stream() override { Lzma2Dec_Free(&decoder_, &kSdkHeap); }

    bool init(InStream* source, int64_t offset) {
        if (!source->seek(offset) || !readExact(source, &prop_, 1)) return false;
        limitDictionary();
        return start();
    }

    void reset() override { start(); }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return sdkDecodeStep(Lzma2Dec_DecodeToBuf, &decoder_, in, inLength, consumed, out, outCapacity, produced);
    }

private:
    // As for lzma: a known output size bounds the dictionary that is used.
    // The property byte codes 2 or 3 times a power of two; the smallest code
    // that still covers the output is taken.
    void limitDictionary() {
        int64_t size = DecoderStream::size();
        if (size < 0 || prop_ > 40) return;  // larger codes are refused by the decoder
        auto dictionary = [](int prop) { return int64_t{2 | (prop & 1)} << (prop / 2 + 11); };
        int64_t needed = std::max<int64_t>(size, 1 << 12);
        while (prop_ > 0 && dictionary(prop_ - 1) >= needed) --prop_;
    }

    bool start() {
        if (Lzma2Dec_Allocate(&decoder_, prop_, &kSdkHeap) != SZ_OK) return false;
        Lzma2Dec_Init(&decoder_);
        return true;
    }

    CLzma2Dec decoder_;
    Byte prop_ = 0;
};

template <class Stream>
InStream* makeStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                     int64_t packedSize, int64_t unpackedSize) {
    if (!source) return nullptr;
    return startDecoderStream(new (std::nothrow) Stream(name, owner, tag, source, offset, packedSize, unpackedSize),
                              [&](Stream& stream) { return stream.init(source, offset); });
}

}  // namespace

InStream* makeLzmaStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t packedSize, int64_t unpackedSize) {
    return makeStream<LzmaStream>(name, owner, tag, source, offset, packedSize, unpackedSize);
}

InStream* makeLzma2Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t unpackedSize) {
    return makeStream<Lzma2Stream>(name, owner, tag, source, offset, packedSize, unpackedSize);
}

}  // namespace zorvex
