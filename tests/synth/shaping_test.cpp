#include "synth/shaping.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace thumpa {
namespace {

VoiceBuffer voice_of(const std::vector<Q31>& samples) {
  VoiceBuffer v;
  v.count = static_cast<std::uint32_t>(samples.size());
  v.samples.reset(static_cast<Q31*>(std::malloc(samples.size() * sizeof(Q31) + 1)));
  if (!samples.empty()) std::memcpy(v.samples.get(), samples.data(), samples.size() * sizeof(Q31));
  return v;
}

std::vector<Q31> samples_of(const VoiceBuffer& v) {
  return std::vector<Q31>(v.samples.get(), v.samples.get() + v.count);
}

std::vector<Q31> normalized(const std::vector<Q31>& in) {
  VoiceBuffer v = voice_of(in);
  normalize_voice(v);
  return samples_of(v);
}

std::vector<Q31> distorted(const std::vector<Q31>& in, std::int32_t mode, Q31 level) {
  VoiceBuffer v = voice_of(in);
  distort_voice(v, mode, level);
  return samples_of(v);
}

TEST(Normalize, ScalesThePeakToFullScale) {
  struct Case {
    std::vector<Q31> in, out;
  };
  const Case cases[] = {
      {{100, -100, 50}, {2147483646, -2147483646, 1073741823}},
      {{ONE, -5, 12345}, {ONE, -5, 12345}},  // already at full scale: unchanged
      {{1}, {2147483647}},
      {{7, -3}, {2147483647, -920350134}},
      {{0, 0}, {0, 0}},                              // peak 0: unchanged
      {{INT32_MIN}, {INT32_MIN}},                    // -2^31 is never the peak
      {{INT32_MIN, 1000}, {INT32_MIN, 2147483646}},  // and stays full negative scale
  };
  for (const Case& c : cases) EXPECT_EQ(normalized(c.in), c.out);
}

TEST(Normalize, IsIdempotent) {
  const std::vector<Q31> once = normalized({123456, -98765, 4242, -1});
  EXPECT_EQ(normalized(once), once);
}

TEST(Normalize, EmptyVoiceIsLeftAlone) {
  VoiceBuffer v;
  normalize_voice(v);
  distort_voice(v, DIST_AP, 0);
  EXPECT_TRUE(v.empty());
}

TEST(Distort, ModesAtHalfScale) {
  constexpr Q31 L = 1073741823;
  struct Case {
    std::int32_t mode;
    std::vector<Q31> in, out;
  };
  const Case cases[] = {
      {DIST_AP, {ONE, -ONE, 5, L, -L}, {L, -L, 5, L, -L}},
      {DIST_SUR, {ONE, -ONE, 5}, {1610612735, -1610612735, 5}},
      {DIST_ZOG,
       {ONE, -ONE, L, -L, 5, (1 << 30) + 1},
       {319451633, -319451633, L, -L, 5, 170599409}},
      {-1, {ONE, -ONE, 5}, {ONE, -ONE, 5}},
      {0, {ONE, -ONE, 5}, {ONE, -ONE, 5}},
      {4, {ONE, -ONE, 5}, {ONE, -ONE, 5}},
  };
  for (const Case& c : cases) EXPECT_EQ(distorted(c.in, c.mode, L), c.out) << "mode " << c.mode;
}

TEST(Distort, ExtremeLevelsStayDefined) {
  // Negative and extreme levels wrap by design; the sanitizer build proves no overflow.
  const std::vector<Q31> in{INT32_MIN, -1, 0, 1, ONE};
  for (std::int32_t mode : {1, 2, 3}) {
    for (Q31 level : {INT32_MIN, -1, 0, ONE}) {
      EXPECT_EQ(distorted(in, mode, level).size(), in.size());
    }
  }
  // With a negative level every sample lies above L and then below -L: both rules apply.
  EXPECT_EQ(distorted({5, -5}, DIST_AP, -10), (std::vector<Q31>{10, 10}));
  EXPECT_EQ(distorted({5}, DIST_ZOG, -10), (std::vector<Q31>{345624159}));  // ln 5 * ONE / 10
}

TEST(Shape, DefaultsAreOneNormalisation) {
  const ShapingSettings defaults;
  VoiceBuffer v = voice_of({100, -100, 50});
  shape_voice(VOICE_KICK, v, defaults);
  EXPECT_EQ(samples_of(v), normalized({100, -100, 50}));
}

TEST(Shape, RunsBeforeDistortAfterInOrder) {
  ShapingSettings s;
  s.dist_type[VOICE_SNARE] = DIST_AP;
  s.normalize_after[VOICE_SNARE] = 1;
  VoiceBuffer v = voice_of({100, -100, 50});
  shape_voice(VOICE_SNARE, v, s);
  // Normalised to +-2147483646, clipped at +-0.5, normalised again.
  EXPECT_EQ(samples_of(v), normalized({1073741823, -1073741823, 1073741823}));

  s.normalize_before[VOICE_SNARE] = 0;
  s.normalize_after[VOICE_SNARE] = 0;
  VoiceBuffer quiet = voice_of({100, -100, 50});
  shape_voice(VOICE_SNARE, quiet, s);
  EXPECT_EQ(samples_of(quiet), (std::vector<Q31>{100, -100, 50}));  // below the level
}

}  // namespace
}  // namespace thumpa
