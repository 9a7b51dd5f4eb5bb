#include "tools/progress.h"

#include <cstdio>

#include "tools/os.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace zorvex::cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// How long work runs before a thread comes to answer the signals that ask
// for a line not shown.
constexpr auto kSignalThreadDelay = std::chrono::milliseconds(100);

ProgressMode progressMode = ProgressMode::kAuto;

bool progressShown() {
    return progressMode == ProgressMode::kForced || (progressMode == ProgressMode::kAuto && stderrIsTerminal());
}

// "12.3 MiB" and the like: the unit that keeps the figure below 1024.
std::string amount(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) bytes /= 1024, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string clockTime(int64_t seconds) {
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                      int(seconds / 60 % 60), int(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%d:%02d", int(seconds / 60), int(seconds % 60));
    return text;
}

// The first `width` columns of UTF-8 text (a character taken for a column).
size_t columns(std::string_view text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

std::string_view lastColumns(std::string_view text, size_t width) {
    size_t from = text.size();
    for (size_t seen = 0; from > 0 && seen < width;)
        if ((static_cast<unsigned char>(text[--from]) & 0xC0) != 0x80) ++seen;
    return text.substr(from);
}

std::string_view firstColumns(std::string_view text, size_t width) {
    size_t end = 0;
    for (size_t seen = 0; end < text.size(); ++end)
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && seen++ == width) break;
    return text.substr(0, end);
}

#ifdef _WIN32
constexpr bool kPrintSignals = false;
#else
constexpr bool kPrintSignals = true;

sigset_t printSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
#ifdef SIGINFO
    sigaddset(&set, SIGINFO);
#endif
    return set;
}
#endif

}  // namespace

void setProgressMode(ProgressMode mode) { progressMode = mode; }

// The signals are blocked at once: one asking for the line, however early
// it comes (while an archive is still being opened), must wait for the
// thread rather than end the process. Windows has no such signal: a line
// not shown needs no thread there.
Progress::Progress()
    : shown_(progressShown()),
      threadAwaited_(!shown_ && kPrintSignals),
      threadDue_(std::chrono::steady_clock::now() + kSignalThreadDelay) {
#ifndef _WIN32
    // Threads started later inherit the mask.
    sigset_t set = printSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
    if (shown_) thread_ = std::thread([this] { run(); });
}

Progress::~Progress() {
    {
        std::lock_guard lock(mutex_);
        clearLocked();
        stopping_ = true;
    }
    if (!thread_.joinable()) return;
#ifdef _WIN32
    wake_.notify_all();
#else
    pthread_kill(thread_.native_handle(), SIGUSR1);
#endif
    thread_.join();
}

void Progress::startThreadIfDue() {
    if (std::chrono::steady_clock::now() < threadDue_) return;
    std::lock_guard lock(mutex_);
    if (!threadAwaited_ || stopping_) return;
    threadAwaited_ = false;
#ifndef _WIN32
    // A signal that came before the thread is answered here, while the work
    // it asks about is still under way.
    const sigset_t set = printSignals();
    const timespec now{0, 0};
    if (sigtimedwait(&set, nullptr, &now) > 0) printOnce();
#endif
    thread_ = std::thread([this] { run(); });
}

void Progress::begin(std::string work, int64_t total) {
    std::lock_guard lock(mutex_);
    clearLocked();
    work_ = std::move(work);
    current_.clear();
    total_ = total;
    started_ = std::chrono::steady_clock::now();
    bytes_ = 0;
    entries_ = 0;
}

void Progress::countEntry(std::string_view name) {
    entries_.fetch_add(1, std::memory_order_relaxed);
    startThreadWhenDue();
    std::lock_guard lock(mutex_);
    current_.assign(name);
}

void Progress::end() {
    std::lock_guard lock(mutex_);
    clearLocked();
    work_.clear();
}

std::unique_lock<std::mutex> Progress::pause() {
    std::unique_lock lock(mutex_);
    clearLocked();
    return lock;
}

void Progress::clearLocked() {
    if (!onScreen_) return;
#ifdef _WIN32
    // Not every console takes escape sequences.
    std::fprintf(stderr, "\r%*s\r", int(terminalWidth() - 1), "");
#else
    std::fprintf(stderr, "\r\033[K");
#endif
    std::fflush(stderr);
    onScreen_ = false;
}

std::string Progress::line(size_t width) {
    using namespace std::chrono;
    const int64_t done = bytes_.load(std::memory_order_relaxed), entries = entries_.load(std::memory_order_relaxed);
    const double seconds = duration_cast<duration<double>>(steady_clock::now() - started_).count();
    std::string text = work_ + ": " + amount(double(done));
    if (total_ >= 0) {
        const int percent = total_ > 0 ? int(std::min<int64_t>(done, total_) * 100 / total_) : 100;
        text += " of " + amount(double(total_)) + " (" + std::to_string(percent) + "%)";
    }
    text += ", " + std::to_string(entries) + (entries == 1 ? " file" : " files");
    if (seconds > 0.05 && done > 0) {
        const double rate = double(done) / seconds;
        text += ", " + amount(rate) + "/s";
        if (total_ > done) text += ", " + clockTime(int64_t(double(total_ - done) / rate + 0.5)) + " left";
    }
    if (!current_.empty()) {
        // The end of a long name tells most: "...deep/folder/file.txt".
        const size_t used = columns(text) + 2;
        if (used + 3 < width && used + columns(current_) > width)
            text += ": ..." + std::string(lastColumns(current_, width - used - 3));
        else
            text += ": " + current_;
    }
    return std::string(firstColumns(text, width));
}

void Progress::draw() {
    if (!shown_ || work_.empty() || std::chrono::steady_clock::now() - started_ < kRedrawInterval) return;
    const std::string text = line(size_t(terminalWidth() - 1));
#ifdef _WIN32
    std::fprintf(stderr, "\r%s%*s", text.c_str(), int(terminalWidth() - 1 - columns(text)), "");
#else
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
#endif
    std::fflush(stderr);
    onScreen_ = true;
}

void Progress::printOnce() {
    if (work_.empty()) return;
    clearLocked();
    std::fprintf(stderr, "%s\n", line(size_t(terminalWidth() - 1)).c_str());
    std::fflush(stderr);
}

void Progress::run() {
    for (;;) {
#ifdef _WIN32
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, kRedrawInterval, [this] { return stopping_; });
        if (stopping_) return;
        draw();
#else
        // A line not shown is never drawn: only a signal wakes the thread.
        const sigset_t set = printSignals();
        const timespec interval{0, std::chrono::nanoseconds(kRedrawInterval).count()};
        const int signal = sigtimedwait(&set, nullptr, shown_ ? &interval : nullptr);
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (signal > 0)
            printOnce();
        else
            draw();
#endif
    }
}

}  // namespace zorvex::cli
