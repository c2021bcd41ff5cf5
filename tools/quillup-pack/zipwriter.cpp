#include "zipwriter.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "common.h"
#include "base/text.h"

namespace pack {
namespace {

// MS-DOS attribute bits kept in the low byte beside the Unix mode, so that
// readers that look at either see the same thing.
constexpr unsigned kDosReadOnly = 0x01;
constexpr unsigned kDosDirectory = 0x10;

constexpr uint32_t kLocalSig = 0x04034b50, kCentralSig = 0x02014b50, kEndSig = 0x06054b50;
constexpr uint32_t kEnd64Sig = 0x06064b50, kLocator64Sig = 0x07064b50;
constexpr uint16_t kMadeByUnix = (3 << 8) | 45;
constexpr uint16_t kNeeded = 20, kNeeded64 = 45;
constexpr uint16_t kStored = 0, kDeflated = 8;
constexpr uint16_t kExtraUnicodePath = 0x7075;
constexpr size_t kChunk = 1 << 16;
// Entries, offsets and sizes above these need zip64 fields; the packs stay
// far below them (the list carries sizes as signed 32-bit numbers).
constexpr uint64_t kMax32 = 0xFFFFFFFFu;
constexpr uint64_t kMaxEntries16 = 0xFFFF;

void Put16(std::string& s, uint16_t v) {
  s.push_back((char)(v & 0xff));
  s.push_back((char)(v >> 8));
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, (uint16_t)(v & 0xffff));
  Put16(s, (uint16_t)(v >> 16));
}
void Put64(std::string& s, uint64_t v) {
  Put32(s, (uint32_t)(v & 0xffffffffu));
  Put32(s, (uint32_t)(v >> 32));
}

uint32_t Crc(uint32_t crc, const void* p, size_t n) { return (uint32_t)crc32(crc, (const Bytef*)p, (uInt)n); }

// Local time, as the DOS fields hold it; before 1980 is 1980-01-01.
void DosTime(long long mtime, uint16_t& time, uint16_t& date) {
  time_t t = (time_t)mtime;
  struct tm tmv = {};
  if (!localtime_r(&t, &tmv) || tmv.tm_year < 80) {
    time = 0;
    date = (1 << 5) | 1;
    return;
  }
  time = (uint16_t)((tmv.tm_hour << 11) | (tmv.tm_min << 5) | (tmv.tm_sec / 2));
  date = (uint16_t)(((tmv.tm_year - 80) << 9) | ((tmv.tm_mon + 1) << 5) | tmv.tm_mday);
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};

}  // namespace

ZipWriter::ZipWriter(const std::string& path) : m_path(path) {
  m_file = fopen(path.c_str(), "wbx");
  if (!m_file) throw Error("cannot create " + path + ": " + ErrnoText());
}

ZipWriter::~ZipWriter() {
  if (m_file) fclose(m_file);
  if (!m_finished) unlink(m_path.c_str());
}

void ZipWriter::Fail(const std::string& what) {
  std::string why = ErrnoText();
  if (m_file) fclose(m_file);
  m_file = nullptr;
  unlink(m_path.c_str());
  throw Error(what + ": " + why);
}

void ZipWriter::Put(const std::string& bytes) {
  if (fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) Fail("cannot write " + m_path);
}

void ZipWriter::Seek(uint64_t offset) {
  if (fseeko(m_file, (off_t)offset, SEEK_SET) != 0) Fail("cannot write " + m_path);
}

uint64_t ZipWriter::Tell() {
  off_t at = ftello(m_file);
  if (at < 0) Fail("cannot write " + m_path);
  return (uint64_t)at;
}

