#include "tools/entry_units.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "engine/file_source.h"
#include "engine/format_registry.h"
#include "engine/password.h"

namespace zorvex::cli {

std::mutex& engineLock() {
    static std::mutex lock;
    return lock;
}

std::unique_ptr<ArchiveCopy> ArchiveCopy::open(const std::u16string& path, Archive* original) {
    Ref<FileSource> file(openFileSource(path.c_str()));
    if (!file) return nullptr;
    // The password the first opening took (or asked for) serves the copy.
    OpeningWithPassword opening(original->password());
    Ref<Archive> root(detectAndOpen(path.c_str(), nullptr, file.get()));
    // A file changed since, or an opening that went otherwise, would give
    // other entries under the same names.
    if (!root || root->formatName() != original->formatName() || root->entryCount() != original->entryCount() ||
        root->damaged() != original->damaged())
        return nullptr;
    root->setReadPlan(original->readPlan());
    auto copy = std::make_unique<ArchiveCopy>();
    copy->root_ = std::move(root);
    return copy;
}

ArchiveCopy::~ArchiveCopy() {
    std::lock_guard<std::mutex> hold(engineLock());
    folders_.clear();
    root_ = Ref<Archive>();
}

Archive* ArchiveCopy::level(const std::u16string& path) {
    if (path.empty()) return root_.get();
    auto known = folders_.find(path);
    if (known != folders_.end()) return known->second.get();
    // "a\\b\\" lies in "a\\".
    size_t parentEnd = path.rfind(u'\\', path.size() - 2);
    parentEnd = parentEnd == std::u16string::npos ? 0 : parentEnd + 1;
    Archive* parent = level(path.substr(0, parentEnd));
    if (!parent) return nullptr;
    const std::u16string name = path.substr(parentEnd, path.size() - 1 - parentEnd);
    Ref<Archive> folder(parent->openFolder(parent->findFolder(name.c_str())));
    Archive* opened = folder.get();
    if (opened) folders_.emplace(path, std::move(folder));
    return opened;
}

// Small files go to a worker together: a unit's cost is then paid per batch.
constexpr size_t kBatchFiles = 64;
constexpr int64_t kBatchBytes = 4 << 20;

std::vector<size_t> cutUnits(const std::vector<UnitKey>& entries) {
    std::vector<size_t> starts;
    size_t files = 0;
    int64_t bytes = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const int64_t unit = entries[i].unit;
        const bool sameUnit = i > 0 && unit == entries[i - 1].unit;
        if (i == 0 || !sameUnit || (unit < 0 && (files >= kBatchFiles || bytes >= kBatchBytes))) {
            starts.push_back(i);
            files = 0;
            bytes = 0;
        }
        ++files;
        bytes += std::max<int64_t>(entries[i].size, 0);
    }
    starts.push_back(entries.size());
    return starts;
}

UnitRunner::~UnitRunner() {
    // The workers end before the copies they read go.
    pool_.reset();
}

bool UnitRunner::wanted(Archive* archive) {
    static const std::u16string_view decodedApart[] = {u"zip", u"7zip", u"rar"};
    const bool formatDecodesApart = std::find(std::begin(decodedApart), std::end(decodedApart),
                                              archive->formatName()) != std::end(decodedApart);
    return jobWorkerCount() > 1 && formatDecodesApart && (archive->directoryCount() > 0 || archive->entryCount() > 1);
}

bool UnitRunner::start(const std::u16string& path, Archive* original) {
    const int workers = jobWorkerCount();
    for (int i = 0; i < workers; ++i) {
        std::unique_ptr<ArchiveCopy> copy = ArchiveCopy::open(path, original);
        if (!copy) break;
        copies_.push_back(std::move(copy));
    }
    if (copies_.size() < 2) return false;
    pool_ = std::make_unique<JobPool<Job, Worker>>();
    if (!pool_->start(static_cast<int>(copies_.size())) || pool_->workers() < 2) {
        pool_.reset();
        return false;
    }
    const size_t window = std::min<size_t>(2 * static_cast<size_t>(pool_->workers()), kMaxPoolJobs);
    for (size_t i = 0; i < window; ++i) {
        jobs_.push_back(std::make_unique<Job>());
        jobs_.back()->runner = this;
    }
    return true;
}

void UnitRunner::run(size_t count, const Decode& decode, const Finish& finish) {
    decode_ = &decode;
    const size_t window = jobs_.size();
    size_t next = 0;
    auto submitNext = [&](Job& job) {
        job.unit = next++;
        pool_->submit(&job);
    };
    for (size_t i = 0; i < std::min(window, count); ++i) submitNext(*jobs_[i]);
    for (size_t unit = 0; unit < count; ++unit) {
        Job& job = *jobs_[unit % window];
        pool_->wait(&job);
        finish(unit);
        if (next < count) submitNext(job);
    }
    decode_ = nullptr;
}

void UnitRunner::stop() {
    std::vector<Job*> jobs;
    for (auto& job : jobs_) jobs.push_back(job.get());
    pool_->cancel(jobs.data(), static_cast<int>(jobs.size()));
}

ArchiveCopy* UnitRunner::takeCopy() {
    std::lock_guard<std::mutex> hold(engineLock());
    return copies_[copiesTaken_++].get();
}

void UnitRunner::Worker::operator()(Job& job) {
    if (job.cancelled.load(std::memory_order_relaxed)) return;
    if (!copy) copy = job.runner->takeCopy();
    (*job.runner->decode_)(job.unit, *copy);
}

}  // namespace zorvex::cli
