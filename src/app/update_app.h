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
  // The process's exit status once InitInstance has returned (kExit...).
  int ExitCode() const { return m_nExitCode; }

 private:
  WString m_strCmdLine;
  int m_nExitCode = 0;
};

}  // namespace quillup
