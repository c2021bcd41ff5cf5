#include "bridge.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <vector>

namespace pack {
namespace {

// Stand-in until the support library's MD5 lands; same digest.
std::string Md5OfStream(FILE* f, long long limit) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  std::vector<unsigned char> buf(1 << 16);
  long long left = limit;
  bool ok = true;
  while (limit < 0 || left > 0) {
    size_t want = buf.size();
    if (limit >= 0 && (long long)want > left) want = (size_t)left;
    size_t n = fread(buf.data(), 1, want, f);
    if (n > 0) EVP_DigestUpdate(ctx, buf.data(), n);
    if (limit >= 0) left -= (long long)n;
    if (n < want) {
      ok = !ferror(f);
      break;
    }
  }
  unsigned char md[16];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  if (!ok) return std::string();
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out.push_back(hex[md[i] >> 4]);
    out.push_back(hex[md[i] & 15]);
  }
  return out;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && isspace((unsigned char)s[a])) ++a;
  while (b > a && isspace((unsigned char)s[b - 1])) --b;
  return s.substr(a, b - a);
}

bool EqNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
  return true;
}

}  // namespace

std::string PackNameOfStamp(const std::string& updateIniPath) {
  FILE* f = fopen(updateIniPath.c_str(), "rb");
  if (!f) return std::string();
  unsigned char head[63];
  size_t n = fread(head, 1, sizeof head, f);
  fclose(f);
  if (n == 0) return std::string();
  FILE* m = fmemopen(head, n, "rb");
  std::string md5 = Md5OfStream(m, (long long)n);
  fclose(m);
  return md5.empty() ? md5 : "p" + md5;
}

std::string FileMd5Hex(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return std::string();
  std::string md5 = Md5OfStream(f, -1);
  fclose(f);
  return md5;
}

// Stand-in until the profile reader lands: UTF-8 files, first match wins.
std::string ReadCfgValue(const std::string& cfgPath, const char* key) {
  std::ifstream in(cfgPath, std::ios::binary);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (line.size() >= 3 && (unsigned char)line[0] == 0xEF) line = line.substr(3);
    line = Trim(line);
    if (!line.empty() && line[0] == '[') {
      size_t close = line.find(']');
      inSection = close != std::string::npos && EqNoCase(Trim(line.substr(1, close - 1)), "QUILLUP_CFG");
      continue;
    }
    size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    if (!EqNoCase(Trim(line.substr(0, eq)), key)) continue;
    std::string v = Trim(line.substr(eq + 1));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
  }
  return std::string();
}

}  // namespace pack
