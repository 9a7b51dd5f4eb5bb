// The file source's ring, opening, and finding files next to this one. The
// platform opens the file and reads (engine/file_source.h, FileReader).
//
// Up to four consecutive blocks from the read position's block on are lined
// up in the ring. While the reader streams, each is read ahead as it joins the
// ring (POSIX has the kernel read it ahead and reads it when the reader gets
// there; Windows reads it with an overlapped read), so that decoding overlaps
// with the disk or the network.
//
// Whole blocks and read-ahead pay only while the reader streams. A reader
// that hops from header to header (listing a tar of large files) would
// otherwise pull in every byte between the headers; until it has read on
// without a jump for a while, only the pages it asks for are read.
#include "engine/file_source.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>

#include "engine/copy_bytes.h"
#include "engine/path_clean.h"
#include "platform/platform.h"

namespace zorvex {

namespace {

// Reads at least this large skip the ring when their block has not been read
// yet: they go straight into the caller's buffer, sparing a copy.
constexpr int kDirectRead = 0x10000;
// Bytes read on without a jump before the reader counts as streaming. Forward
// skips shorter than this do not break a run.
constexpr int kStreamRun = 0x10000;
constexpr int kPage = 0x1000;

enum SlotState : int32_t {
    kEmpty,     // no block
    kPending,   // a block whose bytes are read when the reader comes to it
    kReading,   // a block the platform is reading ahead into the stream buffer
    kComplete,  // holds bytes of its block
    kFailed,    // a block past the end of the file, or one that could not be read
};

}  // namespace

struct FileSource::Ring {
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
        bool readAhead = false;  // the platform was asked to read the block ahead
        int64_t block = -1;
    };

    std::unique_ptr<FileReader> file;
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

    ~Ring() {
        // A read still running owns its buffer until it has stopped.
        for (Slot& s : slots) empty(s);
        platform::freeLarge(ring);
        std::free(hops);
    }

    bool streaming() const { return position - runStart >= kStreamRun; }

    int indexOf(const Slot& s) const { return static_cast<int>(&s - slots); }

    void empty(Slot& s) {
        if (s.state == kReading) file->cancelRead(indexOf(s));
        s.state = kEmpty;
        s.readAhead = false;
        s.block = -1;
    }

    // Puts `block` into `s`; false when there is nothing to read there.
    bool issue(Slot& s, int64_t block) {
        empty(s);
        s.state = kFailed;
        s.block = block;
        if (block >= fileSize) return false;
        s.state = kPending;
        if (streaming()) readAhead(s);
        return true;
    }

    void readAhead(Slot& s) {
        s.readAhead = true;
        if (file->startRead(indexOf(s), s.streamBuffer, blockSize, s.block)) s.state = kReading;
    }

    // Waits for the block being read ahead into `s`. One that failed is read
    // again when the reader needs it.
    void finish(Slot& s) {
        int got = file->finishRead(indexOf(s));
        s.buffer = s.streamBuffer;
        s.from = 0;
        s.bytes = std::max(got, 0);
        s.state = got < 0 ? kPending : kComplete;
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
        if (!streams)
            end = static_cast<int>(std::min<int64_t>(blockSize, (int64_t{offset} + want + kPage - 1) / kPage * kPage));
        uint8_t* target = streams ? s.streamBuffer : s.hopBuffer;
        int start = offset - offset % kPage;
        if (s.state == kComplete && s.buffer == target && offset >= s.from && offset <= s.bytes) start = s.bytes;
        else s.from = start;
        s.buffer = target;
        int got = file->readAt(s.buffer + (start - s.from), end - start, s.block + start);
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
    // (h + j) mod 4, blocks already read (or being read) that fit the new
    // ring are kept, and the others are put in. While the reader streams,
    // blocks not read yet are read ahead.
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
                bool usable = slot.block == c + j * block &&
                              (slot.state == kPending || slot.state == kReading || slot.state == kComplete);
                if (!usable) empty(slot);
            }
        }
        const bool streams = streaming();
        for (int j = 0; j < kSlots; ++j) {
            Slot& slot = slots[(h + j) % kSlots];
            int64_t b = c + j * block;
            if (slot.block == b && slot.state != kEmpty) {
                if (slot.state == kPending && streams && !slot.readAhead) readAhead(slot);
                continue;
            }
            if (!issue(slot, b)) return j > 0;
        }
        return true;
    }

    int read(uint8_t* out, int count) {
        int done = 0;
        for (;;) {
            Slot& s = slots[current];
            if (s.state == kReading) finish(s);
            if (s.state == kEmpty || s.state == kFailed) break;
            int want = static_cast<int>(std::min<int64_t>(count - done, s.block + blockSize - position));
            if (readsDirectly(s, want, count)) {
                int got = file->readAt(out + done, want, position);
                if (got <= 0) break;
                position += got;
                done += got;
                if (got < want) break;  // the end of the file
                bool leftBlock = position == s.block + blockSize;
                if (done == count && !leftBlock) break;
                if (!schedule() || done == count) break;
                continue;
            }
            if (!holdsPosition(s)) fill(s, want);
            if (!holdsPosition(s)) break;  // a read error or the end of the file
            int take = static_cast<int>(std::min<int64_t>(count - done, s.block + s.bytes - position));
            copyBytes(out + done, s.buffer + (position - s.block - s.from), static_cast<size_t>(take));
            position += take;
            done += take;
            // Leaving a block moves the ring on, also when the request ends
            // exactly there: the next read starts in the following block.
            bool leftBlock = position == s.block + blockSize;
            if (done == count && !leftBlock) break;
            if (!leftBlock) continue;  // the rest of the request is in this block
            if (!schedule() || done == count) break;
        }
        return done;
    }
};

