#include "synth/types.h"

#include <cmath>

namespace thumpa {

Q31 q31_from_double(double value) {
  const double scaled = std::trunc(value * 2147483647.0);
  // Outside the 64-bit range the truncation has no value; such text stores 0.
  if (!(scaled > -9223372036854775808.0 && scaled < 9223372036854775808.0)) return 0;
  const auto wide = static_cast<std::int64_t>(scaled);
  return static_cast<Q31>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
}

}  // namespace thumpa
