// The plugin as a host sees it: loaded with lilv from the built bundle, fed atom sequences of
// MIDI note-ons, run in blocks, its worker driven by the test. Its output must be the engine's
// playback values, frame for frame, and run() must never allocate.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/port-groups/port-groups.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/velocity.h"
#include "editors/dialog_templates.h"
#include "editors/voice_forms.h"
#include "files/settings_file.h"
#include "files/wav_writer.h"
#include "synth/bank_render.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"
#include "tests/lv2/counting_new.h"

namespace thumpa {
namespace {

constexpr int KICK_NOTE = 36;

struct VoiceNote {
  VoiceId voice;
  std::uint8_t note;
};
// The first note of each voice plays all eight; the others are its second notes.
constexpr VoiceNote VOICE_NOTES[] = {
    {VOICE_KICK, 36},    {VOICE_SNARE, 38}, {VOICE_CLOSED_HAT, 42}, {VOICE_OPEN_HAT, 46},
    {VOICE_COWBELL, 56}, {VOICE_CLAVE, 75}, {VOICE_BLIPP, 50},      {VOICE_OSCILLATOR, 47},
    {VOICE_KICK, 35},    {VOICE_SNARE, 40}, {VOICE_CLOSED_HAT, 44},
};
constexpr std::size_t FIRST_NOTES = 8;

VoiceId voice_of_note(std::uint8_t note) {
  for (const VoiceNote& v : VOICE_NOTES) {
    if (v.note == note) return v.voice;
  }
  ADD_FAILURE() << "note " << int{note} << " plays no voice";
  return VOICE_KICK;
}

// URIDs for the plugin and for lilv's state code.
struct UridMap {
  std::vector<std::string> uris;
  LV2_URID_Map map{this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
                     auto& uris = static_cast<UridMap*>(h)->uris;
                     for (std::size_t i = 0; i < uris.size(); ++i) {
                       if (uris[i] == uri) return static_cast<LV2_URID>(i + 1);
                     }
                     uris.emplace_back(uri);
                     return static_cast<LV2_URID>(uris.size());
                   }};
  LV2_URID_Unmap unmap{this, [](LV2_URID_Unmap_Handle h, LV2_URID urid) -> const char* {
                         auto& uris = static_cast<UridMap*>(h)->uris;
                         return urid >= 1 && urid <= uris.size() ? uris[urid - 1].c_str() : nullptr;
                       }};
  LV2_URID id(const char* uri) { return map.map(this, uri); }
};

// Worker messages waiting for the test to pass them on; fixed places, so that run() and
// work_response() calling into the host allocate nothing either.
struct MessageQueue {
  struct Message {
    std::uint32_t size = 0;
    alignas(8) std::uint8_t data[2048];
  };
  std::array<Message, 64> messages;
  std::size_t count = 0;
  int refuse = 0;  // messages still to refuse, as a host with a full queue does

  LV2_Worker_Status push(std::uint32_t size, const void* data) {
    if (refuse > 0) {
      --refuse;
      return LV2_WORKER_ERR_NO_SPACE;
    }
    if (count == messages.size() || size > sizeof(Message::data)) return LV2_WORKER_ERR_NO_SPACE;
    messages[count].size = size;
    std::memcpy(messages[count].data, data, size);
    ++count;
    return LV2_WORKER_SUCCESS;
  }
};

struct Frames {
  std::vector<float> left, right;
  std::array<std::vector<float>, VOICE_ID_COUNT> voices;  // each voice's own output
};

// The plugin's two switches of how notes play.
struct Playing {
  bool velocity = true;
  bool choke = true;
};

struct NoteAt {
  std::uint32_t frame;  // from the start of the run
  std::uint8_t note;
  std::uint8_t channel = 9;
  std::uint8_t velocity = 127;
};

class Lv2Host : public ::testing::Test {
 protected:
  static inline LilvWorld* world = nullptr;
  static inline const LilvPlugin* plugin = nullptr;
  static inline UridMap urids;

  static void SetUpTestSuite() {
    fill_sine_table();
    world = lilv_world_new();
    LilvNode* bundle = lilv_new_file_uri(world, nullptr, THUMPA_LV2_BUNDLE "/");
    lilv_world_load_bundle(world, bundle);
    lilv_node_free(bundle);
    LilvNode* uri = lilv_new_uri(world, "urn:thumpa:lv2:drums");
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    lilv_node_free(uri);
  }
  static void TearDownTestSuite() { lilv_world_free(world); }

  // One instance with its port buffers and worker queues.
  struct Instance {
    LilvInstance* lilv = nullptr;
    const LV2_Worker_Interface* worker = nullptr;
    MessageQueue requests, responses;
    LV2_Worker_Schedule schedule{};
    LV2_Log_Log log_sink{};
    LV2_Feature map_feature{}, unmap_feature{}, schedule_feature{}, log_feature{};
    const LV2_Feature* features[5] = {};
    std::vector<float> controls;
    std::vector<std::uint64_t> sequence = std::vector<std::uint64_t>(4096);
    std::vector<float> left = std::vector<float>(1024), right = std::vector<float>(1024);
    std::vector<std::uint64_t> notify = std::vector<std::uint64_t>(512);
    std::array<std::vector<float>, VOICE_ID_COUNT> voice_out;
    std::vector<std::string> log;  // what the plugin told the host's log

    ~Instance() {
      // A well-behaved host finishes the work it accepted before it frees the instance.
      while (lilv != nullptr && (requests.count > 0 || responses.count > 0)) work(*this);
      if (lilv != nullptr) {
        lilv_instance_deactivate(lilv);
        lilv_instance_free(lilv);
      }
    }
  };

