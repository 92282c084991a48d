// thumpa-lv2-window: the plugin's window, a process of its own started by the plugin's UI in
// the host (see ui_plugin.cpp). It shows the eight voices in key order, the selected voice's
// waveform as the desktop program draws it, and its fields as its editor shows them; a changed
// field, a played voice and an opened kit go back over the socket, to the plugin through the
// host. Given --parent it puts its window inside the host's.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSocketNotifier>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWindow>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/kits_folder.h"
#include "app/waveform.h"
#include "editors/field_text.h"
#include "files/settings_file.h"
#include "lv2/controls.h"
#include "lv2ui/ui_protocol.h"
#include "lv2ui/ui_window_frame.h"
#include "lv2ui/ui_window_state.h"
#include "synth/bank_render.h"
#include "synth/messages.h"
#include "synth/shaping.h"
#include "synth/sine_table.h"

namespace thumpa {
namespace {

constexpr int WINDOW_WIDTH = 760;
constexpr int WINDOW_HEIGHT = 480;

struct Options {
  int socket = -1;
  long host = 0;
  std::uint64_t parent = 0;
};

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const std::string_view value = argv[i + 1];
    const char* end = value.data() + value.size();
    bool read = false;
    if (name == "--socket") {
      read = std::from_chars(value.data(), end, options.socket).ptr == end;
    } else if (name == "--host-pid") {
      read = std::from_chars(value.data(), end, options.host).ptr == end;
    } else if (name == "--parent") {
      read = std::from_chars(value.data(), end, options.parent).ptr == end;
    }
    if (!read) return false;
  }
  return options.socket >= 0 && options.host > 0;
}

// The voice as the editors make it again: the engine's render, then its shaping.
VoiceBuffer shaped_voice(const BankParams& params, VoiceId voice) {
  VoiceBuffer rendered;
  render_voice(params, voice, rendered);
  if (!rendered.empty()) shape_voice(voice, rendered, params.shaping);
  return rendered;
}

// The desktop program's view of a voice, with its Display keys: * and / zoom in and out, - and
// + pan left and right. The wheel zooms too, and pans with Shift held or when turned sideways.
class WaveView : public QWidget {
 public:
  WaveView() { setFocusPolicy(Qt::StrongFocus); }

  // Another voice is shown from its first sample; the same voice made again keeps the view.
  void show(VoiceId id, VoiceBuffer shown) {
    if (id != shown_id) view_start = 0;
    shown_id = id;
    voice = std::move(shown);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const std::vector<QPoint> points =
        waveform_points(voice, view_start, zoom, static_cast<std::uint32_t>(width()),
                        static_cast<std::uint32_t>(height()));
    if (points.size() >= 2) painter.drawPolyline(points.data(), static_cast<int>(points.size()));
  }

  void keyPressEvent(QKeyEvent* event) override {
    const QString text = event->text();
    if (text == "*" || text == "/") {
      zoom_in(text == "*");
    } else if (text == "-" || text == "+") {
      pan_right(text == "+");
    } else {
      QWidget::keyPressEvent(event);  // the digits go on to the window
    }
  }

  void wheelEvent(QWheelEvent* event) override {
    const QPoint turn = event->angleDelta();
    const bool sideways = turn.x() != 0 || (event->modifiers() & Qt::ShiftModifier) != 0;
    const int amount = turn.x() != 0 ? turn.x() : turn.y();
    if (amount == 0) return;
    if (sideways) {
      pan_right(amount < 0);
    } else {
      zoom_in(amount > 0);
    }
  }

 private:
  void zoom_in(bool in) {
    zoom = in ? zoomed_in(zoom) : zoomed_out(zoom);
    update();
  }

  void pan_right(bool right) {
    const auto shown_width = static_cast<std::uint32_t>(width());
    view_start = right ? panned_right(view_start, voice.count, shown_width, zoom)
                       : panned_left(view_start, shown_width, zoom);
    update();
  }

  VoiceId shown_id = MENU_ORDER[0];
  VoiceBuffer voice;
  std::int32_t view_start = 0;
  std::int32_t zoom = INITIAL_ZOOM;
};

