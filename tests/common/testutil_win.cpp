// The helpers of testutil.h on Windows: fixtures are made in C++, so no
// shell is needed; Run has none to call.
#include <windows.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "common/testutil.h"

namespace fs = std::filesystem;

namespace testutil {
namespace {

fs::path P(const std::string& utf8) { return fs::u8path(utf8); }

}  // namespace

// In the system's own form ("\"), as the product's paths are; a test's
// "dir/name" joins open the same, and Native() spells them the same.
TempDir::TempDir() {
  std::random_device rd;
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) throw std::runtime_error("no temporary folder");
  for (int tries = 0; tries < 100; ++tries) {
    fs::path p = base / ("quillup-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(rd() % 1000000));
    if (fs::create_directory(p, ec)) {
      m_path = p.u8string();
      return;
    }
  }
  throw std::runtime_error("could not make a temporary folder");
}

TempDir::~TempDir() {
  if (m_path.empty()) return;
  std::error_code ec;
  // Read-only files would stop the removal.
  for (auto it = fs::recursive_directory_iterator(P(m_path), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
  fs::remove_all(P(m_path), ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(P(path), std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::error_code ec;
  fs::path p = P(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(data.data(), (std::streamsize)data.size());
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(P(path), ec).type() != fs::file_type::not_found && !ec;
}

bool MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(P(path), ec);
  return fs::is_directory(P(path), ec);
}

void RemoveAll(const std::string& path) {
  std::error_code ec;
  fs::remove_all(P(path), ec);
}

int Run(const std::string&) { return -1; }

// No interpreter under Windows: tests that make their fixtures with one skip.
std::string Python() { return std::string(); }

int Mode(const std::string& path) {
  struct _stat64 st;
  return _wstat64(P(path).c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
}

std::string OpenSslMd5Hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_md5(), nullptr);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < len; ++i) {
    hex += digits[md[i] >> 4];
    hex += digits[md[i] & 15];
  }
  return hex;
}

}  // namespace testutil
