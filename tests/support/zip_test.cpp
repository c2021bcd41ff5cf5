// CZipReader against archives written by Python's zipfile, Info-ZIP zip and
// 7-Zip (p7zip).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "common/testutil.h"
#include "support/zip.h"

namespace fs = std::filesystem;
using testutil::Mode;
using testutil::Python;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {


// Runs a Python snippet in dir with zipfile, os, struct, io and time imported.
void Py(const TempDir& dir, const std::string& code) {
  std::string script = dir.sub("make.py");
  WriteFile(script, "import zipfile, os, struct, io, time, stat\nos.chdir(" + std::string("'") + dir.path() + "')\n" + code);
  ASSERT_EQ(testutil::Run(Python() + " '" + script + "'"), 0) << code;
}

std::string Bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = (char)(rng() & 0xff);
  return s;
}

int64_t UnixFromFileTime(uint64_t ft) { return (int64_t)((ft - 116444736000000000ULL) / 10000000ULL); }

int64_t LocalToUnix(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return (int64_t)mktime(&t);
}

struct Zip {
  explicit Zip(const std::string& path, const char* password = nullptr)
      : h(CZipReader::Open(WidePath(path), password)) {}
  ~Zip() {
    if (h) CZipReader::Close(h);
  }
  int32_t Count() {
    ZipItemInfo info;
    EXPECT_EQ(CZipReader::GetItem(h, -1, info), ZIP_OK);
    return info.index;
  }
  ZipItemInfo Item(int32_t i) {
    ZipItemInfo info;
    EXPECT_EQ(CZipReader::GetItem(h, i, info), ZIP_OK) << i;
    return info;
  }
  std::vector<WString> Names() {
    std::vector<WString> names;
    for (int32_t i = 0, n = Count(); i < n; ++i) names.push_back(Item(i).name);
    return names;
  }
  // Staging's calling order: every entry to dir + "/" + its name.
  uint32_t ExtractAll(const std::string& dir) {
    int32_t n = Count();
    for (int32_t i = 0; i < n; ++i) {
      ZipItemInfo info;
      if (uint32_t r = CZipReader::GetItem(h, i, info)) return r;
      if (uint32_t r = CZipReader::UnzipItem(h, i, WidePath(dir) + u"/" + info.name)) return r;
    }
    return ZIP_OK;
  }
  HZIP h;
};


int64_t Mtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_mtime : -1;
}

// Every regular file and link below root, relative to it.
std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root))
    out.insert(e.path().string().substr(root.size() + 1) + (e.is_directory() ? "/" : ""));
  return out;
}

}  // namespace

TEST(ZipReader, StoredAndDeflatedEntriesComeOutByteExact) {
  TempDir t;
  WriteFile(t.sub("random.bin"), Bytes(1 << 20, 1));
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " of compressible text\n";
  WriteFile(t.sub("text.txt"), text);
  Py(t,
     "z = zipfile.ZipFile('a.zip', 'w')\n"
     "z.write('random.bin', 'stored.bin', compress_type=zipfile.ZIP_STORED)\n"
     "z.write('random.bin', 'deflated.bin', compress_type=zipfile.ZIP_DEFLATED)\n"
     "z.write('text.txt', 'text.txt', compress_type=zipfile.ZIP_DEFLATED)\n"
     "z.writestr(zipfile.ZipInfo('empty.txt', (2020,1,1,0,0,0)), b'')\n"
     "z.close()\n");
  Zip z(t.sub("a.zip"));
  ASSERT_NE(z.h, nullptr);
  ASSERT_EQ(z.Count(), 4);
  ZipItemInfo text3 = z.Item(2);
  EXPECT_EQ(text3.name, u"text.txt");
  EXPECT_EQ(text3.uncompressedSize, text.size());
  EXPECT_LT(text3.compressedSize, text.size() / 4);
  EXPECT_EQ(z.Item(0).compressedSize, 1u << 20);
  ASSERT_EQ(z.ExtractAll(t.sub("out")), ZIP_OK);
  EXPECT_EQ(ReadFile(t.sub("out/stored.bin")), ReadFile(t.sub("random.bin")));
  EXPECT_EQ(ReadFile(t.sub("out/deflated.bin")), ReadFile(t.sub("random.bin")));
  EXPECT_EQ(ReadFile(t.sub("out/text.txt")), text);
  EXPECT_TRUE(testutil::Exists(t.sub("out/empty.txt")));
  EXPECT_EQ(ReadFile(t.sub("out/empty.txt")), "");
  // Pulled as a stream, in pieces of any size, the same bytes come out;
  // UnzipItem ends the stream.
  for (int32_t i : {0, 1, 2, 3}) {
    ASSERT_EQ(CZipReader::OpenItem(z.h, i), ZIP_OK);
    std::string got;
    char buf[70001];
    for (size_t piece = 1;; piece = piece * 7 % 70001 + 1) {
      int64_t n = CZipReader::ReadItem(z.h, buf, piece);
      ASSERT_GE(n, 0);
      if (n == 0) break;
      got.append(buf, (size_t)n);
    }
    EXPECT_EQ(got, i == 2 ? text : i == 3 ? "" : ReadFile(t.sub("random.bin"))) << i;
    EXPECT_EQ(CZipReader::ReadItem(z.h, buf, sizeof buf), 0);
  }
  ASSERT_EQ(CZipReader::UnzipItem(z.h, 2, t.wsub("again.txt")), ZIP_OK);
  char one;
  EXPECT_EQ(CZipReader::ReadItem(z.h, &one, 1), -1);
  EXPECT_EQ(CZipReader::LastResult(), ZIP_ARGS);
}