ZipWriter::Entry ZipWriter::Begin(const std::string& name, mode_t typeAndMode, long long mtime, bool isDir) {
  ThrowIfInterrupted();
  Entry e;
  WString wide = WideFromUtf8(name);
  if (wide.empty() || !IsGbkRepresentable(wide))
    throw Error(name + ": the name cannot be written in code page 936, which the updater reads");
  e.name = GbkFromWide(wide);
  if (e.name.size() > 0xFFFF) throw Error(name + ": the name is too long for a zip entry");
  bool ascii = true;
  for (unsigned char c : name) ascii = ascii && c < 0x80;
  if (!ascii) {
    Put16(e.extra, kExtraUnicodePath);
    Put16(e.extra, (uint16_t)(5 + name.size()));
    e.extra.push_back(1);
    Put32(e.extra, Crc(Crc(0, nullptr, 0), e.name.data(), e.name.size()));
    e.extra += name;
  }
  DosTime(mtime, e.dosTime, e.dosDate);
  e.externalAttrs = ((unsigned)typeAndMode & 0xFFFF) << 16;
  if (!(typeAndMode & S_IWUSR)) e.externalAttrs |= kDosReadOnly;
  if (isDir) e.externalAttrs |= kDosDirectory;
  e.offset = Tell();
  if (e.offset > kMax32) throw Error(m_path + ": a pack must stay below 2 GiB");
  return e;
}

// The fields local and central headers share, from the version needed to
// the extra field's length.
void ZipWriter::PutSharedFields(std::string& h, const Entry& e) {
  Put16(h, kNeeded);
  Put16(h, 0);  // no flags: the name is code page 936
  Put16(h, e.method);
  Put16(h, e.dosTime);
  Put16(h, e.dosDate);
  Put32(h, e.crc);
  Put32(h, (uint32_t)e.compressedSize);
  Put32(h, (uint32_t)e.size);
  Put16(h, (uint16_t)e.name.size());
  Put16(h, (uint16_t)e.extra.size());
}

void ZipWriter::WriteLocalHeader(const Entry& e) {
  std::string h;
  Put32(h, kLocalSig);
  PutSharedFields(h, e);
  Put(h + e.name + e.extra);
}

bool ZipWriter::WriteData(Entry& e, const std::string& source, bool deflate,
                          const std::function<void(long long bytes)>& onBytes, long long& reported) {
  std::unique_ptr<FILE, FileCloser> in(fopen(source.c_str(), "rb"));
  if (!in) throw Error("cannot read " + source + ": " + ErrnoText());
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kChunk]), out(new unsigned char[kChunk]);
  z_stream zs = {};
  if (deflate && deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw Error("cannot compress " + source);
  std::unique_ptr<z_stream, void (*)(z_stream*)> guard(deflate ? &zs : nullptr, [](z_stream* s) { deflateEnd(s); });
  e.crc = Crc(0, nullptr, 0);
  e.size = e.compressedSize = 0;
  for (bool last = false; !last;) {
    ThrowIfInterrupted();
    size_t got = fread(buf.get(), 1, kChunk, in.get());
    if (ferror(in.get())) throw Error("cannot read " + source + ": " + ErrnoText());
    last = got < kChunk;
    e.crc = Crc(e.crc, buf.get(), got);
    e.size += got;
    // A second pass (stored after all) reports only what the first did not.
    if (onBytes && (long long)e.size > reported) {
      onBytes((long long)e.size - reported);
      reported = (long long)e.size;
    }
    if (!deflate) {
      Put(std::string((const char*)buf.get(), got));
      e.compressedSize += got;
      continue;
    }
    zs.next_in = buf.get();
    zs.avail_in = (uInt)got;
    int flush = last ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = out.get();
      zs.avail_out = (uInt)kChunk;
      int ret = ::deflate(&zs, flush);
      if (ret == Z_STREAM_ERROR) throw Error("cannot compress " + source);
      size_t n = kChunk - zs.avail_out;
      Put(std::string((const char*)out.get(), n));
      e.compressedSize += n;
    } while (zs.avail_out == 0);
    if (e.compressedSize >= e.size + kChunk) return false;  // incompressible: stop early
  }
  if (e.size > kMax32 || e.compressedSize > kMax32) throw Error(m_path + ": a pack must stay below 2 GiB");
  return !deflate || e.compressedSize < e.size;
}

