#include "synth/filter.h"

#include <gtest/gtest.h>

#include "synth/sine_table.h"

namespace thumpa {
namespace {

class Filter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fill_sine_table(); }
};

TEST_F(Filter, CoefficientsOfTheDefaultResonances) {
  const FilterCoeffs hat = filter_coeffs(14000, 20);
  EXPECT_EQ(hat.W, 2141606100);
  EXPECT_EQ(hat.alpha, 107080305);
  EXPECT_EQ(hat.r, 2040403342);
  EXPECT_EQ(hat.r2, 1938662397);
  EXPECT_EQ(hat.rc, -839191581);

  const FilterCoeffs snare = filter_coeffs(1000, 4);
  EXPECT_EQ(snare.W, 152902300);
  EXPECT_EQ(snare.alpha, 38225575);
  EXPECT_EQ(snare.r, 2109258072);
}

TEST_F(Filter, WClampsToFullScaleFrom14039Hz) {
  EXPECT_LT(filter_coeffs(14038, 1).W, ONE);
  EXPECT_EQ(filter_coeffs(14039, 1).W, ONE);
  EXPECT_EQ(filter_coeffs(22049, 1).W, ONE);
}

TEST_F(Filter, NoiseBandGainAndFirstSample) {
  struct Case {
    std::int32_t f, q;
    Q31 gain;
  };
  for (const Case& c :
       {Case{14000, 20, 97604324}, Case{14000, 10, 195208649}, Case{1000, 4, 535682141}}) {
    EXPECT_EQ(NoiseBand(c.f, c.q, 0).gain, c.gain) << c.f << " Hz, q " << c.q;
  }
  NoiseBand closed(14000, 20, 0);
  EXPECT_EQ(closed.next(), 3598673);  // mul_q31(g, 16807 * 4711), unfiltered: no history yet
}

TEST_F(Filter, NoiseRemainderMatchesTheDivision) {
  for (std::int32_t v : {INT32_MIN, INT32_MIN + 1, INT32_MIN + 2, INT32_MIN + 3, -1, 0, 1, 4711,
                         INT32_MAX - 2, INT32_MAX - 1, INT32_MAX}) {
    EXPECT_EQ(noise_rem(v), v % NOISE_MODULUS) << v;
  }
}

TEST_F(Filter, GuardedValuesNeverDivideByZero) {
  // Resonance 0 and negative read as 1, a noise band at 0 Hz reads as 1 Hz.
  EXPECT_EQ(filter_coeffs(1000, 0).alpha, filter_coeffs(1000, 1).alpha);
  EXPECT_EQ(filter_coeffs(1000, -7).alpha, filter_coeffs(1000, 1).alpha);
  EXPECT_EQ(NoiseBand(0, 4, 0).gain, NoiseBand(1, 4, 0).gain);
  EXPECT_EQ(filter_coeffs(-5, 4).rc, filter_coeffs(0, 4).rc);
  EXPECT_EQ(filter_coeffs(1000000, 4).rc, filter_coeffs(22049, 4).rc);
}

TEST_F(Filter, NoiseGainFitsIn32BitsForEveryServedFrequency) {
  // q >= 1 keeps the gain's quotient inside 32 bits, so its clamp never changes a value.
  for (std::int32_t f = 1; f <= MAX_TABLE_FREQ; ++f) {
    const FilterCoeffs c = filter_coeffs(f, 1);
    const std::int64_t numerator =
        std::int64_t{mul_q31(sat32(std::int64_t{ONE} - c.r), SineTable[f])} * ONE;
    const std::int64_t quotient =
        numerator / sat32(std::int64_t{ONE} - SineTable[f + COSINE_OFFSET]);
    ASSERT_LE(quotient, INT32_MAX) << f;
    ASSERT_GE(quotient, INT32_MIN) << f;
  }
}

}  // namespace
}  // namespace thumpa
