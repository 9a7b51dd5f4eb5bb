// Worker threads for decoders that split their data into pieces, decode them
// side by side and deliver them in order. The caller owns the jobs: a job is
// the pool's from submit() until wait() or cancel() has returned for it, and
// jobs are taken up in the order they were submitted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

namespace zorvex {

constexpr int kMaxJobWorkers = 64;
constexpr int kMaxPoolJobs = kMaxJobWorkers + 1;

// Caps the workers of pools started afterwards; with 0 none start, and the
// decoders work on the caller's thread alone. The one setting of how many
// threads decoding may use.
void setJobWorkerLimit(int workers);
// How many workers a pool starts: one per processor, within the limit; none
// on a worker thread itself, whose decoders run where they are.
int jobWorkerCount();
// Worker threads (of pools and read-ahead streams) that have not ended yet:
// a library must not be unloaded under them.
int liveJobWorkers();

// Held for the whole life of a worker thread: counts it as live and keeps
// its decoders from starting workers of their own.
class JobWorkerScope {
public:
    JobWorkerScope();
    ~JobWorkerScope();
    JobWorkerScope(const JobWorkerScope&) = delete;
    JobWorkerScope& operator=(const JobWorkerScope&) = delete;
};

enum class JobState : uint8_t { kFree, kQueued, kRunning, kDone };

struct PoolJob {
    JobState state = JobState::kFree;  // under the pool's lock
    std::atomic<bool> cancelled{false};
};

// `Worker` is made once on each thread, which calls it as worker(job) for
// every job it takes up; `Job` derives from PoolJob.
template <class Job, class Worker>
class JobPool {
public:
    JobPool() = default;
    JobPool(const JobPool&) = delete;
    JobPool& operator=(const JobPool&) = delete;

    ~JobPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (int i = 0; i < threadCount_; ++i) threads_[i].join();
    }

    // Starts up to `workers` threads; false when none could be started.
    bool start(int workers) {
        for (; threadCount_ < workers && threadCount_ < kMaxJobWorkers; ++threadCount_) {
            // The library reports a thread it cannot start by throwing.
            try {
                threads_[threadCount_] = std::thread([this] { work(); });
            } catch (const std::system_error&) {
                break;
            }
        }
        return threadCount_ > 0;
    }

    bool started() const { return threadCount_ > 0; }
    int workers() const { return threadCount_; }

    // At most kMaxPoolJobs may be queued at once.
    void submit(Job* job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->cancelled.store(false, std::memory_order_relaxed);
            job->state = JobState::kQueued;
            queue_[(queueFirst_ + queued_) % kMaxPoolJobs] = job;
            ++queued_;
        }
        wake_.notify_one();
    }

    bool finished(const Job* job) {
        std::lock_guard<std::mutex> lock(mutex_);
        return job->state == JobState::kDone;
    }

    void wait(const Job* job) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [job] { return job->state == JobState::kDone; });
    }

    // Takes back `count` jobs, queued or running, among them every queued
    // one; returns when none of them runs.
    void cancel(Job* const* jobs, int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_ = 0;
        for (int i = 0; i < count; ++i) jobs[i]->cancelled.store(true, std::memory_order_relaxed);
        done_.wait(lock, [&] {
            for (int i = 0; i < count; ++i) {
                if (jobs[i]->state == JobState::kRunning) return false;
            }
            return true;
        });
        for (int i = 0; i < count; ++i) jobs[i]->state = JobState::kFree;
    }

private:
    void work() {
        JobWorkerScope scope;
        Worker worker;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || queued_ > 0; });
            if (stopping_) return;
            Job* job = queue_[queueFirst_];
            queueFirst_ = (queueFirst_ + 1) % kMaxPoolJobs;
            --queued_;
            job->state = JobState::kRunning;
            lock.unlock();
            worker(*job);
            lock.lock();
            job->state = JobState::kDone;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job* queue_[kMaxPoolJobs] = {};
    int queueFirst_ = 0;
    int queued_ = 0;
    std::thread threads_[kMaxJobWorkers];
    int threadCount_ = 0;
    bool stopping_ = false;
};

}  // namespace zorvex
