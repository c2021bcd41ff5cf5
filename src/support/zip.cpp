#include "support/zip.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/files.h"

namespace {

std::atomic<uint32_t> g_lastResult{ZIP_OK};

uint32_t Result(uint32_t code) {
  g_lastResult.store(code, std::memory_order_relaxed);
  return code;
}

// Streaming stays within one output and one input chunk per handle.
// Large pieces: an installation's files are mostly big, and every piece
// costs a read and a write.
constexpr size_t kChunk = 256 * 1024;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kEnd64Sig = 0x06064b50;
constexpr uint32_t kLocator64Sig = 0x07064b50;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr size_t kEndSize = 22;
constexpr size_t kEnd64Size = 56;
constexpr size_t kLocator64Size = 20;
constexpr uint32_t kSaturated32 = 0xFFFFFFFFu;
constexpr uint16_t kExtraZip64 = 0x0001;
constexpr uint16_t kExtraUnixTime = 0x5455;
constexpr uint16_t kExtraUnicodePath = 0x7075;
constexpr int64_t kEndSearch = 0xFFFF + kEndSize;  // longest comment plus the record
constexpr uint64_t kEpochAsFileTime = 116444736000000000ULL;
constexpr uint16_t kFlagEncrypted = 0x1;
constexpr uint16_t kFlagDescriptor = 0x8;
constexpr uint16_t kFlagUtf8 = 0x800;

uint16_t Get16(const unsigned char* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t Get32(const unsigned char* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint64_t Get64(const unsigned char* p) { return (uint64_t)Get32(p) | ((uint64_t)Get32(p + 4) << 32); }

uint64_t FileTimeFromUnix(int64_t sec) { return (uint64_t)(sec * 10000000LL) + kEpochAsFileTime; }

plat::FileTime UnixFromFileTime(uint64_t ft) {
  int64_t t = (int64_t)(ft - kEpochAsFileTime);
  plat::FileTime r;
  r.sec = t / 10000000;
  int64_t rem = t % 10000000;
  if (rem < 0) {
    rem += 10000000;
    r.sec -= 1;
  }
  r.nsec = rem * 100;
  return r;
}

uint64_t FileTimeFromDos(uint16_t date, uint16_t time) {
  struct tm tmv = {};
  tmv.tm_year = ((date >> 9) & 0x7f) + 80;
  tmv.tm_mon = ((date >> 5) & 0x0f) - 1;
  tmv.tm_mday = date & 0x1f;
  tmv.tm_hour = (time >> 11) & 0x1f;
  tmv.tm_min = (time >> 5) & 0x3f;
  tmv.tm_sec = 2 * (time & 0x1f);
  tmv.tm_isdst = -1;
  time_t t = mktime(&tmv);
  if (t == (time_t)-1) return 0;
  return FileTimeFromUnix((int64_t)t);
}

bool StartsWith(const WString& s, const char16_t* p) { return s.compare(0, std::char_traits<char16_t>::length(p), p) == 0; }

bool EndsWith(const WString& s, const char16_t* p) {
  size_t n = std::char_traits<char16_t>::length(p);
  return s.size() >= n && s.compare(s.size() - n, n, p) == 0;
}

// The archive's own cleaning rules, then the ones that keep every name
// below the target: nothing absolute and no ".." segment survives.
WString CleanName(WString n) {
  for (auto& c : n)
    if (c == u'\\') c = u'/';
  for (;;) {
    size_t pos;
    if (n.size() >= 2 && n[1] == u':') {
      n.erase(0, 2);
    } else if (!n.empty() && n[0] == u'/') {
      n.erase(0, 1);
    } else if ((pos = n.find(u"/../")) != WString::npos) {
      n.erase(0, pos + 4);
    } else if (StartsWith(n, u"../")) {
      n.erase(0, 3);
    } else if (n == u"..") {
      n.clear();
    } else if (EndsWith(n, u"/..")) {
      n.erase(n.size() - 2);
    } else {
      return n;
    }
  }
}

// Finds the first extra block with the id; its size is cut to what the
// field holds.
bool FindExtra(const std::vector<unsigned char>& extra, uint16_t id, const unsigned char*& data, size_t& size) {
  for (size_t p = 0; p + 4 <= extra.size();) {
    size_t n = Get16(&extra[p + 2]), at = p + 4;
    if (n > extra.size() - at) n = extra.size() - at;
    if (Get16(&extra[p]) == id) {
      data = extra.data() + at;
      size = n;
      return true;
    }
    p = at + n;
  }
  return false;
}

// Fields a writer saturated take their value from the zip64 block, in the
// order given; a value the block lacks makes the entry unreadable.
bool ApplyZip64(const std::vector<unsigned char>& extra, std::initializer_list<uint64_t*> fields) {
  const unsigned char* data = nullptr;
  size_t size = 0;
  bool have = FindExtra(extra, kExtraZip64, data, size);
  size_t q = 0;
  for (uint64_t* f : fields) {
    if (*f != kSaturated32) continue;
    if (!have || q + 8 > size) return false;
    *f = Get64(data + q);
    q += 8;
  }
  return true;
}

// A UTF-8 name written beside the stored one; it counts only while its
// checksum still matches the stored bytes (a renaming tool may leave it stale).
bool UnicodePathName(const std::vector<unsigned char>& extra, const std::string& stored, std::string& utf8) {
  const unsigned char* data = nullptr;
  size_t size = 0;
  if (!FindExtra(extra, kExtraUnicodePath, data, size) || size < 5 || data[0] != 1) return false;
  uint32_t crc = (uint32_t)crc32(crc32(0L, Z_NULL, 0), (const Bytef*)stored.data(), (uInt)stored.size());
  if (Get32(data + 1) != crc) return false;
  utf8.assign((const char*)data + 5, size - 5);
  return true;
}

// Names are UTF-8 only when the archive says so; otherwise they are code
// page 936, as on the Chinese Windows the packs are made for, whatever
// this system's locale. At most 259 bytes count, up to the first NUL.
WString WideFromEntryName(std::string raw, bool utf8) {
  if (raw.size() > kZipMaxPath) raw.resize(kZipMaxPath);
  raw.resize(strnlen(raw.c_str(), raw.size()));
  if (raw.empty()) return WString();
  WString w = utf8 ? WideFromUtf8(raw) : WideFromGbk(raw);
  if (w.empty()) w = utf8 ? WideFromGbk(raw) : WideFromUtf8(raw);
  if (w.empty())
    for (unsigned char c : raw) w.push_back((char16_t)c);
  return w;
}

bool IsAbsolute(const WString& p) { return !p.empty() && (p[0] == u'/' || p[0] == u'\\' || (p.size() >= 2 && p[1] == u':')); }

// Traditional PKWARE stream cipher.
class CDecrypter {
 public:
  explicit CDecrypter(const std::string& password) : m_crc(get_crc_table()) {
    for (unsigned char c : password) Update(c);
  }
  void Decrypt(unsigned char* p, size_t n) {
    uint32_t k0 = m_k0, k1 = m_k1, k2 = m_k2;
    for (size_t i = 0; i < n; ++i) {
      uint32_t t = (k2 & 0xffff) | 2;
      unsigned char c = (unsigned char)(p[i] ^ (unsigned char)((t * (t ^ 1)) >> 8));
      p[i] = c;
      k0 = (uint32_t)m_crc[(k0 ^ c) & 0xff] ^ (k0 >> 8);
      k1 = (k1 + (k0 & 0xff)) * 134775813u + 1;
      k2 = (uint32_t)m_crc[(k2 ^ (k1 >> 24)) & 0xff] ^ (k2 >> 8);
    }
    m_k0 = k0;
    m_k1 = k1;
    m_k2 = k2;
  }

 private:
  void Update(unsigned char c) {
    m_k0 = (uint32_t)m_crc[(m_k0 ^ c) & 0xff] ^ (m_k0 >> 8);
    m_k1 = (m_k1 + (m_k0 & 0xff)) * 134775813u + 1;
    m_k2 = (uint32_t)m_crc[(m_k2 ^ (m_k1 >> 24)) & 0xff] ^ (m_k2 >> 8);
  }
  const z_crc_t* m_crc;
  uint32_t m_k0 = 305419896u, m_k1 = 591751049u, m_k2 = 878082192u;
};

// What extraction needs beyond the public record.
struct EntryData {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dosTime = 0;
  uint8_t host = 0;
  uint32_t externalAttrs = 0;
  uint32_t crc = 0;
  int64_t dataOffset = 0;
};

// One entry's data on its way out: decrypted, inflated, counted and, at
// its end, checked against the record.
struct EntryStream {
  EntryStream() = default;
  EntryStream(const EntryStream&) = delete;  // zlib's state points back at zs
  EntryStream& operator=(const EntryStream&) = delete;
  ~EntryStream() { Reset(); }
  void Reset() {
    if (inflating) inflateEnd(&zs);
    inflating = open = ended = false;
    failed = ZIP_OK;
    dec.reset();
  }
  bool open = false, inflating = false, ended = false;
  uint32_t failed = ZIP_OK;  // the first failure, repeated to every later read
  uint16_t method = 0;
  int64_t pos = 0;
  uint64_t remaining = 0, total = 0, expected = 0;
  uint32_t crc = 0, wantCrc = 0;
  z_stream zs{};
  std::unique_ptr<CDecrypter> dec;
};

}  // namespace

struct ZipHandle {
  plat::File file;
  int64_t fileSize = 0;
  bool hasPassword = false;
  std::string password;
  WString baseDir;
  int32_t count = 0;
  int64_t centralEnd = 0;
  // Offsets of every central header, found when the archive is opened.
  std::vector<int64_t> offsets;
  int umask = 022;
  bool writeBack = false;
  std::unique_ptr<unsigned char[]> outBuf;
  std::unique_ptr<unsigned char[]> inBuf;
  bool haveItem = false;
  ZipItemInfo item;
  EntryData entry;
  EntryStream stream;

  // Headers are small and lie close together: they are served from one
  // block read at the first of them.
  static constexpr size_t kHeaderBlock = 4096;
  std::unique_ptr<unsigned char[]> block;
  int64_t blockAt = 0;
  size_t blockLen = 0;

  bool ReadAt(int64_t off, void* buf, size_t n) {
    if (off < 0 || off > fileSize || (int64_t)n > fileSize - off) return false;
    if (n > kHeaderBlock) return file.ReadAt(off, buf, n) == (int64_t)n;
    if (off < blockAt || off + (int64_t)n > blockAt + (int64_t)blockLen) {
      if (!block) block.reset(new unsigned char[kHeaderBlock]);
      const int64_t got = file.ReadAt(off, block.get(), kHeaderBlock);
      blockAt = off;
      blockLen = got > 0 ? (size_t)got : 0;
      if (blockLen < n) return false;
    }
    memcpy(buf, block.get() + (off - blockAt), n);
    return true;
  }
};

namespace {

bool FindEndRecord(ZipHandle& z, unsigned char rec[kEndSize], int64_t& recPos) {
  int64_t lowest = z.fileSize > kEndSearch ? z.fileSize - kEndSearch : 0;
  constexpr int64_t kStep = 1024, kOverlap = 4;
  unsigned char buf[kStep + kOverlap];
  int64_t end = z.fileSize;  // chunk [start, end) plus the overlap read before
  while (end > lowest) {
    int64_t start = end - kStep < lowest ? lowest : end - kStep;
    int64_t readEnd = z.fileSize - end < kOverlap ? z.fileSize : end + kOverlap;
    size_t n = (size_t)(readEnd - start);
    if (!z.ReadAt(start, buf, n)) return false;
    for (int64_t i = (int64_t)n - 4; i >= 0; --i) {
      if (buf[i] == 'P' && buf[i + 1] == 'K' && buf[i + 2] == 5 && buf[i + 3] == 6) {
        recPos = start + i;
        return z.ReadAt(recPos, rec, kEndSize);
      }
    }
    end = start;
  }
  return false;
}

// The end record, or the zip64 one it points to when there is one, gives
// the central directory; every header it promises must be there and fill
// it exactly, so that no entry can go missing unnoticed.
bool ReadCentralDirectory(ZipHandle& z, const unsigned char rec[kEndSize], int64_t recPos) {
  uint64_t disk = Get16(rec + 4), cdDisk = Get16(rec + 6), onDisk = Get16(rec + 8), total = Get16(rec + 10);
  uint64_t cdSize = Get32(rec + 12), cdOffset = Get32(rec + 16);
  int64_t limit = recPos;  // the directory ends before the records that describe it
  unsigned char loc[kLocator64Size], rec64[kEnd64Size];
  if (recPos >= (int64_t)kLocator64Size && z.ReadAt(recPos - (int64_t)kLocator64Size, loc, kLocator64Size) &&
      Get32(loc) == kLocator64Sig) {
    uint64_t at = Get64(loc + 8);
    if (Get32(loc + 4) != 0 || Get32(loc + 16) > 1 || at > (uint64_t)(recPos - (int64_t)kLocator64Size) ||
        !z.ReadAt((int64_t)at, rec64, kEnd64Size) || Get32(rec64) != kEnd64Sig)
      return false;
    disk = Get32(rec64 + 16);
    cdDisk = Get32(rec64 + 20);
    onDisk = Get64(rec64 + 24);
    total = Get64(rec64 + 32);
    cdSize = Get64(rec64 + 40);
    cdOffset = Get64(rec64 + 48);
    limit = (int64_t)at;
  }
  if (disk != 0 || cdDisk != 0 || onDisk != total || total > (uint64_t)INT32_MAX || cdOffset > (uint64_t)limit ||
      cdSize > (uint64_t)limit - cdOffset)
    return false;
  z.count = (int32_t)total;
  z.centralEnd = (int64_t)(cdOffset + cdSize);
  z.offsets.clear();
  int64_t off = (int64_t)cdOffset;
  for (uint64_t k = 0; k < total; ++k) {
    unsigned char h[kCentralSize];
    if (off + (int64_t)kCentralSize > z.centralEnd || !z.ReadAt(off, h, kCentralSize) || Get32(h) != kCentralSig)
      return false;
    z.offsets.push_back(off);
    off += (int64_t)kCentralSize + Get16(h + 28) + Get16(h + 30) + Get16(h + 32);
  }
  return off == z.centralEnd;
}

uint32_t ReadEntry(ZipHandle& z, int32_t index, ZipItemInfo& info) {
  if (z.haveItem && z.item.index == index) {
    info = z.item;
    return ZIP_OK;
  }
  // Every header's place is known since the archive was opened.
  int64_t off = z.offsets[index];
  unsigned char c[kCentralSize];
  if (!z.ReadAt(off, c, kCentralSize)) return ZIP_CORRUPT;
  uint16_t nameLen = Get16(c + 28), cextraLen = Get16(c + 30);
  EntryData e;
  e.host = (uint8_t)(Get16(c + 4) >> 8);
  e.flags = Get16(c + 8);
  e.method = Get16(c + 10);
  e.dosTime = Get16(c + 12);
  uint16_t dosDate = Get16(c + 14);
  e.crc = Get32(c + 16);
  uint64_t csize = Get32(c + 20), usize = Get32(c + 24);
  e.externalAttrs = Get32(c + 38);
  uint64_t local = Get32(c + 42);

  std::vector<unsigned char> var((size_t)nameLen + cextraLen);
  if (!var.empty() && !z.ReadAt(off + (int64_t)kCentralSize, var.data(), var.size())) return ZIP_CORRUPT;
  std::string raw(var.begin(), var.begin() + nameLen);
  std::vector<unsigned char> cextra(var.begin() + nameLen, var.end());
  if (!ApplyZip64(cextra, {&usize, &csize, &local})) return ZIP_CORRUPT;
  if (local > (uint64_t)z.fileSize) return ZIP_CORRUPT;

  unsigned char l[kLocalSize];
  if (!z.ReadAt((int64_t)local, l, kLocalSize) || Get32(l) != kLocalSig) return ZIP_CORRUPT;
  uint16_t lmethod = Get16(l + 8);
  if (lmethod != e.method || (e.method != 0 && e.method != 8)) return ZIP_CORRUPT;
  uint16_t lnameLen = Get16(l + 26), lextraLen = Get16(l + 28);
  std::vector<unsigned char> extra(lextraLen);
  if (lextraLen && !z.ReadAt((int64_t)local + (int64_t)kLocalSize + lnameLen, extra.data(), lextraLen)) return ZIP_READ;
  if (!(e.flags & kFlagDescriptor)) {
    uint64_t lcsize = Get32(l + 18), lusize = Get32(l + 22);
    if (!ApplyZip64(extra, {&lusize, &lcsize}) || Get32(l + 14) != e.crc || lcsize != csize || lusize != usize)
      return ZIP_CORRUPT;
  }
  e.dataOffset = (int64_t)local + (int64_t)kLocalSize + lnameLen + lextraLen;

  ZipItemInfo r;
  r.index = index;
  std::string utf8Name;
  if (UnicodePathName(cextra, raw, utf8Name) || UnicodePathName(extra, raw, utf8Name))
    r.name = CleanName(WideFromEntryName(utf8Name, true));
  else
    r.name = CleanName(WideFromEntryName(raw, e.flags & kFlagUtf8));
  if (r.name.size() > kZipMaxPath) r.name.resize(kZipMaxPath);

  if (e.host == 0 || e.host == 7 || e.host == 11 || e.host == 14) {
    r.attributes = e.externalAttrs & (kZipAttrReadOnly | kZipAttrHidden | kZipAttrSystem | kZipAttrDirectory |
                                      kZipAttrArchive);
  } else {
    r.attributes = kZipAttrArchive;
    if (e.externalAttrs & 0x40000000u) r.attributes |= kZipAttrDirectory;
    if (!(e.externalAttrs & 0x00800000u)) r.attributes |= kZipAttrReadOnly;
  }
  // Some writers mark directories by the trailing separator alone.
  if (!r.name.empty() && r.name.back() == u'/') r.attributes |= kZipAttrDirectory;

  uint64_t dos = FileTimeFromDos(dosDate, e.dosTime);
  r.accessTime = r.creationTime = r.modifyTime = dos;
  const unsigned char* ut = nullptr;
  size_t utSize = 0;
  if (FindExtra(extra, kExtraUnixTime, ut, utSize) && utSize >= 1) {
    uint64_t* slots[3] = {&r.modifyTime, &r.accessTime, &r.creationTime};
    size_t q = 1;
    for (int bit = 0; bit < 3; ++bit) {
      if (!(ut[0] & (1 << bit))) continue;
      if (q + 4 > utSize) break;
      *slots[bit] = FileTimeFromUnix((int64_t)Get32(ut + q));
      q += 4;
    }
  }
  r.compressedSize = csize;
  r.uncompressedSize = usize;

  z.item = r;
  z.entry = e;
  z.haveItem = true;
  info = r;
  return ZIP_OK;
}

WString WithSlash(const WString& dir) {
  if (dir.empty() || dir.back() == u'/') return dir;
  return dir + u"/";
}

// Creates the chain of directories; failures surface when the file is made.
void MakeChain(const WString& dir) {
  if (!dir.empty()) plat::MakeDirs(dir);
}

// Starts the stream of the entry last read by ReadEntry; a wrong password
// or data running past the archive is known before anything is written.
uint32_t BeginStream(ZipHandle& z) {
  EntryStream& s = z.stream;
  s.Reset();
  const EntryData& e = z.entry;
  int64_t pos = e.dataOffset;
  uint64_t remaining = z.item.compressedSize;
  if (pos < 0 || pos > z.fileSize || remaining > (uint64_t)(z.fileSize - pos)) return ZIP_FLATE;
  if (e.flags & kFlagEncrypted) {
    if (!z.hasPassword) return ZIP_PASSWORD;
    unsigned char header[12];
    if (remaining < sizeof header || !z.ReadAt(pos, header, sizeof header)) return ZIP_FLATE;
    s.dec = std::make_unique<CDecrypter>(z.password);
    s.dec->Decrypt(header, sizeof header);
    unsigned char check = (e.flags & kFlagDescriptor) ? (unsigned char)(e.dosTime >> 8) : (unsigned char)(e.crc >> 24);
    if (header[11] != check) {
      s.dec.reset();
      return ZIP_PASSWORD;
    }
    pos += sizeof header;
    remaining -= sizeof header;
  }
  if (e.method != 0) {
    s.zs = z_stream{};
    if (inflateInit2(&s.zs, -MAX_WBITS) != Z_OK) return ZIP_FLATE;
    s.inflating = true;
  }
  if (!z.inBuf) {
    z.outBuf.reset(new unsigned char[kChunk]);
    z.inBuf.reset(new unsigned char[kChunk]);
  }
  s.method = e.method;
  s.pos = pos;
  s.remaining = remaining;
  s.total = 0;
  s.expected = z.item.uncompressedSize;
  s.crc = (uint32_t)crc32(0L, Z_NULL, 0);
  s.wantCrc = e.crc;
  s.open = true;
  return ZIP_OK;
}

// Up to n (> 0) bytes of the open stream into out: how many, 0 once the
// whole entry has come out and matched its record, -1 with code set on
// failure.
int64_t Pull(ZipHandle& z, unsigned char* out, size_t n, uint32_t& code) {
  EntryStream& s = z.stream;
  auto fail = [&](uint32_t c) -> int64_t {
    if (s.failed == ZIP_OK) s.failed = c;
    code = s.failed;
    return -1;
  };
  if (!s.open) return fail(ZIP_ARGS);
  if (s.failed != ZIP_OK) return fail(s.failed);
  auto readChunk = [&](unsigned char* to, size_t want) {
    if (z.file.ReadAt(s.pos, to, want) != (int64_t)want) return false;
    if (s.dec) s.dec->Decrypt(to, want);
    s.pos += (int64_t)want;
    s.remaining -= want;
    return true;
  };
  size_t produced = 0;
  if (s.method == 0) {
    produced = (size_t)std::min<uint64_t>(n, s.remaining);
    if (produced && !readChunk(out, produced)) return fail(ZIP_FLATE);
  } else {
    z_stream& zs = s.zs;
    while (!s.ended && produced == 0) {
      if (zs.avail_in == 0 && s.remaining > 0) {
        size_t want = (size_t)std::min<uint64_t>(s.remaining, kChunk);
        if (!readChunk(z.inBuf.get(), want)) return fail(ZIP_FLATE);
        zs.next_in = z.inBuf.get();
        zs.avail_in = (uInt)want;
      }
      zs.next_out = out;
      zs.avail_out = (uInt)std::min<size_t>(n, UINT32_MAX);
      const uInt room = zs.avail_out;
      int ret = inflate(&zs, Z_NO_FLUSH);
      produced = room - zs.avail_out;
      if (ret == Z_STREAM_END) s.ended = true;
      else if (ret != Z_OK && ret != Z_BUF_ERROR) return fail(ZIP_FLATE);
      else if (zs.avail_in == 0 && s.remaining == 0 && produced == 0) return fail(ZIP_FLATE);  // stream cut short
    }
  }
  if (produced) {
    if (s.total + produced > s.expected) return fail(ZIP_FLATE);
    s.crc = (uint32_t)crc32(s.crc, out, (uInt)produced);
    s.total += produced;
    return (int64_t)produced;
  }
  if (s.total != s.expected || s.crc != s.wantCrc) return fail(ZIP_FLATE);
  return 0;
}

// Streams the open entry into out.
uint32_t Extract(ZipHandle& z, plat::File& out) {
  for (;;) {
    uint32_t code = ZIP_OK;
    const int64_t got = Pull(z, z.outBuf.get(), kChunk, code);
    if (got < 0) return code;
    if (got == 0) return ZIP_OK;
    if (!out.Write(z.outBuf.get(), (size_t)got)) return ZIP_WRITE;
  }
}

const char* TextOf(uint32_t code) {
  switch (code) {
    case ZIP_OK: return "Success";
    case ZIP_NO_DUPLICATE: return "Culdn't duplicate handle";
    case ZIP_NO_FILE: return "Couldn't create/open file";
    case ZIP_NO_ALLOC: return "Failed to allocate memory";
    case ZIP_WRITE: return "Error writing to file";
    case ZIP_NOT_FOUND: return "File not found in the zipfile";
    case ZIP_MORE: return "Still more data to unzip";
    case ZIP_CORRUPT: return "Zipfile is corrupt or not a zipfile";
    case ZIP_READ: return "Error reading file";
    case ZIP_PASSWORD: return "Correct password required";
    case ZIP_ARGS: return "Caller: faulty arguments";
    case ZIP_NOT_MEMORY: return "Caller: can only get memory of a memory zipfile";
    case ZIP_MEMORY_SIZE: return "Caller: not enough space allocated for memory zipfile";
    case ZIP_FAILED: return "Caller: there was a previous error";
    case ZIP_ENDED: return "Caller: additions to the zip have already been ended";
    case ZIP_MISSIZE: return "Zip-bug: the anticipated size turned out wrong";
    case ZIP_PARTIAL_UNZIP: return "Caller: the file had already been partially unzipped";
    case ZIP_MIXED: return "Caller: mixing creation and opening of zip";
    case ZIP_NOT_INITED: return "Zip-bug: internal initialisation not completed";
    case ZIP_SEEK: return "Zip-bug: trying to seek the unseekable";
    case ZIP_NO_CHANGE: return "Zip-bug: tried to change mind, but not allowed";
    case ZIP_FLATE: return "Zip-bug: an internal error during flation";
    default: return "unknown zip result code";
  }
}

}  // namespace

HZIP CZipReader::Open(const WString& archivePath, const char* password) {
  auto z = std::make_unique<ZipHandle>();
  if (!z->file.Open(archivePath, plat::File::kRead) || (z->fileSize = z->file.Size()) < 0) {
    Result(ZIP_NO_FILE);
    return nullptr;
  }
  unsigned char rec[kEndSize];
  int64_t recPos = 0;
  if (!FindEndRecord(*z, rec, recPos)) {
    Result(ZIP_NO_FILE);
    return nullptr;
  }
  if (!ReadCentralDirectory(*z, rec, recPos)) {
    Result(ZIP_NO_FILE);
    return nullptr;
  }
  z->umask = plat::FileCreationMask();
  if (password) {
    z->hasPassword = true;
    z->password = password;
  }
  const WString cwd = plat::CurrentDirectory();
  if (!cwd.empty()) z->baseDir = WithSlash(cwd);
  Result(ZIP_OK);
  return z.release();
}

uint32_t CZipReader::GetItem(HZIP zip, int32_t index, ZipItemInfo& info) {
  if (!zip) return Result(ZIP_ARGS);
  if (index == -1) {
    info = ZipItemInfo();
    info.index = zip->count;
    return Result(ZIP_OK);
  }
  if (index < -1 || index >= zip->count) return Result(ZIP_ARGS);
  return Result(ReadEntry(*zip, index, info));
}

uint32_t CZipReader::UnzipItem(HZIP zip, int32_t index, const WString& target) {
  if (!zip || index < 0 || index >= zip->count) return Result(ZIP_ARGS);
  ZipItemInfo info;
  if (uint32_t r = ReadEntry(*zip, index, info)) return Result(r);
  WString path = target;
  for (auto& c : path)
    if (c == u'\\') c = u'/';

  if (info.attributes & kZipAttrDirectory) {
    WString dir = IsAbsolute(path) ? path : zip->baseDir + path;
    if (dir.size() > kZipMaxPath) return Result(ZIP_NO_FILE);
    MakeChain(dir);
    return Result(ZIP_OK);
  }

  size_t cut = path.find_last_of(u'/');
  WString dirPart = cut == WString::npos ? WString() : path.substr(0, cut + 1);
  WString name = cut == WString::npos ? path : path.substr(cut + 1);
  WString dir = IsAbsolute(dirPart) ? dirPart : zip->baseDir + dirPart;
  WString full = dir + name;
  if (full.size() > kZipMaxPath || name.empty()) return Result(ZIP_NO_FILE);

  // Checked before anything is created, so a wrong password leaves nothing behind.
  if (uint32_t r = BeginStream(*zip)) return Result(r);

  // A stale entry is replaced, a read-only one refused; creating anew never
  // follows a symbolic link left at the target.
  if (plat::PathExists(full) && !plat::DeleteFile(full)) return Result(ZIP_NO_FILE);
  plat::File out;
  if (!out.Open(full, plat::File::kCreateNew)) {
    MakeChain(dir);
    if (!out.Open(full, plat::File::kCreateNew)) return Result(ZIP_NO_FILE);
  }
  uint32_t r = Extract(*zip, out);
  zip->stream.Reset();
  const EntryData& e = zip->entry;
  if (r == ZIP_OK && zip->writeBack && !out.StartWriteBack(0, 0)) r = ZIP_WRITE;
  if (!out.Close() && r == ZIP_OK) r = ZIP_WRITE;
  if (r != ZIP_OK) return Result(r);

  // Permissions: a Unix mode of a regular file is kept (executables stay
  // executable) as far as the umask allows, as for any file this process
  // creates; the read-only attribute always wins.
  bool unixHost = !(e.host == 0 || e.host == 7 || e.host == 11 || e.host == 14);
  uint32_t mode = e.externalAttrs >> 16;
  bool readOnly = info.attributes & kZipAttrReadOnly;
  if (unixHost && (mode & 0777) && ((mode & 0170000) == 0100000 || (mode & 0170000) == 0)) {
    uint32_t perm = ((mode & 0777) & ~(uint32_t)zip->umask) | 0400;
    if (readOnly) perm &= ~0222u;
    plat::SetFileMode(full, (int)perm);
  } else if (readOnly) {
    plat::SetAttributes(full, plat::kAttrReadOnly);
  }
  plat::SetTimes(full, UnixFromFileTime(info.accessTime), UnixFromFileTime(info.modifyTime));
  return Result(ZIP_OK);
}

uint32_t CZipReader::OpenItem(HZIP zip, int32_t index) {
  if (!zip || index < 0 || index >= zip->count) return Result(ZIP_ARGS);
  ZipItemInfo info;
  if (uint32_t r = ReadEntry(*zip, index, info)) return Result(r);
  return Result(BeginStream(*zip));
}

int64_t CZipReader::ReadItem(HZIP zip, void* buffer, size_t size) {
  if (!zip || !buffer || size == 0) {
    Result(ZIP_ARGS);
    return -1;
  }
  uint32_t code = ZIP_OK;
  const int64_t got = Pull(*zip, (unsigned char*)buffer, size, code);
  if (got < 0) Result(code);
  return got;
}

void CZipReader::SetWriteBack(HZIP zip, bool on) {
  if (zip) zip->writeBack = on;
}

uint32_t CZipReader::Close(HZIP zip) {
  if (!zip) return Result(ZIP_ARGS);
  delete zip;
  return Result(ZIP_OK);
}

uint32_t CZipReader::ResultText(uint32_t code, WChar* buffer, uint32_t size) {
  if (code == ZIP_LAST_RESULT) code = g_lastResult.load(std::memory_order_relaxed);
  const char* text = TextOf(code);
  uint32_t len = (uint32_t)strlen(text);
  if (buffer && size > 0) {
    uint32_t n = len < size - 1 ? len : size - 1;
    for (uint32_t i = 0; i < n; ++i) buffer[i] = (WChar)(unsigned char)text[i];
    buffer[n] = 0;
  }
  return len;
}

WString CZipReader::ResultText(uint32_t code) {
  if (code == ZIP_LAST_RESULT) code = g_lastResult.load(std::memory_order_relaxed);
  return W(TextOf(code));
}

uint32_t CZipReader::LastResult() { return g_lastResult.load(std::memory_order_relaxed); }
