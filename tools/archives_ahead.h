// Archives named after the one a command works on, taken up on threads of
// their own meanwhile, so that several archives given at once are decoded
// side by side. `zorvex extract` opens and plans them there (a compressed
// tar is decoded while it is planned, its files' data kept aside for their
// names, and so is the only file of an archive that holds one); `zorvex
// test` checks them whole, keeping what it would say. The
// caller's thread takes each in the order given and does the rest: what
// is written and said comes out as with one thread.
//
// A password that only the user can give is not asked ahead of the archives
// before it: work that asked for one is done again by the caller in its turn.
// Standard input is never taken up ahead: the caller reads it as it comes.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/archive.h"
#include "engine/job_pool.h"
#include "engine/password.h"
#include "tools/password.h"
#include "tools/standard_input.h"

namespace zorvex::cli {

// The password source of work done ahead: it answers from the given
// password, and refuses a question for the user until the caller takes the
// work (the question would come before what the caller says of the
// archives before it).
class HeldPasswords : public PasswordSource {
public:
    explicit HeldPasswords(PasswordSource* source) : source_(source) {}
    bool askPassword(const std::u16string& archiveName, Password& password) override;
    // Whether a question was refused; from now on every one is asked.
    bool release();

private:
    std::mutex mutex_;
    PasswordSource* source_;
    bool held_ = true;
    bool refused_ = false;
};

// `Result` is what work on one archive gives the caller.
template <class Result>
class ArchivesAhead {
public:
    // Works on the argument at `index` with `passwords`, as the caller would.
    using Work = std::function<Result(size_t index, PasswordSource* passwords)>;

    ArchivesAhead() = default;
    ~ArchivesAhead() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    ArchivesAhead(const ArchivesAhead&) = delete;
    ArchivesAhead& operator=(const ArchivesAhead&) = delete;

    // Works on `arguments` but the first ahead of the caller, on a thread
    // per processor but one, up to two archives per thread past the one last taken (one
    // more than the threads keeps them busy while the caller names what
    // the last one gave). Nothing starts for a single argument or a single
    // processor.
    void start(const std::vector<std::string>& arguments, Work work) {
        const int threads = std::min(jobWorkerCount(), kMaxJobWorkers) - 1;
        if (arguments.size() < 2 || threads < 1) return;
        slots_.resize(arguments.size());
        for (size_t i = 0; i < arguments.size(); ++i)
            if (standardInputArgumentPath(arguments[i])) slots_[i].state = State::kTaken;
        work_ = std::move(work);
        window_ = 2 * static_cast<size_t>(threads);
        for (int i = 0; i < threads; ++i) {
            // The library reports a thread it cannot start by throwing; the
            // caller then does what no thread does.
            try {
                threads_.emplace_back([this] { run(); });
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    // What was done ahead for the argument at `index` (taken in increasing
    // order); nullopt when nothing was: the caller does it itself. Waits
    // for work under way.
    std::optional<Result> take(size_t index) {
        std::unique_lock<std::mutex> hold(mutex_);
        if (index >= slots_.size()) return std::nullopt;
        taken_ = index;
        // Not begun yet: none may begin it now.
        next_ = std::max(next_, index + 1);
        changed_.notify_all();
        Slot& slot = slots_[index];
        changed_.wait(hold, [&] { return slot.state != State::kWorking; });
        if (slot.state != State::kDone) return std::nullopt;
        slot.state = State::kTaken;
        std::optional<Result> result = std::move(slot.result);
        if (slot.passwords->release()) return std::nullopt;
        return result;
    }

private:
    enum class State { kWaiting, kWorking, kDone, kTaken };
    struct Slot {
        // Outlives the result, whose archives ask it.
        std::unique_ptr<HeldPasswords> passwords;
        std::optional<Result> result;
        State state = State::kWaiting;
    };

    // Under mutex_: the next argument a thread may take up, or false.
    bool nextToTake(size_t& index) {
        while (next_ < slots_.size() && next_ <= taken_ + window_) {
            index = next_++;
            if (slots_[index].state == State::kWaiting) return true;
        }
        return false;
    }
    void run() {
        // Decoders made here work where they are, and the archives opened
        // are this thread's own until the caller takes them.
        JobWorkerScope scope;
        OpeningOwnCopy own;
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            size_t index = 0;
            changed_.wait(hold, [&] { return stopping_ || nextToTake(index); });
            if (stopping_) return;
            Slot& slot = slots_[index];
            slot.state = State::kWorking;
            slot.passwords = std::make_unique<HeldPasswords>(commandPasswords());
            hold.unlock();
            Result result = work_(index, slot.passwords.get());
            hold.lock();
            slot.result = std::move(result);
            slot.state = State::kDone;
            changed_.notify_all();
        }
    }

    std::vector<Slot> slots_;
    Work work_;
    size_t window_ = 0;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 1;   // the next argument to take up ahead
    size_t taken_ = 0;  // the argument the caller works on
    bool stopping_ = false;
};

}  // namespace zorvex::cli
