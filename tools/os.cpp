#include "tools/os.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
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
    SetConsoleOutputCP(CP_UTF8);
    int argc = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(utf8FromWide(wide[i]));
    LocalFree(wide);
    return args;
}

fs::path pathFromUtf8(const std::string& text) { return fs::path(wideFromUtf8(text)); }
std::string utf8FromPath(const fs::path& path) { return utf8FromWide(path.wstring()); }

bool stderrIsTerminal() { return _isatty(2) != 0; }

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

bool OutputFile::create(const fs::path& path) {
    fd_ = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
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

bool OutputFile::close() {
    if (fd_ < 0) return true;
    int rc = _close(fd_);
    fd_ = -1;
    return rc == 0;
}

#else

std::vector<std::string> utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

fs::path pathFromUtf8(const std::string& text) { return fs::path(text); }
std::string utf8FromPath(const fs::path& path) { return path.string(); }

bool stderrIsTerminal() { return isatty(2) != 0; }

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

bool OutputFile::create(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd_ >= 0;
}

bool OutputFile::write(const void* data, size_t size) { return writeAll(fd_, data, size); }

bool OutputFile::close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

#endif

OutputFile::~OutputFile() { close(); }

std::string lastErrorText() { return std::strerror(errno); }

bool setModificationTime(const fs::path& path, int64_t time) {
    using namespace std::chrono;
    auto when = file_clock::from_sys(sys_seconds{seconds{time}});
    std::error_code error;
    fs::last_write_time(path, when, error);
    return !error;
}

}  // namespace zorvex::cli
