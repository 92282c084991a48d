// The LV2 instrument: MIDI note-ons in, the eight voices out, sample accurate. Controls are
// read in run(); a changed voice is rendered again in the host's worker thread and handed
// back to run(), which swaps it in. A kit (a settings file) set through the plugin's file
// parameter is read and all its voices made in the worker too, and swapped in the same way.
// run() never allocates, locks or waits: buffers are made and freed by the worker (or while
// the instance is made, restored or freed), and run() only exchanges pointers.
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "audio/midi.h"
#include "files/settings_file.h"
#include "lv2/controls.h"
#include "lv2/kit_file.h"
#include "lv2/patch_messages.h"
#include "lv2/player.h"
#include "lv2/published_params.h"
#include "lv2/voice_render.h"

namespace thumpa {
namespace {

constexpr const char* PLUGIN_URI = "urn:thumpa:lv2:drums";
constexpr const char* SETTINGS_KEY = "urn:thumpa:lv2:drums#settings";
// The control port values the settings were last taken from (see PluginParams).
constexpr const char* CONTROLS_KEY = "urn:thumpa:lv2:drums#controls";
// The kit the voices were loaded from is kept under the kit parameter's own URI, as an atom:Path.

// Messages through the host's worker queue: plain bytes, copied by the host.
enum class WorkKind : std::uint32_t { render, release, load_kit };

struct RenderRequest {
  WorkKind kind;
  VoiceId voice;
  std::uint32_t serial;  // the voice's serial when asked; a restore makes older answers stale
  BankParams params;
};

struct ReleaseRequest {
  WorkKind kind;
  const PlaybackValues* take;
};

// Sent with only as many bytes of the path as it has, and its NUL.
struct KitRequest {
  WorkKind kind;
  std::uint32_t serial;  // the kit serial when asked; a restore makes older answers stale
  char path[MAX_KIT_PATH];
};

enum class AnswerKind : std::uint32_t { voice, kit };

struct RenderAnswer {
  AnswerKind kind;
  VoiceId voice;
  std::uint32_t serial;
  PlaybackValues* take;  // null when the voice could not be made: the old one keeps playing
};

struct KitAnswer {
  AnswerKind kind;
  std::uint32_t serial;
  bool loaded;        // false: the file could not be read, or its voices made; nothing changes
  BankParams params;  // the parameters with the file read into them
  PlaybackValues* takes[VOICE_ID_COUNT];
};

// A worker message's kind, its first field; none when the message is shorter than that.
template <typename Kind>
std::optional<Kind> message_kind(uint32_t size, const void* data) {
  Kind kind;
  if (size < sizeof kind) return std::nullopt;
  std::memcpy(&kind, data, sizeof kind);
  return kind;
}

// A worker message of a fixed size as its record; none when its size is another.
template <typename Message>
std::optional<Message> read_message(uint32_t size, const void* data) {
  if (size != sizeof(Message)) return std::nullopt;
  Message message;
  std::memcpy(&message, data, sizeof message);
  return message;
}

struct Plugin {
  double rate = SAMPLE_RATE;
  LV2_Worker_Schedule* schedule = nullptr;
  const LV2_Log_Log* log = nullptr;
  LV2_URID log_error = 0;
  LV2_URID midi_event = 0;
  LV2_URID atom_string = 0;
  LV2_URID settings_key = 0;
  LV2_URID controls_key = 0;
  PatchUrids patch;
  LV2_Atom_Forge forge{};

  const LV2_Atom_Sequence* midi_in = nullptr;
  LV2_Atom_Sequence* notify = nullptr;
  float* out_left = nullptr;
  float* out_right = nullptr;
  float* voice_out[VOICE_ID_COUNT] = {};  // by VoiceId; null when not connected
  const float* controls[CONTROL_COUNT] = {};
  const float* velocity = nullptr;  // toggles; on when not connected
  const float* choke = nullptr;

  // The audio thread's parameters with each control's value when it was last taken, and the
  // copy that save() and the worker read.
  PluginParams now;
  PublishedParams published;

