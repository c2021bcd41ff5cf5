#include "support/path.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "platform/file.h"
#include "platform/files.h"

namespace {

// The narrow interfaces cannot name a path that code page 936 cannot hold.
bool OpenForReading(const WString& path, plat::File& file) {
  return IsGbkRepresentable(path) && file.Open(path, plat::File::kRead);
}

}  // namespace

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
  plat::File f;
  return OpenForReading(path, f) ? f.Size() : -1;
}

bool ReadFileInPieces(const WString& path, size_t pieceSize, const std::function<bool(const char*, size_t)>& fn) {
  plat::File f;
  if (!OpenForReading(path, f)) return false;
  f.AdviseSequential();
  std::unique_ptr<char[]> buf(new (std::nothrow) char[pieceSize]);
  if (!buf) return false;
  for (int64_t off = 0;;) {
    const int64_t n = f.ReadAt(off, buf.get(), pieceSize);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!fn(buf.get(), (size_t)n)) return false;
    off += n;
  }
}

bool ReadFileLines(const WString& path, size_t bufferSize, const std::function<bool(const char*)>& fn) {
  plat::File f;
  if (!OpenForReading(path, f)) return false;
  std::string piece;
  char buf[1 << 16];
  for (int64_t off = 0;;) {
    const int64_t n = f.ReadAt(off, buf, sizeof buf);
    // A read error ends the reading as the end of the file does, without
    // the piece begun.
    if (n < 0) return true;
    if (n == 0) break;
    off += n;
    for (int64_t i = 0; i < n; ++i) {
      piece.push_back(buf[i]);
      if (buf[i] == '\n' || piece.size() + 1 >= bufferSize) {
        if (!fn(piece.c_str())) return true;
        piece.clear();
      }
    }
  }
  if (!piece.empty()) fn(piece.c_str());
  return true;
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
