// The program from start to end: single-instance check, the main window shown blank, the sound
// device, the voice bank, the Blipp shown, then the event loop until the window is closed.
#pragma once

#include <QString>

namespace thumpa {

// Runs the program in the application that exists; returns the exit code, 0 in every case:
// a second start, a sound device that cannot be opened, a window destroyed during start-up
// and a normal end alike. A settings file (an absolute path) is opened as Open Settings opens
// it once the voices are shown, or handed to the program that runs already.
int run_thumpa(const QString& settings_file = {});

}  // namespace thumpa
