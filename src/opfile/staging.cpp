// Staging: every pack is unzipped into the unzip tree and its files are
// copied, or rebuilt from deltas, into the ready tree. The installation
// itself is never touched here.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "opfile/opfile.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/spawn.h"
#include "support/log.h"
#include "support/path.h"
#include "support/vcdiff.h"
#include "support/zip.h"

#ifndef XDELTA3_PROGRAM
#define XDELTA3_PROGRAM ""
#endif

namespace {

const WString kDeltaSuffix = u".delta";
const WString kMergeSuffix = u".mergedata";

bool EndsWith(const WString& s, const WString& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The decoder found at configure time, else whatever PATH offers.
std::string DecoderProgram() {
  std::string configured = XDELTA3_PROGRAM;
  if (!configured.empty() && configured.find("NOTFOUND") == std::string::npos &&
      plat::IsRegularFile(WidePath(configured)))
    return configured;
  return "xdelta3";
}

// A relative path that begins with "-" would read as an option.
std::string AsOperand(const std::string& path) { return !path.empty() && path[0] == '-' ? "./" + path : path; }

bool OpenCheck(const WString& path, plat::File::Mode mode, std::string& native) {
  if (!NativePath(path, native)) return false;
  plat::File f;
  return f.Open(path, mode);
}

// Cores beside the calling thread, at most cap.
size_t SpareCores(size_t cap) {
  unsigned cores = std::thread::hardware_concurrency();
  return std::min<size_t>(cores > 1 ? cores - 1 : 0, cap);
}

// Hands k = 0 .. count-1 out to the calling thread (worker 0) and helpers
// threads of its own (workers 1 .. helpers); after the first job that
// fails no new one starts. True when every job succeeded. Memory running
// out in a job fails it, on whichever thread it runs.
bool ShareOut(size_t count, size_t helpers, const std::function<bool(size_t k, size_t worker)>& job) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false}, outOfMemory{false};
  // Jobs go out in runs of neighbours: an archive lists a folder's entries
  // together, and two threads making files in one folder take turns at
  // its lock.
  const size_t run = 16;
  auto work = [&](size_t worker) {
    while (!failed) {
      const size_t first = next.fetch_add(run);
      if (first >= count) return;
      for (size_t k = first; k < first + run && k < count && !failed; ++k) {
        try {
          if (!job(k, worker)) failed = true;
        } catch (const std::bad_alloc&) {
          outOfMemory = true;
          failed = true;
        }
      }
    }
  };
  std::vector<std::thread> pool;
  try {
    for (size_t t = 1; t <= helpers; ++t) pool.emplace_back(work, t);
  } catch (const std::system_error&) {
    // Fewer helpers, same work.
  }
  work(0);
  for (auto& t : pool) t.join();
  // Logged once, after the jobs: a log line needs memory too.
  if (outOfMemory) LogWrite(LOG_ERROR, "COpFile::UpdateToReadyDir", u"内存不足！");
  return !failed;
}

}  // namespace

