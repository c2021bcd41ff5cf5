// CUpdateApp: the application object. It runs one modal update window;
// the process ends when the window closes.
#pragma once

#include "base/text.h"

namespace quillup {

class CUpdateApp {
 public:
  CUpdateApp(int argc, const char* const* argv);
  // Runs the update window to its end; always false (no loop of its own).
  bool InitInstance();

 private:
  WString m_strCmdLine;
};

}  // namespace quillup
