// quillup-pack verify: replays, for every older version, what the updater
// does with the server directory: its own selection picks the packs, the
// download checks are applied, its own staging builds the new tree, and
// the swapped-in result must equal the newest version byte for byte.
#include "verify.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "bridge.h"
#include "common.h"
#include "opfile/opfile.h"
#include "packset.h"
#include "progress.h"
#include "signing.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/path.h"
#include "base/text.h"
#include "tree.h"

namespace pack {
namespace {

namespace fs = std::filesystem;

const char* const kFlagFile = "config/quillupcfg_ex.ini";  // written by the updater's Init

// What one simulated update did.
struct Outcome {
  bool ok = false;
  bool updated = false;
  std::vector<std::string> chosen;
  std::string detail;
};

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += (s.empty() ? "" : ", ") + x;
  return s;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
  return true;
}

// The updater's log, so that a failure can show what the updater said.
class LogCapture {
 public:
  explicit LogCapture(const std::string& path) : m_path(path) { CLog::Instance()->SetPath(WidePath(path)); }
  void Mark() { m_mark = FileSizeOf(m_path) < 0 ? 0 : FileSizeOf(m_path); }
  std::string SinceMark() const {
    std::string all;
    if (FILE* f = fopen(m_path.c_str(), "rb")) {
      fseek(f, (long)m_mark, SEEK_SET);
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
      fclose(f);
    }
    std::string out, line;
    for (char c : all) {
      if (c == '\r') continue;
      if (c == '\n') {
        out += "    updater: " + line + "\n";
        line.clear();
      } else {
        line += c;
      }
    }
    return out;
  }

 private:
  std::string m_path;
  long long m_mark = 0;
};

// What the download does before staging: the archive must be on
// the server with the size and MD5 the list gives.
bool FetchPack(const std::string& serverDir, const ServicePack& p, const std::string& updateDir,
               std::vector<WString>& files, std::string& why) {
  std::string name = Utf8FromWide(p.strName);
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".zip") != 0) name += ".zip";
  std::string from = serverDir + "/" + name, to = updateDir + "/" + name;
  long long size = FileSizeOf(from);
  if (size < 0) {
    why = name + " is not on the server";
    return false;
  }
  if (size != p.nSize) {
    why = name + " is " + std::to_string(size) + " bytes, the list says " + std::to_string(p.nSize) +
          " (the updater rejects the download)";
    return false;
  }
  std::string md5 = FileMd5Hex(from), listed = Utf8FromWide(p.strMd5);
  if (!listed.empty() && !EqualsNoCase(md5, listed)) {
    why = name + " has MD5 " + md5 + ", the list says " + listed + " (the updater rejects the download)";
    return false;
  }
  if (!plat::CopyFileKeep(WidePath(from), WidePath(to), false)) {
    why = "cannot copy " + from + " to " + to;
    return false;
  }
  files.push_back(WidePath(to));
  return true;
}

// A copy of a version tree, entry by entry so that the progress can count
// them. Directory modes are set last: a read-only one would refuse its
// entries.
void CopyVersion(const VersionTree& t, const std::string& to, Progress& progress) {
  long long files = 0, bytes = 0;
  for (const auto& [rel, e] : t.entries)
    if (!e.isDir) ++files, bytes += e.size;
  progress.Phase("copying version " + std::to_string(t.id), files, bytes);
  MakeDirOrThrow(to);
  for (const auto& [rel, e] : t.entries) {  // a directory sorts before its entries
    ThrowIfInterrupted();
    std::string dst = to + "/" + rel;
    std::error_code ec;
    if (e.isDir) {
      MakeDirOrThrow(dst);
      continue;
    }
    fs::copy_file(t.Path(rel), dst, ec);
    if (ec) throw Error("cannot copy " + t.Path(rel) + " to " + dst + ": " + ec.message());
    progress.AddFile(e.size);
  }
  for (auto it = t.entries.rbegin(); it != t.entries.rend(); ++it)
    if (it->second.isDir && chmod((to + "/" + it->first).c_str(), it->second.mode) != 0)
      throw Error("cannot set the mode of " + to + "/" + it->first + ": " + ErrnoText());
}

