#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>

#include "platform/platform.h"

namespace zorvex::platform {

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
    struct statvfs volume {};
    int64_t freeSpace = fstatvfs(fd, &volume) == 0 ? int64_t(volume.f_bavail) * int64_t(volume.f_frsize) : 0;
    std::unique_ptr<ScratchFile> file(new (std::nothrow) ScratchFile(fd, freeSpace));
    if (!file) close(fd);
    return file;
}

ScratchFile::~ScratchFile() { close(static_cast<int>(handle_)); }

bool ScratchFile::write(int64_t offset, const void* data, int size) {
    const char* from = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = pwrite(static_cast<int>(handle_), from, size_t(size), offset);
        if (n <= 0) return false;
        from += n;
        offset += n;
        size -= int(n);
    }
    return true;
}

bool ScratchFile::read(int64_t offset, void* data, int size) {
    char* to = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = pread(static_cast<int>(handle_), to, size_t(size), offset);
        if (n <= 0) return false;
        to += n;
        offset += n;
        size -= int(n);
    }
    return true;
}

}  // namespace zorvex::platform