TEST(ZipReader, InfoZipTreeKeepsDirectoriesModesAndTimes) {
  TempDir t;
  WriteFile(t.sub("src/top.txt"), "top");
  WriteFile(t.sub("src/bin/run.sh"), "#!/bin/sh\necho hi\n");
  WriteFile(t.sub("src/bin/lib/ro.dat"), std::string(100000, 'r'));
  WriteFile(t.sub("src/bin/lib/rw.dat"), Bytes(5000, 2));
  ASSERT_EQ(testutil::Run("mkdir -p '" + t.sub("src/emptydir") + "'"), 0);
  chmod(t.sub("src/bin/run.sh").c_str(), 0755);
  chmod(t.sub("src/bin/lib/ro.dat").c_str(), 0444);
  chmod(t.sub("src/bin/lib/rw.dat").c_str(), 0644);
  ASSERT_EQ(testutil::Run("cd '" + t.sub("src") + "' && touch -d @1600000000 top.txt && touch -d @1500000001 bin/run.sh"
                          " && zip -qr ../tree.zip ."), 0);
  Zip z(t.sub("tree.zip"));
  ASSERT_NE(z.h, nullptr);
  int32_t n = z.Count();
  std::map<WString, ZipItemInfo> byName;
  for (int32_t i = 0; i < n; ++i) byName[z.Item(i).name] = z.Item(i);
  ASSERT_TRUE(byName.count(u"bin/lib/ro.dat"));
  EXPECT_EQ(byName[u"bin/lib/ro.dat"].attributes, kZipAttrReadOnly | kZipAttrArchive);
  EXPECT_EQ(byName[u"bin/lib/rw.dat"].attributes, kZipAttrArchive);
  EXPECT_EQ(byName[u"emptydir/"].attributes & kZipAttrDirectory, kZipAttrDirectory);
  EXPECT_EQ(UnixFromFileTime(byName[u"top.txt"].modifyTime), 1600000000);

  // Extraction below a directory chain that does not exist yet.
  std::string out = t.sub("deep/er/out");
  ASSERT_EQ(z.ExtractAll(out), ZIP_OK);
  EXPECT_EQ(Tree(out), Tree(t.sub("src")));
  for (const char* f : {"top.txt", "bin/run.sh", "bin/lib/ro.dat", "bin/lib/rw.dat"})
    EXPECT_EQ(ReadFile(out + "/" + f), ReadFile(t.sub("src/") + f)) << f;
  EXPECT_EQ(Mode(out + "/bin/run.sh"), 0755);
  EXPECT_EQ(Mode(out + "/bin/lib/ro.dat") & 0222, 0);
  EXPECT_EQ(Mode(out + "/bin/lib/rw.dat"), 0644);
  EXPECT_EQ(Mtime(out + "/top.txt"), 1600000000);
  EXPECT_EQ(Mtime(out + "/bin/run.sh"), 1500000001);
  EXPECT_TRUE(fs::is_directory(out + "/emptydir"));
}

TEST(ZipReader, UtBlockWithOnlyModificationTimeLeavesTheOthersAtDosTime) {
  TempDir t;
  Py(t,
     "z = zipfile.ZipFile('ut.zip', 'w')\n"
     "i = zipfile.ZipInfo('a.txt', (2011,6,15,10,20,30))\n"
     "i.extra = struct.pack('<HHBI', 0x5455, 5, 1, 1234567890)\n"
     "z.writestr(i, b'hello')\n"
     "j = zipfile.ZipInfo('b.txt', (2011,6,15,10,20,30))\n"
     "j.extra = struct.pack('<HHB', 0x5455, 1, 7)\n"  // flags promise times the block does not hold
     "z.writestr(j, b'x')\n"
     "z.close()\n");
  Zip z(t.sub("ut.zip"));
  ZipItemInfo a = z.Item(0);
  int64_t dos = LocalToUnix(2011, 6, 15, 10, 20, 30);
  EXPECT_EQ(UnixFromFileTime(a.modifyTime), 1234567890);
  EXPECT_EQ(UnixFromFileTime(a.accessTime), dos);
  EXPECT_EQ(UnixFromFileTime(a.creationTime), dos);
  ZipItemInfo b = z.Item(1);
  EXPECT_EQ(UnixFromFileTime(b.modifyTime), dos);
  ASSERT_EQ(CZipReader::UnzipItem(z.h, 0, t.wsub("a.txt")), ZIP_OK);
  EXPECT_EQ(Mtime(t.sub("a.txt")), 1234567890);
}

TEST(ZipReader, DataDescriptorEntries) {
  TempDir t;
  WriteFile(t.sub("big.bin"), Bytes(300000, 3));
  // An unseekable output makes zipfile write sizes and CRC after the data.
  Py(t,
     "class Pipe(io.RawIOBase):\n"
     "  def __init__(s, f): s.f = f\n"
     "  def writable(s): return True\n"
     "  def seekable(s): return False\n"
     "  def write(s, b): return s.f.write(b)\n"
     "f = open('dd.zip', 'wb')\n"
     "z = zipfile.ZipFile(Pipe(f), 'w', zipfile.ZIP_DEFLATED)\n"
     "with z.open('big.bin', 'w') as w: w.write(open('big.bin','rb').read())\n"
     "with z.open('stored.txt', 'w') as w: w.write(b'abc' * 1000)\n"
     "z.close(); f.close()\n"
     "assert all(i.flag_bits & 8 for i in zipfile.ZipFile('dd.zip').infolist())\n");
  Zip z(t.sub("dd.zip"));
  ASSERT_NE(z.h, nullptr);
  ASSERT_EQ(z.ExtractAll(t.sub("out")), ZIP_OK);
  EXPECT_EQ(ReadFile(t.sub("out/big.bin")), ReadFile(t.sub("big.bin")));
  EXPECT_EQ(ReadFile(t.sub("out/stored.txt")).size(), 3000u);
}

