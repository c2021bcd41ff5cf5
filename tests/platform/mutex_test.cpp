#include "platform/mutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/testutil.h"
#include "platform/process.h"

using testutil::TempDir;

namespace {

class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1); }
  TempDir dir;
};

}  // namespace

TEST_F(NamedMutexTest, OneHolderPerNameWithinAProcess) {
  plat::NamedMutex a, b, other;
  EXPECT_EQ(plat::NamedMutex::kCreated, a.Create(u"d..trade.app~update~"));
  EXPECT_TRUE(a.IsHeld());
  EXPECT_EQ(plat::NamedMutex::kAlreadyExists, b.Create(u"d..trade.app~update~"));
  EXPECT_FALSE(b.IsHeld());
  EXPECT_EQ(plat::NamedMutex::kCreated, other.Create(u"e..trade.app~update~"));
  a.Close();
  EXPECT_FALSE(a.IsHeld());
  EXPECT_EQ(plat::NamedMutex::kCreated, b.Create(u"d..trade.app~update~"));
  EXPECT_EQ(WidePath(dir.path() + "/quillup"), plat::RuntimeDirectory());
  EXPECT_EQ(plat::NamedMutex::kFailed, a.Create(u""));
}

TEST_F(NamedMutexTest, UnusableRuntimeDirectoryFallsBackToTmp) {
  const WString fallback = WidePath("/tmp/quillup-" + std::to_string(getuid()));
  const WString name = WidePath(dir.path()) + u"~update~";  // private to this test
  testutil::WriteFile(dir.sub("plain-file"), "x");
  for (std::string xdg : {dir.sub("gone/deeper"), dir.sub("plain-file")}) {
    setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
    EXPECT_EQ(fallback, plat::RuntimeDirectory()) << xdg;
    plat::NamedMutex a, b;
    EXPECT_EQ(plat::NamedMutex::kCreated, a.Create(name)) << xdg;
    EXPECT_EQ(plat::NamedMutex::kAlreadyExists, b.Create(name)) << xdg;
  }
}

TEST_F(NamedMutexTest, LongAndUnusualNamesStillExclude) {
  WString longName(600, u'x');
  longName += u"中文/名字~update~";
  plat::NamedMutex a, b, c;
  EXPECT_EQ(plat::NamedMutex::kCreated, a.Create(longName));
  EXPECT_EQ(plat::NamedMutex::kAlreadyExists, b.Create(longName));
  // A name that differs only after the shortened part stays distinct.
  WString longName2 = longName;
  longName2.back() = u'!';
  EXPECT_EQ(plat::NamedMutex::kCreated, c.Create(longName2));
}

TEST_F(NamedMutexTest, HeldAcrossProcessesAndReleasedWhenTheHolderDies) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    plat::NamedMutex m;
    char r = m.Create(u"shared~update~") == plat::NamedMutex::kCreated ? 'y' : 'n';
    if (write(p[1], &r, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  char r = 0;
  ASSERT_EQ(1, read(p[0], &r, 1));
  ASSERT_EQ('y', r);
  plat::NamedMutex m;
  EXPECT_EQ(plat::NamedMutex::kAlreadyExists, m.Create(u"shared~update~"));
  // Killed without any clean-up, the holder still gives the name up.
  kill(child, SIGKILL);
  int status;
  waitpid(child, &status, 0);
  EXPECT_EQ(plat::NamedMutex::kCreated, m.Create(u"shared~update~"));
  close(p[0]);
  close(p[1]);
}

TEST_F(NamedMutexTest, StartedProgramsDoNotInheritTheLock) {
  plat::NamedMutex m;
  ASSERT_EQ(plat::NamedMutex::kCreated, m.Create(u"inherit~update~"));
  plat::ProcessId pid = 0;
  ASSERT_TRUE(plat::CreateDetachedProcess(u"sleep 20", &pid));
  m.Close();
  plat::NamedMutex again;
  EXPECT_EQ(plat::NamedMutex::kCreated, again.Create(u"inherit~update~"));
  plat::TerminateProcess(pid);
}
