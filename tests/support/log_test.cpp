#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/testutil.h"
#include "support/log.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// Every log test starts from a fresh instance and leaves none behind.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { CLog::Release(); }
  void TearDown() override { CLog::Release(); }
  TempDir dir;
};

const std::regex kLine(
    "(\\d{4})-(\\d{2})-(\\d{2}) (\\d{2}):(\\d{2}):(\\d{2}),(\\d{3}) \\[(INFO|WARN|ERROR)\\] \\[([^\\]\\r\\n]*)\\] "
    "([^\\r\\n]*)\\r\\n");

// Splits after each LF; a last piece without one is returned too.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string::npos ? text.size() : lf + 1;
    lines.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return lines;
}

// Length of a line of this operation and message (the time text is 23).
size_t LineLength(const char* op, const std::string& levelText, const std::string& utf8Message) {
  return 23 + 2 + levelText.size() + 3 + strlen(op) + 2 + utf8Message.size() + 2;
}

}  // namespace

TEST_F(LogTest, NothingIsWrittenBeforeThePathIsSet) {
  EXPECT_FALSE(LogWrite(LOG_INFO, "CUpdateDlg::OnInitDialog", u"early"));
  CLog::Instance()->SetPath(dir.wsub("Log/tarvex.log"));
  EXPECT_TRUE(LogWrite(LOG_INFO, "CUpdateDlg::OnInitDialog", u"later"));
  std::string text = ReadFile(dir.sub("Log/tarvex.log"));
  EXPECT_EQ(text.find("early"), std::string::npos);
  EXPECT_NE(text.find("later"), std::string::npos);
  // A released log starts over with no path.
  CLog::Release();
  EXPECT_FALSE(LogWrite(LOG_INFO, "CUpdateDlg::OnDestroy", u"after release"));
  EXPECT_EQ(ReadFile(dir.sub("Log/tarvex.log")), text);
}

TEST_F(LogTest, SetPathCreatesTheDirectoryChainOnly) {
  SKIP_WITHOUT_LINUX_TOOLS("a shell");
  CLog::Instance()->SetPath(dir.wsub("a/b/c/tarvex.log"));
  EXPECT_TRUE(Exists(dir.sub("a/b/c")));
  EXPECT_FALSE(Exists(dir.sub("a/b/c/tarvex.log")));  // the file waits for the first line

  // A bare file name creates nothing and logs into the working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.sub("a").c_str()), 0);
  CLog::Instance()->SetPath(u"bare.log");
  EXPECT_TRUE(LogWrite(LOG_INFO, "op", u"x"));
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(Exists(dir.sub("a/bare.log")));
  testutil::Run("ls '" + dir.sub("a") + "' > '" + dir.sub("ls.txt") + "'");
  EXPECT_EQ(ReadFile(dir.sub("ls.txt")), "b\nbare.log\n");
}

TEST_F(LogTest, LineFormatByteForByte) {
  CLog::Instance()->SetPath(dir.wsub("Log/tarvex.log"));
  time_t before = time(nullptr);
  ASSERT_TRUE(LogWrite(LOG_WARN, "COpFile::ReadQuillupCfgIni", u"缺少配置项:/opt/x/config/quillupcfg.ini"));
  time_t after = time(nullptr);
  std::string text = ReadFile(dir.sub("Log/tarvex.log"));

  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, kLine)) << text;
  EXPECT_EQ(text.substr(23),
            " [WARN] [COpFile::ReadQuillupCfgIni] \xE7\xBC\xBA\xE5\xB0\x91\xE9\x85\x8D\xE7\xBD\xAE\xE9\xA1\xB9:"
            "/opt/x/config/quillupcfg.ini\r\n");
  // No mark in front: the file starts with the year.
  EXPECT_EQ(text[0], m[1].str()[0]);
  struct tm tmv = {};
  tmv.tm_year = std::stoi(m[1]) - 1900;
  tmv.tm_mon = std::stoi(m[2]) - 1;
  tmv.tm_mday = std::stoi(m[3]);
  tmv.tm_hour = std::stoi(m[4]);
  tmv.tm_min = std::stoi(m[5]);
  tmv.tm_sec = std::stoi(m[6]);
  tmv.tm_isdst = -1;
  time_t logged = mktime(&tmv);  // the line carries local time
  EXPECT_GE(logged, before - 1);
  EXPECT_LE(logged, after + 1);
  EXPECT_LT(std::stoi(m[7]), 1000);
}

TEST_F(LogTest, LevelTexts) {
  CLog::Instance()->SetPath(dir.wsub("tarvex.log"));
  for (int level : {0, 1, 2, 3, -1}) ASSERT_TRUE(LogWrite(level, "L", WFromInt(level)));
  std::vector<std::string> lines = Lines(ReadFile(dir.sub("tarvex.log")));
  ASSERT_EQ(lines.size(), 5u);
  const char* expected[] = {"[INFO] [L] 0", "[WARN] [L] 1", "[ERROR] [L] 2", "[INFO] [L] 3", "[INFO] [L] -1"};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], kLine)) << lines[i];
    EXPECT_EQ(lines[i].substr(24), std::string(expected[i]) + "\r\n");
  }
}

