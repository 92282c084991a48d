// The command line of both programs, parsed one way: --help and --version print on standard
// output and end with 0; `--opt VALUE` and `--opt=VALUE` are alike; an unknown option or a bad
// value prints one line naming it and then the usage on standard error, and ends with 2.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace thumpa {

inline constexpr int EXIT_USAGE = 2;

// Parses the arguments (without the program's name) by the options of `app`, whose name is the
// program's and whose description is its synopsis (shown by --help, and after "Usage: " after
// a mistake); adds --version. Nothing when the program goes on; otherwise the exit status, the
// output printed.
std::optional<int> parse_command_line(CLI::App& app, std::vector<std::string> arguments);

// "<program>: <message>" on one line, then the usage, on standard error; returns EXIT_USAGE.
int usage_error(const CLI::App& app, const std::string& message);
int usage_error(const std::string& program, const std::string& usage, const std::string& message);

// What a run of the desktop program was asked for. Main fills it before anything reads it.
struct ThumpaOptions {
  std::string audio;          // --audio NAME; empty: THUMPA_AUDIO, else auto
  std::string settings_file;  // a settings file to open at start, as given
  bool no_connect = false;    // on JACK, leave the wiring of the ports to the user
  bool fixed_velocity = false;
  bool choke = false;
};

const ThumpaOptions& thumpa_options();

// Parses the desktop program's arguments into the options above. The window system's own
// options (-platform NAME, -style NAME, -display NAME, -reverse, ...) are left to it: they go,
// after argv[0], into window_system_arguments. Nothing when the program goes on; else the exit
// status.
std::optional<int> parse_thumpa_command_line(int argc, char** argv,
                                             std::vector<char*>& window_system_arguments);

// A bad value found after parsing, reported as a mistake on the command line.
int thumpa_usage_error(const std::string& message);

}  // namespace thumpa