TEST(ZipReader, LongCommentAndEmptyArchiveOpen) {
  TempDir t;
  Py(t,
     "z = zipfile.ZipFile('c.zip', 'w')\n"
     "z.writestr('a.txt', b'a')\n"
     "z.comment = b'#' * 2000\n"
     "z.close()\n"
     "zipfile.ZipFile('empty.zip', 'w').close()\n");
  {
    Zip z(t.sub("c.zip"));
    ASSERT_NE(z.h, nullptr) << CZipReader::LastResult();
    EXPECT_EQ(z.Count(), 1);
    EXPECT_EQ(z.Item(0).name, u"a.txt");
  }
  Zip e(t.sub("empty.zip"));
  ASSERT_NE(e.h, nullptr);
  EXPECT_EQ(e.Count(), 0);
  ZipItemInfo info;
  EXPECT_EQ(CZipReader::GetItem(e.h, 0, info), ZIP_ARGS);
}

TEST(ZipReader, PasswordProtectedEntries) {
  TempDir t;
  WriteFile(t.sub("src/secret.txt"), std::string(50000, 's') + "end");
  WriteFile(t.sub("src/noise.bin"), Bytes(40000, 4));
  ASSERT_EQ(testutil::Run("cd '" + t.sub("src") + "' && zip -q -P 'pa ss' ../enc.zip secret.txt noise.bin"), 0);
  {
    Zip z(t.sub("enc.zip"), "pa ss");
    ASSERT_EQ(z.ExtractAll(t.sub("out")), ZIP_OK);
    EXPECT_EQ(ReadFile(t.sub("out/secret.txt")), ReadFile(t.sub("src/secret.txt")));
    EXPECT_EQ(ReadFile(t.sub("out/noise.bin")), ReadFile(t.sub("src/noise.bin")));
  }
  // Wrong or missing password: the code says so and no file appears. (One
  // wrong password in 256 passes the check byte; these two do not.)
  for (const char* pw : {"wrong", (const char*)nullptr}) {
    Zip z(t.sub("enc.zip"), pw);
    EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, t.wsub("bad.txt")), ZIP_PASSWORD);
    EXPECT_FALSE(testutil::Exists(t.sub("bad.txt")));
    WChar buf[64];
    CZipReader::ResultText(ZIP_LAST_RESULT, buf, 64);
    EXPECT_EQ(WString(buf), u"Correct password required");
  }
}

// 7-Zip writes NTFS time fields, flags UTF-8 names and keeps a Unix mode
// behind its own marker bit; the methods the reader lacks and AES fail
// without leaving a file behind.
TEST(ZipReader, SevenZipArchivesAndTheMethodsTheReaderLacks) {
  if (testutil::Run("command -v 7z >/dev/null") != 0) GTEST_SKIP() << "no 7z (scripts/setup installs p7zip-full)";
  TempDir t;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "行 " + std::to_string(i) + "\n";
  WriteFile(t.sub("src/专业/报表.txt"), text);
  WriteFile(t.sub("src/random.bin"), Bytes(300000, 7));
  WriteFile(t.sub("src/bin/run.sh"), "#!/bin/sh\n");
  chmod(t.sub("src/bin/run.sh").c_str(), 0755);
  ASSERT_EQ(testutil::Run("cd '" + t.sub("src") + "' && mkdir empty && touch -d @1600000000 random.bin && "
                          "7z a -tzip ../def.zip . >/dev/null && 7z a -tzip -pS3cret ../zc.zip . >/dev/null"),
            0);
  for (const char* name : {"def.zip", "zc.zip"}) {
    SCOPED_TRACE(name);
    Zip z(t.sub(name), "S3cret");
    ASSERT_NE(z.h, nullptr);
    const std::string out = t.sub(std::string("out-") + name);
    ASSERT_EQ(z.ExtractAll(out), ZIP_OK);
    EXPECT_EQ(Tree(out), Tree(t.sub("src")));
    EXPECT_EQ(ReadFile(out + "/专业/报表.txt"), text);
    EXPECT_EQ(ReadFile(out + "/random.bin"), ReadFile(t.sub("src/random.bin")));
    EXPECT_EQ(Mtime(out + "/random.bin"), 1600000000);
    EXPECT_EQ(Mode(out + "/bin/run.sh") & 0111, 0111);
  }
  for (const char* options : {"-mm=Deflate64", "-mm=BZip2", "-mm=LZMA", "-pS3cret -mem=AES256"}) {
    SCOPED_TRACE(options);
    ASSERT_EQ(testutil::Run("cd '" + t.sub("src") + "' && rm -f ../m.zip && 7z a -tzip " + options +
                            " ../m.zip 专业 >/dev/null"),
              0);
    Zip z(t.sub("m.zip"), "S3cret");
    ASSERT_NE(z.h, nullptr);
    EXPECT_NE(z.ExtractAll(t.sub("m")), ZIP_OK);
    EXPECT_FALSE(testutil::Exists(t.sub("m/专业/报表.txt")));
  }
}

