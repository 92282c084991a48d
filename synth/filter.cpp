#include "synth/filter.h"

#include "synth/guards.h"

namespace thumpa {

FilterCoeffs filter_coeffs(std::int32_t f, std::int32_t q) {
  f = clamp_table_freq(f);
  q = resonance_divisor(q);
  constexpr Q31 quarter_pi = 1686629712;       // pi / 4 in Q31, rounded down
  constexpr std::int64_t per_sample = 194780;  // 2^33 / 44100
  FilterCoeffs c;
  c.W = sat32(std::int64_t{mul_q31(f, quarter_pi)} * per_sample);
  c.alpha = c.W / q;
  c.r = wrap_sub(ONE, c.alpha);
  c.r2 = mul_q31(c.r, c.r);
  c.rc = mul_q31(c.r, table_cos(f));
  return c;
}

}  // namespace thumpa
