// The few operating-system calls the command-line tool makes itself: raw
// output, files created out of sight and named once whole, terminals,
// interruption and the command line's text.
// Everything else goes through the engine or std::filesystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvex::cli {

// The program's arguments as UTF-8 (on Windows read from the wide command
// line).
std::vector<std::string> utf8Arguments(int argc, char** argv);

// A filesystem path from UTF-8 text and back.
std::filesystem::path pathFromUtf8(const std::string& text);
std::string utf8FromPath(const std::filesystem::path& path);

bool stderrIsTerminal();
bool stdoutIsTerminal();
// The columns of the terminal standard error shows on; 80 when none says.
int terminalWidth();

// Writes everything to standard output (binary, unbuffered). False on error.
bool writeStdout(const void* data, size_t size);

// Text of the last system error (errno), for messages.
std::string lastErrorText();

enum class RenameResult { kDone, kExists, kFailed };

// A file being extracted into a folder, which takes its own name only once it
// is whole and checked. Where the system allows (Linux), it has no name at all
// until then, so that nothing is left of it when the process ends, however it
// ends; elsewhere it is written under a temporary name given by the caller.
// Never created through a symbolic link; written with large unbuffered writes.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the file unless it was given its name.
    ~OutputFile();

    // Creates the file in `folder`; `temporary` is the name it has until
    // publish() where it needs one. `nameless` false asks for that name at once
    // (for files that wait long: each nameless file holds a descriptor).
    bool create(const std::filesystem::path& folder, const std::filesystem::path& temporary, bool nameless);
    // Takes a file already written under the name `temporary` (false when it
    // cannot be opened where it must be).
    bool adopt(const std::filesystem::path& temporary);
    bool write(const void* data, size_t size);
    // The open file's descriptor, for copies the system makes into it.
    intptr_t handle() const { return fd_; }
    // Empties the file, to be written again from its start.
    bool restart();
    // Sets the modification time (seconds since 1970 UTC) and permission bits
    // through the open file: no look-up of its name. Permissions are Unix
    // only (false elsewhere).
    bool setModificationTime(int64_t time);
    bool setPermissions(uint32_t permissions);
    // For a file that waits long for its name: closes it where it has a
    // temporary name (a nameless one needs its descriptor). False when
    // closing reports an error.
    bool setAside();
    // Gives the file the name `target`, replacing a file there only with
    // `replace` (else kExists, even for one that appeared a moment ago), and
    // closes it. On failure (`error` says why for kFailed) the file goes.
    RenameResult publish(const std::filesystem::path& target, bool replace, std::string& error);
    // Closes a file adopted under its final name, which it keeps.
    void keep();
    // Closes and removes the file.
    void discard();

private:
    RenameResult publishNameless(const std::filesystem::path& target, bool replace, std::string& error);

    int fd_ = -1;
    std::filesystem::path temporary_;
    bool named_ = false;  // it has the name `temporary_`, to remove unless published
};

// Sets a file's or folder's modification time (seconds since 1970 UTC).
bool setModificationTime(const std::filesystem::path& path, int64_t time);

// Unix metadata on disk. On Windows there is none to set: each call does
// nothing and fails, and the extractor writes links as it always did.
constexpr bool kHasUnixMetadata =
#ifdef _WIN32
    false;
#else
    true;
#endif
// The permission bits an extracted file or folder gets from its stored mode:
// as a normal user's tar gives them, the umask applies and setuid, setgid and
// sticky bits are dropped, unless `preserve` keeps all of them.
uint32_t permissionsFor(uint32_t stored, bool preserve);
// The permission bits OutputFile::create gives a new file (0666 under the umask).
uint32_t createdPermissions();
// Sets a folder's permission bits.
bool setPermissions(const std::filesystem::path& path, uint32_t permissions);
// Creates a symbolic link at `path` holding `target` (UTF-8) unchanged.
bool createSymbolicLink(const std::string& target, const std::filesystem::path& path);
// Sets a symbolic link's own modification time, never its target's.
bool setLinkModificationTime(const std::filesystem::path& path, int64_t time);

// Gives a file the Windows read-only attribute. Elsewhere the stored Unix mode
// decides, and this does nothing and fails.
bool setReadOnly(const std::filesystem::path& path);

// How many files the process may hold open at once.
size_t openFileLimit();

int64_t processId();
// False only when no process with that id runs.
bool processAlive(int64_t id);

// Interruption: SIGINT, SIGTERM and SIGHUP (console control events on
// Windows). Once catchInterrupts() has run, they end the process at once
// while nothing needs cleaning up. While something does (between
// setCleanupPending(true) and (false)), they only make interrupted() true:
// the work checks it, cleans up and calls exitInterrupted(), which ends the
// process as the signal would have (status 128 + signal on POSIX).
// setCleanupPending(false) exits so itself when an interruption came.
void catchInterrupts();
void setCleanupPending(bool pending);
bool interrupted();
[[noreturn]] void exitInterrupted();

}  // namespace zorvex::cli
