#include <QApplication>
#include <QStringList>
#include <cstdio>

#include "app/startup.h"
#include "audio/jack_output.h"
#include "audio/output_backends.h"
#include "audio/sound_device.h"

namespace {

// The value of --audio=NAME among the program's arguments; empty when not given.
std::string audio_argument(const QStringList& arguments) {
  const QString option = QStringLiteral("--audio=");
  for (const QString& argument : arguments) {
    if (argument.startsWith(option)) return argument.mid(option.size()).toStdString();
  }
  return {};
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const thumpa::BackendChoice output = thumpa::choose_backend(
      thumpa::requested_backend_name(audio_argument(QApplication::arguments())),
      thumpa::available_backends());
  if (output.backend == nullptr) {
    std::fprintf(stderr, "thumpa: %s\n", output.error.c_str());
    return 2;
  }
  thumpa::use_sound_output(*output.backend);
  // On JACK, whoever runs the program may wire its ports themselves.
  if (QApplication::arguments().contains(QStringLiteral("--no-connect"))) {
    thumpa::set_jack_connects_ports(false);
  }
  return thumpa::run_thumpa();
}
