#include "codecs/lzma/lzma.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

#include "codecs/common/sdk_alloc.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/copy_bytes.h"
#include "engine/crc32.h"
#include "engine/parallel_units.h"
#include "engine/pipeline.h"

extern "C" {
#include "Lzma2Dec.h"
#include "LzmaDec.h"
}

namespace zorvex {
namespace {

// LzmaDec_DecodeToBuf and Lzma2Dec_DecodeToBuf, with the output copied out
// of the dictionary by copyBytes: `dictionary` is the LZMA decoder that holds
// it (for LZMA2 the inner one), `decodeToDic(limit, in, &inLen, &status)`
// decodes until the dictionary position reaches `limit`.
template <class DecodeToDic>
SRes decodeThroughDictionary(CLzmaDec& dictionary, DecodeToDic&& decodeToDic, Byte* out, SizeT* outLen,
                             const Byte* in, SizeT* inLen, ELzmaStatus* status) {
    SizeT outLeft = *outLen;
    SizeT inLeft = *inLen;
    *outLen = *inLen = 0;
    for (;;) {
        if (dictionary.dicPos == dictionary.dicBufSize) dictionary.dicPos = 0;
        SizeT start = dictionary.dicPos;
        SizeT limit = outLeft > dictionary.dicBufSize - start ? dictionary.dicBufSize : start + outLeft;
        SizeT taken = inLeft;
        SRes result = decodeToDic(limit, in, &taken, status);
        in += taken;
        inLeft -= taken;
        *inLen += taken;
        SizeT produced = dictionary.dicPos - start;
        copyBytes(out, dictionary.dic + start, produced);
        out += produced;
        outLeft -= produced;
        *outLen += produced;
        if (result != SZ_OK) return result;
        if (produced == 0 || outLeft == 0) return SZ_OK;
    }
}

// One SDK decoding call as a decoder-stream step of `stream`; `decodeToBuf(out,
// &outLen, in, &inLen, &status)` wraps decodeThroughDictionary.
// `endWithoutMark`: the data may end without an end mark (where a size is
// stated, which the reader then checks).
template <class DecodeToBuf>
int sdkDecodeStep(InStream& stream, DecodeToBuf&& decodeToBuf, bool endWithoutMark, const uint8_t* in, int inLength,
                  int* consumed, uint8_t* out, int outCapacity, int* produced) {
    SizeT inLen = static_cast<SizeT>(inLength);
    SizeT outLen = static_cast<SizeT>(outCapacity);
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    SRes result = decodeToBuf(out, &outLen, in, &inLen, &status);
    *consumed = static_cast<int>(inLen);
    *produced = static_cast<int>(outLen);
    if (result == SZ_ERROR_MEM) stream.fail(Status::outOfMemory());  // a dictionary that could not grow
    if (result != SZ_OK) return kDecodeError;
    if (status == LZMA_STATUS_FINISHED_WITH_MARK) return kDecodeEnd;
    if (inLen > 0 || outLen > 0) return kDecodeProgress;
    // Nothing taken and nothing given: the data ends here. Without an end
    // mark that is whole only where the decoder could have finished, which
    // it tells only when it is given no room for more output.
    if (endWithoutMark && status == LZMA_STATUS_NEEDS_MORE_INPUT) {
        SizeT noInput = 0, noOutput = 0;
        if (decodeToBuf(out, &noOutput, in, &noInput, &status) != SZ_OK) return kDecodeError;
    }
    return status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK ? kDecodeEnd : kDecodeError;
}

// An LZMA decoder whose dictionary grows with its output. Until the output
// first fills the buffer nothing older than the buffer's start exists, so a
// larger buffer holding the same bytes decodes the same: the buffer doubles
// whenever it fills, up to the size the properties declare, and only then
// wraps. Where no size is stored nothing else bounds the dictionary well: an
// LZMA stream can give thousands of bytes per packed byte, so the packed size
// would allow far more than real data uses. Growing on demand costs memory in
// proportion to what is decoded, and a header asking for 4 GiB in front of a
// few bytes gets a few kilobytes.
//
// Matches read the dictionary all over, so from the size of one large page
// on it lies on large pages (fewer address translation misses and first-touch
// faults). Such a block grows by copying, which holds both copies for a
// moment; a stream whose size is stated, and whose dictionary that size
// bounds already, therefore goes from one large page straight to its whole
// dictionary (pages the output never reaches are never touched). Beyond
// 64 MiB it doubles again, so that a stated size alone never buys a larger
// block than that.
class GrowingLzmaDecoder {
public:
    GrowingLzmaDecoder() { LzmaDec_CONSTRUCT(&decoder_); }
    ~GrowingLzmaDecoder() {
        LzmaDec_FreeProbs(&decoder_, &kSdkHeap);
        platform::freeLarge(dictionary_);
    }
    GrowingLzmaDecoder(const GrowingLzmaDecoder&) = delete;
    GrowingLzmaDecoder& operator=(const GrowingLzmaDecoder&) = delete;

