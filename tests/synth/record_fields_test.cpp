// The field tables by name, as thumpa-render's --set, the settings file and the editors find
// their fields: every name must reach its own member of the records and no other.
#include "synth/record_fields.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "synth/voices.h"

namespace thumpa {
namespace {

struct Expected {
  VoiceId voice;
  const char* name;
  std::function<std::int32_t&(BankParams&)> member;
};

TEST(RecordFields, EveryNameReachesItsOwnMember) {
  const Expected rows[] = {
      {VOICE_KICK, "sample_rate", [](BankParams & p) -> auto& {return p.kick.sample_rate;
}
}  // namespace
, {VOICE_KICK, "a_freq", [](BankParams& p) -> auto& {return p.kick.a_freq;
}  // namespace thumpa
}
, {VOICE_KICK, "a_decay", [](BankParams& p) -> auto& {return p.kick.a_decay;
}
}
, {VOICE_KICK, "start_freq", [](BankParams& p) -> auto& {return p.kick.start_freq;
}
}
, {VOICE_KICK, "stop_freq", [](BankParams& p) -> auto& {return p.kick.stop_freq;
}
}
, {VOICE_KICK, "freq_decay", [](BankParams& p) -> auto& {return p.kick.freq_decay;
}
}
, {VOICE_KICK, "decay", [](BankParams& p) -> auto& {return p.kick.decay;
}
}
, {VOICE_KICK, "mix", [](BankParams& p) -> auto& {return p.kick.mix;
}
}
, {VOICE_SNARE, "sample_rate", [](BankParams& p) -> auto& {return p.snare.sample_rate;
}
}
, {VOICE_SNARE, "noise_decay", [](BankParams& p) -> auto& {return p.snare.noise_decay;
}
}
, {VOICE_SNARE, "freq1", [](BankParams& p) -> auto& {return p.snare.freq1;
}
}
, {VOICE_SNARE, "decay", [](BankParams& p) -> auto& {return p.snare.decay;
}
}
, {VOICE_SNARE, "freq2", [](BankParams& p) -> auto& {return p.snare.freq2;
}
}
, {VOICE_SNARE, "filter_freq", [](BankParams& p) -> auto& {return p.snare.filter_freq;
}
}
, {VOICE_SNARE, "resonance", [](BankParams& p) -> auto& {return p.snare.resonance;
}
}
, {VOICE_SNARE, "mix", [](BankParams& p) -> auto& {return p.snare.mix;
}
}
, {VOICE_CLOSED_HAT, "sample_rate", [](BankParams& p) -> auto& {return p.closed.sample_rate;
}
}
, {VOICE_CLOSED_HAT, "filter_freq", [](BankParams& p) -> auto& {return p.closed.filter_freq;
}
}
, {VOICE_CLOSED_HAT, "resonance", [](BankParams& p) -> auto& {return p.closed.resonance;
}
}
, {VOICE_CLOSED_HAT, "decay", [](BankParams& p) -> auto& {return p.closed.decay;
}
}
, {VOICE_OPEN_HAT, "sample_rate", [](BankParams& p) -> auto& {return p.open.sample_rate;
}
}
, {VOICE_OPEN_HAT, "filter_freq", [](BankParams& p) -> auto& {return p.open.filter_freq;
}
}
, {VOICE_OPEN_HAT, "resonance", [](BankParams& p) -> auto& {return p.open.resonance;
}
}
, {VOICE_OPEN_HAT, "decay", [](BankParams& p) -> auto& {return p.open.decay;
}
}
, {VOICE_BLIPP, "sample_rate", [](BankParams& p) -> auto& {return p.blipp.sample_rate;
}
}
, {VOICE_BLIPP, "start_freq", [](BankParams& p) -> auto& {return p.blipp.start_freq;
}
}
, {VOICE_BLIPP, "stop_freq", [](BankParams& p) -> auto& {return p.blipp.stop_freq;
}
}
, {VOICE_BLIPP, "freq_decay", [](BankParams& p) -> auto& {return p.blipp.freq_decay;
}
}
, {VOICE_BLIPP, "decay", [](BankParams& p) -> auto& {return p.blipp.decay;
}
}
, {VOICE_CLAVE, "sample_rate", [](BankParams& p) -> auto& {return p.clave.sample_rate;
}
}
, {VOICE_CLAVE, "freq", [](BankParams& p) -> auto& {return p.clave.freq;
}
}
, {VOICE_CLAVE, "decay", [](BankParams& p) -> auto& {return p.clave.decay;
}
}
, {VOICE_COWBELL, "sample_rate", [](BankParams& p) -> auto& {return p.cowbell.sample_rate;
}
}
, {VOICE_COWBELL, "freq", [](BankParams& p) -> auto& {return p.cowbell.freq;
}
}
, {VOICE_COWBELL, "decay", [](BankParams& p) -> auto& {return p.cowbell.decay;
}
}
, {VOICE_COWBELL, "dist", [](BankParams& p) -> auto& {return p.cowbell.dist;
}
}
, {VOICE_OSCILLATOR, "sample_rate", [](BankParams& p) -> auto& {return p.osc.sample_rate;
}
}
, {VOICE_OSCILLATOR, "freq", [](BankParams& p) -> auto& {return p.osc.freq;
}
}
, {VOICE_OSCILLATOR, "wave", [](BankParams& p) -> auto& {return p.osc.wave;
}
}
, {VOICE_OSCILLATOR, "pulse_width", [](BankParams& p) -> auto& {return p.osc.pulse_width;
}
}
, {VOICE_OSCILLATOR, "dca_attack", [](BankParams& p) -> auto& {return p.osc.dca_attack;
}
}
, {VOICE_OSCILLATOR, "dca_sustain", [](BankParams& p) -> auto& {return p.osc.dca_sustain;
}
}
, {VOICE_OSCILLATOR, "dca_release", [](BankParams& p) -> auto& {return p.osc.dca_release;
}
}
, {VOICE_OSCILLATOR, "dcf_attack", [](BankParams& p) -> auto& {return p.osc.dcf_attack;
}
}
, {VOICE_OSCILLATOR, "dcf_release", [](BankParams& p) -> auto& {return p.osc.dcf_release;
}
}
, {VOICE_OSCILLATOR, "freq_hi", [](BankParams& p) -> auto& {return p.osc.freq_hi;
}
}
, {VOICE_OSCILLATOR, "freq_lo", [](BankParams& p) -> auto& {return p.osc.freq_lo;
}
}
, {VOICE_OSCILLATOR, "resonance", [](BankParams& p) -> auto& {return p.osc.resonance;
}
}
,
}
;
BankParams p;
std::set<std::pair<int, std::string>> listed;
for (const Expected& row : rows) {
  SCOPED_TRACE(std::string(voice_facts(row.voice).cli_name) + "." + row.name);
  const ParamField* field = find_field(row.voice, row.name);
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(&field->in(p, row.voice), &row.member(p));
  listed.insert({row.voice, row.name});
}
std::size_t fields = 0;
for (VoiceId v : MENU_ORDER) fields += record_fields(v).size();
EXPECT_EQ(fields, listed.size());  // no field of the tables is missing from the rows above

// The shaping settings of a voice are those of its own slot.
const std::pair<const char*, std::int32_t (ShapingSettings::*)[SHAPING_SLOTS]> shaping[] = {
    {"dist_type", &ShapingSettings::dist_type},
    {"dist_level", &ShapingSettings::dist_level},
    {"normalize_before", &ShapingSettings::normalize_before},
    {"normalize_after", &ShapingSettings::normalize_after}};
for (VoiceId v : MENU_ORDER) {
  for (const auto& [name, member] : shaping) {
    ASSERT_NE(find_field(v, name), nullptr) << name;
    EXPECT_EQ(&find_field(v, name)->in(p, v), &(p.shaping.*member)[v]) << name;
  }
}
EXPECT_EQ(find_field(VOICE_KICK, "freq1"), nullptr);
EXPECT_EQ(find_field(static_cast<VoiceId>(7), "sample_rate"), nullptr);
}

// The captions the editors and the plugin's port names show, written out here: both read the
// field tables, so only a fixed list catches two captions swapped in a table. "" is no control.
TEST(RecordFields, EveryFieldHasItsCaption) {
  struct Caption {
    VoiceId voice;
    const char* name;
    const char* caption;
  };
  const Caption rows[] = {
      {VOICE_KICK, "sample_rate", ""},
      {VOICE_KICK, "a_freq", "AFreq"},
      {VOICE_KICK, "a_decay", "ADecay"},
      {VOICE_KICK, "start_freq", "Startfreq"},
      {VOICE_KICK, "stop_freq", "Stopfreq"},
      {VOICE_KICK, "freq_decay", "Freqdecay"},
      {VOICE_KICK, "decay", "Decay"},
      {VOICE_KICK, "mix", "Mix"},
      {VOICE_SNARE, "sample_rate", ""},
      {VOICE_SNARE, "noise_decay", "Noise decay"},
      {VOICE_SNARE, "freq1", "Freq1"},
      {VOICE_SNARE, "freq2", "Freq2"},
      {VOICE_SNARE, "decay", "Decay"},
      {VOICE_SNARE, "filter_freq", "Filterfreq"},
      {VOICE_SNARE, "resonance", "Resonance"},
      {VOICE_SNARE, "mix", "Mix"},
      {VOICE_CLOSED_HAT, "sample_rate", ""},
      {VOICE_CLOSED_HAT, "filter_freq", "Filterfreq"},
      {VOICE_CLOSED_HAT, "resonance", "Resonance"},
      {VOICE_CLOSED_HAT, "decay", "Decay"},
      {VOICE_OPEN_HAT, "sample_rate", ""},
      {VOICE_OPEN_HAT, "filter_freq", "Filterfreq"},
      {VOICE_OPEN_HAT, "resonance", "Resonance"},
      {VOICE_OPEN_HAT, "decay", "Decay"},
      {VOICE_BLIPP, "sample_rate", ""},
      {VOICE_BLIPP, "start_freq", "Startfreq"},
      {VOICE_BLIPP, "stop_freq", "Stopfreq"},
      {VOICE_BLIPP, "freq_decay", "Freqdecay"},
      {VOICE_BLIPP, "decay", "Decay"},
      {VOICE_CLAVE, "sample_rate", ""},
      {VOICE_CLAVE, "freq", "Freq"},
      {VOICE_CLAVE, "decay", "Decay"},
      {VOICE_COWBELL, "sample_rate", ""},
      {VOICE_COWBELL, "freq", "Freq"},
      {VOICE_COWBELL, "decay", "Decay"},
      {VOICE_COWBELL, "dist", "Dist"},
      {VOICE_OSCILLATOR, "sample_rate", ""},
      {VOICE_OSCILLATOR, "freq", "Freq"},
      {VOICE_OSCILLATOR, "wave", "Wave"},
      {VOICE_OSCILLATOR, "pulse_width", "Pulse Width"},
      {VOICE_OSCILLATOR, "dca_attack", "DCA Attack"},
      {VOICE_OSCILLATOR, "dca_sustain", "Sustain"},
      {VOICE_OSCILLATOR, "dca_release", "DCA Release"},
      {VOICE_OSCILLATOR, "dcf_attack", "DCF Attack"},
      {VOICE_OSCILLATOR, "dcf_release", "DCF Release"},
      {VOICE_OSCILLATOR, "freq_hi", "Freq Hi"},
      {VOICE_OSCILLATOR, "freq_lo", "Freq Lo"},
      {VOICE_OSCILLATOR, "resonance", "Resonance"},
  };
  const std::pair<const char*, const char*> shaping[] = {
      {"dist_level", "Dist Level"},
      {"dist_type", "Dist Type"},
      {"normalize_before", "Normalize before dist"},
      {"normalize_after", "Normalize after dist"},
  };
  std::size_t fields = 0;
  for (VoiceId v : MENU_ORDER) fields += record_fields(v).size();
  EXPECT_EQ(std::size(rows), fields);
  const auto caption = [](VoiceId voice, const char* name) {
    const ParamField* field = find_field(voice, name);
    return std::string(field == nullptr         ? "(no such field)"
                       : field->control.caption ? field->control.caption
                                                : "");
  };
  for (const Caption& row : rows) {
    EXPECT_EQ(caption(row.voice, row.name), row.caption)
        << voice_facts(row.voice).cli_name << "." << row.name;
  }
  for (VoiceId v : MENU_ORDER) {
    for (const auto& [name, text] : shaping) {
      EXPECT_EQ(caption(v, name), text) << voice_facts(v).cli_name << "." << name;
    }
  }
}

}  // namespace
}  // namespace thumpa