  std::unique_ptr<Instance> make(double rate = 44100) {
    auto in = std::make_unique<Instance>();
    in->schedule = {&in->requests, [](LV2_Worker_Schedule_Handle h, uint32_t size, const void* d) {
                      return static_cast<MessageQueue*>(h)->push(size, d);
                    }};
    in->map_feature = {LV2_URID__map, &urids.map};
    in->unmap_feature = {LV2_URID__unmap, &urids.unmap};
    in->schedule_feature = {LV2_WORKER__schedule, &in->schedule};
    in->features[0] = &in->map_feature;
    in->features[1] = &in->unmap_feature;
    in->features[2] = &in->schedule_feature;
    in->log_sink = {&in->log, log_printf, log_vprintf};
    in->log_feature = {LV2_LOG__log, &in->log_sink};
    in->features[3] = &in->log_feature;
    in->lilv = lilv_plugin_instantiate(plugin, rate, in->features);
    if (in->lilv == nullptr) return nullptr;
    in->worker = static_cast<const LV2_Worker_Interface*>(
        lilv_instance_get_extension_data(in->lilv, LV2_WORKER__interface));
    // Every control at the default its description gives.
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    std::vector<float> defaults(ports);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    in->controls = defaults;
    for (std::uint32_t i = 3; i < ports; ++i) {
      lilv_instance_connect_port(in->lilv, i, &in->controls[i]);
    }
    lilv_instance_connect_port(in->lilv, port("midi_in"), in->sequence.data());
    lilv_instance_connect_port(in->lilv, port("out_left"), in->left.data());
    lilv_instance_connect_port(in->lilv, port("out_right"), in->right.data());
    lilv_instance_connect_port(in->lilv, port("notify"), in->notify.data());
    for (VoiceId voice : MENU_ORDER) {
      in->voice_out[voice].resize(in->left.size());
      lilv_instance_connect_port(in->lilv, port(voice_facts(voice).cli_name),
                                 in->voice_out[voice].data());
    }
    lilv_instance_activate(in->lilv);
    return in;
  }

  static int log_vprintf(LV2_Log_Handle h, LV2_URID, const char* format, va_list args) {
    char text[1024];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    static_cast<std::vector<std::string>*>(h)->emplace_back(text);
    return n;
  }
  static int log_printf(LV2_Log_Handle h, LV2_URID type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = log_vprintf(h, type, format, args);
    va_end(args);
    return n;
  }

  // One run() of the plugin, its notify port's capacity given as a host gives it.
  static void run(Instance& in, std::uint32_t frames) {
    auto* notify = reinterpret_cast<LV2_Atom*>(in.notify.data());
    notify->size =
        static_cast<std::uint32_t>(in.notify.size() * sizeof(std::uint64_t) - sizeof(LV2_Atom));
    notify->type = 0;
    lilv_instance_run(in.lilv, frames);
  }

  static std::uint32_t port(const char* symbol) {
    LilvNode* s = lilv_new_string(world, symbol);
    const LilvPort* p = lilv_plugin_get_port_by_symbol(plugin, s);
    lilv_node_free(s);
    EXPECT_NE(p, nullptr) << symbol;
    return p != nullptr ? lilv_port_get_index(plugin, p) : 0;
  }

  static void set(Instance& in, const char* symbol, float value) {
    in.controls[port(symbol)] = value;
  }

  // The host's worker thread, one round trip: every request worked, every answer delivered.
  static void work(Instance& in) {
    work_requests(in);
    deliver_answers(in);
  }

  static void work_requests(Instance& in) {
    for (std::size_t i = 0; i < in.requests.count; ++i) {
      const auto& m = in.requests.messages[i];
      in.worker->work(
          lilv_instance_get_handle(in.lilv),
          [](LV2_Worker_Respond_Handle h, uint32_t size, const void* d) {
            return static_cast<MessageQueue*>(h)->push(size, d);
          },
          &in.responses, m.size, m.data);
    }
    in.requests.count = 0;
  }

  static void deliver_answers(Instance& in) {
    counting_allocations = true;
    for (std::size_t i = 0; i < in.responses.count; ++i) {
      const auto& m = in.responses.messages[i];
      in.worker->work_response(lilv_instance_get_handle(in.lilv), m.size, m.data);
    }
    counting_allocations = false;
    in.responses.count = 0;
    EXPECT_EQ(allocations_counted.exchange(0), 0) << "work_response allocated";
  }

  // The sequence of note-ons a host hands a block of `n` frames from `start`, written at `to`.
  static void write_notes(std::uint64_t* to, std::uint32_t start, std::uint32_t n,
                          const std::vector<NoteAt>& notes) {
    auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(to);
    seq->atom = {sizeof(LV2_Atom_Sequence_Body), urids.id(LV2_ATOM__Sequence)};
    seq->body = {0, 0};
    for (const NoteAt& note : notes) {
      if (note.frame < start || note.frame >= start + n) continue;
      std::uint8_t* at = reinterpret_cast<std::uint8_t*>(to) + sizeof(LV2_Atom) + seq->atom.size;
      LV2_Atom_Event head{};
      head.time.frames = note.frame - start;
      head.body = {3, urids.id(LV2_MIDI__MidiEvent)};
      const std::uint8_t midi[3] = {static_cast<std::uint8_t>(0x90 | note.channel), note.note,
                                    note.velocity};
      std::memcpy(at, &head, sizeof head);
      std::memcpy(at + sizeof head, midi, sizeof midi);
      seq->atom.size += lv2_atom_pad_size(sizeof(LV2_Atom_Event) + 3);
    }
  }

