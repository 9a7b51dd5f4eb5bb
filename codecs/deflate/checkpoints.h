// Where Deflate decoding can resume: every MiB of output on the first pass,
// the inflater's whole state is kept with the packed offset of the input
// that follows it, so that a later seek decodes at most about a MiB (a few
// ms) from the nearest point before its target instead of from the start. A
// point where decoding needs no state (a gzip member's start) keeps only its
// offsets. A state is some 55 KB, kept deflated with ISA-L: 20 to 35 MB per GiB of
// data. Memory is bounded: once the points take more than their budget (or
// are too many), every other one goes and the spacing doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "codecs/deflate/inflater.h"

namespace zorvex {

class InflateCheckpoints {
public:
    static constexpr int64_t kSpacing = int64_t{1} << 20;
    static constexpr size_t kBudget = size_t{40} << 20;
    static constexpr int kMaxPoints = 4096;

    // The owner's own state at a point: its step, and the check it keeps
    // running over data that another inflater than the one saved began.
    struct Owner {
        int tag = 0;
        uint32_t crc = 0;
        int64_t checked = 0;  // bytes the CRC covers
    };
    struct Point {
        int64_t input = 0;   // packed offset of the next byte to take
        int64_t output = 0;  // decoded position there
        Owner owner;
        Inflater::Snapshot state;  // empty where decoding starts afresh
    };

    // Whether a point at decoded `output` is due: the data is newly reached
    // and far enough past the last point.
    bool due(int64_t output) const { return output >= next_; }
    // No point is ever due: the data is read once.
    void keepNone() { next_ = std::numeric_limits<int64_t>::max(); }
    // Keeps `inflater`'s state as a point, or only the offsets when it is
    // null (nothing when memory is short).
    void add(const Inflater* inflater, int64_t input, int64_t output, const Owner& owner);
    // The last point at or before `target`; null for none.
    const Point* before(int64_t target) const;

private:
    bool grow();
    void thin();

    std::unique_ptr<Point[]> points_;  // count_ of capacity_, by output
    int count_ = 0;
    int capacity_ = 0;
    size_t bytes_ = 0;
    int64_t spacing_ = kSpacing;
    int64_t next_ = kSpacing;
};

}  // namespace zorvex
