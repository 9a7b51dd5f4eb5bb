#include "codecs/bzip2/bzip2_blocks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/bzip2/bzip2_magic.h"
#include "engine/copy_bytes.h"
#include "engine/stream.h"
#include "platform/platform.h"

namespace zorvex {
namespace bzip2 {
namespace {

// Packed bytes taken ahead: far more than the longest block, and a block's
// worth for each slot.
constexpr int kInputCapacity = 8 << 20;
constexpr int kInputPerSlot = 1 << 20;
constexpr int kMaxMarks = 4096;
constexpr int kFirstOutput = 1 << 20;
constexpr int kOutputStep = 1 << 18;  // a worker looks for cancellation this often
constexpr int kMaxRetries = 16;       // look-alikes tolerated inside one block
// A block holds at least its magic; no other magic can begin inside that.
constexpr int kMagicBits = 48;

int64_t bytesFor(int64_t bits) { return (bits + 7) / 8; }

// The byte after a stream whose end magic begins at `endBit`: the magic, the
// stream CRC, then padding.
int64_t streamEndByte(int64_t endBit) { return bytesFor(endBit + kMagicBits + 32); }

class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}
    void put(uint64_t value, int bits) {
        register_ = register_ << bits | (value & ((uint64_t(1) << bits) - 1));
        count_ += bits;
        while (count_ >= 8) {
            count_ -= 8;
            *out_++ = static_cast<uint8_t>(register_ >> count_);
        }
    }
    uint8_t* flush() {
        if (count_ > 0) put(0, 8 - count_);
        return out_;
    }

private:
    uint8_t* out_;
    uint64_t register_ = 0;
    int count_ = 0;
};

bool reserve(uint8_t** buffer, int* capacity, int size) {
    if (*capacity >= size) return true;
    void* grown = std::realloc(*buffer, size);
    if (!grown) return false;
    *buffer = static_cast<uint8_t*>(grown);
    *capacity = size;
    return true;
}

}  // namespace


// ---- LibraryMemory --------------------------------------------------------

LibraryMemory::~LibraryMemory() {
    for (Block& block : blocks_) platform::freeLarge(block.memory);
}

void LibraryMemory::attach(bz_stream& bz) {
    bz.bzalloc = &allocate;
    bz.bzfree = &release;
    bz.opaque = this;
}

// A free block of the same size is handed out again; otherwise a free slot
// takes the new block, dropping what it held.
void* LibraryMemory::allocate(void* self, int count, int size) {
    if (count <= 0 || size <= 0) return nullptr;
    size_t bytes = size_t(count) * size_t(size);
    Block* slot = nullptr;
    for (Block& block : static_cast<LibraryMemory*>(self)->blocks_) {
        if (block.inUse) continue;
        if (block.memory && block.size == bytes) {
            block.inUse = true;
            return block.memory;
        }
        if (!slot || !block.memory) slot = &block;
    }
    if (!slot) return platform::allocateLarge(bytes);
    platform::freeLarge(slot->memory);
    slot->memory = platform::allocateLarge(bytes);
    slot->size = bytes;
    slot->inUse = slot->memory != nullptr;
    return slot->memory;
}

void LibraryMemory::release(void* self, void* memory) {
    for (Block& block : static_cast<LibraryMemory*>(self)->blocks_) {
        if (block.memory == memory) {
            block.inUse = false;
            return;
        }
    }
    platform::freeLarge(memory);
}

// ---- BlockJob -------------------------------------------------------------

BlockJob::~BlockJob() {
    std::free(input);
    std::free(output);
}

