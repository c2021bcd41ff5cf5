#include "support/signature.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace sig {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

using PkeyPtr = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>;

// The key of a whole DER SubjectPublicKeyInfo; null for anything else.
PkeyPtr KeyFromSpki(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  PkeyPtr pkey(d2i_PUBKEY(nullptr, &p, (long)der.size()), EVP_PKEY_free);
  if (pkey && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) pkey.reset();
  return pkey;
}

// Canonical base64 of whatever length the text gives.
bool DecodeBase64(const std::string& text, std::string& out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t pad = text.size() - text.find_last_not_of('=') - 1;
  if (pad > 2) return false;
  return DecodeBase64Exact(text, text.size() / 4 * 3 - pad, out);
}

bool VerifyOne(const PublicKey& key, const unsigned char* sigBytes, const void* message, size_t size) {
  PkeyPtr pkey = KeyFromSpki(key);
  if (!pkey) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  // Ed25519 wants one shot over the whole message; a null pointer is not
  // accepted for an empty one.
  static const unsigned char kEmpty = 0;
  const unsigned char* msg = size ? static_cast<const unsigned char*>(message) : &kEmpty;
  return EVP_DigestVerify(ctx.get(), sigBytes, kSignatureSize, msg, size) == 1;
}

}  // namespace

std::string EncodeBase64(const void* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), static_cast<const unsigned char*>(data),
                          (int)size);
  out.resize(n < 0 ? 0 : (size_t)n);
  return out;
}

bool DecodeBase64Exact(const std::string& text, size_t expectedSize, std::string& out) {
  const size_t want = 4 * ((expectedSize + 2) / 3);
  if (expectedSize == 0 || text.size() != want) return false;
  // EVP_DecodeBlock skips blanks and reads padding as zero bytes; only the
  // text that encoding the result gives back is accepted.
  for (char c : text)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
          c == '='))
      return false;
  std::string buf(want / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&buf[0]), reinterpret_cast<const unsigned char*>(text.data()),
                          (int)text.size());
  if (n < 0 || (size_t)n < expectedSize) return false;
  buf.resize(expectedSize);
  if (EncodeBase64(buf.data(), buf.size()) != text) return false;
  out = buf;
  return true;
}

PublicKey PublicKeyFromEd25519(const void* raw, size_t size) {
  PkeyPtr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, static_cast<const unsigned char*>(raw), size),
               EVP_PKEY_free);
  unsigned char* der = nullptr;
  int n = pkey ? i2d_PUBKEY(pkey.get(), &der) : -1;
  if (n <= 0) return PublicKey();
  PublicKey out(reinterpret_cast<const char*>(der), (size_t)n);
  OPENSSL_free(der);
  return out;
}

KeyList ParsePublicKeys(const std::string& text) {
  KeyList list;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string entry = Trim(text.substr(start, comma - start));
    start = comma + 1;
    if (entry.empty()) continue;
    // A key OpenSSL cannot take is as unreadable as bad text.
    std::string raw;
    PublicKey key;
    if (DecodeBase64Exact(entry, kPublicKeySize, raw))
      key = PublicKeyFromEd25519(raw.data(), raw.size());
    else if (DecodeBase64(entry, raw) && KeyFromSpki(raw))
      key = raw;
    if (key.empty())
      list.unreadable.push_back(entry);
    else
      list.keys.push_back(key);
  }
  return list;
}

Check VerifyDetached(const std::vector<PublicKey>& keys, const void* message, size_t size,
                     const std::string& sigFile) {
  if (keys.empty()) return Check::kNoKey;
  if (sigFile.size() > kMaxSignatureFile) return Check::kMalformed;
  // One line: a final line break (CR LF or LF) is all that may follow.
  std::string line = sigFile;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string raw;
  if (!DecodeBase64Exact(line, kSignatureSize, raw)) return Check::kMalformed;
  for (const PublicKey& key : keys)
    if (VerifyOne(key, reinterpret_cast<const unsigned char*>(raw.data()), message, size)) return Check::kOk;
  return Check::kMismatch;
}

const char* CheckText(Check c) {
  switch (c) {
    case Check::kOk: return "signature ok";
    case Check::kNoKey: return "unreadable key";
    case Check::kMalformed: return "bad signature (not one base64 line of 64 bytes)";
    case Check::kMismatch: return "bad signature (no key verifies it)";
  }
  return "bad signature";
}

}  // namespace sig
