// The editor dialogs with their widgets: OK, Apply, Test and Cancel against a real bank, the
// sound device on SDL's dummy driver and messages captured by a sink.
#include "editors/voice_editor.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QtTest/QTest>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "audio/sound_device.h"
#include "bank/voice_bank.h"
#include "editors/editors.h"
#include "editors/voice_forms.h"
#include "files/wav_writer.h"
#include "synth/generators.h"
#include "synth/messages.h"
#include "synth/render.h"
#include "synth/shaping.h"
#include "ui/dialog_units.h"

namespace thumpa {
namespace {

// One application for the whole run, made only when tests run (not when they are listed).
class QtApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "editor_tests";
    static char* argv[] = {name, nullptr};
    // SDL's dummy driver stands in for a sound card, whatever sound server the machine runs.
    setenv("THUMPA_AUDIO", "sdl", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    app_ = new QApplication(argc, argv);
  }
  void TearDown() override { delete app_; }

 private:
  QApplication* app_ = nullptr;
};
[[maybe_unused]] ::testing::Environment* const qt_application =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

std::vector<Q31> samples_of(const VoiceBuffer& v) {
  return v.samples ? std::vector<Q31>(v.samples.get(), v.samples.get() + v.count)
                   : std::vector<Q31>{};
}

// The voice rendered from the record by its generator and shaped by its shaping slot.
std::vector<Q31> rendered_directly(const BankParams& p, VoiceId voice) {
  VoiceBuffer buffer;
  if (voice == VOICE_KICK) make_kick(buffer, p.kick);
  if (voice == VOICE_OSCILLATOR) make_oscillator(buffer, p.osc);
  shape_voice(voice, buffer, p.shaping);
  return samples_of(buffer);
}

class VoiceEditor : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(open_sound_device(), 0); }
  static void TearDownTestSuite() { close_sound_device(); }

  void SetUp() override {
    previous_sink_ =
        set_message_sink({[this](const UserMessage& m) { messages.push_back(m); }, [] {}});
    init_voice_bank(bank);
    ASSERT_TRUE(messages.empty()) << messages.front().text;
    main_window.setCentralWidget(client);
    main_window.resize(600, 400);
    main_window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main_window));
    // The waveform is the main window's client area: that is what must be drawn anew.
    client->installEventFilter(&painted);
  }
  void TearDown() override {
    set_message_sink(previous_sink_);
    sample_memory = saved_memory_;
    if (!sound_device_open()) {
      ASSERT_EQ(open_sound_device(), 0);
    }
  }

  // A new editor of the voice in `dialog`, shown as the main window would show it.
  void open(QDialog& dialog, VoiceId voice) {
    ASSERT_TRUE(build_voice_editor(dialog, bank, voice, hooks(voice)));
    dialog.show();
  }
  // The hooks the main window gives an editor: Test sends the voice's play command, and a
  // change draws the client area anew.
  EditorHooks hooks(VoiceId voice) {
    return {[this, voice] {
              commands.push_back(voice_facts(voice).play_command);
              samples_when_sent = samples_of(bank.voices[voice]);
            },
            [this] { client->repaint(); }};
  }
  static QLineEdit* edit(QDialog& dialog, int id) {
    auto* e = dialog.findChild<QLineEdit*>(QString::number(id));
    EXPECT_NE(e, nullptr) << id;
    return e;
  }
  static QAbstractButton* button(QDialog& dialog, int id) {
    auto* b = dialog.findChild<QAbstractButton*>(QString::number(id));
    EXPECT_NE(b, nullptr) << id;
    return b;
  }
  static QString caption(QDialog& dialog, int id) {
    return dialog.findChild<QLabel*>(QString::number(id))->text();
  }

  VoiceBank bank;
  QMainWindow main_window;
  QWidget* client = new QWidget;  // owned by main_window
  PaintCounter painted;
  std::vector<UserMessage> messages;
  std::vector<int> commands;
  std::vector<Q31> samples_when_sent;
  const SampleMemory saved_memory_ = sample_memory;

 private:
  MessageSink previous_sink_;
};

