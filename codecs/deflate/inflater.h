// Deflate decoding for the "deflate" and "gzip" codecs: ISA-L's inflate where
// it is built (several times faster than zlib's), zlib's elsewhere. Both keep
// their own bit buffer and history, so a step may end anywhere in the input
// and the next one resumes there.
#pragma once

#include <cstdint>
#include <memory>

namespace zorvex {

class Inflater {
public:
    enum class Wrapper {
        kRaw,   // bare Deflate data
        kGzip,  // one gzip member: header parsed, CRC-32 and size checked
    };
    enum class Step { kProgress, kEnd, kError };

    explicit Inflater(Wrapper wrapper);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // False when the decoder could not be set up.
    bool ready() const { return state_ != nullptr; }
    // Back to the start of a (new) stream or member.
    void reset();
    // Decodes from `in` into `out`. kEnd: the deflate data (or member, with
    // its trailer) ended after `consumed` bytes. kError: the data is damaged.
    Step step(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zorvex
