// Error lines and the progress line on standard error.
//
// Every failure is one line, "zorvex: ARCHIVE: ENTRY: what happened", and
// counts towards a non-zero exit status. The progress line (tools/progress.h)
// is cleared before any such line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/progress.h"

namespace zorvex::cli {

// Flushes standard output. False when anything written there was lost (a
// full disk, a closed pipe); the first such flush says why on standard error.
bool flushStandardOutput();

class Reporter {
public:
    // "zorvex: SUBJECT: MESSAGE" (or without ENTRY when it is empty).
    void error(const std::string& subject, const std::string& entry, const std::string& message);
    int failures() const { return failures_; }
    // A line of the same form that is no failure: something worth knowing
    // that left nothing undone.
    void note(const std::string& subject, const std::string& entry, const std::string& message);

    // Names the work shown on the progress line ("extracting a.zip") and the
    // bytes it will take (-1: unknown).
    void beginWork(const std::string& what, int64_t totalBytes = -1) { progress_.begin(what, totalBytes); }
    void countEntry(std::string_view name = {}) { progress_.countEntry(name); }
    void countBytes(int64_t n) { progress_.countBytes(n); }
    // Ends the work: its progress line is cleared.
    void clearProgress() { progress_.end(); }

private:
    int failures_ = 0;
    Progress progress_;
};

}  // namespace zorvex::cli
