// The bank's voices played from the JACK client's MIDI port, for the end-to-end test.
//   jack_player [--keep-playing]
// Opens the JACK output through the sound device with its ports left unconnected, gives each
// playback slot its voice as rendered with the default settings and no normalisation (so what
// plays is thumpa-render --raw shifted right by 16), prints "ready", and plays until stdin
// closes; then prints the xruns it counted. With --keep-playing it also plays all eight voices
// from the main thread every 100 ms, as keys would, to measure a loaded client without a MIDI
// sender in the graph. Follows the server as the desktop program does (a rate change, a server
// that goes away and comes back). Exits 1 when the device does not open (the sound device has
// printed why).
//   jack_player --values-at RATE
// prints each voice's playback values for a stream at RATE instead.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/jack_output.h"
#include "audio/pcm16.h"
#include "audio/sound_device.h"
#include "synth/bank_render.h"
#include "synth/sine_table.h"

using namespace thumpa;

// Each voice's playback values at `rate`, as the sound device makes them for a stream at that
// rate: one line per voice, its name and then its values.
int print_voice_values(int rate) {
  fill_sine_table();
  const BankParams params;
  for (VoiceId id : MENU_ORDER) {
    VoiceBuffer voice;
    render_voice(params, id, voice);
    std::printf("%s", voice_facts(id).cli_name);
    for (std::int16_t value : resampled_pcm16(voice, rate)) std::printf(" %d", value);
    std::printf("\n");
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--values-at") == 0)
    return print_voice_values(std::atoi(argv[2]));
  const bool keep_playing = argc == 2 && std::strcmp(argv[1], "--keep-playing") == 0;
  set_jack_connects_ports(false);
  use_sound_output(JACK_OUTPUT);
  if (open_sound_device() != 0) return 1;
  fill_sine_table();
  const BankParams params;
  for (VoiceId id : MENU_ORDER) {
    VoiceBuffer voice;
    render_voice(params, id, voice);
    if (voice.empty() || !replace_playback_buffer(playback_slot(id), voice)) {
      std::fprintf(stderr, "cannot make the %s\n", voice_facts(id).cli_name);
      close_sound_device();
      return 1;
    }
  }
  std::printf("ready: %d Hz, %d-frame periods\n", JACK_OUTPUT.sample_rate(),
              sound_device_period_frames());
  std::fflush(stdout);
  // Until stdin reaches its end, polled every 100 ms.
  char discard[256];
  int turn = 0;
  for (pollfd in{STDIN_FILENO, POLLIN, 0};; ++turn) {
    if (turn % 5 == 0) poll_sound_output();  // every 500 ms, as the desktop program does
    if (keep_playing) {
      for (const PlaybackHandle& h : playback_buffer) play_voice(h);
    }
    if (poll(&in, 1, 100) > 0 && read(STDIN_FILENO, discard, sizeof discard) <= 0) break;
  }
  std::printf("xruns: %d\n", JACK_OUTPUT.underflows());
  std::fflush(stdout);
  close_sound_device();
  return 0;
}
