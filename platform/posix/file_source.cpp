// The file source on POSIX. The ring of four blocks works as on Windows, but
// without threads or asynchronous reads: issuing a block's read tells the
// kernel to read it ahead (posix_fadvise), and the read itself (pread) is done
// when the reader reaches the block, by which time the data is usually in the
// page cache. While reads find their data there already, the advice is left
// out: it would only walk the cached pages once more.
//
// Whole blocks and read-ahead pay only while the reader streams. A reader
// that hops from header to header (listing a tar of large files) would
// otherwise pull in every byte between the headers; until it has read on
// without a jump for a while, only the pages it asks for are read.
#include "engine/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/archive.h"
#include "engine/copy_bytes.h"
#include "platform/platform.h"

namespace zorvex {

namespace {

constexpr int kLocalBlock = 0x100000;
constexpr int kRemoteBlock = 0x2000;
// Reads at least this large skip the ring when their block has not been read
// yet: they go straight into the caller's buffer, sparing a copy.
constexpr int kDirectRead = 0x10000;
// Bytes read on without a jump before the reader counts as streaming. Forward
// skips shorter than this do not break a run.
constexpr int kStreamRun = 0x10000;
constexpr int kPage = 0x1000;

// Network file systems answer small reads sooner; local disks prefer large ones.
bool isRemote(int fd) {
    struct statfs info;
    if (fstatfs(fd, &info) != 0) return false;
    switch (static_cast<uint32_t>(info.f_type)) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
            return true;
        default:
            return false;
    }
}

enum SlotState : int32_t { kEmpty = 0, kPending = 1, kComplete = 2, kFailed = 3 };

}  // namespace

struct FileSource::Reader {
    // A complete slot holds the bytes [from, bytes) of its block, from the
    // start of its buffer: a reader hopping from header to header touches
    // the first pages of each buffer again and again, not a new page per
    // header (fresh pages cost a fault each).
    //
    // Each slot has two buffers. The pages a hopping reader asks for go to
    // one on small pages, the blocks of a streaming reader to one on large
    // pages: a large page is cleared whole when first touched, 2 MiB for a
    // few headers, while a reader that streams through small pages takes a
    // fault for every 4 KiB.
    struct Slot {
        uint8_t* buffer = nullptr;  // the one that holds the slot's bytes
        uint8_t* streamBuffer = nullptr;
        uint8_t* hopBuffer = nullptr;
        int32_t from = 0;
        int32_t bytes = 0;
        int32_t state = kEmpty;
        int64_t block = -1;
    };

    int fd = -1;
    // The slots' buffers, one after another: on large pages for streaming
    // reads, on small pages for hops.
    uint8_t* ring = nullptr;
    uint8_t* hops = nullptr;
    Slot slots[kSlots];
    int current = 0;
    int blockSize = 0;
    int64_t position = 0;
    int64_t fileSize = 0;
    // Where the reader's current run without jumps began.
    int64_t runStart = 0;
    // Whether the last read found all its data in the page cache.
    bool cached = false;
    // The errno of the first read that failed; 0 while none has.
    int readError = 0;

    ~Reader() {
        if (fd >= 0) close(fd);
        platform::freeLarge(ring);
        std::free(hops);
    }

    bool streaming() const { return position - runStart >= kStreamRun; }

    void empty(Slot& s) {
        s.state = kEmpty;
        s.block = -1;
    }

    // Starts the read of `block` into `s`; false when there is nothing to read there.
    bool issue(Slot& s, int64_t block) {
        s.state = kFailed;
        s.block = block;
        if (block >= fileSize) return false;
        if (!cached && streaming()) posix_fadvise(fd, block, blockSize, POSIX_FADV_WILLNEED);
        s.state = kPending;
        s.bytes = blockSize;
        return true;
    }

    // Reads up to `count` bytes at `offset`, stopping early only at the end of
    // the file; -1 on an error.
    int readAt(uint8_t* out, int count, int64_t offset) {
        int got = readCached(out, count, offset);
        while (got < count) {
            ssize_t n = pread(fd, out + got, static_cast<size_t>(count - got), offset + got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                if (readError == 0) readError = errno;
                return -1;
            }
            if (n == 0) break;
            got += static_cast<int>(n);
        }
        return got;
    }

