// The progress line of long commands (extract, test, cat) on standard error:
// bytes done of the total when it is known, files done, rate, time left and
// the current entry's name, cut to the terminal's width.
//
// A thread of its own draws it, at most ten times a second, so that the work
// pays only for a counter per piece read and a name per entry. It is shown
// when standard error is a terminal (or --progress forces it), never with
// --quiet, and cleared at the end and before any other line on standard
// error. SIGUSR1 (and SIGINFO where it exists) prints it once as a line of
// its own, shown or not.
//
// Where the line is not shown, the thread only answers those signals, and
// starts once the work has lasted a moment: a short command (most of them)
// runs on one thread, sparing the thread's start and end and the locking
// that a second thread imposes on every allocation. Until then a signal
// waits, blocked, for the thread to take it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace zorvex::cli {

enum class ProgressMode { kAuto, kForced, kQuiet };
// Set from the command line before a command runs.
void setProgressMode(ProgressMode mode);

class Progress {
public:
    Progress();
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Names the work ("extracting a.zip") and starts counting again; `total`
    // is the bytes it will take, -1 when unknown.
    void begin(std::string work, int64_t total);
    void countBytes(int64_t n) {
        bytes_.fetch_add(n, std::memory_order_relaxed);
        startThreadWhenDue();
    }
    void countEntry(std::string_view name);
    // The work is over: its line is cleared and not drawn again.
    void end();
    // Clears the line and keeps it away while the holder writes to standard error.
    std::unique_lock<std::mutex> pause();

    // The line as it would be drawn now, for `width` columns.
    std::string line(size_t width);

private:
    void startThreadWhenDue() {
        if (threadAwaited_.load(std::memory_order_relaxed)) startThreadIfDue();
    }
    void startThreadIfDue();
    void run();
    void draw();
    void printOnce();
    void clearLocked();

    const bool shown_;
    // Whether a thread that only answers signals is still to start, and when.
    std::atomic<bool> threadAwaited_;
    const std::chrono::steady_clock::time_point threadDue_;
    std::mutex mutex_;  // guards everything below and standard error
    std::string work_;
    std::string current_;
    int64_t total_ = -1;
    std::chrono::steady_clock::time_point started_;
    bool onScreen_ = false;
    bool stopping_ = false;
    std::condition_variable wake_;
    std::atomic<int64_t> bytes_{0};
    std::atomic<int64_t> entries_{0};
    std::thread thread_;
};

}  // namespace zorvex::cli
