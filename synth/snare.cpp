// Snare: two decaying tones at freq1 and freq2 plus band-limited noise around filter_freq under
// a staircase envelope; mix weights the tones and 1 - mix the noise.
#include "synth/filter.h"
#include "synth/generators.h"
#include "synth/guards.h"
#include "synth/render.h"
#include "synth/resonator.h"
#include "synth/staircase.h"

namespace thumpa {

void make_snare(VoiceBuffer& voice, const SnareParams& p) {
  const std::int32_t freq1 = clamp_table_freq(p.freq1);
  const std::int32_t freq2 = clamp_table_freq(p.freq2);
  const Q31 rT = wrap_sub(ONE, p.decay);
  const Q31 rT2 = mul_q31(rT, rT);
  const Q31 c1 = mul_q31(rT, table_cos(freq1));
  const Q31 c2 = mul_q31(rT, table_cos(freq2));
  const Q31 mixT = p.mix;
  const Q31 mixN = wrap_sub(ONE, p.mix);

  Resonator tone1, tone2;
  std::int32_t x1 = table_sin(freq1);
  std::int32_t x2 = table_sin(freq2);
  Staircase envelope(p.noise_decay);
  NoiseBand noise(p.filter_freq, p.resonance, 0);

  render_voice(voice, [&](std::uint32_t) {
    const std::int32_t t1 = tone1.step(c1, rT2, x1);
    const std::int32_t t2 = tone2.step(c2, rT2, x2);
    const Q31 env = envelope.next();
    const std::int32_t y = noise.next();
    x1 = x2 = 0;
    return add_sat(mul_q31(mixN, mul_q31(env, y)), mul_q31(mixT, add_sat(t1, t2)));
  });
}

}  // namespace thumpa
