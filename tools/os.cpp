#include "tools/os.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace zorvex::cli {

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

std::string utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

}  // namespace

std::vector<std::string> utf8Arguments(int, char**) {
    int argc = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(utf8FromWide(wide[i]));
    LocalFree(wide);
    return args;
}

fs::path pathFromUtf8(const std::string& text) { return fs::path(wideFromUtf8(text)); }
std::string utf8FromPath(const fs::path& path) { return utf8FromWide(path.wstring()); }

// The handles, not the descriptors: tools/console.h may have given those a pipe.
bool stderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool stdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int terminalWidth() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
    int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 1 ? width : 80;
}

bool writeStdout(const void* data, size_t size) {
    static bool binary = (_setmode(1, _O_BINARY), true);
    (void)binary;
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        unsigned chunk = size > (1u << 30) ? (1u << 30) : unsigned(size);
        int n = _write(1, p, chunk);
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool OutputFile::create(const fs::path&, const fs::path& temporary, bool) {
    fd_ = _wopen(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd_ < 0) return false;
    temporary_ = temporary;
    named_ = true;
    return true;
}

bool OutputFile::adopt(const fs::path& temporary) {
    temporary_ = temporary;
    named_ = true;
    fd_ = _wopen(temporary.c_str(), _O_WRONLY | _O_BINARY);
    return fd_ >= 0;
}

bool OutputFile::write(const void* data, size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        unsigned chunk = size > (1u << 30) ? (1u << 30) : unsigned(size);
        int n = _write(fd_, p, chunk);
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool OutputFile::setModificationTime(int64_t time) {
    // FILETIME counts 100 ns units since 1601.
    constexpr int64_t kUnixEpochIn1601 = 11644473600;
    uint64_t ticks = uint64_t(time + kUnixEpochIn1601) * 10000000u;
    FILETIME when{DWORD(ticks), DWORD(ticks >> 32)};
    return SetFileTime(HANDLE(_get_osfhandle(fd_)), nullptr, nullptr, &when) != 0;
}

bool OutputFile::setPermissions(uint32_t) { return false; }

namespace {

int closeFile(int fd) { return _close(fd); }

RenameResult renameFile(const fs::path& from, const fs::path& to, bool replace, std::string& error) {
    if (MoveFileExW(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return RenameResult::kDone;
    DWORD code = GetLastError();
    // Replacing asked for covers a read-only file, such as an earlier extraction leaves.
    const DWORD existing = GetFileAttributesW(to.c_str());
    if (replace && code == ERROR_ACCESS_DENIED && existing != INVALID_FILE_ATTRIBUTES &&
        (existing & FILE_ATTRIBUTE_READONLY) && !(existing & FILE_ATTRIBUTE_DIRECTORY) &&
        SetFileAttributesW(to.c_str(), existing & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return RenameResult::kDone;
        code = GetLastError();
        SetFileAttributesW(to.c_str(), existing);
    }
    if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) return RenameResult::kExists;
    error = std::system_category().message(int(code));
    return RenameResult::kFailed;
}

}  // namespace

size_t openFileLimit() { return size_t(_getmaxstdio()); }

int64_t processId() { return int64_t(GetCurrentProcessId()); }

bool processAlive(int64_t id) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(id));
    if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

namespace {

volatile LONG interruptCaught = 0;
volatile LONG cleanupPending = 0;

// Runs on a thread of its own. Ctrl+C and Ctrl+Break are answered at once;
// for a closing console, logoff or shutdown the process ends when this
// returns, so it waits instead for the main thread to clean up and exit.
BOOL WINAPI onConsoleControl(DWORD event) {
    if (!cleanupPending) return FALSE;  // the default: the process ends
    InterlockedExchange(&interruptCaught, 1);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void catchInterrupts() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

void setCleanupPending(bool pending) {
    InterlockedExchange(&cleanupPending, pending ? 1 : 0);
    if (!pending && interrupted()) exitInterrupted();
}

bool interrupted() { return interruptCaught != 0; }

void exitInterrupted() { ExitProcess(STATUS_CONTROL_C_EXIT); }

#else

std::vector<std::string> utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

fs::path pathFromUtf8(const std::string& text) { return fs::path(text); }
std::string utf8FromPath(const fs::path& path) { return path.string(); }

bool stderrIsTerminal() { return isatty(2) != 0; }
bool stdoutIsTerminal() { return isatty(1) != 0; }

int terminalWidth() {
    struct winsize size {};
    if (ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) return 80;
    return size.ws_col;
}

namespace {

bool writeAll(int fd, const void* data, size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace

bool writeStdout(const void* data, size_t size) { return writeAll(1, data, size); }

bool OutputFile::create(const fs::path& folder, const fs::path& temporary, bool nameless) {
    temporary_ = temporary;
#ifdef O_TMPFILE
    if (nameless) {
        fd_ = ::open(folder.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
        if (fd_ >= 0) return true;
        // Not every file system makes files without a name: then one with a name.
    }
#else
    (void)folder;
    (void)nameless;
#endif
    fd_ = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    named_ = fd_ >= 0;
    return named_;
}

bool OutputFile::write(const void* data, size_t size) { return writeAll(fd_, data, size); }

// A file taken by adopt() is not opened: its temporary name, which nothing
// but this process uses, is set instead.
bool OutputFile::setModificationTime(int64_t time) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(time), 0}};
    if (fd_ < 0) return ::utimensat(AT_FDCWD, temporary_.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
    return ::futimens(fd_, times) == 0;
}

bool OutputFile::setPermissions(uint32_t permissions) {
    if (fd_ < 0) return ::fchmodat(AT_FDCWD, temporary_.c_str(), mode_t(permissions), 0) == 0;
    return ::fchmod(fd_, mode_t(permissions)) == 0;
}

namespace {

int closeFile(int fd) { return ::close(fd); }

RenameResult renameFile(const fs::path& from, const fs::path& to, bool replace, std::string& error) {
    int rc = 0;
    if (replace) {
        rc = ::rename(from.c_str(), to.c_str());
    } else {
#ifdef RENAME_NOREPLACE
        rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) rc = 1;  // not on this file system
#else
        rc = 1;
#endif
        if (rc == 1) {
            // Only a name that exists now is kept.
            struct stat existing;
            if (::lstat(to.c_str(), &existing) == 0) return RenameResult::kExists;
            rc = ::rename(from.c_str(), to.c_str());
        }
        if (rc != 0 && errno == EEXIST) return RenameResult::kExists;
    }
    if (rc == 0) return RenameResult::kDone;
    error = std::strerror(errno);
    return RenameResult::kFailed;
}

// Gives the nameless file open as `fd` the name `name` (never replacing one).
// Linking the descriptor itself needs a capability on kernels before 6.10,
// which say ENOENT without it; its /proc entry does not.
bool linkNameless(int fd, const fs::path& name) {
    static bool direct = true;
    if (direct) {
        if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;
        if (errno != ENOENT) return false;
    }
    const std::string entry = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, entry.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) return false;
    direct = false;
    return true;
}

}  // namespace

RenameResult OutputFile::publishNameless(const fs::path& target, bool replace, std::string& error) {
    if (!linkNameless(fd_, target)) {
        if (errno == EEXIST && !replace) return RenameResult::kExists;
        if (errno != EEXIST) {
            error = std::strerror(errno);
            return RenameResult::kFailed;
        }
        // A link replaces nothing: the file takes its temporary name, which
        // then replaces the file there in one step.
        if (!linkNameless(fd_, temporary_)) {
            error = std::strerror(errno);
            return RenameResult::kFailed;
        }
        named_ = true;
        return publish(target, replace, error);
    }
    const int rc = closeFile(fd_);
    fd_ = -1;
    if (rc == 0) return RenameResult::kDone;
    // Data the system reports lost on closing is not kept under the name.
    error = std::strerror(errno);
    ::unlink(target.c_str());
    return RenameResult::kFailed;
}

size_t openFileLimit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
    return size_t(limit.rlim_cur);
}

int64_t processId() { return int64_t(getpid()); }

bool processAlive(int64_t id) {
    if (id <= 0 || id != int64_t(pid_t(id))) return false;
    return ::kill(pid_t(id), 0) == 0 || errno != ESRCH;
}

namespace {

// Atomic, not volatile: worker threads read them while the handler writes.
// Lock-free, so the handler may touch them.
std::atomic<int> interruptCaught{0};
std::atomic<int> cleanupPending{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onInterrupt(int signal) {
    if (cleanupPending) {
        interruptCaught = signal;
        return;
    }
    // Nothing to clean up: end as the signal would have (it is delivered
    // again once this handler returns). The interrupted code's errno stays.
    const int savedErrno = errno;
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    errno = savedErrno;
}

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kInterrupts) sigaddset(&action.sa_mask, signal);
    for (int signal : kInterrupts) {
        // A signal ignored when the program started (nohup) stays ignored.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

void setCleanupPending(bool pending) {
    cleanupPending = pending;
    if (!pending && interrupted()) exitInterrupted();
}

bool interrupted() { return interruptCaught != 0; }

void exitInterrupted() {
    int signal = interruptCaught;
    ::signal(signal, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(signal);
    _exit(128 + signal);
}

#endif

OutputFile::~OutputFile() { discard(); }

RenameResult OutputFile::publish(const fs::path& target, bool replace, std::string& error) {
#ifndef _WIN32
    if (!named_) return publishNameless(target, replace, error);
#endif
    const bool closed = setAside();
    RenameResult result = RenameResult::kFailed;
    if (!closed)
        error = lastErrorText();
    else
        result = renameFile(temporary_, target, replace, error);
    if (result == RenameResult::kDone) named_ = false;  // nothing left to remove
    discard();
    return result;
}

#ifndef _WIN32
bool OutputFile::adopt(const fs::path& temporary) {
    temporary_ = temporary;
    named_ = true;
    return true;
}
#endif

bool OutputFile::setAside() {
    if (!named_ || fd_ < 0) return true;
    const int rc = closeFile(fd_);
    fd_ = -1;
    return rc == 0;
}

bool OutputFile::restart() {
#ifdef _WIN32
    return _chsize_s(fd_, 0) == 0 && _lseeki64(fd_, 0, SEEK_SET) == 0;
#else
    // Emptying a file tells ext4 that it is being replaced, and the file is
    // then written out to the disk as soon as it is closed: a file still
    // empty (nothing copied into it yet) is left as it is.
    struct stat status;
    if (::fstat(fd_, &status) != 0) return false;
    if (status.st_size != 0 && ::ftruncate(fd_, 0) != 0) return false;
    return ::lseek(fd_, 0, SEEK_SET) == 0;
#endif
}

void OutputFile::keep() {
    if (fd_ >= 0) closeFile(fd_);
    fd_ = -1;
    named_ = false;
}

void OutputFile::discard() {
    if (fd_ >= 0) closeFile(fd_);
    fd_ = -1;
    if (named_) {
        std::error_code ignored;
        fs::remove(temporary_, ignored);
        named_ = false;
    }
}

std::string lastErrorText() { return std::strerror(errno); }

bool setModificationTime(const fs::path& path, int64_t time) {
    using namespace std::chrono;
    auto when = file_clock::from_sys(sys_seconds{seconds{time}});
    std::error_code error;
    fs::last_write_time(path, when, error);
    return !error;
}

#ifdef _WIN32

uint32_t permissionsFor(uint32_t, bool) { return 0; }

uint32_t createdPermissions() { return 0; }
bool setPermissions(const fs::path&, uint32_t) { return false; }
bool createSymbolicLink(const std::string&, const fs::path&) { return false; }
bool setLinkModificationTime(const fs::path&, int64_t) { return false; }

bool setReadOnly(const fs::path& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

#else

namespace {

uint32_t processUmask() {
    static const mode_t mask = [] {
        mode_t current = ::umask(0);
        ::umask(current);
        return current;
    }();
    return uint32_t(mask);
}

}  // namespace

uint32_t permissionsFor(uint32_t stored, bool preserve) {
    if (preserve) return stored & 07777;
    return stored & 0777 & ~processUmask();
}

uint32_t createdPermissions() { return 0666 & ~processUmask(); }

bool setPermissions(const fs::path& path, uint32_t permissions) {
    return ::chmod(path.c_str(), mode_t(permissions)) == 0;
}

bool setReadOnly(const fs::path&) { return false; }

bool createSymbolicLink(const std::string& target, const fs::path& path) {
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

bool setLinkModificationTime(const fs::path& path, int64_t time) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(time), 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

#endif

}  // namespace zorvex::cli
