// COpFile: every local file operation of an update. The operations live
// in one source per concern: config.cpp, servicepack.cpp, staging.cpp,
// apply.cpp, client.cpp, report.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/progress.h"
#include "base/path_text.h"
#include "base/text.h"

// Companions of a swapped file and of the client's executable, and the
// record file in the update directory.
inline const WString kOldBak = u".oldbak";  // the file the swap replaced
inline const WString kNewBak = u".newbak";  // the staged file on its way in
inline const WString kForbid = u".forbid";  // the client's executable while it is disabled
inline const WString kParked = u".update";  // the updater's copy while the client comes back
inline const WString kRecordName = u"tarvex.rcd";

// One chosen pack.
struct ServicePack {
  WString strName;
  int32_t nSize = 0;
  WString strMd5;
  bool bForce = false;
  WString strSha256;  // attribute sha256 of a signed list, may be empty
};

// The parsed pack list.
struct ServicePackInfo {
  WString strBuildOption;
  WString strId;
  std::vector<ServicePack> vecPacks;
};

// One recorded step of a run, for the upgrade report.
struct ProcessRecord {
  int32_t nCode = 0;
  std::string strMemo;
  bool bSuccess = false;
  int32_t nTime = 0;
  int32_t nSpend = 0;
};

class CBitmap;

class COpFile {
 public:
  COpFile();

  // ---- configuration (config.cpp) ----
  // Files of the installation directory, appended to the root.
  inline static const WString kQuillupCfgIni = NativeSeparators(u"/config/quillupcfg.ini");
  inline static const WString kQuillupCfgExIni = NativeSeparators(u"/config/quillupcfg_ex.ini");
  inline static const WString kUpdateIni = NativeSeparators(u"/config/update.ini");
  inline static const WString kInternalDownloadUrlIni = NativeSeparators(u"/InternalDownloadURL.ini");
  static constexpr const char16_t* kCfgSection = u"QUILLUP_CFG";

  bool Init(const WString& rootDir, ProgressHandler progress = nullptr);
  bool ReadQuillupCfgIni(const WString& cfgPath);
  WString GetDownloadBaseUrl() const;
  WString GetBetaDownloadUrl() const;
  WString GetDialogWindowName() const;
  int32_t GetDelayTipTime() const;
  int32_t GetReCheckTime() const;
  uint32_t GetStatusBarTextColor() const;
  int32_t GetUpdateFlag(const WString& rootDir) const;
  void SetUpdateFlag(const WString& rootDir, int32_t value);
  void SetUploadLogFlag(const WString& rootDir);
  bool IsVersionInfoMissing(const WString& rootDir) const;
  WString GetCurrentPackName(const WString& updateIniPath) const;
  void CreateEmptyFile(const WString& path);
  // The skin file: root (trailing separators dropped), kPathSep, SPLASH_BMP_FILE.
  WString GetSplashBmpPath(const WString& rootDir) const;
  // Defined with the UI's CBitmap: it loads GetSplashBmpPath into bitmap.
  bool LoadSplashBitmap(const WString& rootDir, CBitmap& bitmap);
  void SetEndSession() { m_bEndSession = true; }
  bool IsEndSession() const { return m_bEndSession; }
  const WString& GetId() const { return m_strId; }
  const WString& GetVersion() const { return m_strVersion; }
  const WString& GetBinFile() const { return m_strBinFile; }
  const WString& GetSplashBmpFile() const { return m_strSplashBmpFile; }
  const WString& GetPackPublicKeys() const { return m_strPackPublicKeys; }

  // ---- service-pack list and selection (servicepack.cpp) ----
  // True when the list is well formed and holds at least one pack.
  bool ParseServicePackList(const WString& listPath, ServicePackInfo& info) const;
  // A usable forced list: parses, QUILLUP_ID > 0, one or two packs.
  bool IsForcePackListValid(const WString& listPath) const;
  // True when packs must be downloaded and applied; packs in that order.
  bool GetNeedPackFiles(const WString& listPath, const WString& updateIniPath, std::vector<ServicePack>& packs,
                        int32_t& serverVersion, int32_t& localVersion, bool forced) const;

  // ---- signed pack lists (signedlist.cpp) ----
  // PACK_PUBLIC_KEYS is set: every list must come signed.
  bool IsListSigningOn() const;
  // With signing on, a downloaded list is usable only when sigPath holds a
  // signature of its exact bytes by one of the keys, every pack carries a
  // sha256, a normal list's QUILLUP_ID is not below the installed one and
  // a forced list's expires (UTC seconds) is still ahead of now. False
  // with the reason ("missing signature", "bad signature ...", ...).
  bool CheckSignedList(const WString& listPath, const WString& sigPath, bool forced, int64_t now,
                       std::string& reason) const;

  // ---- staging: unzip and delta merge (staging.cpp) ----
  bool UpdateToReadyDir(const std::vector<WString>& packs, const WString& installDir, const WString& unzipDir,
                        const WString& readyDir);
  bool UnzipFile(const WString& archive, const WString& targetDir, int fromPercent, int toPercent);
  bool MergeDelta(const WString& delta, const WString& source, const WString& output);
  void ListFiles(const WString& dir, std::vector<WString>& out);
  void ListDirectories(const WString& dir, std::vector<WString>& out);
  bool DeleteDirectory(const WString& dir);
  bool CreateMulDirectory(const WString& dir);
  bool FlushVolume();
  // The given files and folders, and the folders that name them, reach the
  // disk: one volume flush where it reaches the disk, else each of them.
  bool MakeDurable(const WString& installDir, const std::vector<WString>& paths);
  // Every file and folder of the staged tree reaches the disk.
  bool FlushStaged(const WString& installDir, const WString& readyDir);
  // Whether the installation's file system can hold what staging the packs
  // and disabling the client newly write (the trees of an earlier staging
  // count as free); logs the two sizes when it cannot.
  bool HasRoomToStage(const std::vector<WString>& packs, const WString& installDir, const WString& unzipDir,
                      const WString& readyDir);

