// The plugin's parameters as another thread may read them while run() changes them: save()
// may run at the same time as run(), and the worker reads them to load a kit. Lock-free on
// both sides; run() never waits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lv2/controls.h"
#include "lv2/kit_file.h"
#include "synth/types.h"

namespace thumpa {

// The parameters, and the control port values they were last taken from: a host that sets
// those values again changes nothing.
struct PluginParams {
  BankParams params;
  float controls[CONTROL_COUNT] = {};
};

inline constexpr std::size_t PARAM_WORDS = sizeof(PluginParams) / sizeof(std::int32_t);

// A sequence count that is odd while the writer writes, and the fields as atomics, so that a
// reader that overlaps a write retries instead of reading a torn copy.
struct PublishedParams {
  std::atomic<std::uint32_t> sequence{0};
  std::atomic<std::int32_t> words[PARAM_WORDS] = {};
};

// One writer (the audio thread); real-time safe.
void publish(PublishedParams& published, const PluginParams& params);

// Any other thread.
PluginParams read_published(const PublishedParams& published);

// The path of the kit the voices were loaded from, for save(): the same scheme, in 64-bit words
// of the path's bytes up to its NUL. Written only when a kit is taken or a state restored.
struct PublishedPath {
  std::atomic<std::uint32_t> sequence{0};
  std::atomic<std::uint64_t> words[MAX_KIT_PATH / 8] = {};
};

// One writer (the audio thread); real-time safe. A path of MAX_KIT_PATH bytes or more is cut.
void publish_path(PublishedPath& published, std::string_view path);

// Any other thread; allocates the text.
std::string read_published_path(const PublishedPath& published);

}  // namespace thumpa
