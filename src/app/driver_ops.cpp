// The real operations behind the driver's seam: COpFile, CNet with the
// package download, and the platform's processes, mutex and windows.
#include "app/driver_ops.h"

#include <map>
#include <memory>

#include "app/download.h"
#include "app/signed_download.h"
#include "net/gray.h"
#include "net/net.h"
#include "platform/mutex.h"
#include "platform/process.h"
#include "window/window.h"
#include "support/path.h"

namespace quillup {

namespace {

class CRealDriverOps : public CDriverOps {
 public:
  explicit CRealDriverOps(COpFile& op) : m_op(op) {}

  bool Init(const WString& root, ProgressHandler percent) override { return m_op.Init(root, std::move(percent)); }
  WString GetDownloadBaseUrl() override { return m_op.GetDownloadBaseUrl(); }
  WString GetBetaDownloadUrl() override { return m_op.GetBetaDownloadUrl(); }
  WString GetDialogWindowName() override { return m_op.GetDialogWindowName(); }
  int32_t GetReCheckTime() override { return m_op.GetReCheckTime(); }
  uint32_t GetStatusBarTextColor() override { return m_op.GetStatusBarTextColor(); }
  int32_t GetUpdateFlag(const WString& root) override { return m_op.GetUpdateFlag(root); }
  void SetUpdateFlag(const WString& root, int32_t v) override { m_op.SetUpdateFlag(root, v); }
  void SetUploadLogFlag(const WString& root) override { m_op.SetUploadLogFlag(root); }
  bool IsVersionInfoMissing(const WString& root) override { return m_op.IsVersionInfoMissing(root); }
  void CreateEmptyFile(const WString& path) override { m_op.CreateEmptyFile(path); }
  void SetEndSession() override { m_op.SetEndSession(); }
  bool IsEndSession() override { return m_op.IsEndSession(); }

  bool IsForcePackListValid(const WString& list) override { return m_op.IsForcePackListValid(list); }
  bool GetNeedPackFiles(const WString& list, const WString& versionFile, std::vector<ServicePack>& packs,
                        int32_t& server, int32_t& local, bool forced) override {
    return m_op.GetNeedPackFiles(list, versionFile, packs, server, local, forced);
  }

  bool UpdateToReadyDir(const std::vector<WString>& files, const WString& root, const WString& unzipDir,
                        const WString& readyDir) override {
    return m_op.UpdateToReadyDir(files, root, unzipDir, readyDir);
  }
  bool DeleteDirectory(const WString& dir) override { return m_op.DeleteDirectory(dir); }
  bool HasRoomToStage(const std::vector<WString>& files, const WString& root, const WString& unzipDir,
                      const WString& readyDir) override {
    return m_op.HasRoomToStage(files, root, unzipDir, readyDir);
  }
  bool FlushStaged(const WString& root, const WString& readyDir) override { return m_op.FlushStaged(root, readyDir); }

  bool UpdateReadyToReal(const WString& ready, const WString& root, const WString& record) override {
    return m_op.UpdateReadyToReal(ready, root, record);
  }
  bool IsRecordComplete(const WString& record) override { return m_op.IsRecordComplete(record); }
  bool ProcessRecordFile(const WString& record, const WString& clientExe, bool& inRecord) override {
    return m_op.ProcessRecordFile(record, clientExe, inRecord);
  }
  bool EnableClientExe(const WString& root, bool keepNew) override { return m_op.EnableClientExe(root, keepNew); }
  WString GetClientExePath(const WString& root) override { return m_op.GetClientExePath(root); }
  void ClearUpdateDir(const WString& dir) override { m_op.ClearUpdateDir(dir); }

  bool IsNeedRepair(const WString& root) override { return m_op.IsNeedRepair(root); }
  bool ForbidClientExe(const WString& root, const WString& record) override {
    return m_op.ForbidClientExe(root, record);
  }
  bool IsClientExeForbidden(const WString& root) override { return m_op.IsClientExeForbidden(root); }
  bool RunClientApp(const WString& root) override { return m_op.RunClientApp(root); }
  int32_t GetFailStartupCount(const WString& root) override { return m_op.GetFailStartupCount(root); }
  void SetFailStartupCount(const WString& root, int32_t n) override { m_op.SetFailStartupCount(root, n); }

