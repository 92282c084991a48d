// The editor forms without widgets: what each voice's form shows and how it is written back.
#include "editors/voice_forms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "synth/voices.h"

namespace thumpa {
namespace {

constexpr VoiceId DRUM_VOICES[] = {VOICE_BLIPP,    VOICE_CLAVE, VOICE_CLOSED_HAT, VOICE_KICK,
                                   VOICE_OPEN_HAT, VOICE_SNARE, VOICE_COWBELL};

constexpr std::int32_t HALF = 1073741823;  // 0.5 as the editors store it

const VoiceForm& form_of(VoiceId voice) {
  const VoiceForm* form = voice_form(voice);
  EXPECT_NE(form, nullptr);
  return *form;
}

TEST(VoiceForms, EveryDrumEditIsEitherBoundOnceOrShowsADash) {
  for (VoiceId voice : DRUM_VOICES) {
    const VoiceForm& form = form_of(voice);
    std::vector<int> bound;
    for (const FieldBinding& b : form.fields) bound.push_back(b.id);
    EXPECT_TRUE(std::is_sorted(bound.begin(), bound.end()))
        << voice_facts(voice).editor_title;  // control order
    std::set<int> all(bound.begin(), bound.end());
    all.insert(form.unused_edits.begin(), form.unused_edits.end());
    EXPECT_EQ(all.size(), bound.size() + form.unused_edits.size())
        << voice_facts(voice).editor_title;
    EXPECT_EQ(all, std::set<int>(DRUM_EDIT_IDS.begin(), DRUM_EDIT_IDS.end()))
        << voice_facts(voice).editor_title;
    // A caption names every bound field among the six captioned edits, and only those.
    int named = 0;
    for (const auto& [id, caption] : form.captions) named += caption[0] != '\0';
    EXPECT_EQ(form.captions.size(), 6u);
    EXPECT_EQ(named, std::count_if(bound.begin(), bound.end(), [](int id) { return id != 1058; }))
        << voice_facts(voice).editor_title;
  }
  EXPECT_EQ(voice_form(static_cast<VoiceId>(7)), nullptr);
}

TEST(VoiceForms, KickDefaultsShowInTheirFormats) {
  const FormState state = fill_form(form_of(VOICE_KICK), BankParams{});
  const std::map<int, std::string> expected = {
      {1036, "1000"},    {1037, "300"},     {1038, "60"},     {1039, "0.05000"},
      {1040, "0.09000"}, {1041, "0.00080"}, {1058, "0.3000"}, {1047, "0.5000"}};
  EXPECT_EQ(state.texts, expected);
  const std::map<int, bool> checked = {{1045, true},  {1042, false}, {1043, false},
                                       {1044, false}, {1055, true},  {1056, false}};
  EXPECT_EQ(state.checked, checked);
}

TEST(VoiceForms, SnareFieldsGoToTheirOwnRecordFields) {
  BankParams params;
  FormState state = fill_form(form_of(VOICE_SNARE), params);
  state.texts[1036] = "0.5";
  state.texts[1037] = "351";
  state.texts[1038] = "302";
  state.texts[1039] = "0.25";
  state.texts[1040] = "1001";
  state.texts[1041] = "5";
  state.texts[1058] = "1.5";
  write_back(form_of(VOICE_SNARE), state, params);
  SnareParams expected;
  expected.noise_decay = 1073741823;
  expected.freq1 = 351;
  expected.freq2 = 302;
  expected.decay = 536870911;
  expected.filter_freq = 1001;
  expected.resonance = 5;
  expected.mix = -1073741826;
  EXPECT_EQ(params.snare, expected);
  BankParams others;
  others.snare = expected;
  EXPECT_EQ(params, others);  // nothing else moved
}

TEST(VoiceForms, OscillatorFieldsGoToTheirOwnRecordFields) {
  BankParams params;
  FormState state = fill_form(form_of(VOICE_OSCILLATOR), params);
  state.texts = {{1076, "61"},  {1075, "-0.5"},  {1074, "221"},  {1073, "1101"},
                 {1051, "9"},   {1054, "0.5"},   {1058, "0.25"}, {1077, "1"},
                 {1052, "abc"}, {1050, "0.125"}, {1047, ""}};
  state.checked[ID_PULSE] = false;
  state.checked[ID_SAW] = true;
  write_back(form_of(VOICE_OSCILLATOR), state, params);
  OscParams expected;
  expected.freq = 61;
  expected.pulse_width = -1073741823;
  expected.freq_hi = 221;
  expected.freq_lo = 1101;
  expected.resonance = 9;
  expected.dcf_attack = 1073741823;
  expected.dcf_release = 536870911;
  expected.wave = WAVE_SAW;
  // dca_attack 1 and sustain "abc" are refused; the distortion level is left as it was.
  expected.dca_release = 268435455;
  EXPECT_EQ(params.osc, expected);
  EXPECT_EQ(params.shaping.dist_level[VOICE_OSCILLATOR], 1073741823);
  EXPECT_EQ(fill_form(form_of(VOICE_OSCILLATOR), params).texts.at(1075), "1.50000");
}

// Each edit control writes its own record field and nothing else (the Snare and the Oscillator
// have their own tests above).
TEST(VoiceForms, EveryEditWritesItsOwnFieldOnly) {
  struct Row {
    VoiceId voice;
    int id;
    const char* text;
    std::function<std::int32_t&(BankParams&)> member;
    std::int32_t value;
  };
  const Row rows[] = {
      {VOICE_BLIPP, 1036, "777", [](BankParams & p) -> auto& {return p.blipp.start_freq;
}
, 777
}  // namespace
, {VOICE_BLIPP, 1037, "777", [](BankParams& p) -> auto& {return p.blipp.stop_freq;
}  // namespace thumpa
, 777
}
, {VOICE_BLIPP, 1038, "0.5", [](BankParams& p) -> auto& {return p.blipp.freq_decay;
}
, HALF
}
, {VOICE_BLIPP, 1039, "0.5", [](BankParams& p) -> auto& {return p.blipp.decay;
}
, HALF
}
, {VOICE_CLAVE, 1036, "777", [](BankParams& p) -> auto& {return p.clave.freq;
}
, 777
}
, {VOICE_CLAVE, 1037, "0.5", [](BankParams& p) -> auto& {return p.clave.decay;
}
, HALF
}
, {VOICE_CLOSED_HAT, 1036, "777", [](BankParams& p) -> auto& {return p.closed.filter_freq;
}
, 777
}
, {VOICE_CLOSED_HAT, 1037, "777", [](BankParams& p) -> auto& {return p.closed.resonance;
}
, 777
}
, {VOICE_CLOSED_HAT, 1038, "0.5", [](BankParams& p) -> auto& {return p.closed.decay;
}
, HALF
}
, {VOICE_OPEN_HAT, 1036, "777", [](BankParams& p) -> auto& {return p.open.filter_freq;
}
, 777
}
, {VOICE_OPEN_HAT, 1037, "777", [](BankParams& p) -> auto& {return p.open.resonance;
}
, 777
}
, {VOICE_OPEN_HAT, 1038, "0.5", [](BankParams& p) -> auto& {return p.open.decay;
}
, HALF
}
, {VOICE_KICK, 1036, "777", [](BankParams& p) -> auto& {return p.kick.a_freq;
}
, 777
}
, {VOICE_KICK, 1037, "777", [](BankParams& p) -> auto& {return p.kick.start_freq;
}
, 777
}
, {VOICE_KICK, 1038, "777", [](BankParams& p) -> auto& {return p.kick.stop_freq;
}
, 777
}
, {VOICE_KICK, 1039, "0.5", [](BankParams& p) -> auto& {return p.kick.a_decay;
}
, HALF
}
, {VOICE_KICK, 1040, "0.5", [](BankParams& p) -> auto& {return p.kick.freq_decay;
}
, HALF
}
, {VOICE_KICK, 1041, "0.5", [](BankParams& p) -> auto& {return p.kick.decay;
}
, HALF
}
, {VOICE_KICK, 1058, "0.5", [](BankParams& p) -> auto& {return p.kick.mix;
}
, HALF
}
, {VOICE_COWBELL, 1036, "777", [](BankParams& p) -> auto& {return p.cowbell.freq;
}
, 777
}
, {VOICE_COWBELL, 1037, "0.5", [](BankParams& p) -> auto& {return p.cowbell.decay;
}
, HALF
}
, {VOICE_COWBELL, 1038, "7.9", [](BankParams& p) -> auto& {return p.cowbell.dist;
}
, 7
}
,
}
;
for (const Row& row : rows) {
  BankParams params;
  FormState state = fill_form(form_of(row.voice), params);
  state.texts[row.id] = row.text;
  write_back(form_of(row.voice), state, params);
  BankParams expected;
  row.member(expected) = row.value;
  EXPECT_EQ(params, expected) << voice_facts(row.voice).editor_title << " " << row.id;
}
}

TEST(VoiceForms, ClaveDashFieldsAreNeverRead) {
  BankParams params;
  FormState state = fill_form(form_of(VOICE_CLAVE), params);
  for (int id : {1038, 1039, 1040, 1041, 1058}) {
    EXPECT_EQ(state.texts.at(id), "-");
    state.texts[id] = "0.5";
  }
  write_back(form_of(VOICE_CLAVE), state, params);
  EXPECT_EQ(params, BankParams{});
}

struct DistCase {
  std::set<int> checked;
  std::int32_t before;
  std::int32_t after;
};

TEST(VoiceForms, DistortionButtonsInTheirPrecedenceAndNoneKeepsTheValue) {
  const DistCase cases[] = {
      {{}, 0, 0},
      {{}, 3, 3},
      {{ID_NO_DIST}, 2, DIST_NONE},
      {{ID_APDIST}, -1, DIST_AP},
      {{ID_ZOGDIST}, -1, DIST_ZOG},
      {{ID_SURDIST}, -1, DIST_SUR},
      {{ID_NO_DIST, ID_SURDIST}, 0, DIST_NONE},
      {{ID_ZOGDIST, ID_APDIST}, 0, DIST_AP},
      {{ID_ZOGDIST, ID_SURDIST}, 0, DIST_ZOG},
  };
  for (const DistCase& c : cases) {
    BankParams params;
    params.shaping.dist_type[VOICE_COWBELL] = c.before;
    FormState state;
    for (int id : c.checked) state.checked[id] = true;
    write_back(form_of(VOICE_COWBELL), state, params);
    EXPECT_EQ(params.shaping.dist_type[VOICE_COWBELL], c.after) << c.before;
  }
}

TEST(VoiceForms, ValuesWithoutAButtonOpenWithNoneChecked) {
  BankParams params;
  params.shaping.dist_type[VOICE_OSCILLATOR] = 0;
  params.osc.wave = WAVE_SQUARE;
  const FormState state = fill_form(form_of(VOICE_OSCILLATOR), params);
  for (int id : {ID_NO_DIST, ID_APDIST, ID_ZOGDIST, ID_SURDIST, ID_TRI, ID_SAW, ID_PULSE}) {
    EXPECT_FALSE(state.checked.at(id)) << id;
  }
  write_back(form_of(VOICE_OSCILLATOR), state, params);
  EXPECT_EQ(params.shaping.dist_type[VOICE_OSCILLATOR], 0);
  EXPECT_EQ(params.osc.wave, WAVE_SQUARE);
}

TEST(VoiceForms, ShapingIsWrittenIntoTheVoicesOwnSlotOnly) {
  BankParams params;
  FormState state = fill_form(form_of(VOICE_KICK), params);
  state.checked[ID_NORMALIZE_BEFORE] = false;
  state.checked[ID_NORMALIZE_AFTER] = true;
  state.checked[ID_NO_DIST] = false;
  state.checked[ID_SURDIST] = true;
  state.texts[ID_DIST_LEVEL] = "0.25";
  write_back(form_of(VOICE_KICK), state, params);
  ShapingSettings expected;
  expected.normalize_before[VOICE_KICK] = 0;
  expected.normalize_after[VOICE_KICK] = 1;
  expected.dist_type[VOICE_KICK] = DIST_SUR;
  expected.dist_level[VOICE_KICK] = 536870911;
  EXPECT_EQ(params.shaping, expected);
}

}  // namespace
}  // namespace thumpa