bool COpFile::UpdateToReadyDir(const std::vector<WString>& packs, const WString& installDir, const WString& unzipDir,
                               const WString& readyDir) {
  static const char* kOp = "COpFile::UpdateToReadyDir";
  PostProgress(0);
  if (packs.empty() || installDir.empty() || unzipDir.empty() || readyDir.empty()) return false;
  if (!DeleteDirectory(readyDir)) {
    LogWrite(LOG_ERROR, kOp, u"删除目录失败:" + readyDir);
    return false;
  }
  const size_t n = packs.size();
  const double share = 100.0 / (double)n;
  for (size_t i = 0; i < n; ++i) {
    const WString& archive = packs[i];
    if (!DeleteDirectory(unzipDir)) {
      LogWrite(LOG_ERROR, kOp, u"删除目录失败:" + unzipDir);
      return false;
    }
    const int from = (int)((double)i * share);
    const int to = from + (int)(share / 2);
    if (!UnzipFile(archive, unzipDir, from, to)) {
      LogWrite(LOG_ERROR, kOp, u"解压zip文件失败:" + archive + u"->" + unzipDir);
      return false;
    }

    std::vector<WString> dirs;
    ListDirectories(unzipDir, dirs);
    for (const WString& d : dirs) {
      WString staged = readyDir + d.substr(unzipDir.size());
      if (!CreateMulDirectory(staged)) {
        LogWrite(LOG_ERROR, kOp, u"创建目录失败:" + staged);
        return false;
      }
    }

    std::vector<WString> files;
    ListFiles(unzipDir, files);
    const size_t m = files.size();
    std::vector<size_t> deltas;
    size_t done = 0;
    for (size_t j = 0; j < m; ++j) {
      const WString& f = files[j];
      const WString rel = f.substr(unzipDir.size());
      if (EndsWith(rel, kDeltaSuffix)) {
        deltas.push_back(j);
        continue;
      }
      // The unzip tree is emptied before the next archive anyway: the file
      // moves instead of being written a second time.
      // An earlier archive's file in the way is rare: looked for only when
      // the move is refused.
      const WString dst = readyDir + rel;
      bool moved = plat::MoveNoReplace(f, dst);
      if (!moved && plat::PathExists(dst)) {
        ClearReadOnly(dst);
        plat::DeleteFile(dst);
        moved = plat::MoveNoReplace(f, dst);
      }
      if (!moved && !plat::CopyFileKeep(f, dst, false)) {
        LogWrite(LOG_ERROR, kOp, u"复制文件失败:" + f + u"->" + dst);
        return false;
      }
      PostProgress(to + (int)((double)done++ * (share / 2) / (double)m));
    }
    if (!MergeDeltas(files, deltas, installDir, unzipDir, readyDir, [&](size_t merged) {
          PostProgress(to + (int)((double)(done + merged - 1) * (share / 2) / (double)m));
        }))
      return false;
  }
  PostProgress(100);
  return true;
}

bool COpFile::MergeOneDelta(const WString& delta, const WString& installDir, const WString& unzipDir,
                            const WString& readyDir) {
  static const char* kOp = "COpFile::UpdateToReadyDir";
  WString rel = delta.substr(unzipDir.size());
  rel.resize(rel.size() - kDeltaSuffix.size());
  const WString dst = readyDir + rel;
  // A file staged by an earlier pack is the delta's source; else the
  // installed one, read in place.
  const WString source = plat::PathExists(dst) ? dst : installDir + rel;
  const WString out = dst + kMergeSuffix;
  ClearReadOnly(out);
  if (!MergeDelta(delta, source, out)) {
    LogWrite(LOG_ERROR, kOp, u"合并补丁包出错:" + delta + u"+" + dst + u"->" + out);
    return false;
  }
  if (plat::PathExists(dst)) {
    ClearReadOnly(dst);
    if (!plat::DeleteFile(dst)) {
      LogWrite(LOG_ERROR, kOp, u"删除文件失败:" + dst);
      return false;
    }
  }
  if (!MoveFileW(out, dst)) return false;
  plat::StartWriteBack(dst);
  return true;
}

bool COpFile::MergeDeltas(const std::vector<WString>& files, const std::vector<size_t>& deltas,
                          const WString& installDir, const WString& unzipDir, const WString& readyDir,
                          const std::function<void(size_t)>& progress) {
  // One decoder per core, all within one memory budget (vcdiff.h). The
  // deltas of one archive name different files; a later archive's delta of
  // the same file waits for this call's end.
  std::atomic<size_t> merged{0};
  return ShareOut(deltas.size(), SpareCores(deltas.size() > 1 ? deltas.size() - 1 : 0), [&](size_t k, size_t worker) {
    if (!MergeOneDelta(files[deltas[k]], installDir, unzipDir, readyDir)) return false;
    size_t n = ++merged;
    // Progress is posted from the staging thread only.
    if (worker == 0) progress(n);
    return true;
  });
}

