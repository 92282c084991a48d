// Kick: a body resonator whose pitch falls exponentially from start_freq toward stop_freq, plus
// a fixed-pitch attack resonator "A"; mix weights the body and 1 - mix the attack.
#include "synth/generators.h"
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
  const Q31 glide = wrap_sub(ONE, p.freq_decay);
  const std::int32_t span = wrap_sub(p.start_freq, p.stop_freq);
  const Q31 mixB = p.mix;
  const Q31 mixA = wrap_sub(ONE, p.mix);

  Resonator body, attack;
  std::int32_t xB = table_sin(p.start_freq);
  std::int32_t xA = table_sin(a_freq);
  Q31 ein = ONE;
  Q31 env = 0;
  std::int32_t j = 45;
  Q31 cB = 0;

  render_voice(voice, [&](std::uint32_t) {
    if (j > 44) {  // sweep update, every 45 samples from sample 0
      j = 0;
      env = add_sat(mul_q31(glide, env), ein);
      const std::int32_t f = wrap_add(mul_q31(span, env), p.stop_freq);
      cB = mul_q31(rB, table_cos(f));
    }
    const std::int32_t yB = body.step(cB, rB2, xB);
    const std::int32_t yA = attack.step(cA, rA2, xA);
    xB = xA = ein = 0;
    ++j;
    return add_sat(mul_q31(mixB, yB), mul_q31(mixA, yA));
  });
}

}  // namespace thumpa