// Keeps the first kMaxBlockOutput bytes; past them the output only counts
// (written over the same buffer) and the block is marked too big.
void decodeBlockJob(BlockJob& job, LibraryMemory& memory) {
    job.result = JobResult::kFailed;
    job.decodedSize = 0;
    if (!reserve(&job.output, &job.outputCapacity, kFirstOutput)) return;
    bz_stream bz;
    std::memset(&bz, 0, sizeof bz);
    memory.attach(bz);
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) return;
    bz.next_in = reinterpret_cast<char*>(job.input);
    bz.avail_in = static_cast<unsigned>(job.inputSize);
    bool tooBig = false;
    int kept = 0;
    while (!job.cancelled.load(std::memory_order_relaxed)) {
        if (kept == job.outputCapacity) {
            int grown = std::min(job.outputCapacity * 2, kMaxBlockOutput);
            if (tooBig || job.outputCapacity >= kMaxBlockOutput ||
                !reserve(&job.output, &job.outputCapacity, grown)) {
                tooBig = true;
                kept = 0;
            }
        }
        int room = std::min(job.outputCapacity - kept, kOutputStep);
        bz.next_out = reinterpret_cast<char*>(job.output + kept);
        bz.avail_out = static_cast<unsigned>(room);
        int status = BZ2_bzDecompress(&bz);
        int made = room - static_cast<int>(bz.avail_out);
        kept += made;
        job.decodedSize += made;
        if (status == BZ_STREAM_END) {
            // Input left over: the block ended before the next magic.
            if (bz.avail_in == 0) job.result = tooBig ? JobResult::kTooBig : JobResult::kConfirmed;
            break;
        }
        // An error, or the block runs on past the next magic.
        if (status != BZ_OK || (made == 0 && bz.avail_in == 0)) break;
    }
    BZ2_bzDecompressEnd(&bz);
}

// ---- ParallelBlocks: setup ------------------------------------------------

ParallelBlocks::~ParallelBlocks() {
    discardJobs();
    if (streaming_) BZ2_bzDecompressEnd(&stream_);
    platform::freeLarge(in_);
    std::free(marks_);
}

bool ParallelBlocks::start() {
    if (pool_.started()) return true;
    const int workers = jobWorkerCount();
    if (workers == 0) return false;
    if (!in_) {
        inputCapacity_ = std::max(kInputCapacity, (workers + 1) * kInputPerSlot);
        in_ = static_cast<uint8_t*>(platform::allocateLarge(inputCapacity_));
    }
    if (!marks_) marks_ = static_cast<Mark*>(std::malloc(sizeof(Mark) * kMaxMarks));
    if (!in_ || !marks_) return false;
    if (!pool_.start(workers)) return false;
    slots_ = workers + 1;
    return true;
}

void ParallelBlocks::restart() {
    discardJobs();
    inBase_ = 0;
    inFill_ = 0;
    inputEnded_ = false;
    window_ = 0;
    markFirst_ = markCount_ = 0;
    plan_ = kAtHeader;
    planPos_ = 0;
    starved_ = false;
    streamCrc_ = 0;
    crcKnown_ = true;
    retries_ = 0;
    failed_ = false;
}

bool ParallelBlocks::resumeAt(int64_t bit, uint8_t level) {
    if (!start()) return false;
    restart();
    inBase_ = bit >> 3;
    plan_ = kAtMagic;
    planPos_ = bit;
    minEnd_ = bit + kMagicBits;
    level_ = level;
    crcKnown_ = false;
    return true;
}

void ParallelBlocks::discardJobs() {
    BlockJob* inFlight[kMaxPoolJobs];
    for (int i = 0; i < jobCount_; ++i) inFlight[i] = &jobAt(i);
    pool_.cancel(inFlight, jobCount_);
    jobCount_ = 0;
    delivered_ = 0;
    checked_ = false;
    if (streaming_) BZ2_bzDecompressEnd(&stream_);
    streaming_ = false;
}

void ParallelBlocks::fail() {
    discardJobs();
    failed_ = true;
}

// ---- ParallelBlocks: the caller's state machine ---------------------------

