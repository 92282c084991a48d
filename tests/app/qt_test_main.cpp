// GoogleTest entry for tests that need a QApplication. Listing the tests needs none, so test
// discovery works without a display.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  // SDL's dummy driver stands in for a sound card, whatever sound server the machine runs,
  // unless a test's environment names another (the discovered tests' properties cannot carry
  // more than one variable).
  setenv("THUMPA_AUDIO", "sdl", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
