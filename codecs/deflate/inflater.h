// Deflate decoding for the "deflate" and "gzip" codecs: ISA-L's inflate where
// it is built (several times faster than zlib's), zlib's elsewhere. Both keep
// their own bit buffer and history, so a step may end anywhere in the input
// and the next one resumes there.
#pragma once

#include <cstddef>
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

    // The whole decoding state between two steps (bit buffer, Huffman tables,
    // history, running check), so that decoding can later resume there.
    class Snapshot {
    public:
        Snapshot();
        Snapshot(Snapshot&&) noexcept;
        Snapshot& operator=(Snapshot&&) noexcept;
        ~Snapshot();
        size_t bytes() const { return size_; }

    private:
        friend class Inflater;
        struct Saved;
        std::unique_ptr<Saved> saved_;
        size_t size_ = 0;
    };
    // False when memory for it cannot be had.
    bool save(Snapshot* snapshot) const;
    // Back to the state `snapshot` holds; the next step takes the input that
    // followed it. False (the inflater then reset) when it cannot be.
    bool restore(const Snapshot& snapshot);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zorvex
