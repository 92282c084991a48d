// An envelope that starts at full scale and keeps the fraction `keep` of itself at every update,
// one update every 45 samples from sample 0, holding its value in between: the staircase under
// the Snare's noise and the hi-hats.
#pragma once

#include "synth/fixed_point.h"

namespace thumpa {

inline constexpr std::int32_t STAIRCASE_STEP = 45;

struct Staircase {
  Q31 keep;  // ONE - decay
  Q31 env = 0;
  Q31 ein = ONE;  // the envelope's input: full scale at the first update, then 0
  std::int32_t j = STAIRCASE_STEP;

  explicit Staircase(Q31 decay) : keep(wrap_sub(ONE, decay)) {}

  // The envelope for the next sample.
  Q31 next() {
    if (j >= STAIRCASE_STEP) {
      j = 0;
      env = add_sat(mul_q31(keep, env), ein);
    }
    ein = 0;
    ++j;
    return env;
  }
};

}  // namespace thumpa
