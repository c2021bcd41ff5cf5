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

// The longest relative path a pack may carry: ROOT\update\unzip\PATH.delta
// must stay within Windows' 260 characters (terminator included) for an
// installation directory of up to 79 characters, and the zip reader keeps
// 259 bytes of a name in code page 936.
constexpr size_t kMaxRelPathUnits = 160;
constexpr size_t kMaxRelPathBytes = 253;
// The list and the updater carry pack sizes as signed 32-bit numbers.
constexpr long long kMaxPackBytes = 0x7FFFFFFFLL;

struct VersionTree {
  std::string root;                         // as given, without a trailing "/"
  std::map<std::string, TreeEntry> entries;  // relative path ("a/b.txt") -> entry
  std::string packName;                     // "p" + digest of the stamp
  int id = 0;                               // QUILLUP_ID
  std::string buildOption;                  // QUILLUP_VERSION
  std::string publicKeys;                   // PACK_PUBLIC_KEYS, "" when unset

  std::string Path(const std::string& rel) const { return root + "/" + rel; }
};

// Reads a version tree and checks what the updater needs of it: a stamp,
// a positive QUILLUP_ID, the required configuration, names and sizes a
// Windows installation and a pack can hold, readable files, and every
// file the required-file list names. Throws Error otherwise.
VersionTree LoadVersionTree(const std::string& root);

// Loads every tree (oldest first) and checks them against each other:
// distinct stamps, rising QUILLUP_ID, one build line, and no path that is
// a file in one version and a directory in another.
std::vector<VersionTree> LoadVersionChain(const std::vector<std::string>& roots);

}  // namespace pack
