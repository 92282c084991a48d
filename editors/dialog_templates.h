// The editors' dialog templates: every control with its id, kind, text and place in dialog
// units, in template order (which is also the tab order).
#pragma once

#include <span>

namespace thumpa {

enum class ControlKind {
  push_button,
  default_button,
  static_text,
  edit_right,  // right-aligned, bordered, scrolls horizontally
  edit_left,   // left-aligned, bordered, scrolls horizontally
  check_box,
  radio_first,  // first button of a group of automatic radio buttons
  radio,        // a further button of the group begun last
};

struct ControlTemplate {
  int id;  // -1 for statics nobody addresses
  ControlKind kind;
  const char* text;
  int x, y, w, h;
};

struct DialogTemplate {
  const char* name;
  const char* title;
  int w, h;
  std::span<const ControlTemplate> controls;
};

extern const DialogTemplate EDIT_BOX;
extern const DialogTemplate EDIT_OSC_BOX;

}  // namespace thumpa
