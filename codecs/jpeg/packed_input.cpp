#include "codecs/jpeg/packed_input.h"

#include <algorithm>
#include <cstring>

#include "engine/stream.h"

namespace zorvex::jpeg {

PackedInput::PackedInput(InStream* source, int64_t offset, int64_t size)
    : source_(source), offset_(offset), size_(size), unfetched_(size) {}

bool PackedInput::fetch() {
    if (unfetched_ <= 0 || !source_->seek(offset_ + size_ - unfetched_)) return false;
    int got = source_->read(buffer_, static_cast<int>(std::min<int64_t>(unfetched_, kBufferSize)));
    if (got <= 0) return false;
    unfetched_ -= got;
    position_ = buffer_;
    end_ = buffer_ + got;
    return true;
}

uint8_t PackedInput::refill() {
    if (!fetch()) {
        exhausted_ = true;
        return 0;
    }
    return *position_++;
}

bool PackedInput::read(uint8_t* out, int64_t count) {
    while (count > 0) {
        if (position_ == end_ && !fetch()) {
            exhausted_ = true;
            return false;
        }
        int64_t piece = std::min<int64_t>(count, end_ - position_);
        std::memcpy(out, position_, static_cast<size_t>(piece));
        position_ += piece;
        out += piece;
        count -= piece;
    }
    return true;
}

}  // namespace zorvex::jpeg
