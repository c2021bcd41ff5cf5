// Staging: every pack is unzipped into the unzip tree and its files are
// copied, or rebuilt from deltas, into the ready tree. The installation
// itself is never touched here.
#include <cstdio>
#include <string>
#include <vector>

#include "opfile/opfile.h"
#include "platform/files.h"
#include "platform/spawn.h"
#include "support/log.h"
#include "support/path.h"
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

bool OpenCheck(const WString& path, const char* mode, std::string& native) {
  if (!NativePath(path, native)) return false;
  FILE* f = fopen(native.c_str(), mode);
  if (!f) return false;
  fclose(f);
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
    for (size_t j = 0; j < m; ++j) {
      const WString& f = files[j];
      const WString rel = f.substr(unzipDir.size());
      WString src = installDir + rel;
      WString dst = readyDir + rel;
      if (EndsWith(rel, kDeltaSuffix)) {
        src.resize(src.size() - kDeltaSuffix.size());
        dst.resize(dst.size() - kDeltaSuffix.size());
        // A file staged by an earlier pack stays and is the delta's source.
        plat::CopyFileKeep(src, dst, true);
        const WString out = dst + kMergeSuffix;
        ClearReadOnly(out);
        if (!MergeDelta(f, dst, out)) {
          LogWrite(LOG_ERROR, kOp, u"合并补丁包出错:" + f + u"+" + dst + u"->" + out);
          return false;
        }
        ClearReadOnly(dst);
        if (!plat::DeleteFile(dst)) {
          LogWrite(LOG_ERROR, kOp, u"删除文件失败:" + dst);
          return false;
        }
        if (!MoveFileW(out, dst)) return false;
      } else {
        ClearReadOnly(dst);
        if (!plat::CopyFileKeep(f, dst, false)) {
          LogWrite(LOG_ERROR, kOp, u"复制文件失败:" + f + u"->" + dst);
          return false;
        }
      }
      PostProgress(to + (int)((double)j * (share / 2) / (double)m));
    }
  }
  PostProgress(100);
  return true;
}

// Staging's peak need: the largest archive unpacked in the unzip tree, every
// entry again in the ready tree (a delta as the installed file it rebuilds),
// and the largest rebuilt file once more while its merged output and its
// source copy exist side by side. The swap only renames. A little room is
// kept for the record, the flags and the log.
bool COpFile::HasRoomToStage(const std::vector<WString>& packs, const WString& installDir) {
  static const char* kOp = "COpFile::HasRoomToStage";
  static const uint64_t kMargin = 4ull << 20;
  uint64_t ready = 0, largestArchive = 0, largestDelta = 0;
  for (const WString& archive : packs) {
    HZIP zip = CZipReader::Open(archive, nullptr);
    if (!zip) continue;  // staging itself reports an unreadable archive
    ZipItemInfo info;
    uint64_t unpacked = 0;
    if (CZipReader::GetItem(zip, -1, info) == ZIP_OK) {
      const int32_t count = info.index;
      for (int32_t k = 0; k < count; ++k) {
        if (CZipReader::GetItem(zip, k, info) != ZIP_OK) break;
        unpacked += info.uncompressedSize;
        if (!EndsWith(info.name, kDeltaSuffix)) {
          ready += info.uncompressedSize;
          continue;
        }
        WString source = installDir + u"/" + info.name.substr(0, info.name.size() - kDeltaSuffix.size());
        int64_t size = plat::FileSize(source);
        uint64_t rebuilt = size > 0 ? (uint64_t)size : info.uncompressedSize;
        ready += rebuilt;
        if (rebuilt > largestDelta) largestDelta = rebuilt;
      }
    }
    CZipReader::Close(zip);
    if (unpacked > largestArchive) largestArchive = unpacked;
  }
  const uint64_t need = largestArchive + ready + largestDelta + kMargin;
  const int64_t free = plat::FreeBytes(installDir);
  if (free < 0 || (uint64_t)free >= need) return true;
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
  for (int32_t k = 0; k < count; ++k) {
    if (CZipReader::GetItem(zip, k, info) != ZIP_OK) {
      CZipReader::Close(zip);
      return false;
    }
    WString target = targetDir + u"/" + info.name;
    ClearReadOnly(target);
    if (CZipReader::UnzipItem(zip, k, target) != ZIP_OK) {
      CZipReader::Close(zip);
      return false;
    }
    PostProgress(fromPercent + (int)((long long)(toPercent - fromPercent) * k / count));
  }
  CZipReader::Close(zip);
  return true;
}

bool COpFile::MergeDelta(const WString& delta, const WString& source, const WString& output) {
  if (delta.empty() || source.empty() || output.empty()) return false;
  std::string d, s, o;
  if (!OpenCheck(delta, "rb", d) || !OpenCheck(source, "rb", s) || !OpenCheck(output, "wb", o)) return false;
  // -D/-R: never hand the data to an external (de)compressor; XDELTA in the
  // environment would add options behind our back.
  int rc = plat::RunAndWait(DecoderProgram(), {"-d", "-f", "-D", "-R", "-s", AsOperand(s), AsOperand(d), AsOperand(o)},
                            {"XDELTA"});
  if (rc != 0) return false;
  // The rebuilt file takes the permissions of the file it replaces.
  int mode = plat::GetFileMode(source);
  if (mode >= 0) plat::SetFileMode(output, mode);
  return true;
}

void COpFile::ListFiles(const WString& dir, std::vector<WString>& out) {
  plat::ListDirectory(dir, [&](const WString& name, bool isDir) {
    WString path = dir + u"/" + name;
    if (isDir) ListFiles(path, out);
    else out.push_back(path);
  });
}

void COpFile::ListDirectories(const WString& dir, std::vector<WString>& out) {
  plat::ListDirectory(dir, [&](const WString& name, bool isDir) {
    if (isDir) ListDirectories(dir + u"/" + name, out);
  });
  out.push_back(dir);
}

bool COpFile::DeleteDirectory(const WString& dir) {
  bool failed = false;
  std::vector<std::pair<WString, bool>> entries;
  plat::ListDirectory(dir, [&](const WString& name, bool isDir) { entries.emplace_back(dir + u"/" + name, isDir); });
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
