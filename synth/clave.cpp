// Clave: one resonator at a fixed pitch, struck by a full-height impulse, dying away.
#include "synth/generators.h"
#include "synth/guards.h"
#include "synth/render.h"
#include "synth/resonator.h"

namespace thumpa {

void make_clave(VoiceBuffer& voice, const ClaveParams& p) {
  const std::int32_t freq = clamp_table_freq(p.freq);
  const Q31 r = wrap_sub(ONE, p.decay);
  const Q31 r2 = mul_q31(r, r);
  const Q31 rc = mul_q31(r, table_cos(freq));

  Resonator tone;
  std::int32_t x = table_sin(freq);
  render_voice(voice, [&](std::uint32_t) {
    const std::int32_t y = tone.step(rc, r2, x);
    x = 0;
    return y;
  });
}

}  // namespace thumpa
