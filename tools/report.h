// Error lines and the progress line on standard error.
//
// Every failure is one line, "zorvex: ARCHIVE: ENTRY: what happened", and
// counts towards a non-zero exit status. The progress line is shown only on a
// terminal, rewritten in place at most a few times a second, and cleared
// before any other output and at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zorvex::cli {

// Flushes standard output. False when anything written there was lost (a
// full disk, a closed pipe); the first such flush says why on standard error.
bool flushStandardOutput();

class Reporter {
public:
    Reporter();
    ~Reporter();

    // "zorvex: SUBJECT: MESSAGE" (or without ENTRY when it is empty).
    void error(const std::string& subject, const std::string& entry, const std::string& message);
    int failures() const { return failures_; }
    // A line of the same form that is no failure: something worth knowing
    // that left nothing undone.
    void note(const std::string& subject, const std::string& entry, const std::string& message);

    // Names the work shown on the progress line ("extracting a.zip").
    void beginWork(const std::string& what);
    void countEntry() { ++entries_, tick(); }
    void countBytes(int64_t n) { bytes_ += n, tick(); }
    void clearProgress();

private:
    void tick();
    void draw();

    bool terminal_;
    bool shown_ = false;
    int failures_ = 0;
    std::string work_;
    int64_t entries_ = 0;
    int64_t bytes_ = 0;
    std::chrono::steady_clock::time_point nextDraw_;
};

}  // namespace zorvex::cli
