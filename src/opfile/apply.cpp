// Swapping the staged tree into the installation with backups and a record
// file that lets a later run finish or undo an interrupted swap.
#include <cstdio>
#include <set>
#include <vector>

#include "opfile/opfile.h"
#include "platform/file.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/path.h"

namespace {

const char* const kOpSwap = "COpFile::UpdateReadyToReal";
const char* const kOpRecord = "COpFile::ProcessRecordFile";
const char* const kOpMove = "COpFile::MoveFileW";


// The record is written with plain write calls and flushed to disk once
// per phase: all entry lines before the first file is touched, the closing
// line before the first backup goes.
class RecordWriter {
 public:
  bool Create(const WString& path) { return IsGbkRepresentable(path) && m_file.Open(path, plat::File::kCreate); }
  bool Append(const std::string& bytes) { return m_file.Write(bytes.data(), bytes.size()); }
  bool Flush() { return m_file.Flush(); }

 private:
  plat::File m_file;
};

const WString kTrashSuffix = u".trash";

void ClearAndDelete(const WString& path) {
  ClearReadOnly(path);
  plat::DeleteFile(path);
}

WString FileNameOf(const WString& path) {
  size_t pos = path.find_last_of(u"/\\");
  return pos == WString::npos ? path : path.substr(pos + 1);
}

// One line of a record as the reading rules see it: false for lines that
// carry nothing; end is set by the closing line.
bool ParseRecordLine(const char* raw, bool& end, bool& existed, WString& path) {
  end = false;
  WString line = WideFromGbk(raw);
  while (!line.empty() && (line.back() == u' ' || (line.back() >= u'\t' && line.back() <= u'\r'))) line.pop_back();
  if (line.empty() || line.back() != u'|') return false;
  line.pop_back();
  if (line == u"end") {
    end = true;
    return false;
  }
  if (line.size() <= 2) return false;
  existed = line[0] == u'1';
  path = NativeSeparators(line.substr(2));
  return true;
}

struct RecordEntry {
  bool existed = false;
  WString path;
};

// Reads a record by its reading rules. False when it cannot be opened.
bool ReadRecord(const WString& recordPath, std::vector<RecordEntry>& entries, bool& complete) {
  entries.clear();
  complete = false;
  if (recordPath.empty()) return false;
  // At most 1,022 bytes per read.
  return ReadFileLines(recordPath, 1023, [&](const char* line) {
    RecordEntry e;
    bool end;
    if (ParseRecordLine(line, end, e.existed, e.path)) entries.push_back(e);
    if (end) complete = true;
    return !end;
  });
}

}  // namespace

WString COpFile::GetClientExePath(const WString& installDir) const { return installDir + kPathSep + m_strBinFile; }

bool COpFile::MoveFileW(const WString& from, const WString& to) {
  if (plat::MoveNoReplace(from, to)) return true;
  if (plat::PathExists(from)) LogWrite(LOG_ERROR, kOpMove, u"移动文件失败:" + from + u"->" + to);
  return false;
}

bool COpFile::CopyFileFlushed(const WString& from, const WString& to, bool failIfExists, bool throughMemory) {
  if (!throughMemory) return plat::CopyFileKeep(from, to, failIfExists);
  if (failIfExists && plat::PathExists(to)) return false;
  if (!IsGbkRepresentable(from) || !IsGbkRepresentable(to)) return false;
  plat::File in;
  if (!in.Open(from, plat::File::kRead)) return false;
  const int64_t size = in.Size();
  const int mode = plat::GetFileMode(from);
  if (size < 0 || mode < 0) return false;
  std::vector<char> data((size_t)size);
  if (in.ReadAt(0, data.data(), data.size()) != size) return false;
  in.Close();
  // A read-only destination refuses to be replaced; callers clear it first.
  uint32_t attrs = plat::GetAttributes(to);
  if (attrs != plat::kAttrInvalid && (attrs & plat::kAttrReadOnly)) return false;
  plat::File out;
  if (!out.Open(to, plat::File::kCreate)) return false;
  // The copy keeps the source's permission bits: executables must stay
  // executable (the client and the updater are copied this way). It is
  // never read-only, as a normal file on Windows.
  bool ok = out.SetMode((mode & 0777) | 0200);
  ok = ok && out.Write(data.data(), data.size()) && out.Flush();
  return out.Close() && ok;
}