    // Starts a stream with these properties; false when they are bad or
    // memory is short. The buffer grown so far is kept. `sizeStated`: the
    // stream's size is known and bounds the dictionary in `properties`.
    bool start(const Byte* properties, bool sizeStated) {
        if (LzmaDec_AllocateProbs(&decoder_, properties, LZMA_PROPS_SIZE, &kSdkHeap) != SZ_OK) return false;
        sizeStated_ = sizeStated;
        LzmaDec_Init(&decoder_);
        decoder_.dic = dictionary_;
        decoder_.dicBufSize = capacity_;
        return true;
    }

    // Decodes into `out` as LzmaDec_DecodeToBuf does, but never wraps the
    // buffer while it may grow.
    SRes decode(Byte* out, SizeT* outLen, const Byte* in, SizeT* inLen, ELzmaStatus* status) {
        if (!makeRoom()) {
            *outLen = *inLen = 0;
            return SZ_ERROR_MEM;
        }
        if (capacity_ < declared()) *outLen = std::min<SizeT>(*outLen, capacity_ - decoder_.dicPos);
        return decodeThroughDictionary(
            decoder_,
            [this](SizeT limit, const Byte* from, SizeT* fromLen, ELzmaStatus* state) {
                return LzmaDec_DecodeToDic(&decoder_, limit, from, fromLen, LZMA_FINISH_ANY, state);
            },
            out, outLen, in, inLen, status);
    }

private:
    static constexpr SizeT kSmallestDictionary = 1 << 12;
    static constexpr SizeT kFirstBuffer = 1 << 16;
    static constexpr SizeT kLargestStep = 64 << 20;

    SizeT declared() const { return std::max<SizeT>(decoder_.prop.dicSize, kSmallestDictionary); }

    bool makeRoom() {
        if (decoder_.dicPos < capacity_ || capacity_ >= declared()) return true;
        SizeT grown = capacity_ > declared() / 2 ? declared() : std::max(capacity_ * 2, kFirstBuffer);
        if (sizeStated_ && capacity_ >= platform::kLargePage) grown = std::max(grown, kLargestStep);
        grown = std::min(grown, declared());
        auto* moved = static_cast<Byte*>(platform::allocateLarge(grown));
        if (!moved) return false;
        if (capacity_ > 0) std::memcpy(moved, dictionary_, capacity_);
        platform::freeLarge(dictionary_);
        dictionary_ = moved;
        capacity_ = grown;
        decoder_.dic = moved;
        decoder_.dicBufSize = grown;
        return true;
    }

    CLzmaDec decoder_;
    Byte* dictionary_ = nullptr;
    SizeT capacity_ = 0;
    bool sizeStated_ = false;
};

class LzmaStream final : public DecoderStream {
public:
    static constexpr int kPropsSize = LZMA_PROPS_SIZE;

    LzmaStream(const CodecRequest& r)
        : DecoderStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize) {}

    bool init(std::span<const uint8_t> properties) {
        if (properties.size() != kPropsSize) return false;
        std::memcpy(props_, properties.data(), kPropsSize);
        limitDictionary();
        // A stated size must be where the data ends: at its end mark, or
        // where the packed data runs out when it has none.
        if (knownSize() >= 0) requireEndAtSize();
        return decoder_.start(props_, knownSize() >= 0);
    }

