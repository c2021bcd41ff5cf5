// The worker thread: one whole update from the record file of an earlier
// run to the swap, with background re-checks while the client runs.
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/constants.h"
#include "app/update_dlg.h"
#include "net/net.h"
#include "platform/files.h"
#include "platform/names.h"
#include "support/log.h"
#include "support/path.h"

namespace quillup {

namespace {
const char kOpWork[] = "CUpdateDlg::DoWork";
const char kOpRepair[] = "CUpdateDlg::CheckIsNeedRepair";
const char kOpFailCount[] = "CUpdateDlg::ProcessClientFailRunCount";

uint32_t TickMs() {
  using namespace std::chrono;
  return (uint32_t)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Absolute signed 32-bit difference: survives the tick counter's wrap.
int32_t ElapsedMs(uint32_t from) {
  int32_t d = (int32_t)(TickMs() - from);
  return d < 0 ? -d : d;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Decimal(int32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%d", v);
  return buf;
}

// Opens the probe for writing as the C runtime does and removes it again.
bool ProbeWritable(const WString& probe) {
  ClearReadOnly(probe);
  std::string native;
  if (!NativePath(probe, native)) return false;
  FILE* f = fopen(native.c_str(), "wb");
  if (!f) return false;
  fclose(f);
  plat::DeleteFile(probe);
  return true;
}
}  // namespace

void CUpdateDlg::WorkerThreadProc() {
  bool ok = DoWork();
  if (ok) CheckIsNeedRepair();
  plat::SendMessage(m_hWnd, WM_UPDATE_WORK_DONE, ok ? 1 : 0, 0);
  m_bWorkerRunning = false;
  // A stop that waits for the worker ends now, not at the timer's next
  // tick (up to 50 ms later, before the client restarts).
  plat::PostMessage(m_hWnd, plat::WM_TIMER, TIMER_WAIT_WORKER, 0);
}

void CUpdateDlg::CheckIsNeedRepair() {
  Status(kOpRepair, u"进行文件完整性检查...");
  m_bClientBroken = m_ops->IsNeedRepair(m_strRootDir);
  Status(kOpRepair, m_bClientBroken ? u"客户端文件缺失。" : u"客户端文件完整。");
}

void CUpdateDlg::ProcessClientFailRunCount() {
  if (!m_ops->IsVersionInfoMissing(m_strRootDir)) return;
  int32_t count = m_ops->GetFailStartupCount(m_strRootDir) + 1;
  m_ops->SetFailStartupCount(m_strRootDir, count);
  if (count >= 3) {
    LogWrite(LOG_INFO, kOpFailCount, u"客户端启动失败达到3次, 清空data目录");
    m_ops->DeleteDirectory(m_strRootDir + kDataDirSuffix);
    m_ops->SetFailStartupCount(m_strRootDir, 0);
  }
}

CUpdateDlg::Recovery CUpdateDlg::RecoverAtStart(int32_t startFlag) {
  const WString& root = m_strRootDir;
  const WString recordFile = root + kUpdateDirSuffix + u"/" + kRecordName;
  // A run that died in the swap still has its record, which alone brings
  // every stop back (the real client from ".forbid" too); the full pack
  // follows whether or not files were put back.
  const bool startedInSwap = startFlag == kFlagSwapping;
  // Without a record nothing was swapped: the real client comes back too
  // (if that fails, the full pack's swap still settles ".forbid").
  if (startedInSwap && !plat::PathExists(recordFile) && m_ops->IsClientExeForbidden(root))
    m_ops->EnableClientExe(root, false);
  bool restored = !startedInSwap;
  if (!ProcessRcdFile(recordFile, root, restored)) {
    if (m_ops->IsEndSession()) return kRecoveryFailed;
    m_ops->SetUpdateFlag(root, kFlagFullUpdate);
    m_ops->SetUploadLogFlag(root);
    LogWrite(LOG_INFO, kOpWork, u"处理记录文件失败！");
    return kRecoveryFailed;
  }
  // Rolled back or finished, the installation is whole again: flag 3 would
  // hold the client back at the end of a run that cannot reach the server.
  // A client still disabled for want of a record keeps it.
  if (startedInSwap && m_ops->IsClientExeForbidden(root)) return kRecoveryDone;
  m_ops->SetUpdateFlag(root, kFlagNone);
  if (startedInSwap) return kRecoveryDone;  // version 0 still asks for the full pack
  return restored ? kRecoveryRestored : kRecoveryDone;
}

// What the steps of one DoWork share.
struct CUpdateDlg::WorkRun {
  WString updateDir, unzipDir, readyDir, localList, recordFile;
  WString baseUrl, forceUrl, packUrl;
  // A flag of 3 that the start could not settle stays until a swap ends.
  bool keepSwapFlag = false;
  WString resolved;
  std::vector<ServicePack> packs;
  bool forced = false;
  std::vector<WString> files;
};

void CUpdateDlg::SetRunFlag(const WorkRun& run, int32_t flag) {
  if (!run.keepSwapFlag) m_ops->SetUpdateFlag(m_strRootDir, flag);
}

// Failures are recorded (and the log upload asked for) unless the session
// is ending.
void CUpdateDlg::ReportStep(int32_t code, bool success, int32_t spend) {
  if (!success && m_ops->IsEndSession()) return;
  m_ops->AddProcessRecord(code, success, spend);
  if (!success) m_ops->SetUploadLogFlag(m_strRootDir);
}

bool CUpdateDlg::DoWork() {
  WorkRun run;
  if (auto end = PrepareRun(run)) return *end;
  if (auto end = CheckForUpdates(run)) return *end;
  if (auto end = DownloadPacks(run)) return *end;
  if (!StagePacks(run)) return false;
  return SwapIn(run);
}

// A. Preparation.
std::optional<bool> CUpdateDlg::PrepareRun(WorkRun& run) {
  CDriverOps& ops = *m_ops;
  const WString& root = m_strRootDir;
  SendEnableStop(true);
  run.updateDir = root + kUpdateDirSuffix;
  run.unzipDir = root + kUnzipDirSuffix;
  run.readyDir = root + kReadyDirSuffix;
  run.localList = run.updateDir + kLocalListName;
  run.recordFile = run.updateDir + u"/" + kRecordName;
  run.baseUrl = ops.GetDownloadBaseUrl();
  run.forceUrl = run.baseUrl + kForceListUrlSuffix;
  run.packUrl = run.baseUrl + kPackListUrlSuffix;

  const int32_t startFlag = ops.GetUpdateFlag(root);
  m_nStartFlag = startFlag;
  switch (RecoverAtStart(startFlag)) {
    case kRecoveryFailed: return false;
    case kRecoveryRestored:
      // A rolled-back run does not look for updates; the update it undid failed.
      SetExitCode(kExitUpdateFailed);
      return true;
    case kRecoveryDone: break;
  }
  run.keepSwapFlag = ops.GetUpdateFlag(root) == kFlagSwapping;

  ReportStep(kCodeStart, true, 0);
  ProcessClientFailRunCount();

  const WString selfOldBak = ops.SelfPath() + kOldBak;
  const WString clientOldBak = ops.GetClientExePath(root) + kOldBak;
  ClearReadOnly(selfOldBak);
  plat::DeleteFile(selfOldBak);
  ClearReadOnly(clientOldBak);
  plat::DeleteFile(clientOldBak);

  SendEnableStop(true);
  ops.NewNet(root + kProxyFileSuffix);
  return std::nullopt;
}

// B. Check cycles: ends the run, or goes on when packs are needed.
std::optional<bool> CUpdateDlg::CheckForUpdates(WorkRun& run) {
  CDriverOps& ops = *m_ops;
  const WString versionFile = m_strRootDir + COpFile::kUpdateIni;
  for (;;) {
    const uint32_t cycleStart = TickMs();
    run.resolved.clear();
    MakeDirectoryTree(run.updateDir);
    Status(kOpWork, u"检测更新，请稍候...");
    LogWrite(LOG_INFO, kOpWork, u"下载文件:" + UrlForLog(run.forceUrl));

    bool gray = false;
    WString grayUrl;
    ops.DownloadGrayUserInfo(gray, grayUrl);
    if (gray && !grayUrl.empty()) {
      LogWrite(LOG_INFO, kOpWork, u"灰度信息下载成功:" + UrlForLog(grayUrl));
      run.forceUrl = grayUrl + kForceListUrlSuffix;
      run.packUrl = grayUrl + kPackListUrlSuffix;
      run.baseUrl = grayUrl;
    } else if (gray) {
      LogWrite(LOG_INFO, kOpWork, u"灰度用户和配置文件地址");
      const WString beta = ops.GetBetaDownloadUrl();
      run.forceUrl = beta + kForceListUrlSuffix;
      run.packUrl = beta + kPackListUrlSuffix;
    }

    run.resolved.clear();
    // Each cycle decides anew which list it holds: a forced list judged
    // valid in an earlier cycle must not mark a normal list as forced.
    run.forced = false;
    bool resume = false;
    bool gotForce = ops.Download(run.forceUrl, WString(), run.localList, resume, m_bCancel);
    // A refused signed forced list counts as absent.
    if (gotForce && ops.IsForcePackListValid(run.localList) &&
        ops.VerifySignedList(run.forceUrl, run.localList, WString(), true, m_bCancel)) {
      LogWrite(LOG_INFO, kOpWork, u"force_servicepack.xml有效");
      run.forced = true;
    } else if (!gotForce && m_bCancel) {
      LogWrite(LOG_INFO, kOpWork, u"取消下载:" + UrlForLog(run.forceUrl));
      return false;
    }

    if (!run.forced) {
      LogWrite(LOG_INFO, kOpWork, u"下载文件:" + UrlForLog(run.packUrl));
      const bool got = ops.DowndloadPacksXml(run.packUrl, run.localList, run.resolved, true, m_bCancel);
      if (!got || !ops.VerifySignedList(run.packUrl, run.localList, run.resolved, false, m_bCancel)) {
        Status(nullptr, u"下载升级列表失败！");
        if (m_bCancel) {
          LogWrite(LOG_INFO, kOpWork, u"取消下载:" + UrlForLog(run.packUrl));
          return false;
        }
        if (got) SetExitCode(kExitListRefused);
        LogWrite(LOG_ERROR, kOpWork, u"下载失败:" + UrlForLog(run.packUrl));
        ReportStep(kCodeListDownload, false, ElapsedMs(cycleStart));
        return false;
      }
    }

    ReportStep(kCodeListDownload, true, ElapsedMs(cycleStart));
    ops.CreateEmptyFile(versionFile);
    int32_t serverVersion = 0, localVersion = 0;
    bool need = ops.GetNeedPackFiles(run.localList, versionFile, run.packs, serverVersion, localVersion, run.forced);
    ops.SetUpgradeInfo(Decimal(serverVersion), Decimal(localVersion), need, 0);
    ReportStep(kCodeSelection, serverVersion != 0, 0);
    // A list without a version (unreadable, or no list at all) chose
    // nothing, which is no "nothing to do".
    if (serverVersion == 0) SetExitCode(kExitUpdateFailed);
    if (need) return std::nullopt;

    Status(kOpWork, u"删除临时文件...");
    ops.ClearUpdateDir(run.updateDir);
    Status(kOpWork, u"无需升级。");
    if (!IsHidden() || !WaitForNextCheck()) return true;
  }
}

// Background mode between two checks; false when the client exited or the
// window was shown meanwhile, which ends the run.
bool CUpdateDlg::WaitForNextCheck() {
  PostPercent(0);
  Status(kOpWork, u"等候下次查询...");
  const int64_t waitMs = (int64_t)m_ops->GetReCheckTime() * 1000;
  for (int64_t waited = 0; waited < waitMs; waited += kPollMs) {
    if (m_dwClientPid == 0 || !IsHidden()) {
      Status(kOpWork, u"无需升级。");
      return false;
    }
    SleepMs(kPollMs);
  }
  return true;
}

// C. Download: ends the run, or goes on once the client has exited.
std::optional<bool> CUpdateDlg::DownloadPacks(WorkRun& run) {
  CDriverOps& ops = *m_ops;
  if (run.forced && !run.packs.empty() && run.packs.front().bForce) {
    plat::SendMessage(m_hWnd, WM_UPDATE_CLIENT_ERROR, 0, 0);
    m_bForcedRepair = true;
  }
  Status(kOpWork, u"下载升级文件，请稍候...");
  const uint32_t downloadStart = TickMs();
  if (!ops.DowndloadZipFiles(
          run.resolved, run.baseUrl, run.updateDir, run.packs, run.files,
          [this](const WString& text) { Status(nullptr, text); }, [this](int percent) { PostPercent(percent); },
          m_bCancel) ||
      !ops.CheckPackSha256(run.baseUrl, run.packs, run.files)) {
    if (m_bCancel) {
      Status(kOpWork, u"取消下载文件。");
      return false;
    }
    Status(kOpWork, u"下载文件失败！", LOG_ERROR);
    ReportStep(kCodePackDownload, false, ElapsedMs(downloadStart));
    return false;
  }
  SetRunFlag(run, kFlagDownloaded);
  ReportStep(kCodePackDownload, true, ElapsedMs(downloadStart));
  Status(kOpWork, u"升级文件已下载好。");
  SendEnableStop(false);
  Status(kOpWork, u"等待客户端退出...");
  PostPercent(0);
  while (m_dwClientPid != 0) SleepMs(kPollMs);
  if (IsHidden()) {
    Status(kOpWork, u"文件已下载好，下次启动升级。");
    return true;
  }
  return std::nullopt;
}

// D. Apply, first half: the packs staged into the ready tree and flushed.
bool CUpdateDlg::StagePacks(WorkRun& run) {
  CDriverOps& ops = *m_ops;
  const WString& root = m_strRootDir;
  if (!ProbeWritable(root + u"/" + names::kWriteProbe + names::kExeSuffix)) {
    m_bNoWriteRight = true;
    Status(kOpWork, u"系统权限不足。");
    return false;
  }

  Status(kOpWork, u"解压升级文件...");
  const uint32_t stagingStart = TickMs();
  auto stagingFailed = [&](const char16_t* text) {
    Status(kOpWork, u"删除临时文件...");
    ops.ClearUpdateDir(run.updateDir);
    Status(kOpWork, text, LOG_ERROR);
    if (!ops.IsEndSession()) {
      SetRunFlag(run, kFlagFullUpdate);
      ReportStep(kCodeStaging, false, ElapsedMs(stagingStart));
    }
    return false;
  };
  // A file system that fills up half-way through would fail the staging
  // anyway, after minutes of work: refuse at once. The packs and the flag
  // stay: room made by then lets the next run stage the same packs.
  if (!ops.HasRoomToStage(run.files, root, run.unzipDir, run.readyDir)) {
    Status(kOpWork, u"磁盘空间不足！", LOG_ERROR);
    ReportStep(kCodeStaging, false, ElapsedMs(stagingStart));
    return false;
  }
  if (!ops.UpdateToReadyDir(run.files, root, run.unzipDir, run.readyDir)) return stagingFailed(u"解压文件失败！");
  PostPercent(50);
  Status(kOpWork, u"保存文件...");
  // The swap empties the old files' names: what replaces them must be on
  // the disk first.
  if (!ops.FlushStaged(root, run.readyDir)) {
    LogWrite(LOG_ERROR, kOpWork, u"强刷数据到磁盘失败！");
    return stagingFailed(u"解压文件失败！");
  }
  ReportStep(kCodeStaging, true, ElapsedMs(stagingStart));
  return true;
}

// D. Apply, second half: the client disabled, the files swapped in, or
// the swap rolled back.
bool CUpdateDlg::SwapIn(WorkRun& run) {
  CDriverOps& ops = *m_ops;
  const WString& root = m_strRootDir;
  if (ops.IsEndSession()) {
    Status(kOpWork, u"电脑注销，取消升级。");
    return false;
  }

  Status(kOpWork, u"禁用客户端...");
  const uint32_t applyStart = TickMs();
  SetRunFlag(run, kFlagSwapping);
  bool disabled = false;
  for (int attempt = 0; attempt < 3 && !disabled; ++attempt) {
    disabled = ops.ForbidClientExe(root, run.recordFile);
    if (!disabled) SleepMs(500);
  }
  if (!disabled) {
    Status(kOpWork, u"禁用客户端失败！", LOG_ERROR);
    SetRunFlag(run, kFlagDownloaded);
    ReportStep(kCodeSwap, false, ElapsedMs(applyStart));
    return false;
  }

  Status(kOpWork, u"升级更新中，请稍候...");
  TerminateByPath(root + u"/" + names::kTradeModule + names::kExeSuffix);
  TerminateByPath(root + u"/" + names::kTradeUpdate + names::kExeSuffix);
  if (ops.UpdateReadyToReal(run.readyDir, root, run.recordFile)) {
    m_bForcedRepair = false;
    ops.SetUpdateFlag(root, kFlagNone);  // also over a 3 the start kept
    ReportStep(kCodeSwap, true, ElapsedMs(applyStart));
    Status(kOpWork, u"删除临时文件...");
    ops.ClearUpdateDir(run.updateDir);
    Status(kOpWork, u"升级完成。");
    return true;
  }

  SetRunFlag(run, kFlagDownloaded);
  Status(kOpWork, u"更新文件失败，恢复原文件...");
  bool unused = false;
  if (ProcessRcdFile(run.recordFile, root, unused))
    SetRunFlag(run, kFlagNone);
  else if (!ops.IsEndSession())
    SetRunFlag(run, kFlagFullUpdate);
  ReportStep(kCodeSwap, false, ElapsedMs(applyStart));
  return false;
}

}  // namespace quillup
