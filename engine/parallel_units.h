// Packed data made of units that decode independently of each other (zstd
// frames, gzip members, LZMA2 runs that begin with a dictionary reset, the
// parts of a gzip member between flush points), decoded on worker threads
// and delivered in order.
//
// The caller's side takes the packed bytes, as a decoder stream's steps hand
// them over, into a bounded buffer; the codec tells from its headers where
// each unit ends (findUnit); runs of units go to the workers as jobs, one per
// worker and one ahead. Whatever the workers cannot vouch for goes to the
// codec's own decoder on the caller's thread, from the start of the unit
// concerned, and stays there to the end: a unit that does not decode whole
// (damage, a look-alike header that cut it short, more output than its
// bound) is decoded again by it, so the bytes before damage and the reason
// given for it are those of one thread; so is what follows the last unit
// found (a trailer, bytes after the last member, a unit larger than the
// buffer).
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/job_pool.h"

namespace zorvex {

class InStream;
struct CodecRequest;

class UnitCodec {
public:
    struct Unit {
        int64_t length = 0;        // packed bytes
        int64_t decodedBound = 0;  // the most it may decode to
        // It begins inside a stream that the unit before it began (at a point
        // where that stream needs nothing decoded before it), not at a header.
        bool continues = false;
    };
    enum class Found : uint8_t { kUnit, kMore, kNone };
    // A CRC-32 over `size` decoded bytes.
    struct Check {
        uint32_t crc = 0;
        int64_t size = 0;
    };
    // Where units split a stream that is checked as a whole (a gzip member
    // cut at its flush points), the codec's figures for acceptUnits: the
    // check over the output up to the end of the stream the units began
    // inside, the values its trailer states when it ended among them, and the
    // check over the stream still open where they end.
    struct Split {
        Check lead;
        bool leadEnded = false;
        Check stated;
        bool trailOpen = false;
        Check trail;
    };
    // A unit's start inside a job, where decoding may restart needing
    // nothing before it: offsets from the job's first packed and decoded byte.
    struct Mark {
        int64_t used = 0;
        int64_t produced = 0;
    };
    static constexpr int kMaxMarks = 32;
    struct Decoded {
        Decoded() = default;
        Decoded(int64_t produced, int64_t used) : produced(produced), used(used) {}
        Decoded(int64_t produced, int64_t used, const Split& split) : produced(produced), used(used), split(split) {}

        int64_t produced = -1;  // -1: the units did not decode whole
        int64_t used = 0;       // packed bytes they took
        Split split;
        // Some of the units' starts (a codec records as many as restarts
        // want), in order; unitsDelivered hears of each.
        Mark marks[kMaxMarks];
        int markCount = 0;
    };

    // On the caller's thread: the unit that begins at packed `offset`, of
    // which `data[0, size)` is buffered; `ended`: the packed data ends there.
    // kMore: more bytes are needed to tell; kNone: no unit begins here.
    virtual Found findUnit(int64_t offset, const uint8_t* data, int64_t size, bool ended, Unit* unit) = 0;
    // On a worker, while others run it too: decodes whole units back to back,
    // the first at packed `offset` (`continues`: as found), into `out`; gives
    // up once `cancelled` is set.
    virtual Decoded decodeUnits(int64_t offset, bool continues, const uint8_t* in, int64_t size, uint8_t* out,
                                int64_t capacity, const std::atomic<bool>& cancelled) const = 0;
    // On the caller's thread, once per job the workers decoded whole, in
    // order, before any of its output is delivered: false when the codec's own
    // checks across jobs fail, and then its own decoder decodes it again.
    virtual bool acceptUnits(int64_t /*offset*/, const Decoded& /*decoded*/, const uint8_t* /*out*/) { return true; }
    // On the caller's thread: the codec's own decoder starts at packed
    // `offset` (where a unit begins, or where the last one ended), then
    // decodes as DecoderStream::decode.
    virtual void startSerial(int64_t offset) = 0;
    virtual int decodeSerial(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                             int* produced) = 0;
    // On the caller's thread: the workers' units delivered so far end at
    // packed `input`, where decoded `output` begins (a place to restart at,
    // with resumeSerial): at each job's end, and before it at its marks.
    virtual void unitsDelivered(int64_t /*input*/, int64_t /*output*/) {}

protected:
    ~UnitCodec() = default;
};

// A stream over `size` bytes at `data`, which must outlive it and are not
// copied (what a worker reads its units from); null when memory is short.
InStream* openMemoryView(const uint8_t* data, int64_t size);

// Decodes `in` (whole units) with the codec `request` names, its source and
// sizes filled in here, after `suffix` bytes appended; the units must give
// exactly `decodedSize` bytes when that is not -1, and no more than `capacity`.
UnitCodec::Decoded decodeUnitsThrough(CodecRequest request, const uint8_t* in, int64_t size, const uint8_t* suffix,
                                      int suffixSize, int64_t decodedSize, uint8_t* out, int64_t capacity,
                                      const std::atomic<bool>& cancelled);

struct UnitJob : PoolJob {
    UnitJob() = default;
    UnitJob(const UnitJob&) = delete;
    UnitJob& operator=(const UnitJob&) = delete;
    ~UnitJob();

