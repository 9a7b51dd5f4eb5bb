#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/platform.h"

namespace zorvex::platform {

namespace {

// The path through which the file a descriptor holds can be linked.
std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

std::unique_ptr<ScratchFile> ScratchFile::create() {
    const char* folder = std::getenv("TMPDIR");
    if (!folder || !*folder) folder = "/tmp";
    // A file without a name where the file system allows it; else one named
    // and unlinked at once.
    int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string name = std::string(folder) + "/zorvex-XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return nullptr;
        unlink(name.c_str());
    }
    return adopt(fd);
}

std::unique_ptr<ScratchFile> ScratchFile::createLinkable(const std::u16string& folder) {
    // Without a name until linked, so nothing is left behind whatever
    // happens; the mode is that of any file the process creates.
    int fd = open(toNativePath(folder).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return adopt(fd);
}

int ScratchFile::linkableLimit() {
    struct rlimit handles {};
    if (getrlimit(RLIMIT_NOFILE, &handles) != 0) return 0;
    return static_cast<int>(std::min<rlim_t>(handles.rlim_cur / 4, 512));
}

bool ScratchFile::linkTo(const std::u16string& path) {
    return linkat(AT_FDCWD, descriptorPath(static_cast<int>(handle_)).c_str(), AT_FDCWD,
                  toNativePath(path).c_str(), AT_SYMLINK_FOLLOW) == 0;
}

std::unique_ptr<ScratchFile> ScratchFile::adopt(intptr_t handle) {
    int fd = static_cast<int>(handle);
    struct statvfs volume {};
    int64_t freeSpace = fstatvfs(fd, &volume) == 0 ? int64_t(volume.f_bavail) * int64_t(volume.f_frsize) : 0;
    std::unique_ptr<ScratchFile> file(new (std::nothrow) ScratchFile(fd, freeSpace));
    if (!file) close(fd);
    return file;
}

ScratchFile::~ScratchFile() { close(static_cast<int>(handle_)); }

namespace {

// Runs a positioned read or write until all `size` bytes are through.
template <class Byte, class Transfer>
bool transferAll(Byte* bytes, int size, int64_t offset, Transfer transfer) {
    while (size > 0) {
        ssize_t n = transfer(bytes, size_t(size), offset);
        if (n <= 0) return false;
        bytes += n;
        offset += n;
        size -= int(n);
    }
    return true;
}

}  // namespace

bool ScratchFile::write(int64_t offset, const void* data, int size) {
    int fd = static_cast<int>(handle_);
    return transferAll(static_cast<const char*>(data), size, offset,
                       [fd](const char* from, size_t n, int64_t at) { return pwrite(fd, from, n, at); });
}

bool ScratchFile::read(int64_t offset, void* data, int size) {
    int fd = static_cast<int>(handle_);
    return transferAll(static_cast<char*>(data), size, offset,
                       [fd](char* to, size_t n, int64_t at) { return pread(fd, to, n, at); });
}

}  // namespace zorvex::platform
