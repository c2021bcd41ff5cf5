#include "app/update_app.h"

#include <clocale>
#include <cstdio>

#include "app/cmdline.h"
#include "app/constants.h"
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
  const WString root = GetSelfDir();
  // Run where it is no installation (from /usr/bin, say) it would leave a
  // log and a staging folder there. A replacement run works on its target
  // and may start from anywhere.
  WString target;
  bool autoFlag = false;
  if (!plat::IsDirectory(root + kConfigDirSuffix) && !ParseReplace(m_strCmdLine, target, autoFlag)) {
    fprintf(stderr,
            "Quillup: %s is not an installation of the client (no config/ folder beside the updater); "
            "run the copy in the client's installation directory\n",
            Utf8FromWide(root).c_str());
    m_nExitCode = kExitNoConfig;
    return false;
  }
  CUpdateDlg dlg(m_strCmdLine, root);
  dlg.Attach(CreateDriverOps(dlg.OpFile()), CreateUpdateView(dlg, dlg.OpFile()));
  dlg.DoModal();
  m_nExitCode = dlg.m_nExitCode;
  return false;
}

}  // namespace quillup
