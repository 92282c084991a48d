// The sound servers this build can play on, and which one a run uses: "auto" takes the first
// whose server answers, in the order pipewire, pulse, jack, sdl; a name takes that backend.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "audio/output_backend.h"

namespace thumpa {

// Every backend of this build.
std::span<const OutputBackend* const> available_backends();

struct BackendChoice {
  const OutputBackend* backend = nullptr;  // null when the name is not one of the backends'
  std::string error;                       // then: what went wrong, with the names to use
};

// "auto" or "" asks each backend of `backends` whose name is in the automatic order whether its
// server answers, in that order, and takes the first that does (the last one asked when none
// does, so that opening it reports why). Any other name takes the backend of that name.
BackendChoice choose_backend(std::string_view name, std::span<const OutputBackend* const> backends);

// The name a run asks for: the command line's --audio value when given, else the environment
// variable THUMPA_AUDIO, else "auto".
std::string requested_backend_name(std::string_view command_line_value);

}  // namespace thumpa
