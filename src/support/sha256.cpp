#include "support/sha256.h"

#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "support/path.h"

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

CSha256::CSha256() : m_ctx(EVP_MD_CTX_new()), m_ok(false) { Reset(); }

CSha256::~CSha256() { EVP_MD_CTX_free(m_ctx); }

void CSha256::Reset() { m_ok = m_ctx && EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) == 1; }

void CSha256::Update(const void* data, size_t len) {
  if (m_ok && len > 0) m_ok = EVP_DigestUpdate(m_ctx, data, len) == 1;
}

std::string CSha256::FinalHex() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned mdLen = 0;
  const bool ok = m_ok && EVP_DigestFinal_ex(m_ctx, md, &mdLen) == 1;
  m_ok = false;
  return ok ? Hex(md, mdLen) : std::string();
}

std::string FileSha256Hex(const WString& path) {
  if (path.empty()) return std::string();
  CSha256 sha;
  if (!ReadFileInPieces(path, 1 << 16, [&](const char* p, size_t n) {
        sha.Update(p, n);
        return true;
      }))
    return std::string();
  return sha.FinalHex();
}