  Player player;                        // owns the takes it plays
  bool changed[VOICE_ID_COUNT] = {};    // parameters differ from what the voice was made of
  bool rendering[VOICE_ID_COUNT] = {};  // a render request is with the worker
  std::uint32_t serial[VOICE_ID_COUNT] = {};
  // Set by the worker when the host refused its answer for the voice, so that run() asks again.
  std::atomic<bool> answer_lost[VOICE_ID_COUNT] = {};
  // Takes that run() has let go of, waiting to be sent to the worker to be freed. A voice is
  // not rendered again while its place here is taken, so one place per voice is enough.
  const PlaybackValues* retired[VOICE_ID_COUNT] = {};

  // Kits: the path asked for and not yet with the worker, the one with the worker, and the one
  // the voices were last loaded from; "" for none. Only one kit is loaded at a time.
  char wanted_kit[MAX_KIT_PATH] = {};
  char loading_kit[MAX_KIT_PATH] = {};
  char kit[MAX_KIT_PATH] = {};
  PublishedPath published_kit;  // the kit, for save()
  bool tell_kit = false;        // the notify port owes the host a patch:Set of the kit
  std::uint32_t kit_serial = 0;
  std::uint32_t loading_serial = 0;  // the kit serial the loading kit was asked with
  std::atomic<bool> kit_answer_lost{false};
  // The takes a kit replaced, one place per voice; no kit is loaded while one is taken.
  const PlaybackValues* kit_retired[VOICE_ID_COUNT] = {};
};

bool same_value(float a, float b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

// The port values that show the parameters, so that only a real change renders a voice.
void take_port_values_from(Plugin& plugin) {
  const auto ports = control_ports();
  for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
    plugin.now.controls[i] = port_value(ports[i], plugin.now.params);
  }
}

// Every voice made again from the plugin's parameters; false when one cannot be made.
// Not real-time: called while the instance is made or restored, never during run().
bool remake_all_voices(Plugin& plugin) {
  for (VoiceId voice : MENU_ORDER) {
    std::unique_ptr<PlaybackValues> made =
        make_playback_values(plugin.now.params, voice, plugin.rate);
    if (made == nullptr) return false;
    delete player_replace(plugin.player, voice, made.release());
    delete plugin.retired[voice];
    plugin.retired[voice] = nullptr;
    delete plugin.kit_retired[voice];
    plugin.kit_retired[voice] = nullptr;
    plugin.changed[voice] = false;
    ++plugin.serial[voice];  // whatever the worker still makes of this voice is stale
  }
  ++plugin.kit_serial;  // and so is a kit it still reads
  plugin.wanted_kit[0] = '\0';
  return true;
}

void destroy_voices(Plugin& plugin) {
  for (VoiceId voice : MENU_ORDER) {
    delete player_replace(plugin.player, voice, nullptr);
    delete plugin.retired[voice];
    plugin.retired[voice] = nullptr;
    delete plugin.kit_retired[voice];
    plugin.kit_retired[voice] = nullptr;
  }
}

const void* feature(const LV2_Feature* const* features, const char* uri) {
  for (; features != nullptr && *features != nullptr; ++features) {
    if (std::strcmp((*features)->URI, uri) == 0) return (*features)->data;
  }
  return nullptr;
}

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*,
                       const LV2_Feature* const* features) {
  auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(feature(features, LV2_URID__map)));
  auto* schedule =
      static_cast<LV2_Worker_Schedule*>(const_cast<void*>(feature(features, LV2_WORKER__schedule)));
  // Refused before anything is sized for the rate.
  if (map == nullptr || schedule == nullptr || !(rate >= MIN_HOST_RATE && rate <= MAX_HOST_RATE)) {
    return nullptr;
  }
  auto* plugin = new (std::nothrow) Plugin;
  if (plugin == nullptr) return nullptr;
  plugin->rate = rate;
  plugin->schedule = schedule;
  plugin->log = static_cast<const LV2_Log_Log*>(feature(features, LV2_LOG__log));
  plugin->log_error = map->map(map->handle, LV2_LOG__Error);
  plugin->midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
  plugin->atom_string = map->map(map->handle, LV2_ATOM__String);
  plugin->settings_key = map->map(map->handle, SETTINGS_KEY);
  plugin->controls_key = map->map(map->handle, CONTROLS_KEY);
  plugin->patch = map_patch_urids(*map);
  lv2_atom_forge_init(&plugin->forge, map);
  if (!remake_all_voices(*plugin)) {
    destroy_voices(*plugin);
    delete plugin;
    return nullptr;
  }
  take_port_values_from(*plugin);
  publish(plugin->published, plugin->now);
  return plugin;
}

