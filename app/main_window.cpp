#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QThread>

#include "app/command_dispatch.h"
#include "app/command_sender.h"
#include "app/commands.h"
#include "app/menu_mnemonics.h"
#include "app/message_box.h"
#include "app/session.h"
#include "app/waveform.h"
#include "audio/sound_device.h"
#include "synth/messages.h"

namespace thumpa {

MainWindow* main_window = nullptr;

namespace {

// How often the status line looks at the sound output and the MIDI input.
constexpr int STATUS_POLL_MS = 500;

struct MenuItem {
  const char* text;  // null: a separator
  int command;
  const char* key = "";  // the key the application's key filter runs the command by
  bool greyed = false;
};

constexpr MenuItem FILE_ITEMS[] = {
    {"&Reset", CMD_RESET},
    {"&Open Settings...", CMD_OPEN_SETTINGS},
    {"&Save Settings", CMD_SAVE_SETTINGS, "", true},
    {"&Save Settings As...", CMD_SAVE_SETTINGS_AS},
    {"&Write Wav As...", CMD_WRITE_WAV_AS},
    {"Write &All", CMD_WRITE_ALL},
    {nullptr, 0},
    {"E&xit", CMD_EXIT},
};

constexpr MenuItem DISPLAY_ITEMS[] = {
    {"Zoom &In", CMD_ZOOM_IN, "*"},
    {"Zoom &Out", CMD_ZOOM_OUT, "/"},
    {"Pan &Left", CMD_PAN_LEFT, "-"},
    {"Pan &Right", CMD_PAN_RIGHT, "+"},
};

constexpr MenuItem HELP_ITEMS[] = {
    {"&About Thumpa...", CMD_ABOUT},
};

void add_item(QMenu* menu, const MenuItem& item, Session& session, const QString& key_text = {}) {
  if (item.text == nullptr) {
    menu->addSeparator();
    return;
  }
  // Text after a tab shows as the item's key; no shortcut is registered, so the keys stay
  // with the application's key filter alone.
  QString text = QString::fromUtf8(item.text);
  if (!key_text.isEmpty()) text += u'\t' + key_text;
  QAction* action = menu->addAction(text);
  action->setData(item.command);
  action->setEnabled(!item.greyed);
  const int command = item.command;
  QObject::connect(action, &QAction::triggered, action,
                   [&session, command] { run_command(session, command); });
}

template <std::size_t N>
QMenu* add_popup(QMenuBar* bar, const char* title, const MenuItem (&items)[N], Session& session) {
  QMenu* menu = bar->addMenu(QString::fromUtf8(title));
  skip_greyed_mnemonics(menu);
  for (const MenuItem& item : items) add_item(menu, item, session, QString::fromUtf8(item.key));
  return menu;
}

// A popup with one item per voice, each showing the digit key, with `modifiers`, that runs it.
QMenu* add_voice_popup(QMenuBar* bar, const char* title, int VoiceFacts::*command,
                       Qt::KeyboardModifiers modifiers, Session& session) {
  QMenu* menu = bar->addMenu(QString::fromUtf8(title));
  for (VoiceId voice : MENU_ORDER) {
    const VoiceFacts& v = voice_facts(voice);
    const QKeySequence key(QKeyCombination(modifiers, static_cast<Qt::Key>(Qt::Key_0 + v.digit)));
    add_item(menu, {v.menu_text, v.*command}, session, key.toString(QKeySequence::NativeText));
  }
  return menu;
}

QIcon application_icon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 256}) {
    icon.addFile(QStringLiteral(":/thumpa/thumpa-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace

WaveformView::WaveformView(QWidget* parent, Session& session) : QWidget(parent), session_(session) {
  // The background is the system's window colour, erased before every paint.
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Base));
  setPalette(palette);
  setAutoFillBackground(true);
  setFocusPolicy(Qt::StrongFocus);
}

void WaveformView::paintEvent(QPaintEvent*) {
  paint_waveform(this, shown_buffer(session_), session_.view);
}

void WaveformView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::RightButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  QMenu* menu = main_window != nullptr ? main_window->show_menu() : nullptr;
  if (menu == nullptr) {
    QApplication::beep();
    return;
  }
  // Left edge at the click; the chosen item arrives as an ordinary command.
  menu->popup(event->globalPosition().toPoint());
}

MainWindow::MainWindow(Session& session) : session_(session) {
  setWindowTitle(QString::fromUtf8(WINDOW_TITLE));
  // Every window of the program, dialogs and message boxes included, shows the same icon.
  QApplication::setWindowIcon(application_icon());
  setWindowIcon(application_icon());
  view_ = new WaveformView(this, session);
  setCentralWidget(view_);
  build_menus();
  build_status_line();
  if (const QScreen* screen = this->screen()) {
    // The status line adds to the window rather than taking from the view.
    resize(screen->availableGeometry().size() * 3 / 4 + QSize(0, statusBar()->sizeHint().height()));
  }
  for (QScreen* screen : QGuiApplication::screens()) watch_screen(screen);
  connect(qApp, &QGuiApplication::screenAdded, this, [this](QScreen* s) { watch_screen(s); });
  connect(qApp, &QGuiApplication::screenRemoved, this,
          [this](QScreen* s) { screen_modes_.remove(s); });
  main_window = this;
  set_command_target(this,
                     [this](int id, std::int64_t due_ns) { run_command(session_, id, due_ns); });
}