  void AddProcessRecord(int32_t code, bool ok, int32_t spend) override { m_op.AddProcessRecord(code, ok, spend); }
  void SetUpgradeInfo(const std::string& after, const std::string& before, bool need, int32_t spend) override {
    m_op.SetUpgradeInfo(after, before, need, spend);
  }
  bool WriteUpgradeDetail(const WString& root) override { return m_op.WriteUpgradeDetail(root); }

  void NewNet(const WString& proxyFile) override {
    m_net = std::make_unique<CNet>();
    m_net->SetProxy(proxyFile);
  }
  void DownloadGrayUserInfo(bool& gray, WString& url) override { ::DownloadGrayUserInfo(gray, url); }
  bool Download(const WString& url, const WString& host, const WString& path, bool& resume,
                std::atomic<bool>& cancel) override {
    return m_net->Download(url, host, path, nullptr, &resume, &cancel);
  }
  bool DowndloadPacksXml(const WString& url, const WString& path, WString& resolved, bool allowDns,
                         std::atomic<bool>& cancel) override {
    return packdl::DowndloadPacksXml(*m_net, url, path, resolved, allowDns, cancel);
  }
  bool DowndloadZipFiles(const WString& resolved, const WString& baseUrl, const WString& updateDir,
                         const std::vector<ServicePack>& packs, std::vector<WString>& files,
                         const std::function<void(const WString&)>& show, const ProgressHandler& percent,
                         std::atomic<bool>& cancel) override {
    // The SHA-256 a signed list asks for is taken in the same pass as the MD5.
    return packdl::DowndloadZipFiles(*m_net, resolved, baseUrl, updateDir, packs, files, show, percent, cancel,
                                     m_op.IsListSigningOn() ? &m_packSha256 : nullptr);
  }
  bool VerifySignedList(const WString& url, const WString& localList, const WString& resolved, bool forced,
                        std::atomic<bool>& cancel) override {
    if (!m_op.IsListSigningOn()) return true;
    return packdl::VerifySignedList(*m_net, m_op, url, localList, resolved, forced, cancel);
  }
  bool CheckPackSha256(const WString& baseUrl, const std::vector<ServicePack>& packs,
                       const std::vector<WString>& files) override {
    if (!m_op.IsListSigningOn()) return true;
    return packdl::CheckPackSha256(baseUrl, packs, files, &m_packSha256);
  }

  std::vector<ProcessEntry> ProcessSnapshot() override {
    std::vector<ProcessEntry> all;
    if (!plat::SnapshotProcesses(all)) all.clear();
    return all;
  }
  WString ProcessImagePath(uint32_t pid) override { return plat::ProcessImagePath(pid); }
  void TerminateProcess(uint32_t pid) override { plat::TerminateProcess(pid); }
  bool IsProcessRunning(uint32_t pid) override { return plat::IsProcessActive(pid); }
  bool CreateProcess(const WString& cmdLine) override { return plat::CreateDetachedProcess(cmdLine); }
  uint32_t SelfPid() override { return plat::CurrentProcessId(); }
  WString SelfPath() override { return GetSelfPath(); }

  MutexHandle CreateNamedMutex(const WString& name, bool& existed) override {
    existed = false;
    auto m = std::make_unique<plat::NamedMutex>();
    switch (m->Create(name)) {
      case plat::NamedMutex::kCreated: break;
      case plat::NamedMutex::kAlreadyExists: existed = true; return 0;
      default: return 0;
    }
    MutexHandle h = ++m_lastMutex;
    m_mutexes[h] = std::move(m);
    return h;
  }
  void CloseMutex(MutexHandle h) override { m_mutexes.erase(h); }
  plat::HWND FindWindowByTitle(const WString& title) override { return plat::FindWindow(title); }
  uint32_t WindowProcessId(plat::HWND wnd) override {
    if (!plat::IsWindow(wnd)) return 0;
    uint32_t pid = 0;
    plat::GetWindowThreadProcessId(wnd, &pid);
    return pid;
  }

 private:
  COpFile& m_op;
  std::unique_ptr<CNet> m_net;
  std::vector<std::string> m_packSha256;  // of the last DowndloadZipFiles
  std::map<MutexHandle, std::unique_ptr<plat::NamedMutex>> m_mutexes;
  MutexHandle m_lastMutex = 0;
};

}  // namespace

std::unique_ptr<CDriverOps> CreateDriverOps(COpFile& opFile) { return std::make_unique<CRealDriverOps>(opFile); }

}  // namespace quillup
