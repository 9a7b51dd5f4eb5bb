// The few operating-system pieces the engine needs beside file reading and
// conversions: full paths, native path forms, scratch files and memory for
// big models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zorvex::platform {

// Absolute form of an engine path ("\\"-separated), "." and ".." resolved.
std::optional<std::u16string> fullPath(const std::u16string& path);

#ifdef _WIN32
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif
// Engine path ("\\"-separated, UTF-16) to the operating system's form.
NativePath toNativePath(const std::u16string& path);
// Native path to an engine path.
std::u16string fromNativePath(const NativePath& path);

// Reads up to `count` bytes of the process's standard input, waiting until
// some are there: fewer only when no more are ready yet, 0 at its end, -1 on
// an error (the system's code, errno or GetLastError, in `error`).
int readStandardInput(void* out, int count, int* error);

// A file in the system's temporary folder for data the engine keeps aside
// while an archive is open. No other program is meant to use it, and it is
// gone once closed (also when the process ends without closing it).
class ScratchFile {
public:
    // Null when none can be made.
    static std::unique_ptr<ScratchFile> create();
    // One in `folder` that linkTo can later give a name on the same volume.
    // Null where the system cannot make such a file.
    static std::unique_ptr<ScratchFile> createLinkable(const std::u16string& folder);
    // How many files from createLinkable may be open at once: a share of the
    // handles the process may have, so that other files can still be opened.
    static int linkableLimit();
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // False unless all `size` bytes were written at `offset`.
    bool write(int64_t offset, const void* data, int size);
    // False unless all `size` bytes were read from `offset`.
    bool read(int64_t offset, void* data, int size);
    // Bytes that were free on the file's volume when it was made.
    int64_t freeSpace() const { return freeSpace_; }
    // Gives a file from createLinkable the name `path` (full, of a file that
    // does not exist yet); the file stays open and in use here. False when
    // that cannot be done, on another volume for one.
    bool linkTo(const std::u16string& path);

private:
    ScratchFile(intptr_t handle, int64_t freeSpace) : handle_(handle), freeSpace_(freeSpace) {}
    // Takes an open handle; closes it when no object can be made.
    static std::unique_ptr<ScratchFile> adopt(intptr_t handle);
    intptr_t handle_;
    int64_t freeSpace_;
};

// The size of a large page, where the system has them.
inline constexpr size_t kLargePage = size_t{2} << 20;

// Memory for a big block (a PPMd model, an LZMA dictionary, read buffers):
// where the system offers them, a block of at least kLargePage lies on large
// pages, which spares the address translation misses of scattered reads and
// most of the faults of first touches. Null when memory is short; released
// with freeLarge.
void* allocateLarge(size_t size);
void freeLarge(void* block);

}  // namespace zorvex::platform