bool COpFile::RestoreForbiddenExe(const WString& exe) {
  // A parked copy left by an interrupted run would block the moves below
  // (they never replace); it is only ever a copy of the updater.
  if (plat::PathExists(exe + kParked)) ClearAndDelete(exe + kParked);
  MoveFileW(exe, exe + kParked);
  if (!MoveFileW(exe + kForbid, exe)) {
    MoveFileW(exe + kParked, exe);
    return false;
  }
  ClearAndDelete(exe + kParked);
  return MakeDurable(GetParentDir(exe), {exe});
}

// What a swap moves, in the order it moves it, and what it records.
struct COpFile::SwapPlan {
  std::vector<WString> files;     // staged files, the client and the updater last
  bool clientInPack = false;
  std::vector<WString> dirs;      // staged folders
  std::vector<WString> blockers;  // what holds a folder's name and is no folder
  std::vector<WString> dsts;      // where each file goes
  std::vector<bool> existed;      // whether something was there to back up
  std::string lines;              // the record's entry lines
};

bool COpFile::PlanSwap(const WString& readyDir, const WString& installDir, SwapPlan& plan) {
  // The client executable and the updater go last: until then a crash
  // leaves both old ones in place.
  std::vector<WString> listed;
  ListFiles(readyDir, listed);
  const WString clientPath = readyDir + kPathSep + m_strBinFile;
  const WString selfPath = readyDir + kPathSep + FileNameOf(GetSelfPath());
  bool selfInPack = false;
  for (const WString& f : listed) {
    if (!plan.clientInPack && WEqualsNoCase(f, clientPath)) {
      plan.clientInPack = true;
      continue;
    }
    if (!selfInPack && WEqualsNoCase(f, selfPath)) {
      selfInPack = true;
      continue;
    }
    plan.files.push_back(f);
  }
  if (plan.clientInPack) plan.files.push_back(clientPath);
  if (selfInPack) plan.files.push_back(selfPath);

  // A destination whose name code page 936 cannot carry would be recorded
  // under another name, and no roll-back could find it: refuse before
  // anything is moved.
  for (const WString& f : plan.files) {
    WString dst = installDir + f.substr(readyDir.size());
    // The roll-back holds every entry to this rule; one it would refuse
    // must not be moved.
    if (!IsPathBelow(dst, installDir)) {
      LogWrite(LOG_ERROR, kOpSwap, u"路径不在安装目录内:" + dst);
      return false;
    }
    if (WideFromGbk(GbkFromWide(dst)) != dst) {
      LogWrite(LOG_ERROR, kOpSwap, u"路径无法写入记录文件:" + dst);
      return false;
    }
  }

  // Folders to make, and whatever else holds one of their names (a cut
  // on a disk without a journal can leave a file there): that is moved
  // aside and recorded like a replaced file, after the files below it, so
  // that a roll-back empties the folder before putting it back.
  ListDirectories(readyDir, plan.dirs);
  std::set<WString> seen;
  for (auto d = plan.dirs.rbegin(); d != plan.dirs.rend(); ++d) {
    const WString rel = d->substr(readyDir.size());
    for (size_t at = rel.find(kPathSep, 1); at != WString::npos || !rel.empty(); at = rel.find(kPathSep, at + 1)) {
      const WString path = installDir + rel.substr(0, at);
      if (seen.insert(path).second && plat::PathExists(path) && !plat::IsDirectory(path))
        plan.blockers.push_back(path);
      if (at == WString::npos) break;
    }
  }
  return true;
}

