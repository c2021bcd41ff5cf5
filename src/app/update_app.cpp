#include "app/update_app.h"

#include <clocale>

#include "app/cmdline.h"
#include "app/driver_ops.h"
#include "app/update_dlg.h"
#include "app/update_view.h"
#include "platform/files.h"
#include "support/path.h"

namespace quillup {

CUpdateApp::CUpdateApp(int argc, const char* const* argv) : m_strCmdLine(CommandLineFromArgs(argc, argv)) {
  // Before anything can move the executable: every later start, copy and
  // comparison uses the path this process was started from.
  plat::FixSelfExePath(argc > 0 ? argv[0] : nullptr);
}

bool CUpdateApp::InitInstance() {
  // The thread's ANSI code page is the locale's codeset.
  setlocale(LC_ALL, "");
  CUpdateDlg dlg(m_strCmdLine, GetSelfDir());
  dlg.Attach(CreateDriverOps(dlg.OpFile()), CreateUpdateView(dlg, dlg.OpFile()));
  dlg.DoModal();
  return false;
}

}  // namespace quillup
