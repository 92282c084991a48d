// The native sound-server clients when no server runs: the environment points both at a
// socket that does not exist, so these tests behave the same on a desktop with a server.
// Playing through real servers is tested by server_output_test.sh.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "audio/latency_steps.h"
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

// The PulseAudio client's target latency over a run, at 256-frame periods starting from two,
// looked at every 100 ms as the client's timer does: from each row's time on the server's
// underflow count is the row's, and the target then must be the row's. Catches a target that
// never comes down after a busy stretch, one that comes down too early or below its start, and a
// descent that does not give way to a new underflow.
TEST(ServerOutputs, PulseTargetLatencyRisesOnUnderflowsAndStepsBackAfterQuiet) {
  struct Row {
    int at_ms;
    int underflows;
    int target_frames;
  };
  const Row rows[] = {
      {0, 0, 512},        // the start
      {12000, 0, 512},    // quiet from the start: never below it
      {20000, 1, 768},    // an underflow: a period more
      {20200, 2, 1024},   // and another
      {20400, 3, 1280},   // and another
      {30300, 3, 1280},   // not yet ten seconds of quiet
      {30400, 3, 1024},   // ten seconds: one period down
      {32300, 3, 1024},   // the next step waits two seconds more
      {32400, 3, 768},    // another period down
      {33000, 4, 1024},   // an underflow mid-descent: up again
      {42900, 4, 1024},   // and the full ten seconds hold again
      {43000, 4, 768},    //
      {45000, 4, 512},    // down to the start
      {60000, 4, 512},    // and no lower
      {61000, 5, 768},    // rising again from there
      {61100, 6, 1024},   //
      {61200, 7, 1280},   //
      {61300, 8, 1536},   //
      {61400, 9, 1792},   //
      {61500, 10, 2048},  // eight periods at most
      {61600, 11, 2048},  // an underflow at the top restarts the hold
      {71500, 11, 2048},  //
      {71600, 11, 1792},  //
      {77500, 11, 1280},  //
      {77600, 11, 1024},  //
      {81500, 11, 768},   //
      {81600, 11, 512},   // the top is back at the start 20 s after the last underflow
      {90000, 11, 512},   //
  };
  LatencySteps steps{2, 8, 2};
  std::size_t row = 0;
  int underflows = 0;
  for (int ms = 0; ms <= 90000; ms += 100) {
    const bool checked = row < std::size(rows) && rows[row].at_ms == ms;
    if (checked) underflows = rows[row].underflows;
    steps = next_latency_steps(steps, underflows, std::int64_t{ms} * 1'000'000);
    if (checked) {
      EXPECT_EQ(steps.periods * 256, rows[row].target_frames) << "at " << ms << " ms";
      ++row;
    }
  }
  EXPECT_EQ(row, std::size(rows));
}

}  // namespace
}  // namespace thumpa
