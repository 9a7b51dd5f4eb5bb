#include "tools/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/os.h"

namespace zorvex::cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(150);
constexpr size_t kProgressWidth = 78;

}  // namespace

bool flushStandardOutput() {
    static bool reported = false;
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    // Said once, by the flush that failed, which knows why.
    if (!reported)
        std::fprintf(stderr, "zorvex: cannot write to standard output%s%s\n", errno ? ": " : "",
                     errno ? std::strerror(errno) : "");
    reported = true;
    return false;
}

Reporter::Reporter() : terminal_(stderrIsTerminal()) {}

Reporter::~Reporter() { clearProgress(); }

void Reporter::error(const std::string& subject, const std::string& entry, const std::string& message) {
    note(subject, entry, message);
    ++failures_;
}

void Reporter::note(const std::string& subject, const std::string& entry, const std::string& message) {
    clearProgress();
    std::fflush(stdout);
    if (entry.empty())
        std::fprintf(stderr, "zorvex: %s: %s\n", subject.c_str(), message.c_str());
    else
        std::fprintf(stderr, "zorvex: %s: %s: %s\n", subject.c_str(), entry.c_str(), message.c_str());
}

void Reporter::beginWork(const std::string& what) {
    work_ = what;
    entries_ = bytes_ = 0;
    // The first redraw waits a little: short jobs never show a progress line.
    nextDraw_ = std::chrono::steady_clock::now() + kRedrawInterval;
}

void Reporter::tick() {
    if (!terminal_) return;
    auto now = std::chrono::steady_clock::now();
    if (now < nextDraw_) return;
    nextDraw_ = now + kRedrawInterval;
    draw();
}

void Reporter::draw() {
    char figures[64];
    std::snprintf(figures, sizeof figures, ": %lld %s, %.1f MiB", static_cast<long long>(entries_),
                  entries_ == 1 ? "entry" : "entries", double(bytes_) / (1024.0 * 1024.0));
    std::string line = work_;
    std::string tail = figures;
    if (line.size() + tail.size() > kProgressWidth) {
        // Keep the end of a long name, cut at a character boundary.
        size_t keep = kProgressWidth > tail.size() + 3 ? kProgressWidth - tail.size() - 3 : 0;
        size_t from = line.size() - std::min(keep, line.size());
        while (from < line.size() && (static_cast<unsigned char>(line[from]) & 0xC0) == 0x80) ++from;
        line = "..." + line.substr(from);
    }
    std::fprintf(stderr, "\r%s%s\033[K", line.c_str(), tail.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Reporter::clearProgress() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace zorvex::cli
