// Window tests run either headless or on an X display; without DISPLAY a
// private Xvfb is started (its own display number, no race between
// parallel test programs).
#pragma once

#include <string>

namespace testutil {

// Call first in main(): "--x11" among the arguments (removed) selects the
// display, otherwise QUILLUP_HEADLESS=1 is set. Also gives the program a
// private runtime directory for the window registry.
void SetUpWindowTests(int& argc, char** argv);
void TearDownWindowTests();
bool WantsDisplay();
// The private runtime directory.
const std::string& RuntimeDir();

}  // namespace testutil