TEST_F(VoiceEditor, KickRoundOfTestApplyCancelAndOk) {
  {
    QDialog dialog(&main_window);
    open(dialog, VOICE_KICK);
    EXPECT_EQ(dialog.windowTitle(), "Edit Kick");
    EXPECT_EQ(caption(dialog, 1030), "AFreq");
    EXPECT_EQ(caption(dialog, 1035), "Decay");
    EXPECT_EQ(edit(dialog, 1037)->text(), "300");
    EXPECT_EQ(edit(dialog, 1058)->text(), "0.3000");
    EXPECT_TRUE(button(dialog, ID_NO_DIST)->isChecked());

    // Test: everything written back, the voice rebuilt and shaped, then played.
    edit(dialog, 1037)->setText("250");
    edit(dialog, 1058)->setText("0.5");
    edit(dialog, ID_DIST_LEVEL)->setText("0.4");
    button(dialog, ID_SURDIST)->setChecked(true);
    button(dialog, ID_NORMALIZE_AFTER)->setChecked(true);
    const int paints_before = painted.paints;
    button(dialog, ID_TEST)->click();
    EXPECT_EQ(commands, std::vector<int>{603});
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_GT(painted.paints, paints_before);
    EXPECT_EQ(bank.params.kick.start_freq, 250);
    EXPECT_EQ(bank.params.kick.mix, 1073741823);
    EXPECT_EQ(bank.params.shaping.dist_type[VOICE_KICK], DIST_SUR);
    EXPECT_EQ(bank.params.shaping.dist_level[VOICE_KICK], 858993458);
    EXPECT_EQ(bank.params.shaping.normalize_after[VOICE_KICK], 1);
    const std::vector<Q31> tested = rendered_directly(bank.params, VOICE_KICK);
    EXPECT_EQ(samples_when_sent, tested);  // the new sound was in place when it was played
    EXPECT_EQ(samples_of(bank.voices[VOICE_KICK]), tested);
    EXPECT_TRUE(playback_buffer[playback_slot(VOICE_KICK)]);

    // Apply: written and rebuilt, nothing played, the dialog stays.
    edit(dialog, 1041)->setText("0.001");
    const int paints_after_test = painted.paints;
    button(dialog, ID_APPLY)->click();
    EXPECT_GT(painted.paints, paints_after_test);
    EXPECT_EQ(commands.size(), 1u);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(bank.params.kick.decay, 2147483);
    const std::vector<Q31> applied = rendered_directly(bank.params, VOICE_KICK);
    EXPECT_EQ(samples_of(bank.voices[VOICE_KICK]), applied);

    // Cancel: nothing more is written; what Apply wrote stays.
    const BankParams before_cancel = bank.params;
    edit(dialog, 1036)->setText("2000");
    button(dialog, ID_NO_DIST)->setChecked(true);
    button(dialog, ID_CANCEL)->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(bank.params, before_cancel);
    EXPECT_EQ(samples_of(bank.voices[VOICE_KICK]), applied);
  }
  {
    // Opened again, the form shows what was applied; OK writes and closes.
    QDialog dialog(&main_window);
    open(dialog, VOICE_KICK);
    EXPECT_EQ(edit(dialog, 1037)->text(), "250");
    EXPECT_EQ(edit(dialog, 1041)->text(), "0.00100");
    EXPECT_EQ(edit(dialog, ID_DIST_LEVEL)->text(), "0.4000");
    EXPECT_TRUE(button(dialog, ID_SURDIST)->isChecked());
    EXPECT_FALSE(button(dialog, ID_NO_DIST)->isChecked());
    EXPECT_TRUE(button(dialog, ID_NORMALIZE_AFTER)->isChecked());
    edit(dialog, 1039)->setText("9.99");
    const int paints_before_ok = painted.paints;
    button(dialog, ID_OK)->click();
    EXPECT_GT(painted.paints, paints_before_ok);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(bank.params.kick.a_decay, -21474847);
    EXPECT_EQ(samples_of(bank.voices[VOICE_KICK]), rendered_directly(bank.params, VOICE_KICK));
    EXPECT_EQ(commands.size(), 1u);
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(VoiceEditor, OscillatorRoundOfTestApplyAndOk) {
  QDialog dialog(&main_window);
  open(dialog, VOICE_OSCILLATOR);
  EXPECT_EQ(dialog.objectName(), "EditOscBox");
  EXPECT_EQ(dialog.windowTitle(), "Edit Oscillator");
  EXPECT_EQ(edit(dialog, 1075)->text(), "0.25000");
  EXPECT_EQ(edit(dialog, 1077)->text(), "0.900000");
  EXPECT_TRUE(button(dialog, ID_PULSE)->isChecked());

  edit(dialog, 1075)->setText("-0.5");
  edit(dialog, 1052)->setText("11025");
  edit(dialog, 1054)->setText("1");  // an attack of 1 is refused
  button(dialog, ID_TRI)->setChecked(true);
  button(dialog, ID_APDIST)->setChecked(true);
  button(dialog, ID_TEST)->click();
  EXPECT_EQ(commands, std::vector<int>{608});
  EXPECT_EQ(bank.params.osc.pulse_width, -1073741823);
  EXPECT_EQ(bank.params.osc.dca_sustain, 11025);
  EXPECT_EQ(bank.params.osc.dcf_attack, OscParams{}.dcf_attack);
  EXPECT_EQ(bank.params.osc.wave, WAVE_TRIANGLE);
  EXPECT_EQ(bank.params.shaping.dist_type[VOICE_OSCILLATOR], DIST_AP);
  EXPECT_EQ(samples_when_sent, rendered_directly(bank.params, VOICE_OSCILLATOR));

  edit(dialog, 1076)->setText("110");
  button(dialog, ID_APPLY)->click();
  EXPECT_EQ(bank.params.osc.freq, 110);
  button(dialog, ID_OK)->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(samples_of(bank.voices[VOICE_OSCILLATOR]),
            rendered_directly(bank.params, VOICE_OSCILLATOR));
  EXPECT_EQ(commands.size(), 1u);

  QDialog again(&main_window);
  open(again, VOICE_OSCILLATOR);
  EXPECT_EQ(edit(again, 1075)->text(), "1.50000");
  EXPECT_TRUE(button(again, ID_TRI)->isChecked());
  EXPECT_TRUE(messages.empty());
}

// After Apply and after Test every field shows the value in effect, as the form shows it when
// opened again: a text that could not be read gives way to the value it left in place, a
// readable one takes the field's own form, and an unused field goes back to "-".
TEST_F(VoiceEditor, AfterApplyAndTestEveryFieldShowsTheValueInEffect) {
  const struct {
    VoiceId voice;
    int id;
    const char* typed;
    const char* shown;
  } cases[] = {
      {VOICE_KICK, 1037, "abc", "300"},           // not a whole number: kept
      {VOICE_KICK, 1037, "1e12", "300"},          // not a whole number either
      {VOICE_KICK, 1041, ".5", "0.50000"},        // a fraction in its own form
      {VOICE_KICK, 1058, "abc", "0.0000"},        // a fraction field reads it as 0
      {VOICE_COWBELL, 1038, "150", "16.00000"},   // the Cowbell's Dist takes 0 to 100 only
      {VOICE_OSCILLATOR, 1054, "1", "0.020000"},  // an attack of 1 is refused
      {VOICE_BLIPP, 1040, "7", "-"},              // an unused field is never read
  };
  for (int clicked : {ID_APPLY, ID_TEST}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(clicked) + " " + c.typed);
      init_voice_bank(bank);
      QDialog dialog(&main_window);
      open(dialog, c.voice);
      edit(dialog, c.id)->setText(QString::fromUtf8(c.typed));
      button(dialog, clicked)->click();
      EXPECT_EQ(edit(dialog, c.id)->text().toStdString(), c.shown);
      EXPECT_EQ(edit(dialog, c.id)->cursorPosition(), 0);  // the start of the value shows
      QDialog again(&main_window);
      open(again, c.voice);
      for (QLineEdit* field : again.findChildren<QLineEdit*>()) {
        EXPECT_EQ(edit(dialog, field->objectName().toInt())->text(), field->text())
            << field->objectName().toStdString();
      }
    }
  }
  EXPECT_TRUE(messages.empty());
}

