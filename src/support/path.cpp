#include "support/path.h"

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "platform/files.h"

bool MakeDirectoryTree(const WString& dir) {
  if (dir.empty()) return false;
  return plat::MakeDirs(dir);
}

WString GetSelfPath() {
  WString p = plat::SelfExePath();
  if (p.size() > 260) p.resize(260);
  return p;
}

WString GetSelfDir() {
  WString p = GetSelfPath();
  size_t pos = p.find_last_of(u"/\\");
  return pos == WString::npos ? WString() : p.substr(0, pos);
}

int64_t GetFileSizeByPath(const WString& path) {
  std::string n;
  if (!NativePath(path, n)) return -1;
  // Only a regular file has a size; a directory would open, a pipe would block.
  struct stat st;
  if (stat(n.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  FILE* f = fopen(n.c_str(), "rb");
  if (!f) return -1;
  int64_t size = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? (int64_t)st.st_size : -1;
  fclose(f);
  return size;
}

void ClearReadOnly(const WString& path) {
  uint32_t a = plat::GetAttributes(path);
  if (a != plat::kAttrInvalid && (a & plat::kAttrReadOnly)) plat::SetAttributes(path, a & ~plat::kAttrReadOnly);
}

WString GetSelfVersion() {
  char buf[64];
  snprintf(buf, sizeof buf, "%d.%d.%d.%d", QUILLUP_VERSION_MAJOR, QUILLUP_VERSION_MINOR, QUILLUP_VERSION_PATCH,
           QUILLUP_VERSION_TWEAK);
  return W(buf);
}