int ParallelBlocks::decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                           int* produced) {
    *consumed = 0;
    *produced = 0;
    if (inLength == 0) inputEnded_ = true;
    for (;;) {
        // Data decoded before damage is delivered before the error.
        if (failed_) return *produced > 0 ? kDecodeProgress : kDecodeError;
        if (*produced == outCapacity) return kDecodeProgress;
        plan();
        if (jobCount_ > 0 && pool_.finished(&jobAt(0))) {
            deliverHead(out, outCapacity, produced);
            continue;
        }
        if (starved_ && *consumed < inLength) {
            int took = takeInput(in + *consumed, inLength - *consumed);
            *consumed += took;
            if (took > 0) continue;
        }
        if (starved_ && *consumed == inLength && inLength > 0) return kDecodeProgress;
        if (jobCount_ > 0) {
            if (*produced > 0) return kDecodeProgress;
            pool_.wait(&jobAt(0));
            continue;
        }
        if (plan_ != kPlanEnded) {
            fail();  // no magic within the whole buffer: not a block
            continue;
        }
        if (planStatus_ == kDecodeError && *produced > 0) return kDecodeProgress;
        return planStatus_;
    }
}

void ParallelBlocks::deliverHead(uint8_t* out, int outCapacity, int* produced) {
    BlockJob& job = jobAt(0);
    if (!checked_) {
        if (job.result == JobResult::kFailed) {
            retryHead();
            return;
        }
        if (job.endsStream && crcKnown_ && combinedCrc(job) != job.streamCrc) {
            fail();
            return;
        }
        checked_ = true;
    }
    if (job.result == JobResult::kTooBig) {
        if (!streamHead(job, out, outCapacity, produced)) fail();
        return;
    }
    int n = static_cast<int>(std::min<int64_t>(outCapacity - *produced, job.decodedSize - delivered_));
    if (n > 0) copyBytes(out + *produced, job.output + delivered_, n);
    *produced += n;
    delivered_ += n;
    if (delivered_ == job.decodedSize) completeHead();
}

// A block too big to keep is decoded again into the reader's buffer; it is
// confirmed already, so it must decode to the same length.
bool ParallelBlocks::streamHead(BlockJob& job, uint8_t* out, int outCapacity, int* produced) {
    if (!streaming_) {
        std::memset(&stream_, 0, sizeof stream_);
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) return false;
        streaming_ = true;
        stream_.next_in = reinterpret_cast<char*>(job.input);
        stream_.avail_in = static_cast<unsigned>(job.inputSize);
    }
    int room = outCapacity - *produced;
    unsigned before = stream_.avail_in;
    stream_.next_out = reinterpret_cast<char*>(out + *produced);
    stream_.avail_out = static_cast<unsigned>(room);
    int status = BZ2_bzDecompress(&stream_);
    int made = room - static_cast<int>(stream_.avail_out);
    *produced += made;
    delivered_ += made;
    if (delivered_ > job.decodedSize) return false;
    if (status == BZ_STREAM_END) {
        BZ2_bzDecompressEnd(&stream_);
        streaming_ = false;
        if (delivered_ != job.decodedSize) return false;
        completeHead();
        return true;
    }
    return status == BZ_OK && (made > 0 || stream_.avail_in < before);
}

void ParallelBlocks::completeHead() {
    BlockJob& job = jobAt(0);
    if (!job.empty) listener_.blockDelivered(job.startBit, job.level, job.decodedSize);
    streamCrc_ = combinedCrc(job);
    if (job.endsStream) {
        listener_.streamEnded(job.endBit, job.nextStream);
        streamCrc_ = 0;
        crcKnown_ = true;
    }
    job.state = JobState::kFree;
    head_ = (head_ + 1) % slots_;
    --jobCount_;
    delivered_ = 0;
    checked_ = false;
    retries_ = 0;
}

// The head did not decode as a whole block: either the magic that ended it
// was a look-alike inside its data, and the block runs on to a later magic,
// or it is damaged, which shows when no later magic ends it either.
void ParallelBlocks::retryHead() {
    BlockJob& job = jobAt(0);
    if (++retries_ > kMaxRetries) {
        fail();
        return;
    }
    int64_t start = job.startBit;
    int64_t end = job.endBit;
    uint8_t level = job.level;
    discardJobs();
    plan_ = kAtMagic;
    planPos_ = start;
    minEnd_ = end + 1;
    level_ = level;
}

uint32_t ParallelBlocks::combinedCrc(const BlockJob& job) const {
    if (job.empty) return streamCrc_;
    return (streamCrc_ << 1 | streamCrc_ >> 31) ^ job.blockCrc;
}

