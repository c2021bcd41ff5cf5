// Staging: the files of every pack are unzipped, or rebuilt from its
// deltas, into the ready tree. The installation itself is never touched
// here.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "opfile/opfile.h"
#include "base/path_text.h"
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

// Names of entries that land on one file: "x//a" and "x/./a" are "x/a",
// and on Windows case does not tell files apart.
WString SameFileKey(const WString& name) {
  WString key = FoldPath(name);
#ifdef _WIN32
  for (auto& c : key)
    if (c >= u'A' && c <= u'Z') c = (char16_t)(c - u'A' + u'a');
#endif
  return key;
}

// The decoder program on native paths; its memory (its source buffer, 64
// MiB by default, and its windows) counts against the merges' budget.
bool RunDecoderProgram(const std::string& delta, const std::string& source, const std::string& output) {
  vcdiff::BudgetHold hold(128ull << 20);
  // -D/-R: never hand the data to an external (de)compressor; XDELTA in
  // the environment would add options behind our back.
  return plat::RunAndWait(DecoderProgram(), {"-d", "-f", "-D", "-R", "-s", AsOperand(source), AsOperand(delta), AsOperand(output)},
                          {"XDELTA"}) == 0;
}

// The rebuilt file takes the permissions of the file it replaces.
void KeepMode(const WString& source, const WString& output) {
  int mode = plat::GetFileMode(source);
  if (mode >= 0) plat::SetFileMode(output, mode);
}

// An archive opened once for every thread that reads it.
class ArchiveHandles {
 public:
  ArchiveHandles() = default;
  ArchiveHandles(const ArchiveHandles&) = delete;
  ArchiveHandles& operator=(const ArchiveHandles&) = delete;
  ~ArchiveHandles() {
    for (HZIP h : m_handles) CZipReader::Close(h);
  }
  // Opens it for the calling thread and lists its entries; on failure
  // items holds those listed before it.
  bool Open(const WString& archive, std::vector<ZipItemInfo>& items) {
    m_archive = archive;
    HZIP zip = CZipReader::Open(archive, nullptr);
    if (!zip) return false;
    m_handles.push_back(zip);
    ZipItemInfo info;
    if (CZipReader::GetItem(zip, -1, info) != ZIP_OK) return false;
    items.resize(info.index > 0 ? (size_t)info.index : 0);
    for (size_t k = 0; k < items.size(); ++k) {
      if (CZipReader::GetItem(zip, (int32_t)k, items[k]) != ZIP_OK) {
        items.resize(k);
        return false;
      }
    }
    return true;
  }
  // Up to n handles more, one for each helper thread.
  void AddHelpers(size_t n) {
    for (; n > 0; --n) {
      HZIP h = CZipReader::Open(m_archive, nullptr);
      if (!h) return;
      m_handles.push_back(h);
    }
  }
  size_t Helpers() const { return m_handles.size() - 1; }
  HZIP operator[](size_t worker) const { return m_handles[worker]; }

 private:
  WString m_archive;
  std::vector<HZIP> m_handles;
};

// Rebuilds output from the delta entry against source and starts its
// write-back.
bool MergeEntry(HZIP zip, const ZipItemInfo& item, const WString& source, const WString& output,
                const WString& unzipDir, std::mutex& unzipFolders) {
  std::string s, o;
  if (!NativePath(source, s) || !NativePath(output, o)) return false;
  if (CZipReader::OpenItem(zip, item.index) == ZIP_OK) {
    const vcdiff::DeltaReader read = [zip](uint8_t* buffer, size_t n) { return CZipReader::ReadItem(zip, buffer, n); };
    if (vcdiff::Decode(read, item.uncompressedSize, source, output, true) == vcdiff::Result::kDone) {
      KeepMode(source, output);
      return true;
    }
  }
  // The program takes whatever this decoder does not know or refuses, as
  // a file, and its verdict stands.
  if (!OpenCheck(source, plat::File::kRead, s) || !OpenCheck(output, plat::File::kCreate, o)) return false;
  const WString delta = unzipDir + kPathSep + NativeSeparators(item.name);
  std::string d;
  {
    // Made one at a time, as in UnzipFile.
    std::lock_guard<std::mutex> lock(unzipFolders);
    plat::MakeDirs(NativeSeparators(GetParentDir(delta)));
  }
  CZipReader::SetWriteBack(zip, false);
  if (CZipReader::UnzipItem(zip, item.index, delta) != ZIP_OK || !NativePath(delta, d)) return false;
  if (!RunDecoderProgram(d, s, o)) return false;
  KeepMode(source, output);
  plat::StartWriteBack(output);
  return true;
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
    // The unzip tree holds only deltas left to the decoder program.
    if (!DeleteDirectory(unzipDir)) {
      LogWrite(LOG_ERROR, kOp, u"删除目录失败:" + unzipDir);
      return false;
    }
    const int from = (int)((double)i * share);
    const int to = i + 1 < n ? (int)((double)(i + 1) * share) : 100;
    if (!StageArchive(packs[i], installDir, unzipDir, readyDir, from, to)) return false;
  }
  PostProgress(100);
  return true;
}

