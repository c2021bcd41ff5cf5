// The required-file check, disabling the client, starting it and the
// failed-start counter.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/testutil.h"
#include "opfile/opfile.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/path.h"
#ifdef _WIN32
#include <windows.h>
#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory
#endif

using testutil::Exists;
using testutil::Mode;
using testutil::Native;
using testutil::ReadFile;
using testutil::WriteFile;

namespace {

const char* const kConfig =
    "[QUILLUP_CFG]\r\nOUTSIDE_DOWNLOAD_URL=http://127.0.0.1:9/up\r\nBIN_FILE=%s\r\n"
    "SPLASH_BMP_FILE=skin.bmp\r\nQUILLUP_DIALOG_WINDOW_NAME=Quillup\r\nQUILLUP_VERSION=1\r\nQUILLUP_ID=5\r\n";

std::string Config(const std::string& bin) {
  char buf[512];
  snprintf(buf, sizeof buf, kConfig, bin.c_str());
  return buf;
}

#ifdef _WIN32
// Started as the client (a copy named ZoClient.exe), this program writes
// its own path into started.txt beside the installation folder, through a
// temporary name, and ends before any test runs.
[[maybe_unused]] const bool g_asClient = [] {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const WString self(path, path + (n < MAX_PATH ? n : 0));
  const WString name = u"\\ZoClient.exe";
  if (self.size() < name.size() || !WEqualsNoCase(self.substr(self.size() - name.size()), name)) return false;
  const WString dir = self.substr(0, self.size() - name.size());
  const std::string out = Utf8FromWide(dir.substr(0, dir.find_last_of(u'\\'))) + "/started.txt";
  WriteFile(out + ".tmp", Utf8FromWide(self) + "\n");
  plat::MoveNoReplace(WidePath(out + ".tmp"), WidePath(out));
  _exit(0);
}();
#endif

}  // namespace

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CLog::Instance()->SetPath(t.wsub("log/tarvex.log"));
    root = t.sub("inst");
    record = root + "/update/tarvex.rcd";
    self = Utf8FromWide(GetSelfPath());
    WriteFile(root + "/config/update.ini", "stamp");
    ASSERT_TRUE(testutil::MakeDirs(root + "/update"));
    Configure("ZoClient");
  }
  void TearDown() override { CLog::Instance()->SetPath(WString()); }

  void Configure(const std::string& bin) {
    WriteFile(root + "/config/quillupcfg.ini", Config(bin));
    ASSERT_TRUE(op.Init(WidePath(root)));
  }
  void Put(const std::string& rel, const std::string& data) { WriteFile(root + "/" + rel, data); }
  std::string At(const std::string& rel) const { return ReadFile(root + "/" + rel); }
  bool Has(const std::string& rel) const { return Exists(root + "/" + rel); }
  std::string Log() const { return ReadFile(t.sub("log/tarvex.log")); }
  bool Forbid() { return op.ForbidClientExe(WidePath(root), WidePath(record)); }

  testutil::TempDir t;
  std::string root, record, self;
  COpFile op;
};

TEST_F(ClientTest, RequiredFileListRules) {
  // The list names files next to the updater's own executable.
  std::string base = Utf8FromWide(GetSelfDir());
  std::string dir = "quillup-needed-" + std::to_string(getpid());
  struct Cleanup {
    std::string path;
    ~Cleanup() { testutil::RemoveAll(path); }
  } cleanup{base + "/" + dir};
  WriteFile(base + "/" + dir + "/present.dll", "x");
  WriteFile(base + "/" + dir + "/database/x.idx", "x");
  std::string list = root + "/config/neededfilelist.lst";
  auto write = [&](const std::string& extra) {
    WriteFile(list, "  " + dir + "/present.dll  \r\n\r\n"
                    "   ZoTrade\\missing.dll  \n"   // the trading module's own files
                    "zotrade/missing.dll\n"
                    "data\\missing.bin\n"          // the data directory, any case
                    "DATA/missing.bin\n"
                    "missing.DAT\n"                // data files
                    + dir + "\\database\\x.idx\n"  // "database\" is no "data\"
                    + extra);
  };
  write("");
  EXPECT_FALSE(op.IsNeedRepair(WidePath(root)));

  write(dir + "/absent.dll\r\n" + dir + "/absent2.dll\r\n");
  EXPECT_TRUE(op.IsNeedRepair(WidePath(root)));
  std::string log = Log();
  std::string missing = Utf8FromWide(u"客户端缺少文件:");
  EXPECT_NE(std::string::npos, log.find(missing + Native(base + "/" + dir + "/absent.dll")));
  EXPECT_EQ(std::string::npos, log.find("absent2.dll"));  // only the first is reported

  // A byte-order mark stays part of the first line's name.
  WriteFile(list, "\xEF\xBB\xBF" + dir + "/present.dll\r\n");
  EXPECT_TRUE(op.IsNeedRepair(WidePath(root)));

  ASSERT_EQ(0, unlink(list.c_str()));
  EXPECT_TRUE(op.IsNeedRepair(WidePath(root)));
  EXPECT_NE(std::string::npos, Log().find(missing + Native(list)));
}

