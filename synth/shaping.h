// Shaping a rendered voice in place: peak normalisation and three distortion modes.
#pragma once

#include "synth/types.h"

namespace thumpa {

// Scales the voice so that its largest magnitude reaches full scale (2^31 - 2 or 2^31 - 1).
// A sample of exactly -2^31 is not counted in the peak and stays -2^31: it already is full
// negative scale, and scaling it further could only overflow.
void normalize_voice(VoiceBuffer& voice);

// Distorts every sample beyond the threshold level: 1 Zogdist (logarithmic fold), 2 Apdist
// (hard clip), 3 Surdist (square-law knee). Any other mode leaves the voice alone.
void distort_voice(VoiceBuffer& voice, std::int32_t mode, Q31 level);

// The editors' shaping of a voice: normalise before, distort, normalise after, as its
// shaping slot says.
void shape_voice(VoiceId id, VoiceBuffer& voice, const ShapingSettings& shaping);

}  // namespace thumpa
