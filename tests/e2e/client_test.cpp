// Runs started by a running client (/msgwnd:): background mode, the wait
// for the client's exit, the browser child, and a second instance.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "e2e_fixture.h"
#include "platform/process.h"

using e2e::Demo;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

// Waits until the log holds the text (count times).
bool WaitForLog(const Demo& d, const std::string& text, int count = 1, int timeoutMs = 30000) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (CountOf(d.Log(), text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool Gone(pid_t pid, int timeoutMs = 5000) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) return true;
    if (!plat::IsProcessActive((uint32_t)pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

pid_t ReadPid(const std::string& path) { return (pid_t)atoi(testutil::ReadFile(path).c_str()); }

void Reap(pid_t pid) {
  kill(pid, SIGKILL);
  int st;
  waitpid(pid, &st, 0);
}

}  // namespace

#define ASSERT_DEMO(d) ASSERT_TRUE((d).ok()) << testutil::ReadFile((d).tmp("demo-env.log"))

TEST(EndToEndClient, BackgroundRechecksUntilTheClientExits) {
  Demo d;
  ASSERT_DEMO(d);
  d.InstallVersion(3);
  pid_t client = d.StartClient(false);
  ASSERT_TRUE(WaitForLog(d, "等候下次查询...", 2)) << d.Log();  // ReCheckTime is 1 s here
  EXPECT_TRUE(Has(d.Log(), "获取到客户端消息窗口"));
  Reap(client);
  ASSERT_TRUE(d.WaitForExits(1)) << d.Log();
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "升级界面隐藏，不启动客户端")) << log;
  EXPECT_FALSE(testutil::Exists(d.install() + "/client.log"));  // not restarted
  int lists = 0;
  for (auto& r : d.Requests())
    if (Has(r, "GET /servicepacksNum.xml")) ++lists;
  EXPECT_GE(lists, 2);
}

TEST(EndToEndClient, DownloadedWhileTheClientRunsIsAppliedAtTheNextStart) {
  Demo d;
  ASSERT_DEMO(d);
  pid_t client = d.StartClient(true);
  pid_t browser = ReadPid(d.tmp("client/browser.pid"));
  ASSERT_TRUE(WaitForLog(d, "等待客户端退出...")) << d.Log();
  Reap(client);
  ASSERT_TRUE(d.WaitForExits(1)) << d.Log();
  EXPECT_TRUE(Has(d.Log(), "文件已下载好，下次启动升级。")) << d.Log();
  EXPECT_EQ(d.Flag(), 1);
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>());
  kill(browser, SIGKILL);

  // The client starts again: the pending update closes it (and its browser
  // child) at once and is applied in the foreground.
  client = d.StartClient(true);
  browser = ReadPid(d.tmp("client/browser.pid"));
  EXPECT_TRUE(Gone(client, 10000));
  EXPECT_TRUE(Gone(browser, 10000));
  ASSERT_TRUE(d.WaitForExits(2)) << d.Log();
  const std::string second = d.LogOfRun(1);
  EXPECT_TRUE(Has(second, "需要升级，关闭客户端")) << second;
  EXPECT_TRUE(Has(second, "本地已存在:")) << second;  // the archives of the first run are reused
  EXPECT_TRUE(Has(second, "升级完成。")) << second;
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>());
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started"));
  Reap(client);
}

TEST(EndToEndClient, SecondStartBringsTheBackgroundWindowForward) {
  Demo d;
  ASSERT_DEMO(d);
  d.InstallVersion(3);
  testutil::WriteFile(d.install() + "/InternalDownloadURL.ini",
                      "[DownloadURL]\r\nDefaultDownloadURL=" + d.url() + "\r\nReCheckTime=600\r\n");
  pid_t client = d.StartClient(false);
  ASSERT_TRUE(WaitForLog(d, "等候下次查询...")) << d.Log();

  auto r = d.RunUpdater({});
  EXPECT_EQ(r.status, 3);  // another instance runs
  ASSERT_TRUE(d.WaitForExits(2, 30000)) << d.Log();
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "[CUpdateDlg::ShowPreDlgWnd] 显示前一个进程的升级界面")) << log;
  EXPECT_TRUE(Has(log, "重复进程退出"));
  // The first one came forward, ended its wait and, in the foreground, starts
  // the client as a run without a client would.
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started")) << log;
  EXPECT_TRUE(plat::IsProcessActive((uint32_t)client));  // a duplicate without /msgwnd: leaves the client alone
  Reap(client);
}

TEST(EndToEndClient, DuplicateStartedByAClientClosesThatClient) {
  Demo d;
  ASSERT_DEMO(d);
  d.InstallVersion(3);
  testutil::WriteFile(d.install() + "/InternalDownloadURL.ini",
                      "[DownloadURL]\r\nDefaultDownloadURL=" + d.url() + "\r\nReCheckTime=600\r\n");
  pid_t first = d.StartClient(false);
  ASSERT_TRUE(WaitForLog(d, "等候下次查询...")) << d.Log();
  pid_t second = d.StartClient(false);
  EXPECT_TRUE(Gone(second, 10000)) << d.Log();
  ASSERT_TRUE(d.WaitForExits(1)) << d.Log();
  EXPECT_TRUE(Has(d.Log(), "重复进程退出"));
  EXPECT_FALSE(Has(d.Log(), "显示前一个进程的升级界面"));
  EXPECT_TRUE(plat::IsProcessActive((uint32_t)first));
  Reap(first);
  ASSERT_TRUE(d.WaitForExits(2)) << d.Log();
}

TEST(EndToEndClient, LogOffEndsTheWaitingUpdater) {
  Demo d;
  ASSERT_DEMO(d);
  d.InstallVersion(3);
  testutil::WriteFile(d.install() + "/InternalDownloadURL.ini",
                      "[DownloadURL]\r\nDefaultDownloadURL=" + d.url() + "\r\nReCheckTime=600\r\n");
  pid_t client = d.StartClient(false);
  ASSERT_TRUE(WaitForLog(d, "等候下次查询...")) << d.Log();
  pid_t updater = ReadPid(d.tmp("client/updater.pid"));
  ASSERT_GT(updater, 0);
  kill(updater, SIGTERM);  // the session's end request
  EXPECT_TRUE(Gone(updater, 5000));
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "[CUpdateDlg::OnQueryEndSession] 检测到电脑注销")) << log;
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_TRUE(plat::IsProcessActive((uint32_t)client));
  Reap(client);
}
