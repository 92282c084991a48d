// Playback buffers made for a JACK server's rate.
#include "audio/playback_rate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace thumpa {
namespace {

// 4410 frames of a 441 Hz sine at half scale, with noise in the low halves.
VoiceBuffer sine_voice() {
  VoiceBuffer v;
  v.count = 4410;
  v.samples.reset(static_cast<Q31*>(std::malloc(v.count * sizeof(Q31))));
  for (std::uint32_t i = 0; i < v.count; ++i) {
    v.samples[i] = static_cast<Q31>(std::lround(std::sin(i * 2 * M_PI / 100) * 1073741824.0)) ^
                   static_cast<Q31>(i * 7919 % 65536);
  }
  return v;
}

TEST(PlaybackRate, UntouchedAt44100AndResampledOnceToAnotherRate) {
  const VoiceBuffer voice = sine_voice();
  PlaybackBuffer* same = allocate_playback_buffer_at(voice, 44100);
  ASSERT_NE(same, nullptr);
  ASSERT_EQ(same->sound.count, voice.count);
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    ASSERT_EQ(same->sound.samples[i], static_cast<std::int16_t>(voice.samples[i] >> 16)) << i;
  }
  free_playback_buffer(same);

  const struct {
    int rate;
    std::uint32_t count;  // the same 100 ms
    int period;           // frames of one cycle of the sine
  } cases[] = {{48000, 4800, 109}, {96000, 9600, 218}, {22050, 2205, 50}};
  for (const auto& c : cases) {
    PlaybackBuffer* b = allocate_playback_buffer_at(voice, c.rate);
    ASSERT_NE(b, nullptr) << c.rate;
    EXPECT_NEAR(b->sound.count, c.count, 1) << c.rate;
    // The sine keeps its level and pitch: a peak of about 16384, and a cycle later the same
    // value again (away from the edges, where the resampler's filter rings).
    int peak = 0;
    for (std::uint32_t i = 500; i < b->sound.count - 500; ++i)
      peak = std::max(peak, std::abs(int{b->sound.samples[i]}));
    EXPECT_NEAR(peak, 16384, 200) << c.rate;
    EXPECT_NEAR(b->sound.samples[1000], b->sound.samples[1000 + c.period], 1200) << c.rate;
    free_playback_buffer(b);
  }
}

}  // namespace
}  // namespace thumpa
