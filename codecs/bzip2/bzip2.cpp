#include "codecs/bzip2/bzip2.h"

#include <bzlib.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/bzip2/bzip2_blocks.h"
#include "codecs/bzip2/bzip2_magic.h"
#include "engine/codec.h"
#include "engine/pipeline.h"

// The block index. bzip2 blocks start at any bit, each with a 48-bit block
// magic; a stream ends with a 48-bit end magic, the stream CRC and padding to
// a byte. During the first pass from the start, the packed bytes are scanned
// for both magics and libbz2 is fed exactly up to the byte holding a
// magic's first bit: when it then waits for input with output room to spare,
// the block before is fully delivered, so the output count is the block's
// boundary. A look-alike inside a block's data shows no new output since the
// last boundary and is ignored.
//
// To resume at a block, libbz2 is given a synthetic stream: a header with the
// stream's block-size digit, then the packed bits from the block's magic on,
// shifted to byte alignment, up to the end magic of that stream. The stream's
// trailer is withheld (its CRC covers blocks that are skipped); when libbz2
// has delivered the last block the decompressor is started afresh at the
// next stream. Block CRCs are still checked by libbz2.
//
// Where threads can be started, both a pass from the start and a resume
// decode blocks on several threads instead (bzip2_blocks.h); the blocks
// delivered then are reported to the index, and the direct and shifted feeds
// above serve only where no thread can be had.

namespace zorvex {
namespace {

constexpr int kStageSize = 0x10000;
constexpr int kMaxPending = 32;

// A growable array of plain records; growth failure is reported, not thrown.
template <class T>
class RecordArray {
public:
    RecordArray() = default;
    RecordArray(const RecordArray&) = delete;
    RecordArray& operator=(const RecordArray&) = delete;
    ~RecordArray() { std::free(items_); }

    bool push(const T& item) {
        if (count_ == capacity_) {
            int capacity = capacity_ ? capacity_ * 2 : 64;
            void* grown = std::realloc(items_, sizeof(T) * capacity);
            if (!grown) return false;
            items_ = static_cast<T*>(grown);
            capacity_ = capacity;
        }
        items_[count_++] = item;
        return true;
    }
    void clear() {
        std::free(items_);
        items_ = nullptr;
        count_ = capacity_ = 0;
    }
    int count() const { return count_; }
    T& operator[](int i) { return items_[i]; }
    T& back() { return items_[count_ - 1]; }

private:
    T* items_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

struct Block {
    int64_t position;  // packed byte holding the block magic's first bit
    uint32_t length;   // bytes the block decodes to
    uint8_t phase;     // bit of that byte (from the top) where the magic begins
    uint8_t level;     // the stream's block-size digit
    uint16_t stream;
};

struct StreamBounds {
    int64_t endBit = -1;   // first bit of the end magic; -1 while unknown
    int64_t endByte = -1;  // the byte after the stream; -1 while unknown
};

struct Candidate {
    int64_t byte;
    uint8_t phase;
    bool end;       // end magic rather than block magic
    uint8_t level;  // the byte before, which is the block-size digit for a stream's first block
};

enum IndexMode { kIndexOff = 0, kIndexRecording = 1, kIndexComplete = 2 };

// How packed bytes reach libbz2: as they are, shifted into a synthetic stream
// after a resume, or skipped (the rest of a stream whose trailer is withheld);
// or how they reach the block workers instead.
enum Feed { kDirect, kShifted, kSkipping, kParallel };

class Bzip2Stream final : public DecoderStream, private bzip2::BlockListener {
public:
    Bzip2Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                int64_t packedSize, int64_t unpackedSize)
        : DecoderStream(name, owner, tag, source, offset, packedSize, unpackedSize),
          stage_(static_cast<uint8_t*>(std::malloc(kStageSize))),
          parallel_(*this) {}

    ~Bzip2Stream() override {
        if (libraryReady_) BZ2_bzDecompressEnd(&bz_);
        std::free(stage_);
    }

