#include "support/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

std::string Hex(const unsigned char* md, unsigned len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (unsigned i = 0; i < len; ++i) {
    out += kDigits[md[i] >> 4];
    out += kDigits[md[i] & 15];
  }
  return out;
}

}  // namespace

std::string Sha256Hex(const void* data, size_t len) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned mdLen = 0;
  if (EVP_Digest(data, len, md, &mdLen, EVP_sha256(), nullptr) != 1) return std::string();
  return Hex(md, mdLen);
}

std::string FileSha256Hex(const WString& path) {
  std::string native;
  if (path.empty() || !NativePath(path, native)) return std::string();
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(native.c_str(), "rb"), fclose);
  if (!f) return std::string();
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return std::string();
  std::vector<unsigned char> buf(1 << 16);
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), f.get())) > 0)
    if (EVP_DigestUpdate(ctx.get(), buf.data(), n) != 1) return std::string();
  if (ferror(f.get())) return std::string();
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned mdLen = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &mdLen) != 1) return std::string();
  return Hex(md, mdLen);
}