// ---- ParallelBlocks: planning ---------------------------------------------

void ParallelBlocks::plan() {
    dropMarks();
    starved_ = false;
    while (jobCount_ < slots_ && plan_ != kPlanEnded) {
        Step step = planOne();
        if (step == kStarved) starved_ = true;
        if (step != kPlanned) return;
    }
}

ParallelBlocks::Step ParallelBlocks::planOne() { return plan_ == kAtHeader ? planHeader() : planBlock(); }

void ParallelBlocks::endPlan(int status) {
    plan_ = kPlanEnded;
    planStatus_ = status;
}

// A stream's 4-byte header, then its first magic right after it.
ParallelBlocks::Step ParallelBlocks::planHeader() {
    int header = checkHeader(planPos_);
    if (header < 0) return kStarved;
    if (header != kDecodeProgress) {
        endPlan(header);
        return kStopped;
    }
    const int64_t firstBit = (planPos_ + 4) * 8;
    const Mark* first = markFrom(firstBit);
    if (!first && !inputEnded_ && !available(planPos_ + 4 + 7)) return kStarved;
    if (!first || first->bit != firstBit) {
        endPlan(kDecodeError);
        return kStopped;
    }
    level_ = in_[planPos_ + 3 - inBase_];
    plan_ = kAtMagic;
    planPos_ = firstBit;
    minEnd_ = firstBit + kMagicBits;
    return kPlanned;
}

// kDecodeProgress when a stream starts at `at`; kDecodeEnd when the bytes
// there start none after a complete stream (they are ignored); kDecodeError;
// -1 when more input is needed to tell.
int ParallelBlocks::checkHeader(int64_t at) const {
    static const char kSignature[] = "BZh";
    for (int i = 0; i < 4; ++i) {
        if (!available(at + i + 1)) {
            if (!inputEnded_) return -1;
            // Input may end between streams, not inside a header.
            return i == 0 && at > 0 ? kDecodeEnd : kDecodeError;
        }
        uint8_t c = in_[at + i - inBase_];
        bool fits = i < 3 ? c == static_cast<uint8_t>(kSignature[i]) : c >= '1' && c <= '9';
        if (!fits) return at > 0 ? kDecodeEnd : kDecodeError;
    }
    return kDecodeProgress;
}

// At a magic: a block up to the next magic, or an empty stream.
ParallelBlocks::Step ParallelBlocks::planBlock() {
    const Mark* here = markFrom(planPos_);
    if (!here && !inputEnded_) return kStarved;
    if (!here || here->bit != planPos_) {
        endPlan(kDecodeError);  // a resumed block that is not there
        return kStopped;
    }
    const bool empty = here->end;
    const Mark* next = empty ? here : markFrom(minEnd_);
    if (!next || !available(streamEndByte(next->bit))) {
        if (!inputEnded_) return kStarved;
        // A block tried up to later magics and never whole is damaged;
        // otherwise the data was cut inside a block or a trailer.
        if (retries_ > 0) fail();
        else endPlan(kDecodeError);
        return kStopped;
    }
    BlockJob* job = newJob();
    job->startBit = planPos_;
    job->endBit = next->bit;
    job->level = level_;
    job->empty = empty;
    job->endsStream = next->end;
    job->blockCrc = empty ? 0 : bitsAt(planPos_ + kMagicBits, 32);
    if (next->end) {
        job->streamCrc = bitsAt(next->bit + kMagicBits, 32);
        job->nextStream = streamEndByte(next->bit);
        plan_ = kAtHeader;
        planPos_ = job->nextStream;
    } else {
        planPos_ = next->bit;
        minEnd_ = planPos_ + kMagicBits;
    }
    if (empty) {
        job->decodedSize = 0;
        job->result = JobResult::kConfirmed;
        job->state = JobState::kDone;
    } else if (buildInput(*job)) {
        pool_.submit(job);
    } else {
        fail();
        return kStopped;
    }
    return kPlanned;
}

BlockJob* ParallelBlocks::newJob() {
    BlockJob* job = &jobAt(jobCount_);
    ++jobCount_;
    return job;
}