    // Reads what the page cache holds at `offset` without waiting for the
    // disk, and notes whether that was everything asked for.
    int readCached(uint8_t* out, int count, int64_t offset) {
        cached = false;
#ifdef RWF_NOWAIT
        iovec io{out, static_cast<size_t>(count)};
        ssize_t n = preadv2(fd, &io, 1, offset, RWF_NOWAIT);
        if (n > 0) {
            cached = n == count;
            return static_cast<int>(n);
        }
#else
        (void)out, (void)count, (void)offset;
#endif
        return 0;
    }

    bool holdsPosition(const Slot& s) const {
        return s.state == kComplete && position >= s.block + s.from && position < s.block + s.bytes;
    }

    // Loads what a read of `want` bytes at the position needs from the block
    // of `s`: the rest of the block while streaming, else the pages the read
    // touches. Bytes that continue those already held are appended to them.
    void fill(Slot& s, int want) {
        int offset = static_cast<int>(position - s.block);
        const bool streams = streaming();
        int end = blockSize;
        if (!streams) end = static_cast<int>(std::min<int64_t>(blockSize, (int64_t{offset} + want + kPage - 1) / kPage * kPage));
        uint8_t* target = streams ? s.streamBuffer : s.hopBuffer;
        int start = offset - offset % kPage;
        if (s.state == kComplete && s.buffer == target && offset >= s.from && offset <= s.bytes) start = s.bytes;
        else s.from = start;
        s.buffer = target;
        int got = readAt(s.buffer + (start - s.from), end - start, s.block + start);
        s.state = got < 0 ? kFailed : kComplete;
        s.bytes = start + std::max(got, 0);
    }

    // Whether `want` bytes at the position, which lies in the pending block
    // of `s`, go to the caller directly. A request that ends inside the block
    // after a block or more loads it instead: callers reading that much tend
    // to come back to what follows.
    bool readsDirectly(const Slot& s, int want, int count) const {
        if (s.state != kPending || count < kDirectRead) return false;
        return position + want == s.block + blockSize || count < blockSize;
    }

    // Lines the ring up behind the position: block c + j lives in slot
    // (h + j) mod 4, blocks already read that fit the new ring are kept, and
    // the others are read ahead.
    bool schedule() {
        const int64_t block = blockSize;
        const int64_t c = ringStart(position, blockSize);
        int h = 0;
        int64_t nearest = kSlots;
        for (int s = 0; s < kSlots; ++s) {
            const Slot& slot = slots[s];
            if (slot.state == kEmpty || slot.block < c || slot.block >= c + kSlots * block) continue;
            int64_t k = (slot.block - c) / block;
            if (k < nearest) {
                nearest = k;
                h = static_cast<int>((s - k + kSlots) % kSlots);
            }
        }
        current = h;
        if (slots[h].block != c || slots[h].state == kEmpty) {
            for (int j = 0; j < kSlots; ++j) {
                Slot& slot = slots[(h + j) % kSlots];
                bool usable = slot.block == c + j * block && (slot.state == kPending || slot.state == kComplete);
                if (!usable) empty(slot);
            }
        }
        for (int j = 0; j < kSlots; ++j) {
            Slot& slot = slots[(h + j) % kSlots];
            int64_t b = c + j * block;
            if (slot.block == b && slot.state != kEmpty) continue;
            if (!issue(slot, b)) return j > 0;
        }
        return true;
    }
};

int chooseBlockSize(int base, int alignment, int64_t fileSize) {
    int64_t limit = std::max<int64_t>(alignment, fileSize);
    int block = base;
    while (block > 1 && block > limit) block >>= 1;
    return block;
}

namespace {

// The tag of a file source without one: the file's modification time.
int64_t modificationTime(const char16_t* path) {
    struct stat info;
    if (!path || stat(platform::toNativePath(path).c_str(), &info) != 0) return 0;
    return info.st_mtime;
}

}  // namespace