void connect_port(LV2_Handle instance, uint32_t port, void* data) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  if (port == PORT_MIDI_IN) {
    plugin.midi_in = static_cast<const LV2_Atom_Sequence*>(data);
  } else if (port == PORT_OUT_LEFT) {
    plugin.out_left = static_cast<float*>(data);
  } else if (port == PORT_OUT_RIGHT) {
    plugin.out_right = static_cast<float*>(data);
  } else if (port >= FIRST_CONTROL_PORT && port - FIRST_CONTROL_PORT < CONTROL_COUNT) {
    plugin.controls[port - FIRST_CONTROL_PORT] = static_cast<const float*>(data);
  } else if (port == PORT_NOTIFY) {
    plugin.notify = static_cast<LV2_Atom_Sequence*>(data);
  } else if (port >= FIRST_VOICE_OUT_PORT && port - FIRST_VOICE_OUT_PORT < VOICE_COUNT) {
    plugin.voice_out[VOICE_OUTPUT_ORDER[port - FIRST_VOICE_OUT_PORT]] = static_cast<float*>(data);
  } else if (port == PORT_VELOCITY) {
    plugin.velocity = static_cast<const float*>(data);
  } else if (port == PORT_CHOKE) {
    plugin.choke = static_cast<const float*>(data);
  }
}

void activate(LV2_Handle instance) {
  player_silence(static_cast<Plugin*>(instance)->player);
}

// Takes every control that moved into the parameters and marks its voice.
void read_controls(Plugin& plugin) {
  const auto ports = control_ports();
  bool moved = false;
  for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
    if (plugin.controls[i] == nullptr) continue;
    const float value = *plugin.controls[i];
    if (same_value(value, plugin.now.controls[i])) continue;
    plugin.now.controls[i] = value;
    moved = true;
    std::int32_t& field = control_field(ports[i], plugin.now.params);
    const std::int32_t stored = stored_value(ports[i], value);
    if (stored == field) continue;
    field = stored;
    plugin.changed[ports[i].voice] = true;
  }
  if (moved) publish(plugin.published, plugin.now);
}

// Copies a path into one of the plugin's fixed places.
void set_path(char (&to)[MAX_KIT_PATH], std::string_view path) {
  const std::size_t n = std::min(path.size(), MAX_KIT_PATH - 1);
  std::memcpy(to, path.data(), n);
  to[n] = '\0';
}

// Sends the kit waiting to be loaded, once the last one's takes are on their way to be freed.
void send_kit(Plugin& plugin) {
  if (plugin.kit_answer_lost.exchange(false, std::memory_order_acquire)) {
    // Asked again, unless a restore or a newer kit came since.
    if (plugin.wanted_kit[0] == '\0' && plugin.loading_serial == plugin.kit_serial) {
      set_path(plugin.wanted_kit, plugin.loading_kit);
    }
    plugin.loading_kit[0] = '\0';
  }
  if (plugin.wanted_kit[0] == '\0' || plugin.loading_kit[0] != '\0') return;
  for (VoiceId voice : MENU_ORDER) {
    if (plugin.kit_retired[voice] != nullptr) return;
  }
  KitRequest request{WorkKind::load_kit, plugin.kit_serial, {}};
  const std::size_t length = strnlen(plugin.wanted_kit, MAX_KIT_PATH - 1);
  std::memcpy(request.path, plugin.wanted_kit, length + 1);
  // Marked before asking: a host that works at once may answer inside schedule_work.
  set_path(plugin.loading_kit, plugin.wanted_kit);
  plugin.loading_serial = plugin.kit_serial;
  plugin.wanted_kit[0] = '\0';
  LV2_Worker_Schedule& s = *plugin.schedule;
  const auto size = static_cast<std::uint32_t>(offsetof(KitRequest, path) + length + 1);
  if (s.schedule_work(s.handle, size, &request) != LV2_WORKER_SUCCESS) {
    set_path(plugin.wanted_kit, request.path);
    plugin.loading_kit[0] = '\0';
  }
}

