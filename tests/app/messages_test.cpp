// The window's messages, its timers, the stop procedure and the decisions
// at the end of a run.
#include <gtest/gtest.h>

#include "app/constants.h"
#include "fakes.h"

using fakes::Harness;
using namespace quillup;

namespace {
void Hold(Harness& h) {
  bool existed = false;
  h.dlg->m_hInstanceMutex = h.ops->CreateNamedMutex(u"x", existed);
}
void Background(Harness& h) { h.dlg->SaveWindowRect({10, 20, 520, 336}); }
}  // namespace

TEST(Messages, StatusPercentAndStopButton) {
  Harness h;
  WString text = u"检测更新，请稍候...";
  EXPECT_EQ(plat::SendMessage(h.dlg->Hwnd(), WM_UPDATE_STATUS, (plat::WPARAM)(uintptr_t)&text, 0), 1);
  EXPECT_EQ(h.view->statuses.back(), text);
  plat::PostMessage(h.dlg->Hwnd(), WM_UPDATE_PERCENT, 5, 0);
  plat::PostMessage(h.dlg->Hwnd(), WM_UPDATE_PERCENT, 100, 0);
  EXPECT_EQ(h.view->percents, std::vector<WString>({u"  5%", u"100%"}));
  plat::SendMessage(h.dlg->Hwnd(), WM_UPDATE_ENABLE_STOP, 0, 0);
  EXPECT_FALSE(h.view->stopEnabled);
  plat::SendMessage(h.dlg->Hwnd(), WM_UPDATE_ENABLE_STOP, 1, 0);
  EXPECT_TRUE(h.view->stopEnabled);
  EXPECT_EQ(h.dlg->WindowProc(1234, 0, 0), 0);  // not ours
}

TEST(Messages, StopButtonStaysDisabledOnceStopped) {
  Harness h;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnStopClicked();
  EXPECT_TRUE(h.dlg->m_bCancel);
  EXPECT_FALSE(h.view->stopEnabled);
  plat::SendMessage(h.dlg->Hwnd(), WM_UPDATE_ENABLE_STOP, 1, 0);
  EXPECT_FALSE(h.view->stopEnabled);
  h.dlg->OnStopClicked();  // a second press does nothing
  EXPECT_EQ(h.view->timersStarted, std::vector<uint32_t>({TIMER_WAIT_WORKER}));
}

TEST(Messages, StopDuringTheRunClosesAfterTheWorkerEnds) {
  Harness h;
  Hold(h);
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnStopClicked();
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.view->endCalls, 0);
  EXPECT_EQ(h.ops->runClientCalls, 0);
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_EQ(h.ops->runClientCalls, 1);  // flag 0, nothing prevents the client
  EXPECT_FALSE(h.view->timers.count(TIMER_WAIT_WORKER));
}

TEST(Messages, StopAfterTheWorkerFailedClosesAtOnce) {
  Harness h;
  Hold(h);
  h.dlg->OnStopClicked();
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_EQ(h.view->endResult, IDCANCEL);
  EXPECT_EQ(h.ops->runClientCalls, 1);
  EXPECT_TRUE(h.view->timersStarted.empty());
}

TEST(Messages, OkAndCancelAreIgnoredWhileTheWorkerRuns) {
  Harness h;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnOK();
  h.dlg->OnCancel();
  EXPECT_EQ(h.view->endCalls, 0);
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnCancel();
  EXPECT_EQ(h.view->endResult, IDCANCEL);
  EXPECT_EQ(h.ops->runClientCalls, 0);  // plain closing never starts the client
}

TEST(Messages, ClientExitInBackgroundCancelsTheRun) {
  Harness h;
  Background(h);
  h.dlg->m_dwClientPid = 55;
  h.ops->running = {55};
  h.view->timers.insert(TIMER_WATCH_CLIENT);
  h.dlg->OnTimer(TIMER_WATCH_CLIENT);
  EXPECT_EQ(h.dlg->m_dwClientPid, 55u);
  h.ops->running.clear();
  h.dlg->OnTimer(TIMER_WATCH_CLIENT);
  EXPECT_EQ(h.dlg->m_dwClientPid, 0u);
  EXPECT_TRUE(h.dlg->m_bCancel);
  EXPECT_EQ(h.view->tipCloses, 1);
  EXPECT_FALSE(h.view->timers.count(TIMER_WATCH_CLIENT));
}

TEST(Messages, ClientExitInTheForegroundOnlyLetsTheWorkerGoOn) {
  Harness h;
  h.dlg->m_dwClientPid = 55;
  h.dlg->OnTimer(TIMER_WATCH_CLIENT);
  EXPECT_EQ(h.dlg->m_dwClientPid, 0u);
  EXPECT_FALSE(h.dlg->m_bCancel);
}

