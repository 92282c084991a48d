// Hi-hat (closed and open alike): band-limited noise around filter_freq under an envelope that
// starts at full scale and loses the fraction decay every 45 samples.
#include "synth/filter.h"
#include "synth/generators.h"
#include "synth/render.h"
#include "synth/staircase.h"

namespace thumpa {

void make_hat(VoiceBuffer& voice, const HatParams& p) {
  Staircase envelope(p.decay);
  // The filter sees the noise generator's start value 4711 as the input before the first.
  NoiseBand noise(p.filter_freq, p.resonance, 4711);

  render_voice(voice, [&](std::uint32_t) {
    const std::int32_t y = noise.next();
    return mul_q31(y, envelope.next());
  });
}

}  // namespace thumpa
