#include "cli/command_line.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace thumpa {

namespace {

ThumpaOptions options;

const char* const THUMPA_USAGE =
    "thumpa [--audio NAME] [--no-connect] [--fixed-velocity] [--choke] [FILE.zog]";

// The boolean options of the desktop program: one line each to add another.
struct Flag {
  const char* name;
  const char* help;
  bool ThumpaOptions::*field;
};
constexpr Flag THUMPA_FLAGS[] = {
    {"--no-connect", "on JACK, leave all wiring of the ports to you", &ThumpaOptions::no_connect},
    {"--fixed-velocity", "play every MIDI note at full level, whatever its velocity",
     &ThumpaOptions::fixed_velocity},
    {"--choke", "a closed hi-hat cuts off a sounding open one", &ThumpaOptions::choke},
};

// The window system's options that take a value, and those that do not, as Qt reads them.
constexpr std::string_view WINDOW_SYSTEM_VALUE_OPTIONS[] = {
    "platform",        "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "session",
    "display",         "geometry",           "style",         "stylesheet",
};
constexpr std::string_view WINDOW_SYSTEM_FLAGS[] = {"reverse", "widgetcount", "nograb", "dograb",
                                                    "sync"};

template <std::size_t N>
bool one_of(std::string_view name, const std::string_view (&names)[N]) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// "style" for "-style", "--style" and "-style=fusion"; empty for anything else.
std::string_view single_dash_name(std::string_view argument, bool& has_value) {
  if (argument.size() < 2 || argument[0] != '-') return {};
  argument.remove_prefix(argument.substr(0, 2) == "--" ? 2 : 1);
  const std::size_t eq = argument.find('=');
  has_value = eq != std::string_view::npos;
  return argument.substr(0, eq);
}

}  // namespace

std::optional<int> parse_command_line(CLI::App& app, std::vector<std::string> arguments) {
  app.set_version_flag("--version", app.get_name() + " " THUMPA_VERSION);
  std::reverse(arguments.begin(), arguments.end());  // the order CLI11 takes them in
  try {
    app.parse(arguments);
  } catch (const CLI::Success& e) {  // --help or --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_error(app, e.what());
  }
  return std::nullopt;
}

int usage_error(const CLI::App& app, const std::string& message) {
  return usage_error(app.get_name(), app.get_description(), message);
}

int usage_error(const std::string& program, const std::string& usage, const std::string& message) {
  std::fprintf(stderr, "%s: %s\nUsage: %s\nTry '%s --help' for more information.\n",
               program.c_str(), message.c_str(), usage.c_str(), program.c_str());
  return EXIT_USAGE;
}

int thumpa_usage_error(const std::string& message) {
  return usage_error("thumpa", THUMPA_USAGE, message);
}

const ThumpaOptions& thumpa_options() {
  return options;
}

std::optional<int> parse_thumpa_command_line(int argc, char** argv,
                                             std::vector<char*>& window_system_arguments) {
  window_system_arguments.assign(argv, argv + (argc > 0 ? 1 : 0));
  std::vector<std::string> ours;
  bool only_files = false;  // after "--" every argument is a file name
  for (int i = 1; i < argc; ++i) {
    bool has_value = false;
    const std::string_view name = only_files ? "" : single_dash_name(argv[i], has_value);
    if (one_of(name, WINDOW_SYSTEM_VALUE_OPTIONS)) {
      window_system_arguments.push_back(argv[i]);
      if (!has_value && i + 1 < argc) window_system_arguments.push_back(argv[++i]);
    } else if (!has_value && one_of(name, WINDOW_SYSTEM_FLAGS)) {
      window_system_arguments.push_back(argv[i]);
    } else {
      only_files = only_files || std::string_view(argv[i]) == "--";
      ours.emplace_back(argv[i]);
    }
  }

  CLI::App app{THUMPA_USAGE, "thumpa"};
  app.add_option("--audio", options.audio,
                 "the sound output: auto pipewire pulse jack sdl (default: THUMPA_AUDIO, else "
                 "auto)");
  for (const Flag& flag : THUMPA_FLAGS) app.add_flag(flag.name, options.*flag.field, flag.help);
  app.add_option("file", options.settings_file, "a settings file to open at start")
      ->type_name("FILE.zog");
  app.footer(
      "The window system's own options (-platform NAME, -style NAME, -display NAME, ...) are "
      "passed on to it.");
  return parse_command_line(app, std::move(ours));
}

}  // namespace thumpa
