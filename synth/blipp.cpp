// Blipp: one resonator struck at an eighth of full scale whose pitch glides exponentially from
// start_freq toward stop_freq in steps 45 samples apart.
#include "synth/generators.h"
#include "synth/guards.h"
#include "synth/render.h"
#include "synth/resonator.h"

namespace thumpa {

void make_blipp(VoiceBuffer& voice, const BlippParams& p) {
  const Q31 r = wrap_sub(ONE, p.decay);
  const Q31 r2 = mul_q31(r, r);
  const Q31 keep = wrap_sub(ONE, p.freq_decay);
  const std::int32_t span = wrap_sub(p.start_freq, p.stop_freq);

  Resonator tone;
  std::int32_t x = table_sin(p.start_freq) >> 3;
  Q31 ein = ONE;
  Q31 env = 0;
  std::int32_t j = 45;
  Q31 rc = 0;

  render_voice(voice, [&](std::uint32_t) {
    if (j > 44) {  // glide update, every 45 samples from sample 0
      j = 0;
      env = add_sat(mul_q31(keep, env), ein);
      const std::int32_t f = wrap_add(mul_q31(span, env), p.stop_freq);
      rc = mul_q31(r, table_cos(f));
    }
    const std::int32_t y = tone.step(rc, r2, x);
    x = ein = 0;
    ++j;
    return y;
  });
}

}  // namespace thumpa
