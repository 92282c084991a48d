// The mixer pulled directly, without a device; the metronome's ticks placed by it.
#include "audio/mixer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/metronome.h"
#include "synth/voices.h"

namespace thumpa {
namespace {

// A voice whose 16-bit samples are `pcm`; the low halves carry noise that must be dropped.
VoiceBuffer voice_of(const std::vector<std::int16_t>& pcm) {
  VoiceBuffer v;
  v.count = static_cast<std::uint32_t>(pcm.size());
  v.samples.reset(static_cast<Q31*>(std::malloc(pcm.size() * sizeof(Q31) + 1)));
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    v.samples[i] = static_cast<Q31>(pcm[i] * 65536 + static_cast<std::int32_t>(i * 7919 % 65536));
  }
  return v;
}

std::vector<std::int16_t> ramp(int n, int start, int step) {
  std::vector<std::int16_t> pcm;
  for (int i = 0; i < n; ++i) pcm.push_back(static_cast<std::int16_t>((start + i * step) % 30000));
  return pcm;
}

// Pulls frames in passes of the given sizes and returns the left channel, checking that the
// right one is the same.
std::vector<std::int16_t> pull(MixerState& mixer, std::initializer_list<int> passes) {
  std::vector<std::int16_t> left;
  for (int frames : passes) {
    std::vector<std::int16_t> out(static_cast<std::size_t>(frames) * 2, 12345);
    mix_frames(mixer, out.data(), frames);
    for (int i = 0; i < frames; ++i) {
      EXPECT_EQ(out[2 * i], out[2 * i + 1]) << "frame " << left.size();
      left.push_back(out[2 * i]);
    }
  }
  return left;
}

std::vector<std::int16_t> silence(std::size_t n) {
  return std::vector<std::int16_t>(n, 0);
}

std::vector<std::int16_t> concat(std::vector<std::int16_t> a, const std::vector<std::int16_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Mixer : ::testing::Test {
  MixerState mixer;
  std::vector<PlaybackBuffer*> made;

  PlaybackBuffer* attached(const std::vector<std::int16_t>& pcm) {
    PlaybackBuffer* b = allocate_playback_buffer(voice_of(pcm));
    EXPECT_GE(mixer_attach(mixer, b), 0);
    made.push_back(b);
    return b;
  }
  ~Mixer() override {
    for (PlaybackBuffer* b : made) {
      mixer_detach(mixer, b);
      free_playback_buffer(b);
    }
  }
};

TEST(PlaybackConversion, KeepsTheTopHalfOfEachSample) {
  const struct {
    Q31 in;
    std::int16_t out;
  } cases[] = {{-2147483647 - 1, -32768},
               {2147483647, 32767},
               {-1, -1},
               {65535, 0},
               {65536, 1},
               {-65536, -1},
               {-65537, -2},
               {0, 0}};
  VoiceBuffer v;
  v.count = std::size(cases);
  v.samples.reset(static_cast<Q31*>(std::malloc(sizeof(Q31) * v.count)));
  for (std::uint32_t i = 0; i < v.count; ++i) v.samples[i] = cases[i].in;
  PlaybackBuffer* b = allocate_playback_buffer(v);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->sound.count, v.count);
  for (std::uint32_t i = 0; i < v.count; ++i)
    EXPECT_EQ(b->sound.samples[i], cases[i].out) << cases[i].in;
  free_playback_buffer(b);
}

TEST_F(Mixer, PlayedVoiceComesOutExactlyOnBothChannelsThenStops) {
  const auto pcm = ramp(700, -20000, 97);
  PlaybackBuffer* b = attached(pcm);
  EXPECT_EQ(pull(mixer, {256}), silence(256)) << "nothing plays before a request";

  request_play(*b);
  // Uneven pulls: the voice continues across passes of any size.
  EXPECT_EQ(pull(mixer, {100, 256, 1, 600, 43}), concat(pcm, silence(300)));

  request_play(*b);  // a finished voice plays again
  EXPECT_EQ(pull(mixer, {1000}), concat(pcm, silence(300)));
}

TEST_F(Mixer, SecondPlayRestartsTheVoiceInsteadOfLayeringIt) {
  const auto pcm = ramp(600, 1, 11);
  PlaybackBuffer* b = attached(pcm);
  request_play(*b);
  const auto first = pull(mixer, {256});
  request_play(*b);
  request_play(*b);  // two requests within one period are one restart
  const auto second = pull(mixer, {700});
  EXPECT_EQ(first, std::vector<std::int16_t>(pcm.begin(), pcm.begin() + 256));
  EXPECT_EQ(second, concat(pcm, silence(100)));
}

// Pulls one pass of `frames` that starts at pass_ns on the steady clock; returns the left channel.
std::vector<std::int16_t> pull_at(MixerState& mixer, int frames, std::int64_t pass_ns) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(frames) * 2);
  mix_frames(mixer, out.data(), frames, pass_ns);
  std::vector<std::int16_t> left;
  for (int i = 0; i < frames; ++i) left.push_back(out[2 * i]);
  return left;
}

