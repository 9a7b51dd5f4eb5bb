#include "codecs/wavpack/block_run.h"

#include <cstdio>
#include <cstdlib>

#include "engine/stream.h"

namespace zorvex {
namespace wavpack {
namespace {

// Samples (of all channels) unpacked per step: 64 KiB of the library's
// output, whatever the channel count.
constexpr int kSamplesPerStep = 16384;

}  // namespace

WavpackStreamReader BlockRun::reader_ = {
    readBytes, getPosition, setAbsolute, setRelative, pushBackByte, getLength, canSeek, nullptr,
};

BlockRun::BlockRun(InStream* source, int64_t base, int64_t length)
    : source_(source), base_(base), length_(length) {
    source_->addRef();
}

BlockRun::~BlockRun() {
    if (context_) WavpackCloseFile(context_);
    std::free(samples_);
    std::free(bytes_);
    source_->release();
}

bool BlockRun::open() {
    context_ = WavpackOpenFileInputEx(&reader_, this, nullptr, error_, OPEN_WRAPPER, 0);
    if (!context_) return false;
    channels_ = WavpackGetNumChannels(context_);
    bytesPerSample_ = WavpackGetBytesPerSample(context_);
    if (channels_ <= 0 || bytesPerSample_ <= 0 || bytesPerSample_ > 4) return false;
    frameSize_ = channels_ * bytesPerSample_;
    framesPerStep_ = channels_ < kSamplesPerStep ? kSamplesPerStep / channels_ : 1;
    samples_ = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * framesPerStep_ * channels_));
    bytes_ = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(framesPerStep_) * frameSize_));
    return samples_ && bytes_;
}

bool BlockRun::damaged() const {
    return context_ && (WavpackGetNumErrors(context_) > 0 || WavpackGetErrorMessage(context_)[0] != 0);
}

// Reads stay inside the run: what follows belongs to other runs or entries.
int32_t BlockRun::readBytes(void* id, void* data, int32_t count) {
    BlockRun* s = self(id);
    int64_t left = s->length_ - s->position_;
    if (count > left) count = static_cast<int32_t>(left);
    if (count <= 0 || !s->source_->seek(s->base_ + s->position_)) return 0;
    int got = s->source_->read(data, count);
    s->position_ += got;
    return got;
}

int BlockRun::setAbsolute(void* id, uint32_t position) {
    BlockRun* s = self(id);
    if (position > s->length_) return -1;
    s->position_ = position;
    return 0;
}

int BlockRun::setRelative(void* id, int32_t delta, int mode) {
    BlockRun* s = self(id);
    int64_t base = mode == SEEK_CUR ? s->position_ : mode == SEEK_END ? s->length_ : 0;
    int64_t position = base + delta;
    if (position < 0 || position > s->length_) return -1;
    s->position_ = position;
    return 0;
}

int BlockRun::pushBackByte(void* id, int c) {
    BlockRun* s = self(id);
    if (s->position_ == 0) return EOF;
    --s->position_;
    return c;
}

// Hands the wrapper bytes gathered so far, once; the next call frees them.
int BlockRun::handWrapper(const uint8_t** bytes, Phase after) {
    if (wrapperHanded_) {
        WavpackFreeWrapper(context_);
        wrapperHanded_ = false;
        phase_ = after;
        return 0;
    }
    const int count = static_cast<int>(WavpackGetWrapperBytes(context_));
    if (count == 0) {
        phase_ = after;
        return 0;
    }
    *bytes = WavpackGetWrapperData(context_);
    wrapperHanded_ = true;
    return count;
}

int BlockRun::next(const uint8_t** bytes, Part* part) {
    for (;;) {
        switch (phase_) {
            case kLeadingWrapper:
                *part = Part::kHeader;
                if (int count = handWrapper(bytes, kSamples)) return count;
                break;
            case kSamples: {
                uint32_t frames = WavpackUnpackSamples(context_, samples_, framesPerStep_);
                if (frames == 0) {
                    // The trailing chunks may already have been read with the
                    // last samples; otherwise one more unpack reaches them.
                    if (WavpackGetWrapperBytes(context_) == 0) WavpackUnpackSamples(context_, samples_, 1);
                    phase_ = kTrailingWrapper;
                    break;
                }
                convert(static_cast<int>(frames));
                *bytes = bytes_;
                *part = Part::kSamples;
                return static_cast<int>(frames) * frameSize_;
            }
            case kTrailingWrapper:
                *part = Part::kTrailer;
                if (int count = handWrapper(bytes, kFinished)) return count;
                break;
            case kFinished:
                return 0;
        }
    }
}

// WAV stores 8-bit samples unsigned and wider ones signed little-endian.
void BlockRun::convert(int frames) {
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

}  // namespace wavpack
}  // namespace zorvex
