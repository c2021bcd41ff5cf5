#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <random>

#include "common/testutil.h"
#include "support/md5.h"

using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = (char)(rng() & 0xFF);
  return s;
}

std::string Md5(const std::string& s) { return Md5Hex(s.data(), (uint32_t)s.size()); }

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(Md5Hex(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, EveryLengthAroundTheBlockAndPaddingBoundaries) {
  std::string data = RandomBytes(1100, 1);
  for (size_t n = 0; n <= data.size(); ++n) {
    std::string part = data.substr(0, n);
    ASSERT_EQ(Md5(part), testutil::OpenSslMd5Hex(part)) << "length " << n;
  }
  // Unaligned input (digest reads words from any address).
  for (size_t off = 1; off < 8; ++off) {
    std::string part = data.substr(off, 777);
    ASSERT_EQ(Md5Hex(data.data() + off, 777), testutil::OpenSslMd5Hex(part)) << "offset " << off;
  }
}

TEST(Md5, PiecesGiveTheSameDigestAsTheWhole) {
  std::string data = RandomBytes(10000, 2);
  std::mt19937 rng(3);
  for (int trial = 0; trial < 50; ++trial) {
    CMd5 md5;
    size_t pos = 0;
    while (pos < data.size()) {
      size_t n = std::min<size_t>(rng() % 200, data.size() - pos);
      md5.Update(data.data() + pos, n);
      pos += n;
    }
    ASSERT_EQ(md5.FinalHex(), testutil::OpenSslMd5Hex(data));
  }
  CMd5 reused;
  reused.Update("x", 1);
  reused.FinalHex();
  reused.Reset();
  reused.Update("abc", 3);
  EXPECT_EQ(reused.FinalHex(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(FileMd5, MissingEmptyAndUnreadable) {
  TempDir t;
  EXPECT_EQ(FileMd5(u""), u"");
  EXPECT_EQ(FileMd5(t.wsub("missing.zip")), u"");
  WriteFile(t.sub("empty"), "");
  EXPECT_EQ(FileMd5(t.wsub("empty")), u"d41d8cd98f00b204e9800998ecf8427e");
  // A directory opens but does not read: no digest.
  EXPECT_EQ(FileMd5(t.wpath()), u"");
  WriteFile(t.sub("locked"), "abc");
  chmod(t.sub("locked").c_str(), 0);
#ifndef _WIN32  // Windows has no unreadable mode; a share lock would stand in
  if (geteuid() != 0) {
    EXPECT_EQ(FileMd5(t.wsub("locked")), u"");
  }
#endif
}

TEST(FileMd5, PathsFollowTheNarrowRule) {
  TempDir t;
  WriteFile(t.sub("升级包.zip"), "abc");
#ifndef _WIN32  // the C runtime reads a narrow name in the ANSI code page: Chinese names wait for wide opens
  EXPECT_EQ(FileMd5(t.wsub("升级包.zip")), u"900150983cd24fb0d6963f7d28e17f72");
#endif
  // A name code page 936 cannot hold is refused even though the file exists.
  WriteFile(t.sub("\xF0\x9F\x98\x80.zip"), "abc");
  EXPECT_EQ(FileMd5(t.wpath() + u"/\U0001F600.zip"), u"");
}

TEST(FileMd5, MultiMebibyteFileMatchesMd5sum) {
  SKIP_WITHOUT_LINUX_TOOLS("md5sum");
  TempDir t;
  // Not a multiple of the read piece nor of the block size.
  std::string data = RandomBytes(5 * 1024 * 1024 + 4321, 4);
  WriteFile(t.sub("pack.zip"), data);
  std::string out = t.sub("sum.txt");
  ASSERT_EQ(testutil::Run("md5sum '" + t.sub("pack.zip") + "' > '" + out + "'"), 0);
  std::string sum = testutil::ReadFile(out).substr(0, 32);
  EXPECT_EQ(FileMd5(t.wsub("pack.zip")), WidePath(sum));
  EXPECT_EQ(Md5(data), sum);
}