constexpr std::int64_t NS_PER_FRAME_X256 = 256'000'000'000 / SAMPLE_RATE;  // one 256-frame pass
constexpr std::int64_t T0 = 5'000'000'000;                                 // any start time

std::int64_t frames_ns(std::int64_t frames, int rate = SAMPLE_RATE) {
  return frames * 1'000'000'000 / rate;
}

// A request is due a little after the start of frame 100 of a pass; it starts exactly there,
// however far the steady clock has run (a request's word must keep every bit of its due time
// that counts), however close to the frame's start it is due (never a frame early), and at
// whatever rate the stream runs.
TEST(MixerTiming, TimedRequestStartsAtItsFrameInsideAPass) {
  const auto pcm = ramp(300, 100, 3);
  const VoiceBuffer voice = voice_of(pcm);
  for (const int rate : {SAMPLE_RATE, 48000, 96000}) {
    const std::int64_t pass_ns = frames_ns(256, rate);
    for (const std::int64_t start :
         {T0, std::int64_t{1'000'000'000'000'000}, std::int64_t{4'000'000'000'000'000'000}}) {
      for (const std::int64_t past_frame_start : {1, 1000, 9000}) {
        MixerState mixer;
        mixer.rate = rate;
        PlaybackBuffer* b = allocate_playback_buffer(voice);
        ASSERT_GE(mixer_attach(mixer, b), 0);
        pull_at(mixer, 256, start);  // the stream clock starts
        request_play(*b, start + pass_ns + frames_ns(100, rate) + past_frame_start);
        EXPECT_EQ(pull_at(mixer, 256, start + pass_ns),
                  concat(silence(100), std::vector<std::int16_t>(pcm.begin(), pcm.begin() + 156)))
            << rate << " Hz, " << start << " + " << past_frame_start;
        EXPECT_EQ(pull_at(mixer, 256, start + 2 * pass_ns),
                  concat(std::vector<std::int16_t>(pcm.begin() + 156, pcm.end()), silence(112)));
        mixer_detach(mixer, b);
        free_playback_buffer(b);
      }
    }
  }
}

TEST_F(Mixer, TimedRequestWaitsForItsPassAndCutsTheOldSoundThere) {
  const auto pcm = ramp(1000, -500, 1);
  PlaybackBuffer* b = attached(pcm);
  request_play(*b);
  pull_at(mixer, 256, T0);  // sounding: 256 frames played
  request_play(*b, T0 + 2 * NS_PER_FRAME_X256 + frames_ns(10) + 1000);  // not in the next pass
  EXPECT_EQ(pull_at(mixer, 256, T0 + NS_PER_FRAME_X256),
            std::vector<std::int16_t>(pcm.begin() + 256, pcm.begin() + 512));
  EXPECT_EQ(pull_at(mixer, 256, T0 + 2 * NS_PER_FRAME_X256),
            concat(std::vector<std::int16_t>(pcm.begin() + 512, pcm.begin() + 522),
                   std::vector<std::int16_t>(pcm.begin(), pcm.begin() + 246)));
  // A request already due when its pass starts plays from the pass's first frame.
  request_play(*b, T0);
  EXPECT_EQ(pull_at(mixer, 256, T0 + 3 * NS_PER_FRAME_X256),
            std::vector<std::int16_t>(pcm.begin(), pcm.begin() + 256));
}

// Metronome ticks: a tick's play request is made whenever the main thread gets to it, due at the
// tick's deadline plus the play offset. The ticks land 13230 frames (300 ms) apart however late
// the main thread is, whether the stream says when its frames are heard or the mixer estimates
// it from the start times of its passes, which the device's thread moves by up to 1 ms.
TEST(MixerTiming, MetronomeTicksLandOnePeriodApartHoweverLateTheMainThread) {
  const struct {
    bool stream_timed;  // mix_frames_at with the times the frames are heard, else mix_frames
    std::int64_t most_late_ns;
    std::int64_t tolerance;  // frames
  } cases[] = {{false, 1, 22}, {false, 12'000'000, 22}, {true, 1, 1}, {true, 8'000'000, 1}};
  const VoiceBuffer voice = voice_of(std::vector<std::int16_t>(50, 1000));
  for (const auto& c : cases) {
    MixerState mixer;
    PlaybackBuffer* b = allocate_playback_buffer(voice);
    ASSERT_GE(mixer_attach(mixer, b), 0);
    std::uint64_t random = 12345;
    const auto next_random = [&random](std::int64_t below) {
      random = random * 6364136223846793005u + 1442695040888963407u;
      return static_cast<std::int64_t>((random >> 33) % static_cast<std::uint64_t>(below));
    };
    std::int64_t deadline = T0 + 50'000'000;
    std::int64_t late = next_random(c.most_late_ns);
    std::vector<std::int16_t> out(512);
    std::int16_t last = 0;
    std::vector<std::int64_t> onsets;
    for (int pass = 0; pass < 600; ++pass) {
      const std::int64_t on_time = T0 + frames_ns(256LL * pass);
      const std::int64_t pass_ns =
          c.stream_timed ? on_time : on_time + next_random(2'000'000) - 1'000'000;
      // A stream that says when its frames are heard fills them a period ahead.
      const std::int64_t filled_ns = c.stream_timed ? on_time - NS_PER_FRAME_X256 : pass_ns;
      while (deadline + late <= filled_ns) {
        request_play(*b, metronome_play_due_ns({deadline, {}}));
        deadline += 300'000'000;
        late = next_random(c.most_late_ns);
      }
      if (c.stream_timed) {
        mix_frames_at(mixer, out.data(), 256, pass_ns);
      } else {
        mix_frames(mixer, out.data(), 256, pass_ns);
      }
      for (int i = 0; i < 256; ++i) {
        if (out[2 * i] != 0 && last == 0) onsets.push_back(256LL * pass + i);
        last = out[2 * i];
      }
    }
    ASSERT_GE(onsets.size(), 8u);
    for (std::size_t i = 2; i < onsets.size(); ++i) {  // once a clock estimate has settled
      EXPECT_NEAR(onsets[i] - onsets[i - 1], 13230, c.tolerance)
          << "beat " << i << (c.stream_timed ? ", stream-timed" : ", estimated") << ", late up to "
          << c.most_late_ns << " ns";
    }
    mixer_detach(mixer, b);
    free_playback_buffer(b);
  }
}

// `pcm` added into `out` from frame `at`, cut off at frame `until`.
void add_at(std::vector<std::int16_t>& out, const std::vector<std::int16_t>& pcm, std::size_t at,
            std::size_t until) {
  for (std::size_t i = at; i < until && i < out.size() && i - at < pcm.size(); ++i) {
    out[i] = static_cast<std::int16_t>(out[i] + pcm[i - at]);
  }
}

// A MIDI port's note-ons start their slot's voice at their own frame of the pass, across the
// mixer's chunks, in order with a key's request for the same voice; a slot with no voice
// published starts nothing.
TEST_F(Mixer, FrameStartsRestartTheirSlotsVoiceAtTheirFrame) {
  const auto a = ramp(300, 1, 7), b = ramp(100, -3000, 5);
  PlaybackBuffer* in_a = attached(a);
  PlaybackBuffer* in_b = attached(b);
  mixer_publish_slot(mixer, 2, in_a);
  mixer_publish_slot(mixer, 5, in_b);
  request_play(*in_a, T0 + frames_ns(400) + 1000);  // a key's request, due at frame 400
  const FrameStart starts[] = {{10, 2}, {100, 5}, {255, 5}, {270, 2}, {500, 2}, {590, 7}};
  std::vector<std::int16_t> out(1200);
  mix_frames_starting(mixer, out.data(), 600, T0, starts);

  std::vector<std::int16_t> expected(600, 0);
  add_at(expected, a, 10, 270);
  add_at(expected, a, 270, 400);
  add_at(expected, a, 400, 500);
  add_at(expected, a, 500, 600);
  add_at(expected, b, 100, 255);
  add_at(expected, b, 255, 600);
  std::vector<std::int16_t> left;
  for (int i = 0; i < 600; ++i) left.push_back(out[2 * static_cast<std::size_t>(i)]);
  EXPECT_EQ(left, expected);

  mixer_publish_slot(mixer, 2, nullptr);  // unpublished: its notes start nothing any more
  const FrameStart again[] = {{0, 2}};
  mix_frames_starting(mixer, out.data(), 100, 0, again);
  EXPECT_EQ(out[0], a[100]) << "the last start plays on";
}

// An input thread's timed starts wait for the pass their due time falls in, even when one was
// queued after a later one, in this pass or behind one due in a later pass (the play delay fell
// in between); a full queue refuses more.
TEST_F(Mixer, TimedStartsPlayAtTheirDueFrame) {
  const auto a = ramp(50, 100, 1), b = ramp(50, -100, -1);
  mixer_publish_slot(mixer, 0, attached(a));
  mixer_publish_slot(mixer, 1, attached(b));
  pull_at(mixer, 256, T0);  // the stream clock starts
  ASSERT_TRUE(queue_timed_start(mixer, {T0 + frames_ns(256 + 200) + 1000, 0}));
  ASSERT_TRUE(queue_timed_start(mixer, {T0 + frames_ns(512 + 7) + 1000, 1}));
  ASSERT_TRUE(queue_timed_start(mixer, {T0 + frames_ns(256 + 30) + 1000, 1}));
  std::vector<std::int16_t> expected(256, 0);
  add_at(expected, a, 200, 256);
  add_at(expected, b, 30, 256);
  EXPECT_EQ(pull_at(mixer, 256, T0 + NS_PER_FRAME_X256), expected);
  expected.assign(256, 0);  // the first voice has ended
  add_at(expected, b, 7, 256);
  EXPECT_EQ(pull_at(mixer, 256, T0 + 2 * NS_PER_FRAME_X256), expected);

  for (std::uint32_t i = 0; i < TIMED_START_CAPACITY; ++i) {
    ASSERT_TRUE(queue_timed_start(mixer, {T0 + NS_PER_FRAME_X256 * 100, 0}));
  }
  EXPECT_FALSE(queue_timed_start(mixer, {T0 + NS_PER_FRAME_X256 * 100, 0}));
}

// A note's velocity scales each value of its voice, (s * g[v]) >> 15 flooring, before the
// voices are added and clamped; each slot's own output carries its voice alone, so scaled.
// Frame 0 holds slot 0's voice alone, frame 1 it and slot 1's voice, both s at velocity v.
TEST_F(Mixer, VelocityScalesEachVoiceBeforeTheSumAndOnItsOwnOutput) {
  const struct {
    int velocity;
    std::int16_t s, alone, two;
  } cases[] = {{127, 32767, 32767, 32767},
               {127, -32768, -32768, -32768},
               {1, 1000, 0, 0},
               {1, -1, -1, -2},
               {64, -12345, -3136, -6272},
               {100, 20000, 12399, 24798},
               {90, -30000, -15066, -30132}};
  for (const bool fixed : {false, true}) {
    for (const auto& c : cases) {
      MixerState m;
      m.fixed_velocity = fixed;
      PlaybackBuffer* a = allocate_playback_buffer(voice_of({c.s, c.s}));
      PlaybackBuffer* b = allocate_playback_buffer(voice_of({c.s}));
      mixer_attach(m, a);
      mixer_attach(m, b);
      mixer_publish_slot(m, 0, a);
      mixer_publish_slot(m, 1, b);
      const FrameStart starts[] = {{0, 0, c.velocity}, {1, 1, c.velocity}};
      std::vector<std::int16_t> out(6);
      std::vector<float> own0(3, 9.0f), own1(3, 9.0f);
      float* const outputs[INSTRUMENT_SLOTS] = {own0.data(), own1.data()};
      mix_frames_starting(m, out.data(), 3, 0, starts, outputs);
      const std::int16_t alone = fixed ? c.s : c.alone;
      const auto two = static_cast<std::int16_t>(std::clamp(2 * alone, -32768, 32767));
      EXPECT_EQ(out, (std::vector<std::int16_t>{alone, alone, two, two, 0, 0}))
          << c.velocity << ", " << c.s << (fixed ? ", fixed velocity" : "");
      EXPECT_EQ(own0, (std::vector<float>{alone / 32768.0f, alone / 32768.0f, 0.0f}));
      EXPECT_EQ(own1, (std::vector<float>{0.0f, alone / 32768.0f, 0.0f}));
      for (PlaybackBuffer* p : {a, b}) {
        mixer_detach(m, p);
        free_playback_buffer(p);
      }
    }
  }
}

// With the choke on, a closed hi-hat start (a note at its frame, or a key due at a frame)
// stops the sounding open hi-hat at that frame, in any chunk of the pass; of two notes at one
// frame, the later one wins. Off, both ring on.
TEST_F(Mixer, ClosedHiHatChokesTheOpenOneAtItsFrameWhenTheChokeIsOn) {
  const int CLOSED = playback_slot(VOICE_CLOSED_HAT), OPEN = playback_slot(VOICE_OPEN_HAT);
  const auto open = ramp(600, 1, 3), closed = ramp(50, -500, 2);
  PlaybackBuffer* open_buffer = attached(open);
  PlaybackBuffer* closed_buffer = attached(closed);
  mixer_publish_slot(mixer, OPEN, open_buffer);
  mixer_publish_slot(mixer, CLOSED, closed_buffer);
  const struct {
    bool choke, key;
    int closed_at, open_again;  // the open hi-hat's second start; -1: none
    bool again_first;           // its note comes before the closed one's
    int open_stops;
  } cases[] = {{true, false, 100, -1, false, 100}, {true, false, 300, -1, false, 300},
               {true, true, 400, -1, false, 400},  {false, false, 100, -1, false, 600},
               {false, true, 400, -1, false, 600}, {true, false, 100, 100, false, 600},
               {true, false, 100, 100, true, 100}};
  for (const auto& c : cases) {
    mixer.choke = c.choke;
    std::vector<FrameStart> starts = {{0, OPEN}};
    if (!c.key) starts.push_back({c.closed_at, CLOSED});
    if (c.open_again >= 0)
      starts.insert(c.again_first ? starts.begin() + 1 : starts.end(), {c.open_again, OPEN});
    if (c.key) request_play(*closed_buffer, T0 + frames_ns(c.closed_at) + 1000);
    std::vector<std::int16_t> out(1200);
    mixer.own.clock = StreamClock{};  // the pass starts at T0
    mix_frames_starting(mixer, out.data(), 600, T0, starts);
    std::vector<std::int16_t> expected(600, 0);
    add_at(expected, open, 0,
           static_cast<std::size_t>(c.open_again >= 0 ? c.open_again : c.open_stops));
    if (c.open_again >= 0) {
      add_at(expected, open, static_cast<std::size_t>(c.open_again),
             static_cast<std::size_t>(c.open_stops));
    }
    add_at(expected, closed, static_cast<std::size_t>(c.closed_at), 600);
    std::vector<std::int16_t> left;
    for (int i = 0; i < 600; ++i) left.push_back(out[2 * static_cast<std::size_t>(i)]);
    EXPECT_EQ(left, expected) << (c.choke ? "choke" : "no choke")
                              << (c.key ? ", key at " : ", note at ") << c.closed_at
                              << (c.again_first ? ", after the open one" : "");
  }
}

TEST_F(Mixer, DifferentVoicesSoundTogetherClampedToSixteenBits) {
  const struct {
    std::int16_t a, b, sum;
  } cases[] = {{1000, -3000, -2000}, {20000, 20000, 32767}, {-20000, -20000, -32768},
               {32767, 1, 32767},    {-32768, -1, -32768},  {32767, -32768, -1}};
  for (const auto& c : cases) {
    MixerState m;
    PlaybackBuffer* a = allocate_playback_buffer(voice_of({c.a, c.a, c.a}));
    PlaybackBuffer* b = allocate_playback_buffer(voice_of({c.b}));
    mixer_attach(m, a);
    mixer_attach(m, b);
    request_play(*a);
    request_play(*b);
    std::vector<std::int16_t> out(8);
    mix_frames(m, out.data(), 4);
    EXPECT_EQ(out, (std::vector<std::int16_t>{c.sum, c.sum, c.a, c.a, c.a, c.a, 0, 0}))
        << c.a << " + " << c.b;
    for (PlaybackBuffer* p : {a, b}) {
      mixer_detach(m, p);
      free_playback_buffer(p);
    }
  }
}

TEST_F(Mixer, DetachedVoiceFallsSilentAtOnce) {
  PlaybackBuffer* a = attached(std::vector<std::int16_t>(1000, 100));
  PlaybackBuffer* b = attached(std::vector<std::int16_t>(1000, 5));
  request_play(*a);
  request_play(*b);
  EXPECT_EQ(pull(mixer, {10}), std::vector<std::int16_t>(10, 105));
  mixer_detach(mixer, a);
  EXPECT_FALSE(mixer_has(mixer, a));
  EXPECT_EQ(pull(mixer, {10}), std::vector<std::int16_t>(10, 5));
}

TEST_F(Mixer, EmptyVoicePlaysAsSilence) {
  PlaybackBuffer* b = attached({});
  EXPECT_EQ(b->sound.count, 0u);
  request_play(*b);
  EXPECT_EQ(pull(mixer, {8}), silence(8));
}

// The main thread replaces a sounding voice over and over while another thread mixes long
// passes. After mixer_detach returns, the old buffer's samples are overwritten with a poison
// value and freed: if the mixer read a buffer after its detach, the poison would come out (and
// the sanitizer builds would report the freed memory or the race).
TEST(MixerThreads, VoiceReplacedWhileSoundingIsNeverReadAfterItsRelease) {
  constexpr std::int16_t LEVEL = 1000;
  constexpr std::int16_t POISON = -7;
  constexpr int PASS_FRAMES = 1024;
  const VoiceBuffer voice = voice_of(std::vector<std::int16_t>(3000, LEVEL));
  MixerState mixer;
  std::atomic<bool> done{false};
  std::atomic<long> passes{0};
  std::atomic<int> bad_value{0};
  std::thread audio([&] {
    std::vector<std::int16_t> out(2 * PASS_FRAMES);
    const FrameStart note[] = {{500, 0}};  // a MIDI note for the published voice, every pass
    while (!done.load()) {
      mix_frames_starting(mixer, out.data(), PASS_FRAMES, 0, note);
      for (std::int16_t s : out) {
        if (s != 0 && s != LEVEL && s != 2 * LEVEL) bad_value = s;
      }
      ++passes;
    }
  });

  PlaybackBuffer* current = allocate_playback_buffer(voice);
  ASSERT_GE(mixer_attach(mixer, current), 0);
  mixer_publish_slot(mixer, 0, current);
  request_play(*current);
  while (passes.load() == 0) std::this_thread::yield();
  long replaced = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) {
    PlaybackBuffer* next = allocate_playback_buffer(voice);
    ASSERT_GE(mixer_attach(mixer, next), 0);
    request_play(*next);
    mixer_publish_slot(mixer, 0, next);  // the old one unpublished before it is detached
    mixer_detach(mixer, current);
    for (std::uint32_t k = 0; k < current->sound.count; ++k)
      const_cast<std::int16_t*>(current->sound.samples)[k] = POISON;
    free_playback_buffer(current);
    current = next;
    ++replaced;
  }
  done = true;
  audio.join();
  mixer_publish_slot(mixer, 0, nullptr);
  mixer_detach(mixer, current);
  free_playback_buffer(current);
  EXPECT_EQ(bad_value.load(), 0);
  EXPECT_GT(passes.load(), 100);
  EXPECT_GT(replaced, 100);
}

}  // namespace
}  // namespace thumpa
