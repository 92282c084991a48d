// Oscillator: one saw, square, triangle or pulse oscillator into a resonant two-pole band-pass
// whose centre follows its own attack/release envelope (DCF), scaled by an amplitude envelope
// with attack, sustain time and release (DCA). Envelopes and the filter update every 45 samples.
#include "synth/filter.h"
#include "synth/generators.h"
#include "synth/guards.h"
#include "synth/render.h"

namespace thumpa {

namespace {

constexpr std::int32_t UPDATE_INTERVAL = 45;
constexpr std::int32_t FIRST_UPDATE_COUNTER = 441;  // any value above 44 updates at sample 0
constexpr std::uint32_t HALF_PERIOD = 0x7FFFFFFF;
constexpr std::int32_t QUARTER_PERIOD = 0x3FFFFFFF;

std::int32_t oscillator_value(std::int32_t wave, std::uint32_t phase, std::uint32_t saw,
                              std::uint32_t pulse_width) {
  switch (wave) {
    case WAVE_SAW:
      return static_cast<std::int32_t>(saw);
    case WAVE_SQUARE:
      return phase > HALF_PERIOD ? ONE : -ONE;
    case WAVE_TRIANGLE: {
      const std::uint32_t rising = phase <= HALF_PERIOD ? phase : 0u - phase;
      return sat_double(std::int64_t{rising} - QUARTER_PERIOD);
    }
    case WAVE_PULSE:
      return phase < pulse_width ? ONE : -ONE;
    default:
      return 0;
  }
}

}  // namespace

void make_oscillator(VoiceBuffer& voice, const OscParams& p) {
  const std::uint32_t rate = static_cast<std::uint32_t>(p.sample_rate);
  const std::uint32_t inc =
      static_cast<std::uint32_t>(p.freq) * (0xFFFFFFFFu / (rate == 0 ? 1 : rate));
  const Q31 kA = wrap_sub(ONE, p.dca_attack);
  const Q31 kR = wrap_sub(ONE, p.dca_release);
  const Q31 fA = wrap_sub(ONE, p.dcf_attack);
  const Q31 fR = wrap_sub(ONE, p.dcf_release);
  const std::int32_t span = wrap_sub(p.freq_hi, p.freq_lo);
  const std::uint32_t sustain = static_cast<std::uint32_t>(p.dca_sustain);
  const std::uint32_t pulse_width = static_cast<std::uint32_t>(p.pulse_width);

  std::uint32_t phase = 0;
  std::uint32_t saw = ONE;
  Q31 amp = 0xFFFF;
  Q31 flt = 0;
  bool attack = true;
  std::int32_t j = FIRST_UPDATE_COUNTER;
  std::int32_t y1 = 0, y2 = 0, gx1 = 0;
  Q31 g = 0, rc = 0, r2 = 0;

  render_voice(voice, [&](std::uint32_t n) {
    phase += inc;
    saw -= inc;
    const std::int32_t x = oscillator_value(p.wave, phase, saw, pulse_width);
    if (j >= UPDATE_INTERVAL) {
      j = 0;
      if (attack) {  // the distance from full scale shrinks by the attack factor
        amp = wrap_add(wrap_sub(mul_q31(amp, kA), kA), ONE);
        flt = wrap_add(wrap_sub(mul_q31(flt, fA), fA), ONE);
      } else {
        amp = mul_q31(amp, kR);
        flt = mul_q31(flt, fR);
      }
      if (n > sustain) attack = false;
      const std::int32_t fc = clamp_table_freq(add_sat(mul_q31(span, flt), p.freq_lo));
      const FilterCoeffs c = filter_coeffs(fc, p.resonance);
      rc = c.rc;
      r2 = c.r2;
      g = sat_double(mul_q31(wrap_sub(ONE, c.r), table_sin(fc)));
    }
    const std::int32_t gx = mul_q31(x, g);
    // The oscillator reaches the filter one sample late (gx1).
    const std::int32_t y = sat32(2 * (std::int64_t{mul_q31(rc, y1)} - mul_hi32(r2, y2)) + gx1);
    y2 = y1;
    y1 = y;
    gx1 = gx;
    ++j;
    return mul_q31(y, amp);
  });
}

}  // namespace thumpa
