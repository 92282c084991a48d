// The plugin's window, as the host loads it: an LV2 UI of type X11UI that links no toolkit.
// It starts the window as its own process (thumpa-lv2-window, beside the bundle's files),
// hands it the host's values and the kit's path, and passes what the window asks for to the
// plugin through the host: control values, note-ons and the kit to open. When the host embeds
// the UI (ui:parent) the window starts at once, inside the host's window; otherwise it starts
// and ends with ui:showInterface's show and hide. A window that dies leaves host and sound
// alone and is started again in its place, unless it died soon after it started (a window
// that cannot start is not started over and over); a new show starts a new one.
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "audio/midi.h"
#include "lv2/controls.h"
#include "lv2/patch_messages.h"
#include "lv2ui/ui_protocol.h"
#include "lv2ui/ui_window_process.h"

namespace thumpa {
namespace {

constexpr const char* UI_URI = "urn:thumpa:lv2:drums#ui";
constexpr const char* PLUGIN_URI = "urn:thumpa:lv2:drums";
constexpr const char* WINDOW_PROGRAM = "thumpa-lv2-window";
// How long an embedding host waits for the window to exist before the UI gives up.
constexpr int WINDOW_WAIT_MS = 5000;
// A window that crashes after living this long is started again.
constexpr std::int64_t RESTART_AFTER_MS = 2000;

std::int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Ui {
  LV2UI_Write_Function write = nullptr;
  LV2UI_Controller controller = nullptr;
  const LV2UI_Resize* resize = nullptr;
  LV2_URID_Map* map = nullptr;
  LV2_URID event_transfer = 0;
  LV2_URID midi_event = 0;
  PatchUrids patch;
  std::string program;
  std::uint64_t parent = 0;  // the host's window; 0 when the UI shows itself
  // The frame the host was given as the UI's widget. It outlives a crashed window, so a
  // window started again goes inside it.
  std::uint64_t widget = 0;
  WindowProcess window;
  std::int64_t window_started_ms = 0;
  std::uint64_t window_id = 0;
  std::array<float, CONTROL_COUNT> values{};
  std::array<bool, CONTROL_COUNT> known{};
  std::string kit;
};

const void* feature(const LV2_Feature* const* features, const char* uri) {
  for (; features != nullptr && *features != nullptr; ++features) {
    if (std::strcmp((*features)->URI, uri) == 0) return (*features)->data;
  }
  return nullptr;
}

// The note the plugin plays the voice for: the lowest the note map gives it.
int note_of(VoiceId voice) {
  for (int note = 0; note < 128; ++note) {
    if (voice_for_note(note) == voice) return note;
  }
  return -1;
}

void send_note(Ui& ui, VoiceId voice) {
  const int note = note_of(voice);
  if (note < 0) return;
  struct {
    LV2_Atom atom;
    std::uint8_t bytes[3];
  } event{{3, ui.midi_event}, {0x99, static_cast<std::uint8_t>(note), 127}};
  ui.write(ui.controller, PORT_MIDI_IN, sizeof event.atom + 3, ui.event_transfer, &event);
}

// A patch message to the plugin: a Set of the kit when a path is given, else a Get of it.
void send_patch(Ui& ui, const std::string* path) {
  std::vector<std::uint8_t> buffer(MAX_UI_LINE + 256);
  LV2_Atom_Forge forge;
  lv2_atom_forge_init(&forge, ui.map);
  lv2_atom_forge_set_buffer(&forge, buffer.data(), buffer.size());
  LV2_Atom_Forge_Frame frame;
  const LV2_Atom_Forge_Ref object =
      lv2_atom_forge_object(&forge, &frame, 0, path ? ui.patch.patch_set : ui.patch.patch_get);
  lv2_atom_forge_key(&forge, ui.patch.patch_property);
  lv2_atom_forge_urid(&forge, ui.patch.kit);
  if (path != nullptr) {
    lv2_atom_forge_key(&forge, ui.patch.patch_value);
    lv2_atom_forge_path(&forge, path->c_str(), static_cast<std::uint32_t>(path->size()));
  }
  lv2_atom_forge_pop(&forge, &frame);
  const auto* atom = reinterpret_cast<const LV2_Atom*>(lv2_atom_forge_deref(&forge, object));
  if (atom == nullptr) return;
  ui.write(ui.controller, PORT_MIDI_IN, static_cast<std::uint32_t>(sizeof(LV2_Atom) + atom->size),
           ui.event_transfer, atom);
}

void tell_window(Ui& ui, const UiMessage& message) {
  send_to_window(ui.window, ui_line(message));
}

void handle_line(Ui& ui, const std::string& line) {
  const std::optional<UiMessage> message = parse_ui_line(line);
  if (!message) return;
  switch (message->word) {
    case UiWord::control:
      if (message->index < CONTROL_COUNT) {
        ui.values[message->index] = message->value;
        ui.known[message->index] = true;
        ui.write(ui.controller, FIRST_CONTROL_PORT + message->index, sizeof(float), 0,
                 &message->value);
      }
      break;
    case UiWord::kit:
      if (!message->path.empty() && message->path.size() < MAX_UI_LINE)
        send_patch(ui, &message->path);
      break;
    case UiWord::play:
      if (is_voice(static_cast<std::int32_t>(message->index))) {
        send_note(ui, static_cast<VoiceId>(message->index));
      }
      break;
    case UiWord::size:
      if (ui.resize != nullptr) {
        ui.resize->ui_resize(ui.resize->handle, static_cast<int>(message->index),
                             static_cast<int>(message->number));
      }
      break;
    case UiWord::window:
      ui.window_id = message->number;
      break;
  }
}

bool open_window(Ui& ui) {
  if (window_running(ui.window)) return true;
  ui.window_id = 0;
  if (!start_window(ui.window, ui.program, ui.widget != 0 ? ui.widget : ui.parent)) {
    std::fprintf(stderr, "Thumpa: cannot start %s\n", ui.program.c_str());
    return false;
  }
  ui.window_started_ms = steady_ms();
  for (std::uint32_t i = 0; i < CONTROL_COUNT; ++i) {
    if (ui.known[i]) tell_window(ui, {UiWord::control, i, ui.values[i], 0, {}});
  }
  if (!ui.kit.empty()) tell_window(ui, {UiWord::kit, 0, 0, 0, ui.kit});
  return true;
}

// Reads what the window sent; false when it is gone (reaped, and started again when it
// crashed after a while).
bool serve_window(Ui& ui) {
  if (!window_running(ui.window)) return false;
  std::vector<std::string> lines;
  const bool open = read_window(ui.window, lines);
  for (const std::string& line : lines) handle_line(ui, line);
  if (open) return true;
  const bool crashed = stop_window(ui.window);
  if (!crashed || steady_ms() - ui.window_started_ms < RESTART_AFTER_MS) return false;
  std::fprintf(stderr, "Thumpa: the window ended unexpectedly; starting it again\n");
  return open_window(ui);
}

// An embedding host needs the window's id as the UI's widget: wait until the window says it.
bool wait_for_window_id(Ui& ui) {
  while (ui.window_id == 0) {
    std::vector<std::string> lines;
    if (!wait_for_window(ui.window, WINDOW_WAIT_MS, lines)) return false;
    for (const std::string& line : lines) handle_line(ui, line);
  }
  return true;
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char* plugin_uri, const char* bundle_path,
                         LV2UI_Write_Function write_function, LV2UI_Controller controller,
                         LV2UI_Widget* widget, const LV2_Feature* const* features) {
  auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(feature(features, LV2_URID__map)));
  if (map == nullptr || plugin_uri == nullptr || std::strcmp(plugin_uri, PLUGIN_URI) != 0 ||
      bundle_path == nullptr) {
    return nullptr;
  }
  auto* ui = new (std::nothrow) Ui;
  if (ui == nullptr) return nullptr;
  ui->write = write_function;
  ui->controller = controller;
  ui->map = map;
  ui->resize = static_cast<const LV2UI_Resize*>(feature(features, LV2_UI__resize));
  ui->event_transfer = map->map(map->handle, LV2_ATOM__eventTransfer);
  ui->midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
  ui->patch = map_patch_urids(*map);
  ui->program = bundle_path;
  if (!ui->program.empty() && ui->program.back() != '/') ui->program += '/';
  ui->program += WINDOW_PROGRAM;
  ui->parent = reinterpret_cast<std::uintptr_t>(feature(features, LV2_UI__parent));
  if (widget != nullptr) *widget = nullptr;
  if (ui->parent != 0) {
    if (!open_window(*ui) || !wait_for_window_id(*ui)) {
      std::fprintf(stderr, "Thumpa: the window did not start\n");
      stop_window(ui->window);
      delete ui;
      return nullptr;
    }
    ui->widget = ui->window_id;
    if (widget != nullptr) *widget = reinterpret_cast<LV2UI_Widget>(ui->widget);
  }
  send_patch(*ui, nullptr);  // the plugin answers with the kit's path on its notify port
  return ui;
}

void cleanup(LV2UI_Handle handle) {
  auto* ui = static_cast<Ui*>(handle);
  stop_window(ui->window);
  delete ui;
}

void port_event(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format,
                const void* buffer) {
  Ui& ui = *static_cast<Ui*>(handle);
  if (format == 0 && size == sizeof(float) && port >= FIRST_CONTROL_PORT &&
      port - FIRST_CONTROL_PORT < CONTROL_COUNT) {
    const std::uint32_t index = port - FIRST_CONTROL_PORT;
    std::memcpy(&ui.values[index], buffer, sizeof(float));
    ui.known[index] = true;
    tell_window(ui, {UiWord::control, index, ui.values[index], 0, {}});
  } else if (format == ui.event_transfer && port == PORT_NOTIFY && size >= sizeof(LV2_Atom)) {
    const std::string_view path =
        kit_set(ui.patch, {static_cast<const LV2_Atom*>(buffer), static_cast<std::uint64_t>(size)});
    if (path.empty()) return;
    ui.kit = std::string(path);
    tell_window(ui, {UiWord::kit, 0, 0, 0, ui.kit});
  }
}

int idle(LV2UI_Handle handle) {
  Ui& ui = *static_cast<Ui*>(handle);
  const bool open = serve_window(ui);
  // A window of its own that closed tells the host so; an embedded one leaves the host's
  // window in place, empty.
  return open || ui.parent != 0 ? 0 : 1;
}

int show(LV2UI_Handle handle) {
  return open_window(*static_cast<Ui*>(handle)) ? 0 : 1;
}

int hide(LV2UI_Handle handle) {
  stop_window(static_cast<Ui*>(handle)->window);
  return 0;
}

const void* extension_data(const char* uri) {
  static const LV2UI_Idle_Interface idle_interface = {idle};
  static const LV2UI_Show_Interface show_interface = {show, hide};
  if (std::strcmp(uri, LV2_UI__idleInterface) == 0) return &idle_interface;
  if (std::strcmp(uri, LV2_UI__showInterface) == 0) return &show_interface;
  return nullptr;
}

const LV2UI_Descriptor DESCRIPTOR = {UI_URI, instantiate, cleanup, port_event, extension_data};

}  // namespace
}  // namespace thumpa

extern "C" LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
  return index == 0 ? &thumpa::DESCRIPTOR : nullptr;
}