  // ---- applying with backup and the record file (apply.cpp) ----
  bool UpdateReadyToReal(const WString& readyDir, const WString& installDir, const WString& recordPath);
  bool IsRecordComplete(const WString& recordPath) const;
  bool ProcessRecordFile(const WString& recordPath, const WString& clientExePath, bool& clientInRecord);
  bool EnableClientExe(const WString& installDir, bool keepNew);
  WString GetClientExePath(const WString& installDir) const;
  bool MoveFileW(const WString& from, const WString& to);
  // The record goes at once; the rest of the tree is moved aside and
  // deleted on a thread of its own (WaitForCleanup, or the destructor,
  // waits for it).
  void ClearUpdateDir(const WString& updateDir);
  void WaitForCleanup();
  bool CopyFileFlushed(const WString& from, const WString& to, bool failIfExists, bool throughMemory);

  // ---- client integrity check and launch (client.cpp) ----
  bool IsNeedRepair(const WString& installDir) const;
  // The files config/neededfilelist.lst names (relative, "/" separated);
  // false when the list cannot be read. The pack tool checks trees with it.
  static bool ReadRequiredFiles(const WString& listPath, std::vector<WString>& files);
  bool ForbidClientExe(const WString& installDir, const WString& recordPath);
  bool IsClientExeForbidden(const WString& installDir) const;
  void DeleteForbidFile(const WString& installDir);
  bool RunClientApp(const WString& installDir);
  int32_t GetFailStartupCount(const WString& installDir) const;
  void SetFailStartupCount(const WString& installDir, int32_t count);

  // ---- upgrade report (report.cpp) ----
  void AddProcessRecord(int32_t code, bool success, int32_t spend);
  void SetUpgradeInfo(const std::string& afterVersion, const std::string& beforeVersion, bool needUpgrade,
                      int32_t spend);
  bool WriteUpgradeDetail(const WString& installDir);
  const std::vector<ProcessRecord>& GetProcessRecords() const { return m_vecProcess; }

 private:
  void PostProgress(int percent) const;

  ProgressHandler m_progress;
  // Set by the window thread, read by the worker inside its operations.
  std::atomic<bool> m_bEndSession{false};
  WString m_strDelayTipTime;
  WString m_strReCheckTime;
  WString m_strDefaultDownloadUrl;
  WString m_strOutsideDownloadUrl;
  WString m_strOutsideDownloadUrlBeta;
  WString m_strBinFile;
  WString m_strSplashBmpFile;
  WString m_strDialogWindowName;
  WString m_strVersion;
  WString m_strStatusBarTextColor;
  WString m_strId;
  WString m_strInstalledId;     // QUILLUP_ID as configured, even when m_strId says "0"
  WString m_strPackPublicKeys;  // PACK_PUBLIC_KEYS
  std::vector<ProcessRecord> m_vecProcess;
  std::string m_strAfterVersion;
  std::string m_strBeforeVersion;
  bool m_bNeedUpgrade = false;
  int32_t m_nSpendTime = 0;
  std::vector<WString> m_vecDriveRoots;
  // Deletes a cleared update directory. A copy starts without one; an
  // object waits for its own before it is replaced or destroyed.
  struct CleanupThread {
    std::thread thread;
    CleanupThread() = default;
    CleanupThread(const CleanupThread&) {}
    CleanupThread& operator=(const CleanupThread&) {
      Join();
      return *this;
    }
    ~CleanupThread() { Join(); }
    void Join() {
      if (thread.joinable()) thread.join();
    }
  };
  CleanupThread m_cleanup;

  // ---- private helpers of servicepack.cpp ----

  // ---- private helpers of staging.cpp ----
  // Stages one archive into the ready tree; progress runs from one
  // percent to the other.
  bool StageArchive(const WString& archive, const WString& installDir, const WString& unzipDir,
                    const WString& readyDir, int fromPercent, int toPercent);
  friend class StagingTest;  // records the progress of a test

  // ---- private helpers of apply.cpp ----
  // Brings the real client executable back from ".forbid" (exe is parked
  // at ".update" meanwhile); false leaves exe as it was.
  bool RestoreForbiddenExe(const WString& exe);
  // UpdateReadyToReal's steps.
  struct SwapPlan;
  bool PlanSwap(const WString& readyDir, const WString& installDir, SwapPlan& plan);
  bool ClearStaleBackups(const WString& readyDir, const WString& installDir, SwapPlan& plan,
                         std::vector<WString>& staleGone);
  bool MoveIntoPlace(const WString& readyDir, const WString& installDir, const SwapPlan& plan,
                     std::vector<WString>& backups);
  void DiscardBackups(const std::vector<WString>& backups, const WString& recordPath);

  // ---- private helpers of client.cpp ----

  // ---- private helpers of report.cpp ----
};
