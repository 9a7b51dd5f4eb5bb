// Full paths and native path forms on Windows: engine paths already are
// backslash-separated UTF-16, so the native form is the same text.
#include "platform/platform.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "engine/path_clean.h"

namespace zorvex::platform {

namespace {

// Calls a Win32 function of the (input, buffer length, buffer) shape, growing
// the buffer as it asks. Empty on failure.
template <class Call>
std::wstring callWithBuffer(Call call) {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD n = call(static_cast<DWORD>(buffer.size()), buffer.data());
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(n + 1);
    }
}

}  // namespace

namespace {

// The system's full form of a short prefix ("." or "C:" or "\\"): the current
// folder, a drive's current folder, or the current drive's root.
std::optional<std::u16string> systemFullPath(const wchar_t* prefix) {
    std::wstring full = callWithBuffer([&](DWORD size, wchar_t* buffer) {
        return GetFullPathNameW(prefix, size, buffer, nullptr);
    });
    if (full.empty()) return std::nullopt;
    return std::u16string(full.begin(), full.end());
}

}  // namespace

std::optional<std::u16string> fullPath(const std::u16string& path) {
    if (path.empty()) return std::nullopt;
    // Paths in the system's own namespace are taken as they are.
    if (path.rfind(u"\\\\?\\", 0) == 0) return path;
    // Split off the root: "\\\\server\\share", "C:", or what the current folder
    // supplies. Then "." and ".." are resolved by the text alone: entry paths
    // inside archives do not exist on disk, and GetFullPathNameW would also
    // turn names such as "con" or "name." into devices or other names.
    std::u16string root, rest;
    if (path.size() >= 2 && isPathSeparator(path[0]) && isPathSeparator(path[1])) {
        size_t server = path.find_first_of(u"\\/", 2);
        size_t share = server == std::u16string::npos ? server : path.find_first_of(u"\\/", server + 1);
        root = path.substr(0, share);
        rest = share == std::u16string::npos ? std::u16string() : path.substr(share);
    } else if (path.size() >= 2 && path[1] == u':') {
        if (path.size() >= 3 && isPathSeparator(path[2])) {
            root = path.substr(0, 2);
            rest = path.substr(2);
        } else {
            wchar_t drive[3] = {static_cast<wchar_t>(path[0]), L':', 0};
            auto current = systemFullPath(drive);
            if (!current) return std::nullopt;
            root = current->substr(0, 2);
            rest = current->substr(2) + u"\\" + path.substr(2);
        }
    } else {
        auto current = systemFullPath(isPathSeparator(path[0]) ? L"\\" : L".");
        if (!current || current->size() < 2) return std::nullopt;
        if ((*current)[1] == u':') {
            root = current->substr(0, 2);
            rest = current->substr(2);
        } else {
            root = *current;  // a UNC current folder: keep it whole as the root
            while (root.size() > 2 && isPathSeparator(root.back())) root.pop_back();
        }
        rest = isPathSeparator(path[0]) ? path : rest + u"\\" + path;
    }
    std::vector<std::u16string_view> parts = resolvePath(std::u16string_view(rest));
    std::u16string full = root;
    for (std::u16string_view part : parts) (full += u'\\') += part;
    if (parts.empty() || isPathSeparator(path.back())) full += u"\\";
    // Short (8.3) components become their long names when the path exists, so
    // that one file has one full path.
    std::wstring native = toNativePath(full);
    std::wstring longName = callWithBuffer([&](DWORD size, wchar_t* buffer) {
        return GetLongPathNameW(native.c_str(), buffer, size);
    });
    return longName.empty() ? full : fromNativePath(longName);
}

NativePath toNativePath(const std::u16string& path) {
    std::wstring out(path.begin(), path.end());
    for (wchar_t& c : out)
        if (c == L'/') c = L'\\';
    return out;
}

std::u16string fromNativePath(const NativePath& path) {
    std::u16string out(path.begin(), path.end());
    for (char16_t& c : out)
        if (c == u'/') c = u'\\';
    return out;
}

// Large pages need a privilege that ordinary accounts lack: plain heap memory.
// A pipe whose writer has closed it reports ERROR_BROKEN_PIPE: that is its end.
int readStandardInput(void* out, int count, int* error) {
    DWORD got = 0;
    if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), out, static_cast<DWORD>(count), &got, nullptr))
        return static_cast<int>(got);
    DWORD code = GetLastError();
    if (code == ERROR_BROKEN_PIPE) return 0;
    *error = static_cast<int>(code);
    return -1;
}

void* allocateLarge(size_t size) { return std::malloc(size); }
void freeLarge(void* block) { std::free(block); }

}  // namespace zorvex::platform
