// Full paths and native path forms on Windows: engine paths already are
// backslash-separated UTF-16, so the native form is the same text.
#include "platform/platform.h"

#include <windows.h>

#include <vector>

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

std::optional<std::u16string> fullPath(const std::u16string& path) {
    if (path.empty()) return std::nullopt;
    std::wstring native = toNativePath(path);
    std::wstring full = callWithBuffer([&](DWORD size, wchar_t* buffer) {
        return GetFullPathNameW(native.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) return std::nullopt;
    // Short (8.3) components become their long names when the path exists, so
    // that one file has one full path.
    std::wstring longName = callWithBuffer([&](DWORD size, wchar_t* buffer) {
        return GetLongPathNameW(full.c_str(), buffer, size);
    });
    return fromNativePath(longName.empty() ? full : longName);
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

}  // namespace zorvex::platform