class PluginWindow : public QWidget {
 public:
  explicit PluginWindow(int socket) : socket_(socket) {
    setWindowTitle("Thumpa");
    setFixedSize(WINDOW_WIDTH, WINDOW_HEIGHT);
    auto* top = new QHBoxLayout;
    kit_label_ = new QLabel("Kit: (none)");
    auto* open = new QPushButton("&Open Kit...");
    auto* save = new QPushButton("Save Kit &As...");
    top->addWidget(kit_label_, 1);
    top->addWidget(open);
    top->addWidget(save);
    connect(open, &QPushButton::clicked, this, [this] { open_kit(); });
    connect(save, &QPushButton::clicked, this, [this] { save_kit(); });

    auto* voices = new QGridLayout;
    auto* group = new QButtonGroup(this);
    int row = 0;
    for (VoiceId voice : MENU_ORDER) {
      const QString name = QString::fromUtf8(voice_group(voice).label);
      auto* select = new QPushButton(QString("%1  %2").arg(voice_facts(voice).digit).arg(name));
      select->setCheckable(true);
      select->setChecked(voice == selected_);
      group->addButton(select);
      auto* play = new QPushButton("Play");
      play->setAccessibleName("Play " + name);
      voices->addWidget(select, row, 0);
      voices->addWidget(play, row, 1);
      connect(select, &QPushButton::clicked, this, [this, voice] { select_voice(voice); });
      connect(play, &QPushButton::clicked, this, [this, voice] { play_voice(voice); });
      ++row;
    }
    voices->setRowStretch(row, 1);

    fields_ = new QGridLayout;
    wave_ = new WaveView;
    wave_->setMinimumHeight(170);
    auto* right = new QVBoxLayout;
    right->addLayout(fields_);
    right->addStretch(1);
    right->addWidget(wave_);
    auto* middle = new QHBoxLayout;
    middle->addLayout(voices);
    middle->addLayout(right, 1);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addLayout(middle, 1);
    rebuild_params(state_);
    show_voice();
  }

  // One line from the plugin's side.
  void take_line(const std::string& line) {
    const std::optional<UiMessage> message = parse_ui_line(line);
    if (!message) return;
    if (message->word == UiWord::control && take_control(state_, message->index, message->value)) {
      if (control_ports()[message->index].voice == selected_) dirty_ = true;
    } else if (message->word == UiWord::kit) {
      const KitReport report = take_kit(state_, message->path);
      kit_path_ = QString::fromStdString(message->path);
      const QString name = kit_path_.section('/', -1);
      kit_label_->setText("Kit: " + name);
      if (!report.error.empty())
        kit_label_->setText("Kit: " + name + " (" + QString::fromStdString(report.error) + ")");
      for (std::uint32_t i : report.to_write) send({UiWord::control, i, state_.values[i], 0, {}});
      dirty_ = true;
    }
  }

  // After a batch of lines: the voice shown again once, not once per control.
  void refresh() {
    if (dirty_) show_voice();
    dirty_ = false;
  }

  void send(const UiMessage& message) {
    const std::string line = ui_line(message);
    (void)::send(socket_, line.data(), line.size(), MSG_NOSIGNAL);
  }

 protected:
  // The digit keys play their voices, except where a field takes typed text.
  void keyPressEvent(QKeyEvent* event) override {
    const QString text = event->text();
    if (text.size() == 1 && text[0].isDigit()) {
      for (VoiceId voice : MENU_ORDER) {
        if (voice_facts(voice).digit == text[0].digitValue()) play_voice(voice);
      }
      return;
    }
    QWidget::keyPressEvent(event);
  }

 private:
  void select_voice(VoiceId voice) {
    selected_ = voice;
    show_voice();
    wave_->setFocus();  // so the zoom and pan keys reach it at once
  }

  void play_voice(VoiceId voice) {
    send({UiWord::play, static_cast<std::uint32_t>(voice), 0, 0, {}});
  }

  // A field edited here: its control's new value, as the plugin will store it, to the host.
  void set_control(std::uint32_t index, std::int32_t stored) {
    const ControlPort& port = control_ports()[index];
    BankParams edited = state_.params;
    control_field(port, edited) = stored;
    const float value = std::fmin(std::fmax(port_value(port, edited), port.minimum), port.maximum);
    take_control(state_, index, value);
    send({UiWord::control, index, value, 0, {}});
    show_voice();
  }