TEST(Messages, ShowWindowRestoresTheSavedRectangle) {
  Harness h;
  Background(h);
  h.view->tool = true;
  h.view->rect = {0, 0, 0, 0};
  plat::PostMessage(h.dlg->Hwnd(), WM_UPDATE_SHOW_WINDOW, 0, 0);
  EXPECT_FALSE(h.dlg->IsHidden());
  EXPECT_FALSE(h.view->tool);
  EXPECT_EQ(h.view->rect.right, 520);
  EXPECT_EQ(h.view->rect.bottom, 336);
  EXPECT_EQ(h.view->title, u"升级窗口");
  EXPECT_TRUE(h.view->visible);
  EXPECT_EQ(h.view->activations, 1);
  plat::PostMessage(h.dlg->Hwnd(), WM_UPDATE_SHOW_WINDOW, 0, 0);  // already in front
  EXPECT_EQ(h.view->activations, 1);
}

TEST(Messages, ClientErrorOnlyActsInBackground) {
  Harness fg;
  fg.dlg->m_dwClientPid = 55;
  plat::SendMessage(fg.dlg->Hwnd(), WM_UPDATE_CLIENT_ERROR, 0, 0);
  EXPECT_TRUE(fg.view->boxes.empty());
  EXPECT_TRUE(fg.ops->terminated.empty());

  Harness bg;
  Background(bg);
  bg.dlg->m_dwClientPid = 55;
  plat::SendMessage(bg.dlg->Hwnd(), WM_UPDATE_CLIENT_ERROR, 0, 0);
  EXPECT_EQ(bg.view->boxes, std::vector<WString>({u"当前客户端报错，需立即重启修复！"}));
  EXPECT_EQ(bg.ops->terminated, std::vector<uint32_t>({55}));
  EXPECT_FALSE(bg.dlg->IsHidden());
}

TEST(Messages, TipClosesTheClientOnlyOnOk) {
  Harness h;
  Background(h);
  h.dlg->m_dwClientPid = 55;
  plat::PostMessage(h.dlg->Hwnd(), WM_UPDATE_SHOW_TIP, 0, 0);
  EXPECT_TRUE(h.ops->terminated.empty());
  EXPECT_TRUE(h.dlg->IsHidden());
  h.view->tipAnswer = IDOK;
  plat::PostMessage(h.dlg->Hwnd(), WM_UPDATE_SHOW_TIP, 0, 0);
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({55}));
  EXPECT_FALSE(h.dlg->IsHidden());
}

TEST(Messages, GoodRunEndsThroughTheWaitTimer) {
  Harness h;
  Hold(h);
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(true);
  EXPECT_EQ(h.ops->reportWrites, 1);
  EXPECT_EQ(h.view->percents.back(), u"");
  EXPECT_TRUE(h.dlg->m_bStopRequested);
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.ops->runClientCalls, 1);
  EXPECT_NE(h.Log().find("[INFO] [CUpdateDlg::WindowProc] 工作线程退出。"), std::string::npos);
  EXPECT_EQ(h.dlg->m_nExitCode, kExitOk);
}

TEST(Messages, FailureInTheForegroundWaitsForTheUser) {
  Harness h;
  h.dlg->m_bWorkerRunning = true;
  h.view->stopEnabled = false;
  h.dlg->OnWorkDone(false);
  EXPECT_TRUE(h.view->stopEnabled);
  EXPECT_FALSE(h.dlg->m_bStopRequested);
  EXPECT_TRUE(h.view->timersStarted.empty());
}

TEST(Messages, FailureWithNobodyToPressStopEndsByItself) {
  Harness h;
  Hold(h);
  h.view->unattended = true;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(false);
  EXPECT_TRUE(h.dlg->m_bStopRequested);
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_EQ(h.ops->runClientCalls, 1);
  EXPECT_EQ(h.dlg->m_nExitCode, kExitUpdateFailed);
}

TEST(Messages, FailureInBackgroundEndsQuietly) {
  Harness h;
  Hold(h);
  Background(h);
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(false);
  EXPECT_TRUE(h.dlg->m_bStopRequested);
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.ops->runClientCalls, 0);
  EXPECT_NE(h.Log().find("升级界面隐藏，不启动客户端"), std::string::npos);
  EXPECT_TRUE(h.view->boxes.empty());
}

