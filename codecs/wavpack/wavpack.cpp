#include "codecs/wavpack/wavpack.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "codecs/wavpack/block_run.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/copy_bytes.h"
#include "engine/job_pool.h"
#include "engine/pipeline.h"

// The file is decoded in runs of blocks, on worker threads, and delivered in
// order. A run is cut only before a block that begins a range of samples,
// where the library starts afresh anyway, so each run decodes on a context of
// its own exactly as it would inside the whole file. Whatever the runs cannot
// be cut cleanly around (junk or a tag between or after the blocks, a gap in
// the samples, a run that fails) is decoded from the last clean cut on, on the
// caller's thread, by one context that sees all of the rest as the library
// would; damage found there is reported as damage of the stream.

namespace zorvex {
namespace {

using wavpack::BlockRun;
using wavpack::Part;
using wavpack::kPartCount;

// A run ends at the first range of samples past this much output.
constexpr int64_t kRunOutput = 1 << 20;
// A run that would be longer than these is left to the caller's thread.
constexpr int64_t kMaxRunOutput = 16 << 20;
constexpr int64_t kMaxRunInput = 16 << 20;

constexpr int kHeaderSize = 32;
// The stream versions the library reads.
constexpr int kFirstVersion = 0x402;
constexpr int kLastVersion = 0x410;

struct BlockHeader {
    int64_t size;    // of the whole block
    int64_t index;   // of its first sample
    int64_t samples;
    bool startsRange;  // the first block of a range of samples
};

// Takes the header only as the library would when it meets it there.
bool parseHeader(const uint8_t* h, BlockHeader* block) {
    const uint32_t chunkSize = le32(h + 4);
    const int version = le16(h + 8);
    const uint32_t samples = le32(h + 20);
    if (h[0] != 'w' || h[1] != 'v' || h[2] != 'p' || h[3] != 'k') return false;
    if ((chunkSize & 1) || chunkSize >= (1u << 20) || chunkSize < 24) return false;
    if (version < kFirstVersion || version > kLastVersion || samples >= (3u << 16)) return false;
    block->size = chunkSize + 8;
    block->index = (static_cast<int64_t>(h[10]) << 32) | le32(h + 16);
    block->samples = samples;
    block->startsRange = samples > 0 && (le32(h + 24) & INITIAL_BLOCK);
    return true;
}

struct RunJob : PoolJob {
    RunJob() = default;
    RunJob(const RunJob&) = delete;
    RunJob& operator=(const RunJob&) = delete;
    ~RunJob() {
        std::free(input);
        std::free(output);
    }

    int64_t start = 0;         // where its blocks begin in the packed data
    uint8_t* input = nullptr;  // a copy of them, taken over by the worker
    int inputSize = 0;
    int frameSize = 0;
    int sampleBytes = 0;       // what the blocks say they hold

    // Set by the worker: the parts, one after another.
    uint8_t* output = nullptr;
    int outputCapacity = 0;
    int partLength[kPartCount] = {};
    bool decoded = false;
};

void decodeRun(RunJob& job) {
    job.decoded = false;
    for (int& length : job.partLength) length = 0;
    Ref<MemoryStream> packed(MemoryStream::adopt(u"", nullptr, 0, job.input, job.inputSize));
    job.input = nullptr;
    if (!packed) return;
    BlockRun run(packed.get(), 0, job.inputSize);
    if (!run.open() || run.frameSize() != job.frameSize) return;
    int used = 0;
    const uint8_t* bytes;
    Part part;
    while (int count = run.next(&bytes, &part)) {
        if (job.cancelled.load(std::memory_order_relaxed) || count > job.outputCapacity - used) return;
        copyBytes(job.output + used, bytes, count);
        used += count;
        job.partLength[static_cast<int>(part)] += count;
    }
    job.decoded = !run.damaged() && job.partLength[static_cast<int>(Part::kSamples)] == job.sampleBytes;
}

struct RunWorker {
    void operator()(RunJob& job) { decodeRun(job); }
};

class WavPackStream final : public InStream {
public:
    WavPackStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                  int64_t packedSize, int64_t unpackedSize)
        : InStream(name, owner, tag), source_(source), offset_(offset), packedSize_(packedSize),
          unpackedSize_(unpackedSize) {
        source_->addRef();
    }
    ~WavPackStream() override {
        discardJobs();
        source_->release();
    }

    // Checks that the data opens as WavPack and starts decoding; false when
    // it does not, or memory is short.
    bool start();

    int64_t tell() override { return position_; }
    int64_t size() override { return unpackedSize_; }
    bool seek(int64_t target) override;
    int read(void* buf, int count) override;

private:
    void restart();
    // Makes the next pending bytes; false once nothing more comes.
    bool produce();
    bool padDue(int trailer) const {
        return !padHanded_ && (sampleBytes_ & 1) && produced_ + trailer + 1 == unpackedSize_;
    }
    void hand(const uint8_t* bytes, int count) {
        pending_ = bytes;
        pendingCount_ = count;
        produced_ += count;
    }
    int nextPart(const uint8_t** bytes, Part* part);
    int nextOfHead(const uint8_t** bytes, Part* part);

