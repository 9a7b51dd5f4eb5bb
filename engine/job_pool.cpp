#include "engine/job_pool.h"

#include <algorithm>

namespace zorvex {
namespace {

std::atomic<int> workerLimit{kMaxJobWorkers};
std::atomic<int> liveWorkers{0};
thread_local bool onWorkerThread = false;

}  // namespace

void setJobWorkerLimit(int workers) { workerLimit.store(std::clamp(workers, 0, kMaxJobWorkers)); }

int jobWorkerCount() {
    if (onWorkerThread) return 0;
    const int processors = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    return std::min(processors, workerLimit.load());
}

int liveJobWorkers() { return liveWorkers.load(); }

JobWorkerScope::JobWorkerScope() {
    liveWorkers.fetch_add(1);
    onWorkerThread = true;
}

JobWorkerScope::~JobWorkerScope() {
    onWorkerThread = false;
    liveWorkers.fetch_sub(1);
}

}  // namespace zorvex