void ZipWriter::AddFile(const std::string& name, const std::string& source, mode_t mode, long long mtime,
                        const std::function<void(long long bytes)>& onBytes) {
  Entry e = Begin(name, S_IFREG | (mode & 07777), mtime, false);
  e.method = kDeflated;
  WriteLocalHeader(e);
  uint64_t data = Tell();
  long long reported = 0;
  if (!WriteData(e, source, true, onBytes, reported)) {
    // Deflating made it larger: store it as it is.
    fflush(m_file);
    if (ftruncate(fileno(m_file), (off_t)data) != 0) Fail("cannot write " + m_path);
    Seek(data);
    e.method = kStored;
    WriteData(e, source, false, onBytes, reported);
  }
  uint64_t end = Tell();
  Seek(e.offset);
  WriteLocalHeader(e);
  Seek(end);
  m_entries.push_back(std::move(e));
}

void ZipWriter::AddDirectory(const std::string& name, mode_t mode, long long mtime) {
  Entry e = Begin(name, S_IFDIR | (mode & 07777), mtime, true);
  e.method = kStored;
  WriteLocalHeader(e);
  m_entries.push_back(std::move(e));
}

void ZipWriter::Finish() {
  ThrowIfInterrupted();
  uint64_t cdOffset = Tell();
  std::string cd;
  for (const Entry& e : m_entries) {
    Put32(cd, kCentralSig);
    Put16(cd, kMadeByUnix);
    PutSharedFields(cd, e);
    Put16(cd, 0);  // comment
    Put16(cd, 0);  // disk
    Put16(cd, 0);  // internal attributes
    Put32(cd, e.externalAttrs);
    Put32(cd, (uint32_t)e.offset);
    cd += e.name;
    cd += e.extra;
  }
  uint64_t count = m_entries.size(), cdSize = cd.size(), end64 = cdOffset + cdSize;
  bool zip64 = count > kMaxEntries16 || cdOffset > kMax32 || cdSize > kMax32;
  if (zip64) {
    // Very many entries: the zip64 end record and its locator carry the count.
    Put32(cd, kEnd64Sig);
    Put64(cd, 44);
    Put16(cd, kMadeByUnix);
    Put16(cd, kNeeded64);
    Put32(cd, 0);
    Put32(cd, 0);
    Put64(cd, count);
    Put64(cd, count);
    Put64(cd, cdSize);
    Put64(cd, cdOffset);
    Put32(cd, kLocator64Sig);
    Put32(cd, 0);
    Put64(cd, end64);
    Put32(cd, 1);
  }
  Put32(cd, kEndSig);
  Put16(cd, 0);
  Put16(cd, 0);
  Put16(cd, (uint16_t)(zip64 ? kMaxEntries16 : count));
  Put16(cd, (uint16_t)(zip64 ? kMaxEntries16 : count));
  Put32(cd, (uint32_t)(zip64 ? kMax32 : cdSize));
  Put32(cd, (uint32_t)(zip64 ? kMax32 : cdOffset));
  Put16(cd, 0);  // comment
  Put(cd);
  FILE* f = m_file;
  m_file = nullptr;
  if (fclose(f) != 0) {
    std::string why = ErrnoText();
    unlink(m_path.c_str());
    throw Error("cannot write " + m_path + ": " + why);
  }
  m_finished = true;
}

