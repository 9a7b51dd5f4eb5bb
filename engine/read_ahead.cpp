#include "engine/read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "engine/copy_bytes.h"
#include "engine/job_pool.h"

namespace zorvex {
namespace {

class ReadAheadStream final : public InStream {
public:
    static constexpr int kBlockSize = 1 << 18;
    static constexpr int kBlocks = 4;

    explicit ReadAheadStream(InStream* source)
        : InStream(source->name(), nullptr, source->tag()),
          source_(Ref<InStream>::share(source)),
          size_(source->size()) {}

    ~ReadAheadStream() override {
        stop();
        std::free(ring_);
    }

    int64_t tell() override { return position_; }
    int64_t size() override { return size_; }
    bool seeksBounded() override { return source_->seeksBounded(); }

    bool seek(int64_t position) override {
        if (position < 0 || position >= size_) return false;
        if (position == position_) return true;
        stop();
        position_ = position;
        return source_->seek(position);
    }

    int read(void* buf, int count) override {
        if (!buf || count <= 0 || position_ >= size_) return 0;
        if (!worker_.joinable() && !direct_) {
            if (source_->tell() != position_ && !source_->seek(position_)) return 0;
            // With no workers allowed (one thread wanted, or on a worker
            // itself) the caller reads for itself.
            direct_ = jobWorkerCount() == 0 || !start();
        }
        int got = direct_ ? readDirect(buf, count) : readRing(static_cast<uint8_t*>(buf), count);
        position_ += got;
        return got;
    }

private:
    // What the worker hands over: a block's bytes, fewer than a block only
    // at the end of the source or where reading failed.
    struct Block {
        int bytes = 0;
        Status status;
    };

    uint8_t* blockData(uint64_t index) const { return ring_ + (index % kBlocks) * kBlockSize; }

    bool start() {
        if (!ring_) ring_ = static_cast<uint8_t*>(std::malloc(size_t{kBlocks} * kBlockSize));
        if (!ring_) return false;
        filled_ = released_ = 0;
        taken_ = 0;
        ended_ = stopping_ = false;
        // A thread that cannot start (no resources, no memory for its
        // state) throws; the caller then reads on its own thread.
        try {
            worker_ = std::thread(&ReadAheadStream::work, this);
        } catch (...) {
            return false;
        }
        return true;
    }

    void stop() {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }

    void work() {
        JobWorkerScope scope;
        for (uint64_t index = 0;; ++index) {
            {
                std::unique_lock<std::mutex> hold(lock_);
                changed_.wait(hold, [&] { return stopping_ || index - released_ < kBlocks; });
                if (stopping_) return;
            }
            int bytes = 0;
            uint8_t* data = blockData(index);
            while (bytes < kBlockSize) {
                int got = source_->read(data + bytes, kBlockSize - bytes);
                if (got <= 0) break;
                bytes += got;
            }
            bool last = bytes < kBlockSize;
            {
                std::lock_guard<std::mutex> hold(lock_);
                blocks_[index % kBlocks] = Block{bytes, source_->status()};
                filled_ = index + 1;
                ended_ = last;
            }
            changed_.notify_all();
            if (last) return;
        }
    }

    // The block the reader is in, once the worker has filled it; null when
    // the source ended before it.
    const Block* awaitBlock() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return filled_ > released_ || ended_; });
        return filled_ > released_ ? &blocks_[released_ % kBlocks] : nullptr;
    }

    void releaseBlock() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++released_;
        }
        taken_ = 0;
        changed_.notify_all();
    }

    int readRing(uint8_t* out, int count) {
        int done = 0;
        while (done < count) {
            const Block* block = awaitBlock();
            if (!block) break;
            fail(block->status);
            int take = std::min(count - done, block->bytes - taken_);
            copyBytes(out + done, blockData(released_) + taken_, static_cast<size_t>(take));
            taken_ += take;
            done += take;
            if (taken_ == block->bytes) releaseBlock();
        }
        return done;
    }

    int readDirect(void* buf, int count) {
        int got = std::max(source_->read(buf, count), 0);
        fail(source_->status());
        return got;
    }

    Ref<InStream> source_;
    const int64_t size_;
    int64_t position_ = 0;
    bool direct_ = false;  // no worker could be had: reads go to the source
    uint8_t* ring_ = nullptr;
    int taken_ = 0;  // bytes of the reader's block already read

    std::thread worker_;
    std::mutex lock_;
    std::condition_variable changed_;
    // Shared with the worker, under lock_. Block i lies in slot i % kBlocks;
    // the worker fills block i once the reader has released block i - kBlocks.
    Block blocks_[kBlocks];
    uint64_t filled_ = 0;
    uint64_t released_ = 0;
    bool ended_ = false;
    bool stopping_ = false;
};

}  // namespace

InStream* openReadAhead(InStream* source) {
    if (!source) return nullptr;
    return new (std::nothrow) ReadAheadStream(source);
}

}  // namespace zorvex