// Hands retired takes to the worker to be freed, changed voices to be made again and a new kit
// to be read. What the host's queue cannot take now is asked again in the next run().
void send_work(Plugin& plugin) {
  LV2_Worker_Schedule& s = *plugin.schedule;
  for (VoiceId voice : MENU_ORDER) {
    if (plugin.answer_lost[voice].exchange(false, std::memory_order_acquire)) {
      plugin.rendering[voice] = false;
      plugin.changed[voice] = true;
    }
    for (const PlaybackValues** retired : {&plugin.retired[voice], &plugin.kit_retired[voice]}) {
      if (*retired == nullptr) continue;
      const ReleaseRequest request{WorkKind::release, *retired};
      if (s.schedule_work(s.handle, sizeof request, &request) == LV2_WORKER_SUCCESS) {
        *retired = nullptr;
      }
    }
    if (plugin.retired[voice] != nullptr) continue;
    if (plugin.changed[voice] && !plugin.rendering[voice]) {
      // Marked before asking: a host that works at once may answer inside schedule_work.
      plugin.changed[voice] = false;
      plugin.rendering[voice] = true;
      const RenderRequest request{WorkKind::render, voice, plugin.serial[voice], plugin.now.params};
      if (s.schedule_work(s.handle, sizeof request, &request) != LV2_WORKER_SUCCESS) {
        plugin.changed[voice] = true;
        plugin.rendering[voice] = false;
      }
    }
  }
  send_kit(plugin);
}

bool switched_on(const float* toggle) {
  return toggle == nullptr || *toggle >= 0.5f;
}

// The notes of a block not played yet: a block with more than there is room for is played in
// stretches, cut at the frame of the note that found none.
constexpr int MAX_BLOCK_NOTES = 64;
struct BlockNotes {
  NoteEvent notes[MAX_BLOCK_NOTES];  // frames counted from `done`
  int count = 0;
  std::uint32_t done = 0;  // frames of the block played
};

// Plays the block up to `end` with the notes before it; those at `end` wait for the rest.
void play_until(Plugin& plugin, const PlayerOutputs& out, BlockNotes& b, std::uint32_t end) {
  const int len = static_cast<int>(end - b.done);
  int taken = 0;
  while (taken < b.count && b.notes[taken].frame < len) ++taken;
  player_play(plugin.player, out, b.done, end - b.done,
              std::span<const NoteEvent>(b.notes, static_cast<std::size_t>(taken)));
  for (int i = taken; i < b.count; ++i) {
    b.notes[i - taken] = b.notes[i];
    b.notes[i - taken].frame -= len;
  }
  b.count -= taken;
  b.done = end;
}

