// Samples, voices and the parameter records of the eight voices, with their defaults.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace thumpa {

// Signed 32-bit fixed point: v stands for v / 2^31.
using Q31 = std::int32_t;

inline constexpr Q31 ONE = 2147483647;  // 2^31 - 1, the largest Q31 value
inline constexpr std::int32_t SAMPLE_RATE = 44100;
inline constexpr std::uint32_t MAX_VOICE_SAMPLES = 84000;

// Text to Q31: the number times 2^31 - 1, truncated toward zero to 64 bits, low 32 bits kept.
// Values of 1.0 and more therefore wrap (1.5 gives -1073741826). Non-finite or huge values,
// whose truncation would not fit 64 bits, give 0.
Q31 q31_from_double(double value);

struct FreeDeleter {
  void operator()(Q31* p) const { std::free(p); }
};
using SampleArray = std::unique_ptr<Q31[], FreeDeleter>;

// One rendered voice: 44100 mono Q31 samples per second. Empty is count 0 and no samples.
struct VoiceBuffer {
  std::uint32_t count = 0;
  SampleArray samples;

  bool empty() const { return samples == nullptr; }
  void clear() {
    samples.reset();
    count = 0;
  }
};

enum VoiceId : std::int32_t {
  VOICE_BLIPP = 0,
  VOICE_CLAVE = 1,
  VOICE_CLOSED_HAT = 2,
  VOICE_KICK = 3,
  VOICE_OPEN_HAT = 4,
  VOICE_SNARE = 5,
  VOICE_COWBELL = 6,
  VOICE_OSCILLATOR = 8,
};
inline constexpr int SHAPING_SLOTS = 16;

struct KickParams {
  std::int32_t sample_rate = SAMPLE_RATE;
  std::int32_t a_freq = 1000;
  Q31 a_decay = 107374182;  // 0.05
  std::int32_t start_freq = 300;
  std::int32_t stop_freq = 60;
  Q31 freq_decay = 193273528;  // 0.09
  Q31 decay = 1717986;         // 0.0008
  Q31 mix = 644245094;         // 0.3
  bool operator==(const KickParams&) const = default;
};

struct SnareParams {
  std::int32_t sample_rate = SAMPLE_RATE;
  Q31 noise_decay = 64424509;  // 0.03
  std::int32_t freq1 = 350;
  Q31 decay = 6442450;  // 0.003
  std::int32_t freq2 = 300;
  std::int32_t filter_freq = 1000;
  std::int32_t resonance = 4;
  Q31 mix = 1503238552;  // 0.7
  bool operator==(const SnareParams&) const = default;
};

// One record each for the closed and the open hi-hat.
struct HatParams {
  std::int32_t sample_rate = SAMPLE_RATE;
  std::int32_t filter_freq = 14000;
  std::int32_t resonance = 20;
  Q31 decay = 107374182;  // 0.05
  bool operator==(const HatParams&) const = default;
};
inline constexpr HatParams CLOSED_HAT_DEFAULTS{SAMPLE_RATE, 14000, 20, 107374182};
inline constexpr HatParams OPEN_HAT_DEFAULTS{SAMPLE_RATE, 14000, 10, 21474836};  // decay 0.01

struct BlippParams {
  std::int32_t sample_rate = SAMPLE_RATE;
  std::int32_t start_freq = 10000;
  std::int32_t stop_freq = 50;
  Q31 freq_decay = 193273528;  // 0.09
  Q31 decay = 214748;          // 0.0001
  bool operator==(const BlippParams&) const = default;
};

struct ClaveParams {
  std::int32_t sample_rate = SAMPLE_RATE;
  std::int32_t freq = 2000;
  Q31 decay = 8589934;  // 0.004
  bool operator==(const ClaveParams&) const = default;
};

struct CowbellParams {
  std::int32_t sample_rate = SAMPLE_RATE;
  std::int32_t freq = 800;
  Q31 decay = 2147483;     // 0.001
  std::int32_t dist = 16;  // plain divisor of the impulses of partials 2 and 4
  bool operator==(const CowbellParams&) const = default;
};

enum Wave : std::int32_t { WAVE_SAW = 1, WAVE_SQUARE = 2, WAVE_TRIANGLE = 3, WAVE_PULSE = 4 };

struct OscParams {
  std::int32_t sample_rate = SAMPLE_RATE;
  std::int32_t freq = 60;
  std::int32_t wave = WAVE_PULSE;
  Q31 pulse_width = 536870911;  // 0.25 (a 12.5 % duty cycle)
  Q31 dca_attack = 1932735282;  // 0.9
  std::int32_t dca_sustain = 22050;
  Q31 dca_release = 107374182;  // 0.05
  Q31 dcf_attack = 42949672;    // 0.02
  Q31 dcf_release = 19327352;   // 0.009
  std::int32_t freq_hi = 220;
  std::int32_t freq_lo = 1100;
  std::int32_t resonance = 8;
  bool operator==(const OscParams&) const = default;
};

enum DistType : std::int32_t { DIST_NONE = -1, DIST_ZOG = 1, DIST_AP = 2, DIST_SUR = 3 };

// Shaping of each voice slot, indexed by VoiceId. Slots 7 and 9 to 15 belong to no voice.
struct ShapingSettings {
  std::int32_t dist_type[SHAPING_SLOTS];
  Q31 dist_level[SHAPING_SLOTS];
  std::int32_t normalize_before[SHAPING_SLOTS];
  std::int32_t normalize_after[SHAPING_SLOTS];

  ShapingSettings() {
    for (int i = 0; i < SHAPING_SLOTS; ++i) {
      dist_type[i] = DIST_NONE;
      dist_level[i] = 1073741823;  // 0.5
      normalize_before[i] = 1;
      normalize_after[i] = 0;
    }
  }
  bool operator==(const ShapingSettings&) const = default;
};

// Every parameter of the program: what the settings file stores and "Reset" restores.
struct BankParams {
  KickParams kick;
  SnareParams snare;
  HatParams closed = CLOSED_HAT_DEFAULTS;
  HatParams open = OPEN_HAT_DEFAULTS;
  BlippParams blipp;
  ClaveParams clave;
  CowbellParams cowbell;
  OscParams osc;
  ShapingSettings shaping;
  bool operator==(const BankParams&) const = default;
};

}  // namespace thumpa