MainWindow::~MainWindow() {
  clear_command_target(this);
  if (main_window == this) main_window = nullptr;
}

void MainWindow::build_menus() {
  QMenuBar* bar = menuBar();
  add_popup(bar, "&File", FILE_ITEMS, session_);
  add_voice_popup(bar, "&Edit", &VoiceFacts::edit_command, Qt::ControlModifier, session_);
  add_voice_popup(bar, "&Play", &VoiceFacts::play_command, Qt::NoModifier, session_);
  show_menu_ =
      add_voice_popup(bar, "&Show", &VoiceFacts::show_command, Qt::ShiftModifier, session_);
  // The Show items check the shown voice; refresh_status keeps the mark on it.
  shown_voice_group_ = new QActionGroup(show_menu_);
  shown_voice_group_->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
  for (QAction* action : show_menu_->actions()) {
    action->setCheckable(true);
    shown_voice_group_->addAction(action);
  }
  add_popup(bar, "&Display", DISPLAY_ITEMS, session_);
  add_popup(bar, "&Help", HELP_ITEMS, session_);
}

void MainWindow::build_status_line() {
  QStatusBar* bar = statusBar();
  for (QLabel*& label : status_labels_) {
    label = new QLabel(bar);
    label->setTextFormat(Qt::PlainText);
    label->setContentsMargins(4, 0, 8, 0);
    bar->addWidget(label);
  }
  refresh_status();
  connect(&status_timer_, &QTimer::timeout, this, &MainWindow::refresh_status);
  status_timer_.start(STATUS_POLL_MS);
}

void MainWindow::refresh_status() {
  const std::optional<VoiceId> shown = session_.view.shown_voice;
  for (QAction* action : shown_voice_group_->actions()) {
    const bool is_shown = shown && action->data().toInt() == voice_facts(*shown).show_command;
    if (action->isChecked() != is_shown) action->setChecked(is_shown);
  }
  const StatusTexts now = status_texts(shown, sound_output_status(), session_.settings_file);
  if (now == status_) return;
  const QString StatusTexts::*fields[] = {&StatusTexts::voice, &StatusTexts::output,
                                          &StatusTexts::midi, &StatusTexts::settings};
  for (int i = 0; i < 4; ++i) {
    const QString& text = now.*fields[i];
    if (text == status_.*fields[i]) continue;
    status_labels_[i]->setText(text);
    status_labels_[i]->setAccessibleName(text);
  }
  status_labels_[3]->setToolTip(QDir::toNativeSeparators(session_.settings_file));
  status_ = now;
}

void MainWindow::watch_screen(QScreen* screen) {
  screen_modes_.insert(screen, {screen->geometry().size(), screen->depth()});
  connect(screen, &QScreen::geometryChanged, this,
          [this, screen](const QRect& geometry) { screen_changed(screen, geometry); });
}

// Qt has no signal of its own for a change of colour depth; the depth is compared whenever
// the screen's geometry changes, which a mode switch brings along.
void MainWindow::screen_changed(QScreen* screen, const QRect& geometry) {
  const ScreenMode mode{geometry.size(), screen->depth()};
  ScreenMode& known = screen_modes_[screen];
  if (mode.size == known.size && mode.depth == known.depth) return;  // only moved
  known = mode;
  QWidget* focus = QApplication::focusWidget();
  show_message_box(focus != nullptr ? focus->window() : this,
                   {DISPLAY_CHANGED_TEXT, APP_CAPTION, MessageIcon::none, {}});
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (closed_) return;
  closed_ = true;
  status_timer_.stop();
  hide();
  // The metronome may still tick; its commands have no effect from now on.
  clear_command_target(this);
  close_sound_device();
  // Outside any event loop there is nothing to end (the start-up sees destroyed_for_good), and
  // an exit requested there would make every later loop, a message box's included, return at
  // once.
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

void repaint_main_window() {
  if (main_window == nullptr) return;
  main_window->view()->repaint();
  main_window->refresh_status();
}

void paint_waveform(QWidget* view, const VoiceBuffer* shown_voice, ViewState& state) {
  QPainter painter;
  if (!painter.begin(view)) {
    // A message box must not open inside a paint; it is shown once the paint is over.
    QMetaObject::invokeMethod(
        qApp, [] { show_message("Cannot update window", APP_CAPTION, MessageIcon::error); },
        Qt::QueuedConnection);
    return;
  }
  if (shown_voice == nullptr) return;
  const QRect area = view->rect();
  state.client_width = static_cast<std::uint32_t>(area.width());
  const std::vector<QPoint> points = waveform_points(*shown_voice, state.view_start, state.zoom,
                                                     static_cast<std::uint32_t>(area.width()),
                                                     static_cast<std::uint32_t>(area.height()));
  // Column 0 is both the start and the first end point, as a polyline through the columns.
  if (points.size() >= 2) painter.drawPolyline(points.data(), static_cast<int>(points.size()));
}

}  // namespace thumpa
