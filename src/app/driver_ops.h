// Everything the update driver asks of the other subsystems and of the
// operating system, behind one seam. The real implementation forwards to
// COpFile, CNet, the download functions and the platform layer; tests
// stand in for the network, the heavy file steps and the processes to
// drive the worker down each of its paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opfile/opfile.h"
#include "platform/process.h"
#include "window/window.h"
#include "base/text.h"

namespace quillup {

using plat::ProcessEntry;

using MutexHandle = uint64_t;  // 0 = none

class CDriverOps {
 public:
  virtual ~CDriverOps() = default;

  // Configuration and flags.
  virtual bool Init(const WString& root, ProgressHandler percent) = 0;
  virtual WString GetDownloadBaseUrl() = 0;
  virtual WString GetBetaDownloadUrl() = 0;
  virtual WString GetDialogWindowName() = 0;
  virtual int32_t GetReCheckTime() = 0;
  virtual uint32_t GetStatusBarTextColor() = 0;
  virtual int32_t GetUpdateFlag(const WString& root) = 0;
  virtual void SetUpdateFlag(const WString& root, int32_t value) = 0;
  virtual void SetUploadLogFlag(const WString& root) = 0;
  virtual bool IsVersionInfoMissing(const WString& root) = 0;
  virtual void CreateEmptyFile(const WString& path) = 0;
  virtual void SetEndSession() = 0;
  virtual bool IsEndSession() = 0;

  // Pack lists.
  virtual bool IsForcePackListValid(const WString& listPath) = 0;
  virtual bool GetNeedPackFiles(const WString& listPath, const WString& versionFile, std::vector<ServicePack>& packs,
                                int32_t& serverVersion, int32_t& localVersion, bool forced) = 0;

  // Staging.
  virtual bool UpdateToReadyDir(const std::vector<WString>& files, const WString& root, const WString& unzipDir,
                                const WString& readyDir) = 0;
  virtual bool HasRoomToStage(const std::vector<WString>& files, const WString& root, const WString& unzipDir,
                              const WString& readyDir) = 0;
  virtual bool DeleteDirectory(const WString& dir) = 0;
  virtual bool FlushStaged(const WString& root, const WString& readyDir) = 0;

  // Applying and the record file.
  virtual bool UpdateReadyToReal(const WString& readyDir, const WString& root, const WString& recordPath) = 0;
  virtual bool IsRecordComplete(const WString& recordPath) = 0;
  virtual bool ProcessRecordFile(const WString& recordPath, const WString& clientExe, bool& clientInRecord) = 0;
  virtual bool EnableClientExe(const WString& root, bool keepNew) = 0;
  virtual WString GetClientExePath(const WString& root) = 0;
  virtual void ClearUpdateDir(const WString& updateDir) = 0;

  // The client's files and start.
  virtual bool IsNeedRepair(const WString& root) = 0;
  virtual bool ForbidClientExe(const WString& root, const WString& recordPath) = 0;
  virtual bool IsClientExeForbidden(const WString& root) = 0;
  virtual bool RunClientApp(const WString& root) = 0;
  virtual int32_t GetFailStartupCount(const WString& root) = 0;
  virtual void SetFailStartupCount(const WString& root, int32_t count) = 0;

  // The upgrade report.
  virtual void AddProcessRecord(int32_t code, bool success, int32_t spendMs) = 0;
  virtual void SetUpgradeInfo(const std::string& after, const std::string& before, bool need, int32_t spend) = 0;
  virtual bool WriteUpgradeDetail(const WString& root) = 0;

  // Network: one download object per run, made with the proxy file applied.
  virtual void NewNet(const WString& proxyFile) = 0;
  virtual void DownloadGrayUserInfo(bool& grayUser, WString& grayUrl) = 0;
  virtual bool Download(const WString& url, const WString& host, const WString& localPath, bool& resume,
                        std::atomic<bool>& cancel) = 0;
  virtual bool DowndloadPacksXml(const WString& url, const WString& localPath, WString& resolved, bool allowDns,
                                 std::atomic<bool>& cancel) = 0;
  // Status texts go to show, percents to percent.
  virtual bool DowndloadZipFiles(const WString& resolved, const WString& baseUrl, const WString& updateDir,
                                 const std::vector<ServicePack>& packs, std::vector<WString>& files,
                                 const std::function<void(const WString&)>& show, const ProgressHandler& percent,
                                 std::atomic<bool>& cancel) = 0;
  // Signed pack lists (PACK_PUBLIC_KEYS): the list just downloaded from url
  // comes with a valid signature; the downloaded packs match their sha256.
  // Both accept everything while no key is configured. Every implementation
  // decides them itself: there is no default that would skip them.
  virtual bool VerifySignedList(const WString& url, const WString& localList, const WString& resolved, bool forced,
                                std::atomic<bool>& cancel) = 0;
  virtual bool CheckPackSha256(const WString& baseUrl, const std::vector<ServicePack>& packs,
                               const std::vector<WString>& files) = 0;

  // Processes, the instance mutex and windows of other processes.
  virtual std::vector<ProcessEntry> ProcessSnapshot() = 0;
  virtual WString ProcessImagePath(uint32_t pid) = 0;  // empty when unreadable
  virtual void TerminateProcess(uint32_t pid) = 0;
  virtual bool IsProcessRunning(uint32_t pid) = 0;
  virtual bool CreateProcess(const WString& cmdLine) = 0;  // detached
  virtual uint32_t SelfPid() = 0;
  virtual WString SelfPath() = 0;
  // 0 when the mutex could not be made; existed tells that another process holds it.
  virtual MutexHandle CreateNamedMutex(const WString& name, bool& existed) = 0;
  virtual void CloseMutex(MutexHandle h) = 0;
  virtual plat::HWND FindWindowByTitle(const WString& title) = 0;
  virtual uint32_t WindowProcessId(plat::HWND wnd) = 0;  // 0 for no window
};

// The real operations on the window's COpFile.
std::unique_ptr<CDriverOps> CreateDriverOps(COpFile& opFile);

}  // namespace quillup
