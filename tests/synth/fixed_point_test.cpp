#include "synth/fixed_point.h"

#include <gtest/gtest.h>

#include "synth/sine_table.h"

namespace thumpa {
namespace {

TEST(FixedPoint, ProductsShiftTowardMinusInfinity) {
  struct Case {
    std::int32_t a, b, q31, hi32;
  };
  const Case cases[] = {
      {ONE, ONE, 2147483646, 1073741823},
      {INT32_MIN, INT32_MIN, INT32_MIN, 1073741824},  // the one product that does not fit
      {-1, 1, -1, -1},                                // floor, not toward zero
      {ONE, 65535, 65534, 32767},
      {0x40000000, 0x40000000, 0x20000000, 0x10000000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mul_q31(c.a, c.b), c.q31) << c.a << " * " << c.b;
    EXPECT_EQ(mul_hi32(c.a, c.b), c.hi32) << c.a << " * " << c.b;
  }
}

TEST(FixedPoint, SaturationClampsToThe32BitRange) {
  EXPECT_EQ(sat32(std::int64_t{INT32_MAX} + 1), INT32_MAX);
  EXPECT_EQ(sat32(std::int64_t{INT32_MIN} - 1), INT32_MIN);
  EXPECT_EQ(sat32(-5), -5);
  EXPECT_EQ(add_sat(ONE, 1), ONE);
  EXPECT_EQ(add_sat(INT32_MIN, -1), INT32_MIN);
  EXPECT_EQ(sat_double(1073741823), 2147483646);
  EXPECT_EQ(sat_double(1073741824), INT32_MAX);
  EXPECT_EQ(sat_double(-1073741824), INT32_MIN);
  EXPECT_EQ(sat_double(-1073741825), INT32_MIN);
  EXPECT_EQ(sat_double(INT64_MAX), INT32_MAX);  // never overflows, whatever it is given
  EXPECT_EQ(sat_double(INT64_MIN), INT32_MIN);
}

TEST(FixedPoint, TextToQ31MultipliesByOneLessThan2To31AndKeepsLow32Bits) {
  struct Case {
    double value;
    Q31 expected;
  };
  const Case cases[] = {
      {0.05, 107374182}, {0.5, 1073741823},   {1.0, 2147483647},  {0.7, 1503238552},
      {0.0001, 214748},  {-0.5, -1073741823}, {1.5, -1073741826}, {9.99, -21474847},
      {2.0, -2},         {1e300, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(q31_from_double(c.value), c.expected) << c.value;
}

TEST(SineTable, HoldsTheDescribedEntries) {
  fill_sine_table();
  const std::pair<int, Q31> entries[] = {
      {0, 0},          {1, 305964}, {100, 30595422},  {11025, 2147483647},
      {22049, 305963}, {22050, 0},  {22051, -305965}, {33074, -2147483625},
  };
  for (auto [i, v] : entries) EXPECT_EQ(SineTable[i], v) << "entry " << i;
}

}  // namespace
}  // namespace thumpa