// Stale backups go before the record names their files: once a line
// names a file, any ".oldbak" of it is this swap's, and a roll-back may
// put it back. A line for a file not yet touched is harmless to a
// roll-back (no backup: nothing to restore; new: nothing to delete), so
// every line is written, and made durable, before the first move.
bool COpFile::ClearStaleBackups(const WString& readyDir, const WString& installDir, SwapPlan& plan,
                                std::vector<WString>& staleGone) {
  const size_t n = plan.files.size();
  plan.dsts.resize(n);
  plan.existed.resize(n);
  for (size_t i = 0; i < n + plan.blockers.size(); ++i) {
    const WString dst = i < n ? installDir + plan.files[i].substr(readyDir.size()) : plan.blockers[i - n];
    const WString bak = dst + kOldBak;
    if (i < n) {
      plan.dsts[i] = dst;
      plan.existed[i] = plat::PathExists(dst);
    }
    if (plat::PathExists(bak)) {
      ClearReadOnly(bak);
      if (!plat::DeleteFile(bak)) {
        LogWrite(LOG_ERROR, kOpSwap, u"删除文件失败:" + bak);
        return false;
      }
      staleGone.push_back(bak);
    }
    plan.lines += std::string(i >= n || plan.existed[i] ? "1" : "0") + "|" + GbkFromWide(dst) + "|\r\n";
  }
  return true;
}

// The blockers aside, the folders made, every file backed up and moved in,
// all of it on the disk; backups collects what was moved aside.
bool COpFile::MoveIntoPlace(const WString& readyDir, const WString& installDir, const SwapPlan& plan,
                            std::vector<WString>& backups) {
  for (const WString& b : plan.blockers) {
    backups.push_back(b + kOldBak);
    if (!MoveFileW(b, b + kOldBak)) return false;
  }
  std::vector<WString> made;
  for (const WString& d : plan.dirs) {
    WString target = installDir + d.substr(readyDir.size());
    if (!CreateMulDirectory(target)) {
      LogWrite(LOG_ERROR, kOpSwap, u"创建目录失败:" + target);
      return false;
    }
    made.push_back(target);
  }

  const size_t n = plan.files.size();
  for (size_t i = 0; i < n; ++i) {
    if (m_bEndSession) return false;
    const WString& dst = plan.dsts[i];
    if (plan.existed[i]) {
      backups.push_back(dst + kOldBak);
      if (!MoveFileW(dst, dst + kOldBak)) return false;
    }
    if (!MoveFileW(plan.files[i], dst)) return false;
    PostProgress((int)(i * 70 / n));
  }

  if (m_bEndSession) return false;
  // The moves reach the disk before the line that declares them done.
  made.insert(made.end(), plan.dsts.begin(), plan.dsts.end());
  if (!MakeDurable(installDir, made)) {
    LogWrite(LOG_ERROR, kOpSwap, u"强刷数据到磁盘失败！");
    return false;
  }
  return true;
}

// Deleting an installed file's blocks costs far more than renaming it:
// the backups move into the update directory, which goes as a whole
// without being waited for (ClearUpdateDir). One that cannot move is
// deleted here.
void COpFile::DiscardBackups(const std::vector<WString>& backups, const WString& recordPath) {
  const WString trash = GetParentDir(recordPath) + kPathSep + u"trash";
  const bool trashOk = MakeDirectoryTree(trash);
  const size_t k = backups.size();
  for (size_t j = 0; j < k; ++j) {
    char name[32];
    snprintf(name, sizeof name, "%c%zu", (char)kPathSep, j);
    if (!trashOk || !plat::MoveNoReplace(backups[j], trash + W(name))) ClearAndDelete(backups[j]);
    PostProgress(70 + (int)(j * 30 / k));
  }
}