FileSource::FileSource(const char16_t* path, Archive* owner, int64_t tag, int64_t sizeHint)
    : InStream(path, owner, tag != 0 ? tag : modificationTime(path)) {
    if (!path || !*path) return;
    int fd = open(platform::toNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    auto reader = std::unique_ptr<Reader>(new (std::nothrow) Reader);
    if (!reader) {
        close(fd);
        return;
    }
    reader->fd = fd;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return;
    reader->fileSize = info.st_size;
    if (sizeHint < 0) sizeHint = info.st_size;
    int alignment = info.st_blksize > 0 && info.st_blksize <= kLocalBlock ? static_cast<int>(info.st_blksize) : 0;
    int base = std::max(isRemote(fd) ? kRemoteBlock : kLocalBlock, alignment);
    reader->blockSize = chooseBlockSize(base, alignment, sizeHint);
    // One block for the whole ring: on large pages, a reader that streams
    // through it takes two page faults rather than a thousand. Only the
    // pages touched take memory, in either block.
    const size_t ringSize = size_t{kSlots} * size_t(reader->blockSize);
    reader->ring = static_cast<uint8_t*>(platform::allocateLarge(ringSize));
    reader->hops = static_cast<uint8_t*>(std::malloc(ringSize));
    if (!reader->ring || !reader->hops) return;
    for (int i = 0; i < kSlots; ++i) {
        Reader::Slot& slot = reader->slots[i];
        slot.streamBuffer = reader->ring + size_t(i) * size_t(reader->blockSize);
        slot.hopBuffer = reader->hops + size_t(i) * size_t(reader->blockSize);
        slot.buffer = slot.streamBuffer;
    }
    reader->schedule();
    reader_ = std::move(reader);
}

FileSource::~FileSource() = default;

int64_t FileSource::tell() { return reader_ ? reader_->position : -1; }

int64_t FileSource::size() { return reader_ ? reader_->fileSize : -1; }

bool FileSource::seek(int64_t position) {
    if (!reader_ || position < 0) return false;
    if (position == reader_->position) return true;
    bool shortSkip = position > reader_->position && position - reader_->position < kStreamRun;
    if (!shortSkip) reader_->runStart = position;
    reader_->position = position;
    // The end of the file has nothing to read: seeking there fails, as a
    // store window does, though the position is kept.
    return reader_->schedule() && position < reader_->fileSize;
}

int FileSource::read(void* buf, int count) {
    if (!reader_ || !buf || count <= 0) return 0;
    Reader& r = *reader_;
    uint8_t* out = static_cast<uint8_t*>(buf);
    int done = 0;
    for (;;) {
        Reader::Slot& s = r.slots[r.current];
        if (s.state == kEmpty || s.state == kFailed) break;
        int want = static_cast<int>(std::min<int64_t>(count - done, s.block + r.blockSize - r.position));
        if (r.readsDirectly(s, want, count)) {
            int got = r.readAt(out + done, want, r.position);
            if (got <= 0) break;
            r.position += got;
            done += got;
            if (got < want) break;  // the end of the file
            bool leftBlock = r.position == s.block + r.blockSize;
            if (done == count && !leftBlock) break;
            if (!r.schedule() || done == count) break;
            continue;
        }
        if (!r.holdsPosition(s)) r.fill(s, want);
        if (!r.holdsPosition(s)) break;  // a read error or the end of the file
        int take = static_cast<int>(std::min<int64_t>(count - done, s.block + s.bytes - r.position));
        copyBytes(out + done, s.buffer + (r.position - s.block - s.from), static_cast<size_t>(take));
        r.position += take;
        done += take;
        // Leaving a block moves the ring on, also when the request ends
        // exactly there: the next read starts in the following block.
        bool leftBlock = r.position == s.block + r.blockSize;
        if (done == count && !leftBlock) break;
        if (!leftBlock) continue;  // the rest of the request is in this block
        if (!r.schedule() || done == count) break;
    }
    if (r.readError != 0) fail(Status::ioError(r.readError));
    return done;
}

}  // namespace zorvex
