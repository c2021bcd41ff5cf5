// Stand-ins for the driver's seam: the other subsystems, the processes and
// the window. They keep what the driver did so the tests can check it.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/constants.h"
#include "app/driver_ops.h"
#include "app/update_dlg.h"
#include "app/update_view.h"
#include "common/testutil.h"
#include "platform/files.h"
#include "support/log.h"

namespace fakes {

using quillup::MutexHandle;
using quillup::ProcessEntry;

struct Record {
  int code;
  bool success;
};

class FakeOps : public quillup::CDriverOps {
 public:
  // ---- configuration ----
  bool initOk = true;
  WString initRoot;
  WString baseUrl = u"http://127.0.0.1:9/base";
  WString betaUrl = u"http://127.0.0.1:9/beta";
  WString dialogName = u"升级窗口";
  int32_t recheck = 1200;
  uint32_t color = 0xD2D2D2;
  int32_t flag = 0;
  std::vector<int32_t> flagWrites;
  bool uploadLog = false;
  bool versionMissing = false;
  bool endSession = false;
  std::vector<WString> emptyFilesCreated;

  // ---- lists and selection ----
  bool forceValid = false;
  bool need = false;
  std::vector<ServicePack> chosen;
  int32_t serverVersion = 3, localVersion = 1;
  std::vector<bool> forcedArgs;  // the forced flag of each selection
  std::function<void(int cycle)> onSelect;

  // ---- staging and applying ----
  bool stageOk = true, flushOk = true, roomOk = true;
  std::vector<bool> forbidResults;  // consumed front first; true when empty
  int forbidCalls = 0;
  bool swapOk = true;
  bool swapLeavesRecord = true;  // a failed swap leaves its record file
  bool recordComplete = false;
  bool processRecordOk = true;
  bool clientInRecord = false;
  bool enableOk = true;
  std::vector<bool> enableKeepNew;
  int processRecordCalls = 0;
  std::vector<WString> clearedDirs;
  std::vector<WString> deletedDirs;
  bool forbidden = false;
  std::function<void()> onSwap;

  // ---- client ----
  bool needRepair = false;
  int repairChecks = 0;
  int failCount = 0;
  bool runClientOk = true;
  int runClientCalls = 0;

  // ---- report ----
  std::vector<Record> records;
  std::string after, before;
  bool reportNeed = false;
  int reportWrites = 0;

  // ---- network ----
  int netsMade = 0;
  WString proxyFile;
  bool gray = false;
  WString grayUrl;
  int grayQueries = 0;
  std::function<bool(const WString& url)> download = [](const WString&) { return false; };
  std::vector<WString> downloadUrls;
  std::function<bool(const WString& url, WString& resolved)> packsXml = [](const WString&, WString&) {
    return true;
  };
  std::vector<WString> packsXmlUrls;
  std::function<bool(const std::vector<ServicePack>&, std::vector<WString>&)> zipFiles =
      [](const std::vector<ServicePack>& p, std::vector<WString>& f) {
        for (auto& x : p) f.push_back(u"/archives/" + x.strName + u".zip");
        return true;
      };
  WString zipBase, zipResolved;
  std::atomic<bool>* cancelSeen = nullptr;

  // ---- processes and windows ----
  std::vector<ProcessEntry> procs;
  std::map<uint32_t, WString> images;
  std::set<uint32_t> running;
  std::vector<uint32_t> terminated;
  std::vector<WString> created;
  bool createOk = true;
  uint32_t selfPid = 100;
  WString selfPath = u"/inst/Quillup";
  bool mutexExists = false, mutexFails = false;
  int mutexesMade = 0;
  std::set<MutexHandle> openMutexes;
  std::map<WString, plat::HWND> windows;
  std::map<plat::HWND, uint32_t> owners;

  // Order of the interesting calls, for sequence checks.
  std::vector<std::string> trace;