FileSource::FileSource(const char16_t* path, Archive* owner, int64_t tag, int64_t sizeHint)
    : InStream(path, owner, tag != 0 ? tag : fileModificationTime(path)) {
    if (!path || !*path) return;
    FileReader::Facts facts;
    std::unique_ptr<FileReader> file = openFileReader(path, &facts);
    if (!file) return;
    auto ring = std::unique_ptr<Ring>(new (std::nothrow) Ring);
    if (!ring) return;
    ring->file = std::move(file);
    ring->fileSize = facts.size;
    ring->blockSize = chooseBlockSize(facts.baseBlock, facts.alignment, sizeHint < 0 ? facts.size : sizeHint);
    // One block for the whole ring: on large pages, a reader that streams
    // through it takes two page faults rather than a thousand. Only the
    // pages touched take memory, in either block.
    const size_t ringSize = size_t{kSlots} * size_t(ring->blockSize);
    ring->ring = static_cast<uint8_t*>(platform::allocateLarge(ringSize));
    ring->hops = static_cast<uint8_t*>(std::malloc(ringSize));
    if (!ring->ring || !ring->hops) return;
    for (int i = 0; i < kSlots; ++i) {
        Ring::Slot& slot = ring->slots[i];
        slot.streamBuffer = ring->ring + size_t(i) * size_t(ring->blockSize);
        slot.hopBuffer = ring->hops + size_t(i) * size_t(ring->blockSize);
        slot.buffer = slot.streamBuffer;
    }
    ring->schedule();
    ring_ = std::move(ring);
}

FileSource::~FileSource() = default;

int64_t FileSource::tell() { return ring_ ? ring_->position : -1; }

int64_t FileSource::size() { return ring_ ? ring_->fileSize : -1; }

bool FileSource::copyRangeTo(int64_t offset, int64_t size, intptr_t handle) {
    return ring_ && offset >= 0 && size >= 0 && ring_->file->copyTo(offset, size, handle);
}

bool FileSource::seek(int64_t position) {
    if (!ring_ || position < 0) return false;
    if (position == ring_->position) return true;
    bool shortSkip = position > ring_->position && position - ring_->position < kStreamRun;
    if (!shortSkip) ring_->runStart = position;
    ring_->position = position;
    // The end of the file has nothing to read: seeking there fails, as a
    // store window does, though the position is kept.
    return ring_->schedule() && position < ring_->fileSize;
}

int FileSource::read(void* buf, int count) {
    if (!ring_ || !buf || count <= 0) return 0;
    int done = ring_->read(static_cast<uint8_t*>(buf), count);
    if (int code = ring_->file->firstError()) fail(Status::ioError(code));
    return done;
}

int chooseBlockSize(int base, int alignment, int64_t fileSize) {
    int64_t limit = std::max<int64_t>(alignment, fileSize);
    int block = base;
    while (block > 1 && block > limit) block >>= 1;
    return block;
}

int64_t ringStart(int64_t position, int blockSize) {
    const int64_t last = INT64_MAX - int64_t{FileSource::kSlots} * blockSize;
    const int64_t clamped = std::min(position, last);
    return clamped - clamped % blockSize;
}

InStream* FileSource::openSibling(const char16_t* name) {
    if (!name || !*name) return nullptr;
    std::optional<std::u16string> self = normalizePath(this->name());
    if (!self || self->size() < 4) return nullptr;
    size_t separator = self->rfind(u'\\');
    if (separator == std::u16string::npos || separator + 1 == self->size()) return nullptr;
    std::u16string path = self->substr(0, separator + 1) + name;
    return openFileSource(path.c_str());
}

FileSource* openFileSource(const char16_t* path) {
    auto* source = new (std::nothrow) FileSource(path, nullptr, 0, -1);
    if (source && !source->isOpen()) {
        source->release();
        return nullptr;
    }
    return source;
}

}  // namespace zorvex
