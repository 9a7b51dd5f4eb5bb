#include "codecs/zip_legacy/legacy_decoder.h"

#include <cstring>

#include "engine/stream.h"

namespace zorvex {

void LegacyDecoder::reset() {
    bits_.clear();
    total_ = 0;
    failed_ = false;
    std::memset(history_, 0, sizeof history_);
    restart();
}

int LegacyDecoder::decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                          int* produced) {
    *consumed = 0;
    *produced = 0;
    if (finished()) return kDecodeEnd;
    if (failed_) return kDecodeError;
    bits_.setInput(in, in + inLength);
    out_ = out;
    outPos_ = 0;
    outCapacity_ = outCapacity;
    run();
    *consumed = static_cast<int>(bits_.input() - in);
    *produced = outPos_;
    out_ = nullptr;
    if (finished()) return kDecodeEnd;
    if (failed_) return outPos_ > 0 ? kDecodeProgress : kDecodeError;
    // A step that neither took input nor gave output waits for input that
    // is not coming: the data ended early.
    return *consumed > 0 || outPos_ > 0 ? kDecodeProgress : kDecodeError;
}

}  // namespace zorvex
