// Signatures of the pack lists (OpenSSL EVP): the public keys of
// PACK_PUBLIC_KEYS and the detached signature files beside each list, both
// as base64 text. A key is a raw 32-byte Ed25519 key or a DER
// SubjectPublicKeyInfo, whose algorithm OpenSSL takes from the key itself;
// a signature is 64 bytes, as Ed25519 makes them. Only the canonical
// encoding of the exact length reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sig {

constexpr size_t kPublicKeySize = 32;
constexpr size_t kSignatureSize = 64;
// A signature file is one line; anything longer is not one.
constexpr size_t kMaxSignatureFile = 1024;

// A key as DER SubjectPublicKeyInfo.
using PublicKey = std::string;
// A raw Ed25519 key (kPublicKeySize bytes) as a PublicKey; "" when OpenSSL
// refuses it.
PublicKey PublicKeyFromEd25519(const void* raw, size_t size);

// Base64 of exactly expectedSize bytes, canonical (padding included, no
// blanks or line breaks inside, no stray bits); false otherwise.
bool DecodeBase64Exact(const std::string& text, size_t expectedSize, std::string& out);
std::string EncodeBase64(const void* data, size_t size);

// Keys separated by commas, blanks around each allowed; empty entries are
// skipped. Entries that are not a key end up in unreadable.
struct KeyList {
  std::vector<PublicKey> keys;
  std::vector<std::string> unreadable;
};
KeyList ParsePublicKeys(const std::string& text);

enum class Check {
  kOk,
  kNoKey,         // no readable key to check with
  kMalformed,     // the file is not one base64 line of 64 bytes
  kMismatch,      // no key verifies it over these bytes
};

// Checks sigFile (the content of a signature file: one base64 line, a
// final line break allowed) over exactly the bytes of message, with each
// key in turn.
Check VerifyDetached(const std::vector<PublicKey>& keys, const void* message, size_t size,
                     const std::string& sigFile);

// The reason as the updater logs it.
const char* CheckText(Check c);

}  // namespace sig
