// quillup-pack build: the full pack, the chain of increments and the lists.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>

#include "bridge.h"
#include "common.h"
#include "packset.h"
#include "progress.h"
#include "signing.h"
#include "support/sha256.h"
#include "base/text.h"
#include "support/signature.h"
#include "tree.h"
#include "zipwriter.h"

namespace pack {

const char* const kListFile = "servicepacksNum.xml";
const char* const kForceListFile = "force_servicepack.xml";

namespace {

const char* const kDeltaSuffix = ".delta";  // what staging takes for a VCDIFF delta

struct BuiltPack {
  ListEntry entry;
  std::string what;  // one line for the summary
};

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Everything written must be on disk before the set is published: one
// syncfs for the whole set instead of a flush per file.
void SyncDirectory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0 || syncfs(fd) != 0) {
    std::string why = ErrnoText();
    if (fd >= 0) close(fd);
    throw Error("cannot flush " + dir + ": " + why);
  }
  close(fd);
}

void WriteTextFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) throw Error("cannot write " + path + ": " + ErrnoText());
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (fclose(f) != 0 || !ok) throw Error("cannot write " + path + ": " + ErrnoText());
}

// Checks and records an archive once it is written.
ListEntry Seal(const std::string& archive, const std::string& name) {
  ListEntry e;
  e.name = name;
  e.size = FileSizeOf(archive);
  // The list and the updater carry sizes as signed 32-bit numbers.
  if (e.size < 0 || e.size > INT32_MAX)
    throw Error(archive + " is " + std::to_string(e.size) + " bytes; a pack must stay below 2 GiB");
  e.md5 = FileMd5Hex(archive);
  if (e.md5.empty()) throw Error("cannot read back " + archive);
  return e;
}

// Every entry of a tree as plain files: the full pack, and the base of
// the chain (what leads from nothing to the oldest version).
BuiltPack PlainPack(const VersionTree& t, const std::string& name, const std::string& outDir,
                    const std::string& step) {
  Progress progress(step);
  int files = 0;
  long long bytes = 0;
  for (const auto& [rel, e] : t.entries)
    if (!e.isDir) ++files, bytes += e.size;
  progress.Phase("compressing", files, bytes);
  std::string archive = outDir + "/" + name + ".zip";
  ZipWriter zip(archive);
  for (const auto& [rel, e] : t.entries) {
    ThrowIfInterrupted();
    if (e.isDir) {
      zip.AddDirectory(rel + "/", e.mode, e.mtime);
    } else {
      zip.AddFile(rel, t.Path(rel), e.mode, e.mtime, [&](long long n) { progress.AddBytes(n); });
      progress.AddFile(0);
    }
  }
  zip.Finish();
  BuiltPack p;
  p.entry = Seal(archive, name);
  p.what = std::to_string(files) + " files";
  progress.Done(p.what + ", " + ByteCount(bytes) + " packed into " + ByteCount(p.entry.size));
  return p;
}

std::string XdeltaProgram() {
  const char* env = getenv("QUILLUP_PACK_XDELTA3");
  if (env && *env) return env;
#ifdef XDELTA3_PROGRAM
  if (*XDELTA3_PROGRAM) return XDELTA3_PROGRAM;
#endif
  return "xdelta3";
}

// A VCDIFF delta from the old file to the new one, or "" when it would
// not be smaller than the new file itself.
std::string MakeDelta(const std::string& oldPath, const std::string& newPath, const std::string& deltaPath,
                      long long newSize) {
  size_t slash = deltaPath.find_last_of('/');
  MakeDirOrThrow(deltaPath.substr(0, slash));
  std::string err;
  // No application header (it would carry our temporary names) and no
  // external decompression: the delta must apply to the bytes as they are.
  // No secondary compression either: the archive deflates the delta
  // anyway, and a plain delta is decoded inside the updater.
  int rc = RunProgram({XdeltaProgram(), "-e", "-f", "-q", "-A", "-D", "-S", "none", "-s", oldPath, newPath, deltaPath},
                      &err);
  ThrowIfInterrupted();
  if (rc != 0) throw Error("xdelta3 failed on " + oldPath + " -> " + newPath + (err.empty() ? "" : ": " + err));
  long long size = FileSizeOf(deltaPath);
  if (size < 0) throw Error("xdelta3 wrote no delta for " + newPath);
  if (size >= newSize) {
    unlink(deltaPath.c_str());
    return std::string();
  }
  return deltaPath;
}