  void show_voice() {
    // Deleted later: the field whose signal got here is still in its handler.
    while (QLayoutItem* item = fields_->takeAt(0)) {
      if (QWidget* widget = item->widget()) {
        widget->hide();
        widget->deleteLater();
      }
      delete item;
    }
    const auto ports = control_ports();
    int row = 0;
    for (std::uint32_t i = 0; i < CONTROL_COUNT; ++i) {
      const ControlPort& port = ports[i];
      if (port.voice != selected_) continue;
      const std::int32_t stored = field_value(*port.field, state_.params, port.voice);
      const QString caption = QString::fromUtf8(port.field->control.caption);
      QWidget* editor = nullptr;
      if (port.kind == ControlKind::choice) {
        auto* box = new QComboBox;
        for (const FieldChoice& choice : port.field->control.choices) {
          box->addItem(QString::fromUtf8(choice.label), choice.value);
          if (choice.value == stored) box->setCurrentIndex(box->count() - 1);
        }
        connect(box, &QComboBox::activated, this,
                [this, i, box](int at) { set_control(i, box->itemData(at).toInt()); });
        editor = box;
      } else if (port.kind == ControlKind::toggle) {
        auto* check = new QCheckBox;
        check->setChecked(stored != 0);
        connect(check, &QCheckBox::clicked, this,
                [this, i](bool on) { set_control(i, on ? 1 : 0); });
        editor = check;
      } else {
        auto* edit =
            new QLineEdit(QString::fromStdString(show_field(port.field->kind, stored)).trimmed());
        const FieldKind kind = port.field->kind;
        connect(edit, &QLineEdit::editingFinished, this, [this, i, edit, kind, stored] {
          const std::int32_t read = read_field(kind, edit->text().toStdString(), stored);
          if (read != stored) set_control(i, read);
        });
        editor = edit;
      }
      editor->setAccessibleName(caption);
      auto* label = new QLabel(caption);
      label->setBuddy(editor);
      fields_->addWidget(label, row / 2, (row % 2) * 2);
      fields_->addWidget(editor, row / 2, (row % 2) * 2 + 1);
      ++row;
    }
    wave_->show(selected_, shaped_voice(state_.params, selected_));
  }

  // The folder the kit dialogs start in: the loaded kit's, else the designed kits beside the
  // installed bundle (or the source tree's, for a bundle in the build tree), else the current.
  QString kit_folder() const {
    const QFileInfo kit(kit_path_);
    if (!kit_path_.isEmpty() && kit.dir().exists()) return kit.absolutePath();
    const QString kits = designed_kits_folder(QStringLiteral(THUMPA_KITS_FROM_BUNDLE));
    return kits.isEmpty() ? QDir::currentPath() : kits;
  }

  void open_kit() {
    const QString path = QFileDialog::getOpenFileName(this, "Open Kit", kit_folder(),
                                                      "Thumpa settings (*.zog);;All files (*)",
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty()) return;
    state_.opening = path.toStdString();
    send({UiWord::kit, 0, 0, 0, state_.opening});
  }

  void save_kit() {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save Kit As", kit_folder(), "Thumpa settings (*.zog)",
                                     nullptr, QFileDialog::DontUseNativeDialog);
    if (!path.isEmpty()) save_settings_file(path.toStdString(), state_.params);
  }

  int socket_;
  WindowState state_;
  VoiceId selected_ = MENU_ORDER[0];
  bool dirty_ = false;
  QString kit_path_;  // the kit the plugin reports, or empty
  QLabel* kit_label_ = nullptr;
  QGridLayout* fields_ = nullptr;
  WaveView* wave_ = nullptr;
};

}  // namespace
}  // namespace thumpa

int main(int argc, char** argv) {
  using namespace thumpa;
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr, "thumpa-lv2-window is started by the Thumpa plugin's UI in a host\n");
    return 2;
  }
  // Set before exec by the starter too; set again in case another program started this one.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != options.host) return 1;
  fill_sine_table();
  QApplication app(argc, argv);
  PluginWindow window(options.socket);
  set_message_sink({[&window](const UserMessage& message) {
                      QMessageBox::warning(
                          &window, QString::fromStdString(message.caption),
                          QString::fromStdString(message.text + "\n" + message.detail));
                    },
                    {}});
  UiLineReader reader;
  QSocketNotifier notifier(options.socket, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
    char bytes[4096];
    const ssize_t got = ::recv(options.socket, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
      app.quit();  // the plugin's UI is gone
      return;
    }
    if (got < 0) return;
    for (const std::string& line :
         take_ui_lines(reader, std::string_view(bytes, static_cast<std::size_t>(got)))) {
      window.take_line(line);
    }
    window.refresh();
  });
  window.winId();
  WindowFrame frame;
  std::uint64_t shown = 0;
  if (options.parent != 0) {
    if (!make_frame(frame, options.parent, WINDOW_WIDTH, WINDOW_HEIGHT)) return 1;
    window.windowHandle()->setParent(QWindow::fromWinId(frame.window));
    shown = frame.window;
  } else {
    shown = static_cast<std::uint64_t>(window.winId());
  }
  window.show();
  window.send({UiWord::size, WINDOW_WIDTH, 0, WINDOW_HEIGHT, {}});
  window.send({UiWord::window, 0, 0, shown, {}});
  const int result = app.exec();
  remove_frame(frame);
  return result;
}
