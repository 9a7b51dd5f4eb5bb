// Tables of the binary arithmetic decoder: the probability states and the
// logarithm tables that turn interval widths into log-range units (1/1024 bit).
#pragma once

#include <cstdint>

namespace zorvex::jpeg {

constexpr int kStateCount = 49;
constexpr int kFixedState = 48;     // exactly one half, never adapts
constexpr int kLastAdaptiveState = 47;

extern const uint16_t kMpsCost[kStateCount];
extern const uint16_t kLpsExtra[kStateCount];
extern const uint16_t kRunLimit[kStateCount];
extern const uint8_t kHalfStep[kStateCount];
extern const uint8_t kDoubleStep[kStateCount];
extern const uint16_t kAntilog[1024];

}  // namespace zorvex::jpeg