// The step from one version to the next: new and changed files, changed
// ones as deltas where that is smaller.
BuiltPack IncrementPack(const VersionTree& from, const VersionTree& to, const std::string& outDir,
                        const std::string& workDir, const std::string& step) {
  Progress progress(step);
  long long files = 0, bytes = 0;
  for (const auto& [rel, e] : to.entries)
    if (!e.isDir) ++files, bytes += e.size;
  progress.Phase("comparing and packing", files, bytes);
  std::string archive = outDir + "/" + to.packName + ".zip";
  ZipWriter zip(archive);
  int plain = 0, deltas = 0, unchanged = 0;
  for (const auto& [rel, e] : to.entries) {
    ThrowIfInterrupted();
    auto old = from.entries.find(rel);
    if (e.isDir) {
      if (old == from.entries.end()) zip.AddDirectory(rel + "/", e.mode, e.mtime);
      continue;
    }
    if (old == from.entries.end()) {
      zip.AddFile(rel, to.Path(rel), e.mode, e.mtime, [&](long long n) { progress.AddBytes(n); });
      ++plain;
      progress.AddFile(0);
      continue;
    }
    if (old->second.size == e.size && SameFileContent(from.Path(rel), to.Path(rel))) {
      ++unchanged;
      progress.AddFile(e.size);
      continue;
    }
    std::string delta = MakeDelta(from.Path(rel), to.Path(rel), workDir + "/" + rel + kDeltaSuffix, e.size);
    if (delta.empty()) {
      zip.AddFile(rel, to.Path(rel), e.mode, e.mtime);
      ++plain;
    } else {
      zip.AddFile(rel + kDeltaSuffix, delta, e.mode, e.mtime);
      ++deltas;
    }
    progress.AddFile(e.size);
  }
  for (const auto& [rel, e] : from.entries)
    if (!e.isDir && !to.entries.count(rel))
      Warn(rel + " is in version " + std::to_string(from.id) + " but not in version " + std::to_string(to.id) +
           "; the updater never deletes files, so updated installations keep it");
  zip.Finish();
  BuiltPack p;
  p.entry = Seal(archive, to.packName);
  p.what = std::to_string(from.id) + " -> " + std::to_string(to.id) + ": " + std::to_string(plain) + " files, " +
           std::to_string(deltas) + " deltas, " + std::to_string(unchanged) + " unchanged";
  progress.Done(p.what.substr(p.what.find(": ") + 2) + ", packed into " + ByteCount(p.entry.size));
  return p;
}

namespace fs = std::filesystem;

bool IsList(const std::string& name) {
  for (const char* list : {kListFile, kForceListFile})
    if (name == list || name == std::string(list) + kSignatureSuffix) return true;
  return false;
}

// What an earlier build wrote into serverDir: its lists, their signatures
// and the packs the lists name. Nothing else there is the build's to remove.
std::set<std::string> BuildFilesIn(const std::string& serverDir) {
  std::set<std::string> files;
  std::error_code ec;
  for (const char* list : {kListFile, kForceListFile}) {
    for (const std::string& name : {std::string(list), std::string(list) + kSignatureSuffix})
      if (fs::exists(serverDir + "/" + name, ec)) files.insert(name);
    std::vector<std::string> packs;
    if (!PackNamesOfList(serverDir + "/" + list, packs)) continue;
    for (const std::string& p : packs) files.insert(p.size() > 4 && p.compare(p.size() - 4, 4, ".zip") == 0 ? p : p + ".zip");
  }
  return files;
}

