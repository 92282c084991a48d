// The native sound-server clients when no server runs: the environment points both at a
// socket that does not exist, so these tests behave the same on a desktop with a server.
// Playing through real servers is tested by server_output_test.sh.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "audio/pipewire_output.h"
#include "audio/pulse_output.h"

namespace thumpa {
namespace {

// Sets an environment variable for one test and puts the old value back.
struct ScopedEnv {
  std::string name;
  std::string old;
  bool had = false;
  ScopedEnv(const char* n, const char* value) : name(n) {
    if (const char* v = getenv(n)) {
      old = v;
      had = true;
    }
    setenv(n, value, 1);
  }
  ~ScopedEnv() {
    if (had) {
      setenv(name.c_str(), old.c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
};

TEST(ServerOutputs, WithoutAServerOpeningFailsAtConnectingWithTheServersReason) {
  const char* missing = "/nonexistent-thumpa-runtime";
  ScopedEnv runtime("XDG_RUNTIME_DIR", missing);
  ScopedEnv pulse("PULSE_SERVER", "unix:/nonexistent-thumpa-runtime/pulse/native");
  ScopedEnv pipewire("PIPEWIRE_REMOTE", "/nonexistent-thumpa-runtime/pipewire-0");

  for (const OutputBackend* backend : {&PIPEWIRE_OUTPUT, &PULSE_OUTPUT}) {
    SCOPED_TRACE(backend->name);
    EXPECT_FALSE(backend->server_answers());
    MixerState mixer;
    const auto failure = backend->open(mixer, PERIOD_FRAMES);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->step, OpenStep::init);
    EXPECT_FALSE(failure->detail.empty());
    // Nothing stays open: the figures read as closed, and closing again is harmless.
    EXPECT_EQ(backend->period_frames(), 0);
    EXPECT_EQ(backend->latency_frames(), 0);
    backend->close();
  }
}

}  // namespace
}  // namespace thumpa
