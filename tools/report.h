// Error lines and the progress line on standard error.
//
// Every failure is one line, "zorvex: ARCHIVE: ENTRY: what happened", and
// counts towards a non-zero exit status. The progress line (tools/progress.h)
// is cleared before any such line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/progress.h"

namespace zorvex::cli {

// Flushes standard output. False when anything written there was lost (a
// full disk, a closed pipe); the first such flush says why on standard error.
bool flushStandardOutput();

class Reporter {
public:
    // A line kept to be printed later, in its turn.
    struct Line {
        std::string subject, entry, message;
        bool failure;
    };

    Reporter();
    // For work on another thread whose lines must come out in their order
    // among the others': keeps its lines for `shown` to print (replay), and
    // counts the bytes it is told of on `shown`'s progress line.
    explicit Reporter(Reporter& shown);
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // "zorvex: SUBJECT: MESSAGE" (or without ENTRY when it is empty).
    void error(const std::string& subject, const std::string& entry, const std::string& message);
    int failures() const { return failures_; }
    // failures() and the failures among the lines kept.
    int failuresWithKept() const;
    // A line of the same form that is no failure: something worth knowing
    // that left nothing undone.
    void note(const std::string& subject, const std::string& entry, const std::string& message);

    // Names the work shown on the progress line ("extracting a.zip") and the
    // bytes it will take (-1: unknown).
    void beginWork(const std::string& what, int64_t totalBytes = -1) { progress_->begin(what, totalBytes); }
    void countEntry(std::string_view name = {}) { progress_->countEntry(name); }
    void countBytes(int64_t n) { progress_->countBytes(n); }
    // Ends the work: its progress line is cleared.
    void clearProgress() { progress_->end(); }

    // From now on lines are kept (takeKept) instead of printed, until replay
    // prints them.
    void keepLines() { keeping_ = true; }
    std::vector<Line> takeKept() { return std::move(kept_); }
    // Ends keeping, and prints `lines` as they would have been printed.
    void replay(const std::vector<Line>& lines);

private:
    int failures_ = 0;
    bool keeping_ = false;
    std::vector<Line> kept_;
    std::unique_ptr<Progress> ownProgress_;
    Progress* progress_;
};

}  // namespace zorvex::cli
