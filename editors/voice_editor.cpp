#include "editors/voice_editor.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <algorithm>

#include "bank/voice_bank.h"
#include "editors/voice_forms.h"
#include "ui/dialog_units.h"

namespace thumpa {

namespace {

QString id_name(int id) {
  return QString::number(id);
}

template <class Widget>
Widget* control(QDialog& dialog, int id) {
  return dialog.findChild<Widget*>(id_name(id), Qt::FindDirectChildrenOnly);
}

// The form's contents as the controls hold them now.
FormState read_controls(QDialog& dialog) {
  FormState state;
  for (QLineEdit* edit : dialog.findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly)) {
    state.texts[edit->objectName().toInt()] = edit->text().toStdString();
  }
  for (QAbstractButton* button :
       dialog.findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly)) {
    if (button->isCheckable()) state.checked[button->objectName().toInt()] = button->isChecked();
  }
  return state;
}

// Shows the form's contents. A field whose text changes shows the start of its new value; one
// that already shows it is left as it is, cursor and selection included.
void show_state(QDialog& dialog, const FormState& state) {
  for (const auto& [id, text] : state.texts) {
    QLineEdit* edit = control<QLineEdit>(dialog, id);
    const QString shown = QString::fromStdString(text);
    if (edit != nullptr && edit->text() != shown) {
      edit->setText(shown);
      edit->setCursorPosition(0);
    }
  }
  for (const auto& [id, checked] : state.checked) {
    // Unchecked buttons are left alone: an exclusive group starts with none checked.
    if (QAbstractButton* button = control<QAbstractButton>(dialog, id); button && checked) {
      button->setChecked(true);
    }
  }
}

// An edit field that shows the start of its value whenever it does not have the focus, and
// when Tab brings the focus in: there the whole value is selected, as usual, but with the
// cursor at its start, so a value too long for the field still shows its sign.
class FieldEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

 protected:
  void focusInEvent(QFocusEvent* event) override {
    QLineEdit::focusInEvent(event);
    const int length = static_cast<int>(text().size());
    if (length > 0 && selectedText().size() == length) setSelection(length, -length);
  }
  void focusOutEvent(QFocusEvent* event) override {
    QLineEdit::focusOutEvent(event);
    // A menu or another window takes the focus only for a while: the field stays as it was.
    if (event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason)
      setCursorPosition(0);
  }
};

// The widest value an integer field shows, which an edit field should have room for.
const QString WIDEST_INTEGER = QStringLiteral("4294967295");

// The width an edit field needs to show its text, and at least the widest integer, in full:
// the text, the frame and the margins the field keeps inside it, and the cursor.
int width_to_show(const QLineEdit& edit) {
  const QFontMetrics metrics = edit.fontMetrics();
  const int text =
      std::max(metrics.horizontalAdvance(edit.text()), metrics.horizontalAdvance(WIDEST_INTEGER));
  const int frame = edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &edit);
  const QMargins margins = edit.textMargins();
  constexpr int INNER_MARGIN = 2;  // QLineEdit's own, on each side
  constexpr int CURSOR = 1;
  return text + 2 * (frame + INNER_MARGIN) + margins.left() + margins.right() + CURSOR;
}

// A caption, check box or radio button whose text runs wider in the dialog font than the
// template allowed for, or an edit field too narrow for its value, grows to the right into
// free space: up to a dialog unit short of the next control beside it or of the dialog's
// edge, so that no text and no focus frame touches another or is cut. No control moves and
// none is covered. An edit field that is still too narrow shows the start of its value.
void widen_into_free_space(QDialog& dialog) {
  const int gap = std::max(1, dialog_rect(dialog_base_units(dialog.font()), 0, 0, 1, 1).width());
  const QList<QWidget*> controls = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* widget : controls) {
    auto* edit = qobject_cast<QLineEdit*>(widget);
    const bool has_text = qobject_cast<QLabel*>(widget) != nullptr ||
                          qobject_cast<QCheckBox*>(widget) != nullptr ||
                          qobject_cast<QRadioButton*>(widget) != nullptr;
    const QRect place = widget->geometry();
    const int wanted = edit != nullptr ? width_to_show(*edit) : widget->sizeHint().width();
    if (edit != nullptr) edit->setCursorPosition(0);
    if ((!has_text && edit == nullptr) || wanted <= place.width()) continue;
    int limit = dialog.width() - gap;
    for (const QWidget* other : controls) {
      const QRect o = other->geometry();
      const bool beside = o.top() <= place.bottom() && o.bottom() >= place.top();
      if (other != widget && beside && o.left() > place.left())
        limit = std::min(limit, o.left() - gap);
    }
    const int width = std::min(wanted, limit - place.left());
    if (width > place.width()) widget->resize(width, place.height());
  }
}