  bool Init(const WString& root, ProgressHandler) override {
    initRoot = root;
    trace.push_back("Init");
    return initOk;
  }
  WString GetDownloadBaseUrl() override { return baseUrl; }
  WString GetBetaDownloadUrl() override { return betaUrl; }
  WString GetDialogWindowName() override { return dialogName; }
  int32_t GetReCheckTime() override { return recheck; }
  uint32_t GetStatusBarTextColor() override { return color; }
  int32_t GetUpdateFlag(const WString&) override { return flag; }
  void SetUpdateFlag(const WString&, int32_t v) override {
    flag = v;
    flagWrites.push_back(v);
    trace.push_back("flag" + std::to_string(v));
  }
  void SetUploadLogFlag(const WString&) override { uploadLog = true; }
  bool IsVersionInfoMissing(const WString&) override { return versionMissing; }
  void CreateEmptyFile(const WString& p) override { emptyFilesCreated.push_back(p); }
  void SetEndSession() override { endSession = true; }
  bool IsEndSession() override { return endSession; }

  bool IsForcePackListValid(const WString&) override { return forceValid; }
  bool GetNeedPackFiles(const WString&, const WString&, std::vector<ServicePack>& packs, int32_t& server,
                        int32_t& local, bool forced) override {
    forcedArgs.push_back(forced);
    if (onSelect) onSelect((int)forcedArgs.size());
    packs = need ? chosen : std::vector<ServicePack>();
    server = serverVersion;
    local = localVersion;
    trace.push_back("select");
    return need;
  }

  bool UpdateToReadyDir(const std::vector<WString>&, const WString&, const WString&, const WString&) override {
    trace.push_back("stage");
    return stageOk;
  }
  bool HasRoomToStage(const std::vector<WString>&, const WString&, const WString&, const WString&) override {
    trace.push_back("room");
    return roomOk;
  }
  bool DeleteDirectory(const WString& d) override {
    deletedDirs.push_back(d);
    return true;
  }
  bool FlushStaged(const WString&, const WString&) override { return flushOk; }

  bool UpdateReadyToReal(const WString&, const WString&, const WString& record) override {
    trace.push_back("swap");
    if (onSwap) onSwap();
    if (!swapOk && swapLeavesRecord) testutil::WriteFile(NativePathUnchecked(record), "1|x|\r\n");
    return swapOk;
  }
  bool IsRecordComplete(const WString&) override { return recordComplete; }
  bool ProcessRecordFile(const WString&, const WString&, bool& inRecord) override {
    ++processRecordCalls;
    trace.push_back("processRecord");
    inRecord = clientInRecord;
    return processRecordOk;
  }
  bool EnableClientExe(const WString&, bool keepNew) override {
    enableKeepNew.push_back(keepNew);
    return enableOk;
  }
  WString GetClientExePath(const WString& root) override { return root + u"/bin/client"; }
  void ClearUpdateDir(const WString& d) override {
    clearedDirs.push_back(d);
    trace.push_back("clear");
  }

  bool IsNeedRepair(const WString&) override {
    ++repairChecks;
    return needRepair;
  }
  bool ForbidClientExe(const WString&, const WString&) override {
    ++forbidCalls;
    trace.push_back("forbid");
    if (forbidResults.empty()) return true;
    bool r = forbidResults.front();
    forbidResults.erase(forbidResults.begin());
    return r;
  }
  bool IsClientExeForbidden(const WString&) override { return forbidden; }
  bool RunClientApp(const WString&) override {
    ++runClientCalls;
    return runClientOk;
  }
  int32_t GetFailStartupCount(const WString&) override { return failCount; }
  void SetFailStartupCount(const WString&, int32_t n) override { failCount = n; }

  void AddProcessRecord(int32_t code, bool ok, int32_t) override { records.push_back({code, ok}); }
  void SetUpgradeInfo(const std::string& a, const std::string& b, bool n, int32_t) override {
    after = a;
    before = b;
    reportNeed = n;
  }
  bool WriteUpgradeDetail(const WString&) override {
    ++reportWrites;
    return true;
  }

