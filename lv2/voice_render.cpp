#include "lv2/voice_render.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <new>

#include "synth/bank_render.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {

namespace {

// The program's playback rule: the top 16 bits (an arithmetic shift, so -1 stays -1).
std::int16_t top_16_bits(Q31 sample) {
  return static_cast<std::int16_t>(sample >> 16);
}

// The engine's render and the editors' shaping, as the voice editors rebuild a voice.
VoiceBuffer render_shaped(const BankParams& params, VoiceId voice) {
  static const bool table_filled = (fill_sine_table(), true);  // once, even across threads
  (void)table_filled;
  VoiceBuffer rendered;
  render_voice(params, voice, rendered);
  if (!rendered.empty()) shape_voice(voice, rendered, params.shaping);
  return rendered;
}

// Converts the 44100 Hz voice to the host's rate with a band-limited resampler, then to 16
// bits (rounded, clamped). Empty when the resampler fails.
std::vector<std::int16_t> resampled(const VoiceBuffer& voice, double host_rate) {
  const double ratio = host_rate / SAMPLE_RATE;
  std::vector<float> in(voice.count);
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    in[i] = static_cast<float>(voice.samples[i] / 2147483648.0);
  }
  std::vector<float> out(static_cast<std::size_t>(std::ceil(voice.count * ratio)) + 1);
  SRC_DATA data{};
  data.data_in = in.data();
  data.data_out = out.data();
  data.input_frames = static_cast<long>(in.size());
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = ratio;
  if (src_simple(&data, SRC_SINC_BEST_QUALITY, 1) != 0) return {};
  std::vector<std::int16_t> result(static_cast<std::size_t>(data.output_frames_gen));
  for (std::size_t i = 0; i < result.size(); ++i) {
    const long v = std::lround(static_cast<double>(out[i]) * 32768.0);
    result[i] = static_cast<std::int16_t>(std::clamp<long>(v, -32768, 32767));
  }
  return result;
}

}  // namespace

std::unique_ptr<PlaybackValues> make_playback_values(const BankParams& params, VoiceId voice,
                                                     double host_rate) {
  try {
    const VoiceBuffer rendered = render_shaped(params, voice);
    if (rendered.empty()) return nullptr;
    auto made = std::make_unique<PlaybackValues>();
    if (host_rate == SAMPLE_RATE) {
      made->values.resize(rendered.count);
      for (std::uint32_t i = 0; i < rendered.count; ++i) {
        made->values[i] = top_16_bits(rendered.samples[i]);
      }
    } else {
      made->values = resampled(rendered, host_rate);
      if (made->values.empty()) return nullptr;
    }
    return made;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace thumpa