// A group of radio buttons is one stop of the Tab key, at its checked button (its first while
// none is checked), as in a group of automatic radio buttons; the arrow keys move within it.
// Landing on another button would let Space change the setting by accident.
void keep_one_tab_stop(QButtonGroup& group) {
  const QList<QAbstractButton*> buttons = group.buttons();
  QAbstractButton* stop =
      group.checkedButton() != nullptr ? group.checkedButton() : buttons.value(0);
  for (QAbstractButton* button : buttons) {
    button->setFocusPolicy(button == stop ? Qt::StrongFocus : Qt::ClickFocus);
  }
}

// The room a dialog has on its owner's screen: the work area less a title bar and borders. The
// owner's own frame tells what the window manager adds; the style's title-bar height stands in
// for a smaller one (no window manager, an owner not shown yet, a platform without frames).
QSize room_on_screen(const QDialog& dialog) {
  const QWidget* owner = dialog.parentWidget();
  const QScreen* screen = owner != nullptr ? owner->screen() : dialog.screen();
  if (screen == nullptr) return {};
  int title = dialog.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &dialog);
  int borders = 0;
  if (owner != nullptr && owner->isVisible()) {
    const QWidget* window = owner->window();
    const QSize frame = window->frameGeometry().size() - window->size();
    title = std::max(title, frame.height());
    borders = std::max(0, frame.width());
  }
  return screen->availableGeometry().size() - QSize(borders, title);
}

// A dialog too large for its screen (the Oscillator form at scale 2 on an 800-pixel screen)
// gets a smaller font, in half-point steps down to two thirds of its size: its dialog units
// shrink with it, so the whole form keeps its proportions and every text still fits its
// control. Dialogs that fit keep their font.
void fit_font_to_screen(QDialog& dialog, const DialogTemplate& dialog_template) {
  const QSize room = room_on_screen(dialog);
  if (room.isEmpty()) return;
  auto fits = [&](const QFont& font) {
    const QSize size =
        dialog_rect(dialog_base_units(font), 0, 0, dialog_template.w, dialog_template.h).size();
    return size.width() <= room.width() && size.height() <= room.height();
  };
  QFont font = dialog.font();
  const bool in_points = font.pointSizeF() > 0;
  const double natural = in_points ? font.pointSizeF() : font.pixelSize();
  const double step = in_points ? 0.5 : 1.0;
  for (double size = natural - step; !fits(font) && size >= natural * 2 / 3; size -= step) {
    if (in_points) {
      font.setPointSizeF(size);
    } else {
      font.setPixelSize(static_cast<int>(size));
    }
  }
  if (font != dialog.font()) dialog.setFont(font);
}

}  // namespace

