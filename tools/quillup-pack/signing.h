// Signed pack lists: the release engineer's Ed25519 key (OpenSSL EVP), the
// detached signature beside each list, re-signing a server directory and
// checking one against public keys.
#pragma once

#include <memory>
#include <string>

namespace pack {

extern const char* const kSignatureSuffix;  // ".sig"
extern const char* const kKeyFileName;      // signing-key.pem
extern const char* const kPublicFileName;   // signing-key.pub

// Forced lists carry an expiry when signed; this many days by default.
constexpr int kDefaultExpiresDays = 7;

// A private signing key read from a PEM file. Throws Error.
class SigningKey {
 public:
  explicit SigningKey(const std::string& pemPath);
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;
  // Base64 of the 64-byte signature over exactly these bytes.
  std::string Sign(const std::string& bytes) const;
  // Base64 of the raw 32-byte public key.
  std::string PublicBase64() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Writes DIR/signing-key.pem (created with mode 0600, never replaced) and
// DIR/signing-key.pub (one base64 line); prints the public key. Throws Error.
void KeyGen(const std::string& dir);

// listPath + ".sig": the signature of the file's exact bytes, one line.
void WriteSignatureOf(const SigningKey& key, const std::string& listPath);

// Rewrites each list of serverDir with the SHA-256 of its packs (and an
// expiry on the forced list) and signs it. The packs must match the sizes
// and MD5 values the lists give. Throws Error.
void SignServerDir(const std::string& keyPath, const std::string& serverDir, int expiresDays);

// Checks every list of serverDir against publicKeys (the PACK_PUBLIC_KEYS
// text, or a file holding it) as the updater does: its signature, a sha256
// on every pack that matches the file, the forced list's expiry. Prints
// one line per list; returns the number of failed lists.
int VerifySignatures(const std::string& serverDir, const std::string& publicKeys);

}  // namespace pack