namespace {

struct CatalogEntry {
  uint32_t crc = 0, size = 0, attrs = 0;
  uint16_t dosTime = 0, dosDate = 0;
};

uint32_t Get16(const unsigned char* p) { return p[0] | p[1] << 8; }
uint32_t Get32(const unsigned char* p) { return Get16(p) | Get16(p + 2) << 16; }

// The central directory of an archive as this writer makes it (no zip64):
// entry name (UTF-8) -> entry; false when it cannot be read so.
bool ReadCatalog(const std::string& path, std::map<std::string, CatalogEntry>& out) {
  std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "rb"));
  if (!f || fseeko(f.get(), 0, SEEK_END) != 0) return false;
  off_t size = ftello(f.get());
  const off_t tail = std::min<off_t>(size, 22 + 0xFFFF);
  std::string end((size_t)tail, '\0');
  if (fseeko(f.get(), size - tail, SEEK_SET) != 0 || fread(end.data(), 1, end.size(), f.get()) != end.size())
    return false;
  size_t at = end.rfind(std::string("PK\x05\x06", 4));
  if (at == std::string::npos || at + 22 > end.size()) return false;
  const unsigned char* e = (const unsigned char*)end.data() + at;
  uint32_t count = Get16(e + 10), cdSize = Get32(e + 12), cdOffset = Get32(e + 16);
  if (count == 0xFFFF || cdOffset == 0xFFFFFFFFu || (off_t)cdOffset + cdSize > size) return false;
  std::string cd(cdSize, '\0');
  if (fseeko(f.get(), (off_t)cdOffset, SEEK_SET) != 0 || fread(cd.data(), 1, cd.size(), f.get()) != cd.size())
    return false;
  size_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos + 46 > cd.size()) return false;
    const unsigned char* h = (const unsigned char*)cd.data() + pos;
    if (Get32(h) != kCentralSig) return false;
    size_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
    if (pos + 46 + nameLen > cd.size()) return false;
    CatalogEntry c;
    c.dosTime = (uint16_t)Get16(h + 12);
    c.dosDate = (uint16_t)Get16(h + 14);
    c.crc = Get32(h + 16);
    c.size = Get32(h + 24);
    c.attrs = Get32(h + 38);
    out[Utf8FromWide(WideFromGbk(cd.substr(pos + 46, nameLen)))] = c;
    pos += 46 + nameLen + extraLen + commentLen;
  }
  return true;
}

std::string DosTimeText(uint16_t time, uint16_t date) {
  char buf[32];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
           time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return buf;
}

}  // namespace

std::string DescribeArchiveChange(const std::string& published, const std::string& fresh) {
  std::map<std::string, CatalogEntry> was, now;
  if (!ReadCatalog(published, was) || !ReadCatalog(fresh, now)) return "its bytes differ";
  std::vector<std::string> changes;
  for (const auto& [name, n] : now) {
    auto w = was.find(name);
    if (w == was.end()) {
      changes.push_back(name + " is new");
      continue;
    }
    const CatalogEntry& o = w->second;
    if (o.crc != n.crc || o.size != n.size) changes.push_back(name + ": content changed");
    if (o.dosTime != n.dosTime || o.dosDate != n.dosDate)
      changes.push_back(name + ": time changed from " + DosTimeText(o.dosTime, o.dosDate) + " to " +
                        DosTimeText(n.dosTime, n.dosDate) + " (local time)");
    if ((o.attrs >> 16) != (n.attrs >> 16)) {
      char buf[64];
      snprintf(buf, sizeof buf, ": mode changed from %04o to %04o", (o.attrs >> 16) & 07777, (n.attrs >> 16) & 07777);
      changes.push_back(name + buf);
    }
  }
  for (const auto& [name, o] : was)
    if (!now.count(name)) changes.push_back(name + " is gone");
  if (changes.empty()) return "its bytes differ, though no entry's name, content, time or mode does";
  std::string text;
  for (size_t i = 0; i < changes.size() && i < 3; ++i) text += (i ? "; " : "") + changes[i];
  if (changes.size() > 3) text += "; and " + std::to_string(changes.size() - 3) + " more";
  return text;
}

}  // namespace pack
