// Blipp: one resonator struck at an eighth of full scale whose pitch glides exponentially from
// start_freq toward stop_freq in steps 45 samples apart.
#include "synth/generators.h"
#include "synth/glide.h"
#include "synth/guards.h"
#include "synth/render.h"
#include "synth/resonator.h"

namespace thumpa {

void make_blipp(VoiceBuffer& voice, const BlippParams& p) {
  const Q31 r = wrap_sub(ONE, p.decay);
  const Q31 r2 = mul_q31(r, r);

  Resonator tone;
  std::int32_t x = table_sin(p.start_freq) >> 3;  // an eighth of a full-height impulse
  PitchGlide glide(p.start_freq, p.stop_freq, p.freq_decay);
  Q31 rc = 0;

  render_voice(voice, [&](std::uint32_t) {
    if (std::int32_t f; glide.next_sample(f)) rc = mul_q31(r, table_cos(f));
    const std::int32_t y = tone.step(rc, r2, x);
    x = 0;
    return y;
  });
}

}  // namespace thumpa
