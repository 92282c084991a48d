#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <vector>

#include "app/quit_signals.h"
#include "app/startup.h"
#include "audio/jack_output.h"
#include "audio/output_backends.h"
#include "audio/sound_device.h"
#include "cli/command_line.h"
#include "synth/render.h"

int main(int argc, char* argv[]) {
  // Before any thread exists: every thread made later inherits the block, and SIGTERM and SIGINT
  // come to the main thread alone.
  thumpa::block_quit_signals();
  // The program's own allocator may keep voice-sized blocks (the plugin leaves its host's alone).
  thumpa::keep_render_scratch_on_heap();
  // Read before the application exists: --help and mistakes need no display.
  std::vector<char*> window_system_arguments;
  if (auto done = thumpa::parse_thumpa_command_line(argc, argv, window_system_arguments))
    return *done;
  const thumpa::ThumpaOptions& options = thumpa::thumpa_options();
  const thumpa::BackendChoice output = thumpa::choose_backend(
      thumpa::requested_backend_name(options.audio), thumpa::available_backends());
  if (output.backend == nullptr) {
    if (!options.audio.empty()) return thumpa::thumpa_usage_error(output.error);
    std::fprintf(stderr, "thumpa: THUMPA_AUDIO: %s\n", output.error.c_str());  // not a mistake here
    return thumpa::EXIT_USAGE;
  }

  int qt_argc = static_cast<int>(window_system_arguments.size());
  window_system_arguments.push_back(nullptr);
  QApplication app(qt_argc, window_system_arguments.data());
  thumpa::use_sound_output(*output.backend);
  // On JACK, whoever runs the program may wire its ports themselves.
  if (options.no_connect) thumpa::set_jack_connects_ports(false);
  thumpa::set_instrument_playing(options.fixed_velocity, options.choke);
  // The running program may have been started elsewhere: it gets the file's absolute path.
  const QString settings_file =
      options.settings_file.empty()
          ? QString()
          : QFileInfo(QString::fromLocal8Bit(options.settings_file)).absoluteFilePath();
  return thumpa::run_thumpa(settings_file);
}