// A pack of the new set that the server already publishes under the same
// name must have the same bytes: caches keep packs for 30 days and clients
// resume half-downloaded ones by name.
void CheckPublishedPacks(const std::string& built, const std::string& serverDir, bool force) {
  std::vector<std::string> changed;
  std::error_code ec;
  for (const std::string& name : ListNames(built)) {
    if (IsList(name)) continue;
    const std::string published = serverDir + "/" + name;
    if (!fs::exists(published, ec)) continue;
    if (FileSizeOf(published) == FileSizeOf(built + "/" + name) && SameFileContent(published, built + "/" + name))
      continue;
    changed.push_back(published + " (" + DescribeArchiveChange(published, built + "/" + name) + ")");
  }
  if (changed.empty()) return;
  std::string text;
  for (const std::string& c : changed) text += "\n  " + c;
  if (!force)
    throw Error("the new set would give published packs other bytes under the same name; caches and clients that "
                "resume downloads hold them by name. Rebuild from the trees as they were published, or pass --force:" +
                text);
  Warn("--force: published packs get other bytes under the same name:" + text);
}

void Rename(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) throw Error("cannot move " + from + " to " + to + ": " + ErrnoText());
}

// Moves the new set into an existing server directory: packs first (no
// list names a pack before it is there), then signatures and lists, then
// the earlier set's files the new one lacks. Other files stay.
void PublishInto(const std::string& built, const std::string& serverDir, const std::set<std::string>& earlier) {
  std::vector<std::string> names = ListNames(built);
  std::set<std::string> fresh(names.begin(), names.end());
  for (const std::string& name : names)
    if (!IsList(name)) Rename(built + "/" + name, serverDir + "/" + name);
  for (const char* list : {kForceListFile, kListFile})
    for (const std::string& name : {std::string(list) + kSignatureSuffix, std::string(list)})
      if (fresh.count(name)) Rename(built + "/" + name, serverDir + "/" + name);
  // Stale lists before stale packs: no list is left naming a removed pack.
  for (bool lists : {true, false})
    for (const std::string& name : earlier)
      if (IsList(name) == lists && !fresh.count(name) && unlink((serverDir + "/" + name).c_str()) != 0 && errno != ENOENT)
        throw Error("cannot remove " + serverDir + "/" + name + ": " + ErrnoText());
  SyncDirectory(serverDir);
}

void Publish(const std::string& built, const std::string& serverDir, const std::string& tmp) {
  std::error_code ec;
  if (fs::exists(serverDir, ec)) {
    PublishInto(built, serverDir, BuildFilesIn(serverDir));
  } else if (renameat2(AT_FDCWD, built.c_str(), AT_FDCWD, serverDir.c_str(), RENAME_NOREPLACE) != 0) {
    throw Error("cannot move the new packs to " + serverDir + ": " + ErrnoText());
  } else {
    SyncDirectory(fs::path(serverDir).parent_path().empty() ? "." : fs::path(serverDir).parent_path().string());
  }
  RemoveTree(tmp);
}

// The packs would become part of the next version built from that tree.
void CheckNotInsideATree(const BuildOptions& opt) {
  std::error_code ec;
  fs::path out = fs::weakly_canonical(fs::absolute(opt.serverDir, ec), ec);
  for (const std::string& root : opt.versionDirs) {
    fs::path r = fs::weakly_canonical(fs::absolute(root, ec), ec);
    auto rel = out.lexically_relative(r);
    if (!rel.empty() && *rel.begin() != "..")
      throw Error("the server directory " + opt.serverDir + " lies inside the version tree " + root +
                  "; choose a directory outside every VERSION_DIR");
  }
}

