// Golden values of the eight voices rendered from their default records, before normalisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "synth/filter.h"
#include "synth/generators.h"
#include "synth/glide.h"
#include "synth/sine_table.h"

namespace thumpa {
namespace {

std::vector<Q31> samples_of(const VoiceBuffer& v) {
  return v.samples ? std::vector<Q31>(v.samples.get(), v.samples.get() + v.count)
                   : std::vector<Q31>{};
}

template <class Params>
std::vector<Q31> render(void (*make)(VoiceBuffer&, const Params&), const Params& p) {
  VoiceBuffer v;
  make(v, p);
  return samples_of(v);
}

struct Golden {
  const char* name;
  std::function<std::vector<Q31>()> render;
  std::size_t length;
  std::vector<Q31> first;
  std::vector<Q31> last_ten;  // empty where none is given
  std::optional<Q31> before_last_ten;
  std::optional<Q31> largest;
  std::optional<Q31> smallest;
  std::optional<Q31> largest_magnitude;  // the Blipp and the Oscillator peak on their negative side
};

class Voices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fill_sine_table(); }
};

TEST_F(Voices, DefaultRecordsRenderTheGoldenValues) {
  const Golden goldens[] = {
      {"kick",
       [] { return render(make_kick, KickParams{}); },
       8690,
       {240979758, 456411103, 644636966},
       {57278, 45721, 34179, 22652, 11143, -350, -11823, -23277, -34712, -46125},
       68850,
       1202527163,
       -630023295,
       {}},
      {"snare",
       [] { return render(make_snare, SnareParams{}); },
       10892,
       {145088436, 369361241, 273944853},
       {-9639, 26711, -60519, -62932, -18630, 60014, 32089, 10331, 42028, 54303},
       -94050,
       1699768888,
       -1668604291,
       {}},
      {"closed hi-hat",
       [] { return render(make_hat, CLOSED_HAT_DEFAULTS); },
       7005,
       {3589250, 6062333, -66475135},
       {-11238, -62081, 12174, 38889, -28305, 1261, 35813, -39433, -27907, 56369},
       141291,
       718314120,
       -710778647,
       {}},
      {"open hi-hat",
       [] { return render(make_hat, OPEN_HAT_DEFAULTS); },
       37407,
       {7187924, 44529301, -7136654},
       {50087, 55537, -58101, -21043, 58285, -3986, -51639, 51755, -35283, 16243},
       -132793,
       1495682912,
       -1654621541,
       {}},
      {"blipp",
       [] { return render(make_blipp, BlippParams{}); },
       72616,
       {265578074},
       {},
       {},
       {},
       {},
       1839016450},
      {"clave",
       [] { return render(make_clave, ClaveParams{}); },
       2596,
       {603681518, 1154041688, 1607288668},
       {},
       {},
       2090833992,
       {},
       {}},
      {"cowbell",
       [] { return render(make_cowbell, CowbellParams{}); },
       5666,
       {178035094},
       {},
       {},
       920977712,
       {},
       {}},
      {"oscillator",
       [] { return render(make_oscillator, OscParams{}); },
       28128,
       {0},
       {},
       {},
       {},
       {},
       1262627813},
  };
  for (const Golden& g : goldens) {
    SCOPED_TRACE(g.name);
    const std::vector<Q31> s = g.render();
    ASSERT_EQ(s.size(), g.length);
    for (std::size_t i = 0; i < g.first.size(); ++i) {
      EXPECT_EQ(s[i], g.first[i]) << "sample " << i;
    }
    if (!g.last_ten.empty()) {
      EXPECT_EQ(std::vector<Q31>(s.end() - 10, s.end()), g.last_ten);
      EXPECT_EQ(s[s.size() - 11], *g.before_last_ten);
    }
    if (g.largest) {
      EXPECT_EQ(*std::max_element(s.begin(), s.end()), *g.largest);
    }
    if (g.smallest) {
      EXPECT_EQ(*std::min_element(s.begin(), s.end()), *g.smallest);
    }
    if (g.largest_magnitude) {
      const auto [lo, hi] = std::minmax_element(s.begin(), s.end());
      EXPECT_EQ(std::max<std::int64_t>(-std::int64_t{*lo}, *hi), *g.largest_magnitude);
    }
  }
}

TEST_F(Voices, ClaveLargestSampleIsTheFifth) {
  const std::vector<Q31> s = render(make_clave, ClaveParams{});
  EXPECT_EQ(std::max_element(s.begin(), s.end()) - s.begin(), 4);
}

// The pitches a glide takes at its updates over the first `samples` samples.
std::vector<std::int32_t> glide_pitches(PitchGlide glide, std::uint32_t samples) {
  std::vector<std::int32_t> pitches;
  for (std::uint32_t n = 0; n < samples; ++n) {
    if (std::int32_t f; glide.next_sample(f)) pitches.push_back(f);
  }
  return pitches;
}

