#include "engine/parallel_units.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/codec.h"
#include "engine/copy_bytes.h"
#include "engine/pipeline.h"
#include "engine/stream.h"
#include "platform/platform.h"

namespace zorvex {
namespace {

// A job gathers small units up to this much packed data, so that a file of
// many small members (64 KiB each in bgzip) does not pay a hand-over per member.
constexpr int64_t kJobInput = 1 << 20;
// The most one job may decode to; a larger unit is decoded on the caller's thread.
constexpr int64_t kMaxJobOutput = int64_t{128} << 20;
// Packed bytes buffered per slot, and at most in all.
constexpr int64_t kBufferPerSlot = int64_t{16} << 20;
constexpr int64_t kMaxBuffer = int64_t{256} << 20;
// Packed bytes taken beyond the plan while it needs none: enough for the
// next job once a slot frees.
constexpr int64_t kReadAhead = 2 * kJobInput;
// A worker looks for cancellation this often.
constexpr int kReadStep = 1 << 20;

// Bytes in memory that a worker's codec stream reads; they outlive it.
class MemoryView final : public InStream {
public:
    MemoryView(const uint8_t* data, int64_t size) : InStream(u"", nullptr, 0), data_(data), size_(size) {}

    int64_t tell() override { return position_; }
    int64_t size() override { return size_; }
    bool seeksBounded() override { return true; }
    bool seek(int64_t position) override {
        if (position < 0 || position > size_) return false;
        position_ = position;
        return true;
    }
    int read(void* buf, int count) override {
        if (!buf || count <= 0) return 0;
        int n = static_cast<int>(std::min<int64_t>(count, size_ - position_));
        copyBytes(buf, data_ + position_, static_cast<size_t>(n));
        position_ += n;
        return n;
    }

private:
    const uint8_t* data_;
    int64_t size_;
    int64_t position_ = 0;
};

// Sizes are rounded up to a power of two (up to the most a job holds), so
// that jobs of slightly different bounds reuse one buffer. Large pages: a
// page fault costs more than decoding the few KiB it brings.
bool grow(uint8_t** buffer, int64_t* capacity, int64_t size) {
    if (*capacity >= size) return true;
    int64_t rounded = 1 << 16;
    while (rounded < size && rounded < kMaxJobOutput) rounded *= 2;
    size = std::max(size, rounded);
    platform::freeLarge(*buffer);
    *buffer = static_cast<uint8_t*>(platform::allocateLarge(static_cast<size_t>(size)));
    *capacity = *buffer ? size : 0;
    return *buffer != nullptr;
}

}  // namespace

InStream* openMemoryView(const uint8_t* data, int64_t size) { return new (std::nothrow) MemoryView(data, size); }

UnitCodec::Decoded decodeUnitsThrough(CodecRequest request, const uint8_t* in, int64_t size, const uint8_t* suffix,
                                      int suffixSize, int64_t decodedSize, uint8_t* out, int64_t capacity,
                                      const std::atomic<bool>& cancelled) {
    UnitCodec::Decoded failed;
    Ref<ConcatStream> packed(new (std::nothrow) ConcatStream(u"", nullptr, 0));
    Ref<InStream> units(openMemoryView(in, size));
    Ref<InStream> tail(openMemoryView(suffix, suffixSize));
    if (!packed || !units || !tail || !packed->appendPart(units.get(), 0, size) ||
        !packed->appendPart(tail.get(), 0, suffixSize))
        return failed;
    request.owner = nullptr;  // counts are not to be touched from here
    request.source = packed.get();
    request.offset = 0;
    request.packedSize = size + suffixSize;
    request.unpackedSize = decodedSize;
    Ref<InStream> decoded(openCodecStream(request));
    if (!decoded) return failed;
    int64_t total = 0;
    while (total < capacity) {
        if (cancelled.load(std::memory_order_relaxed)) return failed;
        int got = decoded->read(out + total, static_cast<int>(std::min<int64_t>(capacity - total, kReadStep)));
        if (got <= 0) break;
        total += got;
    }
    uint8_t beyond;
    if (total == capacity && decodedSize < 0 && decoded->read(&beyond, 1) > 0) return failed;
    if (decoded->damaged() || (decodedSize >= 0 && total != decodedSize)) return failed;
    return UnitCodec::Decoded{total, size};
}

UnitJob::~UnitJob() {
    platform::freeLarge(input);
    platform::freeLarge(output);
}

ParallelUnits::ParallelUnits(InStream& stream, UnitCodec& codec, int64_t packedSize)
    : stream_(stream),
      codec_(codec),
      packedSize_(packedSize),
      enabled_(packedSize >= kMinimumPacked),
      mode_(enabled_ ? Mode::kUnstarted : Mode::kSerial) {}

ParallelUnits::~ParallelUnits() {
    discardJobs();
    platform::freeLarge(buffer_);
}

// The threads themselves start with the first job (submit): data that turns
// out to hold a single unit (most gzip files) is decoded on the caller's
// thread and never pays for them.
bool ParallelUnits::planForWorkers() {
    if (slots_ > 0) return true;
    const int workers = std::min(jobWorkerCount(), kMaxJobWorkers);
    if (workers == 0) return false;
    slots_ = workers + 1;
    limit_ = std::min({kMaxBuffer, slots_ * kBufferPerSlot, packedSize_});
    return true;
}

void ParallelUnits::restart() {
    discardJobs();
    base_ = planned_ = serialFrom_ = 0;
    fill_ = replayed_ = 0;
    output_ = 0;
    inputEnded_ = false;
    planEnded_ = false;
    planWaits_ = false;
    mode_ = !enabled_ ? Mode::kSerial : slots_ > 0 ? Mode::kParallel : Mode::kUnstarted;
}

void ParallelUnits::resumeSerial(int64_t offset) {
    discardJobs();
    base_ = planned_ = serialFrom_ = offset;
    fill_ = replayed_ = 0;
    inputEnded_ = false;
    planEnded_ = true;
    mode_ = Mode::kSerial;
}

int ParallelUnits::decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                          int* produced) {
    int status = decodeStep(in, inLength, consumed, out, outCapacity, produced);
    output_ += *produced;
    return status;
}

