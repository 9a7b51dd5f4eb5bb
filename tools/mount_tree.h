// What `zorvex mount` serves, apart from the file-system glue: an archive's
// levels as a tree of folders, files and symbolic links, and reads at any
// offset of any file.
//
// The root is the level `zorvex extract` writes (a .tar.gz shows the tar's
// contents). Folders and nested archives are folders; a nested archive's own
// bytes are the hidden file ".NAME.bytes" beside its folder. Names, sizes,
// times, modes and links are those `list` and `extract` give.
//
// Engine objects are used by one thread at a time, and archives are made and
// released under one lock for the whole process (the engine keeps a list of
// live archives). A file's data is read under the lock of the engine copy
// (a "domain") it was opened in: entries of the outermost archive spread over
// several copies of it, each with its own file source, so that reads of
// different entries run in parallel; entries of nested archives are read in
// the first copy, which keeps their decoded data.
//
// Random access: stored data is read where it lies; so is data whose codec
// resumes near any offset (InStream::restartsNearby: xz blocks, zstd frames,
// gzip members, Deflate states kept every MiB of the first pass), a nested
// archive's entries included, so a read costs a bounded amount of decoding. Other
// compressed data (LZMA, PPMd, solid RAR, single-frame zstd, ...) is kept in
// a scratch file as it is first decoded, so a read goes back to any offset
// without decoding again, and a read ahead decodes only up to it. Scratch
// files take at most half of the free space and go with the mount.
//
// Encrypted entries: a password not given, or given wrong where the format
// tells, fails the open with EACCES; damage found while reading is EIO.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zorvex {
class PasswordSource;
}

namespace zorvex::cli {

// A node's attributes as stat gives them.
struct MountAttributes {
    enum class Kind { kFolder, kFile, kSymbolicLink };
    Kind kind = Kind::kFile;
    uint32_t permissions = 0;  // the 0777 bits
    int64_t size = 0;
    int64_t time = 0;  // seconds since 1970 UTC; 0: unknown
    uint64_t inode = 0;
    uint32_t links = 1;
};

struct MountSettings {
    int domains = 4;  // engine copies for reads of the outermost archive's entries
    // Where encrypted entries get their password; asked at most once, while
    // the archive is opened (before the mount goes to the background) when
    // its root shows encrypted entries. Null: encrypted entries fail.
    PasswordSource* passwords = nullptr;
};

class MountedArchive {
public:
    // Opens the archive at `path` (UTF-8) and its root level; null after
    // writing `error`.
    static std::unique_ptr<MountedArchive> open(const std::string& path, const MountSettings& settings,
                                                std::string& error);
    ~MountedArchive();

    // Node handles: 0 is the root; negative values are -errno.
    int lookup(const char* path);
    MountAttributes attributes(int node);
    // The children's names; -errno when the node is no folder or its level
    // does not open.
    int children(int node, const std::function<void(const std::string& name, const MountAttributes&)>& visit);
    int linkTarget(int node, std::string& target);
    // Prepares the node's data for reading: 0, or -errno. Each open that
    // succeeded is ended by closeData.
    int openData(int node);
    void closeData(int node);
    // Bytes read at `offset` (fewer only at the end), or -errno: EIO when
    // the data is damaged or ends early (a wrong password some formats only
    // find so), ESTALE when the archive changed.
    int read(int node, char* buffer, size_t size, int64_t offset);
    // Whether the archive file still has the size and time it had when mounted.
    bool unchanged() const;

    struct Impl;

private:
    explicit MountedArchive(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorvex::cli