TEST(ZipReader, NotAZipMissingAndTruncatedFailToOpen) {
  TempDir t;
  WriteFile(t.sub("plain.txt"), std::string(5000, 'x'));
  EXPECT_EQ(CZipReader::Open(t.wsub("plain.txt"), nullptr), nullptr);
  EXPECT_EQ(CZipReader::LastResult(), ZIP_NO_FILE);
  EXPECT_EQ(CZipReader::Open(t.wsub("missing.zip"), nullptr), nullptr);
  EXPECT_EQ(CZipReader::LastResult(), ZIP_NO_FILE);
  WriteFile(t.sub("zero.zip"), "");
  EXPECT_EQ(CZipReader::Open(t.wsub("zero.zip"), nullptr), nullptr);
  EXPECT_EQ(CZipReader::Open(t.wpath(), nullptr), nullptr);
  EXPECT_EQ(CZipReader::LastResult(), ZIP_NO_FILE);

  Py(t, "z = zipfile.ZipFile('a.zip', 'w', zipfile.ZIP_DEFLATED)\nz.writestr('a.txt', b'abc' * 10000)\nz.close()\n");
  std::string whole = ReadFile(t.sub("a.zip"));
  for (size_t cut : {(size_t)10, (size_t)30, whole.size() / 2}) {
    WriteFile(t.sub("cut.zip"), whole.substr(0, whole.size() - cut));
    EXPECT_EQ(CZipReader::Open(t.wsub("cut.zip"), nullptr), nullptr) << cut;
    EXPECT_EQ(CZipReader::LastResult(), ZIP_NO_FILE);
  }
}

TEST(ZipReader, CorruptHeadersAndDataAreReported) {
  TempDir t;
  Py(t,
     "z = zipfile.ZipFile('a.zip', 'w')\n"
     "z.writestr('stored.txt', b'0123456789' * 100, compress_type=zipfile.ZIP_STORED)\n"
     "z.writestr('deflated.txt', os.urandom(3000) + b'z' * 5000, compress_type=zipfile.ZIP_DEFLATED)\n"
     "z.close()\n"
     "z = zipfile.ZipFile('a.zip')\n"
     "open('offsets', 'w').write(' '.join(str(i.header_offset) for i in z.infolist()))\n");
  const std::string good = ReadFile(t.sub("a.zip"));
  size_t off0 = 0, off1 = std::stoul(ReadFile(t.sub("offsets")).substr(2));
  auto variant = [&](const std::string& name, size_t at, const std::string& bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    WriteFile(t.sub(name), s);
    return t.sub(name);
  };
  auto flipped = [&](const std::string& name, size_t at) {
    std::string s = good;
    s[at] = (char)(s[at] ^ 0x5a);
    WriteFile(t.sub(name), s);
    return t.sub(name);
  };
  ZipItemInfo info;
  {  // local signature destroyed
    Zip z(variant("sig.zip", off0, "XX"));
    EXPECT_EQ(CZipReader::GetItem(z.h, 0, info), ZIP_CORRUPT);
    EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, t.wsub("o1")), ZIP_CORRUPT);
    EXPECT_FALSE(testutil::Exists(t.sub("o1")));
    // The handle stays usable.
    EXPECT_EQ(CZipReader::GetItem(z.h, 1, info), ZIP_OK);
    EXPECT_EQ(info.name, u"deflated.txt");
  }
  {  // local method differs from the central one
    Zip z(variant("method.zip", off0 + 8, std::string("\x08\x00", 2)));
    EXPECT_EQ(CZipReader::GetItem(z.h, 0, info), ZIP_CORRUPT);
  }
  {  // local CRC differs (no data descriptor)
    Zip z(flipped("crc.zip", off0 + 14));
    EXPECT_EQ(CZipReader::GetItem(z.h, 0, info), ZIP_CORRUPT);
  }
  {  // stored data damaged: the CRC-32 check catches it
    Zip z(flipped("data.zip", off0 + 30 + 10 + 50));
    EXPECT_EQ(CZipReader::GetItem(z.h, 0, info), ZIP_OK);
    EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, t.wsub("o2")), ZIP_FLATE);
    EXPECT_EQ(CZipReader::ResultText(ZIP_LAST_RESULT), u"Zip-bug: an internal error during flation");
    // A stream of it gives every byte, then the failure, and keeps it.
    char buf[2000];
    ASSERT_EQ(CZipReader::OpenItem(z.h, 0), ZIP_OK);
    EXPECT_EQ(CZipReader::ReadItem(z.h, buf, sizeof buf), 1000);
    EXPECT_EQ(CZipReader::ReadItem(z.h, buf, sizeof buf), -1);
    EXPECT_EQ(CZipReader::ReadItem(z.h, buf, sizeof buf), -1);
    EXPECT_EQ(CZipReader::LastResult(), ZIP_FLATE);
  }
  {  // deflate data damaged
    Zip z(variant("deflate.zip", off1 + 30 + 12 + 100, "\xff\xff\xff\xff"));
    EXPECT_EQ(CZipReader::UnzipItem(z.h, 1, t.wsub("o3")), ZIP_FLATE);
  }
  {  // central header signature destroyed: the directory no longer holds
     // what its end record states, so the archive does not open at all
    size_t cd = good.rfind(std::string("PK\x01\x02", 4));
    EXPECT_EQ(CZipReader::Open(WidePath(variant("central.zip", cd, "PK\x09\x09")), nullptr), nullptr);
    EXPECT_EQ(CZipReader::LastResult(), ZIP_NO_FILE);
  }
}

