// Helpers shared by the tests: scratch directories and small file utilities.
#pragma once

#include <initializer_list>
#include <string>

#include "base/text.h"

// A test whose fixture comes from Linux tools (a shell, iconv, md5sum)
// skips on Windows: a Windows test calls none of them.
#ifdef _WIN32
#define SKIP_WITHOUT_LINUX_TOOLS(what) GTEST_SKIP() << "its fixture needs " what ", which a Windows test does not call"
#else
#define SKIP_WITHOUT_LINUX_TOOLS(what) (void)0
#endif

namespace testutil {

// A fresh directory under $TMPDIR, removed with everything in it on exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  WString wpath() const { return WidePath(m_path); }
  std::string sub(const std::string& rel) const;
  WString wsub(const std::string& rel) const { return WidePath(sub(rel)); }

 private:
  std::string m_path;
};

std::string ReadFile(const std::string& path);
// A text file's content as UTF-8: a UTF-16LE file with its mark (as the
// Windows profile writer makes them) decoded, any other as it is.
inline std::string ReadText(const std::string& path) {
  std::string s = ReadFile(path);
  if (s.size() < 2 || s.compare(0, 2, "\xFF\xFE") != 0) return s;
  return Utf8FromWide(WideFromUtf16le(s.data() + 2, s.size() - 2));
}
// path with the separators the system writes: "/" as "\" on Windows.
inline std::string Native(std::string path) {
#ifdef _WIN32
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}
// Creates parent directories as needed.
void WriteFile(const std::string& path, const std::string& data);
bool Exists(const std::string& path);
// mkdir -p and rm -rf, without a shell.
bool MakeDirs(const std::string& path);
void RemoveAll(const std::string& path);
// Runs a shell command; returns its exit status.
int Run(const std::string& cmd);
// Debian's interpreter: a version-manager shim first on PATH costs seconds a call.
std::string Python();
// Permission bits (07777) of path itself, links not followed; -1 when missing.
int Mode(const std::string& path);
// s with the bytes at the given offsets (modulo its size) changed.
std::string Flip(std::string s, std::initializer_list<size_t> at);
// MD5 of bytes in lower-case hex, by OpenSSL: the peer the product's own
// digest is checked against.
std::string OpenSslMd5Hex(const std::string& bytes);

inline std::string TempDir::sub(const std::string& rel) const { return Native(m_path + "/" + rel); }

}  // namespace testutil
