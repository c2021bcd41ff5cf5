// The client's processes, the record file of an interrupted run, the
// updater's own replacement and the decision to start the client at exit.
#include <cstdio>

#include "app/cmdline.h"
#include "app/constants.h"
#include "app/update_dlg.h"
#include "platform/files.h"
#include "platform/names.h"
#include "support/log.h"
#include "support/path.h"

namespace quillup {

namespace {
const char kOpRcd[] = "CUpdateDlg::ProcessRcdFile";
const char kOpTransit[] = "CUpdateDlg::RestoreFilesInTransit";
const char kOpReplace[] = "CUpdateDlg::ReplaceMySelfByCmdLine";
const char kOpRunUpdate[] = "CUpdateDlg::RunUpdateApp";
const char kOpRunClient[] = "CUpdateDlg::RunClientApp";

// True when path is name, or ends with a separator followed by name;
// compared without regard to case.
bool ImageMatchesName(const WString& path, const WString& name) {
  if (WEqualsNoCase(path, name)) return true;
  if (path.size() <= name.size()) return false;
  const size_t cut = path.size() - name.size();
  char16_t sep = path[cut - 1];
  return (sep == u'/' || sep == u'\\') && WEqualsNoCase(path.substr(cut), name);
}
}  // namespace

void CUpdateDlg::CloseClient() {
  const uint32_t pid = m_dwClientPid;
  if (pid == 0) return;
  TerminateChildrenByName(pid, names::kBrowserChild + names::kExeSuffix);
  m_ops->TerminateProcess(pid);
}

void CUpdateDlg::TerminateChildrenByName(uint32_t parentPid, const WString& name) {
  if (parentPid == 0 || name.empty()) return;
  const uint32_t self = m_ops->SelfPid();
  for (const ProcessEntry& p : m_ops->ProcessSnapshot()) {
    if (p.parentPid != parentPid || p.pid == self) continue;
    WString image = m_ops->ProcessImagePath(p.pid);
    if (image.empty()) continue;
    if (ImageMatchesName(image, name)) m_ops->TerminateProcess(p.pid);
  }
}

void CUpdateDlg::TerminateByPath(const WString& path) {
  for (const ProcessEntry& p : m_ops->ProcessSnapshot()) {
    WString image = m_ops->ProcessImagePath(p.pid);
    if (!image.empty() && WEqualsNoCase(image, path)) m_ops->TerminateProcess(p.pid);
  }
}

bool CUpdateDlg::IsClientRunning() {
  const uint32_t pid = m_dwClientPid;
  return pid != 0 && m_ops->IsProcessRunning(pid);
}

bool CUpdateDlg::ProcessRcdFile(const WString& recordPath, const WString& rootDir, bool& restored) {
  const bool wantRestored = restored;
  restored = false;
  if (!plat::PathExists(recordPath)) return true;

  SendEnableStop(false);
  const bool complete = m_ops->IsRecordComplete(recordPath);
  Status(kOpRcd, complete ? u"删除备份文件..." : u"恢复原文件...");

  bool clientInRecord = false;
  if (!m_ops->ProcessRecordFile(recordPath, m_ops->GetClientExePath(rootDir), clientInRecord)) {
    Status(kOpRcd, complete ? u"删除备份文件失败！" : u"恢复原文件失败！", LOG_ERROR);
    return false;
  }
  if (!m_ops->EnableClientExe(rootDir, complete && clientInRecord)) {
    Status(kOpRcd, u"启用客户端文件失败！", LOG_ERROR);
    return false;
  }
  ClearReadOnly(recordPath);
  plat::DeleteFile(recordPath);

  CheckIsNeedRepair();
  if (m_bClientBroken) return false;
  if (m_ops->IsVersionInfoMissing(rootDir)) {
    Status(kOpRcd, u"需要重新升级，请重启客户端。");
    return false;
  }
  Status(kOpRcd, complete ? u"删除备份文件成功。" : u"恢复原文件成功。");
  if (wantRestored && !complete) restored = true;
  return true;
}

void CUpdateDlg::RestoreFilesInTransit(const WString& recordPath) {
  std::string native;
  if (!NativePath(recordPath, native)) return;
  FILE* f = fopen(native.c_str(), "rb");
  if (!f) return;
  std::string data;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) data.append(buf, n);
  fclose(f);

  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string line = data.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.size() < 4 || line.back() != '|' || line[0] != '1' || line[1] != '|') continue;
    const WString recorded = WideFromGbk(line.substr(2, line.size() - 3));
    // The containment rule of the swap and the roll-back.
    if (!IsPathBelow(recorded, m_strRootDir)) continue;
    const WString path = FoldPath(recorded);
    const WString backup = path + kOldBak;
    if (plat::PathExists(path) || !plat::PathExists(backup)) continue;
    if (plat::MoveNoReplace(backup, path)) LogWrite(LOG_INFO, kOpTransit, u"恢复中断的文件:" + path);
  }
}

