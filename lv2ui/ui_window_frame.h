// The window an embedding host is given as the UI's widget: a plain X window inside the host's,
// made on a connection of its own whose resources the X server keeps after this process ends.
// A host that forwards key events to the UI's widget (as GTK hosts do) would get an X error,
// and GTK ends the program on one, if the widget vanished with a crashed window process; the
// frame stays until the host's window goes, or this process takes it down when it quits.
#pragma once

#include <cstdint>

struct xcb_connection_t;

namespace thumpa {

struct WindowFrame {
  xcb_connection_t* connection = nullptr;
  std::uint32_t window = 0;
};

// Makes and maps a frame of the size inside `parent`; false (and no frame) when it cannot.
bool make_frame(WindowFrame& frame, std::uint64_t parent, int width, int height);

// Takes the frame down and lets the server forget the connection's resources.
void remove_frame(WindowFrame& frame);

}  // namespace thumpa
