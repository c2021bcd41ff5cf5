// The same road with the window on a screen: a private Xvfb and the GTK
// backend instead of the headless one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "e2e_fixture.h"

namespace {

// A private X server; its display number comes back on a pipe.
class Xvfb {
 public:
  Xvfb() {
    int fds[2];
    if (pipe(fds) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             "-noreset", (char*)nullptr);  // a reset would write the display number again
      _exit(127);
    }
    close(fds[1]);
    char buf[32] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    m_fd = fds[0];  // kept open: the server may write its number again
    if (n > 0) m_display = ":" + std::string(buf, strcspn(buf, "\n"));
  }
  ~Xvfb() {
    if (m_fd >= 0) close(m_fd);
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int st;
      waitpid(m_pid, &st, 0);
    }
  }
  const std::string& display() const { return m_display; }

 private:
  pid_t m_pid = -1;
  int m_fd = -1;
  std::string m_display;
};

}  // namespace

TEST(EndToEndScreen, UpdatesWithTheWindowShown) {
  if (system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no Xvfb";
  Xvfb x;
  ASSERT_FALSE(x.display().empty());
  e2e::Demo d;
  ASSERT_TRUE(d.ok()) << testutil::ReadFile(d.tmp("demo-env.log"));
  auto r = d.RunUpdater({}, {{"DISPLAY", x.display()}, {"QUILLUP_HEADLESS", ""}});
  ASSERT_EQ(r.status, 0) << r.err << d.Log();
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << d.Log();
  const std::string log = d.Log();
  EXPECT_NE(log.find("升级完成。"), std::string::npos);
  EXPECT_EQ(log.find("无界面"), std::string::npos) << log;  // nothing answered by the headless backend
  EXPECT_EQ(r.err.find("升级完成。"), std::string::npos) << r.err;  // status lines go to the window only
  EXPECT_NE(d.WaitForClientLog().find("zoclient version 3 started"), std::string::npos);
}
