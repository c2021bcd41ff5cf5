#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/testutil.h"

using namespace testutil;

namespace {

std::vector<std::string> Narrow(const std::vector<WString>& v) {
  std::vector<std::string> out;
  for (auto& s : v) out.push_back(Utf8FromWide(s));
  return out;
}

// Waits for a file a child writes last; its content, or "" after 10 s.
std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    if (Exists(path)) return ReadFile(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::string();
}

bool WaitUntilGone(plat::ProcessId pid) {
  for (int i = 0; i < 500; ++i) {
    if (!plat::IsProcessActive(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A shell script that reports how it was started into $QUILLUP_PROBE_OUT.
void WriteProbe(const std::string& path) {
  WriteFile(path,
            "#!/bin/sh\n"
            "o=\"$QUILLUP_PROBE_OUT\"\n"
            "{ for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n"
            "  echo \"cwd=$(pwd)\"\n"
            "  echo \"env=$QUILLUP_PROBE_ENV\"\n"
            "  echo \"stdin=$(readlink /proc/$$/fd/0)\"\n"
            "  [ -e /proc/$$/fd/57 ] && echo leaked=yes || echo leaked=no\n"
            "  set -- $(cat /proc/$$/stat)\n"
            "  [ \"$6\" != \"$QUILLUP_PROBE_SID\" ] && echo session=own || echo session=ours\n"
            "  echo \"self=$0\"\n"
            "} > \"$o.tmp\"\n"
            "mv \"$o.tmp\" \"$o\"\n");
  ASSERT_EQ(0, testutil::Run("chmod 755 '" + path + "'"));
}

}  // namespace

TEST(SplitCommandLine, FollowsWindowsQuotingRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(V({"a", "b", "c"}), Narrow(plat::SplitCommandLine(u"  a\tb   c  ")));
  EXPECT_EQ(V({"a b", "c"}), Narrow(plat::SplitCommandLine(u"\"a b\" c")));
  EXPECT_EQ(V({"ab c"}), Narrow(plat::SplitCommandLine(u"a\"b c\"")));
  EXPECT_EQ(V({""}), Narrow(plat::SplitCommandLine(u"\"\"")));
  EXPECT_EQ(V({"a\\\\b c"}), Narrow(plat::SplitCommandLine(u"\"a\\\\b c\"")));
  // 2n backslashes + quote: n backslashes, the quote groups.
  EXPECT_EQ(V({"x\\", "y"}), Narrow(plat::SplitCommandLine(u"\"x\\\\\" y")));
  // 2n+1 backslashes + quote: n backslashes and a literal quote.
  EXPECT_EQ(V({"a\"b"}), Narrow(plat::SplitCommandLine(u"a\\\"b")));
  EXPECT_EQ(V({"a\\\"b"}), Narrow(plat::SplitCommandLine(u"a\\\\\\\"b")));
  // Backslashes not before a quote are literal.
  EXPECT_EQ(V({"C:\\dir\\", "x"}), Narrow(plat::SplitCommandLine(u"C:\\dir\\ x")));
  // "" inside quotes is a literal quote.
  EXPECT_EQ(V({"say \"hi\""}), Narrow(plat::SplitCommandLine(u"\"say \"\"hi\"\"\"")));
  EXPECT_TRUE(plat::SplitCommandLine(u"   ").empty());
}

TEST(CreateDetachedProcess, UnquotedPathWithBlanksArgumentsAndEnvironment) {
  TempDir t;
  std::string dir = t.sub("my dir");
  WriteProbe(dir + "/run it");
  // A non-executable file at a shorter prefix is passed over.
  WriteFile(dir + "/run", "not a program");
  std::string out = t.sub("probe.txt");
  setenv("QUILLUP_PROBE_OUT", out.c_str(), 1);
  setenv("QUILLUP_PROBE_ENV", "inherited", 1);
  setenv("QUILLUP_PROBE_SID", std::to_string(getsid(0)).c_str(), 1);
  // A descriptor without close-on-exec must not reach the child.
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(57, dup2(fd, 57));
  close(fd);

  plat::ProcessId pid = 0;
  ASSERT_TRUE(plat::CreateDetachedProcess(WidePath(dir + "/run it /auto \"x y\" a\\\"b"), &pid));
  close(57);
  EXPECT_GT(pid, 0u);
  std::string report = WaitForFile(out);
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  EXPECT_EQ("[/auto]\n[x y]\n[a\"b]\ncwd=" + std::string(cwd) +
                "\nenv=inherited\nstdin=/dev/null\nleaked=no\nsession=own\nself=" + dir + "/run it\n",
            report);
  // The child was handed to init: nothing of it is left for us to reap.
  int status;
  EXPECT_EQ(-1, waitpid(-1, &status, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
}

TEST(CreateDetachedProcess, ShortestExecutablePrefixWinsAndQuotesNameTheProgram) {
  TempDir t;
  WriteProbe(t.sub("my"));
  WriteProbe(t.sub("my dir/run it"));
  std::string out = t.sub("probe.txt");
  setenv("QUILLUP_PROBE_OUT", out.c_str(), 1);

  ASSERT_TRUE(plat::CreateDetachedProcess(WidePath(t.sub("my dir/run it") + " /auto")));
  std::string report = WaitForFile(out);
  EXPECT_NE(std::string::npos, report.find("[dir/run]\n[it]\n[/auto]\n")) << report;
  EXPECT_NE(std::string::npos, report.find("self=" + t.sub("my") + "\n")) << report;

  unlink(out.c_str());
  ASSERT_TRUE(plat::CreateDetachedProcess(WidePath("\"" + t.sub("my dir/run it") + "\" /auto")));
  report = WaitForFile(out);
  EXPECT_NE(std::string::npos, report.find("self=" + t.sub("my dir/run it") + "\n")) << report;
  EXPECT_EQ(0u, report.find("[/auto]\n")) << report;
}

TEST(CreateDetachedProcess, FailuresAreReportedAtOnce) {
  TempDir t;
  EXPECT_FALSE(plat::CreateDetachedProcess(WidePath(t.sub("missing program") + " /auto")));
  EXPECT_FALSE(plat::CreateDetachedProcess(u""));
  WriteFile(t.sub("plain"), "#!/bin/sh\nexit 0\n");  // not executable
  EXPECT_FALSE(plat::CreateDetachedProcess(WidePath(t.sub("plain"))));
  // Executable, but exec itself fails (its interpreter does not exist).
  WriteFile(t.sub("broken"), "#!/nonexistent/interpreter\n");
  ASSERT_EQ(0, testutil::Run("chmod 755 '" + t.sub("broken") + "'"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(plat::CreateDetachedProcess(WidePath(t.sub("broken"))));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // The child's own early exit is not a start failure.
  EXPECT_TRUE(plat::CreateDetachedProcess(u"false"));
}

TEST(Processes, SnapshotImagePathTerminateAndLiveness) {
  TempDir t;
  // A program whose path holds a blank, removed while it runs.
  std::string prog = t.sub("my sleep");
  ASSERT_EQ(0, testutil::Run("cp \"$(command -v sleep)\" '" + prog + "'"));
  plat::ProcessId pid = 0;
  ASSERT_TRUE(plat::CreateDetachedProcess(WidePath("\"" + prog + "\" 30"), &pid));
  ASSERT_TRUE(plat::IsProcessActive(pid));
  EXPECT_EQ(WidePath(prog), plat::ProcessImagePath(pid));
  unlink(prog.c_str());
  EXPECT_EQ(WidePath(prog), plat::ProcessImagePath(pid));

  std::vector<plat::ProcessEntry> snap;
  ASSERT_TRUE(plat::SnapshotProcesses(snap));
  bool sawSelf = false, sawChild = false;
  for (auto& e : snap) {
    if (e.pid == plat::CurrentProcessId()) {
      sawSelf = true;
      EXPECT_EQ((plat::ProcessId)getppid(), e.parentPid);
    }
    if (e.pid == pid) {
      sawChild = true;
      EXPECT_NE(plat::CurrentProcessId(), e.parentPid);  // detached
    }
  }
  EXPECT_TRUE(sawSelf);
  EXPECT_TRUE(sawChild);

  EXPECT_TRUE(plat::TerminateProcess(pid));
  EXPECT_TRUE(WaitUntilGone(pid));
  EXPECT_EQ(u"", plat::ProcessImagePath(pid));
  EXPECT_TRUE(plat::IsProcessActive(plat::CurrentProcessId()));
  EXPECT_FALSE(plat::IsProcessActive(0));
  EXPECT_FALSE(plat::TerminateProcess(0));
}

TEST(Processes, ZombieIsNotActive) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  // Unreaped, the child stays a zombie of ours.
  for (int i = 0; i < 500 && plat::IsProcessActive((plat::ProcessId)child); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(plat::IsProcessActive((plat::ProcessId)child));
  EXPECT_EQ(0, kill(child, 0));  // still exists as a zombie
  int status;
  waitpid(child, &status, 0);
}
