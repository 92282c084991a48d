// Which sound output a run uses, from made-up backends whose servers answer or not.
#include "audio/output_backends.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "audio/sdl_output.h"

namespace thumpa {
namespace {

std::set<std::string> answering;  // the servers that answer now

template <const char* NAME>
OutputBackend fake() {
  OutputBackend b{};
  b.name = NAME;
  b.server_answers = [] { return answering.count(NAME) > 0; };
  return b;
}

constexpr char PIPEWIRE[] = "pipewire", PULSE[] = "pulse", JACK[] = "jack", SDL[] = "sdl";
const OutputBackend FAKES[] = {fake<SDL>(), fake<JACK>(), fake<PULSE>(), fake<PIPEWIRE>()};
// Listed against the automatic order, which must not matter.
const OutputBackend* const LISTED[] = {&FAKES[0], &FAKES[1], &FAKES[2], &FAKES[3]};

TEST(BackendChoice, AutomaticTakesTheFirstAnsweringServerAndANameTakesItsBackend) {
  const struct {
    const char* name;
    std::set<std::string> answering;
    const char* chosen;  // null: a usage error
  } cases[] = {
      {"auto", {"pipewire", "pulse", "jack", "sdl"}, "pipewire"},
      {"", {"pulse", "jack", "sdl"}, "pulse"},
      {"auto", {"jack", "sdl"}, "jack"},  // JACK where no desktop server answers
      {"auto", {"pulse", "jack"}, "pulse"},
      {"auto", {"sdl"}, "sdl"},
      {"auto", {}, "sdl"},   // none answers: the last asked reports why
      {"jack", {}, "jack"},  // a name is taken without asking
      {"pulse", {"pipewire"}, "pulse"},
      {"sdl", {"pipewire"}, "sdl"},
      {"alsa", {"sdl"}, nullptr},
      {"Pulse", {"pulse"}, nullptr},
  };
  for (const auto& c : cases) {
    answering = c.answering;
    const BackendChoice choice = choose_backend(c.name, LISTED);
    if (c.chosen == nullptr) {
      EXPECT_EQ(choice.backend, nullptr) << c.name;
      EXPECT_EQ(choice.error, "unknown sound output \"" + std::string(c.name) +
                                  "\"; use one of: auto sdl jack pulse pipewire");
    } else {
      ASSERT_NE(choice.backend, nullptr) << c.name << ": " << choice.error;
      EXPECT_STREQ(choice.backend->name, c.chosen) << "\"" << c.name << "\"";
    }
  }
  EXPECT_EQ(choose_backend("auto", {}).backend, nullptr);
  EXPECT_EQ(choose_backend("sdl", available_backends()).backend, &SDL_OUTPUT);
}

TEST(BackendChoice, CommandLineBeforeEnvironmentBeforeAutomatic) {
  setenv("THUMPA_AUDIO", "sdl", 1);
  EXPECT_EQ(requested_backend_name("pulse"), "pulse");
  EXPECT_EQ(requested_backend_name(""), "sdl");
  setenv("THUMPA_AUDIO", "", 1);
  EXPECT_EQ(requested_backend_name(""), "auto");
  unsetenv("THUMPA_AUDIO");
  EXPECT_EQ(requested_backend_name(""), "auto");
}

}  // namespace
}  // namespace thumpa
