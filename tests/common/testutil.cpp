#include "common/testutil.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testutil {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quillup-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  m_path = tmpl;
}

TempDir::~TempDir() {
  if (!m_path.empty()) Run("chmod -R u+w '" + m_path + "' 2>/dev/null; rm -rf '" + m_path + "'");
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) Run("mkdir -p '" + path.substr(0, slash) + "'");
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), (std::streamsize)data.size());
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

void RemoveAll(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

int Run(const std::string& cmd) {
  int rc = system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Python() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

int Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 07777) : -1;
}

std::string Flip(std::string s, std::initializer_list<size_t> at) {
  for (size_t i : at) s[i % s.size()] ^= 0x5A;
  return s;
}

std::string OpenSslMd5Hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_md5(), nullptr);
  std::string hex;
  char b[3];
  for (unsigned i = 0; i < len; ++i) {
    snprintf(b, sizeof b, "%02x", md[i]);
    hex += b;
  }
  return hex;
}

}  // namespace testutil
