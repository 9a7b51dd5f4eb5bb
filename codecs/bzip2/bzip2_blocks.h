// bzip2 blocks decoded on several threads, delivered in order.
//
// The packed bytes are taken ahead of delivery into a bounded buffer and
// scanned for the block and end magics. Between a block magic and the next
// magic lies a candidate block; a worker decodes it on its own libbz2 state as
// a synthetic stream: a header with the stream's block-size digit, the block's
// bits shifted to byte alignment, then an end magic and the block's own CRC as
// the stream CRC. libbz2 checks the block's CRC and then reads our end magic:
// a stream end with every byte used confirms that the block ended exactly
// where the next magic begins. A look-alike magic inside block data fails that
// test; the block is then tried again up to the magic after, and everything
// planned beyond it is dropped. The combined block CRCs are checked against
// each stream's CRC, and a block that cannot be confirmed is damage: the data
// before it is delivered, then the error.
//
// A worker keeps at most kMaxBlockOutput bytes of a block's output; for a
// block that expands more (long runs), it only confirms the block, and the
// caller decodes it again, straight into the reader's buffer.
//
// The caller's side is a plain state machine (decode()); the workers never
// touch it. Destroying it stops and joins the workers.
#pragma once

#include <bzlib.h>

#include <cstdint>

#include "engine/job_pool.h"

namespace zorvex {
namespace bzip2 {

constexpr int kMaxBlockOutput = 8 << 20;

// What the caller learns, in delivery order, for the block index.
class BlockListener {
public:
    virtual void blockDelivered(int64_t startBit, uint8_t level, int64_t length) = 0;
    virtual void streamEnded(int64_t endBit, int64_t endByte) = 0;

protected:
    ~BlockListener() = default;
};

enum class JobResult : uint8_t { kConfirmed, kTooBig, kFailed };

struct BlockJob : PoolJob {
    BlockJob() = default;
    BlockJob(const BlockJob&) = delete;
    BlockJob& operator=(const BlockJob&) = delete;
    ~BlockJob();

    // The candidate block: [startBit, endBit) of the packed data.
    int64_t startBit = 0;
    int64_t endBit = 0;
    uint8_t level = 0;
    bool empty = false;       // a stream without blocks: nothing to decode
    bool endsStream = false;  // the magic at endBit is an end magic
    uint32_t blockCrc = 0;
    uint32_t streamCrc = 0;   // when endsStream
    int64_t nextStream = 0;   // when endsStream: the byte after the stream
    uint8_t* input = nullptr;  // the synthetic stream
    int inputSize = 0;
    int inputCapacity = 0;

    // Set by the worker.
    uint8_t* output = nullptr;
    int outputCapacity = 0;
    int64_t decodedSize = 0;
    JobResult result = JobResult::kFailed;
};

// The memory libbz2 asks for, kept by one worker from one block's stream to
// the next. Each stream takes a state and a table of up to 3.6 MB, and fresh
// pages cost a fault each: a table used again costs none, and one on large
// pages costs two.
class LibraryMemory {
public:
    LibraryMemory() = default;
    LibraryMemory(const LibraryMemory&) = delete;
    LibraryMemory& operator=(const LibraryMemory&) = delete;
    ~LibraryMemory();

    // Makes `bz` (before its init) allocate from this memory.
    void attach(bz_stream& bz);

private:
    static void* allocate(void* self, int count, int size);
    static void release(void* self, void* block);

    struct Block {
        void* memory = nullptr;
        size_t size = 0;
        bool inUse = false;
    };
    Block blocks_[4];  // a stream holds at most three at once
};

// Decodes the job's synthetic stream (what a worker runs).
void decodeBlockJob(BlockJob& job, LibraryMemory& memory);

struct BlockWorker {
    void operator()(BlockJob& job) { decodeBlockJob(job, memory); }
    LibraryMemory memory;
};

class ParallelBlocks {
public:
    explicit ParallelBlocks(BlockListener& listener) : listener_(listener) {}
    ParallelBlocks(const ParallelBlocks&) = delete;
    ParallelBlocks& operator=(const ParallelBlocks&) = delete;
    ~ParallelBlocks();

    // Starts the workers and the buffer once; false when they cannot be had.
    bool start();
    // Drops everything in flight and starts over at packed offset 0.
    void restart();
    // Starts over at the block magic at packed bit `bit` of a stream with
    // block-size digit `level` (input is then taken from its byte on). That
    // stream's CRC goes unchecked: it covers the blocks skipped. False when
    // the workers cannot be had.
    bool resumeAt(int64_t bit, uint8_t level);
    // As DecoderStream::decode over the packed data from offset 0.
    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);
    // True once a block or a stream's CRC was found damaged (rather than cut short).
    bool failed() const { return failed_; }

private:
    struct Mark {
        int64_t bit;
        bool end;
    };
    enum Plan { kAtHeader, kAtMagic, kPlanEnded };
    enum Step { kPlanned, kStarved, kStopped };

    void plan();
    Step planOne();
    Step planHeader();
    Step planBlock();
    void endPlan(int status);
    BlockJob* newJob();
    bool buildInput(BlockJob& job);
    int takeInput(const uint8_t* in, int length);
    int64_t keepFrom() const;
    void dropMarks();
    void compact();
    int checkHeader(int64_t at) const;
    const Mark* markFrom(int64_t bit) const;
    uint32_t bitsAt(int64_t bit, int count) const;
    int64_t inputEnd() const { return inBase_ + inFill_; }
    bool available(int64_t bytes) const { return inputEnd() >= bytes; }
    BlockJob& jobAt(int i) { return jobs_[(head_ + i) % slots_]; }

    void deliverHead(uint8_t* out, int outCapacity, int* produced);
    bool streamHead(BlockJob& job, uint8_t* out, int outCapacity, int* produced);
    void completeHead();
    void retryHead();
    void discardJobs();
    void fail();
    uint32_t combinedCrc(const BlockJob& job) const;

    BlockListener& listener_;
    BlockJob jobs_[kMaxPoolJobs];  // a ring: jobCount_ jobs from head_
    int slots_ = 0;
    int head_ = 0;
    int jobCount_ = 0;

    uint8_t* in_ = nullptr;  // packed bytes [inBase_, inBase_ + inFill_)
    int inputCapacity_ = 0;
    int64_t inBase_ = 0;
    int inFill_ = 0;
    bool inputEnded_ = false;
    uint64_t window_ = 0;
    Mark* marks_ = nullptr;  // magics found, in order, from marks_[markFirst_]
    int markFirst_ = 0;
    int markCount_ = 0;

    Plan plan_ = kAtHeader;
    int64_t planPos_ = 0;  // the header's byte, or the magic's bit
    int64_t minEnd_ = 0;   // the next block may end no earlier
    uint8_t level_ = 0;
    int planStatus_ = 0;   // once the plan ended: how decoding ends there
    bool starved_ = false;

    int64_t delivered_ = 0;  // of the head's output
    bool checked_ = false;   // the head's result and CRC were looked at
    bool streaming_ = false;
    bz_stream stream_ = {};  // the head decoded again when too big to keep
    uint32_t streamCrc_ = 0;
    bool crcKnown_ = true;  // streamCrc_ covers the stream's blocks from its first
    int retries_ = 0;
    bool failed_ = false;

    JobPool<BlockJob, BlockWorker> pool_;  // last: stopped before the jobs go
};

}  // namespace bzip2
}  // namespace zorvex