bool CUpdateDlg::ReplaceMySelfByCmdLine() {
  WString target;
  bool autoFlag = true;
  if (!ParseReplace(m_strCmdLine, target, autoFlag)) return false;

  // Only an existing updater is replaced: a folder would be moved aside
  // and a missing or empty path would put a copy where nothing was.
  const char* refusal = target.empty()                ? "no path follows the switch"
                        : plat::IsDirectory(target)   ? "it is a folder"
                        : !plat::IsRegularFile(target) ? "no such file"
                                                       : nullptr;
  if (refusal) {
    LogWrite(LOG_ERROR, kOpReplace, u"拒绝替换:" + target + u" (" + W(refusal) + u")");
    fprintf(stderr, "Quillup: /replace: refused for \"%s\": %s; it names the updater executable to replace\n",
            Utf8FromWide(target).c_str(), refusal);
    SetExitCode(kExitReplaceFailed);
    return true;
  }

  const WString source = m_ops->SelfPath();
  const WString newCopy = target + kNewBak;
  const WString oldCopy = target + kOldBak;

  ClearReadOnly(newCopy);
  if (!m_opFile.CopyFileFlushed(source, newCopy, false, true)) {
    LogWrite(LOG_ERROR, kOpReplace, u"复制文件失败:" + source + u"->" + newCopy);
    SetExitCode(kExitReplaceFailed);
    return true;
  }
  ClearReadOnly(oldCopy);
  plat::DeleteFile(oldCopy);
  plat::MoveNoReplace(target, oldCopy);
  if (!plat::MoveNoReplace(newCopy, target)) {
    LogWrite(LOG_ERROR, kOpReplace, u"文件改名失败:" + newCopy + u"->" + target);
    SetExitCode(kExitReplaceFailed);
    return true;
  }
  ClearReadOnly(oldCopy);
  plat::DeleteFile(oldCopy);
  if (!RunUpdateApp(target, autoFlag)) SetExitCode(kExitReplaceFailed);
  return true;
}

bool CUpdateDlg::RunUpdateApp(const WString& exePath, bool autoFlag) {
  if (m_hInstanceMutex != 0) {
    m_ops->CloseMutex(m_hInstanceMutex);
    m_hInstanceMutex = 0;
  }
  const WString cmdLine = exePath + u" " + (autoFlag ? kSwitchAuto : kSwitchAuto2);
  LogWrite(LOG_INFO, kOpRunUpdate, u"重启升级程序:" + cmdLine);
  if (m_ops->CreateProcess(cmdLine)) return true;
  LogWrite(LOG_ERROR, kOpRunUpdate, u"启动进程失败:" + cmdLine);
  return false;
}

bool CUpdateDlg::RunClientApp() {
  if (m_bForcedRepair || m_bClientBroken || m_hInstanceMutex == 0) return false;
  m_ops->CloseMutex(m_hInstanceMutex);
  m_hInstanceMutex = 0;

  if (IsHidden()) {
    LogWrite(LOG_INFO, kOpRunClient, u"升级界面隐藏，不启动客户端");
    return false;
  }
  if (m_ops->GetUpdateFlag(m_strRootDir) != kFlagNone) return false;
  if (plat::PathExists(m_strRootDir + kUpdateDirSuffix + u"/" + kRecordName)) {
    LogWrite(LOG_INFO, kOpRunClient, u"升级需要回滚，不启动客户端");
    return false;
  }
  if (m_ops->IsClientExeForbidden(m_strRootDir)) {
    LogWrite(LOG_INFO, kOpRunClient, u"客户端处于禁用状态，不启动");
    return false;
  }
  if (m_ops->IsVersionInfoMissing(m_strRootDir)) {
    LogWrite(LOG_INFO, kOpRunClient, u"客户端版本号处于重置状态，不启动");
    return false;
  }
  if (!m_ops->RunClientApp(m_strRootDir)) {
    Status(kOpRunClient, u"启动客户端失败！", LOG_ERROR);
    return false;
  }
  return true;
}

}  // namespace quillup