    const UnitCodec* codec = nullptr;
    int64_t start = 0;  // packed offset of its first unit
    bool continues = false;
    uint8_t* input = nullptr;
    int64_t inputSize = 0;
    int64_t inputCapacity = 0;
    uint8_t* output = nullptr;
    int64_t outputCapacity = 0;  // the units' bound
    UnitCodec::Decoded result;   // set by the worker
};

struct UnitWorker {
    void operator()(UnitJob& job) {
        job.result = job.codec->decodeUnits(job.start, job.continues, job.input, job.inputSize, job.output,
                                            job.outputCapacity, job.cancelled);
    }
};

class ParallelUnits {
public:
    // Units are looked for only in packed data of at least kMinimumPacked
    // bytes: in less, the buffering costs more than the threads bring.
    static constexpr int64_t kMinimumPacked = 256 << 10;

    // `stream` is the decoder stream that owns both, `codec` its decoder.
    ParallelUnits(InStream& stream, UnitCodec& codec, int64_t packedSize);
    ParallelUnits(const ParallelUnits&) = delete;
    ParallelUnits& operator=(const ParallelUnits&) = delete;
    ~ParallelUnits();

    // Back to packed offset 0, with the codec's decoder reset by its owner.
    void restart();
    // The codec's own decoder goes on from packed `offset`, where its owner
    // has put it back into a state it kept (a restart point), to the end.
    void resumeSerial(int64_t offset);
    // As DecoderStream::decode over the packed data from offset 0.
    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);

private:
    enum class Mode : uint8_t { kUnstarted, kParallel, kSerial };

    int decodeStep(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);
    bool planForWorkers();
    int takeInput(const uint8_t* in, int length);
    int64_t keepFrom() const;
    bool reserve(int64_t bytes);
    void plan();
    bool submit(int64_t start, int64_t end, int64_t bound, bool continues);
    bool accepted(const UnitJob& head);
    void completeHead();
    void discardJobs();
    void switchToSerial(int64_t offset);
    int decodeSerial(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);
    const uint8_t* at(int64_t offset) const { return buffer_ + (offset - base_); }
    int64_t inputEnd() const { return base_ + fill_; }
    UnitJob& jobAt(int i) { return jobs_[(head_ + i) % slots_]; }

    InStream& stream_;
    UnitCodec& codec_;
    const int64_t packedSize_;
    const bool enabled_;
    Mode mode_;

    uint8_t* buffer_ = nullptr;  // packed bytes [base_, base_ + fill_)
    int64_t capacity_ = 0;
    int64_t limit_ = 0;
    int64_t base_ = 0;
    int64_t fill_ = 0;
    bool inputEnded_ = false;
    int64_t planned_ = 0;  // where the next unit begins
    bool planEnded_ = false;
    bool planWaits_ = false;  // for more input, to find where a unit ends
    int64_t serialFrom_ = 0;  // once the plan ended: where the codec's own decoder takes over
    int64_t replayed_ = 0;    // in serial mode: buffered bytes already given to it

    UnitJob jobs_[kMaxPoolJobs];  // a ring: jobCount_ jobs from head_
    int slots_ = 0;
    int head_ = 0;
    int jobCount_ = 0;
    int64_t delivered_ = 0;  // of the head's output
    int64_t output_ = 0;     // decoded bytes given since the packed offset 0

    JobPool<UnitJob, UnitWorker> pool_;  // last: stopped before the jobs go
};

}  // namespace zorvex
