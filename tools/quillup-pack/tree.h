// One installation tree of a released version, as the pack tool sees it.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace pack {

struct TreeEntry {
  bool isDir = false;
  long long size = 0;
  mode_t mode = 0;
  long long mtime = 0;
};

struct VersionTree {
  std::string root;                         // as given, without a trailing "/"
  std::map<std::string, TreeEntry> entries;  // relative path ("a/b.txt") -> entry
  std::string packName;                     // "p" + digest of the stamp
  int id = 0;                               // QUILLUP_ID
  std::string buildOption;                  // QUILLUP_VERSION

  std::string Path(const std::string& rel) const { return root + "/" + rel; }
};

// Reads a version tree and checks what the updater needs of it: a stamp,
// a positive QUILLUP_ID, the required configuration, file names the
// updater can stage, and files that can be read. Throws Error otherwise.
VersionTree LoadVersionTree(const std::string& root);

// Loads every tree (oldest first) and checks them against each other:
// distinct stamps, rising QUILLUP_ID, one build line, and no path that is
// a file in one version and a directory in another.
std::vector<VersionTree> LoadVersionChain(const std::vector<std::string>& roots);

}  // namespace pack
