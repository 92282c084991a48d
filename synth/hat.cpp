// Hi-hat (closed and open alike): band-limited noise around filter_freq under an envelope that
// starts at full scale and loses the fraction decay every 45 samples.
#include "synth/filter.h"
#include "synth/generators.h"
#include "synth/render.h"

namespace thumpa {

void make_hat(VoiceBuffer& voice, const HatParams& p) {
  const Q31 fall = wrap_sub(ONE, p.decay);
  Q31 env = 0;
  Q31 ein = ONE;
  std::int32_t j = 45;
  // The filter sees the noise generator's start value 4711 as the input before the first.
  NoiseBand noise(p.filter_freq, p.resonance, 4711);

  render_voice(voice, [&](std::uint32_t) {
    const std::int32_t y = noise.next();
    if (j > 44) {
      j = 0;
      env = add_sat(mul_q31(fall, env), ein);
    }
    ein = 0;
    ++j;
    return mul_q31(y, env);
  });
}

}  // namespace thumpa
