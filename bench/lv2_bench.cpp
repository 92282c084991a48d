// The cost of the plugin's run() for one 64-frame block (1.45 ms at 44100 Hz) with all eight
// voices started in it at mixed velocities and every output connected: the stereo mix and
// each voice alone. The plugin is loaded from the built bundle by a host library, as a host
// loads it. x_real_time is block time per run() time: its inverse is run()'s share of a block.
#include <benchmark/benchmark.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t BLOCK = 64;

std::vector<std::string> uris;

LV2_URID map_uri(LV2_URID_Map_Handle, const char* uri) {
  for (std::size_t i = 0; i < uris.size(); ++i) {
    if (uris[i] == uri) return static_cast<LV2_URID>(i + 1);
  }
  uris.emplace_back(uri);
  return static_cast<LV2_URID>(uris.size());
}

// Nothing changes while it runs, so the worker is never needed.
LV2_Worker_Status refuse_work(LV2_Worker_Schedule_Handle, uint32_t, const void*) {
  return LV2_WORKER_ERR_NO_SPACE;
}

void BM_lv2_run(benchmark::State& state) {
  LilvWorld* world = lilv_world_new();
  LilvNode* bundle = lilv_new_file_uri(world, nullptr, THUMPA_LV2_BUNDLE "/");
  lilv_world_load_bundle(world, bundle);
  LilvNode* uri = lilv_new_uri(world, "urn:thumpa:lv2:drums");
  const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
  LV2_URID_Map map{nullptr, map_uri};
  LV2_Worker_Schedule schedule{nullptr, refuse_work};
  const LV2_Feature map_feature{LV2_URID__map, &map};
  const LV2_Feature schedule_feature{LV2_WORKER__schedule, &schedule};
  const LV2_Feature* features[] = {&map_feature, &schedule_feature, nullptr};
  LilvInstance* instance =
      plugin != nullptr ? lilv_plugin_instantiate(plugin, 44100, features) : nullptr;
  if (instance == nullptr) {
    state.SkipWithError("the plugin did not load from " THUMPA_LV2_BUNDLE);
    lilv_world_free(world);
    return;
  }

  // Controls at their defaults, every audio output its own buffer, notify a buffer too.
  const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
  std::vector<float> controls(ports);
  lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, controls.data());
  std::vector<std::vector<float>> audio;
  std::vector<std::uint64_t> notify(512), sequence(512);
  LilvNode* audio_class = lilv_new_uri(world, LV2_CORE__AudioPort);
  LilvNode* atom_class = lilv_new_uri(world, LV2_ATOM__AtomPort);
  for (std::uint32_t i = 0; i < ports; ++i) {
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
    if (lilv_port_is_a(plugin, port, audio_class)) {
      lilv_instance_connect_port(instance, i, audio.emplace_back(BLOCK).data());
    } else if (!lilv_port_is_a(plugin, port, atom_class)) {
      lilv_instance_connect_port(instance, i, &controls[i]);
    }
  }
  for (auto [symbol, buffer] : {std::pair{"midi_in", sequence.data()}, {"notify", notify.data()}}) {
    LilvNode* name = lilv_new_string(world, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, name);
    lilv_node_free(name);
    if (port != nullptr)
      lilv_instance_connect_port(instance, lilv_port_get_index(plugin, port), buffer);
  }

  // The first note of each voice, each at its own velocity, all at the block's first frame.
  const std::uint8_t notes[8][2] = {{36, 127}, {38, 100}, {42, 80},  {46, 60},
                                    {56, 40},  {75, 20},  {50, 110}, {47, 90}};
  auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(sequence.data());
  seq->atom = {sizeof(LV2_Atom_Sequence_Body), map_uri(nullptr, LV2_ATOM__Sequence)};
  seq->body = {0, 0};
  for (const auto& note : notes) {
    auto* at = reinterpret_cast<std::uint8_t*>(sequence.data()) + sizeof(LV2_Atom) + seq->atom.size;
    const LV2_Atom_Event head{{0}, {3, map_uri(nullptr, LV2_MIDI__MidiEvent)}};
    const std::uint8_t midi[3] = {0x99, note[0], note[1]};
    std::memcpy(at, &head, sizeof head);
    std::memcpy(at + sizeof head, midi, sizeof midi);
    seq->atom.size += lv2_atom_pad_size(sizeof head + sizeof midi);
  }
  auto* notify_atom = reinterpret_cast<LV2_Atom*>(notify.data());

  lilv_instance_activate(instance);
  for (auto _ : state) {
    notify_atom->size = static_cast<std::uint32_t>(notify.size() * 8 - sizeof(LV2_Atom));
    lilv_instance_run(instance, BLOCK);
    benchmark::DoNotOptimize(audio.front().data());
  }
  state.counters["x_real_time"] =
      benchmark::Counter(double{BLOCK} / 44100, benchmark::Counter::kIsIterationInvariantRate);
  lilv_instance_deactivate(instance);
  lilv_instance_free(instance);
  lilv_node_free(audio_class);
  lilv_node_free(atom_class);
  lilv_node_free(uri);
  lilv_node_free(bundle);
  lilv_world_free(world);
}
BENCHMARK(BM_lv2_run);

}  // namespace