// The synthetic stream: header, the block's bits from its magic on shifted
// to byte alignment, an end magic and the block's CRC as the stream's.
bool ParallelBlocks::buildInput(BlockJob& job) {
    const int64_t bits = job.endBit - job.startBit;
    const int64_t whole = bits / 8;
    if (!reserve(&job.input, &job.inputCapacity, static_cast<int>(4 + whole + 12))) return false;
    std::memcpy(job.input, "BZh", 3);
    job.input[3] = job.level;
    const uint8_t* from = in_ + (job.startBit >> 3) - inBase_;
    const int shift = static_cast<int>(job.startBit & 7);
    uint8_t* to = job.input + 4;
    if (shift == 0) {
        std::memcpy(to, from, whole);
    } else {
        for (int64_t i = 0; i < whole; ++i) to[i] = static_cast<uint8_t>(from[i] << shift | from[i + 1] >> (8 - shift));
    }
    BitWriter tail(to + whole);
    int rest = static_cast<int>(bits % 8);
    if (rest) tail.put(bitsAt(job.startBit + whole * 8, rest), rest);
    tail.put(kEndMagic, kMagicBits);
    tail.put(job.blockCrc, 32);
    job.inputSize = static_cast<int>(tail.flush() - job.input);
    return true;
}

const ParallelBlocks::Mark* ParallelBlocks::markFrom(int64_t bit) const {
    for (int i = 0; i < markCount_; ++i) {
        const Mark& mark = marks_[(markFirst_ + i) % kMaxMarks];
        if (mark.bit >= bit) return &mark;
    }
    return nullptr;
}

// `count` (at most 32) bits from `bit` on; bits past the input read as 0.
uint32_t ParallelBlocks::bitsAt(int64_t bit, int count) const {
    uint64_t bits = 0;
    for (int64_t byte = bit >> 3; byte < (bit >> 3) + 5; ++byte) {
        bits = bits << 8 | (byte < inputEnd() ? in_[byte - inBase_] : 0);
    }
    return static_cast<uint32_t>((bits >> (40 - (bit & 7) - count)) & ((uint64_t(1) << count) - 1));
}

// ---- ParallelBlocks: input ------------------------------------------------

// Appends packed bytes, noting each magic once its 48 bits are in view.
int ParallelBlocks::takeInput(const uint8_t* in, int length) {
    if (inFill_ == inputCapacity_ || markCount_ + 16 > kMaxMarks) compact();
    int taken = 0;
    // One byte completes at most one magic of each kind per phase.
    while (taken < length && inFill_ < inputCapacity_ && markCount_ + 16 <= kMaxMarks) {
        uint8_t byte = in[taken++];
        int64_t position = inputEnd();
        in_[inFill_++] = byte;
        window_ = window_ << 8 | byte;
        if (position < 6) continue;
        forEachMagic(window_, [&](int phase, bool end) {
            marks_[(markFirst_ + markCount_++) % kMaxMarks] = Mark{(position - 6) * 8 + phase, end};
        });
    }
    return taken;
}

// The earliest packed bit still needed: where the head block (which may be
// tried again) or the plan begins.
int64_t ParallelBlocks::keepFrom() const {
    if (jobCount_ > 0) return jobs_[head_].startBit;
    return plan_ == kAtHeader ? planPos_ * 8 : planPos_;
}

void ParallelBlocks::dropMarks() {
    const int64_t keep = keepFrom();
    while (markCount_ > 0 && marks_[markFirst_].bit < keep) {
        markFirst_ = (markFirst_ + 1) % kMaxMarks;
        --markCount_;
    }
}

void ParallelBlocks::compact() {
    dropMarks();
    int64_t keep = std::clamp(keepFrom() >> 3, inBase_, inputEnd());
    int drop = static_cast<int>(keep - inBase_);
    if (drop == 0) return;
    std::memmove(in_, in_ + drop, inFill_ - drop);
    inFill_ -= drop;
    inBase_ = keep;
}

}  // namespace bzip2
}  // namespace zorvex
