#include "audio/output_backends.h"

#include <cstdlib>

#include "audio/jack_output.h"
#include "audio/pipewire_output.h"
#include "audio/pulse_output.h"
#include "audio/sdl_output.h"

namespace thumpa {

namespace {

// The native clients come first: they keep the latency low and say when their frames are
// heard. A JACK server that answers where no desktop server does is the one the user runs;
// SDL, which always answers, comes last.
constexpr std::string_view AUTOMATIC_ORDER[] = {"pipewire", "pulse", "jack", "sdl"};

constexpr const OutputBackend* BACKENDS[] = {&PIPEWIRE_OUTPUT, &PULSE_OUTPUT, &JACK_OUTPUT,
                                             &SDL_OUTPUT};

const OutputBackend* find_backend(std::string_view name,
                                  std::span<const OutputBackend* const> backends) {
  for (const OutputBackend* b : backends) {
    if (name == b->name) return b;
  }
  return nullptr;
}

}  // namespace

std::span<const OutputBackend* const> available_backends() {
  return BACKENDS;
}

BackendChoice choose_backend(std::string_view name,
                             std::span<const OutputBackend* const> backends) {
  if (name.empty() || name == "auto") {
    const OutputBackend* last_asked = nullptr;
    for (std::string_view candidate : AUTOMATIC_ORDER) {
      const OutputBackend* b = find_backend(candidate, backends);
      if (b == nullptr) continue;
      if (b->server_answers()) return {b, {}};
      last_asked = b;
    }
    if (last_asked != nullptr) return {last_asked, {}};
  } else if (const OutputBackend* b = find_backend(name, backends)) {
    return {b, {}};
  }
  std::string error = name.empty() || name == "auto"
                          ? std::string("no sound output for the automatic choice")
                          : "unknown sound output \"" + std::string(name) + "\"";
  error += "; use one of: auto";
  for (const OutputBackend* b : backends) error += std::string(" ") + b->name;
  return {nullptr, error};
}

std::string requested_backend_name(std::string_view command_line_value) {
  if (!command_line_value.empty()) return std::string(command_line_value);
  const char* from_environment = std::getenv("THUMPA_AUDIO");
  return from_environment != nullptr && *from_environment != '\0' ? from_environment : "auto";
}

}  // namespace thumpa
