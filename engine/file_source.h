// The stream over one file on disk: a ring of four blocks read ahead of the
// reader, so that decoding overlaps with the disk. The ring is the engine's;
// opening the file and reading it are the platform's (platform/posix,
// platform/win32), behind FileReader.
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

    bool isOpen() const { return ring_ != nullptr; }

    int64_t tell() override;
    bool seek(int64_t position) override;
    int read(void* buf, int count) override;
    int64_t size() override;
    bool seeksBounded() override { return true; }
    bool copyRangeTo(int64_t offset, int64_t size, intptr_t handle) override;
    // Opens a file of that name in this file's directory.
    InStream* openSibling(const char16_t* name) override;

    struct Ring;

private:
    std::unique_ptr<Ring> ring_;
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

// The reads a file source asks of the operating system. One reader serves one
// source, on one thread at a time. A read started ahead for a slot of the ring
// writes into that slot's buffer until it is finished or cancelled.
class FileReader {
public:
    // What the file and its volume say about reading it.
    struct Facts {
        int64_t size = 0;
        int baseBlock = 0;  // the volume's block size before chooseBlockSize
        int alignment = 0;
    };

    virtual ~FileReader() = default;

    // Reads up to `count` bytes at `offset` and waits for them: fewer only at
    // the end of the file, -1 on an error.
    virtual int readAt(uint8_t* out, int count, int64_t offset) = 0;
    // Starts reading `count` bytes at `offset` into `buffer` for `slot`, for a
    // reader that streams towards them. True when a read now runs, which
    // finishRead or cancelRead must end; false when nothing was started (the
    // system was told to read ahead itself, or could not start): the bytes
    // are then read with readAt when the reader comes to them.
    virtual bool startRead(int slot, uint8_t* buffer, int count, int64_t offset) = 0;
    // Waits for the read started for `slot`: the bytes read, or -1.
    virtual int finishRead(int slot) = 0;
    // Stops the read started for `slot`; its buffer is no longer written on return.
    virtual void cancelRead(int slot) = 0;
    // Copies `size` bytes at `offset` into the file open as `handle`, at its
    // position, inside the system: false where it cannot, or the file ends first.
    virtual bool copyTo(int64_t /*offset*/, int64_t /*size*/, intptr_t /*handle*/) { return false; }

    // The system's code (errno, GetLastError) of the first read that failed; 0 while none has.
    int firstError() const { return firstError_; }

protected:
    // Returns -1, the failed read's result, after keeping `code` when it is the first.
    int failed(int code) {
        if (firstError_ == 0) firstError_ = code;
        return -1;
    }

private:
    int firstError_ = 0;
};

// Defined by the platform. Null when `path` does not name a file that opens.
std::unique_ptr<FileReader> openFileReader(const char16_t* path, FileReader::Facts* facts);
// The file's modification time, 0 when it cannot be read.
int64_t fileModificationTime(const char16_t* path);
// Whether FileReader::copyTo into files in `folder` costs less than reading
// and writing the bytes: where the system copies without a pass of the bytes
// through the process (tmpfs) or the server copies (network file systems).
// On disk file systems its copy goes through a pipe's pages and is slower.
bool systemCopyPays(const char16_t* folder);

}  // namespace zorvex