bool COpFile::UpdateReadyToReal(const WString& readyDir, const WString& installDir, const WString& recordPath) {
  if (m_bEndSession) return false;
  PostProgress(0);
  if (readyDir.empty() || installDir.empty() || recordPath.empty()) return false;

  RecordWriter record;
  if (!record.Create(recordPath)) {
    LogWrite(LOG_ERROR, kOpSwap, u"创建文件失败:" + recordPath);
    return false;
  }
  SwapPlan plan;
  if (!PlanSwap(readyDir, installDir, plan)) return false;
  std::vector<WString> staleGone;
  if (!ClearStaleBackups(readyDir, installDir, plan, staleGone)) return false;
  // Unrecorded, a move could not be undone: stop instead.
  if (m_bEndSession) return false;
  // A stale backup back after a cut would be restored as this swap's.
  if (!staleGone.empty() && !MakeDurable(installDir, staleGone)) {
    LogWrite(LOG_ERROR, kOpSwap, u"强刷数据到磁盘失败！");
    return false;
  }
  if (!record.Append(plan.lines) || !record.Flush() || !MakeDurable(installDir, {recordPath})) {
    LogWrite(LOG_ERROR, kOpSwap, u"写入文件失败:" + recordPath);
    return false;
  }
  std::vector<WString> backups;
  if (!MoveIntoPlace(readyDir, installDir, plan, backups)) return false;
  if (!record.Append("end|\r\n") || !record.Flush()) {
    LogWrite(LOG_ERROR, kOpSwap, u"写入文件失败:" + recordPath);
    return false;
  }
  if (m_bEndSession || installDir.empty() || m_strBinFile.empty()) return false;

  WString exe = installDir + kPathSep + m_strBinFile;
  if (plat::PathExists(exe + kForbid)) {
    if (plan.clientInPack) {
      ClearAndDelete(exe + kForbid);
    } else if (!RestoreForbiddenExe(exe)) {
      return false;
    }
  }
  DiscardBackups(backups, recordPath);
  PostProgress(100);
  return true;
}

bool COpFile::IsRecordComplete(const WString& recordPath) const {
  // Decided by the same reading as the processing itself, so that the two
  // can never disagree on whether the swap finished.
  std::vector<RecordEntry> entries;
  bool complete = false;
  return ReadRecord(recordPath, entries, complete) && complete;
}

bool COpFile::ProcessRecordFile(const WString& recordPath, const WString& clientExePath, bool& clientInRecord) {
  if (m_bEndSession) return false;
  clientInRecord = false;
  PostProgress(0);
  std::vector<RecordEntry> entries;
  bool complete = false;
  if (!ReadRecord(recordPath, entries, complete)) return false;
  if (entries.empty()) {
    PostProgress(100);
    return true;
  }

  // The record lives in <installation>/update. Entries are held to the
  // swap's rule: below the installation by their text, through links as
  // the swap moved them; anything else was damaged or planted.
  const WString installDir = GetParentDir(GetParentDir(recordPath));
  const WString clientExe = FoldPath(clientExePath);
  bool refused = false;
  std::set<WString> handled;
  const size_t n = entries.size();
  for (size_t i = 0; i < n; ++i) {
    if (m_bEndSession) return false;
    if (!IsPathBelow(entries[i].path, installDir)) {
      LogWrite(LOG_ERROR, kOpRecord, u"记录文件中的路径不在安装目录内:" + entries[i].path);
      // The swap records absolute paths; anything else is the tail of a
      // line read in pieces and names no file.
      if (IsAbsolutePath(entries[i].path)) refused = true;
      PostProgress((int)(i * 100 / n));
      continue;
    }
    const WString path = FoldPath(entries[i].path);
    // A damaged record may name a file twice: its first line tells how it
    // was before the swap, and a later one would undo that on a second pass.
    if (!handled.insert(path).second) continue;
    const WString nb = path + kNewBak;
    const WString ob = path + kOldBak;
    if (!clientInRecord && WEqualsNoCase(path, clientExe)) clientInRecord = true;
    if (complete) {
      ClearAndDelete(nb);
      ClearAndDelete(ob);
    } else if (!entries[i].existed) {
      ClearAndDelete(path);
    } else if (plat::PathExists(ob)) {
      if (plat::PathExists(nb)) ClearAndDelete(nb);
      // A folder the swap made in place of a moved-aside file; the files
      // the swap put into it came earlier in the record and are gone.
      const uint32_t attrs = plat::GetAttributes(path);
      if (attrs != plat::kAttrInvalid && (attrs & plat::kAttrDirectory)) {
        std::vector<WString> left;
        ListFiles(path, left);
        if (!left.empty() || !DeleteDirectory(path)) {
          LogWrite(LOG_ERROR, kOpRecord, u"删除目录失败:" + path);
          return false;
        }
      }
      if (plat::PathExists(path) && !MoveFileW(path, nb)) return false;
      if (!MoveFileW(ob, path)) return false;
      if (plat::PathExists(nb)) ClearAndDelete(nb);
    } else if (plat::PathExists(nb)) {
      // A roll-back stopped right after this file was restored: the new
      // version still waits at ".newbak".
      ClearAndDelete(nb);
    }
    PostProgress((int)(i * 100 / n));
  }
  // The record goes next: what it undid or cleared must be on the disk.
  std::vector<WString> touched;
  for (const WString& p : handled) touched.push_back(p);
  if (!MakeDurable(installDir, touched)) {
    LogWrite(LOG_ERROR, kOpRecord, u"强刷数据到磁盘失败！");
    return false;
  }
  PostProgress(100);
  // A complete record only leaves backups behind; an unfinished one with a
  // refused entry may leave a file of the cut swap in place.
  return complete || !refused;
}

