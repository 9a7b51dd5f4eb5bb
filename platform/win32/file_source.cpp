// The file source's reads on Windows: blocks read ahead go to the disk or the
// network as overlapped reads, one per slot of the ring, so that they run
// while the reader decodes; other reads wait for their bytes.
#include "engine/file_source.h"

#include <windows.h>

#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <string>

#include "platform/platform.h"

namespace zorvex {

namespace {

constexpr int kLocalBlock = 0x100000;
constexpr int kRemoteBlock = 8192;

void placeAt(OVERLAPPED& overlapped, int64_t offset) {
    overlapped.Offset = static_cast<DWORD>(offset);
    overlapped.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    overlapped.Internal = 0;
    overlapped.InternalHigh = 0;
    ResetEvent(overlapped.hEvent);
}

class Win32FileReader final : public FileReader {
public:
    explicit Win32FileReader(HANDLE file) : file_(file) {}

    ~Win32FileReader() override {
        CloseHandle(file_);
        for (OVERLAPPED& slot : slots_)
            if (slot.hEvent) CloseHandle(slot.hEvent);
        if (direct_.hEvent) CloseHandle(direct_.hEvent);
    }

    // False when the events cannot be made.
    bool makeEvents() {
        for (OVERLAPPED& slot : slots_) {
            slot.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (!slot.hEvent) return false;
        }
        direct_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return direct_.hEvent != nullptr;
    }

    int readAt(uint8_t* out, int count, int64_t offset) override {
        int got = 0;
        while (got < count) {
            placeAt(direct_, offset + got);
            DWORD n = 0;
            if (!ReadFile(file_, out + got, static_cast<DWORD>(count - got), &n, &direct_) &&
                (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(file_, &direct_, &n, TRUE))) {
                if (GetLastError() == ERROR_HANDLE_EOF) break;
                return failed(static_cast<int>(GetLastError()));
            }
            if (n == 0) break;
            got += static_cast<int>(n);
        }
        return got;
    }

    bool startRead(int slot, uint8_t* buffer, int count, int64_t offset) override {
        OVERLAPPED& overlapped = slots_[slot];
        placeAt(overlapped, offset);
        // Done at once or running: either way finishRead collects the result.
        return ReadFile(file_, buffer, static_cast<DWORD>(count), nullptr, &overlapped) ||
               GetLastError() == ERROR_IO_PENDING;
    }

    int finishRead(int slot) override {
        DWORD got = 0;
        if (GetOverlappedResult(file_, &slots_[slot], &got, TRUE)) return static_cast<int>(got);
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : failed(static_cast<int>(GetLastError()));
    }

    void cancelRead(int slot) override {
        // A cancelled read still owns its OVERLAPPED and buffer until it has
        // completed.
        CancelIoEx(file_, &slots_[slot]);
        DWORD ignored;
        GetOverlappedResult(file_, &slots_[slot], &ignored, TRUE);
    }

private:
    HANDLE file_;
    OVERLAPPED slots_[FileSource::kSlots] = {};
    OVERLAPPED direct_ = {};  // for reads that wait
};

// The directory part of a path, up to and including its last separator.
std::wstring directoryOf(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

// Base block size and alignment for the volume that holds `path`.
void volumeSizes(const std::wstring& path, int* block, int* alignment) {
    std::wstring dir = directoryOf(path);
    if (dir.empty()) {
        *block = *alignment = kLocalBlock;
        return;
    }
    int base = GetDriveTypeW(dir.c_str()) == DRIVE_REMOTE ? kRemoteBlock : kLocalBlock;
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (GetDiskFreeSpaceW(dir.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
        bytesPerSector > 0) {
        *alignment = static_cast<int>(bytesPerSector);
        *block = std::max(base, *alignment);
    } else {
        *block = *alignment = base;
    }
}

std::wstring nativeOf(const char16_t* path) {
    return platform::toNativePath(path ? std::u16string(path) : std::u16string());
}

}  // namespace

std::unique_ptr<FileReader> openFileReader(const char16_t* path, FileReader::Facts* facts) {
    std::wstring native = nativeOf(path);
    HANDLE file = CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return nullptr;
    auto reader = std::unique_ptr<Win32FileReader>(new (std::nothrow) Win32FileReader(file));
    if (!reader) {
        CloseHandle(file);
        return nullptr;
    }
    LARGE_INTEGER size;
    if (!reader->makeEvents() || !GetFileSizeEx(file, &size)) return nullptr;
    facts->size = size.QuadPart;
    volumeSizes(native, &facts->baseBlock, &facts->alignment);
    return reader;
}

int64_t fileModificationTime(const char16_t* path) {
    struct _stat64 st;
    return _wstat64(nativeOf(path).c_str(), &st) == 0 ? st.st_mtime : 0;
}

// Files are not copied by the system here (copyTo is never offered).
bool systemCopyPays(const char16_t*) { return false; }

}  // namespace zorvex