void build_from_template(QDialog& dialog, const DialogTemplate& dialog_template) {
  dialog.setObjectName(QString::fromUtf8(dialog_template.name));
  dialog.setWindowTitle(QString::fromUtf8(dialog_template.title));
  dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  dialog.setModal(true);
  fit_font_to_screen(dialog, dialog_template);
  const DialogBaseUnits base = dialog_base_units(dialog.font());
  dialog.setFixedSize(dialog_rect(base, 0, 0, dialog_template.w, dialog_template.h).size());

  QButtonGroup* group = nullptr;
  for (const ControlTemplate& c : dialog_template.controls) {
    const QString text = QString::fromUtf8(c.text);
    QWidget* widget = nullptr;
    switch (c.kind) {
      case ControlKind::push_button:
      case ControlKind::default_button: {
        auto* button = new QPushButton(text, &dialog);
        button->setDefault(c.kind == ControlKind::default_button);
        widget = button;
        break;
      }
      case ControlKind::static_text: {
        auto* label = new QLabel(text, &dialog);
        label->setTextFormat(Qt::PlainText);
        widget = label;
        break;
      }
      case ControlKind::edit_right:
      case ControlKind::edit_left: {
        auto* edit = new FieldEdit(&dialog);
        const Qt::Alignment side =
            c.kind == ControlKind::edit_right ? Qt::AlignRight : Qt::AlignLeft;
        edit->setAlignment(side | Qt::AlignVCenter);
        widget = edit;
        break;
      }
      case ControlKind::check_box:
        widget = new QCheckBox(text, &dialog);
        break;
      case ControlKind::radio_first:
      case ControlKind::radio: {
        auto* button = new QRadioButton(text, &dialog);
        if (c.kind == ControlKind::radio_first || group == nullptr) {
          group = new QButtonGroup(&dialog);
          group->setExclusive(true);
          QObject::connect(group, &QButtonGroup::buttonToggled, group,
                           [group] { keep_one_tab_stop(*group); });
        }
        group->addButton(button, c.id);
        keep_one_tab_stop(*group);
        widget = button;
        break;
      }
    }
    if (c.kind != ControlKind::radio_first && c.kind != ControlKind::radio) group = nullptr;
    widget->setObjectName(id_name(c.id));
    widget->setGeometry(dialog_rect(base, c.x, c.y, c.w, c.h));
  }
}

bool build_voice_editor(QDialog& dialog, VoiceBank& bank, VoiceId voice, EditorHooks hooks) {
  const VoiceForm* form = voice_form(voice);
  if (form == nullptr) return false;
  build_from_template(dialog, voice == VOICE_OSCILLATOR ? EDIT_OSC_BOX : EDIT_BOX);
  dialog.setWindowTitle(QString::fromUtf8(voice_facts(voice).editor_title));
  for (const auto& [id, caption] : form->captions) {
    if (QLabel* label = control<QLabel>(dialog, id)) label->setText(QString::fromUtf8(caption));
  }
  show_state(dialog, fill_form(*form, bank.params));
  widen_into_free_space(dialog);

  // OK, Apply and Test all write the form back, rebuild the voice, and have it drawn anew.
  // The form then shows the values in effect, as it would when opened again: a text that could
  // not be read ("abc" in a whole-number field) gives way to the value it left in place.
  auto commit = [&dialog, &bank, form] {
    write_back(*form, read_controls(dialog), bank.params);
    rebuild_voice(bank, form->voice);
    show_state(dialog, fill_form(*form, bank.params));
  };
  auto redraw = [changed = std::move(hooks.changed)] {
    if (changed) changed();
  };
  QObject::connect(control<QPushButton>(dialog, ID_OK), &QPushButton::clicked, &dialog,
                   [&dialog, commit, redraw] {
                     commit();
                     dialog.accept();
                     redraw();
                   });
  QObject::connect(control<QPushButton>(dialog, ID_APPLY), &QPushButton::clicked, &dialog,
                   [commit, redraw] {
                     commit();
                     redraw();
                   });
  QObject::connect(control<QPushButton>(dialog, ID_TEST), &QPushButton::clicked, &dialog,
                   [commit, redraw, play = std::move(hooks.play)] {
                     commit();
                     if (play) play();
                     redraw();
                   });
  // Cancel writes nothing; what Apply or Test wrote stays.
  QObject::connect(control<QPushButton>(dialog, ID_CANCEL), &QPushButton::clicked, &dialog,
                   &QDialog::reject);
  return true;
}

}  // namespace thumpa
