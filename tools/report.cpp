#include "tools/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/os.h"

namespace zorvex::cli {

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

Reporter::Reporter() : ownProgress_(std::make_unique<Progress>()), progress_(ownProgress_.get()) {}

Reporter::Reporter(Reporter& shown) : keeping_(true), progress_(shown.progress_) {}

void Reporter::error(const std::string& subject, const std::string& entry, const std::string& message) {
    if (keeping_) {
        kept_.push_back({subject, entry, message, true});
        return;
    }
    note(subject, entry, message);
    ++failures_;
}

int Reporter::failuresWithKept() const {
    auto failure = [](const Line& line) { return line.failure; };
    return failures_ + static_cast<int>(std::count_if(kept_.begin(), kept_.end(), failure));
}

void Reporter::replay(const std::vector<Line>& lines) {
    keeping_ = false;
    for (const Line& line : lines) {
        if (line.failure)
            error(line.subject, line.entry, line.message);
        else
            note(line.subject, line.entry, line.message);
    }
}

void Reporter::note(const std::string& subject, const std::string& entry, const std::string& message) {
    if (keeping_) {
        kept_.push_back({subject, entry, message, false});
        return;
    }
    auto quiet = progress_->pause();
    std::fflush(stdout);
    if (entry.empty())
        std::fprintf(stderr, "zorvex: %s: %s\n", subject.c_str(), message.c_str());
    else
        std::fprintf(stderr, "zorvex: %s: %s: %s\n", subject.c_str(), entry.c_str(), message.c_str());
}

}  // namespace zorvex::cli
