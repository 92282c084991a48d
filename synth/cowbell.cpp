// Cowbell: four resonators at 1, 3, 0.675 and 2.025 times freq, each struck once and sharing
// one decay. Partials 1 and 3 start near a quarter of full scale, 2 and 4 near 1/dist of it.
#include "synth/generators.h"
#include "synth/guards.h"
#include "synth/render.h"
#include "synth/resonator.h"

namespace thumpa {

namespace {

// floor(numerator * freq / 40), exact in 64 bits for every 32-bit freq.
std::int64_t scaled_index(std::int32_t freq, std::int64_t numerator) {
  const std::int64_t x = numerator * freq;
  return x >= 0 ? x / 40 : -((-x + 39) / 40);
}

}  // namespace

void make_cowbell(VoiceBuffer& voice, const CowbellParams& p) {
  constexpr Q31 ratio_0675 = 0x56666665;  // 0.675 in Q31, just below it
  const std::int32_t freq = p.freq;
  const std::int32_t dist = nonzero_divisor(p.dist);
  const Q31 r = wrap_sub(ONE, p.decay);
  const Q31 r2 = mul_q31(r, r);
  const std::int32_t f3 = mul_q31(freq, ratio_0675);

  // Resonator frequencies and impulses; the impulse indices of partials 3 and 4 are computed
  // apart from f3 and may differ from the resonator frequencies by a few hertz.
  const std::int64_t partial_freq[4] = {freq, 3 * std::int64_t{freq}, f3, 3 * std::int64_t{f3}};
  std::int32_t x[4] = {
      table_sin(freq) >> 2,
      table_sin(3 * std::int64_t{freq}) / dist,
      table_sin(scaled_index(freq, 27)) >> 2,
      table_sin(scaled_index(freq, 81)) / dist,
  };
  Q31 c[4];
  for (int k = 0; k < 4; ++k) c[k] = mul_q31(r, table_cos(partial_freq[k]));

  Resonator partial[4];
  render_voice(voice, [&](std::uint32_t) {
    std::int64_t sum = 0;
    for (int k = 0; k < 4; ++k) {
      sum += partial[k].step(c[k], r2, x[k]);
      x[k] = 0;
    }
    return sat32(sum);
  });
}

}  // namespace thumpa