// What staging and disabling the client newly take: every entry once
// (plain files move from the unzip tree into the ready tree, deltas stay
// there until the next pack), a delta's rebuilt file at the size of the
// file it replaces, and the copies of the client executable and of the
// updater that disabling writes. The ready and unzip trees of an earlier
// run are deleted first: their room counts as free. The swap only renames.
// A little room is kept for the record, the flags and the log.
bool COpFile::HasRoomToStage(const std::vector<WString>& packs, const WString& installDir, const WString& unzipDir,
                             const WString& readyDir) {
  static const char* kOp = "COpFile::HasRoomToStage";
  static const uint64_t kMargin = 1ull << 20;
  auto blocks = [](int64_t bytes) { return bytes > 0 ? ((uint64_t)bytes + 4095) / 4096 * 4096 : 0; };
  uint64_t need = kMargin;
  for (const WString& archive : packs) {
    HZIP zip = CZipReader::Open(archive, nullptr);
    if (!zip) continue;  // staging itself reports an unreadable archive
    ZipItemInfo info;
    if (CZipReader::GetItem(zip, -1, info) == ZIP_OK) {
      const int32_t count = info.index;
      for (int32_t k = 0; k < count; ++k) {
        if (CZipReader::GetItem(zip, k, info) != ZIP_OK) break;
        need += blocks((int64_t)info.uncompressedSize);
        if (!EndsWith(info.name, kDeltaSuffix)) continue;
        const WString rel = info.name.substr(0, info.name.size() - kDeltaSuffix.size());
        WString source = installDir + kPathSep + NativeSeparators(rel);
        int64_t size = GetFileSizeByPath(source);
        need += blocks(size > 0 ? size : (int64_t)info.uncompressedSize);
      }
    }
    CZipReader::Close(zip);
  }
  const WString exe = GetClientExePath(installDir);
  if (!plat::PathExists(exe + u".forbid")) need += blocks(GetFileSizeByPath(exe)) + blocks(GetFileSizeByPath(GetSelfPath()));
  int64_t free = plat::FreeBytes(installDir);
  if (free < 0) return true;
  for (const WString& tree : {unzipDir, readyDir}) {
    std::vector<WString> files;
    ListFiles(tree, files);
    for (const WString& f : files) free += (int64_t)blocks(GetFileSizeByPath(f));
  }
  if ((uint64_t)free >= need) return true;
  char buf[96];
  snprintf(buf, sizeof buf, "%llu,%lld", (unsigned long long)need, (long long)free);
  LogWrite(LOG_ERROR, kOp, u"磁盘空间不足(需要,可用):" + W(buf) + u" " + installDir);
  return false;
}

bool COpFile::UnzipFile(const WString& archive, const WString& targetDir, int fromPercent, int toPercent) {
  HZIP zip = CZipReader::Open(archive, nullptr);
  if (!zip) return false;
  ZipItemInfo info;
  if (CZipReader::GetItem(zip, -1, info) != ZIP_OK) {
    CZipReader::Close(zip);
    return false;
  }
  const int32_t count = info.index;
  if (count < 1) {
    CZipReader::Close(zip);
    return true;
  }
  // Inflating is what unpacking spends its time on: every core takes
  // entries through a handle of its own. An archive that names one target
  // twice keeps the archive's order (the later entry wins); "x//a" and
  // "x/./a" name the target of "x/a", so names are compared folded.
  std::vector<WString> names((size_t)count), sorted((size_t)count);
  for (int32_t k = 0; k < count; ++k) {
    if (CZipReader::GetItem(zip, k, info) != ZIP_OK) {
      CZipReader::Close(zip);
      return false;
    }
    names[(size_t)k] = info.name;
    sorted[(size_t)k] = FoldPath(info.name);
  }
  std::sort(sorted.begin(), sorted.end());
  const bool unique = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
  // The folders are made first, here: the workers then only find them,
  // and no two race to make one (a failure shows when the file is made).
  std::set<WString> folders;
  for (const WString& name : names) folders.insert(GetParentDir(targetDir + kPathSep + NativeSeparators(name)));
  for (const WString& folder : folders) plat::MakeDirs(folder);
  std::vector<HZIP> handles{zip};
  for (size_t t = unique ? SpareCores((size_t)count / 16) : 0; t > 0; --t) {
    HZIP h = CZipReader::Open(archive, nullptr);
    if (!h) break;
    handles.push_back(h);
  }
  std::atomic<int32_t> done{0};
  const bool ok = ShareOut((size_t)count, handles.size() - 1, [&](size_t k, size_t worker) {
    const WString target = targetDir + kPathSep + NativeSeparators(names[k]);
    ClearReadOnly(target);
    // The disk writes while the next entries inflate; the flush after
    // staging then finds little left. Deltas are read once and dropped.
    CZipReader::SetWriteBack(handles[worker], !EndsWith(names[k], kDeltaSuffix));
    if (CZipReader::UnzipItem(handles[worker], (int32_t)k, target) != ZIP_OK) return false;
    const int32_t n = done++;
    if (worker == 0) PostProgress(fromPercent + (int)((long long)(toPercent - fromPercent) * n / count));
    return true;
  });
  for (HZIP h : handles) CZipReader::Close(h);
  return ok;
}

