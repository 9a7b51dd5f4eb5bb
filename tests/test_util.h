// Helpers shared by the tests: scratch folders, running the archivers that
// make fixtures, files and engine paths.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/job_pool.h"
#include "engine/stream.h"

namespace zorvex::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
public:
    // In the system's temporary folder, or in `base` when one is given.
    explicit TempDir(const fs::path& base = {});
    ~TempDir();
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// Runs a shell command; returns its exit status (-1 when it could not run).
int run(const std::string& command);
// Runs a shell command and returns what it wrote to standard output.
std::string runOutput(const std::string& command, int* status = nullptr);
// True when the program is on PATH; tests that need it skip otherwise.
bool haveTool(const std::string& program);
#define REQUIRE_TOOL(program) \
    if (!::zorvex::test::haveTool(program)) GTEST_SKIP() << program " is not installed"

std::vector<uint8_t> readFile(const fs::path& path);
void writeFile(const fs::path& path, const void* data, size_t size);
void writeFile(const fs::path& path, const std::string& text);
// Deterministic bytes that compress moderately (text-like runs and noise).
std::vector<uint8_t> sampleData(size_t size, uint32_t seed);

// The corpus of real archives beside the repository, when present.
std::optional<fs::path> corpusDir();
#define REQUIRE_CORPUS(var)                                                  \
    auto var##_opt = ::zorvex::test::corpusDir();                             \
    if (!var##_opt) GTEST_SKIP() << "no ../shared/corpus beside the repository"; \
    const ::zorvex::test::fs::path var = *var##_opt

// Engine path of a native path.
std::u16string enginePath(const fs::path& path);
// Everything a stream delivers from its current position.
std::vector<uint8_t> readAll(InStream* stream);
// Hex SHA-256 of bytes (for comparing with the corpus manifest).
std::string sha256Hex(const std::vector<uint8_t>& data);

// The zorvex program built beside the tests.
std::string cliPath();

#ifndef _WIN32
// Starts `arguments` (the program first) with `signal` at its default action,
// sends it `signal` once it has a file open for writing in `folder` (or after
// 30 s), and returns its wait status; -1 when it could not be started or
// waited for.
int interruptWhileWriting(const std::vector<std::string>& arguments, const fs::path& folder, int signal);
#endif

// Counts the bytes read through it.
class CountingStream final : public InStream {
public:
    explicit CountingStream(InStream* inner) : InStream(inner->name(), nullptr, 0), inner_(inner) {}
    int64_t tell() override { return inner_->tell(); }
    bool seek(int64_t position) override { return inner_->seek(position); }
    int read(void* buf, int count) override {
        int n = inner_->read(buf, count);
        if (n > 0) bytesRead += n;
        return n;
    }
    int64_t size() override { return inner_->size(); }
    int64_t bytesRead = 0;

private:
    Ref<InStream> inner_;
};

// Runs `check` with decoders that split their work among worker threads
// using them, then on the caller's thread alone.
template <class Check>
void onBothPaths(Check&& check) {
    for (int workers : {kMaxJobWorkers, 0}) {
        SCOPED_TRACE(workers ? "worker threads" : "caller's thread");
        setJobWorkerLimit(workers);
        check();
    }
    setJobWorkerLimit(kMaxJobWorkers);
}

}  // namespace zorvex::test
