#include "codecs/wavpack/wavpack.h"

#include <wavpack/wavpack.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "engine/copy_bytes.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

constexpr int kSamplesPerStep = 4096;

class WavPackStream final : public InStream {
public:
    WavPackStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                  int64_t packedSize, int64_t unpackedSize)
        : InStream(name, owner, tag), source_(source), offset_(offset), packedSize_(packedSize),
          unpackedSize_(unpackedSize) {
        source_->addRef();
    }
    ~WavPackStream() override {
        if (context_) WavpackCloseFile(context_);
        std::free(samples_);
        std::free(bytes_);
        source_->release();
    }

    // Opens the library and allocates the buffers; false on failure.
    bool start() {
        if (!open()) return false;
        channels_ = WavpackGetNumChannels(context_);
        bytesPerSample_ = WavpackGetBytesPerSample(context_);
        if (channels_ <= 0 || bytesPerSample_ <= 0 || bytesPerSample_ > 4) return false;
        frameSize_ = channels_ * bytesPerSample_;
        samples_ = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * kSamplesPerStep * channels_));
        bytes_ = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(kSamplesPerStep) * frameSize_));
        return samples_ && bytes_;
    }

    int64_t tell() override { return position_; }
    int64_t size() override { return unpackedSize_; }
    bool seek(int64_t target) override;
    int read(void* buf, int count) override;

private:
    enum Phase { kLeadingWrapper, kSamples, kTrailingWrapper, kFinished };

    bool open();
    // Makes the next pending bytes; false once nothing more comes.
    bool produce();
    void convert(int frames);
    void hand(const uint8_t* bytes, int count) {
        pending_ = bytes;
        pendingCount_ = count;
        produced_ += count;
    }

    static WavPackStream* self(void* id) { return static_cast<WavPackStream*>(id); }
    static int32_t readBytes(void* id, void* data, int32_t count);
    static uint32_t getPosition(void* id) { return static_cast<uint32_t>(self(id)->readerPos_); }
    static int setAbsolute(void* id, uint32_t position);
    static int setRelative(void* id, int32_t delta, int mode);
    // The library of the 5.x series steps back one byte while it looks for a
    // block header, and calls this without checking that it is there.
    static int pushBackByte(void* id, int c);
    static uint32_t getLength(void* id) { return static_cast<uint32_t>(self(id)->packedSize_); }
    static int canSeek(void*) { return 1; }
    static WavpackStreamReader reader_;

    InStream* source_;
    int64_t offset_;
    int64_t packedSize_;
    int64_t unpackedSize_;
    int64_t position_ = 0;
    int64_t readerPos_ = 0;
    Phase phase_ = kLeadingWrapper;
    bool wrapperHanded_ = false;
    bool padHanded_ = false;
    int64_t produced_ = 0;     // bytes made so far, handed out or pending
    int64_t sampleBytes_ = 0;  // of which PCM samples
    WavpackContext* context_ = nullptr;
    char error_[80] = {};
    int channels_ = 0;
    int bytesPerSample_ = 0;
    int frameSize_ = 0;
    int32_t* samples_ = nullptr;
    uint8_t* bytes_ = nullptr;
    const uint8_t* pending_ = nullptr;
    int pendingCount_ = 0;
};

WavpackStreamReader WavPackStream::reader_ = {
    readBytes, getPosition, setAbsolute, setRelative, pushBackByte, getLength, canSeek, nullptr,
};

// Reads stay inside the packed data: what follows belongs to other entries.
int32_t WavPackStream::readBytes(void* id, void* data, int32_t count) {
    WavPackStream* s = self(id);
    int64_t left = s->packedSize_ - s->readerPos_;
    if (count > left) count = static_cast<int32_t>(left);
    if (count <= 0 || !s->source_->seek(s->offset_ + s->readerPos_)) return 0;
    int got = s->source_->read(data, count);
    s->readerPos_ += got;
    return got;
}

int WavPackStream::setAbsolute(void* id, uint32_t position) {
    WavPackStream* s = self(id);
    if (position > s->packedSize_) return -1;
    s->readerPos_ = position;
    return 0;
}

int WavPackStream::setRelative(void* id, int32_t delta, int mode) {
    WavPackStream* s = self(id);
    int64_t base = mode == SEEK_CUR ? s->readerPos_ : mode == SEEK_END ? s->packedSize_ : 0;
    int64_t position = base + delta;
    if (position < 0 || position > s->packedSize_) return -1;
    s->readerPos_ = position;
    return 0;
}

int WavPackStream::pushBackByte(void* id, int c) {
    WavPackStream* s = self(id);
    if (s->readerPos_ == 0) return EOF;
    --s->readerPos_;
    return c;
}

bool WavPackStream::open() {
    readerPos_ = 0;
    context_ = WavpackOpenFileInputEx(&reader_, this, nullptr, error_, OPEN_WRAPPER, 0);
    return context_ != nullptr;
}