    void reset() override { decoder_.start(props_, knownSize() >= 0); }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return sdkDecodeStep(
            *this,
            [this](Byte* to, SizeT* toLen, const Byte* from, SizeT* fromLen, ELzmaStatus* status) {
                return decoder_.decode(to, toLen, from, fromLen, status);
            },
            knownSize() >= 0, in, inLength, consumed, out, outCapacity, produced);
    }

private:
    // A dictionary larger than the whole output is never used beyond the
    // output's length: a known size caps what the buffer may grow to.
    void limitDictionary() {
        int64_t size = knownSize();
        if (size < 0) return;
        uint32_t dictionary = le32(props_ + 1);
        if (dictionary <= size) return;
        constexpr int64_t kSmallestDictionary = 1 << 12;
        uint32_t needed = static_cast<uint32_t>(size < kSmallestDictionary ? kSmallestDictionary : size);
        for (int i = 0; i < 4; ++i) props_[1 + i] = static_cast<Byte>(needed >> (8 * i));
    }

    GrowingLzmaDecoder decoder_;
    Byte props_[kPropsSize] = {};
};

// The members of an lzip file decoded back to back by one decoder: a
// header (magic, version, coded dictionary size), LZMA data ending with its
// end mark, a trailer (CRC-32, data size, member size) that is checked. One
// decoder serves every member, so a file of many small members costs no
// more memory than one of a single member.
class LzipStream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;

    bool init() {
        // A size summed from the trailers is believed only when the data ends
        // there and every trailer has been checked.
        requireEndAtSize();
        return true;
    }

    void reset() override {
        state_ = State::kHeader;
        filled_ = 0;
        members_ = 0;
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        *consumed = 0;
        *produced = 0;
        for (;;) {
            int used = *consumed;
            if (state_ == State::kData) {
                // A full window, or input used up after a header: the next
                // call goes on (with no input there the member is cut short).
                if (*produced == outCapacity || (used == inLength && used > 0)) return kDecodeProgress;
                int took = 0, gave = 0;
                int status = decodeData(in + used, inLength - used, &took, out + *produced, outCapacity - *produced,
                                        &gave);
                *consumed += took;
                *produced += gave;
                if (status != kDecodeEnd) return status;
                state_ = State::kTrailer;
                continue;
            }
            if (used == inLength) {
                // The input ends between members, or inside a header or trailer.
                if (*consumed > 0 || *produced > 0) return kDecodeProgress;
                return state_ == State::kHeader && filled_ == 0 && members_ > 0 ? kDecodeEnd : kDecodeError;
            }
            int wanted = (state_ == State::kHeader ? kLzipHeaderBytes : kLzipTrailerBytes) - filled_;
            int take = std::min(wanted, inLength - used);
            std::memcpy(fields_ + filled_, in + used, static_cast<size_t>(take));
            filled_ += take;
            *consumed += take;
            if (take < wanted) return kDecodeProgress;
            filled_ = 0;
            if (state_ == State::kHeader ? !startMember() : !endMember()) return kDecodeError;
        }
    }

private:
    enum class State {
        kHeader,   // a member's header (magic, version, dictionary size) is being gathered
        kData,     // the member's LZMA data is being decoded
        kTrailer,  // the member's trailer (CRC-32, data size, member size) is being gathered
    };

    bool startMember() {
        uint32_t dictionary = lzipDictionarySize(fields_);
        if (dictionary == 0) return false;
        // No larger dictionary than the whole output is ever used.
        if (knownSize() >= 0 && knownSize() < dictionary) dictionary = static_cast<uint32_t>(knownSize());
        Byte properties[LZMA_PROPS_SIZE] = {0x5D};  // lc 3, lp 0, pb 2: the only coding lzip uses
        for (int i = 0; i < 4; ++i) properties[1 + i] = static_cast<Byte>(dictionary >> (8 * i));
        if (!decoder_.start(properties, knownSize() >= 0)) return false;
        crc_ = 0;
        dataSize_ = 0;
        memberSize_ = kLzipHeaderBytes;
        state_ = State::kData;
        return true;
    }

    bool endMember() {
        memberSize_ += kLzipTrailerBytes;
        if (le32(fields_) != crc_ || le64(fields_ + 4) != dataSize_ || le64(fields_ + 12) != memberSize_)
            return false;
        ++members_;
        state_ = State::kHeader;
        return true;
    }

    // LZMA data up to its end mark, which every member has.
    int decodeData(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced) {
        SizeT inLen = static_cast<SizeT>(inLength);
        SizeT outLen = static_cast<SizeT>(outCapacity);
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        SRes result = decoder_.decode(out, &outLen, in, &inLen, &status);
        *consumed = static_cast<int>(inLen);
        *produced = static_cast<int>(outLen);
        crc_ = crc32Update(crc_, out, outLen);
        dataSize_ += outLen;
        memberSize_ += inLen;
        if (result != SZ_OK) return kDecodeError;
        if (status == LZMA_STATUS_FINISHED_WITH_MARK) return kDecodeEnd;
        return inLen > 0 || outLen > 0 ? kDecodeProgress : kDecodeError;  // a member cut short
    }

    GrowingLzmaDecoder decoder_;
    State state_ = State::kHeader;
    uint8_t fields_[kLzipTrailerBytes] = {};  // the header or trailer being gathered
    int filled_ = 0;
    uint32_t crc_ = 0;
    uint64_t dataSize_ = 0;
    uint64_t memberSize_ = 0;
    int64_t members_ = 0;
};

