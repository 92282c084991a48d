// The LV2 instrument: MIDI note-ons in, the eight voices out, sample accurate. Controls are
// read in run(); a changed voice is rendered again in the host's worker thread and handed
// back to run(), which swaps it in. run() never allocates, locks or waits: buffers are made
// and freed by the worker (or while the instance is made, restored or freed), and run() only
// exchanges pointers.
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "audio/midi.h"
#include "files/settings_file.h"
#include "lv2/controls.h"
#include "lv2/player.h"
#include "lv2/published_params.h"
#include "lv2/voice_render.h"

namespace thumpa {
namespace {

constexpr const char* PLUGIN_URI = "urn:thumpa:lv2:drums";
constexpr const char* SETTINGS_KEY = "urn:thumpa:lv2:drums#settings";

// Messages through the host's worker queue: plain bytes, copied by the host.
enum class WorkKind : std::uint32_t { render, release };

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

struct RenderAnswer {
  VoiceId voice;
  std::uint32_t serial;
  PlaybackValues* take;  // null when the voice could not be made: the old one keeps playing
};

struct Plugin {
  double rate = SAMPLE_RATE;
  LV2_Worker_Schedule* schedule = nullptr;
  LV2_URID midi_event = 0;
  LV2_URID atom_string = 0;
  LV2_URID settings_key = 0;

  const LV2_Atom_Sequence* midi_in = nullptr;
  float* out_left = nullptr;
  float* out_right = nullptr;
  const float* controls[CONTROL_COUNT] = {};
  float seen[CONTROL_COUNT] = {};  // each control's value when it was last taken