// Puts every staged file in place, as a finished swap leaves them.
bool SwapIn(COpFile& op, const std::string& readyDir, const std::string& root, std::string& why, Progress& progress) {
  std::vector<WString> dirs, staged;
  op.ListDirectories(WidePath(readyDir), dirs);
  for (const WString& d : dirs) MakeDirOrThrow(root + Utf8FromWide(d).substr(readyDir.size()));
  op.ListFiles(WidePath(readyDir), staged);
  progress.Phase("swapping in", (long long)staged.size(), 0);
  for (const WString& w : staged) {
    ThrowIfInterrupted();
    progress.AddFile(0);
    std::string f = Utf8FromWide(w);
    std::string rel = f.substr(readyDir.size());
    std::string dst = root + rel;
    MakeDirOrThrow(dst.substr(0, dst.find_last_of('/')));
    ClearReadOnly(WidePath(dst));
    if (!plat::CopyFileKeep(w, WidePath(dst), false)) {
      why = "cannot put " + rel + " in place";
      return false;
    }
  }
  return true;
}

// Compares the updated copy with the newest tree. Files the newest tree
// lacks may only be ones the old tree already had: the updater does not
// delete.
bool SameAsNewest(const std::string& root, const std::vector<const VersionTree*>& passed, const VersionTree& newest,
                  const std::set<std::string>& ownFiles, std::string& why, int& kept, Progress& progress) {
  kept = 0;
  std::vector<std::string> diffs;
  long long files = 0, bytes = 0;
  for (const auto& [rel, e] : newest.entries)
    if (!e.isDir) ++files, bytes += e.size;
  progress.Phase("comparing with version " + std::to_string(newest.id), files, bytes);
  for (const auto& [rel, e] : newest.entries) {
    std::string p = root + "/" + rel;
    std::error_code ec;
    if (e.isDir) {
      if (!fs::is_directory(p, ec)) diffs.push_back(rel + "/ missing");
      continue;
    }
    ThrowIfInterrupted();
    progress.AddFile(e.size);
    if (!fs::is_regular_file(p, ec))
      diffs.push_back(rel + " missing");
    else if (FileSizeOf(p) != e.size || !SameFileContent(p, newest.Path(rel)))
      diffs.push_back(rel + " differs");
    else if (((fs::status(p, ec).permissions() & fs::perms::owner_exec) != fs::perms::none) != ((e.mode & 0100) != 0))
      // An executable that lost its bit cannot be started by the updater.
      diffs.push_back(rel + ((e.mode & 0100) ? " is not executable" : " became executable"));
  }
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), root).string();
    if (rel == "update") {
      it.disable_recursion_pending();
      continue;
    }
    if (newest.entries.count(rel) || ownFiles.count(rel)) continue;
    bool hadIt = false;
    for (const VersionTree* t : passed) hadIt = hadIt || t->entries.count(rel);
    if (hadIt) {
      if (!it->is_directory()) ++kept;
      continue;
    }
    diffs.push_back(rel + " is left over");
  }
  if (diffs.empty()) return true;
  why = diffs.size() > 5 ? Join(std::vector<std::string>(diffs.begin(), diffs.begin() + 5)) + ", ... (" +
                               std::to_string(diffs.size()) + " differences)"
                         : Join(diffs);
  return false;
}