  void NewNet(const WString& proxy) override {
    ++netsMade;
    proxyFile = proxy;
  }
  void DownloadGrayUserInfo(bool& g, WString& url) override {
    ++grayQueries;
    if (gray) {
      g = true;
      url = grayUrl;
    }
  }
  bool Download(const WString& url, const WString&, const WString&, bool&, std::atomic<bool>& cancel) override {
    cancelSeen = &cancel;
    downloadUrls.push_back(url);
    return download(url);
  }
  bool DowndloadPacksXml(const WString& url, const WString&, WString& resolved, bool,
                         std::atomic<bool>&) override {
    packsXmlUrls.push_back(url);
    return packsXml(url, resolved);
  }
  bool DowndloadZipFiles(const WString& resolved, const WString& base, const WString&,
                         const std::vector<ServicePack>& packs, std::vector<WString>& files,
                         const std::function<void(const WString&)>&, const ProgressHandler&,
                         std::atomic<bool>&) override {
    trace.push_back("zip");
    zipBase = base;
    zipResolved = resolved;
    files.clear();
    return zipFiles(packs, files);
  }

  // Signing is off in these runs: every list and pack passes.
  bool VerifySignedList(const WString&, const WString&, const WString&, bool, std::atomic<bool>&) override {
    return true;
  }
  bool CheckPackSha256(const WString&, const std::vector<ServicePack>&, const std::vector<WString>&) override {
    return true;
  }

  std::vector<ProcessEntry> ProcessSnapshot() override { return procs; }
  WString ProcessImagePath(uint32_t pid) override {
    auto it = images.find(pid);
    return it == images.end() ? WString() : it->second;
  }
  void TerminateProcess(uint32_t pid) override {
    terminated.push_back(pid);
    running.erase(pid);
  }
  bool IsProcessRunning(uint32_t pid) override { return running.count(pid) > 0; }
  bool CreateProcess(const WString& cmd) override {
    created.push_back(cmd);
    return createOk;
  }
  uint32_t SelfPid() override { return selfPid; }
  WString SelfPath() override { return selfPath; }
  MutexHandle CreateNamedMutex(const WString&, bool& existed) override {
    existed = mutexExists;
    if (mutexFails) return 0;
    MutexHandle h = (MutexHandle)++mutexesMade;
    openMutexes.insert(h);
    return h;
  }
  void CloseMutex(MutexHandle h) override { openMutexes.erase(h); }
  plat::HWND FindWindowByTitle(const WString& title) override {
    auto it = windows.find(title);
    return it == windows.end() ? 0 : it->second;
  }
  uint32_t WindowProcessId(plat::HWND w) override {
    auto it = owners.find(w);
    return it == owners.end() ? 0 : it->second;
  }
};

// Records what the driver shows; its handle delivers messages straight to
// the dialog's window procedure on the calling thread.
class FakeView : public quillup::CUpdateView {
 public:
  explicit FakeView(quillup::CUpdateDlg& dlg) : m_dlg(dlg) {
    m_hwnd = plat::RegisterMessageHandler([this](uint32_t msg, plat::WPARAM w, plat::LPARAM l) -> plat::LRESULT {
      // Posted timer ticks are counted; the test hands them on.
      if (msg == plat::WM_TIMER && w == quillup::TIMER_WAIT_WORKER) return ++waitTicksPosted, 0;
      return m_dlg.WindowProc(msg, w, l);
    });
  }
  ~FakeView() override { plat::UnregisterMessageHandler(m_hwnd); }

