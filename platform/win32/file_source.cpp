// FileSource on Windows: overlapped reads into a ring of four sector-aligned
// blocks. Up to four consecutive blocks from the read position's block on are
// in flight or complete, so decoding overlaps with the disk or the network.
//
// Whole blocks and read-ahead pay only while the reader streams. A reader
// that hops from header to header (listing a tar of large files) would
// otherwise pull in every byte between the headers; until it has read on
// without a jump for a while, it gets just the bytes it asks for.
#include "engine/file_source.h"

#include <windows.h>

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "engine/copy_bytes.h"
#include "platform/platform.h"

namespace zorvex {

namespace {

constexpr int kLocalBlock = 0x100000;
constexpr int kRemoteBlock = 8192;
// Bytes read on without a jump before the reader counts as streaming. Forward
// skips shorter than this do not break a run.
constexpr int kStreamRun = 0x10000;

enum SlotState : int32_t { kEmpty = 0, kPending = 1, kComplete = 2, kFailed = 3 };

}  // namespace

struct FileSource::Reader {
    struct Slot {
        OVERLAPPED overlapped{};
        uint8_t* buffer = nullptr;
        int32_t bytesRead = 0;
        int32_t state = kEmpty;
        int64_t block = -1;
    };

    HANDLE file = INVALID_HANDLE_VALUE;
    Slot slots[kSlots];
    // For reads outside the ring.
    OVERLAPPED direct{};
    int32_t current = 0;
    int32_t blockSize = kLocalBlock;
    int64_t position = 0;
    // Where the reader's current run without jumps began.
    int64_t runStart = 0;

    ~Reader() {
        if (file != INVALID_HANDLE_VALUE) {
            CancelIo(file);
            // Pending reads must finish (or be cancelled) before their
            // buffers go away.
            for (Slot& slot : slots) {
                DWORD ignored;
                if (slot.state == kPending) GetOverlappedResult(file, &slot.overlapped, &ignored, TRUE);
            }
            CloseHandle(file);
        }
        for (Slot& slot : slots) {
            if (slot.overlapped.hEvent) CloseHandle(slot.overlapped.hEvent);
            if (slot.buffer) _aligned_free(slot.buffer);
        }
        if (direct.hEvent) CloseHandle(direct.hEvent);
    }

    bool streaming() const { return position - runStart >= kStreamRun; }

    // Whether the current slot is the position's block.
    bool ringAtPosition() const {
        const Slot& slot = slots[current];
        return slot.state != kEmpty && position >= slot.block && position < slot.block + blockSize;
    }

    // Reads up to `count` bytes at the position straight into `out`.
    int readDirect(uint8_t* out, int count) {
        direct.Offset = static_cast<DWORD>(position);
        direct.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(position) >> 32);
        direct.Internal = 0;
        direct.InternalHigh = 0;
        ResetEvent(direct.hEvent);
        DWORD got = 0;
        if (!ReadFile(file, out, static_cast<DWORD>(count), &got, &direct) &&
            (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(file, &direct, &got, TRUE)))
            return 0;
        position += got;
        return static_cast<int>(got);
    }

    void empty(Slot& slot) {
        slot.state = kEmpty;
        slot.block = -1;
    }

    // Completes a pending read without waiting. False while it is still running.
    bool poll(Slot& slot) {
        DWORD got = 0;
        if (GetOverlappedResult(file, &slot.overlapped, &got, FALSE)) {
            slot.state = kComplete;
            slot.bytesRead = static_cast<int32_t>(got);
            return true;
        }
        if (GetLastError() == ERROR_IO_INCOMPLETE) return false;
        slot.state = kFailed;
        return true;
    }