// Adds the note-ons in the bytes of one MIDI event at frame `at` of the block, as loud as their
// velocity (or at full level when the Velocity switch is off). With the Hi-hat choke on, a
// closed hi-hat stops a sounding open one.
void add_event_notes(Plugin& plugin, const PlayerOutputs& out, BlockNotes& b, std::uint32_t at,
                     const std::uint8_t* bytes, std::uint32_t size) {
  MidiParser parser;
  for (std::uint32_t i = 0; i < size; ++i) {
    const auto note_on = midi_parse_byte(parser, bytes[i]);
    const auto voice = note_on ? voice_for_note(note_on->note) : std::nullopt;
    if (!voice) continue;
    // What is left at `at` is at most one note a voice, so this always leaves room for two.
    if (b.count > MAX_BLOCK_NOTES - 2) {
      drop_superseded_notes(b.notes, b.count, [](const NoteEvent& e) { return e.voice; });
      play_until(plugin, out, b, at);
    }
    const int frame = static_cast<int>(at - b.done);
    if (*voice == CHOKING_VOICE && switched_on(plugin.choke))
      add_note(b.notes, b.count, NoteEvent{frame, CHOKED_VOICE, 0, true});
    const bool dynamic = switched_on(plugin.velocity);
    add_note(
        b.notes, b.count,
        NoteEvent{frame, *voice, dynamic ? velocity_gain(note_on->velocity) : FULL_GAIN, false});
  }
}

// A patch message on midi_in: a kit to load (the latest one asked for wins), or a question
// for the kit's path.
void take_message(Plugin& plugin, EventAtom event) {
  const std::string_view path = kit_set(plugin.patch, event);
  if (!path.empty() && path.size() < MAX_KIT_PATH) {
    set_path(plugin.wanted_kit, path);
  } else if (kit_get(plugin.patch, event)) {
    plugin.tell_kit = plugin.kit[0] != '\0';
  }
}

void run(LV2_Handle instance, uint32_t frames) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  read_controls(plugin);
  const PlayerOutputs out{plugin.out_left, plugin.out_right, plugin.voice_out};
  BlockNotes notes;
  std::uint32_t last = 0;  // the frame of the last MIDI event
  if (plugin.midi_in != nullptr) {
    // The sequence's own size bounds every event in it: an event that claims more than is left
    // is read only as far as the sequence goes, and ends it.
    const auto* body = reinterpret_cast<const std::uint8_t*>(&plugin.midi_in->body);
    const std::uint64_t size = plugin.midi_in->atom.size;
    std::uint64_t offset = sizeof(LV2_Atom_Sequence_Body);
    while (offset + sizeof(LV2_Atom_Event) <= size) {
      LV2_Atom_Event event;
      std::memcpy(&event, body + offset, sizeof event);
      const auto* atom =
          reinterpret_cast<const LV2_Atom*>(body + offset + offsetof(LV2_Atom_Event, body));
      offset += sizeof event;
      const std::uint64_t body_size = std::min<std::uint64_t>(event.body.size, size - offset);
      if (event.body.type == plugin.midi_event) {
        // Events are in time order; one out of order or beyond the block sounds at once.
        last =
            static_cast<std::uint32_t>(std::clamp<std::int64_t>(event.time.frames, last, frames));
        add_event_notes(plugin, out, notes, last, body + offset,
                        static_cast<std::uint32_t>(body_size));
      } else {
        take_message(plugin, {atom, sizeof(LV2_Atom) + body_size});
      }
      offset += lv2_atom_pad_size(static_cast<std::uint32_t>(body_size));
    }
  }
  // Notes at the block's end start their voices for the next block.
  play_until(plugin, out, notes, frames);
  if (notes.count != 0)
    player_play(plugin.player, out, frames, 0,
                std::span<const NoteEvent>(notes.notes, static_cast<std::size_t>(notes.count)));
  send_work(plugin);
  if (plugin.notify != nullptr) {
    LV2_Atom_Forge_Frame sequence;
    if (begin_notify(plugin.forge, sequence, plugin.notify)) {
      if (plugin.tell_kit && notify_kit(plugin.forge, plugin.patch, plugin.kit)) {
        plugin.tell_kit = false;
      }
      lv2_atom_forge_pop(&plugin.forge, &sequence);
    }
  }
}

void cleanup(LV2_Handle instance) {
  Plugin* plugin = static_cast<Plugin*>(instance);
  destroy_voices(*plugin);
  delete plugin;
}

