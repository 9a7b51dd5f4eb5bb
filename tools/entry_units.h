// Entries of one archive decoded on worker threads and finished on the
// caller's thread in the order one thread takes them, so that what is
// written and said comes out as without workers.
//
// The engine's objects are used by one thread at a time (engine/refobject.h),
// so each worker reads through a copy of the archive of its own, opened
// again from its file. The engine keeps one list of live archives for the
// process: while workers run, archives are made and released only under
// engineLock().
//
// The caller cuts its entries into units: runs of entries that one worker
// decodes in a row (a solid group is one unit, small files go together).
// At most two units per worker are out at a time; each is finished in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/job_pool.h"
#include "engine/refobject.h"

namespace zorvex::cli {

std::mutex& engineLock();

// One worker's own opening of an archive.
class ArchiveCopy {
public:
    // `path` opened again as `original` (an archive opened from that file)
    // was: null when that cannot be done, or the copy lists otherwise.
    static std::unique_ptr<ArchiveCopy> open(const std::u16string& path, Archive* original);
    ~ArchiveCopy();

    // The folder level at `path` (folder names from the root, each followed
    // by "\\"; empty for the root), opened on first use; the caller holds engineLock().
    // Null when it does not open.
    Archive* level(const std::u16string& path);

private:
    Ref<Archive> root_;
    std::map<std::u16string, Ref<Archive>> folders_;
};

// A queued entry as units are cut: its decoding unit (engine/extraction.h)
// and stated size (-1: unknown).
struct UnitKey {
    int64_t unit = -1;
    int64_t size = -1;
};

// Where each unit starts among the queued entries, and their count last.
// Consecutive entries of one decoding unit stay together, whatever their
// number; other entries go together up to a few MiB or a few dozen files.
std::vector<size_t> cutUnits(const std::vector<UnitKey>& entries);

class UnitRunner {
public:
    // Decodes unit `unit` on a worker, through that worker's copy.
    using Decode = std::function<void(size_t unit, ArchiveCopy& copy)>;
    // Finishes unit `unit` on the caller's thread once it is decoded.
    using Finish = std::function<void(size_t unit)>;

    UnitRunner() = default;
    ~UnitRunner();
    UnitRunner(const UnitRunner&) = delete;
    UnitRunner& operator=(const UnitRunner&) = delete;

    // Whether the work is worth workers: jobWorkerCount() is above one, and
    // `archive` is a zip, 7z or RAR archive of more than a single file. A
    // tar's entries are copied as stored, which workers do not speed up; a
    // single file's stream (a .bz2, a .xz) uses the workers itself.
    static bool wanted(Archive* archive);
    // Opens a copy of the archive at `path` for each worker and starts them.
    // False when fewer than two workers could start with a copy: the caller
    // then works alone, as it always did.
    bool start(const std::u16string& path, Archive* original);
    // Runs `count` units; returns when all are finished.
    void run(size_t count, const Decode& decode, const Finish& finish);
    // Takes back the units not yet decoded and waits for those that are being
    // decoded, which see interrupted() and stop early. For an interruption.
    void stop();

private:
    struct Job : PoolJob {
        UnitRunner* runner = nullptr;
        size_t unit = 0;
    };
    // Runs on each worker: takes a copy of its own with its first job.
    struct Worker {
        ArchiveCopy* copy = nullptr;
        void operator()(Job& job);
    };
    ArchiveCopy* takeCopy();

    std::vector<std::unique_ptr<ArchiveCopy>> copies_;
    size_t copiesTaken_ = 0;  // under engineLock()
    std::unique_ptr<JobPool<Job, Worker>> pool_;
    std::vector<std::unique_ptr<Job>> jobs_;
    size_t inFlight_ = 0;  // jobs_ submitted and not yet finished
    const Decode* decode_ = nullptr;
};

}  // namespace zorvex::cli
