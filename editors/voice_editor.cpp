#include "editors/voice_editor.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
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

void show_state(QDialog& dialog, const FormState& state) {
  for (const auto& [id, text] : state.texts) {
    if (QLineEdit* edit = control<QLineEdit>(dialog, id))
      edit->setText(QString::fromStdString(text));
  }
  for (const auto& [id, checked] : state.checked) {
    // Unchecked buttons are left alone: an exclusive group starts with none checked.
    if (QAbstractButton* button = control<QAbstractButton>(dialog, id); button && checked) {
      button->setChecked(true);
    }
  }
}

// A caption, check box or radio button whose text runs wider in the dialog font than the
// template allowed for grows to the right into free space: up to the next control beside it
// or the dialog's edge. No control moves and none is covered.
void widen_into_free_space(QDialog& dialog) {
  const QList<QWidget*> controls = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* widget : controls) {
    const bool has_text = qobject_cast<QLabel*>(widget) != nullptr ||
                          qobject_cast<QCheckBox*>(widget) != nullptr ||
                          qobject_cast<QRadioButton*>(widget) != nullptr;
    const QRect place = widget->geometry();
    const int wanted = widget->sizeHint().width();
    if (!has_text || wanted <= place.width()) continue;
    int limit = dialog.width();
    for (const QWidget* other : controls) {
      const QRect o = other->geometry();
      const bool beside = o.top() <= place.bottom() && o.bottom() >= place.top();
      if (other != widget && beside && o.left() > place.left()) limit = std::min(limit, o.left());
    }
    const int width = std::min(wanted, limit - place.left());
    if (width > place.width()) widget->resize(width, place.height());
  }
}

}  // namespace

void build_from_template(QDialog& dialog, const DialogTemplate& dialog_template) {
  dialog.setObjectName(QString::fromUtf8(dialog_template.name));
  dialog.setWindowTitle(QString::fromUtf8(dialog_template.title));
  dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  dialog.setModal(true);
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
        auto* edit = new QLineEdit(&dialog);
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
        }
        group->addButton(button, c.id);
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
  auto commit = [&dialog, &bank, form] {
    write_back(*form, read_controls(dialog), bank.params);
    rebuild_voice(bank, form->voice);
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
