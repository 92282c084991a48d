// One SDL callback device whose callback is the program's mixer. SDL does not say when the
// frames of a pass are heard, so the mixer places play requests by its smoothed clock of the
// passes' start times.
#include "audio/sdl_output.h"

#include <SDL.h>

namespace thumpa {

namespace {

struct SdlStream {
  SDL_AudioDeviceID id = 0;  // 0 while closed
  int period_frames = 0;
};

SdlStream stream;
void audio_callback(void* userdata, Uint8* out, int len) {
  mix_frames(*static_cast<MixerState*>(userdata), reinterpret_cast<std::int16_t*>(out),
             len / static_cast<int>(OUTPUT_CHANNELS * sizeof(std::int16_t)), steady_now_ns());
}

std::string describe(const SDL_AudioSpec& format) {
  return std::to_string(SDL_AUDIO_BITSIZE(format.format)) + "-bit, " +
         std::to_string(format.channels) + " channels, " + std::to_string(format.freq) + " Hz";
}

// SDL picks among its drivers itself and falls back to the others: it always answers.
bool sdl_answers() {
  return true;
}

std::optional<OpenFailure> sdl_open(MixerState& mixer, int period_frames) {
  if (stream.id != 0) return std::nullopt;

  // Without this SDL takes over SIGINT and SIGTERM, and the program could no longer be stopped.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_Init(SDL_INIT_AUDIO) != 0) return OpenFailure{OpenStep::init, SDL_GetError()};

  SDL_AudioSpec wanted{};
  wanted.freq = SAMPLE_RATE;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = OUTPUT_CHANNELS;
  wanted.samples = static_cast<Uint16>(period_frames);
  wanted.callback = audio_callback;
  wanted.userdata = &mixer;
  SDL_AudioSpec obtained{};
  // No changes allowed: SDL converts to whatever the hardware takes, so the callback always
  // sees the format asked for.
  const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
  if (id == 0) {
    OpenFailure failure{OpenStep::open, SDL_GetError()};
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return failure;
  }
  if (obtained.format != AUDIO_S16SYS || obtained.channels != OUTPUT_CHANNELS ||
      obtained.freq != SAMPLE_RATE) {
    SDL_CloseAudioDevice(id);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return OpenFailure{OpenStep::format, "The device offers " + describe(obtained)};
  }

  stream.id = id;
  stream.period_frames = obtained.samples;
  SDL_PauseAudioDevice(id, 0);
  return std::nullopt;
}

void sdl_close() {
  if (stream.id == 0) return;
  SDL_PauseAudioDevice(stream.id, 1);
  // Returns once the device's thread has ended, so no pass of the mixer can still be running.
  SDL_CloseAudioDevice(stream.id);
  stream = SdlStream{};
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

int sdl_period_frames() {
  return stream.period_frames;
}

// A constant delay after the request keeps a steady beat steady instead of snapping each start
// to a period boundary.
std::int64_t sdl_play_delay_ns() {
  return period_play_delay_ns(stream.period_frames, SAMPLE_RATE);
}

// SDL tells neither the server's latency nor its underflows: its buffer is one period.
int sdl_latency_frames() {
  return stream.period_frames;
}

int sdl_underflows() {
  return 0;
}

// SDL stops a device whose server or hardware went away (it would post SDL_AUDIODEVICEREMOVED to
// an event queue this program does not run): a device that was started and no longer plays is
// gone. SDL says nothing more, and nothing earlier.
bool sdl_server_gone() {
  return stream.id != 0 && SDL_GetAudioDeviceStatus(stream.id) != SDL_AUDIO_PLAYING;
}

}  // namespace

const OutputBackend SDL_OUTPUT = {
    .name = "sdl",
    .title = "SDL",
    .server_answers = sdl_answers,
    .open = sdl_open,
    .close = sdl_close,
    .period_frames = sdl_period_frames,
    .play_delay_ns = sdl_play_delay_ns,
    .latency_frames = sdl_latency_frames,
    .underflows = sdl_underflows,
    .sample_rate = voice_rate,
    .reads_midi = false,
    .server_gone = sdl_server_gone,
};

}  // namespace thumpa
