// thumpa-render: renders Thumpa's voices without the desktop program, to WAV files or as raw
// samples, so that scripts and tests can check the engine bit for bit.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio/output_backends.h"
#include "audio/sound_device.h"
#include "cli/command_line.h"
#include "files/settings_file.h"
#include "files/wav_writer.h"
#include "synth/bank_render.h"
#include "synth/record_fields.h"
#include "synth/render.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {
namespace {

struct Options {
  std::string out_dir = ".";
  std::string settings;
  std::string voice;
  std::vector<std::string> sets;
  bool raw = false;
  std::string wav;
  bool shape = false;
  bool play = false;
  std::string audio;
};

// Exit statuses, as the Unix tools have them.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_NOT_DONE = 1;  // a file could not be read or written, or the voice played

const char* const USAGE =
    "thumpa-render [--out DIR] [--settings FILE]\n"
    "         the eight voices, each normalised once, as kick.wav snare1.wav ch.wav oh.wav\n"
    "         blipp.wav clave.wav cowbell.wav osc.wav in DIR\n"
    "       thumpa-render --voice NAME [--set FIELD=VALUE]... (--raw | --wav FILE | --play)\n"
    "         [--shape] [--audio NAME] [--settings FILE]";

// A request that cannot be carried out as given: a mistake on the command line.
int fail(const std::string& message) {
  return usage_error("thumpa-render", USAGE, message);
}

// A good request that could not be carried out.
int fail_to_do(const std::string& message) {
  std::fprintf(stderr, "thumpa-render: %s\n", message.c_str());
  return EXIT_NOT_DONE;
}

// FIELD=VALUE with VALUE a signed 32-bit decimal; returns an error text or "".
std::string apply_set(BankParams& params, VoiceId voice, const std::string& set) {
  const auto eq = set.find('=');
  if (eq == std::string::npos) return "--set expects FIELD=VALUE, got \"" + set + "\"";
  const std::string field = set.substr(0, eq);
  const std::string value = set.substr(eq + 1);
  const ParamField* target = find_field(voice, field);
  if (target == nullptr) {
    std::string known;
    for (auto fields : {record_fields(voice), shaping_fields()}) {
      for (const ParamField& f : fields) known += std::string(" ") + f.name;
    }
    return "no field \"" + field + "\" for this voice; its fields are:" + known;
  }
  std::int32_t parsed = 0;
  const char* end = value.data() + value.size();
  // A plus sign before the digits is taken, as the settings file takes it.
  const bool plus = value.size() > 1 && value[0] == '+' && value[1] >= '0' && value[1] <= '9';
  const auto [ptr, ec] = std::from_chars(value.data() + (plus ? 1 : 0), end, parsed);
  if (ec == std::errc::result_out_of_range) {
    return "value \"" + value + "\" of " + field + " is outside the signed 32-bit range";
  }
  if (ec != std::errc() || ptr != end || value.empty()) {
    return "value \"" + value + "\" of " + field + " is not a whole number";
  }
  target->in(params, voice) = parsed;
  return "";
}

// Plays the voice once on the chosen sound output and waits until it has sounded.
int play_on_device(const VoiceBuffer& voice, const std::string& audio) {
  const BackendChoice output = choose_backend(requested_backend_name(audio), available_backends());
  if (output.backend == nullptr) return fail(output.error);
  use_sound_output(*output.backend);
  if (open_sound_device() != 0) return EXIT_NOT_DONE;
  const PlaybackHandle buffer = make_playback_buffer(voice);
  if (!buffer) {
    close_sound_device();
    return fail_to_do("cannot make a playback buffer");
  }
  play_voice(buffer);
  const auto length = std::chrono::milliseconds(1000LL * voice.count / SAMPLE_RATE);
  std::this_thread::sleep_for(length + std::chrono::milliseconds(300));  // the device's tail
  close_sound_device();
  return EXIT_DONE;
}

int render_one(BankParams& params, const Options& o) {
  const auto id = voice_by_cli_name(o.voice);
  if (!id) {
    std::string known;
    for (VoiceId v : MENU_ORDER) known += std::string(" ") + voice_facts(v).cli_name;
    return fail("unknown voice \"" + o.voice + "\"; the voices are:" + known);
  }
  for (const std::string& set : o.sets) {
    if (const std::string error = apply_set(params, *id, set); !error.empty()) return fail(error);
  }
  VoiceBuffer voice;
  render_voice(params, *id, voice);
  if (voice.empty()) return fail_to_do("not enough memory to render the voice");
  if (o.raw) {
    for (std::uint32_t i = 0; i < voice.count; ++i) std::printf("%d\n", voice.samples[i]);
    return std::fflush(stdout) == 0 && !std::ferror(stdout)
               ? EXIT_DONE
               : fail_to_do("cannot write the samples");
  }
  if (o.shape) {
    shape_voice(*id, voice, params.shaping);
  } else {
    normalize_voice(voice);
  }
  if (o.play) return play_on_device(voice, o.audio);
  return write_wav_file(voice, o.wav) ? EXIT_DONE : EXIT_NOT_DONE;
}

// The bank's own render, then the files of "Write All" in their order.
int render_all(const BankParams& params, const Options& o) {
  std::error_code ec;
  std::filesystem::create_directories(o.out_dir, ec);
  if (ec) return fail_to_do("cannot create the folder \"" + o.out_dir + "\": " + ec.message());
  VoiceBuffer voices[VOICE_ID_COUNT];
  if (render_bank(params, voices)) return fail_to_do("not enough memory to render the voices");
  for (VoiceId id : FILE_ORDER) {
    const std::string path = (std::filesystem::path(o.out_dir) / voice_facts(id).wav_name).string();
    if (!write_wav_file(voices[id], path)) return EXIT_NOT_DONE;
  }
  return EXIT_DONE;
}

int run(int argc, char** argv) {
  Options o;
  CLI::App app{USAGE, "thumpa-render"};
  app.add_option("--out", o.out_dir, "folder for the eight WAV files (default: .)");
  app.footer(
      "Exit status: 0 done; 1 a file could not be read or written (or the voice could not be\n"
      "rendered or played); 2 bad usage.");
  auto* settings =
      app.add_option("--settings", o.settings, "a settings file loaded over the defaults first");
  auto* voice =
      app.add_option("--voice", o.voice, "blipp clave closed open kick snare cowbell oscillator");
  app.add_option("--set", o.sets,
                 "FIELD=VALUE: a field of the voice's record, or dist_type dist_level\n"
                 "normalize_before normalize_after; VALUE the raw signed 32-bit value")
      ->needs(voice);
  auto* raw = app.add_flag("--raw", o.raw, "print the samples before normalisation, one per line");
  auto* wav = app.add_option("--wav", o.wav, "write the voice, normalised once, as a WAV file");
  auto* play = app.add_flag("--play", o.play, "play the voice on the sound device instead");
  app.add_option("--audio", o.audio,
                 "with --play: the sound output, auto pipewire pulse sdl or jack\n"
                 "(default: THUMPA_AUDIO, else auto)")
      ->needs(play);
  auto* shape = app.add_flag("--shape", o.shape,
                             "with --wav or --play: shape the voice with its shaping settings");
  raw->excludes(wav, play);
  wav->excludes(play);
  raw->needs(voice);
  wav->needs(voice);
  play->needs(voice);
  if (auto done = parse_command_line(app, {argv + (argc > 0 ? 1 : 0), argv + argc})) return *done;
  if (settings->count() > 0 && o.settings.empty()) return fail("--settings needs a file name");
  if (wav->count() > 0 && o.wav.empty()) return fail("--wav needs a file name");
  if (o.shape && o.raw) {
    return fail(
        "--shape shapes what --wav writes or --play plays; --raw prints the samples "
        "before any shaping");
  }
  if (shape->count() > 0 && o.voice.empty())
    return fail("--shape needs --voice with --wav or --play");
  if (!o.voice.empty() && !o.raw && !o.play && o.wav.empty()) {
    return fail("--voice needs --raw, --wav FILE or --play");
  }

  BankParams params;
  keep_render_scratch_on_heap();
  fill_sine_table();
  if (!o.settings.empty() && !read_settings_file(o.settings, params)) return EXIT_NOT_DONE;
  return o.voice.empty() ? render_all(params, o) : render_one(params, o);
}

}  // namespace
}  // namespace thumpa

int main(int argc, char** argv) {
  return thumpa::run(argc, argv);
}