// Plain files are unzipped straight into the ready tree and deltas decoded
// straight from the archive: making a file is most of what staging costs,
// and neither needs a copy in the unzip tree first.
bool COpFile::StageArchive(const WString& archive, const WString& installDir, const WString& unzipDir,
                           const WString& readyDir, int fromPercent, int toPercent) {
  static const char* kOp = "COpFile::UpdateToReadyDir";
  auto unzipFailed = [&] {
    LogWrite(LOG_ERROR, kOp, u"解压zip文件失败:" + archive + u"->" + readyDir);
    return false;
  };
  ArchiveHandles zip;
  std::vector<ZipItemInfo> items;
  if (!zip.Open(archive, items)) return unzipFailed();

  // Plain files go first, in the archive's order; a delta of the same
  // archive then applies on top of one. A later entry naming the same
  // file wins: such plain files are written one by one, in order, and of
  // such deltas only the last is applied.
  std::vector<size_t> plain, deltas;
  std::set<WString> folders{readyDir}, plainNames;
  std::map<WString, size_t> deltaOf;
  bool unique = true;
  for (size_t k = 0; k < items.size(); ++k) {
    const WString& name = items[k].name;
    WString target = readyDir + kPathSep + NativeSeparators(name);
    if (items[k].attributes & kZipAttrDirectory) {
      while (!target.empty() && target.back() == kPathSep) target.pop_back();
      folders.insert(target);
      continue;
    }
    folders.insert(NativeSeparators(GetParentDir(target)));
    if (EndsWith(name, kDeltaSuffix)) {
      auto slot = deltaOf.emplace(SameFileKey(name.substr(0, name.size() - kDeltaSuffix.size())), deltas.size());
      if (slot.second) deltas.push_back(k);
      else deltas[slot.first->second] = k;
    } else {
      unique = plainNames.insert(SameFileKey(name)).second && unique;
      plain.push_back(k);
    }
  }
  // One thread makes every folder: the workers then only find them.
  for (const WString& folder : folders) {
    if (!CreateMulDirectory(folder)) {
      LogWrite(LOG_ERROR, kOp, u"创建目录失败:" + folder);
      return false;
    }
  }

  const size_t count = plain.size() + deltas.size();
  zip.AddHelpers(SpareCores(count > 1 ? count - 1 : 0));
  std::atomic<size_t> done{0};
  auto step = [&](size_t worker) {
    const size_t k = done++;
    if (worker == 0) PostProgress(fromPercent + (int)((long long)(toPercent - fromPercent) * (long long)k / (long long)count));
  };
  if (!ShareOut(plain.size(), unique ? zip.Helpers() : 0, [&](size_t j, size_t worker) {
        const ZipItemInfo& item = items[plain[j]];
        const WString target = readyDir + kPathSep + NativeSeparators(item.name);
        ClearReadOnly(target);
        // The disk writes while the next entries inflate; the flush after
        // staging then finds little left.
        CZipReader::SetWriteBack(zip[worker], true);
        if (CZipReader::UnzipItem(zip[worker], item.index, target) != ZIP_OK) return false;
        step(worker);
        return true;
      }))
    return unzipFailed();
  // The deltas of one archive name different files, merged side by side,
  // one decoder per core within one memory budget (vcdiff.h).
  std::mutex unzipFolders;
  return ShareOut(deltas.size(), zip.Helpers(), [&](size_t j, size_t worker) {
    const ZipItemInfo& item = items[deltas[j]];
    const WString rel = kPathSep + NativeSeparators(item.name.substr(0, item.name.size() - kDeltaSuffix.size()));
    const WString dst = readyDir + rel;
    // A file staged by an earlier pack (or by this one) is the delta's
    // source; else the installed one, read in place.
    const bool staged = plat::PathExists(dst);
    const WString source = staged ? dst : installDir + rel;
    const WString out = dst + kMergeSuffix;
    ClearReadOnly(out);
    if (!MergeEntry(zip[worker], item, source, out, unzipDir, unzipFolders)) {
      LogWrite(LOG_ERROR, kOp,
               u"合并补丁包出错:" + archive + kPathSep + NativeSeparators(item.name) + u"+" + dst + u"->" + out);
      return false;
    }
    if (staged) {
      ClearReadOnly(dst);
      if (!plat::DeleteFile(dst)) {
        LogWrite(LOG_ERROR, kOp, u"删除文件失败:" + dst);
        return false;
      }
    }
    if (!MoveFileW(out, dst)) return false;
    step(worker);
    return true;
  });
}