    void plan();
    bool findRun(int64_t* end, int64_t* frames);
    bool readHeader(int64_t at, BlockHeader* block);
    bool fillJob(RunJob& job, int64_t end, int64_t frames);
    void leaveRestToCaller();
    void discardJobs();
    RunJob& jobAt(int i) { return jobs_[(head_ + i) % slots_]; }

    InStream* source_;
    int64_t offset_;
    int64_t packedSize_;
    int64_t unpackedSize_;
    int frameSize_ = 0;
    bool ready_ = false;

    int64_t position_ = 0;
    int64_t produced_ = 0;     // bytes made so far, handed out or pending
    int64_t sampleBytes_ = 0;  // of which PCM samples
    bool padHanded_ = false;
    const uint8_t* pending_ = nullptr;
    int pendingCount_ = 0;
    const uint8_t* heldTrailer_ = nullptr;  // waits for the pad byte
    int heldCount_ = 0;

    int64_t planPos_ = 0;  // the first block not planned yet
    int64_t nextIndex_ = 0;
    bool indexKnown_ = false;
    bool planEnded_ = false;
    RunJob jobs_[kMaxPoolJobs];  // a ring: jobCount_ jobs from head_
    int slots_ = 1;
    int head_ = 0;
    int jobCount_ = 0;
    int headPart_ = 0;  // the next part of the head job to hand
    std::unique_ptr<BlockRun> rest_;  // decodes what the runs leave, on this thread