int ParallelUnits::decodeStep(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                              int* produced) {
    *consumed = 0;
    *produced = 0;
    // Planned at the first read, not for a stream only listed.
    if (mode_ == Mode::kUnstarted) mode_ = planForWorkers() ? Mode::kParallel : Mode::kSerial;
    if (mode_ == Mode::kSerial) return decodeSerial(in, inLength, consumed, out, outCapacity, produced);

    *consumed = takeInput(in, inLength);
    for (;;) {
        plan();
        if (jobCount_ == 0) {
            // Nothing planned: more input is wanted, or the codec's own decoder takes over.
            if (!planEnded_) return kDecodeProgress;
            switchToSerial(serialFrom_);
            if (*consumed > 0 || *produced > 0) return kDecodeProgress;
            return decodeSerial(in, inLength, consumed, out, outCapacity, produced);
        }
        if (*produced == outCapacity) return kDecodeProgress;
        UnitJob& head = jobAt(0);
        if (!pool_.finished(&head)) {
            // Rather than wait, take more input while the plan can use it.
            const bool planCanGrow = !planEnded_ && jobCount_ < slots_ && !inputEnded_;
            if (*produced > 0 || (planCanGrow && *consumed > 0)) return kDecodeProgress;
            pool_.wait(&head);
        }
        if (delivered_ == 0 && !accepted(head)) {
            switchToSerial(head.start);
            if (*consumed > 0 || *produced > 0) return kDecodeProgress;
            return decodeSerial(in, inLength, consumed, out, outCapacity, produced);
        }
        int n = static_cast<int>(std::min<int64_t>(outCapacity - *produced, head.result.produced - delivered_));
        copyBytes(out + *produced, head.output + delivered_, static_cast<size_t>(n));
        delivered_ += n;
        *produced += n;
        if (delivered_ == head.result.produced) {
            const int64_t jobOutput = output_ + *produced - head.result.produced;
            for (int i = 0; i < std::min(head.result.markCount, UnitCodec::kMaxMarks); ++i)
                codec_.unitsDelivered(head.start + head.result.marks[i].used,
                                      jobOutput + head.result.marks[i].produced);
            codec_.unitsDelivered(head.start + head.result.used, output_ + *produced);
            completeHead();
        }
    }
}