void CheckTarget(const BuildOptions& opt) {
  std::error_code ec;
  CheckNotInsideATree(opt);
  if (!fs::exists(opt.serverDir, ec)) {
    std::string parent = fs::path(opt.serverDir).parent_path().string();
    if (!parent.empty() && !fs::is_directory(parent, ec))
      throw Error("the parent of " + opt.serverDir + " does not exist");
    return;
  }
  if (!fs::is_directory(opt.serverDir, ec)) throw Error(opt.serverDir + " exists and is not a directory");
  if (fs::is_empty(opt.serverDir, ec)) return;
  if (!opt.replace) throw Error(opt.serverDir + " is not empty; pass --replace to replace its packs");
  if (!fs::exists(opt.serverDir + "/" + kListFile, ec))
    throw Error(opt.serverDir + " holds no " + kListFile + "; refusing to replace a directory that is not a pack server directory");
}

// Installations of a version that sets PACK_PUBLIC_KEYS refuse lists that
// are unsigned or signed with another key.
void CheckSigningKey(const std::vector<VersionTree>& chain, const SigningKey* key) {
  const VersionTree& newest = chain.back();
  const std::string cfg = newest.Path("config/quillupcfg.ini");
  if (!key) {
    if (!newest.publicKeys.empty())
      throw Error(cfg + " sets PACK_PUBLIC_KEYS: installations of version " + std::to_string(newest.id) +
                  " refuse unsigned lists; pass --sign-key with the private half of one of those keys");
    return;
  }
  const std::string pub = key->PublicBase64();
  // Keys compare as SubjectPublicKeyInfo, however PACK_PUBLIC_KEYS spells them.
  const std::vector<sig::PublicKey> own = sig::ParsePublicKeys(pub).keys;
  for (const VersionTree& t : chain) {
    if (t.publicKeys.empty()) continue;
    bool listed = false;
    for (const sig::PublicKey& k : sig::ParsePublicKeys(t.publicKeys).keys)
      listed = listed || (!own.empty() && k == own.front());
    if (listed) continue;
    const std::string why = "the public half of the signing key (" + pub + ") is not among PACK_PUBLIC_KEYS of " +
                            t.Path("config/quillupcfg.ini") + "; installations of version " + std::to_string(t.id) +
                            " refuse these lists";
    if (&t == &newest) throw Error(why);
    Warn(why);
  }
}