// LZMA2 data is a run of chunks, each with a header that states its packed
// and unpacked sizes. A chunk that resets the dictionary and the coder's
// state and properties (what a compressor working on several threads starts
// each of its blocks with) owes nothing to what came before: from one such
// chunk to the next is a unit of its own. (A stored chunk resets the
// dictionary too, but the chunks after it may still use the properties
// before it.)
bool resetsEverything(uint8_t control) { return control >= 0xE0; }

// How far the chunks of the unit at `offset` were followed when more data
// was wanted: the next look goes on from there, so that a long unit is not
// walked again from its start each time a little more data comes.
struct Lzma2Walk {
    int64_t offset = -1;
    int64_t pos = 0;
    int64_t decoded = 0;
};

// The unit at packed `offset`: the data's first chunk starts one whatever it is.
UnitCodec::Found findLzma2Unit(int64_t offset, const uint8_t* data, int64_t size, bool ended,
                               UnitCodec::Unit* unit, Lzma2Walk& walk) {
    using Found = UnitCodec::Found;
    if (walk.offset != offset || walk.pos > size) walk = Lzma2Walk{offset};
    int64_t pos = walk.pos;
    int64_t decoded = walk.decoded;
    auto more = [&] {
        walk.pos = pos;
        walk.decoded = decoded;
        return ended ? Found::kNone : Found::kMore;
    };
    for (;;) {
        if (pos == size) {
            if (!ended || pos == 0) return more();
            break;  // the data ends without its end mark, which the codec's decoder reports
        }
        const uint8_t control = data[pos];
        if (pos == 0 ? offset > 0 && !resetsEverything(control) : control == 0 || resetsEverything(control)) {
            if (pos == 0) return Found::kNone;
            break;
        }
        if (control == 0) return Found::kNone;  // the end mark at the start
        int64_t headerBytes = 3, packed = 0, unpacked = 0;
        if (pos + 5 > size) return more();
        if (control >= 0x80) {
            headerBytes = control >= 0xC0 ? 6 : 5;
            unpacked = (int64_t{control & 0x1Fu} << 16 | be16(data + pos + 1)) + 1;
            packed = be16(data + pos + 3) + 1;
        } else if (control <= 2) {
            unpacked = packed = be16(data + pos + 1) + 1;
        } else {
            break;  // not a chunk: the codec's decoder reports it
        }
        if (pos + headerBytes + packed > size) return more();
        pos += headerBytes + packed;
        decoded += unpacked;
    }
    *unit = UnitCodec::Unit{pos, decoded};
    return Found::kUnit;
}

class Lzma2Stream final : public DecoderStream, private UnitCodec {
public:
    Lzma2Stream(const CodecRequest& r)
        : DecoderStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
          units_(*this, *this, r.packedSize) {
        Lzma2Dec_CONSTRUCT(&decoder_);
    }
    ~Lzma2Stream() override { Lzma2Dec_Free(&decoder_, &kSdkLargeHeap); }

    bool init(std::span<const uint8_t> properties) {
        if (properties.size() != 1) return false;
        prop_ = properties[0];
        limitDictionary();
        // Every LZMA2 stream ends with its end mark: a stated size must be
        // followed by it.
        if (knownSize() >= 0) requireEndAtSize();
        return start();
    }