// Units that took fewer bytes than planned are whole only when they are the
// last ones found, and then the codec's own decoder goes on after them
// (junk after the last gzip member is its to judge).
bool ParallelUnits::accepted(const UnitJob& head) {
    if (head.result.produced < 0) return false;
    const bool whole = head.result.used == head.inputSize ||
                       (jobCount_ == 1 && planEnded_ && serialFrom_ == head.start + head.inputSize);
    return whole && codec_.acceptUnits(head.start, head.result, head.output);
}

void ParallelUnits::completeHead() {
    UnitJob& head = jobAt(0);
    if (head.result.used < head.inputSize) serialFrom_ = head.start + head.result.used;
    head.state = JobState::kFree;
    head_ = (head_ + 1) % slots_;
    --jobCount_;
    delivered_ = 0;
}

void ParallelUnits::discardJobs() {
    UnitJob* inFlight[kMaxPoolJobs];
    for (int i = 0; i < jobCount_; ++i) inFlight[i] = &jobAt(i);
    pool_.cancel(inFlight, jobCount_);
    jobCount_ = 0;
    head_ = 0;
    delivered_ = 0;
}

// Takes what fits of the caller's bytes, as far ahead of the plan as it can
// use, once the bytes no job or plan needs any more are dropped. They are
// moved down only when no more is moved than dropped, or room is short.
int ParallelUnits::takeInput(const uint8_t* in, int length) {
    if (planEnded_) return 0;
    if (length == 0) {
        inputEnded_ = true;
        return 0;
    }
    if (!planWaits_ && inputEnd() - planned_ >= kReadAhead) return 0;
    int64_t keep = keepFrom();
    if (keep > base_ && (keep - base_ >= inputEnd() - keep || limit_ - fill_ < length)) {
        std::memmove(buffer_, at(keep), static_cast<size_t>(inputEnd() - keep));
        fill_ -= keep - base_;
        base_ = keep;
    }
    int n = static_cast<int>(std::min<int64_t>(length, limit_ - fill_));
    if (n <= 0) return 0;
    if (!reserve(fill_ + n)) {
        // Short of memory: the codec's own decoder goes on from the plan's end.
        planEnded_ = true;
        serialFrom_ = planned_;
        return 0;
    }
    std::memcpy(buffer_ + fill_, in, static_cast<size_t>(n));
    fill_ += n;
    return n;
}

int64_t ParallelUnits::keepFrom() const { return jobCount_ > 0 ? jobs_[head_].start : planned_; }

// The buffer is taken once, as large as it may have to grow (the packed
// size bounds it) on large pages where the system has them: its pages are
// touched only as they fill, and a stream buffered whole while its units are
// looked for pays far fewer page faults than growing copies would.
bool ParallelUnits::reserve(int64_t bytes) {
    if (bytes <= capacity_) return true;
    if (buffer_ || bytes > limit_) return false;
    buffer_ = static_cast<uint8_t*>(platform::allocateLarge(static_cast<size_t>(limit_)));
    if (!buffer_) return false;
    capacity_ = limit_;
    return true;
}

