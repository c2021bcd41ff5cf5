#include "tree.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "bridge.h"
#include "common.h"
#include "base/text.h"

namespace pack {
namespace {

namespace fs = std::filesystem;

const char* const kStampFile = "config/update.ini";
const char* const kCfgFile = "config/quillupcfg.ini";
// The updater refuses to start without these (its configuration check).
const char* const kRequiredKeys[] = {"OUTSIDE_DOWNLOAD_URL", "BIN_FILE", "SPLASH_BMP_FILE",
                                     "QUILLUP_DIALOG_WINDOW_NAME", "QUILLUP_VERSION"};

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Lower(std::string s) {
  for (char& c : s) c = (char)tolower((unsigned char)c);
  return s;
}

const char* const kNeededList = "config/neededfilelist.lst";

// Why Windows cannot hold a path segment, "" when it can.
std::string WindowsNameProblem(const std::string& seg) {
  for (unsigned char c : seg) {
    if (c < 0x20) return "a control character";
    if (strchr("<>:\"|?*", c)) return std::string("the character ") + (char)c;
  }
  if (seg.back() == '.' || seg.back() == ' ') return "a trailing dot or space, which Windows drops";
  // Device names are reserved with any extension ("nul.txt" too).
  std::string stem = seg.substr(0, seg.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = (char)toupper((unsigned char)c);
  bool device = stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" ||
                (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
                 stem[3] >= '1' && stem[3] <= '9');
  return device ? "the device name " + stem : std::string();
}

void CheckName(const VersionTree& t, const std::string& rel) {
  WString wide = WideFromUtf8(rel);
  if (wide.empty()) throw Error(t.Path(rel) + ": the file name is not valid UTF-8");
  if (!IsGbkRepresentable(wide))
    throw Error(t.Path(rel) + ": the file name has characters that code page 936 cannot hold; the updater cannot stage it");
  if (rel.find('\\') != std::string::npos)
    throw Error(t.Path(rel) + ": the file name contains a backslash, which the updater reads as a directory separator");
  std::string seg = rel.substr(rel.find_last_of('/') + 1);
  std::string problem = WindowsNameProblem(seg);
  if (!problem.empty())
    throw Error(t.Path(rel) + ": the name holds " + problem + "; a Windows installation cannot hold it");
  size_t bytes = GbkFromWide(wide).size();
  if (wide.size() > kMaxRelPathUnits || bytes > kMaxRelPathBytes)
    throw Error(t.Path(rel) + ": the relative path is " + std::to_string(wide.size()) + " UTF-16 units (" +
                std::to_string(bytes) + " bytes in code page 936); at most " + std::to_string(kMaxRelPathUnits) +
                " and " + std::to_string(kMaxRelPathBytes) + " fit the updater's path limit");
}

// Every file the client's required-file list names must be in the tree,
// or installations end each update reporting missing files.
void CheckRequiredFiles(const VersionTree& t) {
  const std::string list = t.Path(kNeededList);
  std::error_code ec;
  std::vector<std::string> files;
  if (!fs::is_regular_file(list, ec) || !RequiredFilesOf(list, files))
    throw Error(t.root + " has no readable " + kNeededList +
                "; without it the updater reports the client's files missing after every update");
  for (const std::string& f : files) {
    struct stat st;
    if (lstat(t.Path(f).c_str(), &st) != 0)
      throw Error(list + " names " + f + ", which " + t.root +
                  " does not hold; installations would end the update reporting a missing file");
  }
}

void Walk(VersionTree& t, const std::string& rel, std::map<std::string, std::string>& folded) {
  std::string dir = rel.empty() ? t.root : t.Path(rel);
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) throw Error("cannot read directory " + dir + ": " + ec.message());
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) throw Error("cannot read directory " + dir + ": " + ec.message());
    names.push_back(it->path().filename().string());
  }
  for (const std::string& name : names) {
    std::string childRel = rel.empty() ? name : rel + "/" + name;
    std::string full = t.Path(childRel);
    CheckName(t, childRel);
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) throw Error("cannot read " + full + ": " + ErrnoText());
    // Installations on the updater's side are case-insensitive.
    auto [pos, fresh] = folded.emplace(Lower(childRel), childRel);
    if (!fresh)
      throw Error(t.root + ": " + pos->second + " and " + childRel + " differ only in letter case");
    TreeEntry e;
    e.mode = st.st_mode & 07777;
    e.mtime = (long long)st.st_mtime;
    if (S_ISDIR(st.st_mode)) {
      e.isDir = true;
      t.entries[childRel] = e;
      Walk(t, childRel, folded);
    } else if (S_ISREG(st.st_mode)) {
      if (EndsWith(childRel, ".delta"))
        throw Error(full + ": the updater takes a file whose name ends in \".delta\" for a binary delta; rename it");
      if ((long long)st.st_size > kMaxPackBytes)
        throw Error(full + " is " + std::to_string((long long)st.st_size) +
                    " bytes; a pack holds less than 2 GiB (its size is a signed 32-bit number in the list)");
      FILE* f = fopen(full.c_str(), "rb");
      if (!f) throw Error("cannot read " + full + ": " + ErrnoText());
      fclose(f);
      e.size = (long long)st.st_size;
      t.entries[childRel] = e;
    } else if (S_ISLNK(st.st_mode)) {
      throw Error(full + " is a symbolic link; packs carry plain files only");
    } else {
      throw Error(full + " is not a regular file or directory");
    }
  }
}