  // The audio thread's parameters, and the copy save() reads.
  BankParams params;
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
};

bool same_value(float a, float b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

// The port values that show the parameters, so that only a real change renders a voice.
void take_port_values_from(Plugin& plugin, const BankParams& params) {
  const auto ports = control_ports();
  for (std::size_t i = 0; i < CONTROL_COUNT; ++i) plugin.seen[i] = port_value(ports[i], params);
}

// Every voice made again from the plugin's parameters; false when one cannot be made.
// Not real-time: called while the instance is made or restored, never during run().
bool remake_all_voices(Plugin& plugin) {
  for (VoiceId voice : MENU_ORDER) {
    std::unique_ptr<PlaybackValues> made = make_playback_values(plugin.params, voice, plugin.rate);
    if (made == nullptr) return false;
    delete player_replace(plugin.player, voice, made.release());
    delete plugin.retired[voice];
    plugin.retired[voice] = nullptr;
    plugin.changed[voice] = false;
    ++plugin.serial[voice];  // whatever the worker still makes of this voice is stale
  }
  return true;
}

void destroy_voices(Plugin& plugin) {
  for (VoiceId voice : MENU_ORDER) {
    delete player_replace(plugin.player, voice, nullptr);
    delete plugin.retired[voice];
    plugin.retired[voice] = nullptr;
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
  const auto* map = static_cast<const LV2_URID_Map*>(feature(features, LV2_URID__map));
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
  plugin->midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
  plugin->atom_string = map->map(map->handle, LV2_ATOM__String);
  plugin->settings_key = map->map(map->handle, SETTINGS_KEY);
  if (!remake_all_voices(*plugin)) {
    destroy_voices(*plugin);
    delete plugin;
    return nullptr;
  }
  take_port_values_from(*plugin, plugin->params);
  publish(plugin->published, plugin->params);
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
  }
}

void activate(LV2_Handle instance) {
  player_silence(static_cast<Plugin*>(instance)->player);
}

// Takes every control that moved into the parameters and marks its voice.
void read_controls(Plugin& plugin) {
  const auto ports = control_ports();
  bool any = false;
  for (std::size_t i = 0; i < CONTROL_COUNT; ++i) {
    if (plugin.controls[i] == nullptr) continue;
    const float value = *plugin.controls[i];
    if (same_value(value, plugin.seen[i])) continue;
    plugin.seen[i] = value;
    std::int32_t& field = control_field(ports[i], plugin.params);
    const std::int32_t stored = stored_value(ports[i], value);
    if (stored == field) continue;
    field = stored;
    plugin.changed[ports[i].voice] = true;
    any = true;
  }
  if (any) publish(plugin.published, plugin.params);
}

// Hands retired takes to the worker to be freed, and changed voices to be made again. What
// the host's queue cannot take now is asked again in the next run().
void send_work(Plugin& plugin) {
  LV2_Worker_Schedule& s = *plugin.schedule;
  for (VoiceId voice : MENU_ORDER) {
    if (plugin.answer_lost[voice].exchange(false, std::memory_order_acquire)) {
      plugin.rendering[voice] = false;
      plugin.changed[voice] = true;
    }
    if (plugin.retired[voice] != nullptr) {
      const ReleaseRequest request{WorkKind::release, plugin.retired[voice]};
      if (s.schedule_work(s.handle, sizeof request, &request) != LV2_WORKER_SUCCESS) continue;
      plugin.retired[voice] = nullptr;
    }
    if (plugin.changed[voice] && !plugin.rendering[voice]) {
      // Marked before asking: a host that works at once may answer inside schedule_work.
      plugin.changed[voice] = false;
      plugin.rendering[voice] = true;
      const RenderRequest request{WorkKind::render, voice, plugin.serial[voice], plugin.params};
      if (s.schedule_work(s.handle, sizeof request, &request) != LV2_WORKER_SUCCESS) {
        plugin.changed[voice] = true;
        plugin.rendering[voice] = false;
      }
    }
  }
}

// Starts the voices of the note-ons in the bytes of one MIDI event.
void play_event(Plugin& plugin, const std::uint8_t* bytes, std::uint32_t size) {
  MidiParser parser;
  for (std::uint32_t i = 0; i < size; ++i) {
    if (const auto note_on = midi_parse_byte(parser, bytes[i])) {
      if (const auto voice = voice_for_note(note_on->note)) player_start(plugin.player, *voice);
    }
  }
}

void run(LV2_Handle instance, uint32_t frames) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  read_controls(plugin);
  send_work(plugin);
  std::uint32_t done = 0;
  if (plugin.midi_in != nullptr) {
    // The sequence's own size bounds every event in it: an event that claims more than is left
    // is read only as far as the sequence goes, and ends it.
    const auto* body = reinterpret_cast<const std::uint8_t*>(&plugin.midi_in->body);
    const std::uint64_t size = plugin.midi_in->atom.size;
    std::uint64_t offset = sizeof(LV2_Atom_Sequence_Body);
    while (offset + sizeof(LV2_Atom_Event) <= size) {
      LV2_Atom_Event event;
      std::memcpy(&event, body + offset, sizeof event);
      offset += sizeof event;
      const std::uint64_t body_size = std::min<std::uint64_t>(event.body.size, size - offset);
      if (event.body.type == plugin.midi_event) {
        // Events are in time order; one out of order or beyond the block sounds at once.
        const auto at =
            static_cast<std::uint32_t>(std::clamp<std::int64_t>(event.time.frames, done, frames));
        player_mix(plugin.player, plugin.out_left + done, plugin.out_right + done, at - done);
        done = at;
        play_event(plugin, body + offset, static_cast<std::uint32_t>(body_size));
      }
      offset += lv2_atom_pad_size(static_cast<std::uint32_t>(body_size));
    }
  }
  player_mix(plugin.player, plugin.out_left + done, plugin.out_right + done, frames - done);
}

void cleanup(LV2_Handle instance) {
  Plugin* plugin = static_cast<Plugin*>(instance);
  destroy_voices(*plugin);
  delete plugin;
}

// Worker thread: makes a voice, or frees one that run() let go of.
LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  WorkKind kind;
  if (size < sizeof kind) return LV2_WORKER_ERR_UNKNOWN;
  std::memcpy(&kind, data, sizeof kind);
  if (kind == WorkKind::release && size == sizeof(ReleaseRequest)) {
    ReleaseRequest request;
    std::memcpy(&request, data, sizeof request);
    delete request.take;
    return LV2_WORKER_SUCCESS;
  }
  if (kind != WorkKind::render || size != sizeof(RenderRequest)) return LV2_WORKER_ERR_UNKNOWN;
  RenderRequest request;
  std::memcpy(&request, data, sizeof request);
  if (playback_slot(request.voice) < 0) return LV2_WORKER_ERR_UNKNOWN;
  const RenderAnswer answer{
      request.voice, request.serial,
      make_playback_values(request.params, request.voice, plugin.rate).release()};
  const LV2_Worker_Status status = respond(handle, sizeof answer, &answer);
  if (status != LV2_WORKER_SUCCESS) {
    delete answer.take;  // never reaches run(): drop it here, and have run() ask again
    plugin.answer_lost[request.voice].store(true, std::memory_order_release);
  }
  return status;
}

// Audio thread, between runs: the made voice replaces the old one, which goes back to the
// worker to be freed.
LV2_Worker_Status work_response(LV2_Handle instance, uint32_t size, const void* data) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  RenderAnswer answer;
  if (size != sizeof answer) return LV2_WORKER_ERR_UNKNOWN;
  std::memcpy(&answer, data, sizeof answer);
  if (playback_slot(answer.voice) < 0) return LV2_WORKER_ERR_UNKNOWN;
  plugin.rendering[answer.voice] = false;
  const PlaybackValues* old = answer.take;  // a stale or failed answer changes nothing
  if (answer.take != nullptr && answer.serial == plugin.serial[answer.voice]) {
    old = player_replace(plugin.player, answer.voice, answer.take);
  } else if (answer.take == nullptr) {
    plugin.changed[answer.voice] = true;  // try again in the next run()
  }
  plugin.retired[answer.voice] = old;
  return LV2_WORKER_SUCCESS;
}

LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t, const LV2_Feature* const*) {
  const Plugin& plugin = *static_cast<const Plugin*>(instance);
  try {
    const std::string text = settings_text(read_published(plugin.published));
    return store(handle, plugin.settings_key, text.c_str(), text.size() + 1, plugin.atom_string,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
  } catch (const std::bad_alloc&) {
    return LV2_STATE_ERR_UNKNOWN;
  }
}

// Not concurrent with run(): the voices are made here and now.
LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t, const LV2_Feature* const*) {
  Plugin& plugin = *static_cast<Plugin*>(instance);
  size_t size = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  const void* data = retrieve(handle, plugin.settings_key, &size, &type, &flags);
  if (data == nullptr) return LV2_STATE_ERR_NO_PROPERTY;
  if (type != plugin.atom_string) return LV2_STATE_ERR_BAD_TYPE;
  std::string_view text(static_cast<const char*>(data), size);
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  BankParams params;  // a project's voices do not depend on what the instance held before
  read_settings_text(text, params);
  const BankParams before = plugin.params;
  plugin.params = params;
  if (!remake_all_voices(plugin)) {
    plugin.params = before;
    remake_all_voices(plugin);
    return LV2_STATE_ERR_UNKNOWN;
  }
  take_port_values_from(plugin, params);
  publish(plugin.published, params);
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