TEST(ZipReader, ZipSlipNamesStayInsideTheTarget) {
  TempDir t;
  Py(t,
     "z = zipfile.ZipFile('slip.zip', 'w')\n"
     "for n in ['C:\\\\x\\\\..\\\\a.txt', 'sub\\\\..\\\\b\\\\a.txt', '\\\\\\\\srv\\\\a.txt', '../evil1.txt',\n"
     "          'sub/../../evil2.txt', '/abs/evil3.txt', '..\\\\..\\\\evil4.txt', 'ok/./x/..', '..']:\n"
     "  z.writestr(zipfile.ZipInfo(n, (2020,1,1,0,0,0)), n.encode())\n"
     "z.close()\n");
  Zip z(t.sub("slip.zip"));
  std::vector<WString> names = z.Names();
  ASSERT_EQ(names.size(), 9u);
  EXPECT_EQ(names, (std::vector<WString>{u"a.txt", u"b/a.txt", u"srv/a.txt", u"evil1.txt", u"evil2.txt",
                                         u"abs/evil3.txt", u"evil4.txt", u"ok/./x/", u""}));
  std::string out = t.sub("a/b/out");
  for (int i = 0; i < 9; ++i) CZipReader::UnzipItem(z.h, i, WidePath(out) + u"/" + names[i]);
  EXPECT_EQ(Tree(t.path()), (std::set<std::string>{"make.py", "slip.zip", "a/", "a/b/", "a/b/out/", "a/b/out/a.txt",
                                                   "a/b/out/b/", "a/b/out/b/a.txt", "a/b/out/srv/",
                                                   "a/b/out/srv/a.txt", "a/b/out/evil1.txt", "a/b/out/evil2.txt",
                                                   "a/b/out/abs/", "a/b/out/abs/evil3.txt", "a/b/out/evil4.txt",
                                                   "a/b/out/ok/", "a/b/out/ok/x/"}));
}

TEST(ZipReader, SymbolicLinkEntriesAreNeverFollowed) {
  TempDir t;
  // One link from Info-ZIP (-y stores the link itself), others crafted.
  ASSERT_EQ(testutil::Run("mkdir -p '" + t.sub("src") + "' && cd '" + t.sub("src") +
                          "' && ln -s /etc tolink && zip -qy ../links.zip tolink"), 0);
  Py(t,
     "z = zipfile.ZipFile('links.zip', 'a')\n"
     "for name, target in [('up', '../../outside'), ('abs', '" + t.path() + "')]:\n"
     "  i = zipfile.ZipInfo(name, (2020,1,1,0,0,0)); i.create_system = 3\n"
     "  i.external_attr = (stat.S_IFLNK | 0o777) << 16\n"
     "  z.writestr(i, target)\n"
     "for name in ['tolink/pwned', 'up/pwned', 'abs/pwned']:\n"
     "  z.writestr(zipfile.ZipInfo(name, (2020,1,1,0,0,0)), b'owned')\n"
     "z.close()\n");
  Zip z(t.sub("links.zip"));
  ASSERT_EQ(z.Count(), 6);
  std::string out = t.sub("x/out");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CZipReader::UnzipItem(z.h, i, WidePath(out) + u"/" + z.Item(i).name), ZIP_OK);
  for (int i = 3; i < 6; ++i)
    EXPECT_EQ(CZipReader::UnzipItem(z.h, i, WidePath(out) + u"/" + z.Item(i).name), ZIP_NO_FILE) << i;
  // The links became plain files holding their target text.
  EXPECT_FALSE(fs::is_symlink(out + "/tolink"));
  EXPECT_EQ(ReadFile(out + "/tolink"), "/etc");
  EXPECT_EQ(ReadFile(out + "/up"), "../../outside");
  EXPECT_EQ(Mode(out + "/up") & 0111, 0);
  EXPECT_FALSE(testutil::Exists("/etc/pwned"));
  EXPECT_FALSE(testutil::Exists(t.sub("pwned")));
  EXPECT_FALSE(testutil::Exists(t.sub("outside")));

  // A link planted at the target beforehand is replaced, not written through.
  ASSERT_EQ(symlink(t.sub("victim").c_str(), (out + "/tolink2").c_str()), 0);
  WriteFile(t.sub("victim"), "keep");
  Py(t, "z = zipfile.ZipFile('plain.zip', 'w')\nz.writestr('tolink2', b'new')\nz.close()\n");
  Zip p(t.sub("plain.zip"));
  EXPECT_EQ(CZipReader::UnzipItem(p.h, 0, WidePath(out) + u"/tolink2"), ZIP_OK);
  EXPECT_EQ(ReadFile(t.sub("victim")), "keep");
  EXPECT_FALSE(fs::is_symlink(out + "/tolink2"));
  EXPECT_EQ(ReadFile(out + "/tolink2"), "new");
}

