// CUpdateDlg: the update window and the driver of one update run. Its
// concerns live in one source each: startup.cpp (initialisation, command
// line, single instance), worker.cpp (the worker thread), client_control.cpp
// (client processes, record file at start, self-replacement, client start)
// and messages.cpp (private messages, timers, stop, end of run).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "app/driver_ops.h"
#include "app/update_view.h"
#include "opfile/opfile.h"
#include "window/window.h"
#include "base/text.h"

namespace quillup {

class CUpdateDlg {
 public:
  // cmdLine is the argument text of the process; rootDir the directory of
  // the updater's own executable (the installation directory).
  CUpdateDlg(const WString& cmdLine, const WString& rootDir);
  ~CUpdateDlg();
  CUpdateDlg(const CUpdateDlg&) = delete;
  CUpdateDlg& operator=(const CUpdateDlg&) = delete;

  // The real application attaches CreateDriverOps and CreateUpdateView.
  void Attach(std::unique_ptr<CDriverOps> ops, std::unique_ptr<CUpdateView> view);
  int DoModal();

  // ---- called by the window (its thread) ----
  bool OnInitDialog();
  plat::LRESULT WindowProc(uint32_t msg, plat::WPARAM w, plat::LPARAM l);
  void OnTimer(uint32_t id);
  void OnStopClicked();
  void OnOK();
  void OnCancel();
  bool OnQueryEndSession();
  void OnDestroy();

  // ---- start-up (startup.cpp) ----
  bool TakeInstance();
  void ProcessUpdateFlag();
  void ShowPreDlgWnd();
  void EnterBackgroundMode();

  // ---- worker (worker.cpp) ----
  void WorkerThreadProc();
  bool DoWork();
  // DoWork's steps in order. Those that may end the run give its result,
  // or nothing to go on.
  struct WorkRun;
  std::optional<bool> PrepareRun(WorkRun& run);
  std::optional<bool> CheckForUpdates(WorkRun& run);
  bool WaitForNextCheck();
  std::optional<bool> DownloadPacks(WorkRun& run);
  bool StagePacks(WorkRun& run);  // false ends the run
  bool SwapIn(WorkRun& run);
  void SetRunFlag(const WorkRun& run, int32_t flag);
  void ReportStep(int32_t code, bool success, int32_t spend);
  // The record of an interrupted run, as every start handles it before it
  // looks for updates: done (go on), restored (backed-up files were put
  // back: the run ends well) or failed (the run ends; flag 2 unless the
  // session is ending).
  enum Recovery { kRecoveryDone, kRecoveryRestored, kRecoveryFailed };
  Recovery RecoverAtStart(int32_t startFlag);
  void CheckIsNeedRepair();
  void ProcessClientFailRunCount();

  // ---- client control (client_control.cpp) ----
  void CloseClient();
  void TerminateChildrenByName(uint32_t parentPid, const WString& name);
  void TerminateByPath(const WString& path);
  bool IsClientRunning();
  bool ProcessRcdFile(const WString& recordPath, const WString& rootDir, bool& restored);
  // Puts back the old version of every recorded file that a cut swap left
  // between its two moves (gone, with its ".oldbak" beside it).
  void RestoreFilesInTransit(const WString& recordPath);
  bool ReplaceMySelfByCmdLine();
  bool RunUpdateApp(const WString& exePath, bool autoFlag);
  bool RunClientApp();

  // ---- messages (messages.cpp) ----
  void StopProcedure();
  void BringToForeground();
  void OnWorkDone(bool ok);

  // Background mode is the non-emptiness of the saved rectangle.
  bool IsHidden() const { return m_bHidden.load(); }
  void SaveWindowRect(const WndRect& r);
  void EmptySavedWindowRect();

  COpFile& OpFile() { return m_opFile; }
  CDriverOps& Ops() { return *m_ops; }
  CUpdateView& View() { return *m_view; }
  plat::HWND Hwnd() const { return m_hWnd; }

  // Status text: sent to the window, then logged under op (null: shown only).
  void Status(const char* op, const WString& text, int level = 0);
  void PostPercent(int percent);
  void SendEnableStop(bool enable);

  // State of the run. Written by one thread, polled by the other.
  const WString m_strCmdLine;
  const WString m_strRootDir;
  MutexHandle m_hInstanceMutex = 0;
  WndRect m_rcSavedWindow;
  std::atomic<uint32_t> m_dwClientPid{0};
  std::atomic<bool> m_bStopRequested{false};
  std::atomic<bool> m_bCancel{false};
  std::atomic<bool> m_bWorkerRunning{false};
  // Timer 2025 runs: the window waits for the worker to end. Window thread.
  bool m_bWaitingForWorker = false;
  std::atomic<bool> m_bClientBroken{false};
  std::atomic<bool> m_bNoWriteRight{false};
  std::atomic<bool> m_bForcedRepair{false};
  // The update flag as the worker read it at the start of its run; -1 before.
  std::atomic<int32_t> m_nStartFlag{-1};
  // The process's exit status (kExit...); the first failure recorded wins.
  std::atomic<int> m_nExitCode{0};
  void SetExitCode(int code) {
    int ok = 0;
    m_nExitCode.compare_exchange_strong(ok, code);
  }
  COpFile m_opFile;

 private:
  std::atomic<bool> m_bHidden{false};
  std::unique_ptr<CDriverOps> m_ops;
  std::unique_ptr<CUpdateView> m_view;
  plat::HWND m_hWnd = 0;
  std::thread m_worker;
};

}  // namespace quillup
