#include "synth/shaping.h"

#include <cmath>

#include "synth/fixed_point.h"

namespace thumpa {

void normalize_voice(VoiceBuffer& voice) {
  if (voice.samples == nullptr) return;
  Q31* s = voice.samples.get();
  std::int32_t peak = 0;
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    // The magnitude as a 32-bit value: -2^31 has none that fits and stays negative.
    const std::uint32_t u = static_cast<std::uint32_t>(s[i]);
    const std::int32_t m = static_cast<std::int32_t>(s[i] < 0 ? 0u - u : u);
    if (m > peak) peak = m;
  }
  if (peak == 0) return;
  const std::int64_t factor = INT64_MAX / peak;
  constexpr std::int64_t divisor = 4294967298;  // 2^32 + 2
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    if (s[i] == INT32_MIN) continue;
    s[i] = low32(s[i] * factor / divisor);
  }
}

namespace {

// trunc(ln(x) * scale) to 64 bits, low 32 bits kept; the logarithm of x <= 0 counts as 0.
std::int32_t log_fold(std::int64_t x, double scale) {
  if (x <= 0) return 0;
  return low32(static_cast<std::int64_t>(std::log(static_cast<double>(x)) * scale));
}

std::int32_t square_excess(std::int32_t d) {
  return static_cast<std::int32_t>(std::int64_t{d} * d / 2147483648);
}

}  // namespace

void distort_voice(VoiceBuffer& voice, std::int32_t mode, Q31 level) {
  if (voice.samples == nullptr || voice.count == 0) return;
  if (mode != DIST_ZOG && mode != DIST_AP && mode != DIST_SUR) return;
  constexpr double fold_scale = 214748364.7;            // 2147483647 / 10
  const std::int32_t minus_level = wrap_sub(0, level);  // -L in 32 bits, as compared
  Q31* s = voice.samples.get();
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    std::int32_t v = s[i];
    switch (mode) {
      case DIST_ZOG:
        if (v > level) v = log_fold(v, fold_scale);
        if (v < minus_level) v = log_fold(-std::int64_t{v}, -fold_scale);
        break;
      case DIST_AP:
        if (v > level) v = level;
        if (v < minus_level) v = minus_level;
        break;
      case DIST_SUR:
        if (v > level) v = wrap_add(level, square_excess(wrap_sub(v, level)));
        if (v < minus_level) {
          const std::int32_t e = wrap_sub(0, wrap_add(v, level));
          v = wrap_sub(minus_level, square_excess(e));
        }
        break;
    }
    s[i] = v;
  }
}

void shape_voice(VoiceId id, VoiceBuffer& voice, const ShapingSettings& shaping) {
  if (shaping.normalize_before[id] != 0) normalize_voice(voice);
  if (shaping.dist_type[id] != DIST_NONE)
    distort_voice(voice, shaping.dist_type[id], shaping.dist_level[id]);
  if (shaping.normalize_after[id] != 0) normalize_voice(voice);
}

}  // namespace thumpa
