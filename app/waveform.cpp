#include "app/waveform.h"

namespace thumpa {

std::uint32_t sample_row(Q31 s, std::uint32_t half) {
  std::int32_t h = s / 65536;
  if (h < -32767) h = -32767;
  const auto u = static_cast<std::uint32_t>(h + 32767);
  return (u * half) >> 15;
}

std::vector<QPoint> waveform_points(const VoiceBuffer& voice, std::int32_t view_start,
                                    std::int32_t zoom, std::uint32_t width, std::uint32_t height) {
  std::vector<QPoint> points;
  const std::uint32_t count = voice.samples ? voice.count : 0;
  const auto start = static_cast<std::uint32_t>(view_start);
  if (view_start < 0 || start >= count) return points;
  const std::uint32_t half = height / 2;
  const auto step = static_cast<std::uint32_t>(zoom);
  auto sample_at = [&](std::uint32_t column) { return start + ((column * step) >> 8); };
  for (std::uint32_t i = 0; i < width; ++i) {
    const std::uint32_t index = sample_at(i);
    // Guards against the column product wrapping on absurd widths; never true otherwise.
    if (index >= count) break;
    points.emplace_back(static_cast<int>(i),
                        static_cast<int>(sample_row(voice.samples[index], half)));
    if (sample_at(i + 1) >= count) break;
  }
  return points;
}

std::int32_t zoomed_in(std::int32_t zoom) {
  const std::int32_t z = zoom / 2;
  return z <= MIN_ZOOM ? MIN_ZOOM : z;
}

std::int32_t zoomed_out(std::int32_t zoom) {
  // Widened so that a zoom outside the range cannot overflow; the result is clamped anyway.
  const std::int64_t z = static_cast<std::int64_t>(zoom) * 2;
  return z >= MAX_ZOOM ? MAX_ZOOM : static_cast<std::int32_t>(z);
}

std::uint32_t pan_step(std::uint32_t client_width, std::int32_t zoom) {
  return (client_width * static_cast<std::uint32_t>(zoom)) >> 9;
}

std::int32_t panned_left(std::int32_t view_start, std::uint32_t client_width, std::int32_t zoom) {
  const std::int64_t start = static_cast<std::int64_t>(view_start) - pan_step(client_width, zoom);
  return start < 0 ? 0 : static_cast<std::int32_t>(start);
}

std::int32_t panned_right(std::int32_t view_start, std::uint32_t count, std::uint32_t client_width,
                          std::int32_t zoom) {
  const std::uint32_t step = pan_step(client_width, zoom);
  // The limit is compared as signed 32-bit values, as the view start is.
  const auto limit = static_cast<std::int32_t>(count - step - 1);
  if (view_start < limit)
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(view_start) + step);
  return view_start;
}

}  // namespace thumpa