// What build would write, from the trees alone: nothing is packed.
void ShowDryRun(const BuildOptions& opt, const std::vector<VersionTree>& chain, const std::string& fullName,
                bool signing) {
  std::error_code ec;
  const bool existing = fs::exists(opt.serverDir, ec) && !fs::is_empty(opt.serverDir, ec);
  const std::set<std::string> earlier = existing ? BuildFilesIn(opt.serverDir) : std::set<std::string>();
  printf("dry run, nothing written: %s would %s\n", opt.serverDir.c_str(),
         existing ? "get the new set in place of the earlier one" : "be created with");
  auto show = [&](const std::string& name, const std::string& what) {
    bool published = !IsList(name) && fs::exists(opt.serverDir + "/" + name, ec);
    printf("  %-38s %s%s\n", name.c_str(), what.c_str(), published ? " (published: must keep its bytes)" : "");
  };
  auto count = [](const VersionTree& t) {
    long long files = 0, bytes = 0;
    for (const auto& [rel, e] : t.entries)
      if (!e.isDir) ++files, bytes += e.size;
    return std::to_string(files) + " files, " + ByteCount(bytes);
  };
  const VersionTree& newest = chain.back();
  show(fullName + ".zip", "full, version " + std::to_string(newest.id) + ": " + count(newest));
  show(chain[0].packName + ".zip", "base, version " + std::to_string(chain[0].id) + ": " + count(chain[0]));
  for (size_t i = 1; i < chain.size(); ++i) {
    int added = 0, changed = 0;
    for (const auto& [rel, e] : chain[i].entries) {
      if (e.isDir) continue;
      auto old = chain[i - 1].entries.find(rel);
      if (old == chain[i - 1].entries.end()) ++added;
      else if (old->second.size != e.size || !SameFileContent(chain[i - 1].Path(rel), chain[i].Path(rel))) ++changed;
    }
    show(chain[i].packName + ".zip", "increment " + std::to_string(chain[i - 1].id) + " -> " +
                                         std::to_string(chain[i].id) + ": " + std::to_string(added) + " new, " +
                                         std::to_string(changed) + " changed files");
  }
  std::vector<std::string> lists = {kListFile};
  if (opt.forceRepair) lists.push_back(kForceListFile);
  std::set<std::string> fresh = {fullName + ".zip"};
  for (const VersionTree& t : chain) fresh.insert(t.packName + ".zip");
  for (const std::string& l : lists) {
    std::string what = "QUILLUP_ID " + std::to_string(newest.id) + (signing ? ", signed" : ", unsigned");
    if (signing && l == kForceListFile)
      what += ", expires " + ExpiryText((long long)time(nullptr) +
                                        86400LL * (opt.expiresDays < 0 ? kDefaultExpiresDays : opt.expiresDays));
    show(l, what);
    fresh.insert(l);
    if (signing) {
      show(l + kSignatureSuffix, "signature");
      fresh.insert(l + kSignatureSuffix);
    }
  }
  for (const std::string& name : earlier)
    if (!fresh.count(name)) printf("  %-38s would be removed (earlier set)\n", name.c_str());
  if (existing)
    for (const std::string& name : ListNames(opt.serverDir))
      if (!earlier.count(name) && !fresh.count(name)) printf("  %-38s stays (not written by build)\n", name.c_str());
}

}  // namespace

bool IsValidFullPackName(const std::string& name) {
  if (name.empty() || name[0] == 'p') return false;
  if (!isalpha((unsigned char)name[0]) && name[0] != '_') return false;
  if (name.size() >= 3 && tolower((unsigned char)name[0]) == 'x' && tolower((unsigned char)name[1]) == 'm' &&
      tolower((unsigned char)name[2]) == 'l')
    return false;
  for (char c : name)
    if (!isalnum((unsigned char)c) && c != '_' && c != '-' && c != '.') return false;
  return true;
}

std::string ListXml(const std::string& buildOption, int id, const std::vector<ListEntry>& packs,
                    long long expires) {
  std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
  x += "<ServicePacksNum build_option=\"" + XmlEscape(buildOption) + "\" QUILLUP_ID=\"" + std::to_string(id) + "\"";
  if (expires) x += " expires=\"" + std::to_string(expires) + "\"";
  x += ">\r\n";
  for (const ListEntry& p : packs)
    x += "  <" + p.name + " size=\"" + std::to_string(p.size) + "\" md5=\"" + p.md5 + "\" force=\"" +
         (p.force ? "1" : "0") + "\"" + (p.sha256.empty() ? "" : " sha256=\"" + p.sha256 + "\"") + "/>\r\n";
  x += "</ServicePacksNum>\r\n";
  return x;
}

