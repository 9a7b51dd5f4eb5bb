// Entries of one archive decoded on worker threads and finished on the
// caller's thread in the order one thread takes them, so that what is
// written and said comes out as without workers.
//
// The engine's objects are used by one thread at a time (engine/refobject.h),
// so each worker reads through a copy of the archive of its own, which it
// opens again from its file itself (engine/archive.h, OpeningOwnCopy): the
// workers open theirs side by side while the caller walks the archive. The
// caller's thread is a decoder too: while it waits for the unit it is to
// finish next, it decodes units no worker has taken, through its own opening.
//
// The caller cuts its entries into units: runs of entries that one worker
// decodes in a row (a solid group is one unit, small files go together). It
// offers units as it cuts them and finishes each in turn; at most two units
// per decoding thread are out past the one it finishes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/archive.h"
#include "engine/password.h"
#include "engine/refobject.h"

namespace zorvex::cli {

// One worker's own opening of an archive.
class ArchiveCopy {
public:
    // What a copy must agree with, taken from the first opening of the file
    // on the thread that owns it.
    struct Original {
        explicit Original(Archive* archive);
        std::u16string format;
        int entries;
        bool damaged;
        ReadPlan plan;
        std::shared_ptr<ArchivePassword> password;
    };
    // `path` opened again as `original` was: null when that cannot be done,
    // or the copy lists otherwise.
    static std::unique_ptr<ArchiveCopy> open(const std::u16string& path, const Original& original);
    // The caller's own opening, for the units it decodes itself.
    explicit ArchiveCopy(Ref<Archive> root) : root_(std::move(root)) {}

    // The folder level at `path` (folder names from the root, each followed
    // by "\\"; empty for the root), opened on first use. Null when it does not open.
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

// Cuts the queued entries, told one by one, into units. Consecutive entries
// of one decoding unit stay together, whatever their number; other entries
// go together up to a few MiB or a few dozen files.
class UnitCutter {
public:
    // Whether `entry`, queued next, starts a new unit.
    bool startsUnit(const UnitKey& entry);

private:
    bool first_ = true;
    int64_t unit_ = -1;
    size_t files_ = 0;
    int64_t bytes_ = 0;
};

class UnitRunner {
public:
    // Decodes the unit of queued entries [begin, end) on a worker, through
    // that worker's copy.
    using Decode = std::function<void(size_t begin, size_t end, ArchiveCopy& copy)>;

    UnitRunner() = default;
    ~UnitRunner();
    UnitRunner(const UnitRunner&) = delete;
    UnitRunner& operator=(const UnitRunner&) = delete;

    // Whether the work is worth workers: jobWorkerCount() is above one, and
    // `archive` is a zip, 7z or RAR archive of more than a single file. A
    // tar's entries are copied as stored, which workers do not speed up; a
    // single file's stream (a .bz2, a .xz) uses the workers itself.
    static bool wanted(Archive* archive);
    // Starts a worker per processor but one (the caller's thread decodes
    // too), each opening a copy of the archive at `path` (opened as
    // `original`) before it decodes units with `decode`. False when none
    // could start: the caller then works alone, as it always did.
    bool start(const std::u16string& path, Archive* original, Decode decode);
    // Adds the unit of entries [begin, end); units are numbered from 0 as added.
    void offer(size_t begin, size_t end);
    // Whether unit `unit`, the next to finish, is decoded (never waits).
    bool decoded(size_t unit);
    // Waits until unit `unit`, the next to finish, is decoded; it then counts
    // as finished. Meanwhile units no worker has taken yet are decoded here,
    // through the caller's own opening.
    void wait(size_t unit);
    // Takes back the units not yet decoded and waits for those that are
    // being decoded, which see interrupted() and stop early. For an interruption.
    void stop();

private:
    struct Unit {
        size_t begin, end;
        bool decoded = false;
    };
    void work();
    // Under mutex_: the next unit a worker may take, or false.
    bool takeUnit(size_t& unit);
    void decode(size_t unit, ArchiveCopy& copy);

    std::u16string path_;
    Ref<Archive> original_;  // the caller's
    std::optional<ArchiveCopy::Original> copyOf_;
    Decode decode_;
    size_t window_ = 0;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Unit> units_;
    size_t next_ = 0;      // the next unit to hand out
    size_t finished_ = 0;  // units the caller waited for
    bool stopping_ = false;
    std::unique_ptr<ArchiveCopy> ownCopy_;  // over the caller's opening
};

}  // namespace zorvex::cli