#ifdef THUMPA_RENDER
// The voice as the command-line renderer writes it with the same record and shaping.
std::vector<std::int16_t> render_with_tool(const char* voice,
                                           const std::vector<std::string>& sets) {
  const std::string wav = ::testing::TempDir() + "editor_" + voice + ".wav";
  std::string command =
      std::string(THUMPA_RENDER) + " --voice " + voice + " --wav " + wav + " --shape";
  for (const std::string& set : sets) command += " --set " + set;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream file(wav, std::ios::binary);
  file.seekg(WAV_HEADER_BYTES);
  std::vector<std::int16_t> samples;
  unsigned char pair[2];
  while (file.read(reinterpret_cast<char*>(pair), 2)) {
    samples.push_back(static_cast<std::int16_t>(pair[0] | (pair[1] << 8)));
  }
  std::remove(wav.c_str());
  return samples;
}

std::string set(const char* field, std::int32_t value) {
  return std::string(field) + "=" + std::to_string(value);
}

TEST_F(VoiceEditor, AppliedVoicesMatchTheCommandLineRenderer) {
  QDialog dialog(&main_window);
  open(dialog, VOICE_OSCILLATOR);
  edit(dialog, 1076)->setText("90");
  edit(dialog, 1075)->setText("0.6");
  button(dialog, ID_SAW)->setChecked(true);
  button(dialog, ID_ZOGDIST)->setChecked(true);
  edit(dialog, ID_DIST_LEVEL)->setText("0.3");
  button(dialog, ID_APPLY)->click();
  const OscParams& o = bank.params.osc;
  const ShapingSettings& s = bank.params.shaping;
  const int v = VOICE_OSCILLATOR;
  const std::vector<std::int16_t> tool = render_with_tool(
      "oscillator",
      {set("freq", o.freq), set("wave", o.wave), set("pulse_width", o.pulse_width),
       set("dca_attack", o.dca_attack), set("dca_sustain", o.dca_sustain),
       set("dca_release", o.dca_release), set("dcf_attack", o.dcf_attack),
       set("dcf_release", o.dcf_release), set("freq_hi", o.freq_hi), set("freq_lo", o.freq_lo),
       set("resonance", o.resonance), set("dist_type", s.dist_type[v]),
       set("dist_level", s.dist_level[v]), set("normalize_before", s.normalize_before[v]),
       set("normalize_after", s.normalize_after[v])});
  std::vector<std::int16_t> ours;
  for (Q31 sample : samples_of(bank.voices[v])) ours.push_back(wav_sample(sample));
  ASSERT_EQ(tool.size(), ours.size());
  for (std::size_t i = 0; i < tool.size(); ++i) ASSERT_EQ(tool[i], ours[i]) << i;
}
#endif