TEST(ZipReader, TargetsOver259UnitsFailWithoutWriting) {
  TempDir t;
  Py(t,
     "z = zipfile.ZipFile('a.zip', 'w')\nz.writestr('f.txt', b'data')\n"
     "z.writestr(zipfile.ZipInfo('d/', (2020,1,1,0,0,0)), b'')\nz.close()\n");
  Zip z(t.sub("a.zip"));
  // Made of 3-byte UTF-8 characters: the limit counts UTF-16 units, not bytes.
  WString base = t.wpath() + u"/";
  ASSERT_LT(base.size(), 150u);
  const WString part = WString(75, u'长') + u"/";  // 225 bytes: within one name's limit
  WString dir = base;
  while (dir.size() + part.size() < 250) dir += part;
  WString fits = dir + WString(kZipMaxPath - dir.size(), u'x');
  ASSERT_EQ(fits.size(), 259u);
  const std::string first = NativePathUnchecked(base + part);
  EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, fits + u"y"), ZIP_NO_FILE);
  EXPECT_FALSE(testutil::Exists(first));
  EXPECT_EQ(CZipReader::UnzipItem(z.h, 1, fits + u"z"), ZIP_NO_FILE);
  EXPECT_FALSE(testutil::Exists(first));
  EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, fits), ZIP_OK);
  EXPECT_EQ(ReadFile(NativePathUnchecked(fits)), "data");
}

TEST(ZipReader, HostSystemDecidesTheAttributes) {
  TempDir t;
  mode_t oldMask = umask(022);  // the modes pass through the umask, as any new file's
  Py(t,
     "z = zipfile.ZipFile('a.zip', 'w')\n"
     "def add(name, system, attr):\n"
     "  i = zipfile.ZipInfo(name, (2020,1,1,0,0,0)); i.create_system = system; i.external_attr = attr\n"
     "  z.writestr(i, b'x')\n"
     "add('dos_ro', 0, 0x21)\n"
     "add('ntfs_hidden_system', 11, 0x26)\n"
     "add('unix_0444', 3, 0o100444 << 16)\n"
     "add('unix_0644', 3, 0o100644 << 16)\n"
     "add('unix_0666', 3, 0o100666 << 16)\n"
     "add('unix_0777', 3, 0o100777 << 16)\n"
     "add('unix_dir', 3, (0o40755 << 16))\n"
     "add('mac_0600_with_dos_ro_bit', 19, (0o100600 << 16) | 1)\n"
     "z.close()\n");
  Zip z(t.sub("a.zip"));
  umask(oldMask);
  EXPECT_EQ(z.Item(0).attributes, kZipAttrReadOnly | kZipAttrArchive);
  EXPECT_EQ(z.Item(1).attributes, kZipAttrHidden | kZipAttrSystem | kZipAttrArchive);
  EXPECT_EQ(z.Item(2).attributes, kZipAttrReadOnly | kZipAttrArchive);
  EXPECT_EQ(z.Item(3).attributes, kZipAttrArchive);
  EXPECT_EQ(z.Item(6).attributes, kZipAttrDirectory | kZipAttrArchive);
  EXPECT_EQ(z.Item(7).attributes, kZipAttrArchive);
  ASSERT_EQ(z.ExtractAll(t.sub("out")), ZIP_OK);
  EXPECT_EQ(Mode(t.sub("out/unix_0666")), 0644);
  EXPECT_EQ(Mode(t.sub("out/unix_0777")), 0755);
  EXPECT_EQ(Mode(t.sub("out/dos_ro")) & 0222, 0);
  EXPECT_EQ(Mode(t.sub("out/unix_0444")) & 0222, 0);
  EXPECT_EQ(Mode(t.sub("out/unix_0644")), 0644);
  EXPECT_TRUE(fs::is_directory(t.sub("out/unix_dir")));
  EXPECT_EQ(Mode(t.sub("out/mac_0600_with_dos_ro_bit")), 0600);
}

TEST(ZipReader, NamesInCodePage936AndUtf8) {
  TempDir t;
  Py(t,
     "z = zipfile.ZipFile('a.zip', 'w')\n"
     "z.writestr('\u4e2d\u6587/\u6587\u4ef6.txt', b'utf8')\n"  // zipfile flags it UTF-8
     "z.close()\n"
     "raw = open('a.zip','rb').read().replace('\u4e2d\u6587/\u6587\u4ef6'.encode(), b'Z' * 13)\n"
     "open('b.zip','wb').write(raw.replace(b'Z' * 13, '\u4e2d\u6587/\u4ef6x'.encode('gbk') + b'xxxxx'))\n");
  {
    Zip z(t.sub("a.zip"));
    EXPECT_EQ(z.Item(0).name, u"中文/文件.txt");
    ASSERT_EQ(z.ExtractAll(t.sub("out")), ZIP_OK);
    EXPECT_EQ(ReadFile(t.sub("out/中文/文件.txt")), "utf8");
  }
  // Same length in bytes (13): 936 text under a UTF-8 flag it does not fit.
  Zip g(t.sub("b.zip"));
  ASSERT_NE(g.h, nullptr);
  EXPECT_EQ(g.Item(0).name, u"中文/件xxxxxx.txt");

  // Unflagged names are 936 even where the bytes also read as UTF-8 (C2 BD,
  // D7 A8 D2 B5); a Unicode Path field whose checksum matches the stored
  // name gives the name, a stale one does not; bytes that are not 936 are
  // read as UTF-8.
  Py(t,
     "import zlib\n"
     "def up(name, raw): return struct.pack('<HHBI', 0x7075, 5 + len(name.encode()), 1, zlib.crc32(raw)) + name.encode()\n"
     "z = zipfile.ZipFile('c.zip', 'w')\n"
     "def add(name, extra=b''):\n"
     "  i = zipfile.ZipInfo(name, (2020,1,1,0,0,0)); i.extra = extra; z.writestr(i, b'%d' % len(name))\n"
     "add('AA.txt'); add('BBBB.txt'); add('CCCCCC')\n"
     "add('old.txt', up('\u65b0/\u62a5\u8868.dat', b'old.txt')); add('stale.txt', up('\u65b0.txt', b'other'))\n"
     "z.close()\n"
     "raw = open('c.zip','rb').read()\n"
     "for k, v in [(b'AA.txt', '\u9646.txt'.encode('gbk')), (b'BBBB.txt', '\u4e13\u4e1a.txt'.encode('gbk')),\n"
     "             (b'CCCCCC', '\u4e2d.tx'.encode())]:\n"
     "  assert len(k) == len(v); raw = raw.replace(k, v)\n"
     "open('c.zip','wb').write(raw)\n");
  Zip c(t.sub("c.zip"));
  EXPECT_EQ(c.Names(), (std::vector<WString>{u"陆.txt", u"专业.txt", u"中.tx", u"新/报表.dat", u"stale.txt"}));
  ASSERT_EQ(c.ExtractAll(t.sub("c")), ZIP_OK);
  EXPECT_EQ(ReadFile(t.sub("c/新/报表.dat")), "7");
}