std::string StripSlashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

VersionTree LoadVersionTree(const std::string& rootArg) {
  VersionTree t;
  t.root = StripSlashes(rootArg);
  std::error_code ec;
  if (!fs::is_directory(t.root, ec)) throw Error(t.root + " is not a directory");
  std::string stamp = t.Path(kStampFile);
  if (!fs::is_regular_file(stamp, ec))
    throw Error(t.root + " has no " + kStampFile + " stamp; every version tree needs one");
  t.packName = PackNameOfStamp(stamp);
  if (t.packName.empty()) throw Error(stamp + " is empty or unreadable; the stamp must hold at least one byte");
  std::string cfg = t.Path(kCfgFile);
  if (!fs::is_regular_file(cfg, ec)) throw Error(t.root + " has no " + kCfgFile);
  for (const char* key : kRequiredKeys)
    if (ReadCfgValue(cfg, key).empty())
      throw Error(cfg + " lacks " + key + "; the updater does not start without it");
  if (!UpdaterAcceptsCfg(cfg)) throw Error(cfg + " is not accepted by the updater's configuration check");
  std::string id = ReadCfgValue(cfg, "QUILLUP_ID");
  t.id = WToInt(WideFromUtf8(id));
  if (t.id <= 0)
    throw Error(cfg + ": QUILLUP_ID \"" + id + "\" is not a positive number; the updater would treat the version as unknown");
  t.buildOption = ReadCfgValue(cfg, "QUILLUP_VERSION");
  t.publicKeys = ReadCfgValue(cfg, "PACK_PUBLIC_KEYS");
  std::map<std::string, std::string> folded;
  Walk(t, "", folded);
  if (t.entries.count("update"))
    throw Error(t.root + " contains update/, the directory the updater stages in and deletes");
  CheckRequiredFiles(t);
  return t;
}

std::vector<VersionTree> LoadVersionChain(const std::vector<std::string>& roots) {
  std::vector<VersionTree> chain;
  for (const std::string& r : roots) {
    ThrowIfInterrupted();
    chain.push_back(LoadVersionTree(r));
    const VersionTree& t = chain.back();
    Note("version " + std::to_string(t.id) + ": " + t.root + " (" + t.packName + ", " +
         std::to_string(t.entries.size()) + " entries)");
  }
  for (size_t i = 0; i < chain.size(); ++i) {
    for (size_t j = 0; j < i; ++j)
      if (chain[j].packName == chain[i].packName)
        throw Error(chain[j].root + " and " + chain[i].root + " carry the same stamp (" + chain[i].packName +
                    "); only the first 63 bytes of config/update.ini count");
    if (i > 0 && chain[i].id <= chain[i - 1].id)
      throw Error("versions must be given oldest first with rising QUILLUP_ID: " + chain[i].root + " has " +
                  std::to_string(chain[i].id) + ", " + chain[i - 1].root + " has " + std::to_string(chain[i - 1].id));
    if (chain[i].buildOption != chain[0].buildOption)
      throw Error(chain[i].root + " has QUILLUP_VERSION \"" + chain[i].buildOption + "\" but " + chain[0].root +
                  " has \"" + chain[0].buildOption + "\"; one list serves one build line");
  }
  // A file left behind by an older version must not stand where a later
  // version needs a directory, or the other way round: the updater never
  // deletes, so the swap could not place it.
  std::map<std::string, std::pair<bool, const VersionTree*>> kinds;
  for (const VersionTree& t : chain)
    for (const auto& [rel, e] : t.entries) {
      auto [pos, fresh] = kinds.emplace(rel, std::make_pair(e.isDir, &t));
      if (!fresh && pos->second.first != e.isDir)
        throw Error(rel + " is a " + (pos->second.first ? "directory" : "file") + " in " + pos->second.second->root +
                    " but a " + (e.isDir ? "directory" : "file") + " in " + t.root);
    }
  return chain;
}

}  // namespace pack