  // Runs `total` frames in blocks, with the notes at their frames; a worker round trip after
  // each block when asked to.
  static Frames play(Instance& in, std::uint32_t total, std::uint32_t block,
                     const std::vector<NoteAt>& notes, bool work_after_each_block = false) {
    Frames out;
    for (std::uint32_t start = 0; start < total; start += block) {
      const std::uint32_t n = std::min(block, total - start);
      write_notes(in.sequence.data(), start, n, notes);
      counting_allocations = true;
      run(in, n);
      counting_allocations = false;
      EXPECT_EQ(allocations_counted.exchange(0), 0) << "run() allocated in the block at " << start;
      out.left.insert(out.left.end(), in.left.begin(), in.left.begin() + n);
      out.right.insert(out.right.end(), in.right.begin(), in.right.begin() + n);
      for (VoiceId voice : MENU_ORDER) {
        const auto& alone = in.voice_out[voice];
        out.voices[voice].insert(out.voices[voice].end(), alone.begin(), alone.begin() + n);
      }
      if (work_after_each_block) work(in);
    }
    return out;
  }

  // A patch message of the kit on midi_in for the next run(): a patch:Set of the path, or a
  // patch:Get when there is none.
  static void write_kit_message(Instance& in, const char* path) {
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &urids.map);
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(in.sequence.data());
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(sequence),
                              in.sequence.size() * sizeof(std::uint64_t));
    LV2_Atom_Forge_Frame events, set;
    lv2_atom_forge_sequence_head(&forge, &events, 0);
    lv2_atom_forge_frame_time(&forge, 0);
    lv2_atom_forge_object(&forge, &set, 0, urids.id(path ? LV2_PATCH__Set : LV2_PATCH__Get));
    lv2_atom_forge_key(&forge, urids.id(LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, urids.id("urn:thumpa:lv2:drums#kit"));
    if (path != nullptr) {
      lv2_atom_forge_key(&forge, urids.id(LV2_PATCH__value));
      lv2_atom_forge_path(&forge, path, static_cast<std::uint32_t>(std::strlen(path)));
    }
    lv2_atom_forge_pop(&forge, &set);
    lv2_atom_forge_pop(&forge, &events);
  }

  static void clear_midi_in(Instance& in) {
    reinterpret_cast<LV2_Atom*>(in.sequence.data())->size = sizeof(LV2_Atom_Sequence_Body);
  }

  // A patch:Set of the kit parameter in one block, the worker's round trip, and one more block
  // in which the plugin can tell the host what it loaded.
  static void send_kit(Instance& in, const std::string& path) {
    write_kit_message(in, path.c_str());
    run(in, 64);
    work(in);
    clear_midi_in(in);
    run(in, 64);
  }

