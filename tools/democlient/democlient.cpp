// The demo's trading client on Windows (bin/zoclient.exe of a demo
// installation): started by the updater without arguments, it appends
// "zoclient version N started" to client.log of its installation, N being
// QUILLUP_ID of the installation's config/quillupcfg.ini, and exits. The
// same program serves every version, so only the configuration tells them
// apart.
#include <cstdio>
#include <string>

#include "platform/profile.h"
#include "support/path.h"

int main() {
  // The installation is the parent of bin/.
  WString dir = GetSelfDir();
  size_t slash = dir.find_last_of(u"/\\");
  WString root = slash == WString::npos ? dir : dir.substr(0, slash);
  WString version = plat::GetProfileString(u"QUILLUP_CFG", u"QUILLUP_ID", u"?", root + u"/config/quillupcfg.ini");
  std::string native;
  if (!NativePath(root + u"/client.log", native)) return 1;
  FILE* f = fopen(native.c_str(), "ab");
  if (!f) return 1;
  std::string line = "zoclient version " + Utf8FromWide(version) + " started\n";
  bool ok = fputs(line.c_str(), f) >= 0;
  return fclose(f) == 0 && ok ? 0 : 1;
}