// Hands runs of whole units to free slots. The plan ends where no unit can
// be found, one is too large for a worker or the buffer, or memory is short.
void ParallelUnits::plan() {
    planWaits_ = false;
    while (!planEnded_ && jobCount_ < slots_) {
        const bool full = inputEnd() - keepFrom() >= limit_;
        int64_t end = planned_;
        int64_t bound = 0;
        bool continues = false;
        for (;;) {
            UnitCodec::Unit unit;
            UnitCodec::Found found = codec_.findUnit(end, at(end), inputEnd() - end, inputEnded_, &unit);
            if (found == UnitCodec::Found::kUnit && (unit.decodedBound > kMaxJobOutput || unit.length <= 0))
                found = UnitCodec::Found::kNone;
            if (found == UnitCodec::Found::kMore && inputEnded_) found = UnitCodec::Found::kNone;
            // Data of a single unit (zstd -T0 writes one frame, one thread's
            // LZMA2 one run of chunks) has nothing to share out. A first unit
            // whose end is seen only once every packed byte is in runs to the
            // data's end but for an end mark, a trailer or a last piece: a
            // job would only copy it all twice.
            if (found == UnitCodec::Found::kUnit && end == 0 && (inputEnded_ || inputEnd() >= packedSize_))
                found = UnitCodec::Found::kNone;
            if (found == UnitCodec::Found::kUnit) {
                const bool fits =
                    end - planned_ + unit.length <= kJobInput && bound + unit.decodedBound <= kMaxJobOutput;
                if (end > planned_ && !fits) break;
                if (end == planned_) continues = unit.continues;
                end += unit.length;
                bound += unit.decodedBound;
                if (end - planned_ >= kJobInput) break;
                continue;
            }
            if (found == UnitCodec::Found::kMore && !full) {
                planWaits_ = end == planned_;
                if (planWaits_) return;  // wait for input
                break;
            }
            // Room for the unit comes as the jobs ahead are delivered.
            if (found == UnitCodec::Found::kMore && end == planned_ && jobCount_ > 0) {
                planWaits_ = true;
                return;
            }
            if (end == planned_) {
                planEnded_ = true;
                serialFrom_ = planned_;
                return;
            }
            break;
        }
        if (!submit(planned_, end, bound, continues)) {
            planEnded_ = true;
            serialFrom_ = planned_;
            return;
        }
        planned_ = end;
    }
}

bool ParallelUnits::submit(int64_t start, int64_t end, int64_t bound, bool continues) {
    if (!pool_.started() && !pool_.start(slots_ - 1)) return false;
    UnitJob& job = jobAt(jobCount_);
    if (!grow(&job.input, &job.inputCapacity, end - start) || !grow(&job.output, &job.outputCapacity, bound))
        return false;
    std::memcpy(job.input, at(start), static_cast<size_t>(end - start));
    job.codec = &codec_;
    job.start = start;
    job.continues = continues;
    job.inputSize = end - start;
    job.outputCapacity = bound;
    job.result = UnitCodec::Decoded{};
    pool_.submit(&job);
    ++jobCount_;
    return true;
}

void ParallelUnits::switchToSerial(int64_t offset) {
    discardJobs();
    codec_.startSerial(offset);
    replayed_ = offset - base_;
    mode_ = Mode::kSerial;
}

// The codec's own decoder: first the bytes buffered from where it took over,
// then the caller's. The buffered bytes go in the pieces a decoder stream
// reads its packed data in, so that a library that gives more or less output
// before it finds damage depending on its input's pieces gives the same as
// on one thread.
int ParallelUnits::decodeSerial(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                                int* produced) {
    constexpr int kPiece = DecoderStream::kBufferSize;
    while (replayed_ < fill_) {
        const int64_t toBoundary = kPiece - (base_ + replayed_) % kPiece;
        int piece = static_cast<int>(std::min(fill_ - replayed_, toBoundary));
        int took = 0, gave = 0;
        int status = codec_.decodeSerial(buffer_ + replayed_, piece, &took, out, outCapacity, &gave);
        replayed_ += std::clamp(took, 0, piece);
        *produced = std::clamp(gave, 0, outCapacity);
        // A decoder that fails, or stops moving, with bytes to take found them corrupt.
        if (status == kDecodeError || (status == kDecodeProgress && took == 0 && gave == 0)) {
            stream_.markDamaged();
            return kDecodeError;
        }
        if (status != kDecodeProgress || *produced > 0) return status;
    }
    return codec_.decodeSerial(in, inLength, consumed, out, outCapacity, produced);
}

}  // namespace zorvex