TEST_F(ClientTest, ForbidSubstitutesTheUpdaterAndEnableUndoesIt) {
  Put("ZoClient", "real client");
  chmod((root + "/ZoClient").c_str(), 0750);
  ASSERT_TRUE(Forbid());
  EXPECT_EQ(ReadFile(self), At("ZoClient"));
  EXPECT_EQ("real client", At("ZoClient.forbid"));
  // Both stay runnable: copies keep their permission bits.
#ifndef _WIN32  // Windows keeps no mode bits
  EXPECT_EQ(Mode(self) | 0200, Mode(root + "/ZoClient"));
  EXPECT_EQ(0750, Mode(root + "/ZoClient.forbid"));
#endif
  EXPECT_FALSE(Has("ZoClient.oldbak"));
  EXPECT_FALSE(Has("ZoClient.update"));
  EXPECT_TRUE(Exists(record));
  EXPECT_EQ("", ReadFile(record));
  EXPECT_TRUE(op.IsClientExeForbidden(WidePath(root)));

  // Already disabled: nothing more happens.
  WriteFile(record, "kept");
  ASSERT_TRUE(Forbid());
  EXPECT_EQ("real client", At("ZoClient.forbid"));
  EXPECT_EQ("kept", ReadFile(record));

  ASSERT_TRUE(op.EnableClientExe(WidePath(root), false));
  EXPECT_EQ("real client", At("ZoClient"));
#ifndef _WIN32
  EXPECT_EQ(0750, Mode(root + "/ZoClient"));
#endif
  EXPECT_FALSE(op.IsClientExeForbidden(WidePath(root)));
}

TEST_F(ClientTest, ForbidFailuresPutTheOldNameBack) {
  EXPECT_FALSE(Forbid());
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"客户端文件不存在:") + Native(root + "/ZoClient")));

  // The client cannot be removed (read-only, as a running one on Windows):
  // the copy that went to ".forbid" is taken back.
  Put("ZoClient", "real client");
  chmod((root + "/ZoClient").c_str(), 0555);
  EXPECT_FALSE(Forbid());
  EXPECT_NE(std::string::npos, Log().find("[WARN] [COpFile::ForbidClientExe] " + Utf8FromWide(u"删除文件失败:") +
                                          Native(root + "/ZoClient")));
  EXPECT_EQ("real client", At("ZoClient"));
  EXPECT_FALSE(op.IsClientExeForbidden(WidePath(root)));
  // The record made for the attempt goes with it (the next start would
  // take it for an interrupted swap); one that was there before stays.
  EXPECT_FALSE(Has("update/tarvex.rcd"));
  WriteFile(record, "1|" + root + "/a.dll|\r\n");
  EXPECT_FALSE(Forbid());
  EXPECT_EQ("1|" + root + "/a.dll|\r\n", ReadFile(record));
  ASSERT_EQ(0, unlink(record.c_str()));
  chmod((root + "/ZoClient").c_str(), 0755);

  // Without a place for the record nothing is touched: a crash later
  // would leave no trace for the next start to repair from.
  testutil::RemoveAll(root + "/update");
  EXPECT_FALSE(Forbid());
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"创建文件失败:") + record));
  EXPECT_EQ("real client", At("ZoClient"));
  EXPECT_FALSE(Has("ZoClient.forbid"));
  ASSERT_TRUE(testutil::MakeDirs(root + "/update"));

  // The backup copy cannot be made (its name would be too long).
  std::string longName(249, 'z');
  Configure(longName);
  Put(longName, "long client");
  EXPECT_FALSE(Forbid());
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"复制文件失败:") + Native(root + "/" + longName) + "->"));
  EXPECT_EQ("long client", At(longName));

  op.SetEndSession();
  EXPECT_FALSE(op.ForbidClientExe(WidePath(root), WidePath(record)));
}

