#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <dirent.h>

#include <cstring>

#include "common/testutil.h"
#include "platform/profile.h"

using plat::GetProfileString;
using plat::WriteProfileString;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string Utf16le(const std::u16string& s) {
  std::string b;
  for (char16_t c : s) {
    b.push_back((char)(c & 0xFF));
    b.push_back((char)(c >> 8));
  }
  return b;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

}  // namespace

TEST(Profile, MissingFileSectionOrKeyGivesTheDefault) {
  TempDir t;
  WString f = t.wsub("a.ini");
  EXPECT_EQ(GetProfileString(u"S", u"k", u"def", f), u"def");
  WriteFile(t.sub("a.ini"), "[S]\nk=1\n[T]\n");
  EXPECT_EQ(GetProfileString(u"X", u"k", u"def", f), u"def");
  EXPECT_EQ(GetProfileString(u"S", u"other", u"", f), u"");
  EXPECT_EQ(GetProfileString(u"T", u"k", u"d", f), u"d");
  EXPECT_EQ(GetProfileString(u"S", u"k", u"d", f), u"1");
  // A directory is no profile file.
  EXPECT_EQ(GetProfileString(u"S", u"k", u"d", t.wpath()), u"d");
}

TEST(Profile, NamesIgnoreCaseAndBlanksValuesLoseOnePairOfQuotes) {
  TempDir t;
  WriteFile(t.sub("a.ini"),
            "  [ Quillup_Cfg ]  ; trailing text\r\n"
            "  My Key   =   spaced value  \r\n"
            "dq = \"  kept blanks  \"\r\n"
            "sq='x'\r\n"
            "twice=\"\"x\"\"\r\n"
            "odd=\"abc\r\n"
            "mixed=\"abc'\r\n"
            "bare\r\n"
            "; comment=1\r\n"
            "eq=a=b\r\n");
  WString f = t.wsub("a.ini");
  EXPECT_EQ(GetProfileString(u"quillup_cfg", u"my key", u"", f), u"spaced value");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"MY KEY", u"", f), u"spaced value");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"MyKey", u"-", f), u"-");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"dq", u"", f), u"  kept blanks  ");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"sq", u"", f), u"x");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"twice", u"", f), u"\"x\"");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"odd", u"", f), u"\"abc");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"mixed", u"", f), u"\"abc'");
#ifndef _WIN32  // the system reads a line without "=" as absent and ";" lines as keys
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"bare", u"d", f), u"");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"; comment", u"d", f), u"d");
#endif
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"eq", u"", f), u"a=b");
}

TEST(Profile, FirstSectionAndFirstKeyWin) {
  TempDir t;
  WriteFile(t.sub("a.ini"), "[S]\na=1\na=2\n[s]\na=3\nb=4\n");
  WString f = t.wsub("a.ini");
  EXPECT_EQ(GetProfileString(u"S", u"a", u"", f), u"1");
  // Only the first section counts, even for a key it lacks.
  EXPECT_EQ(GetProfileString(u"S", u"b", u"none", f), u"none");
  ASSERT_TRUE(WriteProfileString(u"s", u"A", u"9", f));
  ASSERT_TRUE(WriteProfileString(u"S", u"b", u"5", f));
#ifndef _WIN32  // the system rewrites the file in its own layout
  EXPECT_EQ(ReadFile(t.sub("a.ini")), "[S]\na=9\na=2\nb=5\n[s]\na=3\nb=4\n");
#endif
  EXPECT_EQ(GetProfileString(u"S", u"b", u"", f), u"5");
}

TEST(Profile, LongValuesAreCutToTheBuffer) {
  TempDir t;
  std::string longValue(5000, 'v');
  WString f = t.wsub("a.ini");
  WString wide(5000, u'v');
  ASSERT_TRUE(WriteProfileString(u"S", u"k", wide, f));
#ifdef _WIN32  // a new file is UTF-16LE there
  EXPECT_NE(ReadFile(t.sub("a.ini")).find(Utf16le(u"k=" + wide + u"\r\n")), std::string::npos);
#else
  EXPECT_NE(ReadFile(t.sub("a.ini")).find("k=" + longValue + "\r\n"), std::string::npos);
#endif
  EXPECT_EQ(GetProfileString(u"S", u"k", u"", f), WString(1023, u'v'));
  EXPECT_EQ(GetProfileString(u"S", u"k", u"", f, 100), WString(99, u'v'));
  // Exactly 1,023 units stay whole; the cut counts UTF-16 units.
  ASSERT_TRUE(WriteProfileString(u"S", u"k", WString(1023, u'中'), f));
  EXPECT_EQ(GetProfileString(u"S", u"k", u"", f), WString(1023, u'中'));
  ASSERT_TRUE(WriteProfileString(u"S", u"k", u"\"" + WString(1030, u'x') + u"\"", f));
  EXPECT_EQ(GetProfileString(u"S", u"k", u"", f), WString(1023, u'x'));
  // A cut through a surrogate pair drops its first half.
  WString pairs;
  for (int i = 0; i < 600; ++i) pairs += u"\U0001F600";
  ASSERT_TRUE(WriteProfileString(u"S", u"k", pairs, f));
  WString got = GetProfileString(u"S", u"k", u"", f);
  EXPECT_EQ(got.size(), 1022u);
  EXPECT_FALSE(Utf8FromWide(got).empty());
}

