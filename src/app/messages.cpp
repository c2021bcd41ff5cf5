// The window's private messages, its timers, the stop button, log-off,
// destruction, the way back to the foreground and the end of a run.
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/cmdline.h"
#include "app/constants.h"
#include "app/update_dlg.h"
#include "platform/files.h"
#include "platform/names.h"
#include "support/log.h"

namespace quillup {

namespace {
const char kOpProc[] = "CUpdateDlg::WindowProc";
const char kOpEnd[] = "CUpdateDlg::OnQueryEndSession";
const char kOpDestroy[] = "CUpdateDlg::OnDestroy";

const char16_t kTitleNotice[] = u"提示";
const char16_t kTextClientError[] = u"当前客户端报错，需立即重启修复！";
const char16_t kTextAskRepair[] = u"客户端缺失文件，是否修复？";
const char16_t kTextNoWriteRight[] =
    u"系统权限不足！\r\n请右键启动图标，“属性”->“兼容性”，\r\n勾选“以管理员身份运行此程序”，再重新运行。\r\n"
    u"或者重新安装客户端到非系统目录。";
}  // namespace

void CUpdateDlg::Status(const char* op, const WString& text, int level) {
  plat::SendMessage(m_hWnd, WM_UPDATE_STATUS, (plat::WPARAM)(uintptr_t)&text, 0);
  if (op) LogWrite(level, op, text);
}

void CUpdateDlg::PostPercent(int percent) { plat::PostMessage(m_hWnd, WM_UPDATE_PERCENT, (plat::WPARAM)percent, 0); }

void CUpdateDlg::SendEnableStop(bool enable) { plat::SendMessage(m_hWnd, WM_UPDATE_ENABLE_STOP, enable ? 1 : 0, 0); }

plat::LRESULT CUpdateDlg::WindowProc(uint32_t msg, plat::WPARAM w, plat::LPARAM) {
  switch (msg) {
    case WM_UPDATE_STATUS:
      if (w) m_view->SetStatusText(*reinterpret_cast<const WString*>((uintptr_t)w));
      return 1;
    case WM_UPDATE_PERCENT: {
      char buf[16];
      snprintf(buf, sizeof buf, "%3d%%", (int)w);
      m_view->SetPercentText(W(buf));
      return 1;
    }
    case WM_UPDATE_ENABLE_STOP:
      if (!m_bStopRequested) m_view->EnableStop(w != 0);
      return 1;
    case WM_UPDATE_WORK_DONE:
      OnWorkDone(w == 1);
      return 1;
    case WM_UPDATE_SHOW_TIP:
      if (m_view->RunTipDlg() == IDOK) {
        CloseClient();
        BringToForeground();
      }
      return 1;
    case WM_UPDATE_CLIENT_ERROR:
      if (IsHidden()) {
        m_view->MessageBox(kTextClientError, kTitleNotice, MB_ICONINFORMATION | MB_TOPMOST | MB_OK);
        CloseClient();
        BringToForeground();
      }
      return 1;
    case WM_UPDATE_SHOW_WINDOW:
      BringToForeground();
      return 1;
    default:
      return 0;
  }
}

void CUpdateDlg::OnTimer(uint32_t id) {
  if (id == TIMER_WATCH_CLIENT) {
    if (IsClientRunning()) return;
    m_view->KillTimer(TIMER_WATCH_CLIENT);
    m_view->CloseTipDlg();
    m_dwClientPid = 0;
    if (IsHidden()) m_bCancel = true;
  } else if (id == TIMER_WAIT_WORKER) {
    // Also posted by the worker as it ends: acted on once, while waited for.
    if (m_bWorkerRunning || !m_bWaitingForWorker) return;
    m_bWaitingForWorker = false;
    m_view->KillTimer(TIMER_WAIT_WORKER);
    RunClientApp();
    m_view->EndDialog(IDCANCEL);
  }
}

void CUpdateDlg::OnStopClicked() { StopProcedure(); }

void CUpdateDlg::StopProcedure() {
  if (m_bStopRequested) return;
  m_bStopRequested = true;
  m_bCancel = true;
  m_view->EnableStop(false);
  if (!m_bWorkerRunning) {
    RunClientApp();
    m_view->EndDialog(IDCANCEL);
  } else {
    m_bWaitingForWorker = true;
    m_view->SetTimer(TIMER_WAIT_WORKER, kWaitWorkerPeriodMs);
  }
}

// Enter, Escape and the close command do nothing while the worker runs.
void CUpdateDlg::OnOK() {
  if (!m_bWorkerRunning) m_view->EndDialog(IDOK);
}

void CUpdateDlg::OnCancel() {
  if (!m_bWorkerRunning) m_view->EndDialog(IDCANCEL);
}

void CUpdateDlg::BringToForeground() {
  if (!IsHidden()) return;
  const WndRect saved = m_rcSavedWindow;
  EmptySavedWindowRect();
  m_view->ReturnToForegroundLook(m_ops->GetDialogWindowName(), saved);
}

bool CUpdateDlg::OnQueryEndSession() {
  m_ops->SetEndSession();
  Status(kOpEnd, u"检测到电脑注销");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Let the worker's pending messages through so it reaches its next
  // log-off test instead of waiting on the window.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (std::chrono::steady_clock::now() < until) {
    if (!m_view->PumpPendingMessages()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Status(nullptr, u"电脑注销前终止所有操作");
  return true;
}

void CUpdateDlg::OnDestroy() {
  m_view->KillTimer(TIMER_WAIT_WORKER);
  m_view->KillTimer(TIMER_WATCH_CLIENT);
  LogWrite(LOG_INFO, kOpDestroy, u"升级程序退出");
  CLog::Release();
  if (m_hInstanceMutex != 0) {
    m_ops->CloseMutex(m_hInstanceMutex);
    m_hInstanceMutex = 0;
  }
}

void CUpdateDlg::OnWorkDone(bool ok) {
  LogWrite(LOG_INFO, kOpProc, u"工作线程退出。");
  m_ops->WriteUpgradeDetail(m_strRootDir);
  m_view->SetPercentText(WString());

  const bool fatal = !plat::PathExists(m_strRootDir + COpFile::kQuillupCfgIni) ||
                     !plat::PathExists(m_strRootDir + u"/" + names::kUpdater + names::kExeSuffix) ||
                     !plat::PathExists(m_ops->GetClientExePath(m_strRootDir)) ||
                     m_ops->GetUpdateFlag(m_strRootDir) == kFlagSwapping;
  if (fatal) m_bClientBroken = true;
  if (!ok || m_bClientBroken) SetExitCode(kExitUpdateFailed);
  // A repair run (started with /auto on flag 2 by the question below) that
  // still finds files missing cannot be helped by another one: offering it
  // again would restart the updater forever where the question is answered
  // unattended. The user is sent to reinstall instead.
  const bool repairRun = HasSwitch(m_strCmdLine, kSwitchAuto) && !HasSwitch(m_strCmdLine, kSwitchAuto2) &&
                         m_nStartFlag == kFlagFullUpdate;
  const bool giveUp = fatal || (m_bClientBroken && repairRun);
  if (m_bClientBroken) BringToForeground();

  if (giveUp) {
    CloseClient();
    m_view->RunUrlDlg();
  } else {
    if (m_bClientBroken) {
      int answer = m_view->MessageBox(kTextAskRepair, kTitleNotice, MB_ICONQUESTION | MB_TOPMOST | MB_OKCANCEL);
      if (answer == IDOK) {
        m_ops->SetUpdateFlag(m_strRootDir, kFlagFullUpdate);
        CloseClient();
        RunUpdateApp(m_ops->SelfPath(), true);
        StopProcedure();
        return;
      }
    }
    if (m_bNoWriteRight)
      m_view->MessageBox(kTextNoWriteRight, kTitleNotice, MB_ICONINFORMATION | MB_TOPMOST | MB_OK);
  }

  if (ok || IsHidden() || m_bClientBroken || m_bNoWriteRight || m_bForcedRepair) {
    StopProcedure();
    return;
  }
  // A failure shown in the foreground stays until the stop button.
  if (!m_bStopRequested) m_view->EnableStop(true);
  if (m_view->IsUnattended()) StopProcedure();
}

}  // namespace quillup
