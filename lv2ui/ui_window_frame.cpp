#include "lv2ui/ui_window_frame.h"

#include <xcb/xcb.h>

#include <cstdlib>

namespace thumpa {

bool make_frame(WindowFrame& frame, std::uint64_t parent, int width, int height) {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection) != 0) {
    xcb_disconnect(connection);
    return false;
  }
  const xcb_window_t window = xcb_generate_id(connection);
  xcb_set_close_down_mode(connection, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
  const auto w = static_cast<std::uint16_t>(width);
  const auto h = static_cast<std::uint16_t>(height);
  const xcb_void_cookie_t made = xcb_create_window_checked(
      connection, XCB_COPY_FROM_PARENT, window, static_cast<xcb_window_t>(parent), 0, 0, w, h, 0,
      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  if (xcb_generic_error_t* error = xcb_request_check(connection, made)) {
    std::free(error);
    xcb_disconnect(connection);
    return false;
  }
  // WM_NORMAL_HINTS with the fixed size as minimum, maximum and base, for hosts that ask it.
  std::uint32_t hints[18] = {};
  hints[0] = 16 | 32 | 256;
  hints[5] = hints[7] = hints[15] = w;
  hints[6] = hints[8] = hints[16] = h;
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NORMAL_HINTS,
                      XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
  xcb_map_window(connection, window);
  xcb_flush(connection);
  frame.connection = connection;
  frame.window = window;
  return true;
}

void remove_frame(WindowFrame& frame) {
  if (frame.connection == nullptr) return;
  xcb_destroy_window(frame.connection, frame.window);
  xcb_set_close_down_mode(frame.connection, XCB_CLOSE_DOWN_DESTROY_ALL);
  xcb_flush(frame.connection);
  xcb_disconnect(frame.connection);
  frame = {};
}

}  // namespace thumpa