TEST(ZipReader, Zip64ArchivesOpenWhole) {
  TempDir t;
  WriteFile(t.sub("src/a.txt"), "small");
  WriteFile(t.sub("src/sub/b.bin"), Bytes(70000, 5));
  // Past 65,535 entries zipfile writes the zip64 end records. With its limits
  // lowered it writes zip64 sizes and offsets for small entries, as it does
  // past 4 GiB; Info-ZIP's -fz does the same.
  Py(t,
     "z = zipfile.ZipFile('many.zip', 'w')\n"
     "for k in range(70000): z.writestr(zipfile.ZipInfo('d%d/f%d' % (k // 1000, k), (2020,1,1,0,0,0)), b'%d' % k)\n"
     "z.close()\n"
     "zipfile.ZIP64_LIMIT = 100; zipfile.ZIP_FILECOUNT_LIMIT = 2\n"
     "z = zipfile.ZipFile('forced.zip', 'w', zipfile.ZIP_DEFLATED)\n"
     "z.write('src/a.txt', 'a.txt'); z.write('src/sub/b.bin', 'sub/b.bin')\n"
     "with z.open('c.txt', 'w', force_zip64=True) as w: w.write(b'c' * 500)\n"
     "z.close()\n");
  ASSERT_EQ(testutil::Run("cd '" + t.sub("src") + "' && zip -q -fz -r ../info.zip a.txt sub"), 0);
  {
    Zip z(t.sub("many.zip"));
    ASSERT_NE(z.h, nullptr);
    ASSERT_EQ(z.Count(), 70000);
    for (int k : {65535, 69999, 0}) {
      EXPECT_EQ(z.Item(k).name, W(("d" + std::to_string(k / 1000) + "/f" + std::to_string(k)).c_str()));
      ASSERT_EQ(CZipReader::UnzipItem(z.h, k, t.wsub("x")), ZIP_OK);
      EXPECT_EQ(ReadFile(t.sub("x")), std::to_string(k));
    }
  }
  for (const char* name : {"forced.zip", "info.zip"}) {
    Zip z(t.sub(name));
    ASSERT_NE(z.h, nullptr) << name;
    std::string out = t.sub(std::string("out-") + name);
    ASSERT_EQ(z.ExtractAll(out), ZIP_OK) << name;
    EXPECT_EQ(ReadFile(out + "/a.txt"), "small");
    EXPECT_EQ(ReadFile(out + "/sub/b.bin"), ReadFile(t.sub("src/sub/b.bin"))) << name;
    for (int32_t i = 0; i < z.Count(); ++i) {
      if (z.Item(i).name == u"sub/b.bin") {
        EXPECT_EQ(z.Item(i).uncompressedSize, 70000u) << name;
      }
    }
  }
  EXPECT_EQ(ReadFile(t.sub("out-forced.zip/c.txt")), std::string(500, 'c'));
}

TEST(ZipReader, DirectoryShortOfItsEndRecordFailsToOpen) {
  TempDir t;
  // The same five entries with a plain end record and with zip64 records.
  Py(t,
     "for name in ['plain.zip', 'z64.zip']:\n"
     "  if name == 'z64.zip': zipfile.ZIP_FILECOUNT_LIMIT = 2\n"
     "  z = zipfile.ZipFile(name, 'w')\n"
     "  for k in range(5): z.writestr(zipfile.ZipInfo('f%d' % k, (2020,1,1,0,0,0)), b'x')\n"
     "  z.close()\n");
  auto opens = [&](const std::string& zip, size_t at, const std::string& bytes) {
    std::string s = ReadFile(t.sub(zip));
    s.replace(at, bytes.size(), bytes);
    WriteFile(t.sub("v.zip"), s);
    HZIP h = CZipReader::Open(t.wsub("v.zip"), nullptr);
    if (h) CZipReader::Close(h);
    return h != nullptr;
  };
  std::string plain = ReadFile(t.sub("plain.zip")), z64 = ReadFile(t.sub("z64.zip"));
  size_t end = plain.rfind(std::string("PK\5\6", 4)), end64 = z64.rfind(std::string("PK\6\6", 4));
  ASSERT_NE(end64, std::string::npos);
  ASSERT_TRUE(opens("plain.zip", 0, "PK"));
  ASSERT_TRUE(opens("z64.zip", 0, "PK"));
  // Fewer entries stated than held (a count that wrapped at 65,536), more
  // than held, a directory size that cuts the last header short.
  EXPECT_FALSE(opens("plain.zip", end + 8, std::string("\3\0\3\0", 4)));
  EXPECT_FALSE(opens("plain.zip", end + 8, std::string("\7\0\7\0", 4)));
  std::string size(1, (char)(plain[end + 12] - 1));
  EXPECT_FALSE(opens("plain.zip", end + 12, size));
  EXPECT_FALSE(opens("z64.zip", end64 + 24, std::string("\3\0\0\0\0\0\0\0\3\0\0\0\0\0\0\0", 16)));
  EXPECT_FALSE(opens("z64.zip", end64 + 24, std::string("\7\0\0\0\0\0\0\0\7\0\0\0\0\0\0\0", 16)));
}

