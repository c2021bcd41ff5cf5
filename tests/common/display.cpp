#include "common/display.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/testutil.h"

namespace testutil {
namespace {
pid_t g_xvfb = -1;
bool g_display = false;
std::string g_runtime;

// Xvfb writes its display number on the descriptor given by -displayfd.
bool StartXvfb() {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
           "-noreset", (char*)nullptr);
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return false;
  }
  char buf[32] = {0};
  ssize_t n = read(fds[0], buf, sizeof buf - 1);
  close(fds[0]);
  if (n <= 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }
  g_xvfb = pid;
  std::string display = ":" + std::string(buf, strcspn(buf, "\r\n"));
  setenv("DISPLAY", display.c_str(), 1);
  return true;
}
}  // namespace

void SetUpWindowTests(int& argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--x11") == 0) {
      g_display = true;
      for (int j = i; j < argc - 1; j++) argv[j] = argv[j + 1];
      argc--;
      break;
    }
  }
  char tmpl[] = "/tmp/quillup-rt-XXXXXX";
  if (mkdtemp(tmpl)) {
    g_runtime = tmpl;
    setenv("XDG_RUNTIME_DIR", tmpl, 1);
  }
  if (!g_display) {
    setenv("QUILLUP_HEADLESS", "1", 1);
    return;
  }
  unsetenv("QUILLUP_HEADLESS");
  const char* d = getenv("DISPLAY");
  if (!d || !*d) {
    if (!StartXvfb()) fprintf(stderr, "cannot start Xvfb; the display tests will fail\n");
  }
}

void TearDownWindowTests() {
  if (g_xvfb > 0) {
    kill(g_xvfb, SIGTERM);
    waitpid(g_xvfb, nullptr, 0);
  }
  if (!g_runtime.empty()) Run("rm -rf '" + g_runtime + "'");
}

bool WantsDisplay() { return g_display; }
const std::string& RuntimeDir() { return g_runtime; }

}  // namespace testutil
