#include "tools/entry_units.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <system_error>

#include "engine/file_source.h"
#include "engine/format_registry.h"
#include "engine/job_pool.h"
#include "engine/password.h"
#include "tools/os.h"

namespace zorvex::cli {

ArchiveCopy::Original::Original(Archive* archive)
    : format(archive->formatName()),
      entries(archive->entryCount()),
      damaged(archive->damaged()),
      plan(archive->readPlan()),
      password(archive->password()) {}

std::unique_ptr<ArchiveCopy> ArchiveCopy::open(const std::u16string& path, const Original& original) {
    OpeningOwnCopy own;
    Ref<FileSource> file(openFileSource(path.c_str()));
    if (!file) return nullptr;
    // The password the first opening took (or asked for) serves the copy.
    OpeningWithPassword opening(original.password);
    Ref<Archive> root(detectAndOpen(path.c_str(), nullptr, file.get()));
    // A file changed since, or an opening that went otherwise, would give
    // other entries under the same names.
    if (!root || root->formatName() != original.format || root->entryCount() != original.entries ||
        root->damaged() != original.damaged)
        return nullptr;
    root->setReadPlan(original.plan);
    return std::make_unique<ArchiveCopy>(std::move(root));
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

bool UnitCutter::startsUnit(const UnitKey& entry) {
    const bool sameUnit = !first_ && entry.unit == unit_;
    const bool starts = !sameUnit || (entry.unit < 0 && (files_ >= kBatchFiles || bytes_ >= kBatchBytes));
    if (starts) {
        files_ = 0;
        bytes_ = 0;
    }
    first_ = false;
    unit_ = entry.unit;
    ++files_;
    bytes_ += std::max<int64_t>(entry.size, 0);
    return starts;
}

UnitRunner::~UnitRunner() { stop(); }

bool UnitRunner::wanted(Archive* archive) {
    static const std::u16string_view decodedApart[] = {u"zip", u"7zip", u"rar"};
    const bool formatDecodesApart = std::find(std::begin(decodedApart), std::end(decodedApart),
                                              archive->formatName()) != std::end(decodedApart);
    return jobWorkerCount() > 1 && formatDecodesApart && (archive->directoryCount() > 0 || archive->entryCount() > 1);
}

bool UnitRunner::start(const std::u16string& path, Archive* original, Decode decode) {
    path_ = path;
    original_ = Ref<Archive>::share(original);
    copyOf_.emplace(original);
    decode_ = std::move(decode);
    // This thread is one of the processors' decoders.
    const int workers = std::min(jobWorkerCount(), kMaxJobWorkers) - 1;
    window_ = 2 * static_cast<size_t>(workers + 1);
    for (int i = 0; i < workers; ++i) {
        // The library reports a thread it cannot start by throwing.
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
    return !threads_.empty();
}

void UnitRunner::offer(size_t begin, size_t end) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        units_.push_back({begin, end});
    }
    changed_.notify_all();
}

bool UnitRunner::decoded(size_t unit) {
    std::lock_guard<std::mutex> hold(mutex_);
    return units_[unit].decoded;
}

void UnitRunner::wait(size_t unit) {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!units_[unit].decoded) {
        // Rather than wait, this thread decodes a unit no worker has taken
        // yet, through its own opening.
        size_t other = 0;
        if (takeUnit(other)) {
            hold.unlock();
            if (!ownCopy_) ownCopy_ = std::make_unique<ArchiveCopy>(original_);
            decode(other, *ownCopy_);
            changed_.notify_all();
            hold.lock();
            continue;
        }
        changed_.wait(hold);
    }
    finished_ = unit + 1;
    hold.unlock();
    changed_.notify_all();
}

// Called with mutex_ free; returns with it free.
void UnitRunner::decode(size_t unit, ArchiveCopy& copy) {
    size_t begin, end;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        begin = units_[unit].begin;
        end = units_[unit].end;
    }
    decode_(begin, end, copy);
    std::lock_guard<std::mutex> hold(mutex_);
    units_[unit].decoded = true;
}

void UnitRunner::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

bool UnitRunner::takeUnit(size_t& unit) {
    if (next_ >= units_.size() || next_ >= finished_ + window_) return false;
    unit = next_++;
    return true;
}

void UnitRunner::work() {
    JobWorkerScope scope;
    // Without a copy, the units are left to the others and the caller.
    std::unique_ptr<ArchiveCopy> copy = ArchiveCopy::open(path_, *copyOf_);
    if (!copy) return;
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        size_t unit = 0;
        changed_.wait(hold, [&] { return stopping_ || takeUnit(unit); });
        if (stopping_) return;
        hold.unlock();
        decode(unit, *copy);
        changed_.notify_all();
        hold.lock();
    }
}

}  // namespace zorvex::cli