bool COpFile::MergeDelta(const WString& delta, const WString& source, const WString& output) {
  if (delta.empty() || source.empty() || output.empty()) return false;
  std::string d, s, o;
  if (!OpenCheck(delta, plat::File::kRead, d) || !OpenCheck(source, plat::File::kRead, s) ||
      !OpenCheck(output, plat::File::kCreate, o))
    return false;
  // Starting a decoder process costs more than decoding a small edit, so
  // plain deltas are decoded here. The program takes whatever this decoder
  // does not know or refuses, and its verdict stands.
  if (vcdiff::DecodeFile(delta, source, output) != vcdiff::Result::kDone) {
    // The program's memory counts against the merge's budget too: its
    // source buffer (64 MiB by default) and its windows.
    vcdiff::BudgetHold hold(128ull << 20);
    // -D/-R: never hand the data to an external (de)compressor; XDELTA in
    // the environment would add options behind our back.
    int rc = plat::RunAndWait(DecoderProgram(), {"-d", "-f", "-D", "-R", "-s", AsOperand(s), AsOperand(d), AsOperand(o)},
                              {"XDELTA"});
    if (rc != 0) return false;
  }
  // The rebuilt file takes the permissions of the file it replaces.
  int mode = plat::GetFileMode(source);
  if (mode >= 0) plat::SetFileMode(output, mode);
  return true;
}

void COpFile::ListFiles(const WString& dir, std::vector<WString>& out) {
  plat::ListDirectory(dir, [&](const WString& name, bool isDir) {
    WString path = dir + kPathSep + name;
    if (isDir) ListFiles(path, out);
    else out.push_back(path);
  });
}

void COpFile::ListDirectories(const WString& dir, std::vector<WString>& out) {
  plat::ListDirectory(dir, [&](const WString& name, bool isDir) {
    if (isDir) ListDirectories(dir + kPathSep + name, out);
  });
  out.push_back(dir);
}

bool COpFile::DeleteDirectory(const WString& dir) {
  bool failed = false;
  std::vector<std::pair<WString, bool>> entries;
  plat::ListDirectory(dir, [&](const WString& name, bool isDir) {
    entries.emplace_back(dir + kPathSep + name, isDir);
  });
  for (const auto& e : entries) {
    if (e.second) {
      DeleteDirectory(e.first);
      continue;
    }
    ClearReadOnly(e.first);
    if (!plat::DeleteFile(e.first)) {
      failed = true;
      break;
    }
  }
  if (failed) return false;
  if (!plat::PathExists(dir)) return true;
  return plat::RemoveDirectory(dir);
}

bool COpFile::CreateMulDirectory(const WString& dir) {
  static const char* kOp = "COpFile::CreateMulDirectory";
  size_t colon = dir.find(u':');
  if (!dir.empty() && colon == dir.size() - 1 && dir.find_first_of(u"\\/") == WString::npos) {
    for (const WString& root : m_vecDriveRoots) {
      if (WEqualsNoCase(root, dir)) {
        LogWrite(LOG_ERROR, kOp, u"当前目录为磁盘目录:" + dir);
        return true;
      }
    }
    LogWrite(LOG_ERROR, kOp, u"创建磁盘目录失败:" + dir);
    return false;
  }
  return MakeDirectoryTree(dir);
}

bool COpFile::FlushVolume() {
  WString self = GetSelfPath();
  if (self.empty()) return false;
  return plat::FlushVolume(self);
}

bool COpFile::MakeDurable(const WString& installDir, const std::vector<WString>& paths) {
  if (plat::VolumeFlushReaches(installDir)) return plat::FlushVolume(installDir);
  std::set<WString> dirs;
  for (const WString& p : paths) {
    // A removed name is made durable by its folder alone.
    dirs.insert(GetParentDir(p));
    if (plat::IsDirectory(p)) dirs.insert(p);
    else if (plat::PathExists(p) && !plat::FlushFile(p)) return false;
  }
  for (const WString& d : dirs)
    if (!d.empty() && plat::IsDirectory(d) && !plat::FlushFile(d)) return false;
  return true;
}

bool COpFile::FlushStaged(const WString& installDir, const WString& readyDir) {
  std::vector<WString> paths;
  ListFiles(readyDir, paths);
  ListDirectories(readyDir, paths);
  return MakeDurable(installDir, paths);
}