// Worker thread: reads a kit and makes all its voices. A file that cannot be read, or voices
// that cannot be made, leave the instance as it was, and the host's log says why.
LV2_Worker_Status load_kit(Plugin& plugin, LV2_Worker_Respond_Function respond,
                           LV2_Worker_Respond_Handle handle, const KitRequest& request) {
  KitAnswer answer{
      AnswerKind::kit, request.serial, true, read_published(plugin.published).params, {}};
  std::string error = read_kit_file(request.path, answer.params);
  for (VoiceId voice : MENU_ORDER) {
    if (!error.empty()) break;
    answer.takes[voice] = make_playback_values(answer.params, voice, plugin.rate).release();
    if (answer.takes[voice] == nullptr) error = "not enough memory for its voices";
  }
  const auto drop_takes = [&answer] {
    for (PlaybackValues*& take : answer.takes) {
      delete take;
      take = nullptr;
    }
  };
  if (!error.empty()) {
    drop_takes();
    answer.loaded = false;
    if (plugin.log != nullptr) {
      plugin.log->printf(plugin.log->handle, plugin.log_error,
                         "Thumpa: cannot load the kit %s: %s\n", request.path, error.c_str());
    }
  }
  const LV2_Worker_Status status = respond(handle, sizeof answer, &answer);
  if (status != LV2_WORKER_SUCCESS) {
    drop_takes();  // never reach run(): dropped here, and run() asks again
    plugin.kit_answer_lost.store(true, std::memory_order_release);
  }
  return status;
}

// Worker thread: makes a voice, or frees one that run() let go of, or loads a kit.
LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  const auto kind = message_kind<WorkKind>(size, data);
  if (kind == WorkKind::release) {
    const auto request = read_message<ReleaseRequest>(size, data);
    if (!request) return LV2_WORKER_ERR_UNKNOWN;
    delete request->take;
    return LV2_WORKER_SUCCESS;
  }
  if (kind == WorkKind::load_kit) {
    if (size <= offsetof(KitRequest, path) || size > sizeof(KitRequest))
      return LV2_WORKER_ERR_UNKNOWN;
    KitRequest request{};
    std::memcpy(&request, data, size);
    request.path[MAX_KIT_PATH - 1] = '\0';
    return load_kit(plugin, respond, handle, request);
  }
  const auto request =
      kind == WorkKind::render ? read_message<RenderRequest>(size, data) : std::nullopt;
  if (!request || playback_slot(request->voice) < 0) return LV2_WORKER_ERR_UNKNOWN;
  const RenderAnswer answer{
      AnswerKind::voice, request->voice, request->serial,
      make_playback_values(request->params, request->voice, plugin.rate).release()};
  const LV2_Worker_Status status = respond(handle, sizeof answer, &answer);
  if (status != LV2_WORKER_SUCCESS) {
    delete answer.take;  // never reaches run(): drop it here, and have run() ask again
    plugin.answer_lost[request->voice].store(true, std::memory_order_release);
  }
  return status;
}

// Audio thread: a loaded kit's parameters and voices replace the instance's. The host keeps
// its control port values (a plugin cannot set an input port): they are taken as they are, so
// that only a control the user moves afterwards changes a voice of the kit.
void take_kit(Plugin& plugin, const KitAnswer& answer) {
  if (!answer.loaded || answer.serial != plugin.kit_serial) {
    for (VoiceId voice : MENU_ORDER) plugin.kit_retired[voice] = answer.takes[voice];
    plugin.loading_kit[0] = '\0';
    return;
  }
  plugin.now.params = answer.params;
  for (VoiceId voice : MENU_ORDER) {
    plugin.kit_retired[voice] = player_replace(plugin.player, voice, answer.takes[voice]);
    plugin.changed[voice] = false;
    ++plugin.serial[voice];  // a voice made before the kit came is stale
  }
  for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
    if (plugin.controls[i] != nullptr) plugin.now.controls[i] = *plugin.controls[i];
  }
  publish(plugin.published, plugin.now);
  set_path(plugin.kit, plugin.loading_kit);
  publish_path(plugin.published_kit, plugin.kit);
  plugin.loading_kit[0] = '\0';
  plugin.tell_kit = true;
}

