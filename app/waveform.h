// The waveform view's arithmetic: where each pixel column's sample lands, and the zoom and
// pan rules. Pure functions, so the view only draws what they compute.
#pragma once

#include <QPoint>
#include <cstdint>
#include <vector>

#include "synth/types.h"

namespace thumpa {

inline constexpr std::int32_t INITIAL_ZOOM = 4096;  // 1/256 sample per column: 16 per column
inline constexpr std::int32_t MIN_ZOOM = 16;
inline constexpr std::int32_t MAX_ZOOM = 65536;

// The row of a sample in a client area whose half height is `half`, counted down from the
// top: h = s / 65536 (toward zero), u = h + 32767, row = (u * half as unsigned 32 bits) >> 15.
// Larger values are drawn lower. The one value -2147483648 (h = -32768) would wrap far below
// the area; it is drawn on the row of -32767, the top row, with the other most negative values.
std::uint32_t sample_row(Q31 s, std::uint32_t half);

// The polyline of the view: one point per pixel column, column i at sample
// view_start + ((i * zoom) >> 8), from column 0 while the column is inside the width and its
// sample inside the voice. Empty when view_start is not below the sample count.
std::vector<QPoint> waveform_points(const VoiceBuffer& voice, std::int32_t view_start,
                                    std::int32_t zoom, std::uint32_t width, std::uint32_t height);

std::int32_t zoomed_in(std::int32_t zoom);
std::int32_t zoomed_out(std::int32_t zoom);

// Half of the samples one window width shows: (client_width * zoom) >> 9, unsigned 32 bits.
std::uint32_t pan_step(std::uint32_t client_width, std::int32_t zoom);
std::int32_t panned_left(std::int32_t view_start, std::uint32_t client_width, std::int32_t zoom);
// Moves right only while the view start stays below count - step - 1; otherwise unchanged.
std::int32_t panned_right(std::int32_t view_start, std::uint32_t count, std::uint32_t client_width,
                          std::int32_t zoom);

}  // namespace thumpa
