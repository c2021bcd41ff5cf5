// A trading client as the updater sees it: a process with a message
// window that starts the updater with /msgwnd: and keeps running, with a
// browser child (a copy of this program named ZoWeb) when asked.
//
//   fake_client --run UPDATER --dir DIR [--browser PATH] [--stay SECONDS]
//   fake_client --sleep SECONDS          (the browser child)
//
// DIR receives client.pid, browser.pid, updater.pid and messages.log (each message the
// window got, one per line).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/process.h"
#include "window/window.h"
#include "base/text.h"

namespace {

void WriteText(const std::string& path, const std::string& text, const char* mode = "w") {
  FILE* f = fopen(path.c_str(), mode);
  if (!f) return;
  fputs(text.c_str(), f);
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  std::string updater, dir, browser;
  int stay = 60;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--sleep" && i + 1 < argc) {
      sleep((unsigned)atoi(argv[++i]));
      return 0;
    }
    if (a == "--run" && i + 1 < argc) updater = argv[++i];
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--browser" && i + 1 < argc) browser = argv[++i];
    else if (a == "--stay" && i + 1 < argc) stay = atoi(argv[++i]);
  }
  if (updater.empty() || dir.empty()) {
    fprintf(stderr, "usage: fake_client --run UPDATER --dir DIR [--browser PATH] [--stay SECONDS]\n");
    return 2;
  }
  signal(SIGCHLD, SIG_IGN);  // no zombie browser
  const std::string log = dir + "/messages.log";
  plat::HWND wnd = plat::RegisterMessageWindow(u"fake client", [log](plat::UINT msg, plat::WPARAM, plat::LPARAM) {
    WriteText(log, std::to_string(msg) + "\n", "a");
    return (plat::LRESULT)1;
  });
  if (!browser.empty()) {
    pid_t child = fork();
    if (child == 0) {
      execl(browser.c_str(), browser.c_str(), "--sleep", std::to_string(stay).c_str(), (char*)nullptr);
      _exit(127);
    }
    WriteText(dir + "/browser.pid", std::to_string(child) + "\n");
  }
  WriteText(dir + "/client.pid", std::to_string(getpid()) + "\n");
  WString cmd = WidePath(updater) + u" /msgwnd:" + WFromInt((long long)wnd);
  plat::ProcessId updaterPid = 0;
  if (!plat::CreateDetachedProcess(cmd, &updaterPid)) {
    fprintf(stderr, "fake_client: cannot start %s\n", updater.c_str());
    return 1;
  }
  WriteText(dir + "/updater.pid", std::to_string(updaterPid) + "\n");
  std::this_thread::sleep_for(std::chrono::seconds(stay));
  plat::UnregisterMessageWindow(wnd);
  return 0;
}
