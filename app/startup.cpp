#include "app/startup.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWindow>
#include <memory>

#include "app/file_commands.h"
#include "app/key_filter.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/quit_signals.h"
#include "app/session.h"
#include "app/single_instance.h"
#include "audio/metronome.h"
#include "audio/sound_device.h"
#include "bank/voice_bank.h"
#include "synth/messages.h"

namespace thumpa {

namespace {

constexpr int EXPOSE_WAIT_MS = 200;
// How often a settings file handed over by a later start looks again whether a dialog that
// keeps the main window waiting has closed.
constexpr int MODAL_RETRY_MS = 250;
// How often the main thread follows the sound server: its rate, its delay, its going away.
constexpr int SOUND_OUTPUT_CHECK_MS = 500;

// Lets the window system map the window and paints it, without taking any user input: no
// command may run before the bank exists.
void paint_now(MainWindow& window) {
  QElapsedTimer waited;
  waited.start();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  while (window.windowHandle() != nullptr && !window.windowHandle()->isExposed() &&
         waited.elapsed() < EXPOSE_WAIT_MS) {
    QCoreApplication::processEvents(
        QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents, 10);
  }
  window.view()->repaint();
}

// Opens a settings file as Open Settings does, once no dialog or message box is open: the
// menu command cannot run while one is, and neither does this.
void open_when_free(Session& session, const QString& path) {
  if (main_window == nullptr || main_window->destroyed_for_good()) return;
  if (QApplication::activeModalWidget() != nullptr) {
    QTimer::singleShot(MODAL_RETRY_MS, main_window,
                       [&session, path] { open_when_free(session, path); });
    return;
  }
  if (!open_settings_file(path, session.bank, session.chosen_folder)) return;
  session.settings_file = path;  // the status line names it, as after Open Settings
  repaint_main_window();
}

}  // namespace

int run_thumpa(const QString& settings_file) {
  // Message boxes without a caption of their own show the application's name.
  QCoreApplication::setApplicationName(QStringLiteral("thumpa"));
  if (claim_single_instance(instance_server_name(), settings_file) == InstanceClaim::handed_over)
    return 0;

  install_message_boxes();
  Session session;
  auto window = std::make_unique<MainWindow>(session);
  window->show();
  paint_now(*window);  // shown_voice is still none: the client area is blank
  close_main_window_on_quit_signals();

  if (open_sound_device() != 0) {
    show_message("DirectSound error!", "", MessageIcon::error);
    return 0;
  }
  // A voice that cannot be rendered asks for the window to be destroyed; the close is queued
  // and ends the program as soon as the event loop runs.
  init_voice_bank(session.bank);

  session.view.shown_voice = VOICE_BLIPP;
  repaint_main_window();
  if (!settings_file.isEmpty()) open_when_free(session, settings_file);
  set_handed_over_file_handler([&session](const QString& path) { open_when_free(session, path); });
  install_key_filter();
  QTimer sound_output_check;
  QObject::connect(&sound_output_check, &QTimer::timeout, [] { poll_sound_output(); });
  sound_output_check.start(SOUND_OUTPUT_CHECK_MS);

  int code = 0;
  if (!window->destroyed_for_good()) code = QApplication::exec();
  set_handed_over_file_handler({});
  stop_single_instance_server();

  // No tick may reach the dispatcher once the window goes.
  stop_metronome();
  close_sound_device();
  return code;
}

}  // namespace thumpa
