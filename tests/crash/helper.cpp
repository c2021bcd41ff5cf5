// The updater's side of the crash test: disables the client and swaps the
// staged tree in as the worker does, or handles the record file as a start
// does. Run with the interposer preloaded, it is killed at a chosen
// mutation.
//   helper swap <root> <log> [k]   k: after k files the rest of the staged
//                                  tree vanishes, so the swap fails and is
//                                  rolled back in the same run
//   helper startup <root> <log>
// Exit status: 0 done, 2 record processing failed, 3 enabling failed,
// 4 disabling failed, 5 swap failed and rolled back, 6 roll-back failed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "crash/startup.h"
#include "opfile/opfile.h"
#include "platform/files.h"
#include "platform/window.h"
#include "support/log.h"
#include "support/path.h"

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

int Startup(COpFile& op, const WString& root) { return crashtest::HandleRecordAtStart(op, root); }

int Swap(COpFile& op, const WString& root) {
  const WString record = root + u"/update/tarvex.rcd";
  bool disabled = false;
  for (int i = 0; i < 3 && !disabled; ++i) disabled = op.ForbidClientExe(root, record);
  if (!disabled) return 4;
  if (op.UpdateReadyToReal(root + u"/update/ready", root, record)) return 0;
  return Startup(op, root) == 0 ? 5 : 6;
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
  plat::HWND wnd = plat::RegisterMessageHandler([&](uint32_t, plat::WPARAM, plat::LPARAM) -> plat::LRESULT {
    // The first post is the swap's 0; each later one follows a moved file.
    if (failAfter >= 0 && ++posts == failAfter + 1) Vanish(ready);
    return 0;
  });
  COpFile op;
  if (!op.Init(root, wnd, 2027)) return 65;
  int rc = mode == "swap" ? Swap(op, root) : mode == "startup" ? Startup(op, root) : 64;
  CLog::Release();
  return rc;
}
