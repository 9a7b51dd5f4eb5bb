// Readable, seekable byte streams: the base contract, memory and store views,
// the block decoder base of every compressing codec, and joined windows.
//
// Failure is never thrown: reads return 0, seeks false, sizes and positions -1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/refobject.h"
#include "engine/status.h"

namespace zorvex {

class InStream : public RefObject {
public:
    InStream(const char16_t* name, Archive* owner, int64_t tag);

    // Reads one line into `buf` (CR LF or LF ends it, neither is stored) and
    // zero-terminates it. Returns the line length + 1 when a line end was met,
    // else the number of bytes stored; 0 for a null buffer.
    virtual int readLine(char* buf, int capacity);                           // slot 4
    virtual int64_t tell() = 0;                                                // slot 5
    virtual bool seek(int64_t position) = 0;                                   // slot 6
    virtual int read(void* buf, int count) = 0;                                // slot 7
    virtual bool rewind();                                                     // slot 8
    virtual bool skip(int64_t count);                                          // slot 9
    virtual int64_t size() = 0;                                                // slot 10
    virtual int64_t tag();                                                     // slot 11
    // A file of that name next to this stream: asks the owning archive.
    virtual InStream* openSibling(const char16_t* name);  // slot 12
    // As openSibling, but copied whole into memory.
    virtual InStream* openSiblingInMemory(const char16_t* name);  // slot 13

    // True once the data was found damaged: a decode error, a failed check or
    // packed data that ended early. What was read is then not the whole data,
    // even when it reached the size (a size learnt by decoding ends where the
    // damage is). Streams over other streams pass it on as they read.
    bool damaged() const { return !status_.ok(); }
    // Why (engine/status.h); the first failure is kept. markDamaged is a
    // failure with no more specific reason: corrupt data.
    const Status& status() const { return status_; }
    void fail(const Status& failure) { status_.update(failure); }
    void markDamaged() { fail(Status::corrupt()); }

    // The size when it is known without further work; -1 while only decoding
    // to the end would tell (size() then does that). A reader that goes to
    // the end anyway asks this instead, so that nothing is decoded twice.
    virtual int64_t knownSize() { return size(); }

    // Kept decoded data (engine/decoded_cache.h). A reader tells the stream
    // that [offset, offset + size) is one entry's data, before reading past
    // it: where the stream keeps what it decodes, it may keep that range in a
    // file of its own.
    // A size of -1 announces data whose end the reader learns only by reading
    // it: endApart then says where it ended, once the reader is there.
    virtual void keepApart(int64_t /*offset*/, int64_t /*size*/) {}
    virtual void endApart(int64_t /*end*/) {}
    // Gives such a file the name `path` when it holds exactly the bytes
    // [offset, offset + size), all decoded without damage, and has not been
    // given a name before: an extraction then need not write them again.
    virtual bool linkRange(int64_t /*offset*/, int64_t /*size*/, const std::u16string& /*path*/) { return false; }
    // Where bytes [offset, offset + size) lie in a file as they are (stored
    // data), the system copies them into the file open as `handle` (a
    // descriptor), at its position: they never pass through this process.
    // False where they do not, the system cannot, or the file ends before
    // them; some may have been written then.
    virtual bool copyRangeTo(int64_t /*offset*/, int64_t /*size*/, intptr_t /*handle*/) { return false; }

    // Whether a seek to any position costs a bounded amount of decoding: the
    // codec resumes near any target (at blocks, frames or kept decoder
    // states). A reader that goes back and forth then needs no copy of the
    // decoded data.
    bool restartsNearby() const { return restartsNearby_; }

    // Whether a seek to any position costs a bounded amount of work: data
    // that lies in a file or in memory, windows of such data, and decoded
    // data that restarts nearby. A window of other decoded data (a file of a
    // solid block) is not: going back decodes the block again from its start.
    virtual bool seeksBounded() { return restartsNearby_; }

protected:
    void setRestartsNearby() { restartsNearby_ = true; }

private:
    int64_t tag_;
    Status status_;
    bool restartsNearby_ = false;
};

// Reads and discards `count` bytes in small pieces; false when the stream
// delivered fewer.
bool skipBytes(InStream* stream, int64_t count);

// Reads exactly `count` bytes; false when the stream delivered fewer.
bool readExact(InStream* stream, void* buf, int count);

// A stream over bytes held in memory (copied at construction).
class MemoryStream final : public InStream {
public:
    MemoryStream(const char16_t* name, Archive* owner, int64_t tag, const void* data, size_t size);
    // Null when memory for the copy cannot be had.
    static MemoryStream* create(const char16_t* name, Archive* owner, int64_t tag, const void* data,
                                size_t size);
    // Adopts a buffer allocated with malloc.
    static MemoryStream* adopt(const char16_t* name, Archive* owner, int64_t tag, uint8_t* data,
                               size_t size);

    int64_t tell() override;
    bool seek(int64_t position) override;
    int read(void* buf, int count) override;
    int64_t size() override;
    bool seeksBounded() override { return true; }

private:
    MemoryStream(const char16_t* name, Archive* owner, int64_t tag);
    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, FreeDeleter> data_;
    int64_t size_ = 0;
    int64_t position_ = 0;
};

// A window [offset, offset + size) of another stream, as made by the "store"
// codec. A size of -1 reaches to the source's end, wherever that turns out to
// be (a stream read from a pipe).
class StoreStream final : public InStream {
public:
    StoreStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                int64_t size);
    ~StoreStream() override;

