// MD5 digests (RFC 1321) as 32 lower-case hexadecimal characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text.h"

// Incremental digest, for inputs that arrive in pieces.
class CMd5 {
 public:
  CMd5();
  void Update(const void* data, size_t len);
  // Ends the digest; the object must be reset before it is used again.
  void Final(uint8_t digest[16]);
  std::string FinalHex();
  void Reset();

 private:
  uint32_t m_state[4];
  uint64_t m_nBytes;
  uint8_t m_buffer[64];
  size_t m_nBuffered;
};

std::string Md5Hex(const void* data, uint32_t len);

// Digest of a file's content, or "" when the path is empty, cannot be
// held by code page 936 (as every narrow open of the system), or the file
// cannot be opened or read. Reads in pieces: memory stays flat.
WString FileMd5(const WString& path);
