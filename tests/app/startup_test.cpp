// The roles a run can take in its initialisation, and the single instance.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/cmdline.h"
#include "app/constants.h"
#include "fakes.h"

using fakes::Harness;
using namespace quillup;

namespace {
// Waits for a worker started by OnInitDialog to hand its result back.
void WaitWorker(Harness& h) {
  for (int i = 0; i < 400 && h.dlg->m_bWorkerRunning; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_FALSE(h.dlg->m_bWorkerRunning);
}
}  // namespace

TEST(Startup, ForbidUpdateEndsTheRunBeforeAnythingElse) {
  Harness h(u"/replace:/x/Quillup /msgwnd:5");
  testutil::WriteFile(h.dir.sub("config/ForbidUpdate.txt"), "");
  h.ops->mutexExists = true;
  EXPECT_TRUE(h.dlg->OnInitDialog());
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_EQ(h.ops->mutexesMade, 0);
  EXPECT_TRUE(h.ops->created.empty());
  EXPECT_FALSE(h.dlg->m_bWorkerRunning);
  std::string log = h.Log();
  EXPECT_NE(log.find("[INFO] [CUpdateDlg::OnInitDialog] 升级程序启动，版本号:"), std::string::npos);
  EXPECT_NE(log.find("存在禁用升级文件:" + h.dir.sub("config/ForbidUpdate.txt")), std::string::npos);
}

TEST(Startup, DuplicateWithoutClientRaisesTheFirstWindow) {
  Harness h;
  h.ops->mutexExists = true;
  std::vector<uint32_t> got;
  plat::HWND first = plat::RegisterMessageHandler([&](uint32_t m, plat::WPARAM, plat::LPARAM) {
    got.push_back(m);
    return 1;
  });
  h.ops->windows[InstanceNameFromRoot(h.Root())] = first;
  EXPECT_TRUE(h.dlg->OnInitDialog());
  plat::UnregisterMessageHandler(first);
  EXPECT_EQ(got, std::vector<uint32_t>({WM_UPDATE_SHOW_WINDOW}));
  EXPECT_TRUE(h.ops->openMutexes.empty());
  EXPECT_EQ(h.view->endCalls, 1);
  std::string log = h.Log();
  EXPECT_NE(log.find("[CUpdateDlg::ShowPreDlgWnd] 显示前一个进程的升级界面"), std::string::npos);
  EXPECT_NE(log.find("重复进程退出"), std::string::npos);
  EXPECT_EQ(h.dlg->m_nExitCode, kExitDuplicate);
}

TEST(Startup, DuplicateFindsNoWindowWhenTheFirstIsInFront) {
  Harness h;
  h.ops->mutexExists = true;  // the first one carries the configured title
  EXPECT_TRUE(h.dlg->OnInitDialog());
  EXPECT_EQ(h.Log().find("显示前一个进程的升级界面"), std::string::npos);
  EXPECT_NE(h.Log().find("重复进程退出"), std::string::npos);
}

TEST(Startup, DuplicateWithClientClosesTheClientOnly) {
  Harness h(u"/msgwnd:777");
  h.ops->owners[777] = 4242;
  h.ops->mutexExists = true;
  h.ops->windows[InstanceNameFromRoot(h.Root())] = 1;  // must not be used
  EXPECT_TRUE(h.dlg->OnInitDialog());
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({4242}));
  EXPECT_EQ(h.Log().find("显示前一个进程的升级界面"), std::string::npos);
  EXPECT_NE(h.Log().find("获取到客户端消息窗口"), std::string::npos);
}

TEST(Startup, MutexThatCannotBeMadeCountsAsADuplicate) {
  Harness h;
  h.ops->mutexFails = true;
  EXPECT_TRUE(h.dlg->OnInitDialog());
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_FALSE(h.dlg->m_bWorkerRunning);
}

TEST(Startup, UnknownMsgWndIsIgnored) {
  Harness h(u"/msgwnd:778");
  EXPECT_TRUE(h.dlg->OnInitDialog());
  WaitWorker(h);
  EXPECT_EQ(h.dlg->m_dwClientPid, 0u);
  EXPECT_EQ(h.Log().find("获取到客户端消息窗口"), std::string::npos);
}

TEST(Startup, ReplacementRunEndsAfterStartingTheNewUpdater) {
  testutil::TempDir other;
  const std::string target = other.sub("Quillup");
  testutil::WriteFile(target, "old");
  Harness h(u"/replace:" + WidePath(target));
  EXPECT_TRUE(h.dlg->OnInitDialog());
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_EQ(h.ops->created, std::vector<WString>({WidePath(target) + u" /auto"}));
  EXPECT_TRUE(h.ops->trace.empty());  // configuration never read
  EXPECT_NE(h.Log().find("替换进程退出"), std::string::npos);
  EXPECT_EQ(h.dlg->m_nExitCode, kExitOk);
}