TEST_F(ClientTest, ForbidLeavesTheUpdaterItselfAlone) {
  // BIN_FILE naming the updater: true at once, nothing copied.
  std::string selfDir = Utf8FromWide(GetSelfDir());
  std::string name = self.substr(selfDir.size() + 1);
  WriteFile(t.sub("cfg.ini"), Config(name));
  ASSERT_TRUE(op.ReadQuillupCfgIni(t.wsub("cfg.ini")));
  EXPECT_TRUE(op.ForbidClientExe(WidePath(selfDir), WidePath(record)));
  EXPECT_FALSE(Exists(self + ".forbid"));
  EXPECT_FALSE(Exists(self + ".oldbak"));
  EXPECT_FALSE(Exists(record));
}

TEST_F(ClientTest, DeleteForbidFile) {
  Put("ZoClient.forbid", "x");
  chmod((root + "/ZoClient.forbid").c_str(), 0444);
  op.DeleteForbidFile(WidePath(root));
  EXPECT_FALSE(Has("ZoClient.forbid"));
  op.DeleteForbidFile(WidePath(root));  // nothing there: no harm
}

TEST_F(ClientTest, RunClientAppStartsTheUnquotedPathDetached) {
  // An installation path with blanks, handed over unquoted.
  root = t.sub("my inst");
  WriteFile(root + "/config/update.ini", "stamp");
  Configure("ZoClient");
  std::string out = t.sub("started.txt");
#ifdef _WIN32
  // This program, named ZoClient.exe, writes its own path (above).
  const std::string client = root + "/ZoClient.exe";
  ASSERT_TRUE(plat::CopyFileKeep(GetSelfPath(), WidePath(client), false));
  const std::string started = Native(client) + "\n";
#else
  const std::string client = root + "/ZoClient";
  Put("ZoClient", "#!/bin/sh\necho \"$# $0\" > '" + out + ".tmp'; mv '" + out + ".tmp' '" + out + "'\n");
  chmod(client.c_str(), 0755);
  const std::string started = "0 " + root + "/ZoClient\n";
#endif
  ASSERT_TRUE(op.RunClientApp(WidePath(root)));
  for (int i = 0; i < 500 && !Exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(started, ReadFile(out));
  EXPECT_NE(std::string::npos, Log().find("[INFO] [COpFile::RunClientApp] " + Utf8FromWide(u"成功启动客户端:") +
                                          Native(root + "/ZoClient")));

  testutil::RemoveAll(client);
  EXPECT_FALSE(op.RunClientApp(WidePath(root)));
  EXPECT_NE(std::string::npos, Log().find("[ERROR] [COpFile::RunClientApp] " + Utf8FromWide(u"启动客户端失败:") +
                                          Native(root + "/ZoClient")));
  EXPECT_FALSE(op.RunClientApp(u""));
}

TEST_F(ClientTest, FailedStartCounter) {
  EXPECT_EQ(0, op.GetFailStartupCount(WidePath(root)));
  op.SetFailStartupCount(WidePath(root), 2);
  EXPECT_EQ(2, op.GetFailStartupCount(WidePath(root)));
  std::string ini = testutil::ReadText(root + "/MainbinFailStartupCount.ini");
  EXPECT_NE(std::string::npos, ini.find("[MainbinFailStartupInfo]"));
  EXPECT_NE(std::string::npos, ini.find("MainbinFailStartupCount=2"));
  op.SetFailStartupCount(WidePath(root), 0);
  EXPECT_EQ(0, op.GetFailStartupCount(WidePath(root)));
}
