// The stream over one file on disk: a ring of four blocks read ahead of the
// reader, so that decoding overlaps with the disk. The reading itself is the
// platform's (platform/posix, platform/win32).
#pragma once

#include <cstdint>
#include <memory>

#include "engine/stream.h"

namespace zorvex {

class FileSource final : public InStream {
public:
    static constexpr int kSlots = 4;

    // Always constructs; isOpen() tells whether the file opened. A tag of 0
    // takes the file's modification time; a negative size hint asks the file.
    FileSource(const char16_t* path, Archive* owner, int64_t tag, int64_t sizeHint);
    ~FileSource() override;

    bool isOpen() const { return reader_ != nullptr; }

    int64_t tell() override;
    bool seek(int64_t position) override;
    int read(void* buf, int count) override;
    int64_t size() override;
    // Opens a file of that name in this file's directory.
    InStream* openSibling(const char16_t* name) override;

    // Platform reader state; defined by the platform.
    struct Reader;

private:
    std::unique_ptr<Reader> reader_;
};

// Opens a file source; null when the file does not open.
FileSource* openFileSource(const char16_t* path);

// Block size for a file: `base` (1 MiB local, 8 KiB remote, at least the
// sector size) halved while it exceeds max(alignment, file size).
int chooseBlockSize(int base, int alignment, int64_t fileSize);

// The first block of the read-ahead ring for a read position. A position so
// far out that the ring's blocks would pass INT64_MAX (a hostile offset; no
// file is that large) starts the ring at the last place where it fits, so the
// block positions never overflow and the reads there find nothing.
int64_t ringStart(int64_t position, int blockSize);

}  // namespace zorvex
