#include "engine/job_pool.h"

#include <algorithm>

namespace zorvex {
namespace {

std::atomic<int> workerLimit{kMaxJobWorkers};

}  // namespace

void setJobWorkerLimit(int workers) { workerLimit.store(std::clamp(workers, 0, kMaxJobWorkers)); }

int jobWorkerCount() {
    const int processors = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    return std::min(processors, workerLimit.load());
}

}  // namespace zorvex