TEST(Profile, WindowsUnicodeFileWithMarkAndCrLf) {
  TempDir t;
  std::string original = "\xFF\xFE" + Utf16le(u"; 配置\r\n[QUILLUP_CFG]\r\nQUILLUP_DIALOG_WINDOW_NAME=升级程序\r\n"
                                                u"QUILLUP_FLAG=1\r\n\r\n[Other]\r\nx=y\r\n");
  WriteFile(t.sub("u.ini"), original);
  WString f = t.wsub("u.ini");
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"QUILLUP_DIALOG_WINDOW_NAME", u"", f), u"升级程序");
  EXPECT_EQ(GetProfileString(u"quillup_cfg", u"quillup_flag", u"", f), u"1");
  EXPECT_EQ(GetProfileString(u"Other", u"x", u"", f), u"y");

  ASSERT_TRUE(WriteProfileString(u"QUILLUP_CFG", u"QUILLUP_FLAG", u"3", f));
  ASSERT_TRUE(WriteProfileString(u"QUILLUP_CFG", u"UPLOAD_TARVEX_LOG", u"日志", f));
  ASSERT_TRUE(WriteProfileString(u"新节", u"键", u"值", f));
  std::string expected = "\xFF\xFE" + Utf16le(u"; 配置\r\n[QUILLUP_CFG]\r\nQUILLUP_DIALOG_WINDOW_NAME=升级程序\r\n"
                                                u"QUILLUP_FLAG=3\r\nUPLOAD_TARVEX_LOG=日志\r\n\r\n[Other]\r\nx=y\r\n"
                                                u"\r\n[新节]\r\n键=值\r\n");
#ifndef _WIN32  // the system rewrites the file in its own layout
  EXPECT_EQ(ReadFile(t.sub("u.ini")), expected);
#endif
  EXPECT_EQ(GetProfileString(u"新节", u"键", u"", f), u"值");
}

TEST(Profile, CodePage936FileStaysCodePage936) {
#ifdef _WIN32
  if (strcmp(AnsiCodesetName(), "CP936") != 0) GTEST_SKIP() << "the system reads such files in the ANSI code page, here " << AnsiCodesetName();
#endif
  TempDir t;
  // "[界面]\r\n标题=升级程序\r\n" in code page 936: not valid UTF-8.
  std::string gbk = GbkFromWide(u"[界面]\r\n标题=升级程序\r\n");
  ASSERT_FALSE(gbk.empty());
  WriteFile(t.sub("g.ini"), gbk);
  WString f = t.wsub("g.ini");
  EXPECT_EQ(GetProfileString(u"界面", u"标题", u"", f), u"升级程序");
  ASSERT_TRUE(WriteProfileString(u"界面", u"说明", u"中文", f));
  EXPECT_EQ(ReadFile(t.sub("g.ini")), gbk + GbkFromWide(u"说明=中文\r\n"));
  EXPECT_EQ(GetProfileString(u"界面", u"说明", u"", f), u"中文");
}

TEST(Profile, Utf8FileWithAndWithoutMark) {
#ifdef _WIN32
  GTEST_SKIP() << "the system reads a file without a mark in the ANSI code page and rewrites it in its own layout";
#endif
  TempDir t;
  WriteFile(t.sub("m.ini"), "\xEF\xBB\xBF[S]\nname=中文\n");
  WString f = t.wsub("m.ini");
  EXPECT_EQ(GetProfileString(u"S", u"name", u"", f), u"中文");
  ASSERT_TRUE(WriteProfileString(u"S", u"name", u"升级", f));
  EXPECT_EQ(ReadFile(t.sub("m.ini")), "\xEF\xBB\xBF[S]\nname=升级\n");

  WriteFile(t.sub("n.ini"), "[S]\nname=中文");
  EXPECT_EQ(GetProfileString(u"S", u"name", u"", t.wsub("n.ini")), u"中文");
  ASSERT_TRUE(WriteProfileString(u"S", u"more", u"1", t.wsub("n.ini")));
  EXPECT_EQ(ReadFile(t.sub("n.ini")), "[S]\nname=中文\nmore=1\n");
}