TEST_F(VoiceEditor, FailuresShowTheVoicesMessageAndTheDialogGoesOn) {
  QDialog dialog(&main_window);
  open(dialog, VOICE_KICK);
  const std::vector<Q31> old_sound = samples_of(bank.voices[VOICE_KICK]);
  const PlaybackHandle old_buffer = playback_buffer[playback_slot(VOICE_KICK)];

  // No memory for the samples: the render-failure message, the old buffer keeps sounding, the
  // record is updated all the same and Test still plays.
  sample_memory.allocate = [](std::size_t) -> void* { return nullptr; };
  edit(dialog, 1037)->setText("200");
  button(dialog, ID_TEST)->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Can't make kick!");
  EXPECT_EQ(messages[0].caption, "");
  EXPECT_EQ(messages[0].icon, MessageIcon::error);
  EXPECT_EQ(commands, std::vector<int>{603});
  EXPECT_EQ(bank.params.kick.start_freq, 200);
  EXPECT_EQ(playback_buffer[playback_slot(VOICE_KICK)], old_buffer);
  EXPECT_NE(old_sound, std::vector<Q31>{});

  // No sound device to hold the buffer: the buffer-failure message, and OK still closes.
  sample_memory = saved_memory_;
  close_sound_device();
  button(dialog, ID_OK)->click();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].text, "Can't make kick buffer!");
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(playback_buffer[playback_slot(VOICE_KICK)]);
}

