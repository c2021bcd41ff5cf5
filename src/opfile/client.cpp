// The client's required files, disabling it during a swap, starting it and
// counting its failed starts.
#include <cstdio>

#include "opfile/opfile.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "support/log.h"
#include "support/path.h"

namespace {

const char* const kOpRepair = "COpFile::IsNeedRepair";
const char* const kOpForbid = "COpFile::ForbidClientExe";
const char* const kOpRun = "COpFile::RunClientApp";

const WString kNeededList = NativeSeparators(u"/config/neededfilelist.lst");
const WString kFailCountFile = NativeSeparators(u"/MainbinFailStartupCount.ini");
const WString kFailCountSection = u"MainbinFailStartupInfo";
const WString kFailCountKey = u"MainbinFailStartupCount";

bool StartsWithNoCase(const WString& s, const WString& prefix) {
  return s.size() >= prefix.size() && WEqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// Lines under the trading module and the data directory, and data files,
// are the client's own business.
bool NamesRequiredFile(const WString& line) {
  if (line.empty()) return false;
  if (StartsWithNoCase(line, u"ZoTrade\\") || StartsWithNoCase(line, u"ZoTrade/")) return false;
  if (StartsWithNoCase(line, u"Data\\") || StartsWithNoCase(line, u"Data/")) return false;
  if (line.size() >= 4 && WEqualsNoCase(line.substr(line.size() - 4), u".dat")) return false;
  return true;
}

}  // namespace

bool COpFile::ReadRequiredFiles(const WString& listPath, std::vector<WString>& files) {
  // A line longer than 1,022 bytes is read as several.
  return ReadFileLines(listPath, 1023, [&](const char* raw) {
    WString line = WTrim(WideFromUtf8(raw));
    if (!NamesRequiredFile(line)) return true;
    files.push_back(NativeSeparators(line));
    return true;
  });
}

bool COpFile::IsNeedRepair(const WString& installDir) const {
  const WString listPath = installDir + kNeededList;
  std::vector<WString> required;
  if (!ReadRequiredFiles(listPath, required)) {
    LogWrite(LOG_ERROR, kOpRepair, u"客户端缺少文件:" + listPath);
    return true;
  }
  const WString base = GetSelfDir();
  for (const WString& line : required) {
    WString path = base + kPathSep + line;
    if (!plat::PathExists(path)) {
      LogWrite(LOG_ERROR, kOpRepair, u"客户端缺少文件:" + path);
      return true;
    }
  }
  return false;
}

bool COpFile::ForbidClientExe(const WString& installDir, const WString& recordPath) {
  if (m_bEndSession || installDir.empty() || m_strBinFile.empty()) return false;
  const WString exe = installDir + kPathSep + m_strBinFile;
  if (!plat::PathExists(exe)) {
    LogWrite(LOG_ERROR, kOpForbid, u"客户端文件不存在:" + exe);
    return false;
  }
  const WString self = GetSelfPath();
  const WString oldbak = exe + kOldBak, parked = exe + kParked, forbid = exe + kForbid;
  // The swap reuses the names freed here: the renames, and the record that
  // brings the client back, reach the disk first.
  auto durable = [&] {
    if (MakeDurable(installDir, {exe, forbid, recordPath})) return true;
    LogWrite(LOG_ERROR, kOpForbid, u"强刷数据到磁盘失败！");
    return false;
  };
  // The running updater itself is never renamed, so nothing here needs
  // flushing (Windows would refuse to open it for writing anyway).
  if (WEqualsNoCase(FoldPath(exe), FoldPath(self))) return true;
  if (plat::PathExists(forbid)) return durable();

  ClearReadOnly(oldbak);
  if (!CopyFileFlushed(exe, oldbak, false, true)) {
    LogWrite(LOG_ERROR, kOpForbid, u"复制文件失败:" + exe + u"->" + oldbak);
    return false;
  }
  ClearReadOnly(parked);
  if (!CopyFileFlushed(self, parked, false, true)) {
    LogWrite(LOG_ERROR, kOpForbid, u"复制文件失败:" + self + u"->" + parked);
    return false;
  }
  if (m_bEndSession) return false;

  // The record exists before the executable is touched, so that a start
  // after a crash from here on always finds it and brings the client back.
  const bool madeRecord = !plat::PathExists(recordPath);
  if (madeRecord) {
    plat::File f;
    if (!IsGbkRepresentable(recordPath) || !f.Open(recordPath, plat::File::kCreate)) {
      LogWrite(LOG_ERROR, kOpForbid, u"创建文件失败:" + recordPath);
      return false;
    }
  }
  // Once the client's name is back, a record made here would only make
  // the next start take this failure for an interrupted swap.
  auto undone = [&](bool nameBack) {
    if (nameBack && madeRecord) plat::DeleteFile(recordPath);
    return false;
  };
  // The copy takes the ".forbid" name before the original goes: at no
  // moment is the client's executable under neither name.
  if (!MoveFileW(oldbak, forbid)) return undone(true);
  if (!plat::DeleteFile(exe)) {
    LogWrite(LOG_WARN, kOpForbid, u"删除文件失败:" + exe);
    return undone(MoveFileW(forbid, oldbak));
  }
  if (!MoveFileW(parked, exe)) return undone(MoveFileW(forbid, exe));
  return durable();
}

bool COpFile::IsClientExeForbidden(const WString& installDir) const {
  return plat::PathExists(GetClientExePath(installDir) + kForbid);
}

void COpFile::DeleteForbidFile(const WString& installDir) {
  const WString exe = GetClientExePath(installDir);
  const WString forbid = exe + kForbid;
  // A stop inside the disabling, after the executable was removed and
  // before the updater's copy took its place, leaves the real client only
  // here: it goes back, so that the update that follows can disable it.
  if (!plat::PathExists(exe) && plat::PathExists(forbid) && MoveFileW(forbid, exe)) return;
  ClearReadOnly(forbid);
  plat::DeleteFile(forbid);
}

bool COpFile::RunClientApp(const WString& installDir) {
  if (installDir.empty() || m_strBinFile.empty()) return false;
  // Unquoted and without arguments: a path with blanks is resolved prefix
  // by prefix, as CreateProcess does.
  const WString cmdLine = installDir + kPathSep + m_strBinFile;
  if (!plat::CreateDetachedProcess(cmdLine)) {
    LogWrite(LOG_ERROR, kOpRun, u"启动客户端失败:" + cmdLine);
    return false;
  }
  LogWrite(LOG_INFO, kOpRun, u"成功启动客户端:" + cmdLine);
  return true;
}

int32_t COpFile::GetFailStartupCount(const WString& installDir) const {
  return WToInt(plat::GetProfileString(kFailCountSection, kFailCountKey, u"", installDir + kFailCountFile));
}

void COpFile::SetFailStartupCount(const WString& installDir, int32_t count) {
  plat::WriteProfileString(kFailCountSection, kFailCountKey, WFromInt(count), installDir + kFailCountFile);
}