TEST(ZipReader, IndexesMayComeInAnyOrder) {
  TempDir t;
  Py(t,
     "z = zipfile.ZipFile('a.zip', 'w')\n"
     "for k in range(50): z.writestr('f%02d.txt' % k, ('content %d' % k).encode())\n"
     "z.close()\n");
  Zip z(t.sub("a.zip"));
  for (int k : {7, 3, 49, 0, 0, 48, 12}) {
    char want[16];
    snprintf(want, sizeof want, "f%02d.txt", k);
    EXPECT_EQ(z.Item(k).name, W(want));
    ASSERT_EQ(CZipReader::UnzipItem(z.h, k, t.wsub("x.txt")), ZIP_OK);
    EXPECT_EQ(ReadFile(t.sub("x.txt")), "content " + std::to_string(k));
  }
  ZipItemInfo info;
  EXPECT_EQ(CZipReader::GetItem(z.h, 50, info), ZIP_ARGS);
  EXPECT_EQ(CZipReader::GetItem(z.h, -2, info), ZIP_ARGS);
  EXPECT_EQ(CZipReader::UnzipItem(z.h, -1, t.wsub("y")), ZIP_ARGS);
  EXPECT_EQ(CZipReader::GetItem(nullptr, 0, info), ZIP_ARGS);
  EXPECT_EQ(CZipReader::UnzipItem(nullptr, 0, t.wsub("y")), ZIP_ARGS);
  EXPECT_EQ(CZipReader::Close(nullptr), ZIP_ARGS);
  EXPECT_EQ(CZipReader::LastResult(), ZIP_ARGS);
}

TEST(ZipReader, RelativeTargetsUseTheDirectoryCurrentAtOpen) {
  TempDir t;
  Py(t, "z = zipfile.ZipFile('a.zip', 'w')\nz.writestr('n.txt', b'rel')\nz.close()\n");
  std::string prev = fs::current_path().string();
  ASSERT_EQ(chdir(t.path().c_str()), 0);
  HZIP h = CZipReader::Open(u"a.zip", nullptr);
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CZipReader::UnzipItem(h, 0, u"sub/dir/n.txt"), ZIP_OK);
  EXPECT_EQ(CZipReader::Close(h), ZIP_OK);
  ASSERT_EQ(chdir(prev.c_str()), 0);
  EXPECT_EQ(ReadFile(t.sub("sub/dir/n.txt")), "rel");
}

TEST(ZipReader, ExistingTargets) {
  TempDir t;
  Py(t, "z = zipfile.ZipFile('a.zip', 'w')\nz.writestr('n.txt', b'new')\nz.close()\n");
  Zip z(t.sub("a.zip"));
  WriteFile(t.sub("old.txt"), "old old old");
  EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, t.wsub("old.txt")), ZIP_OK);
  EXPECT_EQ(ReadFile(t.sub("old.txt")), "new");
  WriteFile(t.sub("ro.txt"), "keep");
  chmod(t.sub("ro.txt").c_str(), 0444);
  EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, t.wsub("ro.txt")), ZIP_NO_FILE);
  EXPECT_EQ(ReadFile(t.sub("ro.txt")), "keep");
  ASSERT_EQ(testutil::Run("mkdir '" + t.sub("isdir") + "'"), 0);
  EXPECT_EQ(CZipReader::UnzipItem(z.h, 0, t.wsub("isdir")), ZIP_NO_FILE);
}

TEST(ZipReader, ResultTexts) {
  WChar buf[64];
  EXPECT_EQ(CZipReader::ResultText(0x500, buf, 64), 29u);
  EXPECT_EQ(WString(buf), u"File not found in the zipfile");
  EXPECT_EQ(CZipReader::ResultText(0x100), u"Culdn't duplicate handle");
  EXPECT_EQ(CZipReader::ResultText(0x9999), u"unknown zip result code");
  EXPECT_EQ(CZipReader::ResultText(0x80000), u"Caller: mixing creation and opening of zip");
  WChar small[10];
  EXPECT_EQ(CZipReader::ResultText(0x500, small, 10), 29u);
  EXPECT_EQ(WString(small), u"File not ");
  EXPECT_EQ(CZipReader::ResultText(0x500, nullptr, 0), 29u);
  CZipReader::Close(nullptr);
  EXPECT_EQ(CZipReader::ResultText(ZIP_LAST_RESULT), u"Caller: faulty arguments");
}
