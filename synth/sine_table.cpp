#include "synth/sine_table.h"

#include <cmath>

namespace thumpa {

Q31 SineTable[SINE_TABLE_SIZE];

void fill_sine_table() {
  // 2 * pi / 44100 with pi taken as 3.141592654: the table's values depend on this exact double.
  constexpr double step = 0.00014247585732426305;
  for (std::int32_t i = 0; i < SINE_TABLE_SIZE; ++i) {
    SineTable[i] = static_cast<Q31>(std::sin(i * step) * 2147483647.0);
  }
}

}  // namespace thumpa
