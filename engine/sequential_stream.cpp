#include "engine/sequential_stream.h"

#include <algorithm>

namespace zorvex {

SequentialStream::SequentialStream(const char16_t* name, Archive* owner, int64_t tag, int64_t size)
    : InStream(name, owner, tag), size_(size) {}

int64_t SequentialStream::tell() { return position_; }
int64_t SequentialStream::size() { return size_; }

int SequentialStream::read(void* buf, int count) {
    if (!buf || count <= 0 || ended_ || position_ >= size_) return 0;
    int want = static_cast<int>(std::min<int64_t>(count, size_ - position_));
    int got = std::clamp(produce(static_cast<uint8_t*>(buf), want), 0, want);
    // A decoder that stopped short stays stopped until a restart.
    if (got < want) ended_ = true;
    position_ += got;
    return got;
}

bool SequentialStream::seek(int64_t position) {
    if (position < 0 || position > size_) return false;
    if (position < position_) {
        if (!restart()) return false;
        position_ = 0;
        ended_ = false;
    }
    uint8_t scratch[4096];
    while (position_ < position) {
        int want = static_cast<int>(std::min<int64_t>(sizeof scratch, position - position_));
        if (read(scratch, want) != want) return false;
    }
    return true;
}

}  // namespace zorvex
