// quillup-pack verify: replays the updater on copies of every version.
#pragma once

#include <string>
#include <vector>

namespace pack {

struct VerifyOptions {
  std::string serverDir;
  std::vector<std::string> versionDirs;  // oldest first, as given to build
  std::vector<std::string> publicKeys;   // empty: the versions' own PACK_PUBLIC_KEYS
};

// Prints one line per list and per starting version; returns 0 when every
// check passed, 1 otherwise. Throws Error on bad input.
int VerifyServerDir(const VerifyOptions& opt);

}  // namespace pack