    JobPool<RunJob, RunWorker> pool_;  // last: stopped before the jobs go
};

bool WavPackStream::start() {
    BlockRun probe(source_, offset_, packedSize_);
    if (!probe.open()) return false;
    frameSize_ = probe.frameSize();
    const int workers = jobWorkerCount();
    if (workers > 0 && pool_.start(workers)) slots_ = pool_.workers() + 1;
    restart();
    return ready_;
}

void WavPackStream::restart() {
    discardJobs();
    rest_.reset();
    position_ = produced_ = sampleBytes_ = 0;
    padHanded_ = false;
    pendingCount_ = heldCount_ = 0;
    planPos_ = 0;
    indexKnown_ = false;
    planEnded_ = false;
    ready_ = true;
    if (!pool_.started()) leaveRestToCaller();
}

void WavPackStream::discardJobs() {
    RunJob* inFlight[kMaxPoolJobs];
    for (int i = 0; i < jobCount_; ++i) inFlight[i] = &jobAt(i);
    pool_.cancel(inFlight, jobCount_);
    jobCount_ = 0;
    headPart_ = 0;
}

int WavPackStream::read(void* buf, int count) {
    if (!ready_ || !buf || count <= 0) return 0;
    if (count > unpackedSize_ - position_) count = static_cast<int>(unpackedSize_ - position_);
    auto* out = static_cast<uint8_t*>(buf);
    int done = 0;
    while (done < count) {
        if (pendingCount_ == 0 && !produce()) break;
        int n = pendingCount_ < count - done ? pendingCount_ : count - done;
        copyBytes(out + done, pending_, n);
        pending_ += n;
        pendingCount_ -= n;
        done += n;
    }
    position_ += done;
    return done;
}

// A data chunk of odd length is padded to even in the WAV file; the encoder
// keeps the pad byte in neither wrapper, so it goes between the samples and
// the trailing chunks.
bool WavPackStream::produce() {
    static const uint8_t kPad = 0;
    if (heldCount_ > 0) {
        hand(heldTrailer_, heldCount_);
        heldCount_ = 0;
        return true;
    }
    const uint8_t* bytes = nullptr;
    Part part = Part::kSamples;
    const int count = nextPart(&bytes, &part);
    if ((count == 0 || part == Part::kTrailer) && padDue(count)) {
        heldTrailer_ = bytes;
        heldCount_ = count;
        padHanded_ = true;
        hand(&kPad, 1);
        return true;
    }
    if (count == 0) return false;
    if (part == Part::kSamples) sampleBytes_ += count;
    hand(bytes, count);
    return true;
}

int WavPackStream::nextPart(const uint8_t** bytes, Part* part) {
    for (;;) {
        if (jobCount_ > 0) {
            if (int count = nextOfHead(bytes, part)) return count;
            continue;
        }
        if (!planEnded_) {
            plan();
            continue;
        }
        if (!rest_) return 0;
        const int count = rest_->next(bytes, part);
        if (rest_->damaged()) {
            markDamaged();
            rest_.reset();
            return 0;
        }
        return count;
    }
}

// The next part of the first job once it is done; 0 when it has none left
// (it is then gone) or failed (what it holds is then left to the caller's
// thread).
int WavPackStream::nextOfHead(const uint8_t** bytes, Part* part) {
    RunJob& job = jobAt(0);
    pool_.wait(&job);
    if (!job.decoded) {
        planPos_ = job.start;
        discardJobs();
        leaveRestToCaller();
        return 0;
    }
    int offset = 0;
    for (int i = 0; i < headPart_; ++i) offset += job.partLength[i];
    while (headPart_ < kPartCount) {
        const int length = job.partLength[headPart_];
        *part = static_cast<Part>(headPart_++);
        if (length > 0) {
            *bytes = job.output + offset;
            return length;
        }
    }
    job.state = JobState::kFree;
    head_ = (head_ + 1) % slots_;
    --jobCount_;
    headPart_ = 0;
    plan();
    return 0;
}

// Hands runs to the workers while slots are free.
void WavPackStream::plan() {
    while (!planEnded_ && jobCount_ < slots_) {
        int64_t end;
        int64_t frames;
        if (planPos_ == packedSize_) {
            planEnded_ = true;
        } else if (!findRun(&end, &frames) || !fillJob(jobAt(jobCount_), end, frames)) {
            leaveRestToCaller();
        } else {
            pool_.submit(&jobAt(jobCount_));
            ++jobCount_;
            planPos_ = end;
        }
    }
}

// The blocks of the next run: from planPos_ up to a block that begins a range
// of samples once the run gives kRunOutput, or to the end of the packed data.
// False where no clean cut can be had.
bool WavPackStream::findRun(int64_t* end, int64_t* frames) {
    int64_t at = planPos_;
    int64_t count = 0;
    int64_t next = nextIndex_;
    bool known = indexKnown_;
    while (at < packedSize_) {
        BlockHeader block;
        if (!readHeader(at, &block)) return false;
        if (block.startsRange) {
            if (count * frameSize_ >= kRunOutput) break;
            if (known && block.index != next) return false;
            count += block.samples;
            next = block.index + block.samples;
            known = true;
            // Samples beyond the file's stated size would never be read.
            if (count * frameSize_ > std::min(kMaxRunOutput, unpackedSize_)) return false;
        }
        at += block.size;
        if (at - planPos_ > kMaxRunInput) return false;
    }
    if (count == 0) return false;
    *end = at;
    *frames = count;
    nextIndex_ = next;
    indexKnown_ = known;
    return true;
}

bool WavPackStream::readHeader(int64_t at, BlockHeader* block) {
    uint8_t header[kHeaderSize];
    if (packedSize_ - at < kHeaderSize || !source_->seek(offset_ + at) || !readExact(source_, header, kHeaderSize)) {
        return false;
    }
    return parseHeader(header, block) && block->size <= packedSize_ - at;
}

bool WavPackStream::fillJob(RunJob& job, int64_t end, int64_t frames) {
    job.start = planPos_;
    job.inputSize = static_cast<int>(end - planPos_);
    job.frameSize = frameSize_;
    job.sampleBytes = static_cast<int>(frames * frameSize_);
    // The wrappers lie inside the blocks: they need no more than the input.
    const int capacity = job.sampleBytes + job.inputSize;
    if (job.outputCapacity < capacity) {
        std::free(job.output);
        job.output = static_cast<uint8_t*>(std::malloc(capacity));
        job.outputCapacity = job.output ? capacity : 0;
    }
    std::free(job.input);  // left by a job that was planned but never ran
    job.input = static_cast<uint8_t*>(std::malloc(job.inputSize));
    return job.output && job.input && source_->seek(offset_ + planPos_) &&
           readExact(source_, job.input, job.inputSize);
}

// Everything from planPos_ on is decoded on this thread, after the runs.
void WavPackStream::leaveRestToCaller() {
    planEnded_ = true;
    rest_.reset(new (std::nothrow) BlockRun(source_, offset_ + planPos_, packedSize_ - planPos_));
    if (rest_ && rest_->open()) return;
    rest_.reset();
    if (planPos_ == 0) ready_ = false;  // memory is short
    else markDamaged();
}

bool WavPackStream::seek(int64_t target) {
    if (!ready_ || target < 0 || target >= unpackedSize_) return false;
    if (target < position_) {
        restart();
        if (!ready_) return false;
    }
    uint8_t scratch[16384];
    while (position_ < target) {
        int64_t want = target - position_;
        if (!read(scratch, want < static_cast<int64_t>(sizeof scratch) ? static_cast<int>(want) : sizeof scratch)) {
            return false;
        }
    }
    return true;
}

}  // namespace

InStream* makeWavPackStream(const CodecRequest& r) {
    if (!r.source || r.packedSize < 0) return nullptr;
    return startDecoderStream(
        new (std::nothrow) WavPackStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
        [](WavPackStream& stream) { return stream.start(); });
}

}  // namespace zorvex
