// The updater's side of the crash test: stages the pack and flushes the
// staged tree, disables the client and swaps the staged tree in as the
// worker does (the update flag at 3 first, 1 after a failed swap, whose
// record the driver then rolls back; 0 and the report after a finished
// one), or starts as the driver does. Run with the interposer preloaded,
// it is killed at a chosen mutation, or loses power there.
//   helper swap <root> <log> [k]   k: after k files the rest of the staged
//                                  tree vanishes, so the swap fails and is
//                                  rolled back in the same run
//   helper startup <root> <log>
// Exit status: 0 done, 2 the start could not handle the record, 3 staging
// failed, 4 disabling failed, 5 swap failed and rolled back, 6 roll-back
// failed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "crash/startup.h"
#include "support/log.h"

namespace {

// Removes every file below dir behind the updater's back (raw system calls:
// not counted as the updater's mutations).
void Vanish(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    if (e->d_type == DT_DIR) Vanish(path);
    else syscall(SYS_unlinkat, AT_FDCWD, path.c_str(), 0);
  }
  closedir(d);
}

bool g_swapping = false;

int Swap(quillup::CUpdateDlg& dlg, const WString& root) {
  COpFile& op = dlg.OpFile();
  const WString record = root + u"/update/tarvex.rcd";
  const WString ready = root + u"/update/ready";
  if (!op.UpdateToReadyDir({root + u"/update/p.zip"}, root, root + u"/update/unzip", ready) ||
      !op.FlushStaged(root, ready))
    return 3;
  op.SetUpdateFlag(root, 3);
  bool disabled = false;
  for (int i = 0; i < 3 && !disabled; ++i) disabled = op.ForbidClientExe(root, record);
  if (!disabled) return 4;
  g_swapping = true;
  if (op.UpdateReadyToReal(ready, root, record)) {
    op.SetUpdateFlag(root, 0);
    op.AddProcessRecord(4005, true, 1);
    return op.WriteUpgradeDetail(root) ? 0 : 7;
  }
  op.SetUpdateFlag(root, 1);
  bool unused = false;
  const bool restored = dlg.ProcessRcdFile(record, root, unused);
  op.SetUpdateFlag(root, restored ? 0 : 2);
  return restored ? 5 : 6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 64;
  std::string mode = argv[1];
  WString root = WidePath(argv[2]);
  CLog::Instance()->SetPath(WidePath(argv[3]));
  int failAfter = argc > 4 ? atoi(argv[4]) : -1;

  int posts = 0;
  std::string ready = std::string(argv[2]) + "/update/ready";
  // The first percent is the swap's 0; each later one follows a moved file.
  auto progress = [&](int) {
    if (failAfter >= 0 && g_swapping && ++posts == failAfter + 1) Vanish(ready);
  };
  int rc = 64;
  if (mode == "startup") {
    rc = crashtest::StartUp(root);
  } else if (mode == "swap") {
    quillup::CUpdateDlg dlg(WString(), root);
    dlg.Attach(quillup::CreateDriverOps(dlg.OpFile()), nullptr);
    rc = dlg.OpFile().Init(root, progress) ? Swap(dlg, root) : 65;
  }
  CLog::Release();
  return rc;
}
