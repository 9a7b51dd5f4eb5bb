#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace zorvex::platform {

namespace {

OVERLAPPED at(int64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return where;
}

}  // namespace

std::unique_ptr<ScratchFile> ScratchFile::create() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"zvx", 0, name) == 0) return nullptr;
    // Deleted when the last handle closes, by the system if need be; kept in
    // memory as long as the cache manager can.
    HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        return nullptr;
    }
    ULARGE_INTEGER available{};
    int64_t freeSpace = GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr) ? int64_t(available.QuadPart) : 0;
    std::unique_ptr<ScratchFile> scratch(new (std::nothrow) ScratchFile(reinterpret_cast<intptr_t>(file), freeSpace));
    if (!scratch) CloseHandle(file);
    return scratch;
}

// Kept data stays in the one scratch file here: a file that is deleted on
// close cannot be given a name instead.
std::unique_ptr<ScratchFile> ScratchFile::createLinkable(const std::u16string&) { return nullptr; }

int ScratchFile::linkableLimit() { return 0; }

bool ScratchFile::linkTo(const std::u16string&) { return false; }

ScratchFile::~ScratchFile() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

bool ScratchFile::write(int64_t offset, const void* data, int size) {
    OVERLAPPED where = at(offset);
    DWORD written = 0;
    return WriteFile(reinterpret_cast<HANDLE>(handle_), data, DWORD(size), &written, &where) && written == DWORD(size);
}

bool ScratchFile::read(int64_t offset, void* data, int size) {
    OVERLAPPED where = at(offset);
    DWORD got = 0;
    return ReadFile(reinterpret_cast<HANDLE>(handle_), data, DWORD(size), &got, &where) && got == DWORD(size);
}

}  // namespace zorvex::platform
