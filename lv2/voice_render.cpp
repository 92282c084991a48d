#include "lv2/voice_render.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "audio/pcm16.h"
#include "synth/bank_render.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {

namespace {

// The engine's render and the editors' shaping, as the voice editors rebuild a voice.
VoiceBuffer render_shaped(const BankParams& params, VoiceId voice) {
  static const bool table_filled = (fill_sine_table(), true);  // once, even across threads
  (void)table_filled;
  VoiceBuffer rendered;
  render_voice(params, voice, rendered);
  if (!rendered.empty()) shape_voice(voice, rendered, params.shaping);
  return rendered;
}

}  // namespace

std::unique_ptr<PlaybackValues> make_playback_values(const BankParams& params, VoiceId voice,
                                                     double host_rate) {
  if (!(host_rate >= MIN_HOST_RATE && host_rate <= MAX_HOST_RATE)) return nullptr;
  try {
    const VoiceBuffer rendered = render_shaped(params, voice);
    if (rendered.empty()) return nullptr;
    auto made = std::make_unique<PlaybackValues>();
    if (host_rate == SAMPLE_RATE) {
      made->values.resize(rendered.count);
      for (std::uint32_t i = 0; i < rendered.count; ++i) {
        made->values[i] = pcm16_from_q31(rendered.samples[i]);
      }
    } else {
      made->values = resampled_pcm16(rendered, host_rate);
      if (made->values.empty()) return nullptr;
    }
    return made;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace thumpa
