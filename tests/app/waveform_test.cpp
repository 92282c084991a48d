#include "app/waveform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

namespace thumpa {
namespace {

VoiceBuffer voice_of(std::uint32_t count, Q31 (*value)(std::uint32_t)) {
  VoiceBuffer voice;
  voice.samples.reset(static_cast<Q31*>(std::malloc(sizeof(Q31) * (count ? count : 1))));
  voice.count = count;
  for (std::uint32_t i = 0; i < count; ++i) voice.samples[i] = value(i);
  return voice;
}

// Each sample's value is its own index (below 32768), so a point's row reveals which sample it
// shows when the half height is 32768 (row = h + 32767 exactly).
Q31 index_value(std::uint32_t i) {
  return static_cast<Q31>((i % 32768) << 16);
}
constexpr std::uint32_t ROW_IS_H = 65536;  // height whose half makes the row h + 32767

std::vector<std::uint32_t> shown_samples(const std::vector<QPoint>& points) {
  std::vector<std::uint32_t> samples;
  for (const QPoint& p : points) samples.push_back(static_cast<std::uint32_t>(p.y() - 32767));
  return samples;
}

TEST(SampleRow, HeightOf400DrawsZeroOnRow199AndTheExtremesOnTheEdges) {
  struct Case {
    Q31 sample;
    std::uint32_t row;
  };
  const Case cases[] = {
      {0, 199},
      {2147483647, 399},
      {-2147483647, 0},
      {-2147483647 - 1, 0},  // wraps below the area by the formula; drawn with its neighbours
      {65535, 199},
      {-65535, 199},  // h truncates toward zero: 0
      {-65536, 199},  // h = -1: row 32766 * 200 >> 15 = 199
  };
  for (const Case& c : cases) EXPECT_EQ(sample_row(c.sample, 200), c.row) << c.sample;
}

TEST(SampleRow, DividesTowardZeroNotByShifting) {
  // With half 32768 the row is u = h + 32767 itself.
  EXPECT_EQ(sample_row(-65535, 32768), 32767u);
  EXPECT_EQ(sample_row(-65536, 32768), 32766u);
  EXPECT_EQ(sample_row(-1, 32768), 32767u);
  EXPECT_EQ(sample_row(65536, 32768), 32768u);
  EXPECT_EQ(sample_row(std::numeric_limits<Q31>::max(), 32768), 65534u);
}

TEST(SampleRow, TheProductIsUnsigned32Bits) {
  // 65534 * 70000 = 4587380000 wraps to 292412704, shifted by 15.
  EXPECT_EQ(sample_row(std::numeric_limits<Q31>::max(), 70000), 292412704u >> 15);
  EXPECT_EQ(sample_row(0, 0), 0u);
}

TEST(WaveformPoints, InitialZoomShowsEvery16thSampleOnePerColumn) {
  const VoiceBuffer voice = voice_of(20000, index_value);
  const auto points = waveform_points(voice, 0, INITIAL_ZOOM, 400, ROW_IS_H);
  ASSERT_EQ(points.size(), 400u);
  const auto samples = shown_samples(points);
  for (std::uint32_t i = 0; i < 400; ++i) {
    EXPECT_EQ(points[i].x(), static_cast<int>(i));
    EXPECT_EQ(samples[i], 16 * i);
  }
  EXPECT_EQ(samples.back(), 6384u);
}

TEST(WaveformPoints, EndsAtTheLastSampleThatFallsOnAColumn) {
  const VoiceBuffer voice = voice_of(10000, index_value);
  // Panned to 9600: samples 9600 to 9984 in the first 25 columns.
  const auto samples = shown_samples(waveform_points(voice, 9600, 4096, 400, ROW_IS_H));
  ASSERT_EQ(samples.size(), 25u);
  EXPECT_EQ(samples.front(), 9600u);
  EXPECT_EQ(samples.back(), 9984u);
  // 256 samples per column: 0 .. 9984 in 40 columns.
  EXPECT_EQ(shown_samples(waveform_points(voice, 0, MAX_ZOOM, 400, ROW_IS_H)).back(), 9984u);
  EXPECT_EQ(waveform_points(voice, 0, MAX_ZOOM, 400, ROW_IS_H).size(), 40u);
}

TEST(WaveformPoints, SmallestZoomRepeatsEachSampleOver16Columns) {
  const VoiceBuffer voice = voice_of(100, index_value);
  const auto samples = shown_samples(waveform_points(voice, 10, MIN_ZOOM, 64, ROW_IS_H));
  ASSERT_EQ(samples.size(), 64u);
  for (std::uint32_t i = 0; i < 64; ++i) EXPECT_EQ(samples[i], 10 + i / 16);
}

TEST(WaveformPoints, NothingWhenTheViewStartIsPastTheVoice) {
  const VoiceBuffer voice = voice_of(1000, index_value);
  EXPECT_TRUE(waveform_points(voice, 1000, 4096, 400, 400).empty());
  EXPECT_TRUE(waveform_points(voice, 5000, 4096, 400, 400).empty());
  EXPECT_EQ(waveform_points(voice, 999, 4096, 400, 400).size(), 1u);
  EXPECT_TRUE(waveform_points(VoiceBuffer{}, 0, 4096, 400, 400).empty());
  EXPECT_TRUE(waveform_points(voice, 0, 4096, 0, 400).empty());
}

TEST(WaveformPoints, AtMostOnePointPerColumnWhateverTheLength) {
  const VoiceBuffer voice = voice_of(MAX_VOICE_SAMPLES, index_value);
  for (std::int32_t zoom = MIN_ZOOM; zoom <= MAX_ZOOM; zoom *= 2) {
    EXPECT_LE(waveform_points(voice, 0, zoom, 1920, 1080).size(), 1920u) << zoom;
  }
}

TEST(Zoom, HalvesDownTo16AndDoublesUpTo65536) {
  std::vector<std::int32_t> in;
  for (std::int32_t z = INITIAL_ZOOM, i = 0; i < 10; ++i) in.push_back(z = zoomed_in(z));
  EXPECT_EQ(in, (std::vector<std::int32_t>{2048, 1024, 512, 256, 128, 64, 32, 16, 16, 16}));
  std::vector<std::int32_t> out;
  for (std::int32_t z = INITIAL_ZOOM, i = 0; i < 6; ++i) out.push_back(z = zoomed_out(z));
  EXPECT_EQ(out, (std::vector<std::int32_t>{8192, 16384, 32768, 65536, 65536, 65536}));
}

TEST(Pan, StepIsHalfAWindowOfSamples) {
  EXPECT_EQ(pan_step(400, 4096), 3200u);
  EXPECT_EQ(pan_step(0, 4096), 0u);  // before the first paint of a voice
  EXPECT_EQ(pan_step(1920, 65536), 245760u);
  EXPECT_EQ(panned_left(1000, 400, 4096), 0);
  EXPECT_EQ(panned_left(7000, 400, 4096), 3800);
  EXPECT_EQ(panned_left(7000, 0, 4096), 7000);
}

TEST(Pan, RightStopsNearTheEnd) {
  std::vector<std::int32_t> starts;
  for (std::int32_t s = 0, i = 0; i < 5; ++i)
    starts.push_back(s = panned_right(s, 10000, 400, 4096));
  EXPECT_EQ(starts, (std::vector<std::int32_t>{3200, 6400, 9600, 9600, 9600}));
  // A voice shorter than one step: the limit is negative as a signed value, nothing moves.
  EXPECT_EQ(panned_right(0, 1000, 400, 4096), 0);
  EXPECT_EQ(panned_right(0, 0, 400, 4096), 0);
  EXPECT_EQ(panned_right(10, 10000, 0, 4096), 10);
}

}  // namespace
}  // namespace thumpa
