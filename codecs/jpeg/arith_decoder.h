// Adaptive binary arithmetic decoder working in the logarithm domain: the
// interval width and the code value are tracked by their logarithms, so a
// decision costs additions of table values.
#pragma once

#include <cstdint>

#include "codecs/jpeg/arith_tables.h"
#include "codecs/jpeg/packed_input.h"

namespace zorvex::jpeg {

// The probability estimate of one kind of decision.
struct Context {
    int32_t gap = 16384;   // log-range left before the run limit, from its last use
    uint8_t state = 0;     // row of the state tables
    uint8_t mps = 0;       // the more probable value
    uint8_t lpsCount = 0;  // less probable values since the state last moved
};

inline Context fixedContext() {
    Context context;
    context.state = kFixedState;
    return context;
}

class ArithDecoder {
public:
    explicit ArithDecoder(PackedInput* input) : input_(input) {}

    // Starts a segment: loads the first two code bytes.
    void start();
    // One decision (0 or 1) with the context's estimate, which adapts.
    int decode(Context& context);
    // Ends a segment, so that the next one starts at the right byte.
    void finish();

    uint32_t code() const { return code_; }
    int logRange() const { return range_; }
    int logLimit() const { return limit_; }

private:
    static constexpr int kRenormLimit = 8191;
    static constexpr int kLimitCheck = 2047;

    uint8_t next() {
        beforeLast_ = last_;
        last_ = input_->byte();
        return last_;
    }
    void renormalize();
    void checkRenormalize() {
        if (limit_ > kLimitCheck) renormalize();
    }
    void moreProbableUpdate(Context& context);
    void lessProbableUpdate(Context& context);

    PackedInput* input_;
    uint32_t code_ = 0;
    int range_ = 0;    // accumulated log-range
    int limit_ = 0;    // log-range limit
    int codeLog_ = 0;  // logarithm of code_
    uint8_t last_ = 0;
    uint8_t beforeLast_ = 0;
};

}  // namespace zorvex::jpeg