// Every editor fits its screen under a title bar: at scale 2 on an 800-pixel screen (a run of
// its own, see CMakeLists.txt) the Oscillator form alone gets a smaller font, and shrinks with it.
TEST_F(VoiceEditor, FormsKeepTheirProportionsTabOrderAndIds) {
  const bool scale_2 = qEnvironmentVariable("QT_SCALE_FACTOR") == "2";
  for (VoiceId voice : {VOICE_SNARE, VOICE_OSCILLATOR}) {
    QDialog dialog(&main_window);
    open(dialog, voice);
    const DialogTemplate& t = voice == VOICE_OSCILLATOR ? EDIT_OSC_BOX : EDIT_BOX;
    const DialogBaseUnits base = dialog_base_units(dialog.font());
    EXPECT_EQ(dialog.size(), dialog_rect(base, 0, 0, t.w, t.h).size());
    EXPECT_LE(dialog.height() + dialog.style()->pixelMetric(QStyle::PM_TitleBarHeight),
              dialog.screen()->availableGeometry().height());
    EXPECT_EQ(dialog.font() == QApplication::font(), !scale_2 || voice != VOICE_OSCILLATOR);
    // The controls in template order, each where its dialog units put it. Only a text that
    // needs more room may widen its control, and never over another control.
    const QList<QWidget*> controls = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(controls.size(), static_cast<qsizetype>(t.controls.size()));
    std::vector<int> focusable;
    for (std::size_t i = 0; i < t.controls.size(); ++i) {
      const ControlTemplate& c = t.controls[i];
      const QRect place = dialog_rect(base, c.x, c.y, c.w, c.h);
      const QRect now = controls[i]->geometry();
      EXPECT_EQ(controls[i]->objectName(), QString::number(c.id));
      EXPECT_EQ(now.topLeft(), place.topLeft()) << c.id;
      EXPECT_EQ(now.height(), place.height()) << c.id;
      if (now.width() != place.width()) {
        EXPECT_GT(now.width(), place.width()) << c.id;
        EXPECT_LE(now.width(), controls[i]->sizeHint().width()) << c.id;
      }
      for (std::size_t j = 0; j < t.controls.size(); ++j) {
        const ControlTemplate& d = t.controls[j];
        if (j != i && now.intersects(controls[j]->geometry())) {
          EXPECT_TRUE(place.intersects(dialog_rect(base, d.x, d.y, d.w, d.h)))
              << c.id << " " << d.id;
        }
      }
      if (controls[i]->focusPolicy() & Qt::TabFocus) focusable.push_back(c.id);
    }
    // The focus chain runs through the controls in template order, starting with OK.
    std::vector<int> chain;
    QWidget* w = button(dialog, ID_OK);
    do {
      if (w->parentWidget() == &dialog && (w->focusPolicy() & Qt::TabFocus)) {
        chain.push_back(w->objectName().toInt());
      }
      w = w->nextInFocusChain();
    } while (w != button(dialog, ID_OK));
    EXPECT_EQ(chain, focusable);
    EXPECT_TRUE(static_cast<QPushButton*>(button(dialog, ID_OK))->isDefault());
  }
}