TEST(Messages, FlagThreeAtTheEndIsFatal) {
  Harness h;
  Hold(h);
  Background(h);
  h.dlg->m_dwClientPid = 55;
  h.ops->flag = 3;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(true);
  EXPECT_TRUE(h.dlg->m_bClientBroken);
  EXPECT_FALSE(h.dlg->IsHidden());
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({55}));
  EXPECT_EQ(h.view->urlRuns, 1);
  EXPECT_TRUE(h.view->boxes.empty());
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.ops->runClientCalls, 0);
}

TEST(Messages, MissingInstallationFilesAreFatal) {
  for (const char* gone : {"config/quillupcfg.ini", "Quillup", "bin/client"}) {
    Harness h;
    testutil::Run("rm -f '" + h.dir.sub(gone) + "'");
    h.dlg->m_bWorkerRunning = true;
    h.dlg->OnWorkDone(true);
    EXPECT_TRUE(h.dlg->m_bClientBroken) << gone;
    EXPECT_EQ(h.view->urlRuns, 1) << gone;
    EXPECT_EQ(h.dlg->m_nExitCode, kExitUpdateFailed) << gone;  // though the worker ended well
  }
}

TEST(Messages, RepairAcceptedStartsAFullUpdate) {
  Harness h;
  Hold(h);
  h.dlg->m_dwClientPid = 55;
  h.dlg->m_bClientBroken = true;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(true);
  EXPECT_EQ(h.view->boxes, std::vector<WString>({u"客户端缺失文件，是否修复？"}));
  EXPECT_EQ(h.ops->flag, 2);
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({55}));
  EXPECT_EQ(h.ops->created, std::vector<WString>({h.Root() + u"/Quillup /auto"}));
  EXPECT_TRUE(h.ops->openMutexes.empty());  // the new updater may take the instance
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.ops->runClientCalls, 0);
  EXPECT_EQ(h.view->endCalls, 1);
}

TEST(Messages, RepairDeclinedGoesOnToTheClosingDecision) {
  Harness h;
  Hold(h);
  h.dlg->m_bClientBroken = true;
  h.view->boxAnswers = {IDCANCEL};
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(false);
  EXPECT_TRUE(h.ops->created.empty());
  EXPECT_EQ(h.ops->flag, 0);
  EXPECT_TRUE(h.dlg->m_bStopRequested);  // broken: the window closes
  h.dlg->m_bWorkerRunning = false;
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.ops->runClientCalls, 0);
}

TEST(Messages, RepairRunThatStillFindsFilesMissingSendsTheUserToReinstall) {
  Harness h(u"/auto");
  Hold(h);
  h.dlg->m_nStartFlag = 2;
  h.dlg->m_bClientBroken = true;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(true);
  EXPECT_TRUE(h.view->boxes.empty());
  EXPECT_EQ(h.view->urlRuns, 1);
  EXPECT_TRUE(h.ops->created.empty());
}

TEST(Messages, NoWriteRightShowsThePrivilegeBox) {
  Harness h;
  h.dlg->m_bNoWriteRight = true;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->OnWorkDone(false);
  ASSERT_EQ(h.view->boxes.size(), 1u);
  EXPECT_EQ(h.view->boxes[0],
            u"系统权限不足！\r\n请右键启动图标，“属性”->“兼容性”，\r\n勾选“以管理员身份运行此程序”，再重新运行。\r\n"
            u"或者重新安装客户端到非系统目录。");
  EXPECT_TRUE(h.dlg->m_bStopRequested);
}

TEST(Messages, QueryEndSessionSetsTheLogOffFlag) {
  Harness h;
  int pumps = 0;
  h.view->pump = [&] { return ++pumps < 3; };
  EXPECT_TRUE(h.dlg->OnQueryEndSession());
  EXPECT_TRUE(h.ops->endSession);
  EXPECT_EQ(h.view->statuses, std::vector<WString>({u"检测到电脑注销", u"电脑注销前终止所有操作"}));
  EXPECT_GE(pumps, 3);
  std::string log = h.Log();
  EXPECT_NE(log.find("[CUpdateDlg::OnQueryEndSession] 检测到电脑注销"), std::string::npos);
  EXPECT_EQ(log.find("电脑注销前终止所有操作"), std::string::npos);
}

TEST(Messages, DestroyLogsAndReleasesTheInstance) {
  Harness h;
  Hold(h);
  h.view->timers = {TIMER_WATCH_CLIENT, TIMER_WAIT_WORKER};
  h.dlg->OnDestroy();
  EXPECT_TRUE(h.view->timers.empty());
  EXPECT_TRUE(h.ops->openMutexes.empty());
  EXPECT_NE(h.Log().find("[INFO] [CUpdateDlg::OnDestroy] 升级程序退出"), std::string::npos);
}