int WavPackStream::read(void* buf, int count) {
    if (!bytes_ || !buf || count <= 0) return 0;
    if (count > unpackedSize_ - position_) count = static_cast<int>(unpackedSize_ - position_);
    auto* out = static_cast<uint8_t*>(buf);
    int done = 0;
    while (done < count) {
        if (pendingCount_ == 0 && !produce()) break;
        int n = pendingCount_ < count - done ? pendingCount_ : count - done;
        copyBytes(out + done, pending_, n);
        pending_ += n;
        pendingCount_ -= n;
        done += n;
    }
    position_ += done;
    return done;
}

bool WavPackStream::produce() {
    for (;;) {
        switch (phase_) {
            case kLeadingWrapper:
                if (wrapperHanded_) {
                    WavpackFreeWrapper(context_);
                    wrapperHanded_ = false;
                    phase_ = kSamples;
                    break;
                }
                if (WavpackGetWrapperBytes(context_) == 0) {
                    phase_ = kSamples;
                    break;
                }
                hand(WavpackGetWrapperData(context_), static_cast<int>(WavpackGetWrapperBytes(context_)));
                wrapperHanded_ = true;
                return true;
            case kSamples: {
                uint32_t frames = WavpackUnpackSamples(context_, samples_, kSamplesPerStep);
                if (frames == 0) {
                    phase_ = kTrailingWrapper;
                    break;
                }
                convert(static_cast<int>(frames));
                hand(bytes_, static_cast<int>(frames) * frameSize_);
                sampleBytes_ += pendingCount_;
                return true;
            }
            case kTrailingWrapper: {
                // The trailing chunks may already have been read with the
                // last samples; otherwise one more unpack reaches them.
                if (wrapperHanded_) {
                    WavpackFreeWrapper(context_);
                    wrapperHanded_ = false;
                    phase_ = kFinished;
                    break;
                }
                if (WavpackGetWrapperBytes(context_) == 0) WavpackUnpackSamples(context_, samples_, 1);
                const int trailer = static_cast<int>(WavpackGetWrapperBytes(context_));
                // A data chunk of odd length is padded to even in the WAV
                // file; the encoder keeps the pad byte in neither wrapper.
                if (!padHanded_ && (sampleBytes_ & 1) && produced_ + trailer + 1 == unpackedSize_) {
                    static const uint8_t kPad = 0;
                    padHanded_ = true;
                    hand(&kPad, 1);
                    return true;
                }
                if (trailer == 0) {
                    phase_ = kFinished;
                    break;
                }
                hand(WavpackGetWrapperData(context_), trailer);
                wrapperHanded_ = true;
                return true;
            }
            case kFinished:
                return false;
        }
    }
}

// WAV stores 8-bit samples unsigned and wider ones signed little-endian.
void WavPackStream::convert(int frames) {
    const int count = frames * channels_;
    uint8_t* out = bytes_;
    switch (bytesPerSample_) {
        case 1:
            for (int i = 0; i < count; ++i) *out++ = static_cast<uint8_t>(samples_[i] + 128);
            break;
        case 2:
            for (int i = 0; i < count; ++i, out += 2) {
                uint32_t v = static_cast<uint32_t>(samples_[i]);
                out[0] = static_cast<uint8_t>(v);
                out[1] = static_cast<uint8_t>(v >> 8);
            }
            break;
        case 3:
            for (int i = 0; i < count; ++i, out += 3) {
                uint32_t v = static_cast<uint32_t>(samples_[i]);
                out[0] = static_cast<uint8_t>(v);
                out[1] = static_cast<uint8_t>(v >> 8);
                out[2] = static_cast<uint8_t>(v >> 16);
            }
            break;
        case 4:
            for (int i = 0; i < count; ++i, out += 4) {
                uint32_t v = static_cast<uint32_t>(samples_[i]);
                out[0] = static_cast<uint8_t>(v);
                out[1] = static_cast<uint8_t>(v >> 8);
                out[2] = static_cast<uint8_t>(v >> 16);
                out[3] = static_cast<uint8_t>(v >> 24);
            }
            break;
    }
}

bool WavPackStream::seek(int64_t target) {
    if (!bytes_ || target < 0 || target >= unpackedSize_) return false;
    if (target < position_) {
        WavpackCloseFile(context_);
        context_ = nullptr;
        position_ = 0;
        phase_ = kLeadingWrapper;
        wrapperHanded_ = false;
        padHanded_ = false;
        produced_ = sampleBytes_ = 0;
        pendingCount_ = 0;
        if (!open()) {
            std::free(bytes_);
            bytes_ = nullptr;
            return false;
        }
    }
    uint8_t scratch[16384];
    while (position_ < target) {
        int64_t want = target - position_;
        if (!read(scratch, want < static_cast<int64_t>(sizeof scratch) ? static_cast<int>(want) : sizeof scratch)) {
            return false;
        }
    }
    return true;
}

}  // namespace

InStream* makeWavPackStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize) {
    if (!source || packedSize < 0) return nullptr;
    return startDecoderStream(
        new (std::nothrow) WavPackStream(name, owner, tag, source, offset, packedSize, unpackedSize),
        [](WavPackStream& stream) { return stream.start(); });
}

}  // namespace zorvex