bool COpFile::EnableClientExe(const WString& installDir, bool keepNew) {
  if (m_bEndSession || installDir.empty() || m_strBinFile.empty()) return false;
  WString exe = installDir + kPathSep + m_strBinFile;
  if (!plat::PathExists(exe + kForbid)) return true;
  if (keepNew) {
    ClearAndDelete(exe + kForbid);
    return MakeDurable(installDir, {exe});
  }
  return RestoreForbiddenExe(exe);
}

void COpFile::ClearUpdateDir(const WString& updateDir) {
  PostProgress(0);
  if (updateDir.empty()) return;
  ClearAndDelete(updateDir + kPathSep + kRecordName);
  // The tree leaves its place at once and is deleted behind the caller's
  // back; nothing that comes next needs it gone. Only the tree moved aside
  // here is deleted: any other folder of such a name may be someone's.
  WaitForCleanup();
  const WString parent = GetParentDir(updateDir);
  const WString trashPrefix = FileNameOf(updateDir) + kTrashSuffix;
  WString aside;
  for (int attempt = 0; attempt < 8 && aside.empty() && plat::PathExists(updateDir); ++attempt) {
    char suffix[16];
    snprintf(suffix, sizeof suffix, "%d", attempt);
    const WString candidate = parent + kPathSep + trashPrefix + W(suffix);
    if (plat::MoveNoReplace(updateDir, candidate)) aside = candidate;
  }
  if (aside.empty() && plat::PathExists(updateDir)) {
    std::vector<WString> files;
    ListFiles(updateDir, files);
    const size_t n = files.size();
    for (size_t i = 0; i < n; ++i) {
      if (!plat::DeleteFile(files[i])) ClearAndDelete(files[i]);
      PostProgress((int)(i * 99 / n));
    }
    DeleteDirectory(updateDir);
  }
  if (!aside.empty()) {
    m_cleanup.thread = std::thread([this, aside] {
      std::vector<WString> files;
      ListFiles(aside, files);
      for (const WString& f : files)
        if (!plat::DeleteFile(f)) ClearAndDelete(f);
      DeleteDirectory(aside);
    });
  }
  PostProgress(100);
}

void COpFile::WaitForCleanup() { m_cleanup.Join(); }
