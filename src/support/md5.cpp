#include "support/md5.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/path.h"

namespace {

inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

// The round functions are arranged so that the parts not depending on b,
// the result of the previous step, can be computed ahead of it: MD5 is one
// long dependency chain and that is where its time goes.
#define MD5_F(a, b, c, d, x, t, s)                \
  a += (x) + (t) + ((d) ^ ((b) & ((c) ^ (d)))); \
  a = Rotl(a, s) + (b)
#define MD5_G(a, b, c, d, x, t, s)                    \
  a += (x) + (t) + ((c) & ~(d));                      \
  a += (b) & (d);                                     \
  a = Rotl(a, s) + (b)
#define MD5_H(a, b, c, d, x, t, s)          \
  a += (x) + (t) + ((b) ^ (c) ^ (d));       \
  a = Rotl(a, s) + (b)
#define MD5_I(a, b, c, d, x, t, s)          \
  a += (x) + (t) + ((c) ^ ((b) | ~(d)));    \
  a = Rotl(a, s) + (b)

void Transform(uint32_t state[4], const uint8_t* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, p += 64) {
    const uint32_t x0 = Load32(p), x1 = Load32(p + 4), x2 = Load32(p + 8), x3 = Load32(p + 12);
    const uint32_t x4 = Load32(p + 16), x5 = Load32(p + 20), x6 = Load32(p + 24), x7 = Load32(p + 28);
    const uint32_t x8 = Load32(p + 32), x9 = Load32(p + 36), x10 = Load32(p + 40), x11 = Load32(p + 44);
    const uint32_t x12 = Load32(p + 48), x13 = Load32(p + 52), x14 = Load32(p + 56), x15 = Load32(p + 60);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    MD5_F(a, b, c, d, x0, 0xd76aa478, 7);
    MD5_F(d, a, b, c, x1, 0xe8c7b756, 12);
    MD5_F(c, d, a, b, x2, 0x242070db, 17);
    MD5_F(b, c, d, a, x3, 0xc1bdceee, 22);
    MD5_F(a, b, c, d, x4, 0xf57c0faf, 7);
    MD5_F(d, a, b, c, x5, 0x4787c62a, 12);
    MD5_F(c, d, a, b, x6, 0xa8304613, 17);
    MD5_F(b, c, d, a, x7, 0xfd469501, 22);
    MD5_F(a, b, c, d, x8, 0x698098d8, 7);
    MD5_F(d, a, b, c, x9, 0x8b44f7af, 12);
    MD5_F(c, d, a, b, x10, 0xffff5bb1, 17);
    MD5_F(b, c, d, a, x11, 0x895cd7be, 22);
    MD5_F(a, b, c, d, x12, 0x6b901122, 7);
    MD5_F(d, a, b, c, x13, 0xfd987193, 12);
    MD5_F(c, d, a, b, x14, 0xa679438e, 17);
    MD5_F(b, c, d, a, x15, 0x49b40821, 22);

    MD5_G(a, b, c, d, x1, 0xf61e2562, 5);
    MD5_G(d, a, b, c, x6, 0xc040b340, 9);
    MD5_G(c, d, a, b, x11, 0x265e5a51, 14);
    MD5_G(b, c, d, a, x0, 0xe9b6c7aa, 20);
    MD5_G(a, b, c, d, x5, 0xd62f105d, 5);
    MD5_G(d, a, b, c, x10, 0x02441453, 9);
    MD5_G(c, d, a, b, x15, 0xd8a1e681, 14);
    MD5_G(b, c, d, a, x4, 0xe7d3fbc8, 20);
    MD5_G(a, b, c, d, x9, 0x21e1cde6, 5);
    MD5_G(d, a, b, c, x14, 0xc33707d6, 9);
    MD5_G(c, d, a, b, x3, 0xf4d50d87, 14);
    MD5_G(b, c, d, a, x8, 0x455a14ed, 20);
    MD5_G(a, b, c, d, x13, 0xa9e3e905, 5);
    MD5_G(d, a, b, c, x2, 0xfcefa3f8, 9);
    MD5_G(c, d, a, b, x7, 0x676f02d9, 14);
    MD5_G(b, c, d, a, x12, 0x8d2a4c8a, 20);

    MD5_H(a, b, c, d, x5, 0xfffa3942, 4);
    MD5_H(d, a, b, c, x8, 0x8771f681, 11);
    MD5_H(c, d, a, b, x11, 0x6d9d6122, 16);
    MD5_H(b, c, d, a, x14, 0xfde5380c, 23);
    MD5_H(a, b, c, d, x1, 0xa4beea44, 4);
    MD5_H(d, a, b, c, x4, 0x4bdecfa9, 11);
    MD5_H(c, d, a, b, x7, 0xf6bb4b60, 16);
    MD5_H(b, c, d, a, x10, 0xbebfbc70, 23);
    MD5_H(a, b, c, d, x13, 0x289b7ec6, 4);
    MD5_H(d, a, b, c, x0, 0xeaa127fa, 11);
    MD5_H(c, d, a, b, x3, 0xd4ef3085, 16);
    MD5_H(b, c, d, a, x6, 0x04881d05, 23);
    MD5_H(a, b, c, d, x9, 0xd9d4d039, 4);
    MD5_H(d, a, b, c, x12, 0xe6db99e5, 11);
    MD5_H(c, d, a, b, x15, 0x1fa27cf8, 16);
    MD5_H(b, c, d, a, x2, 0xc4ac5665, 23);

    MD5_I(a, b, c, d, x0, 0xf4292244, 6);
    MD5_I(d, a, b, c, x7, 0x432aff97, 10);
    MD5_I(c, d, a, b, x14, 0xab9423a7, 15);
    MD5_I(b, c, d, a, x5, 0xfc93a039, 21);
    MD5_I(a, b, c, d, x12, 0x655b59c3, 6);
    MD5_I(d, a, b, c, x3, 0x8f0ccc92, 10);
    MD5_I(c, d, a, b, x10, 0xffeff47d, 15);
    MD5_I(b, c, d, a, x1, 0x85845dd1, 21);
    MD5_I(a, b, c, d, x8, 0x6fa87e4f, 6);
    MD5_I(d, a, b, c, x15, 0xfe2ce6e0, 10);
    MD5_I(c, d, a, b, x6, 0xa3014314, 15);
    MD5_I(b, c, d, a, x13, 0x4e0811a1, 21);
    MD5_I(a, b, c, d, x4, 0xf7537e82, 6);
    MD5_I(d, a, b, c, x11, 0xbd3af235, 10);
    MD5_I(c, d, a, b, x2, 0x2ad7d2bb, 15);
    MD5_I(b, c, d, a, x9, 0xeb86d391, 21);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

std::string Hex(const uint8_t digest[16]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(32, '0');
  for (int i = 0; i < 16; ++i) {
    s[2 * i] = kDigits[digest[i] >> 4];
    s[2 * i + 1] = kDigits[digest[i] & 0xF];
  }
  return s;
}

}  // namespace

CMd5::CMd5() { Reset(); }

void CMd5::Reset() {
  m_state[0] = 0x67452301;
  m_state[1] = 0xefcdab89;
  m_state[2] = 0x98badcfe;
  m_state[3] = 0x10325476;
  m_nBytes = 0;
  m_nBuffered = 0;
}

void CMd5::Update(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  m_nBytes += len;
  if (m_nBuffered > 0) {
    size_t take = 64 - m_nBuffered < len ? 64 - m_nBuffered : len;
    memcpy(m_buffer + m_nBuffered, p, take);
    m_nBuffered += take;
    p += take;
    len -= take;
    if (m_nBuffered < 64) return;
    Transform(m_state, m_buffer, 1);
    m_nBuffered = 0;
  }
  if (len >= 64) {
    Transform(m_state, p, len / 64);
    p += len & ~(size_t)63;
    len &= 63;
  }
  if (len > 0) {
    memcpy(m_buffer, p, len);
    m_nBuffered = len;
  }
}

void CMd5::Final(uint8_t digest[16]) {
  uint64_t bits = m_nBytes * 8;
  uint8_t pad[72] = {0x80};
  size_t padLen = (m_nBuffered < 56 ? 56 : 120) - m_nBuffered;
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = (uint8_t)(bits >> (8 * i));
  Update(pad, padLen);
  Update(length, 8);
  for (int i = 0; i < 4; ++i) Store32(digest + 4 * i, m_state[i]);
}

std::string CMd5::FinalHex() {
  uint8_t digest[16];
  Final(digest);
  return Hex(digest);
}

std::string Md5Hex(const void* data, uint32_t len) {
  CMd5 md5;
  md5.Update(data, len);
  return md5.FinalHex();
}

WString FileMd5(const WString& path) {
  if (path.empty()) return WString();
  // A piece small enough to stay in the second-level cache between the copy
  // out of the page cache and the digest, large enough to make the reads
  // few.
  const size_t kPiece = 256 * 1024;
  CMd5 md5;
  // A directory, or an I/O error: no digest of half a file.
  if (!ReadFileInPieces(path, kPiece, [&](const char* p, size_t n) {
        md5.Update(p, n);
        return true;
      }))
    return WString();
  return W(md5.FinalHex().c_str());
}
