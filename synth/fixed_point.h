// Fixed-point helpers shared by every generator. Products are exact in 64 bits and shifted
// arithmetically (toward minus infinity); sums that may overflow are clamped or wrap by design.
#pragma once

#include <cstdint>

#include "synth/types.h"

namespace thumpa {

inline constexpr std::int32_t low32(std::int64_t x) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(x)));
}

// Plain 32-bit addition and subtraction, wrapping modulo 2^32.
inline constexpr std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline constexpr std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// Q31 product: (a * b) >> 31, low 32 bits. (-2^31) * (-2^31) gives -2^31.
inline constexpr Q31 mul_q31(std::int32_t a, std::int32_t b) {
  return low32((std::int64_t{a} * b) >> 31);
}

// Upper half of the 64-bit product: a Q31 product halved.
inline constexpr std::int32_t mul_hi32(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>((std::int64_t{a} * b) >> 32);
}

inline constexpr std::int32_t sat32(std::int64_t x) {
  if (x > INT32_MAX) return INT32_MAX;
  if (x < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(x);
}

inline constexpr std::int32_t add_sat(std::int32_t a, std::int32_t b) {
  return sat32(std::int64_t{a} + b);
}

// sat32(2 * s), decided before doubling so that no 64-bit value overflows.
inline constexpr std::int32_t sat_double(std::int64_t s) {
  if (s >= (std::int64_t{1} << 30)) return INT32_MAX;
  if (s < -(std::int64_t{1} << 30)) return INT32_MIN;
  return static_cast<std::int32_t>(2 * s);
}

// A sample is quiet when it lies within one step of the 16-bit output that is played.
inline constexpr bool is_quiet(Q31 s) {
  return s > -65535 && s < 65535;
}

}  // namespace thumpa