// What staging and disabling the client newly take: every entry once
// (a plain file in the ready tree; a delta only when the decoder program
// needs it as a file, until the next pack), a delta's rebuilt file at the
// size of the file it replaces, and the copies of the client executable and of the
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
    // Staging itself reports an archive it cannot read; what was listed counts.
    ArchiveHandles zip;
    std::vector<ZipItemInfo> items;
    zip.Open(archive, items);
    for (const ZipItemInfo& info : items) {
      need += blocks((int64_t)info.uncompressedSize);
      if (!EndsWith(info.name, kDeltaSuffix)) continue;
      const WString rel = info.name.substr(0, info.name.size() - kDeltaSuffix.size());
      WString source = installDir + kPathSep + NativeSeparators(rel);
      int64_t size = GetFileSizeByPath(source);
      need += blocks(size > 0 ? size : (int64_t)info.uncompressedSize);
    }
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
  ArchiveHandles zip;
  std::vector<ZipItemInfo> items;
  if (!zip.Open(archive, items)) return false;
  const size_t count = items.size();
  if (count < 1) return true;
  // Inflating is what unpacking spends its time on: every core takes
  // entries through a handle of its own. An archive that names one target
  // twice keeps the archive's order (the later entry wins).
  std::set<WString> names;
  bool unique = true;
  for (const ZipItemInfo& item : items) unique = names.insert(SameFileKey(item.name)).second && unique;
  // The folders are made first, here: the workers then only find them,
  // and no two race to make one (a failure shows when the file is made).
  std::set<WString> folders;
  for (const ZipItemInfo& item : items) folders.insert(GetParentDir(targetDir + kPathSep + NativeSeparators(item.name)));
  for (const WString& folder : folders) plat::MakeDirs(folder);
  if (unique) zip.AddHelpers(SpareCores(count / 16));
  std::atomic<size_t> done{0};
  return ShareOut(count, zip.Helpers(), [&](size_t k, size_t worker) {
    const WString target = targetDir + kPathSep + NativeSeparators(items[k].name);
    ClearReadOnly(target);
    CZipReader::SetWriteBack(zip[worker], !EndsWith(items[k].name, kDeltaSuffix));
    if (CZipReader::UnzipItem(zip[worker], (int32_t)k, target) != ZIP_OK) return false;
    const size_t n = done++;
    if (worker == 0) PostProgress(fromPercent + (int)((long long)(toPercent - fromPercent) * (long long)n / (long long)count));
    return true;
  });
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
  if (vcdiff::DecodeFile(delta, source, output) != vcdiff::Result::kDone && !RunDecoderProgram(d, s, o)) return false;
  KeepMode(source, output);
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