  // The kit path the plugin answers a patch:Get with in the same block; none when it sends no
  // patch:Set of a path.
  static std::optional<std::string> ask_kit(Instance& in) {
    write_kit_message(in, nullptr);
    run(in, 64);
    clear_midi_in(in);
    const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(in.notify.data());
    LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
      const LV2_Atom* value = nullptr;
      lv2_atom_object_get(reinterpret_cast<const LV2_Atom_Object*>(&event->body),
                          urids.id(LV2_PATCH__value), &value, 0);
      if (value != nullptr && value->type == urids.id(LV2_ATOM__Path)) {
        return static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
      }
    }
    return std::nullopt;
  }

  // Whether the notify port's sequence of the last block holds a patch:Set naming the path.
  static bool notified(const Instance& in, const std::string& path) {
    const auto* sequence = reinterpret_cast<const LV2_Atom*>(in.notify.data());
    const std::string_view bytes(reinterpret_cast<const char*>(in.notify.data()),
                                 sizeof(LV2_Atom) + sequence->size);
    return sequence->size > sizeof(LV2_Atom_Sequence_Body) && bytes.find(path) != bytes.npos;
  }

  // The plugin's state with its control port values, as a host saves a project.
  static LilvState* save_state(Instance& in) {
    return lilv_state_new_from_instance(
        plugin, in.lilv, &urids.map, nullptr, nullptr, nullptr, nullptr,
        [](const char* symbol, void* user, uint32_t* size, uint32_t* type) -> const void* {
          *size = sizeof(float);
          *type = urids.id(LV2_ATOM__Float);
          return &static_cast<Instance*>(user)->controls[port(symbol)];
        },
        &in, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr);
  }

  static void restore_state(LilvState* state, Instance& in) {
    lilv_state_restore(
        state, in.lilv,
        [](const char* symbol, void* user, const void* value, uint32_t size, uint32_t) {
          if (size == sizeof(float))
            std::memcpy(&static_cast<Instance*>(user)->controls[port(symbol)], value, size);
        },
        &in, 0, in.features);
  }

  // The voice as the engine makes it and the program plays it: render, shaping, top 16 bits.
  static std::vector<std::int16_t> engine_voice(const BankParams& params, VoiceId voice) {
    VoiceBuffer rendered;
    render_voice(params, voice, rendered);
    shape_voice(voice, rendered, params.shaping);
    std::vector<std::int16_t> values;
    for (std::uint32_t i = 0; i < rendered.count; ++i) {
      values.push_back(static_cast<std::int16_t>(rendered.samples[i] >> 16));
    }
    return values;
  }

  // thumpa-render's raw samples of a voice, >> 16.
  static std::vector<std::int16_t> raw_render(const std::string& args) {
    const std::string command = std::string(THUMPA_RENDER) + " " + args + " --raw";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<std::int16_t> values;
    if (pipe == nullptr) return values;
    long sample = 0;
    while (std::fscanf(pipe, "%ld", &sample) == 1) {
      values.push_back(static_cast<std::int16_t>(static_cast<std::int32_t>(sample) >> 16));
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return values;
  }

  // One voice alone as the program's mixer would play it: from its latest note, at that note's
  // velocity, and for the open hi-hat only until a later closed one when the choke is on.
  static std::vector<std::int32_t> expected_voice(std::uint32_t total,
                                                  const std::vector<NoteAt>& notes, VoiceId voice,
                                                  const std::vector<std::int16_t>& values,
                                                  Playing how = {}) {
    std::vector<std::int32_t> out(total);
    for (std::uint32_t t = 0; t < total; ++t) {
      const NoteAt* latest = nullptr;
      bool choked = false;
      for (const NoteAt& n : notes) {  // in time order, as the plugin takes them
        if (n.frame > t) break;
        if (voice_of_note(n.note) == voice) {
          latest = &n;
          choked = false;
        } else if (how.choke && voice == VOICE_OPEN_HAT &&
                   voice_of_note(n.note) == VOICE_CLOSED_HAT) {
          choked = true;
        }
      }
      if (latest == nullptr || choked || t - latest->frame >= values.size()) continue;
      out[t] = scaled_value(values[t - latest->frame],
                            how.velocity ? velocity_gain(latest->velocity) : FULL_GAIN);
    }
    return out;
  }

  // Every voice summed and clamped, as the plugin's stereo outputs play them.
  static std::vector<float> expected_mix(std::uint32_t total, const std::vector<NoteAt>& notes,
                                         const std::map<VoiceId, std::vector<std::int16_t>>& vs,
                                         Playing how = {}) {
    std::vector<std::int32_t> sum(total);
    for (const auto& [voice, values] : vs) {
      const std::vector<std::int32_t> alone = expected_voice(total, notes, voice, values, how);
      for (std::uint32_t t = 0; t < total; ++t) sum[t] += alone[t];
    }
    std::vector<float> out(total);
    for (std::uint32_t t = 0; t < total; ++t) {
      out[t] = static_cast<float>(std::clamp(sum[t], -32768, 32767)) / 32768.0f;
    }
    return out;
  }

  static std::map<VoiceId, std::vector<std::int16_t>> engine_voices(const BankParams& params) {
    std::map<VoiceId, std::vector<std::int16_t>> vs;
    for (const VoiceNote& v : VOICE_NOTES) vs[v.voice] = engine_voice(params, v.voice);
    return vs;
  }

  static void expect_frames(const Frames& got, const std::vector<float>& expected,
                            const std::string& what) {
    ASSERT_EQ(got.left.size(), expected.size()) << what;
    for (std::size_t t = 0; t < expected.size(); ++t) {
      ASSERT_EQ(got.left[t], expected[t]) << what << ": frame " << t;
      ASSERT_EQ(got.right[t], expected[t]) << what << ": frame " << t;
    }
  }
};

TEST_F(Lv2Host, DefaultVoicesPlayBitExactAtTheirFrames) {
  // Notes on the first and last frame of a block, at block edges, two at one frame, a voice
  // restarted while it sounds, a note on another channel, all eight voices at once, notes at
  // velocities below 127, a closed hi-hat 100 frames into an open one, and (below) more notes
  // in one block than run() gathers before it plays.
  std::vector<NoteAt> notes = {
      {0, 36},     {1, 38, 9, 1}, {63, 42},    {64, 46},    {65, 56, 9, 64}, {1023, 75},
      {1024, 50},  {1025, 47},    {5000, 36},  {5000, 38},  {7000, 36, 0},   {7001, 35, 9, 100},
      {20000, 36}, {20000, 38},   {20000, 42}, {20000, 46}, {20000, 56},     {20000, 75},
      {20000, 50}, {20000, 47},   {20031, 40}, {20500, 44}, {30000, 46},     {30100, 42, 9, 90},
  };
  // 100 notes over 50 frames, two a frame, with open and closed hi-hats among them.
  constexpr std::uint8_t BURST[] = {36, 46, 38, 42, 56, 46, 75, 50, 47, 42};
  for (std::uint32_t i = 0; i < 100; ++i)
    notes.push_back({40000 + i / 2, BURST[i % 10], 9, static_cast<std::uint8_t>(127 - i)});
  const auto voices = engine_voices(BankParams{});
  ASSERT_GT(voices.at(VOICE_OPEN_HAT).size(), 200u);
  // By default, and with velocity and choke off.
  for (const auto& [block, how] : {std::pair{64u, Playing{}},
                                   {1024u, Playing{}},
                                   {1000u, Playing{}},
                                   {256u, Playing{false, false}}}) {
    auto in = make();
    ASSERT_NE(in, nullptr);
    set(*in, "velocity", how.velocity);
    set(*in, "choke", how.choke);
    const std::string what = "block " + std::to_string(block) + (how.choke ? "" : ", switches off");
    const Frames got = play(*in, 110000, block, notes);
    expect_frames(got, expected_mix(110000, notes, voices, how), what);
    for (const auto& [voice, values] : voices) {  // each voice alone, at its velocity
      const std::vector<std::int32_t> alone = expected_voice(110000, notes, voice, values, how);
      for (std::uint32_t t = 0; t < alone.size(); ++t) {
        ASSERT_EQ(got.voices[voice][t], alone[t] / 32768.0f)
            << what << ", voice " << voice << ", frame " << t;
      }
    }
  }
  // The first frames of the default Kick, as the program plays it.
  EXPECT_EQ(voices.at(VOICE_KICK)[0], 6566);
  EXPECT_EQ(voices.at(VOICE_KICK)[1], 12436);
  EXPECT_EQ(voices.at(VOICE_KICK)[2], 17565);
}

