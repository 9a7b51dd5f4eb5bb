// The file source's reads on POSIX, without threads or asynchronous reads:
// reading a block ahead tells the kernel to read it (posix_fadvise), and the
// read itself (pread) is done when the reader reaches the block, by which
// time the data is usually in the page cache. While reads find their data
// there already, the advice is left out: it would only walk the cached pages
// once more.
#include "engine/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>

#include "platform/platform.h"

namespace zorvex {

namespace {

constexpr int kLocalBlock = 0x100000;
constexpr int kRemoteBlock = 0x2000;

// Network file systems answer small reads sooner (local disks prefer large
// ones), and copy between their files themselves.
bool isRemote(uint32_t fileSystem) {
    switch (fileSystem) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
            return true;
        default:
            return false;
    }
}

class PosixFileReader final : public FileReader {
public:
    explicit PosixFileReader(int fd) : fd_(fd) {}
    ~PosixFileReader() override { close(fd_); }

    bool copyTo(int64_t offset, int64_t size, intptr_t handle) override {
        if (copiesRefused_.load(std::memory_order_relaxed)) return false;
        loff_t from = offset;
        while (size > 0) {
            ssize_t n = copy_file_range(fd_, &from, static_cast<int>(handle), nullptr,
                                        static_cast<size_t>(std::min<int64_t>(size, 1 << 30)), 0);
            if (n < 0 && errno == EINTR) continue;
            // The system does not copy between these two file systems (an
            // extraction writes to one): it is not asked again.
            if (n < 0 && (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL))
                copiesRefused_.store(true, std::memory_order_relaxed);
            if (n <= 0) return false;
            size -= n;
        }
        return true;
    }

    int readAt(uint8_t* out, int count, int64_t offset) override {
        int got = readCached(out, count, offset);
        while (got < count) {
            ssize_t n = pread(fd_, out + got, static_cast<size_t>(count - got), offset + got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return failed(errno);
            if (n == 0) break;
            got += static_cast<int>(n);
        }
        return got;
    }

    bool startRead(int, uint8_t*, int count, int64_t offset) override {
        if (!cached_) posix_fadvise(fd_, offset, count, POSIX_FADV_WILLNEED);
        return false;
    }

    // No read is ever started.
    int finishRead(int) override { return -1; }
    void cancelRead(int) override {}

private:
    // Reads what the page cache holds at `offset` without waiting for the
    // disk, and notes whether that was everything asked for.
    int readCached(uint8_t* out, int count, int64_t offset) {
        cached_ = false;
#ifdef RWF_NOWAIT
        iovec io{out, static_cast<size_t>(count)};
        ssize_t n = preadv2(fd_, &io, 1, offset, RWF_NOWAIT);
        if (n > 0) {
            cached_ = n == count;
            return static_cast<int>(n);
        }
#else
        (void)out, (void)count, (void)offset;
#endif
        return 0;
    }

    int fd_;
    // Whether the last read found all its data in the page cache.
    bool cached_ = false;
    std::atomic<bool> copiesRefused_{false};
};

}  // namespace

std::unique_ptr<FileReader> openFileReader(const char16_t* path, FileReader::Facts* facts) {
    int fd = open(platform::toNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto reader = std::unique_ptr<PosixFileReader>(new (std::nothrow) PosixFileReader(fd));
    if (!reader) {
        close(fd);
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return nullptr;
    facts->size = info.st_size;
    facts->alignment = info.st_blksize > 0 && info.st_blksize <= kLocalBlock ? static_cast<int>(info.st_blksize) : 0;
    struct statfs fileSystem;
    const bool remote = fstatfs(fd, &fileSystem) == 0 && isRemote(static_cast<uint32_t>(fileSystem.f_type));
    facts->baseBlock = std::max(remote ? kRemoteBlock : kLocalBlock, facts->alignment);
    return reader;
}

int64_t fileModificationTime(const char16_t* path) {
    struct stat info;
    if (!path || stat(platform::toNativePath(path).c_str(), &info) != 0) return 0;
    return info.st_mtime;
}

bool systemCopyPays(const char16_t* folder) {
    constexpr uint32_t kTmpfs = 0x01021994;
    struct statfs info;
    if (!folder || statfs(platform::toNativePath(folder).c_str(), &info) != 0) return false;
    const auto fileSystem = static_cast<uint32_t>(info.f_type);
    return fileSystem == kTmpfs || isRemote(fileSystem);
}

}  // namespace zorvex
