// Kick: a body resonator whose pitch falls exponentially from start_freq toward stop_freq, plus
// a fixed-pitch attack resonator "A"; mix weights the body and 1 - mix the attack.
#include "synth/generators.h"
#include "synth/glide.h"
#include "synth/guards.h"
#include "synth/render.h"
#include "synth/resonator.h"

namespace thumpa {

void make_kick(VoiceBuffer& voice, const KickParams& p) {
  const Q31 rB = wrap_sub(ONE, p.decay);
  const Q31 rB2 = mul_q31(rB, rB);
  const std::int32_t a_freq = clamp_table_freq(p.a_freq);
  const Q31 rA = wrap_sub(ONE, p.a_decay);
  const Q31 rA2 = mul_q31(rA, rA);
  const Q31 cA = mul_q31(rA, table_cos(a_freq));
  const Q31 mixB = p.mix;
  const Q31 mixA = wrap_sub(ONE, p.mix);

  Resonator body, attack;
  std::int32_t xB = table_sin(p.start_freq);
  std::int32_t xA = table_sin(a_freq);
  PitchGlide glide(p.start_freq, p.stop_freq, p.freq_decay);
  Q31 cB = 0;

  render_voice(voice, [&](std::uint32_t) {
    if (std::int32_t f; glide.next_sample(f)) cB = mul_q31(rB, table_cos(f));
    const std::int32_t yB = body.step(cB, rB2, xB);
    const std::int32_t yA = attack.step(cA, rA2, xA);
    xB = xA = 0;
    return add_sat(mul_q31(mixB, yB), mul_q31(mixA, yA));
  });
}

}  // namespace thumpa