Outcome Simulate(const std::string& serverDir, const std::string& listFile, bool forced, const VersionTree& start,
                 const std::vector<VersionTree>& chain, const std::string& work, bool unknownVersion,
                 Progress& progress) {
  Outcome o;
  const VersionTree& newest = chain.back();
  std::string root = work + "/install";
  RemoveTree(root);
  CopyVersion(start, root, progress);
  if (unknownVersion) {
    // An installation whose stamp was lost: the updater asks as version 0.
    FILE* f = fopen((root + "/config/update.ini").c_str(), "wb");
    if (f) fclose(f);
  }
  std::string updateDir = root + "/update";
  MakeDirOrThrow(updateDir);
  // The updater's own state files are not part of any version.
  std::set<std::string> ownFiles;
  if (!fs::exists(root + "/" + kFlagFile)) ownFiles.insert(kFlagFile);
  COpFile op;
  WString wroot = WidePath(root);
  if (!op.Init(wroot)) {
    o.detail = "the updater does not start on this installation";
    return o;
  }
  std::string localList = updateDir + "/servicepacksNum.xml";
  if (!plat::CopyFileKeep(WidePath(serverDir + "/" + listFile), WidePath(localList), false)) {
    o.detail = "cannot copy " + listFile;
    return o;
  }
  WString stamp = wroot + u"/config/update.ini";
  op.CreateEmptyFile(stamp);
  if (forced && !op.IsForcePackListValid(WidePath(localList))) {
    o.detail = std::string(kForceListFile) + " would be ignored by the updater";
    return o;
  }
  std::vector<ServicePack> packs;
  int32_t serverVersion = 0, localVersion = 0;
  bool need = op.GetNeedPackFiles(WidePath(localList), stamp, packs, serverVersion, localVersion, forced);
  for (const ServicePack& p : packs) o.chosen.push_back(Utf8FromWide(p.strName));
  if (!need) {
    o.ok = &start == &newest && !unknownVersion;
    o.detail = o.ok ? "up to date" : "the updater finds nothing to do";
    return o;
  }
  if (&start == &newest && !unknownVersion && !forced) {
    o.detail = "the newest version would update again (" + Join(o.chosen) + ")";
    return o;
  }
  std::vector<WString> files;
  long long packBytes = 0;
  for (const ServicePack& p : packs) packBytes += p.nSize;
  progress.Phase("fetching packs", (long long)packs.size(), packBytes);
  for (const ServicePack& p : packs) {
    if (!FetchPack(serverDir, p, updateDir, files, o.detail)) return o;
    progress.AddFile(p.nSize);
  }
  ThrowIfInterrupted();
  std::string ready = updateDir + "/ready";
  progress.Phase("staging " + Join(o.chosen), 0, 0);
  if (!op.UpdateToReadyDir(files, wroot, WidePath(updateDir + "/unzip"), WidePath(ready))) {
    o.detail = "staging failed";
    return o;
  }
  if (!SwapIn(op, ready, root, o.detail, progress)) return o;
  // Files of the start and of every version an applied increment led to
  // may stay behind.
  std::vector<const VersionTree*> passed = {&start};
  for (const VersionTree& t : chain)
    for (const std::string& name : o.chosen)
      if (name == t.packName) passed.push_back(&t);
  int kept = 0;
  if (!SameAsNewest(root, passed, newest, ownFiles, o.detail, kept, progress)) return o;
  o.ok = o.updated = true;
  o.detail = kept ? "equals version " + std::to_string(newest.id) + ", keeps " + std::to_string(kept) +
                        " file(s) removed upstream"
                  : "equals version " + std::to_string(newest.id);
  return o;
}

// 0: the list is usable and every pack matches it; 1: some pack does not
// match; 2: the updater cannot use the list at all.
int CheckListedPacks(const std::string& serverDir, const std::string& listFile, const VersionTree& newest,
                     std::string& why) {
  COpFile op;
  ServicePackInfo info;
  if (!op.ParseServicePackList(WidePath(serverDir + "/" + listFile), info)) {
    why = "the updater cannot parse it";
    return 2;
  }
  if (Utf8FromWide(info.strBuildOption) != newest.buildOption) {
    why = "build_option \"" + Utf8FromWide(info.strBuildOption) + "\" is not the versions' QUILLUP_VERSION \"" +
          newest.buildOption + "\"";
    return 2;
  }
  if (WToInt(info.strId) != newest.id) {
    why = "QUILLUP_ID " + Utf8FromWide(info.strId) + " is not the newest version's " + std::to_string(newest.id);
    return 2;
  }
  std::string tmp = MakeTempDirBeside(serverDir, "verify");
  std::vector<WString> scratch;
  bool ok = true;
  Progress progress(listFile);
  long long bytes = 0;
  for (const ServicePack& p : info.vecPacks) bytes += p.nSize;
  progress.Phase("checking sizes and MD5 of the packs", (long long)info.vecPacks.size(), bytes);
  for (const ServicePack& p : info.vecPacks) {
    ThrowIfInterrupted();
    if (!FetchPack(serverDir, p, tmp, scratch, why)) {
      ok = false;
      break;
    }
    progress.AddFile(p.nSize);
  }
  progress.Done(std::string());
  RemoveTree(tmp);
  if (ok) why = std::to_string(info.vecPacks.size()) + " packs, sizes and MD5 match";
  return ok ? 0 : 1;
}

}  // namespace