// Every field shows its whole value at once, the widest an integer field can hold included:
// moving the cursor from the end of the text to its start spans the text's full width only
// when the field does not have to scroll.
TEST_F(VoiceEditor, EveryValueIsReadableInFull) {
  bank.params.kick.a_freq = -1;  // shown as 4294967295
  bank.params.kick.start_freq = INT32_MIN;
  bank.params.kick.stop_freq = INT32_MAX;
  bank.params.kick.decay = INT32_MIN;
  bank.params.osc.freq = -1;
  bank.params.osc.dca_sustain = INT32_MIN;
  bank.params.closed.filter_freq = -1;
  for (VoiceId voice : {VOICE_KICK, VOICE_OSCILLATOR, VOICE_CLOSED_HAT}) {
    QDialog dialog(&main_window);
    open(dialog, voice);
    for (QLineEdit* field : dialog.findChildren<QLineEdit*>()) {
      SCOPED_TRACE(field->objectName().toStdString() + " " + field->text().toStdString());
      field->setCursorPosition(static_cast<int>(field->text().size()));
      field->repaint();  // where the field scrolls its text to
      const int end = field->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
      field->setCursorPosition(0);
      field->repaint();
      const int start = field->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
      EXPECT_GE(end - start, field->fontMetrics().horizontalAdvance(field->text()) - 1);
      EXPECT_GE(start, 0);
      EXPECT_LE(end, field->width());
    }
  }
}

// A value too long for its field (the Cowbell's Dist at its most negative) shows its start,
// the minus sign, however the focus comes and goes; Tab still selects all of it.
TEST_F(VoiceEditor, AFieldTooNarrowShowsTheStartOfItsValue) {
  bank.params.cowbell.dist = INT32_MIN;
  QDialog dialog(&main_window);
  open(dialog, VOICE_COWBELL);
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  QLineEdit* field = edit(dialog, 1038);
  ASSERT_GT(field->fontMetrics().horizontalAdvance(field->text()), field->width());
  auto start_shown = [field] {
    field->repaint();  // where the field scrolls its text to
    return field->cursorPosition() == 0 &&
           field->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x() >= 0;
  };
  EXPECT_TRUE(start_shown());
  QLineEdit* before = edit(dialog, 1037);
  before->setFocus(Qt::OtherFocusReason);
  ASSERT_TRUE(QTest::qWaitFor([before] { return QApplication::focusWidget() == before; }));
  QTest::keyClick(before, Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), field);
  EXPECT_EQ(field->selectedText(), field->text());
  EXPECT_TRUE(start_shown());
  QTest::keyClick(field, Qt::Key_End);
  QTest::keyClick(field, Qt::Key_Tab);
  EXPECT_TRUE(start_shown());
}

// In every editor no control runs into another or past the dialog's edge, and no caption,
// check box or radio button is narrower than its text needs.
TEST_F(VoiceEditor, NoControlTouchesAnotherOrIsCut) {
  for (VoiceId voice : {VOICE_BLIPP, VOICE_CLAVE, VOICE_CLOSED_HAT, VOICE_KICK, VOICE_OPEN_HAT,
                        VOICE_SNARE, VOICE_COWBELL, VOICE_OSCILLATOR}) {
    QDialog dialog(&main_window);
    open(dialog, voice);
    const QList<QWidget*> controls = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* control : controls) {
      const std::string name = control->objectName().toStdString();
      const QRect around = control->geometry().adjusted(-1, -1, 1, 1);
      EXPECT_TRUE(dialog.rect().contains(around)) << voice << " " << name;
      for (QWidget* other : controls) {
        EXPECT_TRUE(other == control || !around.intersects(other->geometry()))
            << voice << " " << name << " " << other->objectName().toStdString();
      }
      if (control->inherits("QLabel") || control->inherits("QAbstractButton")) {
        EXPECT_GE(control->width(), control->sizeHint().width()) << voice << " " << name;
      }
    }
  }
}

