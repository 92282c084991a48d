// Any record, however absurd, renders without a fault: no read outside the sine table, no
// division by zero, no overflow (the sanitizer build turns any of these into a failure).
#include <gtest/gtest.h>

#include <random>

#include "synth/generators.h"
#include "synth/render.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {
namespace {

class Robustness : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fill_sine_table(); }
  std::mt19937 rng{20261207};

  // Mostly uniform 32-bit values, with the edges and small numbers mixed in.
  std::int32_t any() {
    switch (rng() % 8) {
      case 0:
        return INT32_MIN;
      case 1:
        return INT32_MAX;
      case 2:
        return 0;
      case 3:
        return static_cast<std::int32_t>(rng() % 64) - 32;
      default:
        return static_cast<std::int32_t>(rng());
    }
  }

  void check(const VoiceBuffer& v) {
    ASSERT_FALSE(v.empty());
    ASSERT_GE(v.count, 10u);
    ASSERT_LE(v.count, MAX_VOICE_SAMPLES);
  }
};

// Quick enough under the sanitizers: renders stop early for most random records.
constexpr int RECORDS_PER_VOICE = 2000;

TEST_F(Robustness, RandomRecordsRenderWithoutFault) {
  VoiceBuffer v;
  for (int i = 0; i < RECORDS_PER_VOICE; ++i) {
    make_kick(v, {any(), any(), any(), any(), any(), any(), any(), any()});
    check(v);
    make_snare(v, {any(), any(), any(), any(), any(), any(), any(), any()});
    check(v);
    make_hat(v, {any(), any(), any(), any()});
    check(v);
    make_blipp(v, {any(), any(), any(), any(), any()});
    check(v);
    make_clave(v, {any(), any(), any()});
    check(v);
    make_cowbell(v, {any(), any(), any(), any()});
    check(v);
    make_oscillator(
        v, {any(), any(), any(), any(), any(), any(), any(), any(), any(), any(), any(), any()});
    check(v);
    normalize_voice(v);
    distort_voice(v, 1 + static_cast<std::int32_t>(rng() % 3), any());
    normalize_voice(v);
  }
}

TEST_F(Robustness, GuardsLeaveInRangeRecordsAlone) {
  // Values at the edges of what the table serves render as if unguarded: the edge itself is
  // served, one past it is clamped to it.
  VoiceBuffer at_edge, past_edge;
  make_clave(at_edge, {SAMPLE_RATE, MAX_TABLE_FREQ, 8589934});
  make_clave(past_edge, {SAMPLE_RATE, MAX_TABLE_FREQ + 1, 8589934});
  ASSERT_EQ(at_edge.count, past_edge.count);
  EXPECT_TRUE(std::equal(at_edge.samples.get(), at_edge.samples.get() + at_edge.count,
                         past_edge.samples.get()));
}

TEST_F(Robustness, DivisorsOfZeroAreReadAsOne) {
  auto same = [](const VoiceBuffer& a, const VoiceBuffer& b) {
    return a.count == b.count &&
           std::equal(a.samples.get(), a.samples.get() + a.count, b.samples.get());
  };
  VoiceBuffer a, b;
  make_cowbell(a, {SAMPLE_RATE, 800, 2147483, 0});
  make_cowbell(b, {SAMPLE_RATE, 800, 2147483, 1});
  EXPECT_TRUE(same(a, b));
  OscParams zero_rate, unit_rate;
  zero_rate.sample_rate = 0;
  unit_rate.sample_rate = 1;
  make_oscillator(a, zero_rate);
  make_oscillator(b, unit_rate);
  EXPECT_TRUE(same(a, b));
  make_hat(a, {SAMPLE_RATE, 14000, 0, 107374182});
  make_hat(b, {SAMPLE_RATE, 14000, 1, 107374182});
  EXPECT_TRUE(same(a, b));
}

TEST_F(Robustness, AllocationFailureLeavesTheVoiceEmpty) {
  VoiceBuffer v;
  make_clave(v, ClaveParams{});
  ASSERT_FALSE(v.empty());
  const SampleMemory saved = sample_memory;
  sample_memory.allocate = [](std::size_t) -> void* { return nullptr; };
  make_clave(v, ClaveParams{});
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(v.count, 0u);
  sample_memory = saved;
  sample_memory.shrink = [](void*, std::size_t) -> void* { return nullptr; };
  make_kick(v, KickParams{});
  EXPECT_TRUE(v.empty());
  sample_memory = saved;
}

}  // namespace
}  // namespace thumpa