// Audio thread, between runs: the made voice replaces the old one, which goes back to the
// worker to be freed.
LV2_Worker_Status work_response(LV2_Handle instance, uint32_t size, const void* data) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  const auto kind = message_kind<AnswerKind>(size, data);
  if (kind == AnswerKind::kit) {
    const auto answer = read_message<KitAnswer>(size, data);
    if (!answer) return LV2_WORKER_ERR_UNKNOWN;
    take_kit(plugin, *answer);
    return LV2_WORKER_SUCCESS;
  }
  const auto answer =
      kind == AnswerKind::voice ? read_message<RenderAnswer>(size, data) : std::nullopt;
  if (!answer || playback_slot(answer->voice) < 0) return LV2_WORKER_ERR_UNKNOWN;
  plugin.rendering[answer->voice] = false;
  const PlaybackValues* old = answer->take;  // a stale or failed answer changes nothing
  if (answer->take != nullptr && answer->serial == plugin.serial[answer->voice]) {
    old = player_replace(plugin.player, answer->voice, answer->take);
  } else if (answer->take == nullptr) {
    plugin.changed[answer->voice] = true;  // try again in the next run()
  }
  plugin.retired[answer->voice] = old;
  return LV2_WORKER_SUCCESS;
}

// The control values as text: each the shortest decimal that reads back as the same float.
std::string controls_text(const float (&controls)[CONTROL_COUNT]) {
  std::string text;
  for (float value : controls) {
    char number[32];
    text.append(number, std::to_chars(number, number + sizeof number, value).ptr);
    text += '\n';
  }
  return text;
}

// False unless the text holds exactly one value per control.
bool read_controls_text(std::string_view text, float (&controls)[CONTROL_COUNT]) {
  float values[CONTROL_COUNT];
  const char* at = text.data();
  const char* end = at + text.size();
  for (float& value : values) {
    while (at < end && (*at == '\n' || *at == ' ')) ++at;
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc()) return false;
    at = next;
  }
  while (at < end && (*at == '\n' || *at == ' ' || *at == '\0')) ++at;
  if (at != end) return false;
  std::copy(std::begin(values), std::end(values), controls);
  return true;
}

// A path as the host's state:mapPath feature maps it (to or from the project's own form), or as
// it is when the host offers none.
struct MappedPath {
  const LV2_State_Map_Path* map = nullptr;
  const LV2_State_Free_Path* free = nullptr;
  char* mapped = nullptr;

  MappedPath(const LV2_Feature* const* features, const char* path, bool to_abstract) {
    map = static_cast<const LV2_State_Map_Path*>(feature(features, LV2_STATE__mapPath));
    free = static_cast<const LV2_State_Free_Path*>(feature(features, LV2_STATE__freePath));
    if (map == nullptr) return;
    mapped =
        to_abstract ? map->abstract_path(map->handle, path) : map->absolute_path(map->handle, path);
  }
  MappedPath(const MappedPath&) = delete;
  MappedPath& operator=(const MappedPath&) = delete;
  ~MappedPath() {
    if (mapped == nullptr) return;
    if (free != nullptr) {
      free->free_path(free->handle, mapped);
    } else {
      std::free(mapped);
    }
  }
};

LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t, const LV2_Feature* const* features) {
  const Plugin& plugin = *static_cast<const Plugin*>(instance);
  try {
    const PluginParams saved = read_published(plugin.published);
    const std::string settings = settings_text(saved.params);
    const std::string controls = controls_text(saved.controls);
    const std::string kit = read_published_path(plugin.published_kit);
    const uint32_t flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    LV2_State_Status status = store(handle, plugin.settings_key, settings.c_str(),
                                    settings.size() + 1, plugin.atom_string, flags);
    if (status != LV2_STATE_SUCCESS) return status;
    status = store(handle, plugin.controls_key, controls.c_str(), controls.size() + 1,
                   plugin.atom_string, flags);
    if (status != LV2_STATE_SUCCESS || kit.empty()) return status;
    const MappedPath path(features, kit.c_str(), true);
    const char* stored = path.mapped != nullptr ? path.mapped : kit.c_str();
    return store(handle, plugin.patch.kit, stored, std::strlen(stored) + 1, plugin.patch.atom_path,
                 flags);
  } catch (const std::bad_alloc&) {
    return LV2_STATE_ERR_UNKNOWN;
  }
}

