// The driver's own start-up, as far as an interrupted swap goes: what the
// window's initialisation does before the configuration is read (files cut
// between their two moves), the configuration, and the worker's handling
// of the record with the update flag it starts with. The crash helper and
// the test process share it.
#pragma once

#include "app/constants.h"
#include "app/driver_ops.h"
#include "app/update_dlg.h"

namespace crashtest {

// 0 done (or no record), 2 the record could not be handled, 65 no
// configuration.
inline int StartUp(const WString& root) {
  quillup::CUpdateDlg dlg(WString(), root);
  dlg.Attach(quillup::CreateDriverOps(dlg.OpFile()), nullptr);
  dlg.RestoreFilesInTransit(root + quillup::kUpdateDirSuffix + u"/" + kRecordName);
  if (!dlg.Ops().Init(root, nullptr)) return 65;
  const int32_t flag = dlg.Ops().GetUpdateFlag(root);
  return dlg.RecoverAtStart(flag) == quillup::CUpdateDlg::kRecoveryFailed ? 2 : 0;
}

}  // namespace crashtest
