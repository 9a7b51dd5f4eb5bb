#include "tools/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#endif

namespace zorvex::cli {

#ifdef _WIN32

namespace {

// Bytes of an unfinished UTF-8 sequence at the end of `text`: the next read
// completes them.
size_t unfinishedTail(const char* text, size_t size) {
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char c = static_cast<unsigned char>(text[size - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

void writeConsole(HANDLE console, const char* text, size_t size) {
    if (size == 0) return;
    const int units = MultiByteToWideChar(CP_UTF8, 0, text, int(size), nullptr, 0);
    std::wstring wide(size_t(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, int(size), wide.data(), units);
    for (size_t done = 0; done < wide.size();) {
        DWORD written = 0;
        const DWORD chunk = DWORD(std::min<size_t>(wide.size() - done, 1 << 14));
        if (!WriteConsoleW(console, wide.data() + done, chunk, &written, nullptr) || written == 0) return;
        done += written;
    }
}

// One console stream: the pipe its descriptor now writes to, and the thread
// that passes what arrives on to the console.
struct Route {
    int fd;
    HANDLE console;
    HANDLE reader = nullptr;
    std::thread thread;

    void run() {
        std::vector<char> buffer(1 << 16);
        size_t carried = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(reader, buffer.data() + carried, DWORD(buffer.size() - carried), &got, nullptr) || got == 0)
                break;
            const size_t size = carried + got;
            const size_t tail = unfinishedTail(buffer.data(), size);
            writeConsole(console, buffer.data(), size - tail);
            std::copy(buffer.data() + size - tail, buffer.data() + size, buffer.data());
            carried = tail;
        }
        writeConsole(console, buffer.data(), carried);
        CloseHandle(reader);
    }
};

std::vector<Route*>& routes() {
    static std::vector<Route*> all;
    return all;
}

// At exit: the writers close their pipes, and each thread finishes writing.
void finishRoutes() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (Route* route : routes()) {
        _close(route->fd);
        route->thread.join();
    }
}

// The descriptor's handle is closed when another takes its place, and the
// standard handle follows it: the console is kept in a handle of its own,
// which becomes the standard handle again.
void route(int fd, DWORD standardHandle) {
    HANDLE original = GetStdHandle(standardHandle), console = nullptr;
    DWORD mode = 0;
    if (original == INVALID_HANDLE_VALUE || !GetConsoleMode(original, &mode)) return;
    if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &console, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return;
    HANDLE reader = nullptr, writer = nullptr;
    if (!CreatePipe(&reader, &writer, nullptr, 0)) {
        CloseHandle(console);
        return;
    }
    const int pipeFd = _open_osfhandle(intptr_t(writer), _O_BINARY);
    if (pipeFd < 0 || _dup2(pipeFd, fd) != 0) {
        if (pipeFd >= 0)
            _close(pipeFd);
        else
            CloseHandle(writer);
        CloseHandle(reader);
        CloseHandle(console);
        return;
    }
    _close(pipeFd);
    _setmode(fd, _O_BINARY);
    SetStdHandle(standardHandle, console);
    auto* routed = new Route{fd, console, reader, {}};
    routed->thread = std::thread([routed] { routed->run(); });
    routes().push_back(routed);
}

}  // namespace

void routeConsoleOutput() {
    route(1, STD_OUTPUT_HANDLE);
    route(2, STD_ERROR_HANDLE);
    if (!routes().empty()) std::atexit(finishRoutes);
}

#else

void routeConsoleOutput() {}

#endif

}  // namespace zorvex::cli