// Tab enters a group of radio buttons at its checked button and leaves it at the next control;
// the arrow keys move within the group and check what they reach.
TEST_F(VoiceEditor, TabLandsOnTheCheckedRadioButton) {
  bank.params.shaping.dist_type[VOICE_KICK] = 3;  // Surdist
  const struct {
    VoiceId voice;
    int before, checked, after, left_of_checked;
  } cases[] = {
      {VOICE_KICK, ID_NORMALIZE_AFTER, ID_SURDIST, ID_DIST_LEVEL, 1043},
      {VOICE_OSCILLATOR, 1075, 1071, 1074, 1072},  // Pulse, the default wave; Saw left of it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.voice);
    QDialog dialog(&main_window);
    open(dialog, c.voice);
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    auto focus_after = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
      QTest::keyClick(QApplication::focusWidget(), key, modifiers);
      return QApplication::focusWidget()->objectName().toInt();
    };
    QWidget* before = dialog.findChild<QWidget*>(QString::number(c.before));
    before->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([before] { return QApplication::focusWidget() == before; }));
    EXPECT_EQ(focus_after(Qt::Key_Tab), c.checked);
    EXPECT_EQ(focus_after(Qt::Key_Tab), c.after);
    EXPECT_EQ(focus_after(Qt::Key_Backtab), c.checked);
    EXPECT_EQ(focus_after(Qt::Key_Left), c.left_of_checked);
    EXPECT_TRUE(button(dialog, c.left_of_checked)->isChecked());
    EXPECT_EQ(focus_after(Qt::Key_Tab), c.after);
    EXPECT_EQ(focus_after(Qt::Key_Backtab), c.left_of_checked);
  }
}

// An owner that goes while its editor is open takes the editor with it, once.
TEST_F(VoiceEditor, AnOwnerDestroyedDuringTheEditorTakesItAlong) {
  auto* owner = new QWidget;
  owner->show();
  QTimer::singleShot(50, owner, [owner] { owner->deleteLater(); });
  run_voice_editor(owner, bank, VOICE_KICK, hooks(VOICE_KICK));  // returns when it went
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// run_voice_editor as the main window calls it: modal until the keyboard closes it.
TEST_F(VoiceEditor, KeyboardClosesTheModalEditor) {
  struct Case {
    const char* what;
    std::function<void(QDialog&)> act;
    std::int32_t expected_resonance;
    std::vector<int> expected_commands;
  };
  const std::vector<Case> cases = {
      {"Escape cancels", [](QDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }, 20, {}},
      {"the close button cancels", [](QDialog& d) { d.close(); }, 20, {}},
      {"Enter is OK",
       [](QDialog& d) { QTest::keyClick(d.findChild<QLineEdit*>("1037"), Qt::Key_Return); },
       21,
       {}},
      {"Alt+T tests, then Escape",
       [this](QDialog& d) {
         // The mnemonic clicks the button the way a mouse would, a moment later.
         QTest::keyClick(&d, Qt::Key_T, Qt::AltModifier);
         EXPECT_TRUE(QTest::qWaitFor([this] { return !commands.empty(); }));
         QTest::keyClick(&d, Qt::Key_Escape);
       },
       21,
       {602}},
  };
  for (const Case& c : cases) {
    bank.params.closed.resonance = 20;
    commands.clear();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      poll.stop();
      dialog->activateWindow();  // keyboard shortcuts go to the active window
      ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
      dialog->findChild<QLineEdit*>("1037")->setText("21");
      c.act(*dialog);
    });
    poll.start(10);
    run_voice_editor(&main_window, bank, VOICE_CLOSED_HAT, hooks(VOICE_CLOSED_HAT));
    EXPECT_EQ(bank.params.closed.resonance, c.expected_resonance) << c.what;
    EXPECT_EQ(commands, c.expected_commands) << c.what;
  }
}

}  // namespace
}  // namespace thumpa