  std::vector<WString> statuses;
  std::vector<WString> percents;
  bool stopEnabled = true;
  std::vector<bool> stopChanges;
  WString title;
  bool tool = false;
  bool visible = true;
  quillup::WndRect rect{100, 100, 610, 416};
  std::set<uint32_t> timers;
  std::vector<uint32_t> timersStarted;
  int endResult = 0;
  int endCalls = 0;
  std::vector<WString> boxes;
  std::deque<int> boxAnswers;  // IDOK when empty
  int tipAnswer = quillup::IDCANCEL;
  int tipRuns = 0, tipCloses = 0, urlRuns = 0;
  bool skinLoaded = false;
  uint32_t textColor = 0;
  int activations = 0;
  std::function<bool()> pump = [] { return false; };
  std::atomic<int> waitTicksPosted{0};

  int RunModal() override { return 0; }
  void EndDialog(int r) override {
    endResult = r;
    ++endCalls;
  }
  plat::HWND Handle() override { return m_hwnd; }
  void SetIcons() override {}
  void SetTitle(const WString& t) override { title = t; }
  void LoadSkinAndLayout(const WString&) override { skinLoaded = true; }
  void SetTextColor(uint32_t c) override { textColor = c; }
  void SetStatusText(const WString& t) override { statuses.push_back(t); }
  void SetPercentText(const WString& t) override { percents.push_back(t); }
  void EnableStop(bool e) override {
    stopEnabled = e;
    stopChanges.push_back(e);
  }
  quillup::WndRect EnterBackgroundLook(const WString& t) override {
    quillup::WndRect had = rect;
    title = t;
    tool = true;
    rect = quillup::WndRect();
    visible = true;
    return had;
  }
  void ReturnToForegroundLook(const WString& t, const quillup::WndRect& r) override {
    title = t;
    tool = false;
    rect = r;
    visible = true;
    ++activations;
  }
  void SetTimer(uint32_t id, uint32_t) override {
    timers.insert(id);
    timersStarted.push_back(id);
  }
  void KillTimer(uint32_t id) override { timers.erase(id); }
  bool PumpPendingMessages() override { return pump(); }
  bool unattended = false;
  bool IsUnattended() override { return unattended; }
  int MessageBox(const WString& text, const WString&, uint32_t) override {
    boxes.push_back(text);
    if (boxAnswers.empty()) return quillup::IDOK;
    int a = boxAnswers.front();
    boxAnswers.pop_front();
    return a;
  }
  int RunTipDlg() override {
    ++tipRuns;
    return tipAnswer;
  }
  void CloseTipDlg() override { ++tipCloses; }
  void RunUrlDlg() override { ++urlRuns; }

  bool HasStatus(const WString& s) const {
    for (auto& x : statuses)
      if (x == s) return true;
    return false;
  }

 private:
  quillup::CUpdateDlg& m_dlg;
  plat::HWND m_hwnd = 0;
};

// A dialog on a scratch installation with both stand-ins attached.
struct Harness {
  testutil::TempDir dir;
  std::unique_ptr<quillup::CUpdateDlg> dlg;
  FakeOps* ops = nullptr;
  FakeView* view = nullptr;

  explicit Harness(const WString& cmdLine = WString()) {
    dlg = std::make_unique<quillup::CUpdateDlg>(cmdLine, dir.wpath());
    auto o = std::make_unique<FakeOps>();
    auto v = std::make_unique<FakeView>(*dlg);
    ops = o.get();
    view = v.get();
    ops->selfPath = dir.wpath() + u"/Quillup";
    dlg->Attach(std::move(o), std::move(v));
    CLog::Instance()->SetPath(dir.wpath() + u"/Log/tarvex.log");
    // The files whose absence the end of a run takes as a broken installation.
    testutil::WriteFile(dir.sub("config/quillupcfg.ini"), "[QUILLUP_CFG]\n");
    testutil::WriteFile(dir.sub("Quillup"), "updater");
    testutil::WriteFile(dir.sub("bin/client"), "client");
  }
  ~Harness() {
    dlg.reset();
    CLog::Release();
  }
  WString Root() const { return dir.wpath(); }
  std::string Log() const { return testutil::ReadFile(dir.sub("Log/tarvex.log")); }
  std::string RecordPath() const { return dir.sub("update/tarvex.rcd"); }
};

}  // namespace fakes