TEST(Startup, ReplacementWithoutAnUpdaterFileIsRefused) {
  testutil::TempDir other;
  testutil::WriteFile(other.sub("folder/kept"), "kept");
  for (const std::string& target : {other.sub("folder"), std::string(), other.sub("missing")}) {
    Harness h(u"/replace:\"" + WidePath(target) + u"\"");
    EXPECT_TRUE(h.dlg->OnInitDialog());
    EXPECT_EQ(h.view->endCalls, 1);
    EXPECT_TRUE(h.ops->created.empty());
    EXPECT_EQ(h.dlg->m_nExitCode, kExitReplaceFailed) << target;
    EXPECT_NE(h.Log().find("[ERROR] [CUpdateDlg::ReplaceMySelfByCmdLine] 拒绝替换:" + target + " ("), std::string::npos)
        << h.Log();
  }
  EXPECT_EQ(testutil::ReadFile(other.sub("folder/kept")), "kept");
  EXPECT_FALSE(testutil::Exists(other.sub("folder.oldbak")));
  EXPECT_FALSE(testutil::Exists(other.sub("missing")));
}

TEST(Startup, ConfigurationFailureClosesTheClientAndShowsTheNotice) {
  Harness h(u"/msgwnd:777");
  h.ops->owners[777] = 4242;
  h.ops->initOk = false;
  EXPECT_TRUE(h.dlg->OnInitDialog());
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({4242}));
  EXPECT_EQ(h.view->urlRuns, 1);
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_EQ(h.ops->initRoot, h.Root());
  EXPECT_NE(h.Log().find("[ERROR] [CUpdateDlg::OnInitDialog] 读取升级配置失败"), std::string::npos);
  EXPECT_EQ(h.dlg->m_nExitCode, kExitNoConfig);
}

TEST(Startup, Auto2CleansUpAndEndsEvenWithAuto) {
  Harness h(u"/auto /auto2");
  EXPECT_TRUE(h.dlg->OnInitDialog());
  EXPECT_EQ(h.ops->clearedDirs, std::vector<WString>({h.Root() + u"/update"}));
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_FALSE(h.dlg->m_bWorkerRunning);
  EXPECT_NE(h.Log().find("检测到参数auto2"), std::string::npos);
  EXPECT_EQ(h.Log().find("检测到参数auto\r"), std::string::npos);
}

TEST(Startup, AutoCleansUpAndRuns) {
  Harness h(u"/auto");
  EXPECT_TRUE(h.dlg->OnInitDialog());
  WaitWorker(h);
  EXPECT_EQ(h.ops->clearedDirs.front(), h.Root() + u"/update");
  EXPECT_NE(h.Log().find("检测到参数auto\r"), std::string::npos);
  EXPECT_EQ(h.ops->grayQueries, 1);
}

TEST(Startup, RunningClientWithNothingPendingGoesToBackground) {
  Harness h(u"/msgwnd:777");
  h.ops->owners[777] = 4242;
  h.ops->running = {4242};
  h.ops->recheck = 1;
  h.ops->onSelect = [&](int) { h.dlg->m_dwClientPid = 0; };
  EXPECT_TRUE(h.dlg->OnInitDialog());
  WaitWorker(h);
  EXPECT_TRUE(h.view->tool);
  EXPECT_EQ(h.view->title, InstanceNameFromRoot(h.Root()));
  EXPECT_TRUE(h.view->timers.count(TIMER_WATCH_CLIENT));
  EXPECT_TRUE(h.view->skinLoaded);
  EXPECT_EQ(h.view->textColor, 0xD2D2D2u);
  EXPECT_TRUE(h.dlg->IsHidden());
  EXPECT_EQ(h.dlg->m_rcSavedWindow.right, 610);  // the window's size before it shrank
  EXPECT_TRUE(h.ops->terminated.empty());
}

TEST(Startup, PendingUpdateClosesTheRunningClient) {
  const int flags[] = {1, 2, 3};
  const char* texts[] = {"需要升级，关闭客户端", "需要全量升级，关闭客户端",
                         "之前断电或进程被杀，需要全量升级，关闭客户端"};
  for (int i = 0; i < 3; ++i) {
    Harness h(u"/msgwnd:777");
    h.ops->owners[777] = 4242;
    h.ops->flag = flags[i];
    EXPECT_TRUE(h.dlg->OnInitDialog());
    WaitWorker(h);
    ASSERT_FALSE(h.ops->terminated.empty());
    EXPECT_EQ(h.ops->terminated.front(), 4242u);
    EXPECT_FALSE(h.dlg->IsHidden());
    EXPECT_FALSE(h.view->tool);
    EXPECT_FALSE(h.view->timers.count(TIMER_WATCH_CLIENT));
    EXPECT_NE(h.Log().find(std::string("[CUpdateDlg::ProcessUpdateFlag] ") + texts[i]), std::string::npos);
  }
}

TEST(Startup, ForegroundRunCarriesTheConfiguredTitle) {
  Harness h;
  EXPECT_TRUE(h.dlg->OnInitDialog());
  WaitWorker(h);
  EXPECT_EQ(h.view->title, u"升级窗口");
  EXPECT_EQ(h.ops->runClientCalls, 0);  // the client start waits for the timer
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.ops->runClientCalls, 1);
  EXPECT_TRUE(h.ops->openMutexes.empty());
}
