#include "codecs/jpeg/arith_decoder.h"

#include <array>
#include <bit>

namespace zorvex::jpeg {
namespace {

constexpr int kKmin = 5;
constexpr int kKmin1 = 1;
constexpr int kKmin2 = 0;
constexpr int kKmax = 11;

// Fraction part of log2(1 + m / 4096) in 1/1024 units, the inverse of
// kAntilog; built on first use (not at every program start).
const std::array<uint16_t, 4096>& logFractions() {
    static const std::array<uint16_t, 4096> table = [] {
        std::array<uint16_t, 4096> fractions{};
        int f = 1024;  // kAntilog extended by kAntilog[1024] = 4096
        for (int m = 0; m < 4096; ++m) {
            while (f > 0 && kAntilog[f - 1] <= 4096 + m) --f;
            fractions[m] = static_cast<uint16_t>(1024 - f);
        }
        return fractions;
    }();
    return table;
}

int logOf(uint32_t x) {
    uint32_t high = x >> 12;
    if (high == 0) return 8192;
    int digits = std::bit_width(high);
    int shift = digits < 9 ? 9 - digits : 0;
    return shift * 1024 - logFractions()[(x >> (8 - shift)) & 4095];
}

uint32_t antilogOf(int logRange) { return uint32_t(kAntilog[logRange & 1023]) << (7 - (logRange >> 10)); }

}  // namespace

void ArithDecoder::start() {
    uint32_t high = next();
    code_ = high << 8 | next();
    range_ = 4097;
    limit_ = 4097;
    codeLog_ = logOf(code_);
    if (code_ == 0xFFFF) next();
}

void ArithDecoder::finish() {
    renormalize();
    if (last_ == 0xFF && beforeLast_ == 0xFF) next();
}

void ArithDecoder::renormalize() {
    while (range_ > kRenormLimit) {
        // After two 0xFF bytes the encoder stuffed a byte that carries into the code.
        if (last_ == 0xFF && beforeLast_ == 0xFF) code_ += next();
        code_ = code_ << 8 | next();
        range_ -= 8192;
        limit_ -= 8192;
    }
    codeLog_ = logOf(code_);
}

int ArithDecoder::decode(Context& context) {
    limit_ = range_ + context.gap;
    checkRenormalize();
    range_ += kMpsCost[context.state];
    int bit = context.mps;
    if (range_ >= (codeLog_ < limit_ ? codeLog_ : limit_)) {
        if (range_ < codeLog_) {
            moreProbableUpdate(context);
        } else {
            renormalize();
            if (range_ < codeLog_) {
                if (range_ >= limit_) moreProbableUpdate(context);
            } else {
                bit ^= 1;
                ++context.lpsCount;
                code_ -= antilogOf(range_);
                codeLog_ = logOf(code_);
                lessProbableUpdate(context);
            }
        }
    }
    context.gap = limit_ - range_;
    return bit;
}

void ArithDecoder::moreProbableUpdate(Context& context) {
    if (context.lpsCount <= kKmin && context.state < kLastAdaptiveState) {
        ++context.state;
        if (context.lpsCount <= kKmin1) {
            context.state += kHalfStep[context.state];
            if (context.lpsCount <= kKmin2) context.state += kHalfStep[context.state];
        }
    }
    context.lpsCount = 0;
    limit_ = range_ + kRunLimit[context.state];
    checkRenormalize();
}

void ArithDecoder::lessProbableUpdate(Context& context) {
    range_ += kLpsExtra[context.state];
    limit_ += kLpsExtra[context.state];
    if (context.lpsCount < kKmax) {
        if (limit_ < range_) limit_ = range_;
        return;
    }
    if (context.state < kFixedState) {
        // Too many less probable values: move toward larger probabilities,
        // further the sooner they came.
        int gap = limit_ - range_;
        int runLimit = kRunLimit[context.state];
        int state = context.state;
        int extra = 0;
        auto oneStep = [&] { state > 0 ? void(--state) : void(++extra); };
        auto doubleStep = [&] { state > 0 ? void(state -= kDoubleStep[state]) : void(extra += kDoubleStep[0]); };
        if (gap >= runLimit / 2) {
            if (runLimit - gap <= runLimit / 4) doubleStep();
            doubleStep();
        } else {
            if (gap >= runLimit / 4) oneStep();
            oneStep();
        }
        if (state == 0) {
            state = extra;
            context.mps ^= 1;
        }
        context.state = static_cast<uint8_t>(state);
    }
    context.lpsCount = 0;
    limit_ = range_ + kRunLimit[context.state];
}

}  // namespace zorvex::jpeg
