// Where Deflate decoding can resume: every few MiB of output on the first
// pass, the inflater's whole state is kept with the packed offset of the
// input that follows it, so that a later seek decodes from the nearest
// point before its target instead of from the start. Memory is bounded: once
// the points take more than their budget, every other one goes and the
// spacing doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codecs/deflate/inflater.h"

namespace zorvex {

class InflateCheckpoints {
public:
    static constexpr int64_t kSpacing = int64_t{4} << 20;
    static constexpr size_t kBudget = size_t{24} << 20;
    static constexpr int kMaxPoints = 512;

    struct Point {
        int64_t input = 0;   // packed offset of the next byte to take
        int64_t output = 0;  // decoded position there
        int tag = 0;         // the owner's own state there
        Inflater::Snapshot state;
    };

    // Whether a point at decoded `output` is due: the data is newly reached
    // and far enough past the last point.
    bool due(int64_t output) const { return output >= next_; }
    // Keeps `inflater`'s state as a point (nothing when memory is short).
    void add(const Inflater& inflater, int64_t input, int64_t output, int tag);
    // The last point at or before `target`; null for none.
    const Point* before(int64_t target) const;

private:
    void thin();

    std::unique_ptr<Point[]> points_;  // count_ of kMaxPoints, by output
    int count_ = 0;
    size_t bytes_ = 0;
    int64_t spacing_ = kSpacing;
    int64_t next_ = kSpacing;
};

}  // namespace zorvex
