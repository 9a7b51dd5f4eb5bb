// The few operating-system calls the command-line tool makes itself: raw
// output, exclusive file creation, terminals and the command line's text.
// Everything else goes through the engine or std::filesystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvex::cli {

// The program's arguments as UTF-8 (on Windows read from the wide command
// line, and the console set to show UTF-8 output).
std::vector<std::string> utf8Arguments(int argc, char** argv);

// A filesystem path from UTF-8 text and back.
std::filesystem::path pathFromUtf8(const std::string& text);
std::string utf8FromPath(const std::filesystem::path& path);

bool stderrIsTerminal();

// Writes everything to standard output (binary, unbuffered). False on error.
bool writeStdout(const void* data, size_t size);

// Text of the last system error (errno), for messages.
std::string lastErrorText();

// A file created for writing, never one that existed before and never through
// a symbolic link; written with large unbuffered writes.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    bool create(const std::filesystem::path& path);
    bool write(const void* data, size_t size);
    // False when the final flush to disk reported an error.
    bool close();

private:
    int fd_ = -1;
};

// Sets a file's or folder's modification time (seconds since 1970 UTC).
bool setModificationTime(const std::filesystem::path& path, int64_t time);

}  // namespace zorvex::cli