TEST_F(Lv2Host, ChangedControlIsHeardAfterOneWorkerRoundTrip) {
  // With normalisation off and no distortion the voice is thumpa-render's raw samples >> 16.
  struct Case {
    const char* voice;
    const char* port;
    float value;
    std::uint8_t note;
    const char* render_args;
    bool refused = false;  // the host refuses the first request and the first answer
  };
  const Case cases[] = {
      {"kick", "kick_start_freq", 310, 36, "--voice kick --set start_freq=310"},
      {"kick", "kick_decay", 0.002f, 35, "--voice kick --set decay=4294967"},
      {"snare", "snare_mix", 0.3f, 38, "--voice snare --set mix=644245119"},
      {"cowbell", "cowbell_dist", 7, 56, "--voice cowbell --set dist=7", true},
      {"oscillator", "oscillator_wave", 3, 47, "--voice oscillator --set wave=3"},
  };
  for (const Case& c : cases) {
    auto in = make();
    ASSERT_NE(in, nullptr);
    const auto before = engine_voice(BankParams{}, voice_of_note(c.note));
    set(*in, (std::string(c.voice) + "_normalize_before").c_str(), 0);
    set(*in, c.port, c.value);
    in->requests.refuse = c.refused;
    // Until the worker has run, the old voice plays.
    const Frames old = play(*in, 600, 64, {{10, c.note}});
    EXPECT_EQ(old.left[10], before[0] / 32768.0f) << c.port;
    if (c.refused) {
      ASSERT_EQ(in->requests.count, 1u) << "a refused request was not asked again";
      in->responses.refuse = 1;
      work(*in);
      play(*in, 64, 64, {});  // asks again
    }
    work(*in);
    const std::vector<std::int16_t> raw = raw_render(c.render_args);
    ASSERT_FALSE(raw.empty()) << c.render_args;
    const auto total = static_cast<std::uint32_t>(raw.size() + 100);
    const std::vector<NoteAt> notes = {{37, c.note}};
    expect_frames(play(*in, total, 64, notes),
                  expected_mix(total, notes, {{voice_of_note(c.note), raw}}), c.port);
  }
}

TEST_F(Lv2Host, SavedStateReopensWithTheSameVoices) {
  auto first = make();
  ASSERT_NE(first, nullptr);
  set(*first, "closed_decay", 0.0005f);
  set(*first, "cowbell_dist_type", 2);  // Apdist
  set(*first, "cowbell_dist_level", 0.25f);
  set(*first, "oscillator_wave", 3);
  set(*first, "oscillator_normalize_after", 1);
  play(*first, 64, 64, {});
  work(*first);

  LilvState* state = save_state(*first);
  ASSERT_NE(state, nullptr);

  auto second = make();
  ASSERT_NE(second, nullptr);
  // A voice made for the instance before the restore, delivered after it, is stale.
  set(*second, "kick_start_freq", 310);
  play(*second, 64, 64, {});
  work_requests(*second);
  restore_state(state, *second);
  lilv_state_free(state);
  deliver_answers(*second);

  BankParams changed;
  changed.closed.decay = 1073741;
  changed.shaping.dist_type[VOICE_COWBELL] = DIST_AP;
  changed.shaping.dist_level[VOICE_COWBELL] = 536870911;
  changed.osc.wave = WAVE_TRIANGLE;
  changed.shaping.normalize_after[VOICE_OSCILLATOR] = 1;
  const std::vector<NoteAt> notes = {{0, 42}, {3000, 56}, {9000, 47}, {9000, 36}};
  const std::vector<float> expected = expected_mix(100000, notes, engine_voices(changed));
  expect_frames(play(*first, 100000, 1024, notes), expected, "the saved instance");
  expect_frames(play(*second, 100000, 1024, notes, true), expected, "the restored instance");
  EXPECT_EQ(second->requests.count, 0u) << "restoring left voices to be made again";
}

