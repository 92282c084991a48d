// A decaying sine resonator struck by one impulse: y[n] = 2 r cos(w) y[n-1] - r^2 y[n-2] + x[n],
// computed as half of its right side and doubled with saturation so that the sum cannot overflow.
#pragma once

#include "synth/fixed_point.h"

namespace thumpa {

struct Resonator {
  std::int32_t y1 = 0;  // previous output
  std::int32_t y2 = 0;  // the one before

  // rc = r cos(w), r2 = r^2, x = this sample's impulse (0 after the first).
  std::int32_t step(Q31 rc, Q31 r2, std::int32_t x) {
    const std::int32_t y = sat_double(std::int64_t{mul_q31(rc, y1)} - mul_hi32(r2, y2) + (x >> 1));
    y2 = y1;
    y1 = y;
    return y;
  }
};

}  // namespace thumpa
