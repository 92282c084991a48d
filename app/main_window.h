// The one top-level window: title "Thumpa", the menu bar, the waveform view as its client
// area, the status line under it, the right-button popup of the "&Show" items, and the
// destruction that ends the program.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QSize>
#include <QTimer>

#include "app/status_line.h"

class QActionGroup;
class QLabel;
class QMenu;
class QScreen;

namespace thumpa {

struct Session;
struct ViewState;
struct VoiceBuffer;

inline constexpr const char* WINDOW_TITLE = "Thumpa";
inline constexpr const char* DISPLAY_CHANGED_TEXT = "Display Changed";

// The client area: draws the shown voice and pops up the "&Show" menu on the right button.
class WaveformView : public QWidget {
 public:
  WaveformView(QWidget* parent, Session& session);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  Session& session_;
};

class MainWindow : public QMainWindow {
 public:
  // The window of the session's run: its menus, keys and sent commands run on that session.
  explicit MainWindow(Session& session);
  ~MainWindow() override;

  WaveformView* view() const { return view_; }
  Session& session() const { return session_; }
  // The fourth popup of the menu bar, "&Show"; also the right-button popup.
  QMenu* show_menu() const { return show_menu_; }
  // True once the window has been closed, which ends the program.
  bool destroyed_for_good() const { return closed_; }
  // What the status line says now.
  const StatusTexts& status() const { return status_; }
  // Brings the status line and the Show menu's check mark up to date with the session and
  // the sound output; repaints only what changed. A timer also calls it twice a second, for
  // what changes on its own (a sound server that goes away, a MIDI input).
  void refresh_status();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void build_menus();
  void build_status_line();
  void watch_screen(QScreen* screen);
  void screen_changed(QScreen* screen, const QRect& geometry);

  Session& session_;
  WaveformView* view_ = nullptr;
  QMenu* show_menu_ = nullptr;
  QActionGroup* shown_voice_group_ = nullptr;
  QLabel* status_labels_[4] = {};  // voice, output, MIDI, settings file
  StatusTexts status_;
  QTimer status_timer_;
  bool closed_ = false;
  struct ScreenMode {
    QSize size;
    int depth = 0;
  };
  QHash<QScreen*, ScreenMode> screen_modes_;
};

// The program's main window; null before it is made and after it is gone.
extern MainWindow* main_window;

// Invalidates the whole client area with erasing and repaints it at once; the status line and
// the Show menu follow the shown voice.
void repaint_main_window();

// Draws the voice into the view: one line segment per pixel column at most, the default pen
// on the window colour. Stores the width in state.client_width when there is a voice.
void paint_waveform(QWidget* view, const VoiceBuffer* shown_voice, ViewState& state);

}  // namespace thumpa