void BuildServerDir(const BuildOptions& opt) {
  auto started = std::chrono::steady_clock::now();
  if (opt.versionDirs.empty()) throw Error("no version directories given");
  CheckTarget(opt);
  unsetenv("XDELTA");  // would add options behind our back
  std::vector<VersionTree> chain = LoadVersionChain(opt.versionDirs);
  const VersionTree& newest = chain.back();
  std::string fullName = opt.fullName.empty() ? "full_" + std::to_string(newest.id) : opt.fullName;
  // A key that cannot sign stops the build before any pack is made.
  std::unique_ptr<SigningKey> key;
  if (!opt.signKey.empty()) key = std::make_unique<SigningKey>(opt.signKey, opt.passphraseFile);
  CheckSigningKey(chain, key.get());
  if (!IsValidFullPackName(fullName))
    throw Error("\"" + fullName + "\" cannot name the full pack: use letters, digits, \"_\", \"-\" or \".\", "
                "starting with a letter other than a lower-case p (increments begin with p)");
  if (opt.dryRun) {
    ShowDryRun(opt, chain, fullName, key != nullptr);
    return;
  }

  std::string tmp = MakeTempDirBeside(opt.serverDir, "build");
  try {
    std::string out = tmp + "/out", work = tmp + "/work";
    MakeDirOrThrow(out);
    MakeDirOrThrow(work);
    std::vector<BuiltPack> packs;
    packs.push_back(PlainPack(newest, fullName, out, "full pack " + fullName + " (version " + std::to_string(newest.id) + ")"));
    packs.back().what = "full, version " + std::to_string(newest.id) + ": " + packs.back().what;
    // The oldest version is the base of the chain: installations that carry
    // its stamp find themselves in the list and take the increments after it.
    packs.push_back(PlainPack(chain[0], chain[0].packName, out,
                              "base pack " + chain[0].packName + " (version " + std::to_string(chain[0].id) + ")"));
    packs.back().what = "base, version " + std::to_string(chain[0].id) + ": " + packs.back().what;
    for (size_t i = 1; i < chain.size(); ++i) {
      packs.push_back(IncrementPack(chain[i - 1], chain[i], out, work + "/" + std::to_string(i),
                                    "increment " + chain[i].packName + " (version " + std::to_string(chain[i - 1].id) +
                                        " -> " + std::to_string(chain[i].id) + ")"));
    }
    std::vector<ListEntry> entries;
    std::string expiry;
    for (const BuiltPack& p : packs) {
      entries.push_back(p.entry);
      if (key) entries.back().sha256 = FileSha256Hex(WidePath(out + "/" + p.entry.name + ".zip"));
    }
    WriteTextFile(out + "/" + kListFile, ListXml(newest.buildOption, newest.id, entries));
    if (key) WriteSignatureOf(*key, out + "/" + kListFile);
    if (opt.forceRepair) {
      ListEntry forced = entries[0];
      forced.force = true;
      // Signed, a forced list may install in any direction: it expires.
      long long expires = 0;
      if (key) expires = (long long)time(nullptr) + 86400LL * (opt.expiresDays < 0 ? kDefaultExpiresDays : opt.expiresDays);
      WriteTextFile(out + "/" + kForceListFile, ListXml(newest.buildOption, newest.id, {forced}, expires));
      if (key) WriteSignatureOf(*key, out + "/" + kForceListFile);
      if (expires) expiry = ExpiryText(expires);
    }
    ThrowIfInterrupted();
    if (opt.replace) CheckPublishedPacks(out, opt.serverDir, opt.force);
    {
      Progress progress("lists");
      progress.Phase("flushing to disk", 0, 0);
      SyncDirectory(out);
      Publish(out, opt.serverDir, tmp);
      progress.Done(std::string(kListFile) + (opt.forceRepair ? " and " + std::string(kForceListFile) : "") +
                    (key ? " signed and" : "") + " written, the set moved into " + opt.serverDir);
    }
    printf("%s: build_option=\"%s\" QUILLUP_ID=%d%s%s\n", opt.serverDir.c_str(), newest.buildOption.c_str(), newest.id,
           opt.forceRepair ? " (with force_servicepack.xml)" : "", key ? ", signed" : "");
    for (const BuiltPack& p : packs)
      printf("  %-34s %10lld  %s  %s\n", p.entry.name.c_str(), p.entry.size, p.entry.md5.c_str(), p.what.c_str());
    if (!expiry.empty()) printf("%s expires %s\n", kForceListFile, expiry.c_str());
    printf("built in %s\n",
           Duration(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()).c_str());
  } catch (...) {
    RemoveTree(tmp);
    throw;
  }
}

}  // namespace pack