    bool start() {
        if (!ok() || !stage_ || !startLibrary()) return false;
        startFromBeginning();
        return true;
    }

    void reset() override {
        restartLibrary();
        startFromBeginning();
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override;
    bool restartPoint(int64_t target, int64_t* inputOffset, int64_t* outputPosition) override;

private:
    bool startLibrary() {
        std::memset(&bz_, 0, sizeof bz_);
        libraryReady_ = BZ2_bzDecompressInit(&bz_, 0, 0) == BZ_OK;
        return libraryReady_;
    }
    bool restartLibrary() {
        if (libraryReady_) BZ2_bzDecompressEnd(&bz_);
        return startLibrary();
    }
    void startFromBeginning();
    int stageInput(const uint8_t* in, int length, bool inputEnded);
    void stageDirect(const uint8_t* in, int n);
    int stageShifted(const uint8_t* in, int length, bool inputEnded);
    void scan(uint8_t byte);
    int feedLimit(bool inputEnded) const;
    int64_t nextUnfed() const { return inputPos_ - (stageEnd_ - stageStart_); }
    bool atCandidate() const {
        return mode_ == kIndexRecording && feed_ == kDirect && pendingCount_ > 0 &&
               nextUnfed() == pending_[0].byte + 1;
    }
    void takeCandidate();
    bool endOfStream();
    bool closeStreamRecord(int64_t endByte);
    void blockDelivered(int64_t startBit, uint8_t level, int64_t length) override;
    void streamEnded(int64_t endBit, int64_t endByte) override;
    void closeBlock();
    void finishIndex();
    void abandonIndex();

    bz_stream bz_;
    bool libraryReady_ = false;
    uint8_t* stage_;
    int stageStart_ = 0;  // staged bytes not yet fed: [stageStart_, stageEnd_)
    int stageEnd_ = 0;
    int64_t inputPos_ = 0;  // packed offset of the next byte taken from the caller
    int64_t outPos_ = 0;    // decoded bytes produced so far
    bool afterStreamEnd_ = false;
    bool damageFound_ = false;  // the next step reports it, once the bytes before it are delivered

    IndexMode mode_ = kIndexOff;
    RecordArray<Block> blocks_;
    RecordArray<StreamBounds> streams_;
    uint64_t scanRegister_ = 0;
    Candidate pending_[kMaxPending];
    int pendingCount_ = 0;
    int64_t streamStart_ = 0;
    int64_t boundaryOut_ = 0;
    bool awaitingFirstBlock_ = true;
    bool blockOpen_ = false;
    uint8_t level_ = 0;

    Feed feed_ = kDirect;
    int phase_ = 0;
    int carry_ = -1;  // the previous packed byte while shifting
    int64_t shiftEndBit_ = -1;
    int64_t skipTo_ = -1;

    bzip2::ParallelBlocks parallel_;
};

void Bzip2Stream::startFromBeginning() {
    damageFound_ = false;
    stageStart_ = stageEnd_ = 0;
    inputPos_ = outPos_ = 0;
    afterStreamEnd_ = false;
    parallel_.restart();
    feed_ = kParallel;
    // A complete index stays valid; anything else is recorded afresh.
    if (mode_ == kIndexComplete) return;
    abandonIndex();
    mode_ = kIndexRecording;
    if (!streams_.push(StreamBounds{})) abandonIndex();
    scanRegister_ = 0;
    streamStart_ = 0;
    boundaryOut_ = 0;
    awaitingFirstBlock_ = true;
    blockOpen_ = false;
}

int Bzip2Stream::decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                        int* produced) {
    *consumed = 0;
    *produced = 0;
    // Threads are started at the first read, not for a stream only listed.
    if (feed_ == kParallel && !parallel_.start()) feed_ = kDirect;
    if (feed_ == kParallel) {
        int status = parallel_.decode(in, inLength, consumed, out, outCapacity, produced);
        if (parallel_.failed()) markDamaged();
        outPos_ += *produced;
        if (status != kDecodeProgress) finishIndex();
        return status;
    }
    if (damageFound_) return kDecodeError;
    const bool inputEnded = inLength == 0;
    for (;;) {
        int took = stageInput(in + *consumed, inLength - *consumed, inputEnded);
        *consumed += took;
        int limit = feedLimit(inputEnded);
        bz_.next_in = reinterpret_cast<char*>(stage_ + stageStart_);
        bz_.avail_in = static_cast<unsigned>(limit);
        bz_.next_out = reinterpret_cast<char*>(out + *produced);
        bz_.avail_out = static_cast<unsigned>(outCapacity - *produced);
        int result = BZ2_bzDecompress(&bz_);
        int fed = limit - static_cast<int>(bz_.avail_in);
        int made = outCapacity - *produced - static_cast<int>(bz_.avail_out);
        stageStart_ += fed;
        *produced += made;
        outPos_ += made;

        if (result == BZ_STREAM_END) {
            if (!endOfStream()) return kDecodeError;
            continue;
        }
        if (result != BZ_OK) {
            finishIndex();
            // Bytes after a complete stream that start no other are ignored.
            if (result == BZ_DATA_ERROR_MAGIC && afterStreamEnd_) return kDecodeEnd;
            markDamaged();  // also when it had no input: libbz2 rejected data it held
            // What was decoded before the damage is delivered before the error,
            // as the block workers deliver it.
            if (*produced > 0) {
                damageFound_ = true;
                return kDecodeProgress;
            }
            return kDecodeError;
        }
        if (*produced == outCapacity) return kDecodeProgress;
        // libbz2 waits for input.
        if (bz_.avail_in == 0 && atCandidate()) {
            takeCandidate();
            continue;
        }
        if (feed_ == kSkipping && inputPos_ == skipTo_ && stageStart_ == stageEnd_) {
            // The resumed stream is delivered; the next one starts afresh.
            if (!restartLibrary()) return kDecodeError;
            feed_ = kDirect;
            afterStreamEnd_ = true;
            continue;
        }
        if (took == 0 && fed == 0 && made == 0) {
            if (*consumed > 0 || *produced > 0) return kDecodeProgress;
            finishIndex();
            // The input is used up: whole only between streams, not inside one.
            bool betweenStreams = afterStreamEnd_ && bz_.total_in_lo32 == 0 && bz_.total_in_hi32 == 0;
            return betweenStreams ? kDecodeEnd : kDecodeError;
        }
    }
}

int Bzip2Stream::stageInput(const uint8_t* in, int length, bool inputEnded) {
    if (stageStart_ > 0) {
        std::memmove(stage_, stage_ + stageStart_, stageEnd_ - stageStart_);
        stageEnd_ -= stageStart_;
        stageStart_ = 0;
    }
    int n = length;
    switch (feed_) {
        case kDirect:
            if (n > kStageSize - stageEnd_) n = kStageSize - stageEnd_;
            stageDirect(in, n);
            return n;
        case kShifted:
            return stageShifted(in, length, inputEnded);
        case kSkipping:
            if (skipTo_ >= 0 && n > skipTo_ - inputPos_) n = static_cast<int>(skipTo_ - inputPos_);
            inputPos_ += n;
            return n;
        case kParallel:
            break;
    }
    return 0;
}

void Bzip2Stream::stageDirect(const uint8_t* in, int n) {
    std::memcpy(stage_ + stageEnd_, in, n);
    stageEnd_ += n;
    if (mode_ == kIndexRecording) {
        for (int i = 0; i < n; ++i) {
            scan(in[i]);
            ++inputPos_;
        }
    } else {
        inputPos_ += n;
    }
}

// Adds the byte at inputPos_ to the scan register; a magic beginning 6
// bytes before is then fully in view.
void Bzip2Stream::scan(uint8_t byte) {
    scanRegister_ = scanRegister_ << 8 | byte;
    if (inputPos_ < 6) return;
    bzip2::forEachMagic(scanRegister_, [this](int phase, bool end) {
        if (mode_ != kIndexRecording) return;
        if (pendingCount_ == kMaxPending) {
            abandonIndex();
            return;
        }
        pending_[pendingCount_++] = Candidate{inputPos_ - 6, static_cast<uint8_t>(phase), end,
                                              static_cast<uint8_t>(scanRegister_ >> 56)};
    });
}

// Bits from the resumed block's magic up to the stream's end magic, shifted
// to byte alignment: each staged byte joins the tail of one packed byte with
// the head of the next.
int Bzip2Stream::stageShifted(const uint8_t* in, int length, bool inputEnded) {
    int taken = 0;
    while (taken < length && stageEnd_ < kStageSize) {
        int64_t firstBit = phase_ == 0 ? inputPos_ * 8 : (inputPos_ - 1) * 8 + phase_;
        bool emits = phase_ == 0 || carry_ >= 0;
        if (emits && shiftEndBit_ >= 0 && firstBit >= shiftEndBit_) {
            feed_ = kSkipping;
            return taken;
        }
        uint8_t byte = in[taken++];
        ++inputPos_;
        if (phase_ == 0) {
            stage_[stageEnd_++] = byte;
        } else {
            if (carry_ >= 0) stage_[stageEnd_++] = static_cast<uint8_t>(carry_ << phase_ | byte >> (8 - phase_));
            carry_ = byte;
        }
    }
    if (inputEnded && stageEnd_ < kStageSize) {
        // Packed data ends: the last byte's tail is all there is.
        if (carry_ >= 0) stage_[stageEnd_++] = static_cast<uint8_t>(carry_ << phase_);
        carry_ = -1;
        feed_ = kSkipping;
    }
    return taken;
}

// While recording, a byte is fed only once every magic that could begin in
// it has been seen, and feeding pauses at each magic.
int Bzip2Stream::feedLimit(bool inputEnded) const {
    int staged = stageEnd_ - stageStart_;
    if (mode_ != kIndexRecording || feed_ != kDirect) return staged;
    int64_t end = inputEnded ? inputPos_ : inputPos_ - 6;
    if (pendingCount_ > 0 && pending_[0].byte + 1 < end) end = pending_[0].byte + 1;
    int64_t limit = end - nextUnfed();
    if (limit < 0) return 0;
    return limit < staged ? static_cast<int>(limit) : staged;
}

void Bzip2Stream::takeCandidate() {
    Candidate c = pending_[0];
    std::memmove(pending_, pending_ + 1, sizeof(Candidate) * --pendingCount_);
    const bool first = awaitingFirstBlock_;
    if (first) {
        // A stream's first magic follows its 4-byte header.
        if (c.byte != streamStart_ + 4 || c.phase != 0) return;
    } else if (outPos_ == boundaryOut_) {
        return;  // a look-alike inside a block
    }
    closeBlock();
    awaitingFirstBlock_ = false;
    boundaryOut_ = outPos_;
    if (mode_ != kIndexRecording) return;
    if (c.end) {
        streams_.back().endBit = c.byte * 8 + c.phase;
        return;
    }
    if (first) {
        if (c.level < '1' || c.level > '9') {
            abandonIndex();
            return;
        }
        level_ = c.level;
    }
    Block block{c.byte, 0, c.phase, level_, static_cast<uint16_t>(streams_.count() - 1)};
    if (!blocks_.push(block)) {
        abandonIndex();
        return;
    }
    blockOpen_ = true;
}

bool Bzip2Stream::endOfStream() {
    int64_t end = nextUnfed();
    if (closeStreamRecord(end)) {
        while (pendingCount_ > 0 && pending_[0].byte < end) {
            std::memmove(pending_, pending_ + 1, sizeof(Candidate) * --pendingCount_);
        }
        streamStart_ = end;
        awaitingFirstBlock_ = true;
    }
    afterStreamEnd_ = true;
    return restartLibrary();
}

// Records where the stream ends and opens the next one's record; false when
// not recording (any more).
bool Bzip2Stream::closeStreamRecord(int64_t endByte) {
    if (mode_ != kIndexRecording) return false;
    // The end magic must have been seen, and a stream count that does not
    // fit the records ends the index.
    if (streams_.back().endBit < 0 || streams_.count() >= 0xFFFF) {
        abandonIndex();
        return false;
    }
    streams_.back().endByte = endByte;
    if (!streams_.push(StreamBounds{})) {
        abandonIndex();
        return false;
    }
    return true;
}

void Bzip2Stream::blockDelivered(int64_t startBit, uint8_t level, int64_t length) {
    if (mode_ != kIndexRecording) return;
    Block block{startBit >> 3, static_cast<uint32_t>(length), static_cast<uint8_t>(startBit & 7), level,
                static_cast<uint16_t>(streams_.count() - 1)};
    if (length > UINT32_MAX || !blocks_.push(block)) abandonIndex();
}

void Bzip2Stream::streamEnded(int64_t endBit, int64_t endByte) {
    if (mode_ != kIndexRecording) return;
    streams_.back().endBit = endBit;
    closeStreamRecord(endByte);
}

void Bzip2Stream::closeBlock() {
    if (!blockOpen_) return;
    int64_t length = outPos_ - boundaryOut_;
    if (length > UINT32_MAX) {
        abandonIndex();
        return;
    }
    blocks_.back().length = static_cast<uint32_t>(length);
    blockOpen_ = false;
}

void Bzip2Stream::finishIndex() {
    if (mode_ != kIndexRecording) return;
    closeBlock();
    if (mode_ == kIndexRecording) mode_ = kIndexComplete;
}

void Bzip2Stream::abandonIndex() {
    blocks_.clear();
    streams_.clear();
    pendingCount_ = 0;
    blockOpen_ = false;
    mode_ = kIndexOff;
}

bool Bzip2Stream::restartPoint(int64_t target, int64_t* inputOffset, int64_t* outputPosition) {
    // A caller that knows the size stops reading at its end, before libbz2
    // reports the stream end: everything is decoded then all the same.
    // The end magic after the last block was fed but never waited at then.
    if (mode_ == kIndexRecording && knownSize() >= 0 && outPos_ >= knownSize()) {
        if (pendingCount_ > 0 && pending_[0].end) takeCandidate();
        finishIndex();
    }
    if (mode_ != kIndexComplete || blocks_.count() == 0) return false;
    int index = 0;
    int64_t start = 0;
    for (; index + 1 < blocks_.count() && target >= start + blocks_[index].length; ++index) {
        start += blocks_[index].length;
    }
    int64_t here = tell();
    if (here >= start && here <= target) return false;
    const Block& block = blocks_[index];
    if (parallel_.resumeAt(block.position * 8 + block.phase, block.level)) {
        feed_ = kParallel;
    } else {
        if (!restartLibrary()) return false;
        const StreamBounds& bounds = streams_[block.stream];
        stageStart_ = 0;
        std::memcpy(stage_, "BZh", 3);
        stage_[3] = block.level;
        stageEnd_ = 4;
        feed_ = kShifted;
        phase_ = block.phase;
        carry_ = -1;
        shiftEndBit_ = bounds.endBit;
        skipTo_ = bounds.endByte;
        inputPos_ = block.position;
    }
    outPos_ = start;
    afterStreamEnd_ = false;
    damageFound_ = false;
    *inputOffset = block.position;
    *outputPosition = start;
    return true;
}

}  // namespace

InStream* makeBzip2Stream(const CodecRequest& r) {
    return startDecoderStream(
        new (std::nothrow) Bzip2Stream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
        [](Bzip2Stream& stream) { return stream.start(); });
}

}  // namespace zorvex
