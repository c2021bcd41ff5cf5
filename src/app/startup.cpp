// Construction and initialisation of the update window: the role of this
// run (forbidden, duplicate, replacement, clean-up, worker run), the single
// instance, foreground or background mode, and the start of the worker.
#include <chrono>
#include <thread>

#include "app/cmdline.h"
#include "app/constants.h"
#include "app/update_dlg.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/path.h"

namespace quillup {

namespace {
const char kOpInit[] = "CUpdateDlg::OnInitDialog";
const char kOpFlag[] = "CUpdateDlg::ProcessUpdateFlag";
const char kOpPre[] = "CUpdateDlg::ShowPreDlgWnd";
}  // namespace

CUpdateDlg::CUpdateDlg(const WString& cmdLine, const WString& rootDir) : m_strCmdLine(cmdLine), m_strRootDir(rootDir) {}

CUpdateDlg::~CUpdateDlg() {
  // The worker has reported back before the window closes; a window torn
  // down by a log-off still waits for it to finish its current step.
  if (m_worker.joinable()) m_worker.join();
}

void CUpdateDlg::Attach(std::unique_ptr<CDriverOps> ops, std::unique_ptr<CUpdateView> view) {
  m_ops = std::move(ops);
  m_view = std::move(view);
  m_hWnd = m_view ? m_view->Handle() : 0;
}

int CUpdateDlg::DoModal() { return m_view->RunModal(); }

void CUpdateDlg::SaveWindowRect(const WndRect& r) {
  m_rcSavedWindow = r;
  m_bHidden.store(!r.IsEmpty());
}

void CUpdateDlg::EmptySavedWindowRect() {
  m_rcSavedWindow = WndRect();
  m_bHidden.store(false);
}

bool CUpdateDlg::OnInitDialog() {
  m_hWnd = m_view->Handle();
  m_view->SetIcons();

  CLog::Instance()->SetPath(m_strRootDir + kLogFileSuffix);
  LogWrite(LOG_INFO, kOpInit, u"升级程序启动，版本号:" + GetSelfVersion());

  const WString forbidFile = m_strRootDir + kForbidUpdateSuffix;
  if (plat::PathExists(forbidFile)) {
    LogWrite(LOG_INFO, kOpInit, u"存在禁用升级文件:" + forbidFile);
    m_view->EndDialog(IDCANCEL);
    return true;
  }

  uint64_t handle = 0;
  if (ParseMsgWnd(m_strCmdLine, handle) && handle != 0) {
    uint32_t pid = m_ops->WindowProcessId((plat::HWND)handle);
    if (pid != 0) {
      m_dwClientPid = pid;
      LogWrite(LOG_INFO, kOpInit, u"获取到客户端消息窗口");
    }
  }

  if (!TakeInstance()) {
    m_view->EndDialog(IDCANCEL);
    return true;
  }

  if (ReplaceMySelfByCmdLine()) {
    LogWrite(LOG_INFO, kOpInit, u"替换进程退出");
    m_view->EndDialog(IDCANCEL);
    return true;
  }

  // A swap cut between the two moves of a file leaves that file missing;
  // when it is the configuration itself nothing below could start. Its old
  // version is beside it, and either way the run that follows (roll-back or
  // full update) expects every recorded file to be present.
  RestoreFilesInTransit(m_strRootDir + kUpdateDirSuffix + u"/" + kRecordName);

  if (!m_ops->Init(m_strRootDir, [this](int percent) { PostPercent(percent); })) {
    LogWrite(LOG_ERROR, kOpInit, u"读取升级配置失败");
    SetExitCode(kExitNoConfig);
    CloseClient();
    m_view->RunUrlDlg();
    m_view->EndDialog(IDCANCEL);
    return true;
  }

  if (HasSwitch(m_strCmdLine, kSwitchAuto2)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    LogWrite(LOG_INFO, kOpInit, u"检测到参数auto2");
    m_ops->ClearUpdateDir(m_strRootDir + kUpdateDirSuffix);
    m_view->EndDialog(IDCANCEL);
    return true;
  }
  if (HasSwitch(m_strCmdLine, kSwitchAuto)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    LogWrite(LOG_INFO, kOpInit, u"检测到参数auto");
    m_ops->ClearUpdateDir(m_strRootDir + kUpdateDirSuffix);
  }

  m_view->LoadSkinAndLayout(m_strRootDir);

  ProcessUpdateFlag();

  if (m_dwClientPid != 0)
    EnterBackgroundMode();
  else
    m_view->SetTitle(m_ops->GetDialogWindowName());

  m_view->SetTextColor(m_ops->GetStatusBarTextColor());

  if (m_dwClientPid != 0) m_view->SetTimer(TIMER_WATCH_CLIENT, kWatchClientPeriodMs);

  m_bWorkerRunning = true;
  m_worker = std::thread([this] { WorkerThreadProc(); });
  return true;
}

// The single-instance mutex of the installation; false when another
// updater holds it (that one is raised, or the client closed).
bool CUpdateDlg::TakeInstance() {
  const WString instanceName = InstanceNameFromRoot(m_strRootDir);
  bool existed = false;
  MutexHandle mutex = m_ops->CreateNamedMutex(instanceName, existed);
  if (mutex == 0 || existed) {
    if (mutex != 0) m_ops->CloseMutex(mutex);
    CloseClient();
    if (m_dwClientPid == 0) ShowPreDlgWnd();
    LogWrite(LOG_INFO, kOpInit, u"重复进程退出");
    SetExitCode(kExitDuplicate);
    return false;
  }
  m_hInstanceMutex = mutex;
  m_view->SetTitle(instanceName);
  return true;
}

void CUpdateDlg::ProcessUpdateFlag() {
  int flag = m_ops->GetUpdateFlag(m_strRootDir);
  if (m_dwClientPid == 0) return;
  const char16_t* text = nullptr;
  switch (flag) {
    case kFlagDownloaded: text = u"需要升级，关闭客户端"; break;
    case kFlagFullUpdate: text = u"需要全量升级，关闭客户端"; break;
    case kFlagSwapping: text = u"之前断电或进程被杀，需要全量升级，关闭客户端"; break;
    default: return;
  }
  LogWrite(LOG_INFO, kOpFlag, text);
  CloseClient();
  m_dwClientPid = 0;
}

void CUpdateDlg::ShowPreDlgWnd() {
  plat::HWND other = m_ops->FindWindowByTitle(InstanceNameFromRoot(m_strRootDir));
  if (other == 0) return;
  // The running instance raises its own window when it handles 9999.
  plat::PostMessage(other, WM_UPDATE_SHOW_WINDOW, 0, 0);
  LogWrite(LOG_INFO, kOpPre, u"显示前一个进程的升级界面");
}

void CUpdateDlg::EnterBackgroundMode() {
  SaveWindowRect(m_view->EnterBackgroundLook(InstanceNameFromRoot(m_strRootDir)));
}

}  // namespace quillup
