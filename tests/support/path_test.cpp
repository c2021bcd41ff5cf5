#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "common/testutil.h"
#include "support/path.h"

using testutil::TempDir;
using testutil::WriteFile;

TEST(Path, ParentDirUsesEitherSeparator) {
  EXPECT_EQ(GetParentDir(u"C:/a/b.txt"), u"C:/a");
  EXPECT_EQ(GetParentDir(u"C:\\a\\b.txt"), u"C:/a");
  EXPECT_EQ(GetParentDir(u"/opt/zo\\Log/tarvex.log"), u"/opt/zo/Log");
  EXPECT_EQ(GetParentDir(u"/tarvex.log"), u"");
  EXPECT_EQ(GetParentDir(u"tarvex.log"), u"");
  EXPECT_EQ(GetParentDir(u""), u"");
}

TEST(Path, SeparatorsAndRootsAreTheSystemsOwn) {
#ifdef _WIN32
  EXPECT_EQ(NativeSeparators(u"/config/a.ini"), u"\\config\\a.ini");
  EXPECT_EQ(NativeSeparators(u"C:/x\\y"), u"C:\\x\\y");
  EXPECT_TRUE(IsAbsolutePath(u"C:\\zo\\a.dll"));
  EXPECT_TRUE(IsAbsolutePath(u"c:/zo"));
  EXPECT_TRUE(IsAbsolutePath(u"\\\\server\\share\\a"));
  EXPECT_FALSE(IsAbsolutePath(u"\\zo\\a.dll"));  // the current drive's: not where a record points
  EXPECT_FALSE(IsAbsolutePath(u"C:zo"));
#else
  EXPECT_EQ(NativeSeparators(u"/config/a.ini"), u"/config/a.ini");
  EXPECT_EQ(NativeSeparators(u"/opt\\zo/x"), u"/opt/zo/x");  // a record's "\" separates here too
  EXPECT_TRUE(IsAbsolutePath(u"/opt/zo"));
  EXPECT_FALSE(IsAbsolutePath(u"C:/zo"));
#endif
  EXPECT_FALSE(IsAbsolutePath(u"zo/a.dll"));
  EXPECT_FALSE(IsAbsolutePath(u""));
}

TEST(Path, DirectoryTreeAndReadOnly) {
  TempDir t;
  EXPECT_FALSE(MakeDirectoryTree(u""));
  EXPECT_TRUE(MakeDirectoryTree(t.wsub("a/b/中文/d")));
  EXPECT_TRUE(MakeDirectoryTree(t.wsub("a/b/中文/d")));
  WriteFile(t.sub("a/f"), "x");
  chmod(t.sub("a/f").c_str(), 0455);
  ClearReadOnly(t.wsub("a/f"));
  struct stat st;
  ASSERT_EQ(stat(t.sub("a/f").c_str(), &st), 0);
#ifdef _WIN32  // only the write bit is kept
  EXPECT_EQ(st.st_mode & 0200, 0200u);
#else
  EXPECT_EQ(st.st_mode & 07777, 0655u);
#endif
  ClearReadOnly(t.wsub("missing"));  // nothing to do, nothing created
  EXPECT_FALSE(testutil::Exists(t.sub("missing")));
}

TEST(Path, SelfPathAndDirectory) {
  WString self = GetSelfPath();
  ASSERT_FALSE(self.empty());
#ifdef _WIN32
  EXPECT_EQ(self[1], u':');
  EXPECT_EQ(self.substr(self.size() - 17), u"\\test_support.exe");
  EXPECT_EQ(GetSelfDir() + u"\\test_support.exe", self);
#else
  EXPECT_EQ(self[0], u'/');
  EXPECT_EQ(self.substr(self.size() - 13), u"/test_support");
  EXPECT_EQ(GetSelfDir() + u"/test_support", self);
#endif
}

TEST(Path, FileSizeByPath) {
  SKIP_WITHOUT_LINUX_TOOLS("truncate");
  TempDir t;
  WriteFile(t.sub("pack.zip"), std::string(12345, 'z'));
  WriteFile(t.sub("空.zip"), "");
  EXPECT_EQ(GetFileSizeByPath(t.wsub("pack.zip")), 12345);
  EXPECT_EQ(GetFileSizeByPath(t.wsub("空.zip")), 0);
  EXPECT_EQ(GetFileSizeByPath(t.wsub("missing.zip")), -1);
  WriteFile(t.sub("\xF0\x9F\x98\x80.zip"), "abc");
  EXPECT_EQ(GetFileSizeByPath(t.wpath() + u"/\U0001F600.zip"), -1);  // 936 cannot hold the name
  // Sizes are 64-bit (a sparse file: nothing is written), and a directory has none.
  testutil::Run("truncate -s 4294968296 '" + t.sub("big.zip") + "'");
  EXPECT_EQ(GetFileSizeByPath(t.wsub("big.zip")), 4294968296LL);
  EXPECT_EQ(GetFileSizeByPath(t.wpath()), -1);
}

TEST(Path, SelfVersionIsTheCompiledProductVersion) {
  std::string v = Utf8FromWide(GetSelfVersion());
  EXPECT_TRUE(std::regex_match(v, std::regex("\\d+\\.\\d+\\.\\d+\\.\\d+"))) << v;
  EXPECT_EQ(v, std::to_string(QUILLUP_VERSION_MAJOR) + "." + std::to_string(QUILLUP_VERSION_MINOR) + "." +
                   std::to_string(QUILLUP_VERSION_PATCH) + "." + std::to_string(QUILLUP_VERSION_TWEAK));
}
