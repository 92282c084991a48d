#include "audio/pcm16.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>

namespace thumpa {

std::vector<std::int16_t> resampled_pcm16(const VoiceBuffer& voice, double rate) {
  const double ratio = rate / SAMPLE_RATE;
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
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(data.output_frames_gen));
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    const long v = std::lround(static_cast<double>(out[i]) * 32768.0);
    pcm[i] = static_cast<std::int16_t>(std::clamp<long>(v, -32768, 32767));
  }
  return pcm;
}

}  // namespace thumpa
