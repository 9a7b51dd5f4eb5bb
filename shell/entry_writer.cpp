#include "shell/entry_writer.h"

#include <windows.h>

#include "engine/extraction.h"

namespace zorvex::shell {

namespace {

constexpr ULONG kPieceSize = 4096;

bool enoughSpace(const std::wstring& folder, int64_t size) {
    if (size <= 0) return true;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
    return available.QuadPart >= static_cast<uint64_t>(size);
}

// Copies the stream into the file. True only when the stream ended normally
// after delivering its size (any size when it is unknown).
bool copyInto(IStream* stream, HANDLE file, int64_t size) {
    if (size > 0) {
        // Reserving the size up front finds a full disk before the copy.
        LARGE_INTEGER at;
        at.QuadPart = size;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return false;
        at.QuadPart = 0;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    }
    static thread_local uint8_t buffer[kPieceSize];
    int64_t total = 0;
    for (;;) {
        ULONG got = 0;
        HRESULT hr = stream->Read(buffer, kPieceSize, &got);
        if (FAILED(hr)) return false;
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, buffer, got, &written, nullptr) || written != got) return false;
        total += got;
        if (size >= 0 && total > size) return false;
    }
    return size < 0 || total == size;
}

}  // namespace

std::wstring writeEntry(IStream* stream, const std::wstring& folder) {
    if (!stream || folder.empty()) return {};
    STATSTG stat = {};
    if (FAILED(stream->Stat(&stat, STATFLAG_DEFAULT))) return {};
    std::u16string name = windowsSafeName(stat.pwcsName ? reinterpret_cast<const char16_t*>(stat.pwcsName) : u"");
    CoTaskMemFree(stat.pwcsName);
    const std::wstring path = folder + L"\\" + std::wstring(name.begin(), name.end());
    const int64_t size = static_cast<int64_t>(stat.cbSize.QuadPart);
    if (!enoughSpace(folder, size)) return {};

    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    bool whole = copyInto(stream, file, size);
    if (whole && (stat.mtime.dwLowDateTime || stat.mtime.dwHighDateTime))
        SetFileTime(file, nullptr, nullptr, &stat.mtime);
    if (!CloseHandle(file)) whole = false;
    // A partial or reserved, zero-tailed file must never be opened as if whole.
    if (!whole) {
        DeleteFileW(path.c_str());
        return {};
    }
    return path;
}

}  // namespace zorvex::shell
