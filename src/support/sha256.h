// SHA-256 digests (OpenSSL EVP) as 64 lower-case hexadecimal characters,
// the second digest of a signed pack list beside the system's MD5.
#pragma once

#include <cstddef>
#include <string>

#include "base/text.h"

std::string Sha256Hex(const void* data, size_t len);

// Incremental digest, for a file that arrives in pieces.
class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;
  void Reset();
  void Update(const void* data, size_t len);
  // "" when OpenSSL failed at any step; Reset before the next use.
  std::string FinalHex();

 private:
  struct evp_md_ctx_st* m_ctx;
  bool m_ok;
};

// Digest of a file's content, read in pieces; "" when the path cannot be
// held by code page 936 (as every narrow open of the system) or the file
// cannot be opened or read.
std::string FileSha256Hex(const WString& path);