    void reset() override {
        units_.restart();
        startSerial(0);
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        return units_.decode(in, inLength, consumed, out, outCapacity, produced);
    }

private:
    Found findUnit(int64_t offset, const uint8_t* data, int64_t size, bool ended, Unit* unit) override {
        return findLzma2Unit(offset, data, size, ended, unit, walk_);
    }

    // A worker's units are followed by an end mark of their own.
    Decoded decodeUnits(int64_t, bool, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                        const std::atomic<bool>& cancelled) const override {
        static constexpr uint8_t kEndMark = 0;
        CodecRequest request;
        request.method = u"lzma2";
        request.properties = std::span<const uint8_t>(&prop_, 1);
        return decodeUnitsThrough(request, in, size, &kEndMark, 1, capacity, out, capacity, cancelled);
    }

    void startSerial(int64_t offset) override {
        start();
        taken_ = offset;
    }

    int decodeSerial(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                     int* produced) override {
        int status = sdkDecodeStep(
            *this,
            [this](Byte* to, SizeT* toLen, const Byte* from, SizeT* fromLen, ELzmaStatus* status) {
                return decodeThroughDictionary(
                    decoder_.decoder,
                    [this](SizeT limit, const Byte* src, SizeT* srcLen, ELzmaStatus* state) {
                        return Lzma2Dec_DecodeToDic(&decoder_, limit, src, srcLen, LZMA_FINISH_ANY, state);
                    },
                    to, toLen, from, fromLen, status);
            },
            false, in, inLength, consumed, out, outCapacity, produced);
        // The end mark must come with the last packed byte: the containers
        // of LZMA2 data state its packed size exactly.
        taken_ += *consumed;
        if (status == kDecodeEnd && taken_ != packedSize()) markDamaged();
        return status;
    }

    // As for lzma: a known output size bounds the dictionary that is used.
    // The property byte codes 2 or 3 times a power of two; the smallest code
    // that still covers the output is taken.
    void limitDictionary() {
        int64_t size = knownSize();
        if (size < 0 || prop_ > 40) return;  // larger codes are refused by the decoder
        auto dictionary = [](int prop) { return int64_t{2 | (prop & 1)} << (prop / 2 + 11); };
        int64_t needed = std::max<int64_t>(size, 1 << 12);
        while (prop_ > 0 && dictionary(prop_ - 1) >= needed) --prop_;
    }

    // The dictionary on large pages, as GrowingLzmaDecoder's.
    bool start() {
        if (Lzma2Dec_Allocate(&decoder_, prop_, &kSdkLargeHeap) != SZ_OK) return false;
        Lzma2Dec_Init(&decoder_);
        return true;
    }

    CLzma2Dec decoder_;
    Byte prop_ = 0;
    int64_t taken_ = 0;  // packed bytes the decoder has taken
    Lzma2Walk walk_;
    ParallelUnits units_;
};

// The properties come with the request: 5 bytes for "lzma", 1 for "lzma2".
template <class Stream>
InStream* makeStream(const CodecRequest& request) {
    if (!request.source) return nullptr;
    return startDecoderStream(new (std::nothrow) Stream(request),
                              [&](Stream& stream) { return stream.init(request.properties); });
}

}  // namespace

uint32_t lzipDictionarySize(const uint8_t* header) {
    if (header[0] != 'L' || header[1] != 'Z' || header[2] != 'I' || header[3] != 'P' || header[4] >= 2) return 0;
    uint32_t base = uint32_t(1) << (header[5] & 31);
    uint32_t dictionary = base - base / 16 * (header[5] >> 5);
    // The format allows 4 KiB to 512 MiB.
    return dictionary >= (uint32_t(1) << 12) && dictionary <= (uint32_t(1) << 29) ? dictionary : 0;
}

InStream* makeLzipStream(const CodecRequest& r) {
    if (!r.source) return nullptr;
    return startDecoderStream(
        new (std::nothrow) LzipStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
        [](LzipStream& stream) { return stream.init(); });
}

InStream* makeLzmaStream(const CodecRequest& request) { return makeStream<LzmaStream>(request); }

InStream* makeLzma2Stream(const CodecRequest& request) { return makeStream<Lzma2Stream>(request); }

}  // namespace zorvex