// The kit path kept in the state, made absolute; "" when the state keeps none (it is older
// than the key, or no kit had been loaded) or one too long to take.
void restore_kit_path(Plugin& plugin, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                      const LV2_Feature* const* features) {
  plugin.kit[0] = '\0';
  size_t size = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  const void* data = retrieve(handle, plugin.patch.kit, &size, &type, &flags);
  const std::size_t length = data != nullptr ? strnlen(static_cast<const char*>(data), size) : 0;
  if (type == plugin.patch.atom_path && length > 0 && length < MAX_KIT_PATH) {
    char stored[MAX_KIT_PATH];  // with its NUL, which the host's bytes may lack
    std::memcpy(stored, data, length);
    stored[length] = '\0';
    const MappedPath path(features, stored, false);
    const std::string_view absolute = path.mapped != nullptr ? path.mapped : stored;
    if (absolute.size() < MAX_KIT_PATH) set_path(plugin.kit, absolute);
  }
  publish_path(plugin.published_kit, plugin.kit);
  plugin.tell_kit = plugin.kit[0] != '\0';
}

// The text stored under the key, up to its NUL.
LV2_State_Status retrieved_text(const Plugin& plugin, LV2_State_Retrieve_Function retrieve,
                                LV2_State_Handle handle, LV2_URID key, std::string_view& text) {
  size_t size = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  const void* data = retrieve(handle, key, &size, &type, &flags);
  if (data == nullptr) return LV2_STATE_ERR_NO_PROPERTY;
  if (type != plugin.atom_string) return LV2_STATE_ERR_BAD_TYPE;
  text = std::string_view(static_cast<const char*>(data), size);
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  return LV2_STATE_SUCCESS;
}

// Not concurrent with run(): the voices are made here and now.
LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t, const LV2_Feature* const* features) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  std::string_view text;
  const LV2_State_Status status =
      retrieved_text(plugin, retrieve, handle, plugin.settings_key, text);
  if (status != LV2_STATE_SUCCESS) return status;
  BankParams params;  // a project's voices do not depend on what the instance held before
  read_settings_text(text, params);
  const PluginParams before = plugin.now;
  plugin.now.params = params;
  if (!remake_all_voices(plugin)) {
    plugin.now = before;
    remake_all_voices(plugin);
    return LV2_STATE_ERR_UNKNOWN;
  }
  // The control values the settings were taken from, so that the host's restored port values
  // change nothing (after a kit they differ from what the settings show); older states lack
  // them, and the settings' own values stand in.
  take_port_values_from(plugin);
  std::string_view controls;
  if (retrieved_text(plugin, retrieve, handle, plugin.controls_key, controls) ==
      LV2_STATE_SUCCESS) {
    read_controls_text(controls, plugin.now.controls);
  }
  publish(plugin.published, plugin.now);
  restore_kit_path(plugin, retrieve, handle, features);
  return LV2_STATE_SUCCESS;
}

const void* extension_data(const char* uri) {
  static const LV2_Worker_Interface worker{work, work_response, nullptr};
  static const LV2_State_Interface state{save, restore};
  if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
  if (std::strcmp(uri, LV2_STATE__interface) == 0) return &state;
  return nullptr;
}

const LV2_Descriptor DESCRIPTOR = {
    PLUGIN_URI, instantiate, connect_port, activate, run, nullptr, cleanup, extension_data,
};

}  // namespace
}  // namespace thumpa

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &thumpa::DESCRIPTOR : nullptr;
}