    bool issue(Slot& slot, int64_t block) {
        slot.state = kFailed;
        slot.block = block;
        slot.overlapped.Offset = static_cast<DWORD>(block);
        slot.overlapped.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(block) >> 32);
        slot.overlapped.Internal = 0;
        slot.overlapped.InternalHigh = 0;
        ResetEvent(slot.overlapped.hEvent);
        DWORD got = 0;
        if (ReadFile(file, slot.buffer, static_cast<DWORD>(blockSize), &got, &slot.overlapped)) {
            slot.state = kComplete;
            slot.bytesRead = static_cast<int32_t>(got);
            return true;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            slot.state = kPending;
            slot.bytesRead = blockSize;
            return true;
        }
        return false;
    }

    // Lines the ring up behind the read position: the slot of the position's
    // block becomes current, followed by the next three blocks. Blocks already
    // read (or being read) that the new ring can use are kept.
    bool schedule() {
        const int64_t size = blockSize;
        const int64_t c = ringStart(position, blockSize);
        int h = 0;
        int64_t nearest = kSlots;
        for (int s = 0; s < kSlots; ++s) {
            int64_t b = slots[s].block;
            if (b >= c && b < c + kSlots * size && (b - c) / size < nearest) {
                nearest = (b - c) / size;
                h = static_cast<int>(((s - nearest) % kSlots + kSlots) % kSlots);
            }
        }
        current = h;
        if (slots[h].block != c) {
            bool abandoned[kSlots] = {};
            for (int j = 0; j < kSlots; ++j) {
                int s = (h + j) % kSlots;
                Slot& slot = slots[s];
                int64_t b = c + j * size;
                if (slot.block == b && slot.state == kComplete) continue;
                if (slot.block == b && slot.state == kPending && poll(slot) && slot.state == kComplete) continue;
                abandoned[s] = slot.state == kPending;
                empty(slot);
            }
            CancelIo(file);
            // A cancelled read still owns its OVERLAPPED and buffer until it
            // has completed; the slot is reused only after that.
            for (int s = 0; s < kSlots; ++s) {
                DWORD ignored;
                if (abandoned[s]) GetOverlappedResult(file, &slots[s].overlapped, &ignored, TRUE);
            }
        }
        for (int j = 0; j < kSlots; ++j) {
            Slot& slot = slots[(h + j) % kSlots];
            int64_t b = c + j * size;
            if (slot.block == b && slot.state != kEmpty) continue;
            if (slot.state == kPending && !poll(slot)) return true;
            if (!issue(slot, b)) return j > 0;
        }
        return true;
    }

    int read(uint8_t* out, int count) {
        int done = 0;
        for (;;) {
            Slot& slot = slots[current];
            if (slot.state == kEmpty || slot.state == kFailed) break;
            if (slot.state == kPending) {
                DWORD got = 0;
                if (!GetOverlappedResult(file, &slot.overlapped, &got, TRUE)) {
                    slot.state = kFailed;
                    break;
                }
                slot.state = kComplete;
                slot.bytesRead = static_cast<int32_t>(got);
            }
            if (position < slot.block || position >= slot.block + slot.bytesRead) break;
            int64_t offset = position - slot.block;
            int n = static_cast<int>(std::min<int64_t>(count - done, slot.bytesRead - offset));
            copyBytes(out + done, slot.buffer + offset, static_cast<size_t>(n));
            done += n;
            position += n;
            // Leaving a block moves the ring on, also when the request ends
            // exactly there: otherwise the next read would find the position
            // outside the current slot and deliver nothing.
            bool leftBlock = position == slot.block + slot.bytesRead;
            if (done == count) {
                if (leftBlock) schedule();
                break;
            }
            if (!schedule()) break;
        }
        return done;
    }
};

namespace {

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

// The tag of a source opened without one: the file's modification time.
int64_t modificationTime(const char16_t* path) {
    struct _stat64 st;
    return _wstat64(nativeOf(path).c_str(), &st) == 0 ? st.st_mtime : 0;
}

}  // namespace

int chooseBlockSize(int base, int alignment, int64_t fileSize) {
    int64_t limit = std::max<int64_t>(alignment, fileSize);
    int block = base;
    while (block > 1 && block > limit) block /= 2;
    return block;
}

FileSource::FileSource(const char16_t* path, Archive* owner, int64_t tag, int64_t sizeHint)
    : InStream(path, owner, tag != 0 ? tag : modificationTime(path)) {
    std::wstring native = nativeOf(path);
    HANDLE file = CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return;
    auto reader = std::make_unique<Reader>();
    reader->file = file;

    int64_t fileSize = sizeHint;
    struct _stat64 st;
    if (sizeHint < 0 && _wstat64(native.c_str(), &st) == 0) fileSize = st.st_size;
    int block, alignment;
    volumeSizes(native, &block, &alignment);
    reader->blockSize = chooseBlockSize(block, alignment, fileSize);

    for (auto& slot : reader->slots) {
        slot.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        slot.buffer = static_cast<uint8_t*>(_aligned_malloc(static_cast<size_t>(reader->blockSize),
                                                            static_cast<size_t>(alignment)));
        if (!slot.overlapped.hEvent || !slot.buffer) return;  // the reader closes what was made
    }
    reader->direct.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!reader->direct.hEvent) return;
    reader_ = std::move(reader);
}

FileSource::~FileSource() = default;

int64_t FileSource::tell() { return reader_ ? reader_->position : -1; }

bool FileSource::seek(int64_t position) {
    if (!reader_ || position < 0) return false;
    if (position == reader_->position) return true;
    bool shortSkip = position > reader_->position && position - reader_->position < kStreamRun;
    if (!shortSkip) reader_->runStart = position;
    reader_->position = position;
    if (reader_->streaming() && !reader_->schedule()) return false;
    // An overlapped read at or past the end may be queued before it fails, so
    // the end is checked here: seeking there fails, the position is kept.
    return position < size();
}

int FileSource::read(void* buf, int count) {
    if (!reader_ || !buf || count <= 0) return 0;
    Reader& r = *reader_;
    auto* out = static_cast<uint8_t*>(buf);
    int done = 0;
    // Up to the point where the reader streams, just the bytes asked for.
    if (!r.streaming()) {
        int hop = static_cast<int>(std::min<int64_t>(count, r.runStart + kStreamRun - r.position));
        done = r.readDirect(out, hop);
        if (done < hop || done == count) return done;
    }
    if (!r.ringAtPosition() && !r.schedule()) return done;
    return done + r.read(out + done, count - done);
}

int64_t FileSource::size() {
    LARGE_INTEGER size;
    if (!reader_ || !GetFileSizeEx(reader_->file, &size)) return -1;
    return size.QuadPart;
}

}  // namespace zorvex