// Every voice of a kit file as thumpa-render makes it, also after a project reopens with old
// control values; an unreadable file changes nothing and says so in the host's log.
TEST_F(Lv2Host, KitFileParameterLoadsEveryVoice) {
  BankParams kit;
  kit.kick.start_freq = 310;
  kit.snare.freq1 += 40;
  kit.closed.decay = 1073741;
  kit.open.filter_freq -= 2000;
  kit.blipp.start_freq += 100;
  kit.clave.freq += 200;
  kit.cowbell.freq += 50;
  kit.osc.wave = WAVE_SAW;
  for (VoiceId v : MENU_ORDER) {  // so that each voice is thumpa-render's raw samples
    kit.shaping.normalize_before[v] = kit.shaping.normalize_after[v] = 0;
    kit.shaping.dist_type[v] = DIST_NONE;
  }
  const std::string path = ::testing::TempDir() + "thumpa_kit.zog";
  std::ofstream(path) << settings_text(kit);

  auto in = make();
  ASSERT_NE(in, nullptr);
  const std::string missing = ::testing::TempDir() + "no such folder/kit.zog";
  send_kit(*in, missing);
  EXPECT_FALSE(notified(*in, missing));
  ASSERT_EQ(in->log.size(), 1u);
  EXPECT_NE(in->log[0].find(missing), std::string::npos) << in->log[0];
  const std::vector<NoteAt> kick = {{0, KICK_NOTE}};
  expect_frames(play(*in, 20000, 256, kick), expected_mix(20000, kick, engine_voices({})),
                "after a missing kit");

  // A damaged settings file is still one: the part of it that is there is loaded.
  const std::string damaged = ::testing::TempDir() + "thumpa_damaged.zog";
  const std::string text = settings_text(kit);
  std::ofstream(damaged) << text.substr(0, text.size() / 3);
  send_kit(*in, damaged);
  EXPECT_EQ(ask_kit(*in), damaged);
  std::remove(damaged.c_str());

  send_kit(*in, path);
  EXPECT_TRUE(notified(*in, path));
  // A WAV file or an empty file picked as the kit is no settings file: the kit stays.
  const std::string wav = ::testing::TempDir() + "thumpa_kick.wav";
  const std::string empty = ::testing::TempDir() + "thumpa_empty.zog";
  VoiceBuffer kick_voice;
  render_voice(kit, VOICE_KICK, kick_voice);
  ASSERT_TRUE(write_wav_file(kick_voice, wav));
  std::ofstream{empty};
  for (const std::string& not_a_kit : {wav, empty}) {
    send_kit(*in, not_a_kit);
    EXPECT_FALSE(notified(*in, not_a_kit));
    EXPECT_EQ(ask_kit(*in), path) << not_a_kit;
    EXPECT_NE(in->log.back().find(not_a_kit + ": not a settings file"), std::string::npos)
        << in->log.back();
    std::remove(not_a_kit.c_str());
  }
  LilvState* state = save_state(*in);
  auto reopened = make();
  ASSERT_NE(reopened, nullptr);
  restore_state(state, *reopened);
  lilv_state_free(state);
  EXPECT_EQ(ask_kit(*reopened), path);
  for (std::size_t i = 0; i < FIRST_NOTES; ++i) {
    const VoiceNote& v = VOICE_NOTES[i];
    const std::string voice = voice_facts(v.voice).cli_name;
    const auto raw = raw_render("--settings '" + path + "' --voice " + voice);
    const auto total = static_cast<std::uint32_t>(raw.size() + 100);
    const std::vector<NoteAt> note = {{10, v.note}};
    for (Instance* instance : {in.get(), reopened.get()}) {
      expect_frames(play(*instance, total, 1024, note, true),
                    expected_mix(total, note, {{v.voice, raw}}),
                    voice + (instance == in.get() ? "" : " reopened"));
    }
  }
  EXPECT_EQ(in->log.size(), 3u);
  std::remove(path.c_str());
}

// The kit a host shows is the one the voices came from: a restored state names its kit, an older
// state (or one saved without a kit) names none, and a kit asked for before the restore and
// answered after it is dropped. A state saved again keeps what was restored.
TEST_F(Lv2Host, RestoredStateNamesItsKit) {
  BankParams kit, other;
  kit.kick.start_freq = 310;
  other.kick.start_freq = 150;
  const std::string kit_path = ::testing::TempDir() + "thumpa_restored_kit.zog";
  const std::string other_path = ::testing::TempDir() + "thumpa_other_kit.zog";
  std::ofstream(kit_path) << settings_text(kit);
  std::ofstream(other_path) << settings_text(other);
  auto with = make();
  auto without = make();
  ASSERT_NE(with, nullptr);
  ASSERT_NE(without, nullptr);
  send_kit(*with, kit_path);
  LilvState* with_kit = save_state(*with);
  LilvState* no_kit = save_state(*without);
  struct Case {
    const char* what;
    LilvState* state;
    bool kit_answered_after;
    std::optional<std::string> told;
    BankParams voices;
  };
  const Case cases[] = {
      {"a state with a kit", with_kit, false, kit_path, kit},
      {"a state without one", no_kit, false, std::nullopt, {}},
      {"a state with a kit, then a kit answer", with_kit, true, kit_path, kit},
      {"a state without one, then a kit answer", no_kit, true, std::nullopt, {}},
  };
  const std::vector<NoteAt> kick = {{0, KICK_NOTE}};
  for (const Case& c : cases) {
    auto in = make();
    ASSERT_NE(in, nullptr);
    send_kit(*in, other_path);  // the instance held another kit before
    ASSERT_EQ(ask_kit(*in), other_path);
    if (c.kit_answered_after) {
      write_kit_message(*in, other_path.c_str());
      run(*in, 64);
      clear_midi_in(*in);
      work_requests(*in);
    }
    restore_state(c.state, *in);
    deliver_answers(*in);
    EXPECT_EQ(ask_kit(*in), c.told) << c.what;
    expect_frames(play(*in, 20000, 256, kick, true),
                  expected_mix(20000, kick, engine_voices(c.voices)), c.what);
    LilvState* again = save_state(*in);
    auto reopened = make();
    ASSERT_NE(reopened, nullptr);
    restore_state(again, *reopened);
    lilv_state_free(again);
    EXPECT_EQ(ask_kit(*reopened), c.told) << c.what << ", saved again";
  }
  lilv_state_free(with_kit);
  lilv_state_free(no_kit);
  std::remove(kit_path.c_str());
  std::remove(other_path.c_str());
}

