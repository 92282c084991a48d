// The sound service on SDL2's audio subsystem: one callback device whose callback is the
// program's mixer, and the playback buffers it mixes.
#include "audio/sound_device.h"

#include <SDL.h>

#include <string>

#include "audio/mixer.h"
#include "synth/messages.h"

namespace thumpa {

PlaybackBuffer* playback_buffer[VOICE_COUNT] = {};

namespace {

struct SoundDevice {
  SDL_AudioDeviceID id = 0;  // 0 while closed
  int period_frames = 0;
  // How long after it is made a play request sounds: one period, so that the next pass can
  // always place it, and a margin for the jitter of the device's thread. A constant delay
  // keeps a steady beat steady instead of snapping each start to a period boundary.
  std::int64_t play_delay_ns = 0;
  MixerState mixer;
};

constexpr std::int64_t PLAY_DELAY_MARGIN_NS = 1'000'000;

SoundDevice device;

void show_error(const char* text, const std::string& detail) {
  show_message(text, APP_CAPTION, MessageIcon::error, detail);
}

void audio_callback(void* userdata, Uint8* stream, int len) {
  mix_frames(*static_cast<MixerState*>(userdata), reinterpret_cast<std::int16_t*>(stream),
             len / static_cast<int>(OUTPUT_CHANNELS * sizeof(std::int16_t)), steady_now_ns());
}

std::string describe(const SDL_AudioSpec& format) {
  return std::to_string(SDL_AUDIO_BITSIZE(format.format)) + "-bit, " +
         std::to_string(format.channels) + " channels, " + std::to_string(format.freq) + " Hz";
}

}  // namespace

int open_sound_device() {
  if (device.id != 0) return 0;

  // Without this SDL takes over SIGINT and SIGTERM, and the program could no longer be stopped.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_Init(SDL_INIT_AUDIO) != 0) {
    show_error("Failed to create DirectSound COM object", SDL_GetError());
    return -1;
  }

  SDL_AudioSpec wanted{};
  wanted.freq = SAMPLE_RATE;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = OUTPUT_CHANNELS;
  wanted.samples = PERIOD_FRAMES;
  wanted.callback = audio_callback;
  wanted.userdata = &device.mixer;
  SDL_AudioSpec obtained{};
  // No changes allowed: SDL converts to whatever the hardware takes, so the callback always
  // sees the format asked for.
  const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
  if (id == 0) {
    show_error("Failed to Initialize DirectSound object", SDL_GetError());
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return -1;
  }
  if (obtained.format != AUDIO_S16SYS || obtained.channels != OUTPUT_CHANNELS ||
      obtained.freq != SAMPLE_RATE) {
    show_error("Cannot set format", "The device offers " + describe(obtained));
    SDL_CloseAudioDevice(id);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return -1;
  }

  device.id = id;
  device.period_frames = obtained.samples;
  device.play_delay_ns =
      std::int64_t{obtained.samples} * 1'000'000'000 / SAMPLE_RATE + PLAY_DELAY_MARGIN_NS;
  device.mixer.clock = StreamClock{};
  SDL_PauseAudioDevice(id, 0);
  return 0;
}

void close_sound_device() {
  if (device.id == 0) return;
  SDL_PauseAudioDevice(device.id, 1);
  // Returns once the device's thread has ended, so no pass of the mixer can still be running.
  SDL_CloseAudioDevice(device.id);
  device.id = 0;
  device.period_frames = 0;
  for (auto& place : device.mixer.voices) {
    free_playback_buffer(place.exchange(nullptr));
  }
  for (auto& slot : playback_buffer) slot = nullptr;
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool sound_device_open() {
  return device.id != 0;
}

int sound_device_period_frames() {
  return device.period_frames;
}

PlaybackBuffer* make_playback_buffer(const VoiceBuffer& voice) {
  if (device.id == 0) return nullptr;
  PlaybackBuffer* buffer = allocate_playback_buffer(voice);
  if (buffer == nullptr || !mixer_attach(device.mixer, buffer)) {
    free_playback_buffer(buffer);
    show_error("Cannot create buffer", {});
    show_error("Out of memory", {});
    return nullptr;
  }
  return buffer;
}

void release_playback_buffer(PlaybackBuffer* buffer) {
  // Only buffers of the open device: one released already, or gone with the device, is left
  // alone rather than freed twice.
  if (!mixer_has(device.mixer, buffer)) return;
  mixer_detach(device.mixer, buffer);
  free_playback_buffer(buffer);
}

void play_voice(PlaybackBuffer* buffer) {
  if (!mixer_has(device.mixer, buffer)) return;
  request_play(*buffer, steady_now_ns() + device.play_delay_ns);
}

PlaybackBuffer* replace_playback_buffer(int slot, const VoiceBuffer& voice) {
  if (slot < 0 || slot >= VOICE_COUNT) return nullptr;
  release_playback_buffer(playback_buffer[slot]);
  playback_buffer[slot] = make_playback_buffer(voice);
  return playback_buffer[slot];
}

}  // namespace thumpa
