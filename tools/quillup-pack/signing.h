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

// A private signing key read from a PEM file that only its owner can read;
// an encrypted one needs passphraseFile (its first line), nothing is ever
// asked on the terminal. Throws Error.
class SigningKey {
 public:
  SigningKey(const std::string& pemPath, const std::string& passphraseFile);
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
void SignServerDir(const std::string& keyPath, const std::string& passphraseFile, const std::string& serverDir,
                   int expiresDays);

// The root attribute expires of a list's bytes, "" when absent.
std::string ExpiresOfList(const std::string& bytes);

// The keys a --public-key argument gives: the text itself, or the file it
// names. A file holding a private key is refused without showing it.
std::string PublicKeysFrom(const std::string& arg);

// Checks every list of serverDir against keysText (PACK_PUBLIC_KEYS text;
// source names where it came from) as the updater does: its signature, a
// sha256 on every pack that matches the file, the forced list's expiry.
// Prints one line per list, label after the list's name; returns the
// number of failed lists.
int VerifySignatures(const std::string& serverDir, const std::string& keysText, const std::string& source,
                     const std::string& label);

}  // namespace pack
