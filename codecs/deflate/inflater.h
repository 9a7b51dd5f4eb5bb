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
        // The rest of a gzip member from a point inside its deflate data,
        // then its trailer (for the caller to check: its CRC covers what came
        // before the point too).
        kGzipRest,
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
    // Right after reset of a raw inflater: the data goes on from a point
    // whose last (up to 32 KiB) decoded bytes were `history`.
    bool setHistory(const uint8_t* history, int size);
    // Whether the input so far ended exactly between two blocks of the
    // deflate data, none of its bits left over, the last block still to come:
    // there the rest decodes as deflate data of its own, given the history.
    bool betweenBlocks() const;
    // Decodes from `in` into `out`. kEnd: the deflate data (or member, with
    // its trailer) ended after `consumed` bytes. kError: the data is damaged.
    Step step(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced);
    // kGzipRest, once ended: the trailer's 8 bytes.
    const uint8_t* trailer() const;

    // Continues a gzip CRC-32 (start from 0) with the library's fastest code.
    static uint32_t crc32(uint32_t crc, const uint8_t* data, int64_t size);

    // The whole decoding state between two steps (bit buffer, Huffman tables,
    // history, running check), so that decoding can later resume there.
    class Snapshot {
    public:
        Snapshot();
        Snapshot(Snapshot&&) noexcept;
        Snapshot& operator=(Snapshot&&) noexcept;
        ~Snapshot();
        bool empty() const { return !saved_; }
        size_t bytes() const { return size_; }  // the memory it takes

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
    Step takeTrailer(const uint8_t* in, int inLength, int* consumed);

    std::unique_ptr<State> state_;
    bool rest_ = false;
    bool inTrailer_ = false;
    uint8_t trailer_[8] = {};
    int trailerFill_ = 0;
};

}  // namespace zorvex