// The bundle's presets, each applied as a host applies one (its port values and its state),
// play their kit's voices as the program plays them from the kit's settings file, each voice on
// its own output, and leave no voice to be made again.
TEST_F(Lv2Host, PresetsPlayTheirKits) {
  const std::map<std::string, std::string> expected_names = {
      {"deep-electro", "Deep Electro"},  {"tight-dry", "Tight Dry"},
      {"lofi-crushed", "Lo-Fi Crushed"}, {"metal", "Metal"},
      {"soft-analog", "Soft Analog"},    {"hand-percussion", "Hand Percussion"},
  };
  LilvNode* preset_class = lilv_new_uri(world, LV2_PRESETS__Preset);
  LilvNode* label = lilv_new_uri(world, LILV_NS_RDFS "label");
  LilvNodes* presets = lilv_plugin_get_related(plugin, preset_class);
  std::map<std::string, std::string> names;
  LILV_FOREACH(nodes, i, presets) {
    const LilvNode* preset = lilv_nodes_get(presets, i);
    lilv_world_load_resource(world, preset);
    LilvNode* name = lilv_world_get(world, preset, label, nullptr);
    const std::string uri = lilv_node_as_uri(preset);
    const std::string kit = uri.substr(uri.rfind('/') + 1, uri.size() - uri.rfind('/') - 5);
    names[kit] = name != nullptr ? lilv_node_as_string(name) : "";
    lilv_node_free(name);

    BankParams params;
    ASSERT_TRUE(read_settings_file(THUMPA_KITS "/" + kit + ".zog", params)) << kit;
    LilvState* state = lilv_state_new_from_world(world, &urids.map, preset);
    ASSERT_NE(state, nullptr) << kit;
    auto in = make();
    ASSERT_NE(in, nullptr);
    restore_state(state, *in);
    lilv_state_free(state);
    std::vector<NoteAt> notes;
    for (std::uint32_t k = 0; k < FIRST_NOTES; ++k)
      notes.push_back({5000 * k, VOICE_NOTES[k].note});
    const auto voices = engine_voices(params);
    const Frames got = play(*in, 130000, 512, notes, true);
    expect_frames(got, expected_mix(130000, notes, voices), kit);
    for (const auto& [voice, values] : voices) {
      const std::vector<std::int32_t> alone = expected_voice(130000, notes, voice, values);
      for (std::uint32_t t = 0; t < alone.size(); ++t) {
        ASSERT_EQ(got.voices[voice][t], alone[t] / 32768.0f)
            << kit << ", voice " << voice << ", frame " << t;
      }
    }
    EXPECT_EQ(in->requests.count, 0u) << kit << ": a port value differs from the kit";
  }
  lilv_nodes_free(presets);
  lilv_node_free(label);
  lilv_node_free(preset_class);
  EXPECT_EQ(names, expected_names);
}

// What a host hands the plugin is bounded before it is used: rates by what the resampler
// takes, MIDI events by their sequence; and the plugin leaves the host's allocator alone.
TEST_F(Lv2Host, UntrustedHostInputIsBounded) {
  for (double rate : {1e9, 7999.0, 768001.0, 0.0, -44100.0, double{NAN}, double{INFINITY}}) {
    EXPECT_EQ(make(rate), nullptr) << rate;
  }
  EXPECT_NE(make(8000), nullptr);

  // The sequence ends at a page that faults; its second event claims a megabyte but holds 8.
  const long page = sysconf(_SC_PAGESIZE);
  auto* pages = static_cast<std::uint8_t*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  std::uint64_t events[8] = {};  // the sequence's head, then each event's head and padded bytes
  write_notes(events, 0, 64, {{5, 36}, {10, 38}});
  LV2_Atom head;
  std::memcpy(&head, events, sizeof head);
  ASSERT_EQ(head.size + sizeof head, sizeof events);
  const std::uint32_t claimed = 1u << 20;  // by the second event, 40 bytes in
  std::memcpy(reinterpret_cast<std::uint8_t*>(events) + 40 + offsetof(LV2_Atom_Event, body.size),
              &claimed, sizeof claimed);
  std::uint8_t* at = pages + page - sizeof events;
  std::memcpy(at, events, sizeof events);

  auto in = make();
  ASSERT_NE(in, nullptr);
  lilv_instance_connect_port(in->lilv, port("midi_in"), at);
  run(*in, 64);
  in->left.resize(64);
  in->right.resize(64);
  expect_frames({in->left, in->right, {}},
                expected_mix(64, {{5, 36}, {10, 38}}, engine_voices(BankParams{})),
                "a truncated event");
  munmap(pages, 2 * page);
  EXPECT_EQ(mallopt_calls.load(), 0) << "the plugin tuned the host's allocator";
}