int VerifyServerDir(const VerifyOptions& opt) {
  auto started = std::chrono::steady_clock::now();
  std::string givenKeys;
  for (const std::string& k : opt.publicKeys) givenKeys += (givenKeys.empty() ? "" : ",") + PublicKeysFrom(k);
  std::vector<VersionTree> chain = LoadVersionChain(opt.versionDirs);
  const VersionTree& newest = chain.back();
  int failures = 0;
  if (!opt.publicKeys.empty()) {
    failures += VerifySignatures(opt.serverDir, givenKeys, "--public-key", "");
  } else {
    // Installations check the lists with their own keys: once per key set,
    // newest first.
    std::set<std::string> checked;
    for (auto t = chain.rbegin(); t != chain.rend(); ++t)
      if (!t->publicKeys.empty() && checked.insert(t->publicKeys).second)
        failures += VerifySignatures(opt.serverDir, t->publicKeys, "PACK_PUBLIC_KEYS of " + t->Path("config/quillupcfg.ini"),
                                     " (keys of version " + std::to_string(t->id) + ")");
  }
  const char* base = getenv("TMPDIR");
  std::string work = std::string(base && *base ? base : "/tmp") + "/quillup-pack-verify-XXXXXX";
  if (!mkdtemp(work.data())) throw Error("cannot create a work directory: " + ErrnoText());
  try {
    LogCapture log(work + "/updater.log");
    std::vector<std::string> lists = {kListFile};
    if (fs::exists(opt.serverDir + "/" + kForceListFile)) lists.push_back(kForceListFile);
    for (const std::string& list : lists) {
      bool forced = list == kForceListFile;
      std::string why;
      log.Mark();
      int check = CheckListedPacks(opt.serverDir, list, newest, why);
      printf("%s: %s%s\n", list.c_str(), check == 0 ? "ok, " : "FAILED: ", why.c_str());
      if (check != 0) {
        printf("%s", log.SinceMark().c_str());
        ++failures;
        if (check == 2) continue;  // nothing to replay with an unusable list
      }
      std::vector<std::pair<std::string, const VersionTree*>> starts;
      for (const VersionTree& t : chain) starts.push_back({"version " + std::to_string(t.id) + " (" + t.packName + ")", &t});
      starts.push_back({"version unknown (empty stamp, " + chain[0].root + ")", nullptr});
      for (const auto& [label, tree] : starts) {
        ThrowIfInterrupted();
        log.Mark();
        bool unknown = tree == nullptr;
        const VersionTree& start = unknown ? chain[0] : *tree;
        Progress progress((forced ? "forced, " : "") + label);
        Outcome o = Simulate(opt.serverDir, list, forced, start, chain, work, unknown, progress);
        progress.Done(std::string());
        printf("%s%s: %s%s%s%s\n", forced ? "forced, " : "", label.c_str(), o.ok ? "ok" : "FAILED",
               o.chosen.empty() ? "" : (", packs " + Join(o.chosen)).c_str(), ", ", o.detail.c_str());
        if (!o.ok) {
          printf("%s", log.SinceMark().c_str());
          ++failures;
        }
        fflush(stdout);
      }
    }
  } catch (...) {
    CLog::Instance()->SetPath(WString());
    RemoveTree(work);
    throw;
  }
  CLog::Instance()->SetPath(WString());
  RemoveTree(work);
  std::string took =
      Duration(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  if (failures)
    printf("%d check(s) FAILED (%s)\n", failures, took.c_str());
  else
    printf("every check passed (%s)\n", took.c_str());
  return failures ? 1 : 0;
}

}  // namespace pack