    int64_t tell() override;
    bool seek(int64_t position) override;  // 0 <= position < size
    int read(void* buf, int count) override;
    int64_t size() override;
    int64_t knownSize() override;
    void keepApart(int64_t offset, int64_t size) override;
    bool linkRange(int64_t offset, int64_t size, const std::u16string& path) override;
    bool copyRangeTo(int64_t offset, int64_t size, intptr_t handle) override;
    bool seeksBounded() override { return source_->seeksBounded(); }

private:
    InStream* source_;
    int64_t offset_;
    int64_t size_;
    int64_t position_ = 0;
};

// Status returned by DecoderStream::decode.
enum DecodeStatus : int {
    kDecodeError = 0,
    kDecodeProgress = 1,
    kDecodeEnd = 2,
    kDecodeStop = 3,  // any other value: stop after delivering what was produced
};

// Buffered base of every codec that decodes in steps: packed bytes are fetched
// in 16 KiB pieces and decoded into a 16 KiB window that `read` drains.
class DecoderStream : public InStream {
public:
    static constexpr int kBufferSize = 0x4000;

    // With a source and packedSize >= 0 the stream keeps the source and allocates
    // its buffers; otherwise it keeps nothing and its unpacked size is -1.
    DecoderStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                  int64_t packedSize, int64_t unpackedSize);
    ~DecoderStream() override;

    int64_t tell() override;
    bool seek(int64_t position) override;
    int read(void* buf, int count) override;
    // A size not stated when the stream was made is learnt by decoding: when
    // a reader reaches the end, or here, by decoding on to the end and coming
    // back (as far as a damaged stream decodes).
    int64_t size() override;
    int64_t knownSize() override { return unpackedSize_; }

    // Where decoding can resume for `target`: the packed offset (relative to the
    // packed data) and the decoded position there. Base: none.
    virtual bool restartPoint(int64_t target, int64_t* inputOffset, int64_t* outputPosition);  // slot 14
    // Returns the decoder to its initial state.
    virtual void reset() = 0;  // slot 15
    // One decoding step; returns a DecodeStatus.
    virtual int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                       int* produced) = 0;  // slot 16

    // False when the buffers are absent; a factory then releases the stream.
    bool ok() const { return input_ != nullptr; }

protected:
    // For a size that was stated rather than learnt: once reading reaches it,
    // the data must end there, or the stream is damaged.
    void requireEndAtSize() { endToCheck_ = true; }
    InStream* source() const { return source_; }
    int64_t packedOffset() const { return offset_; }
    int64_t packedSize() const { return packedSize_; }
    void setUnpackedSize(int64_t size) { unpackedSize_ = size; }

private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };
    void freeBuffers();
    // Fills the input buffer and decodes one step into the window. False when
    // the stream is finished.
    bool decodeStep();
    // Fills the input buffer when it is empty and decodes one step into
    // `out`. Returns the bytes produced; -1 when the stream is finished.
    int decodeInto(uint8_t* out, int capacity);
    // For a read of `wanted` more bytes with the window drained: how many to
    // decode straight into the caller's buffer; 0 for none.
    int directCapacity(int wanted) const;
    // Moves the window's counters over `produced` bytes decoded past it.
    void skipWindow(int produced);
    // Moves to `inputOffset`/`outputPosition` with emptied buffers.
    void restartAt(int64_t inputOffset, int64_t outputPosition);
    void checkEnd();
    // Why decoding stopped with no packed input left: the source's failure,
    // or else the packed data ended before the decoder finished.
    Status inputEndedEarly() const;
    // Decoding has ended: an unknown size is where it ended.
    void learnSizeAtEnd();
    int64_t left() const;
    int windowAvailable() const { return readCounter_ - freeCounter_; }

    InStream* source_ = nullptr;
    int64_t offset_ = 0;
    int64_t packedSize_ = 0;
    int64_t unpackedSize_ = -1;
    std::unique_ptr<uint8_t, FreeDeleter> input_;
    std::unique_ptr<uint8_t, FreeDeleter> window_;
    int inputFill_ = 0;
    int inputLeft_ = 0;
    int64_t packedLeft_ = 0;
    int readCounter_ = kBufferSize;
    int freeCounter_ = kBufferSize;
    int64_t position_ = 0;
    bool finished_ = false;
    bool endToCheck_ = false;
};

// Windows of other streams joined back to back.
class ConcatStream final : public InStream {
public:
    ConcatStream(const char16_t* name, Archive* owner, int64_t tag);
    ~ConcatStream() override;

    int64_t tell() override;
    bool seek(int64_t position) override;  // 0 <= position <= size
    int read(void* buf, int count) override;
    int64_t size() override;
    InStream* openSibling(const char16_t* name) override;
    bool seeksBounded() override;

    // Appends [offset, offset + length) of `stream` (count raised). A length of
    // 0 adds nothing and succeeds.
    virtual bool appendPart(InStream* stream, int64_t offset, int64_t length);  // slot 14

    // The index of the part that holds `position`; -1 past the end.
    int partAt(int64_t position) const;

private:
    struct Part {
        InStream* stream;
        int64_t offset;
        int64_t length;
        int64_t end;
    };
    std::vector<Part> parts_;
    int64_t position_ = 0;
};

}  // namespace zorvex