// A host shows a control by its name alone: its voice's label and the caption the voice
// editor shows beside the same field, and no two alike.
TEST_F(Lv2Host, ControlNamesAreTheVoiceAndTheEditorsCaption) {
  const auto node_text = [](LilvNode* node) {
    const std::string text = node != nullptr ? lilv_node_as_string(node) : "";
    lilv_node_free(node);
    return text;
  };
  LilvNode* group_of = lilv_new_uri(world, LV2_PORT_GROUPS__group);
  LilvNode* label_of = lilv_new_uri(world, LILV_NS_RDFS "label");
  LilvNode* name_of = lilv_new_uri(world, LV2_CORE__name);
  std::map<std::string, std::string> names;  // by symbol
  std::set<std::string> distinct;
  for (std::uint32_t i = 0; i < lilv_plugin_get_num_ports(plugin); ++i) {
    const LilvPort* p = lilv_plugin_get_port_by_index(plugin, i);
    std::string name = node_text(lilv_port_get_name(plugin, p));
    EXPECT_TRUE(distinct.insert(name).second) << "\"" << name << "\" repeats";
    names[lilv_node_as_string(lilv_port_get_symbol(plugin, p))] = std::move(name);
  }
  for (VoiceId voice : MENU_ORDER) {
    const VoiceForm& form = *voice_form(voice);
    const DialogTemplate& dialog =
        std::string(form.template_name) == EDIT_BOX.name ? EDIT_BOX : EDIT_OSC_BOX;
    const std::string symbol = voice_facts(voice).cli_name;
    LilvNode* group_uri = lilv_port_get(
        plugin, lilv_plugin_get_port_by_index(plugin, port((symbol + "_dist_type").c_str())),
        group_of);
    const std::string label = node_text(lilv_world_get(world, group_uri, label_of, nullptr));
    // Some hosts head the group with its lv2:name alone.
    EXPECT_EQ(node_text(lilv_world_get(world, group_uri, name_of, nullptr)), label);
    lilv_node_free(group_uri);
    for (const FieldBinding& binding : form.fields) {
      // A relabelled caption above the edit, else the template's caption just before it, under
      // the label of its group (the Oscillator's DCF and DCA) when there is one.
      std::string caption, group;
      for (std::size_t i = 0; i < DRUM_EDIT_IDS.size() && i < form.captions.size(); ++i) {
        if (DRUM_EDIT_IDS[i] == binding.id) caption = form.captions[i].second;
      }
      for (std::size_t i = 1; caption.empty() && i < dialog.controls.size(); ++i) {
        if (dialog.controls[i].id == -1) group = dialog.controls[i].text;
        if (dialog.controls[i].id == binding.id) caption = dialog.controls[i - 1].text;
      }
      const std::string shown = names[symbol + "_" + binding.field];
      EXPECT_TRUE(shown == label + " " + caption || shown == label + " " + group + " " + caption)
          << binding.field << ": \"" << shown << "\", the editor shows \"" << caption << "\"";
    }
  }
  lilv_node_free(group_of);
  lilv_node_free(label_of);
  lilv_node_free(name_of);

  // Hosts show the maker beside the plugin's name ("by Unknown" without one), and a choice's
  // value without a label as a bare number.
  EXPECT_EQ(node_text(lilv_plugin_get_author_name(plugin)), "Thumpa developers");
  LilvNode* enumeration = lilv_new_uri(world, LV2_CORE__enumeration);
  int choices = 0;
  for (std::uint32_t i = 0; i < lilv_plugin_get_num_ports(plugin); ++i) {
    const LilvPort* p = lilv_plugin_get_port_by_index(plugin, i);
    if (!lilv_port_has_property(plugin, p, enumeration)) continue;
    ++choices;
    LilvNode *minimum = nullptr, *maximum = nullptr;
    lilv_port_get_range(plugin, p, nullptr, &minimum, &maximum);
    std::set<int> labelled;
    LilvScalePoints* points = lilv_port_get_scale_points(plugin, p);
    LILV_FOREACH(scale_points, it, points) {
      const LilvScalePoint* point = lilv_scale_points_get(points, it);
      if (*lilv_node_as_string(lilv_scale_point_get_label(point)) != '\0')
        labelled.insert(lilv_node_as_int(lilv_scale_point_get_value(point)));
    }
    for (int v = lilv_node_as_int(minimum); v <= lilv_node_as_int(maximum); ++v) {
      EXPECT_TRUE(labelled.count(v))
          << lilv_node_as_string(lilv_port_get_symbol(plugin, p)) << " shows " << v << " bare";
    }
    lilv_scale_points_free(points);
    lilv_node_free(minimum);
    lilv_node_free(maximum);
  }
  EXPECT_EQ(choices, 9);  // the eight voices' Dist Type and the Oscillator's wave
  lilv_node_free(enumeration);
}

TEST_F(Lv2Host, OtherRatesGetTheVoiceResampledOnce) {
  const auto at_44100 = engine_voice(BankParams{}, VOICE_KICK);
  for (double rate : {48000.0, 22050.0}) {
    auto in = make(rate);
    ASSERT_NE(in, nullptr);
    const auto total = static_cast<std::uint32_t>(at_44100.size() * rate / 44100 + 2000);
    const Frames out = play(*in, total, 256, {{0, KICK_NOTE}});
    std::size_t last = 0;
    float peak = 0;
    for (std::size_t t = 0; t < out.left.size(); ++t) {
      if (out.left[t] != 0) last = t;
      peak = std::max(peak, std::fabs(out.left[t]));
    }
    const double length = at_44100.size() * rate / 44100;
    EXPECT_NEAR(static_cast<double>(last + 1), length, 2.0) << rate;
    EXPECT_NEAR(peak, 1.0, 0.03) << rate;
  }
}

TEST_F(Lv2Host, EightVoicesCostLittleOfA64FrameBlock) {
  auto in = make();
  ASSERT_NE(in, nullptr);
  std::vector<NoteAt> all;
  for (std::size_t i = 0; i < FIRST_NOTES; ++i) all.push_back({0, VOICE_NOTES[i].note});
  play(*in, 64, 64, all);  // the eight voices sound from here on
  constexpr int BLOCKS = 1000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < BLOCKS; ++i) run(*in, 64);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double share = seconds / BLOCKS / (64.0 / 44100);
  std::printf("run() with eight voices: %.3f us per 64-frame block, %.3f %% of the block\n",
              seconds / BLOCKS * 1e6, share * 100);
  RecordProperty("share_of_block_percent", std::to_string(share * 100));
  EXPECT_LT(share, 0.25);  // a loose bound: the sanitizer build and a busy machine run here too
}

}  // namespace
}  // namespace thumpa
