// A run of WavPack blocks decoded by a library context of its own into the
// bytes of the WAV file they hold, part by part: the header wrapper, the
// samples, the trailing wrapper. A run that does not start the file starts
// at a block that begins a range of samples: such a block carries all the
// library needs (channels, sample format), and the library then counts
// samples from that block on.
#pragma once

#include <wavpack/wavpack.h>

#include <cstdint>

namespace zorvex {

class InStream;

namespace wavpack {

enum class Part : uint8_t { kHeader, kSamples, kTrailer };
constexpr int kPartCount = 3;

class BlockRun {
public:
    // The run is [base, base + length) of `source` (whose count it raises).
    BlockRun(InStream* source, int64_t base, int64_t length);
    BlockRun(const BlockRun&) = delete;
    BlockRun& operator=(const BlockRun&) = delete;
    ~BlockRun();

    // Opens the library on the run; false when it holds no WavPack audio in
    // a form we deliver, or memory is short.
    bool open();
    int frameSize() const { return frameSize_; }

    // The next bytes of the file, valid until the next call, and the part
    // they belong to; 0 once the run is done.
    int next(const uint8_t** bytes, Part* part);

    // A block failed its checks or was cut short, or samples were missing
    // between blocks (the library fills those with silence).
    bool damaged() const;

private:
    enum Phase {
        kLeadingWrapper,   // handing out the wrapper bytes (the RIFF header) before the samples
        kSamples,          // unpacking samples, a step at a time
        kTrailingWrapper,  // handing out the wrapper bytes stored after the samples
        kFinished,         // the run is over
    };

    void convert(int frames);
    int handWrapper(const uint8_t** bytes, Phase after);

    static BlockRun* self(void* id) { return static_cast<BlockRun*>(id); }
    static int32_t readBytes(void* id, void* data, int32_t count);
    static uint32_t getPosition(void* id) { return static_cast<uint32_t>(self(id)->position_); }
    static int setAbsolute(void* id, uint32_t position);
    static int setRelative(void* id, int32_t delta, int mode);
    // The library of the 5.x series steps back one byte while it looks for a
    // block header, and calls this without checking that it is there.
    static int pushBackByte(void* id, int c);
    static uint32_t getLength(void* id) { return static_cast<uint32_t>(self(id)->length_); }
    static int canSeek(void*) { return 1; }
    static WavpackStreamReader reader_;

    InStream* source_;
    int64_t base_;
    int64_t length_;
    int64_t position_ = 0;  // the library's, inside the run
    WavpackContext* context_ = nullptr;
    Phase phase_ = kLeadingWrapper;
    bool wrapperHanded_ = false;
    char error_[80] = {};
    int channels_ = 0;
    int bytesPerSample_ = 0;
    int frameSize_ = 0;
    int framesPerStep_ = 0;
    int32_t* samples_ = nullptr;
    uint8_t* bytes_ = nullptr;
};

}  // namespace wavpack
}  // namespace zorvex