TEST(Profile, WriteKeepsEveryOtherLine) {
#ifdef _WIN32
  GTEST_SKIP() << "the system rewrites the file in its own layout";
#endif
  TempDir t;
  std::string before =
      "; header comment\n"
      "orphan=before any section\r\n"
      "[A]\r\n"
      "  key1   =  old  \r\n"
      "\tkey2=two\r\n"
      "junk line without equals\n"
      "\r\n"
      "\r\n"
      "[B]\r\n"
      "z=1";
  WriteFile(t.sub("a.ini"), before);
  WString f = t.wsub("a.ini");
  ASSERT_TRUE(WriteProfileString(u"a", u"KEY1", u"new", f));
  ASSERT_TRUE(WriteProfileString(u"A", u"key3", u"three", f));
  ASSERT_TRUE(WriteProfileString(u"B", u"y", u"2", f));
  ASSERT_TRUE(WriteProfileString(u"C", u"c", u" padded ", f));
  EXPECT_EQ(ReadFile(t.sub("a.ini")),
            "; header comment\n"
            "orphan=before any section\r\n"
            "[A]\r\n"
            "key1=new\r\n"
            "\tkey2=two\r\n"
            "junk line without equals\n"
            "key3=three\n"
            "\r\n"
            "\r\n"
            "[B]\r\n"
            "z=1\n"
            "y=2\n"
            "\n"
            "[C]\n"
            "c= padded \n");
  EXPECT_EQ(GetProfileString(u"C", u"c", u"", f), u"padded");
  EXPECT_EQ(GetProfileString(u"A", u"orphan", u"-", f), u"-");
}

TEST(Profile, MissingFileIsCreatedAsUtf8) {
  TempDir t;
  WString f = t.wsub("new.ini");
  ASSERT_TRUE(WriteProfileString(u"QUILLUP_CFG", u"QUILLUP_FLAG", u"2", f));
  ASSERT_TRUE(WriteProfileString(u"QUILLUP_CFG", u"名称", u"升级", f));
#ifdef _WIN32  // UTF-16LE with its mark: the system's own lossless form
  EXPECT_EQ(ReadFile(t.sub("new.ini")), "\xFF\xFE" + Utf16le(u"[QUILLUP_CFG]\r\nQUILLUP_FLAG=2\r\n名称=升级\r\n"));
#else
  EXPECT_EQ(ReadFile(t.sub("new.ini")), "[QUILLUP_CFG]\r\nQUILLUP_FLAG=2\r\n名称=升级\r\n");
#endif
  EXPECT_EQ(GetProfileString(u"QUILLUP_CFG", u"名称", u"", f), u"升级");
  // Only the file itself remains: no temporary or lock file beside it.
  EXPECT_EQ(Entries(t.path()), std::vector<std::string>{"new.ini"});
}

TEST(Profile, RefusedWritesChangeNothing) {
  TempDir t;
  EXPECT_FALSE(WriteProfileString(u"S", u"k", u"v", t.wsub("no/such/dir/a.ini")));
  EXPECT_FALSE(testutil::Exists(t.sub("no")));

  WriteFile(t.sub("a.ini"), "[S]\nk=v\n");
  WString f = t.wsub("a.ini");
  EXPECT_FALSE(WriteProfileString(u"S", u"k", u"line1\r\n[Evil]", f));
  EXPECT_FALSE(WriteProfileString(u"S", u"k\nx", u"1", f));
  EXPECT_FALSE(WriteProfileString(u"S]x", u"k", u"1", f));
  EXPECT_FALSE(WriteProfileString(u"S", u"a=b", u"1", f));
  EXPECT_FALSE(WriteProfileString(u"", u"k", u"1", f));
  EXPECT_FALSE(WriteProfileString(u"S", u"  ", u"1", f));

  chmod(t.sub("a.ini").c_str(), 0444);
  EXPECT_FALSE(WriteProfileString(u"S", u"k", u"changed", f));
  EXPECT_EQ(ReadFile(t.sub("a.ini")), "[S]\nk=v\n");
  chmod(t.sub("a.ini").c_str(), 0644);
  EXPECT_EQ(Entries(t.path()), std::vector<std::string>{"a.ini"});
}

TEST(Profile, RewriteKeepsModeAndSymbolicLink) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps no mode bits, and links need rights a user lacks";
#else
  TempDir t;
  WriteFile(t.sub("real.ini"), "[S]\nk=v\n");
  chmod(t.sub("real.ini").c_str(), 0640);
  ASSERT_EQ(symlink("real.ini", t.sub("link.ini").c_str()), 0);
  ASSERT_TRUE(WriteProfileString(u"S", u"k", u"w", t.wsub("link.ini")));
  struct stat st;
  ASSERT_EQ(lstat(t.sub("link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(t.sub("real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(t.sub("real.ini")), "[S]\nk=w\n");
#endif
}

TEST(Profile, TwoProcessesWritingConcurrentlyLoseNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "no fork on Windows";
#else
  TempDir t;
  WString f = t.wsub("shared.ini");
  const int kKeys = 200;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      bool ok = true;
      for (int i = 0; i < kKeys; ++i) {
        WString key = u"p" + WFromInt(c) + u"_" + WFromInt(i);
        // Both sections are shared, so each write rewrites lines of the other.
        ok = WriteProfileString(i % 2 ? u"Odd" : u"Even", key, WFromInt(i * 7), f) && ok;
      }
      _exit(ok ? 0 : 1);
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int missing = 0;
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kKeys; ++i) {
      WString key = u"p" + WFromInt(c) + u"_" + WFromInt(i);
      if (GetProfileString(i % 2 ? u"Odd" : u"Even", key, u"", f) != WFromInt(i * 7)) ++missing;
    }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(Entries(t.path()), std::vector<std::string>{"shared.ini"});
#endif
}