TEST_F(LogTest, MessagesAreDataNeverFormats) {
  CLog::Instance()->SetPath(dir.wsub("tarvex.log"));
  ASSERT_TRUE(LogWrite(LOG_INFO, "op%s", u"100% %s %d %n %%"));
  // Half a surrogate pair still gives a line (with U+FFFD), not silence.
  ASSERT_TRUE(LogWrite(LOG_INFO, "op", WString(u"a") + (char16_t)0xD800 + u"b\U0001F600"));
  std::vector<std::string> lines = Lines(ReadFile(dir.sub("tarvex.log")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(24), "[INFO] [op%s] 100% %s %d %n %%\r\n");
  EXPECT_EQ(lines[1].substr(24), "[INFO] [op] a\xEF\xBF\xBD" "b\xF0\x9F\x98\x80\r\n");
}

TEST_F(LogTest, RotatesAtExactlyTwoMebibytes) {
  CLog::Instance()->SetPath(dir.wsub("Log/tarvex.log"));
  const std::string msg = "rotation probe";
  const size_t line = LineLength("T::R", "INFO", msg);
  const std::string old = std::string(2097152 - line - 1, 'o') + "\n";

  // One byte short of the limit after the write: no rotation.
  WriteFile(dir.sub("Log/tarvex.log"), std::string(2097151 - line, 'a'));
  ASSERT_TRUE(LogWrite(LOG_INFO, "T::R", WideFromUtf8(msg)));
  EXPECT_EQ(ReadFile(dir.sub("Log/tarvex.log")).size(), 2097151u);
  EXPECT_FALSE(Exists(dir.sub("Log/tarvex_0.log")));

  // Exactly at the limit: moved aside, replacing an older generation.
  WriteFile(dir.sub("Log/tarvex_0.log"), "older generation");
  WriteFile(dir.sub("Log/tarvex.log"), old);
  ASSERT_TRUE(LogWrite(LOG_INFO, "T::R", WideFromUtf8(msg)));
  EXPECT_FALSE(Exists(dir.sub("Log/tarvex.log")));
  std::string rotated = ReadFile(dir.sub("Log/tarvex_0.log"));
  ASSERT_EQ(rotated.size(), 2097152u);
  EXPECT_EQ(rotated.substr(0, old.size()), old);
  EXPECT_TRUE(std::regex_match(rotated.substr(old.size()), kLine));

  ASSERT_TRUE(LogWrite(LOG_ERROR, "T::R", u"fresh"));
  std::string fresh = ReadFile(dir.sub("Log/tarvex.log"));
  EXPECT_TRUE(std::regex_match(fresh, kLine));
  EXPECT_EQ(fresh.substr(24), "[ERROR] [T::R] fresh\r\n");
  EXPECT_EQ(ReadFile(dir.sub("Log/tarvex_0.log")), rotated);
}

TEST_F(LogTest, RotationNameLooksAtTheWholePath) {
  SKIP_WITHOUT_LINUX_TOOLS("a shell");
  // No dot in the file name: "_0" goes before the directory's last dot.
  testutil::Run("mkdir -p '" + dir.sub("logs.d") + "' '" + dir.sub("logs_0.d") + "'");
  CLog::Instance()->SetPath(dir.wsub("logs.d/tarvex"));
  WriteFile(dir.sub("logs.d/tarvex"), std::string(2097152, 'x'));
  ASSERT_TRUE(LogWrite(LOG_INFO, "op", u"over"));
  EXPECT_FALSE(Exists(dir.sub("logs.d/tarvex")));
  EXPECT_TRUE(Exists(dir.sub("logs_0.d/tarvex")));
  EXPECT_FALSE(Exists(dir.sub("logs.d/tarvex_0")));

  // Where that directory is missing, the rename fails, the large file stays
  // and takes the next line; the line still counts as written.
  CLog::Instance()->SetPath(dir.wsub("other.d/tarvex"));
  WriteFile(dir.sub("other.d/tarvex"), std::string(2097152, 'x'));
  ASSERT_TRUE(LogWrite(LOG_INFO, "op", u"one"));
  ASSERT_TRUE(LogWrite(LOG_INFO, "op", u"two"));
  std::string kept = ReadFile(dir.sub("other.d/tarvex"));
  EXPECT_NE(kept.find("] one\r\n"), std::string::npos);
  EXPECT_NE(kept.find("] two\r\n"), std::string::npos);

  // No dot anywhere: the path followed by "_0".
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  CLog::Instance()->SetPath(u"plainlog");
  WriteFile("plainlog", std::string(2097152, 'x'));
  bool wrote = LogWrite(LOG_INFO, "op", u"over");
  bool rotated = Exists("plainlog_0") && !Exists("plainlog");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(wrote);
  EXPECT_TRUE(rotated);
}

TEST_F(LogTest, PathOutsideCodePage936IsNeverOpened) {
  CLog::Instance()->SetPath(dir.wpath() + u"/Log/\U0001F600.log");
  EXPECT_FALSE(LogWrite(LOG_INFO, "op", u"x"));
  EXPECT_FALSE(Exists(dir.sub("Log/\xF0\x9F\x98\x80.log")));
  // A Chinese path is fine.
#ifndef _WIN32  // the C runtime reads a narrow name in the ANSI code page: Chinese names wait for wide opens
  CLog::Instance()->SetPath(dir.wpath() + u"/日志/tarvex.log");
  EXPECT_TRUE(LogWrite(LOG_INFO, "op", u"x"));
  EXPECT_TRUE(Exists(dir.sub("日志/tarvex.log")));
#endif
}

TEST_F(LogTest, UnopenableFileFailsThatLineOnly) {
  SKIP_WITHOUT_LINUX_TOOLS("a shell");
  CLog::Instance()->SetPath(dir.wsub("Log/tarvex.log"));
  testutil::Run("rm -rf '" + dir.sub("Log") + "'");
  EXPECT_FALSE(LogWrite(LOG_INFO, "op", u"lost"));
  testutil::Run("mkdir -p '" + dir.sub("Log/tarvex.log") + "'");  // a directory in its place
  EXPECT_FALSE(LogWrite(LOG_INFO, "op", u"lost"));
  testutil::Run("rmdir '" + dir.sub("Log/tarvex.log") + "'");
  EXPECT_TRUE(LogWrite(LOG_INFO, "op", u"back"));
}

TEST_F(LogTest, TwoThreadsTearNoLine) {
  CLog::Instance()->SetPath(dir.wsub("Log/tarvex.log"));
  const int kLines = 10000;
  auto writer = [&](const char* op, const char16_t* tag) {
    for (int i = 0; i < kLines; ++i) LogWrite(LOG_INFO, op, WString(tag) + u" 第" + WFromInt(i) + u"行");
  };
  std::thread a(writer, "CUpdateDlg::DoWork", u"worker");
  std::thread b(writer, "CUpdateDlg::OnTimer", u"window");
  a.join();
  b.join();

  std::vector<std::string> lines = Lines(ReadFile(dir.sub("Log/tarvex.log")));
  ASSERT_EQ(lines.size(), 2u * kLines);
  int next[2] = {0, 0};
  const std::regex body("\\[INFO\\] \\[CUpdateDlg::(DoWork|OnTimer)\\] (worker|window) \xE7\xAC\xAC(\\d+)\xE8\xA1\x8C\r\n");
  for (const std::string& l : lines) {
    ASSERT_TRUE(std::regex_match(l, kLine)) << l;
    std::smatch m;
    std::string rest = l.substr(24);
    ASSERT_TRUE(std::regex_match(rest, m, body)) << l;
    int t = m[1] == "DoWork" ? 0 : 1;
    ASSERT_EQ(m[2], t == 0 ? "worker" : "window");
    ASSERT_EQ(std::stoi(m[3]), next[t]) << "lines of one thread out of order";
    ++next[t];
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

TEST_F(LogTest, RotationUnderConcurrentWritersKeepsLinesWhole) {
  CLog::Instance()->SetPath(dir.wsub("Log/tarvex.log"));
  const std::u16string big(400, u'长');  // 1,200 bytes of UTF-8 per line
  auto writer = [&](const char* op) {
    for (int i = 0; i < 1500; ++i) LogWrite(LOG_INFO, op, big + WFromInt(i));
  };
  std::thread a(writer, "A::A");
  std::thread b(writer, "B::B");
  a.join();
  b.join();
  // About 3.6 MB went through: at least one rotation happened.
  ASSERT_TRUE(Exists(dir.sub("Log/tarvex_0.log")));
  // The older generation is exactly what the crossing line left: no line
  // of the other thread landed in it after the move, and no second move
  // replaced it with a young file.
  const size_t maxLine = 1300;
  std::string current = ReadFile(dir.sub("Log/tarvex.log"));
  std::string older = ReadFile(dir.sub("Log/tarvex_0.log"));
  EXPECT_LT(current.size(), 2097152u);
  EXPECT_GE(older.size(), 2097152u);
  EXPECT_LT(older.size(), 2097152u + maxLine);
  for (const std::string* text : {&current, &older})
    for (const std::string& l : Lines(*text)) ASSERT_TRUE(std::regex_match(l, kLine));
}
