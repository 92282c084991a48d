// The two building blocks that the filtered voices share: the coefficients of a two-pole
// resonance, and band-limited noise from a resonant filter driven by a fixed noise generator.
#pragma once

#include <cstdint>

#include "synth/fixed_point.h"
#include "synth/guards.h"

namespace thumpa {

struct FilterCoeffs {
  Q31 W;      // about pi * f / 44100, half the phase step
  Q31 alpha;  // W / q: the pole's distance from the unit circle
  Q31 r;      // pole radius
  Q31 r2;     // r squared
  Q31 rc;     // r times the cosine of the phase step
};

// Coefficients of a resonance at f Hz with resonance divisor q (larger q, narrower peak).
FilterCoeffs filter_coeffs(std::int32_t f, std::int32_t q);

inline constexpr std::int32_t NOISE_MODULUS = 2147483646;

// v rem 2147483646 with the sign of v, as the noise generator needs it. Only the five values
// nearest the ends of the 32-bit range reach the modulus, so two comparisons replace a
// division on the noise voices' critical path.
inline constexpr std::int32_t noise_rem(std::int32_t v) {
  if (v >= NOISE_MODULUS) return v - NOISE_MODULUS;
  if (v <= -NOISE_MODULUS) return v + NOISE_MODULUS;
  return v;
}

// White noise through a two-pole resonance with a double zero at 0 Hz, gain close to 1 at the
// resonance. The noise generator starts at 4711 on every set-up, so a voice's noise repeats.
struct NoiseBand {
  Q31 gain;
  Q31 rc, r2;
  std::int32_t v = 4711;  // noise generator value
  std::int32_t n1, n2 = 0;
  std::int32_t y1 = 0, y2 = 0;

  // Defined here so that a generator's band never escapes it: its state then stays in
  // registers in the sample loop instead of making a round trip through memory per sample.
  NoiseBand(std::int32_t f, std::int32_t q, std::int32_t p0) : n1(p0) {
    f = clamp_noise_freq(f);
    const FilterCoeffs c = filter_coeffs(f, q);
    rc = c.rc;
    r2 = c.r2;
    const std::int64_t numerator =
        std::int64_t{mul_q31(sat32(std::int64_t{ONE} - c.r), table_sin(f))} * ONE;
    const std::int64_t denominator = sat32(std::int64_t{ONE} - table_cos(f));
    gain = sat32(numerator / denominator);
  }

  std::int32_t next() {
    const std::int32_t t =
        static_cast<std::int32_t>(std::uint32_t{16807} * static_cast<std::uint32_t>(noise_rem(v)));
    v = mul_q31(gain, t);
    const std::int32_t n = v;
    const std::int32_t y = sat32(2 * (std::int64_t{mul_q31(rc, y1)} - mul_hi32(r2, y2)) + n -
                                 2 * std::int64_t{n1} + n2);
    n2 = n1;
    n1 = n;
    y2 = y1;
    y1 = y;
    return y;
  }
};

}  // namespace thumpa
