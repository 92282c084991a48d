// A pitch that glides exponentially from a start frequency toward a stop frequency, moving in
// steps every 45 samples from sample 0: the Kick's body and the Blipp share it.
#pragma once

#include "synth/fixed_point.h"

namespace thumpa {

inline constexpr std::int32_t GLIDE_UPDATE_INTERVAL = 45;

struct PitchGlide {
  Q31 keep;           // factor applied to the envelope at each update: ONE - freq_decay
  std::int32_t span;  // start - stop, in Hz (32-bit)
  std::int32_t stop;
  Q31 env = 0;
  Q31 ein = ONE;  // the envelope's input: full scale at the first update, then 0
  std::int32_t j = GLIDE_UPDATE_INTERVAL;

  PitchGlide(std::int32_t start, std::int32_t stop_freq, Q31 freq_decay)
      : keep(wrap_sub(ONE, freq_decay)), span(wrap_sub(start, stop_freq)), stop(stop_freq) {}

  // Called once per sample, before the sample is computed. Returns true when the pitch moved,
  // with the new pitch in f. The first pitch is start - 1 for a falling glide, because the
  // envelope's product with the span rounds down.
  bool next_sample(std::int32_t& f) {
    const bool due = j >= GLIDE_UPDATE_INTERVAL;
    if (due) {
      j = 0;
      env = add_sat(mul_q31(keep, env), ein);
      ein = 0;
      f = wrap_add(mul_q31(span, env), stop);
    }
    ++j;
    return due;
  }
};

}  // namespace thumpa