TEST_F(Voices, GlidesMoveEvery45SamplesTowardTheStopFrequency) {
  const KickParams kick;
  const auto body = glide_pitches({kick.start_freq, kick.stop_freq, kick.freq_decay}, 8690);
  EXPECT_EQ(body.size(), 194u);  // one update per 45 samples of the 8690-sample Kick
  EXPECT_EQ(
      std::vector<std::int32_t>(body.begin(), body.begin() + 12),
      (std::vector<std::int32_t>{299, 278, 258, 240, 224, 209, 196, 184, 172, 162, 153, 145}));
  EXPECT_EQ(body.back(), 60);

  const BlippParams blipp;
  const auto tone = glide_pitches({blipp.start_freq, blipp.stop_freq, blipp.freq_decay}, 72616);
  EXPECT_EQ(std::vector<std::int32_t>(tone.begin(), tone.begin() + 4),
            (std::vector<std::int32_t>{9999, 9104, 8289, 7548}));
  EXPECT_EQ(tone.back(), 50);

  // A rising glide starts at the start frequency itself; freq_decay ONE jumps to the stop.
  EXPECT_EQ(glide_pitches({100, 200, blipp.freq_decay}, 1), std::vector<std::int32_t>{100});
  EXPECT_EQ(glide_pitches({1000, 50, ONE}, 46), (std::vector<std::int32_t>{999, 50}));
}

TEST_F(Voices, OscillatorWaveShapesChangeTheLength) {
  for (auto [wave, length] : {std::pair{1, 27367u}, {2, 28351u}, {3, 26276u}, {4, 28128u}}) {
    OscParams p;
    p.wave = wave;
    EXPECT_EQ(render(make_oscillator, p).size(), length) << "wave " << wave;
  }
}

TEST_F(Voices, SilentStartsGiveExactlyTenZeroSamples) {
  const std::vector<Q31> ten_zeros(10, 0);
  BlippParams blipp;
  blipp.start_freq = 0;
  EXPECT_EQ(render(make_blipp, blipp), ten_zeros);
  ClaveParams clave;
  clave.freq = 0;
  EXPECT_EQ(render(make_clave, clave), ten_zeros);
  CowbellParams cowbell;
  cowbell.freq = 0;
  EXPECT_EQ(render(make_cowbell, cowbell), ten_zeros);
  for (std::int32_t wave : {0, 5, -1}) {
    OscParams osc;
    osc.wave = wave;
    EXPECT_EQ(render(make_oscillator, osc), ten_zeros) << "wave " << wave;
  }
}

TEST_F(Voices, UndampedVoicesRunToTheFullLength) {
  BlippParams blipp;
  blipp.decay = 0;
  EXPECT_EQ(render(make_blipp, blipp).size(), MAX_VOICE_SAMPLES);
  for (std::int32_t f : {1, 11025, 22049}) {
    ClaveParams clave;
    clave.decay = 0;
    clave.freq = f;
    EXPECT_EQ(render(make_clave, clave).size(), MAX_VOICE_SAMPLES) << f;
  }
  for (std::int32_t f : {1, 800, 7349}) {
    CowbellParams cowbell;
    cowbell.decay = 0;
    cowbell.freq = f;
    EXPECT_EQ(render(make_cowbell, cowbell).size(), MAX_VOICE_SAMPLES) << f;
  }
}

TEST_F(Voices, ClaveAtAQuarterOfTheSampleRateAlternates) {
  ClaveParams clave;
  clave.freq = 11025;
  const std::vector<Q31> s = render(make_clave, clave);
  EXPECT_EQ(std::vector<Q31>(s.begin(), s.begin() + 5),
            (std::vector<Q31>{2147483646, 0, -2130338134, 0, 2113329514}));
}

TEST_F(Voices, KickWithMixZeroIsTheAttackResonatorAlone) {
  KickParams kick;
  kick.mix = 0;
  const std::vector<Q31> s = render(make_kick, kick);
  // Each output is mul_q31(ONE, yA): positive values one lower, others unchanged. The first
  // yA is SIN(1000) rounded down to even.
  EXPECT_EQ(s[0], (SineTable[1000] & ~1) - 1);
}

TEST_F(Voices, CowbellWithDistOneClampsTheSum) {
  CowbellParams cowbell;
  cowbell.dist = 1;
  const std::vector<Q31> s = render(make_cowbell, cowbell);
  EXPECT_TRUE(std::find(s.begin(), s.end(), ONE) != s.end() ||
              std::find(s.begin(), s.end(), INT32_MIN) != s.end());
}

TEST_F(Voices, OscillatorSecondSampleShowsTheFirstUpdate) {
  // The first update puts the filter at 1082 Hz (1100 + mul_q31(-880, 42949672)) and the
  // amplitude at 1932741835; the pulse starts high and reaches the filter one sample late.
  const FilterCoeffs c = filter_coeffs(1082, 8);
  const Q31 g = sat_double(mul_q31(ONE - c.r, SineTable[1082]));
  const std::vector<Q31> s = render(make_oscillator, OscParams{});
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[1], mul_q31(mul_q31(ONE, g), 1932741835));
}

TEST_F(Voices, OscillatorEnvelopeEdges) {
  OscParams no_attack;
  no_attack.dca_attack = 0;
  const std::vector<Q31> quiet = render(make_oscillator, no_attack);
  EXPECT_EQ(quiet.size(), 10u);
  for (Q31 s : quiet) EXPECT_LE(std::abs(s), 65534);
}

TEST_F(Voices, SameRecordSameSamples) {
  EXPECT_EQ(render(make_hat, OPEN_HAT_DEFAULTS), render(make_hat, OPEN_HAT_DEFAULTS));
  EXPECT_EQ(render(make_snare, SnareParams{}), render(make_snare, SnareParams{}));
}

}  // namespace
}  // namespace thumpa
