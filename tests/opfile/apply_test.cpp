// The swap, the record file and its processing, enabling the client, the
// never-replacing move, the flushed copy and clearing the update directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <vector>

#include "common/testutil.h"
#include "opfile/opfile.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/path.h"

using testutil::Exists;
using testutil::Mode;
using testutil::Native;
using testutil::ReadFile;
using testutil::WriteFile;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

// Deletes the files below dir, keeping its folders.
void DeleteFilesBelow(const std::string& dir) {
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::recursive_directory_iterator(std::filesystem::u8path(dir)))
    if (e.is_regular_file()) files.push_back(e.path());
  for (auto& f : files) std::filesystem::remove(f);
}

}  // namespace

class ApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CLog::Instance()->SetPath(t.wsub("log/tarvex.log"));
    root = t.sub("inst");
    ready = root + "/update/ready";
    record = root + "/update/tarvex.rcd";
    WriteFile(root + "/config/quillupcfg.ini",
              "[QUILLUP_CFG]\r\nOUTSIDE_DOWNLOAD_URL=http://127.0.0.1:9/up\r\nBIN_FILE=ZoClient\r\n"
              "SPLASH_BMP_FILE=skin.bmp\r\nQUILLUP_DIALOG_WINDOW_NAME=Quillup\r\nQUILLUP_VERSION=1\r\n"
              "QUILLUP_ID=5\r\n");
    WriteFile(root + "/config/update.ini", "stamp");
    ASSERT_TRUE(testutil::MakeDirs(ready));
    ASSERT_TRUE(op.Init(WidePath(root), [this](int percent) {
      percents.push_back(percent);
      if (onProgress) onProgress();
    }));
  }
  void TearDown() override {
    CLog::Instance()->SetPath(WString());
  }

  void Put(const std::string& rel, const std::string& data) { WriteFile(root + "/" + rel, data); }
  void Stage(const std::string& rel, const std::string& data) { WriteFile(ready + "/" + rel, data); }
  std::string At(const std::string& rel) const { return ReadFile(root + "/" + rel); }
  bool Has(const std::string& rel) const { return Exists(root + "/" + rel); }
  std::string Log() const { return ReadFile(t.sub("log/tarvex.log")); }
  WString W8(const std::string& s) const { return WidePath(s); }
  bool Swap() { return op.UpdateReadyToReal(W8(ready), W8(root), W8(record)); }
  bool Process(bool& inRecord) { return op.ProcessRecordFile(W8(record), W8(root + "/ZoClient"), inRecord); }
  // Disabled client as the disabling leaves it.
  void Disabled() {
    Put("ZoClient", "updater copy");
    Put("ZoClient.forbid", "old client");
  }
  std::string Self() const {
    const WString self = plat::SelfExePath();
    return Utf8FromWide(self.substr(self.find_last_of(u"/\\") + 1));
  }
  std::string Entry(char flag, const std::string& rel) const { return std::string(1, flag) + "|" + Native(root + "/" + rel) + "|"; }

  testutil::TempDir t;
  std::string root, ready, record;
  std::vector<int> percents;
  std::function<void()> onProgress;
  COpFile op;
};

TEST_F(ApplyTest, SwapRecordsBacksUpAndPutsClientAndUpdaterLast) {
  Disabled();
  Put("a.dll", "old a");
  Put("sub/b.dll", "old b");
  Stage(Self(), "new updater");  // only at the top level does it count as the updater
  Stage("ZoClient", "new client");
  Stage("a.dll", "new a");
  Stage("sub/b.dll", "new b");
  Stage("c.txt", "new c");
  Stage("new/deep/d.txt", "new d");
  Stage("sub/" + Self(), "not the updater");

  ASSERT_TRUE(Swap());
  EXPECT_EQ("new a", At("a.dll"));
  EXPECT_EQ("new b", At("sub/b.dll"));
  EXPECT_EQ("new c", At("c.txt"));
  EXPECT_EQ("new d", At("new/deep/d.txt"));
  EXPECT_EQ("new client", At("ZoClient"));
  EXPECT_EQ("new updater", At(Self()));
  // The new client stays: ".forbid" is dropped, not moved back.
  EXPECT_FALSE(Has("ZoClient.forbid"));
  for (const char* f : {"a.dll.oldbak", "sub/b.dll.oldbak", "ZoClient.oldbak", "ZoClient.update"}) EXPECT_FALSE(Has(f)) << f;
  std::vector<WString> left;
  op.ListFiles(W8(ready), left);
  EXPECT_TRUE(left.empty());

  std::vector<std::string> lines = Lines(ReadFile(record));
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ("end|", lines[7]);
  EXPECT_EQ(Entry('0', Self()), lines[6]);
  EXPECT_EQ(Entry('1', "ZoClient"), lines[5]);
  std::set<std::string> first(lines.begin(), lines.begin() + 5);
  EXPECT_EQ(std::set<std::string>({Entry('1', "a.dll"), Entry('1', "sub/b.dll"), Entry('0', "c.txt"),
                                   Entry('0', "new/deep/d.txt"), Entry('0', "sub/" + Self())}),
            first);
  // 7 files (i × 70 / 7), then 3 backups (70 + j × 30 / 3).
  EXPECT_EQ(std::vector<int>({0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}), percents);
}

TEST_F(ApplyTest, SwapWithoutNewClientBringsTheRealOneBack) {
  Disabled();
  Put("ZoClient.update", "left by an interrupted run");  // must not block the moves
  Put("a.dll", "old a");
  Stage("a.dll", "new a");
  ASSERT_TRUE(Swap());
  EXPECT_EQ("old client", At("ZoClient"));
  EXPECT_FALSE(Has("ZoClient.forbid"));
  EXPECT_FALSE(Has("ZoClient.update"));
  EXPECT_EQ("new a", At("a.dll"));
  EXPECT_EQ(std::vector<std::string>({Entry('1', "a.dll"), "end|"}), Lines(ReadFile(record)));
}

TEST_F(ApplyTest, StaleBackupsAreClearedBeforeTheyAreReused) {
  Put("a.dll", "old a");
  Put("a.dll.oldbak", "stale");
  chmod((root + "/a.dll.oldbak").c_str(), 0444);
  Stage("a.dll", "new a");
  ASSERT_TRUE(Swap());
  EXPECT_EQ("new a", At("a.dll"));
  EXPECT_FALSE(Has("a.dll.oldbak"));

  // One that cannot be deleted stops the swap before the file is named or
  // touched: a roll-back can never take the stale file for the backup.
  Put("b.dll", "old b");
  ASSERT_TRUE(testutil::MakeDirs(root + "/b.dll.oldbak"));
  Stage("b.dll", "new b");
  EXPECT_FALSE(Swap());
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"删除文件失败:") + Native(root + "/b.dll.oldbak")));
  EXPECT_EQ("", ReadFile(record));
  bool inRecord = true;
  EXPECT_TRUE(Process(inRecord));
  EXPECT_FALSE(inRecord);
  EXPECT_EQ("old b", At("b.dll"));
}

TEST_F(ApplyTest, FailedSwapRollsBackAndTheRollBackCanBeRepeated) {
  Disabled();
  Put("a.dll", "old a");
  Put("行情/数据.txt", "old data");
  Stage("a.dll", "new a");
  Stage("行情/数据.txt", "new data");
  Stage("added.txt", "new file");
  Stage("ZoClient", "new client");
  // After the third file the rest of the staged tree is gone: the move of
  // the client, last of all, fails after its old version went aside.
  int posts = 0;
  onProgress = [&] {
    if (++posts == 4) DeleteFilesBelow(ready);
  };
  EXPECT_FALSE(Swap());
  onProgress = nullptr;
  std::string rcd = ReadFile(record);
  EXPECT_EQ(std::string::npos, rcd.find("end|"));
  // Paths are written in code page 936.
  std::vector<std::string> lines = Lines(rcd);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(Entry('1', "ZoClient"), lines[3]);
  EXPECT_FALSE(Has("ZoClient"));
  int chinese = 0;
  for (auto& l : lines) {
    EXPECT_FALSE(Utf8FromGbk(l).empty()) << l;
    if (l.find(GbkFromUtf8("行情")) != std::string::npos) {
      EXPECT_EQ(GbkFromUtf8(Entry('1', "行情/数据.txt")), l);
      ++chinese;
    }
  }
  EXPECT_EQ(1, chinese);

  bool inRecord = false;
  ASSERT_TRUE(Process(inRecord));
  EXPECT_TRUE(inRecord);
  EXPECT_EQ("old a", At("a.dll"));
  EXPECT_EQ("old data", At("行情/数据.txt"));
  EXPECT_FALSE(Has("added.txt"));
  EXPECT_EQ("updater copy", At("ZoClient"));
  for (const char* f : {"a.dll.oldbak", "a.dll.newbak", "行情/数据.txt.oldbak"}) EXPECT_FALSE(Has(f)) << f;

  // Again on the same record: nothing changes.
  ASSERT_TRUE(Process(inRecord));
  EXPECT_EQ("old a", At("a.dll"));
  EXPECT_EQ("old data", At("行情/数据.txt"));
  ASSERT_TRUE(op.EnableClientExe(W8(root), false));
  EXPECT_EQ("old client", At("ZoClient"));
  EXPECT_FALSE(Has("ZoClient.forbid"));
}

// A cut on a disk without a journal can leave a file where the swap must
// make a folder: it goes aside like a replaced file, named after the files
// below it, and a roll-back empties the folder and puts it back.
TEST_F(ApplyTest, AFileWhereAFolderMustBeMadeGoesAsideAndComesBack) {
  for (bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "swap cut before the client" : "whole swap");
    for (const char* gone : {"/new", "/new.oldbak", "/update"}) testutil::RemoveAll(root + gone);
    Put("new", "left by a cut");
    Put("a.dll", "old a");
    Stage("a.dll", "new a");
    Stage("new/deep/x.dll", "new x");
    Stage("ZoClient", "new client");
    int posts = 0;
    onProgress = [&] {
      if (cut && ++posts == 3) DeleteFilesBelow(ready);
    };
    EXPECT_EQ(!cut, Swap()) << Log();
    onProgress = nullptr;
    std::vector<std::string> lines = Lines(ReadFile(record));
    ASSERT_EQ(cut ? 4u : 5u, lines.size());
    EXPECT_EQ(Entry('1', "new"), lines[3]);
    if (!cut) {
      EXPECT_EQ("new x", At("new/deep/x.dll"));
      EXPECT_FALSE(Has("new.oldbak"));
      continue;
    }
    EXPECT_EQ("left by a cut", At("new.oldbak"));
    bool inRecord = false;
    ASSERT_TRUE(Process(inRecord));
    EXPECT_EQ("left by a cut", At("new"));
    EXPECT_EQ("old a", At("a.dll"));
    EXPECT_FALSE(Has("new.oldbak"));
    EXPECT_FALSE(Has("new.newbak"));
  }
}

TEST_F(ApplyTest, FailedMoveToTheBackupLeavesTheInstalledFile) {
  // Its ".oldbak" name is longer than a file name may be.
  std::string longName(250, 'l');
  Put("a.dll", "old a");
  Put(longName, "old long");
  Stage("a.dll", "new a");
  Stage(longName, "new long");
  EXPECT_FALSE(Swap());
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"移动文件失败:") + Native(root + "/" + longName) + "->"));
  EXPECT_EQ("new long", ReadFile(ready + "/" + longName));
  EXPECT_EQ("old long", At(longName));
  bool inRecord = false;
  ASSERT_TRUE(Process(inRecord));
  EXPECT_EQ("old long", At(longName));
  EXPECT_EQ("old a", At("a.dll"));
}

TEST_F(ApplyTest, EndOfSessionStopsSwapAndRollBack) {
  for (int i = 0; i < 5; ++i) {
    Put("f" + std::to_string(i), "old");
    Stage("f" + std::to_string(i), "new");
  }
  onProgress = [&] {
    if (percents.size() == 3) op.SetEndSession();
  };
  EXPECT_FALSE(Swap());
  onProgress = nullptr;
  std::vector<std::string> lines = Lines(ReadFile(record));
  // Every line was written before the first move; the stop came at the
  // next file, without the closing line.
  EXPECT_EQ(5u, lines.size());
  EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "end|"));
  EXPECT_EQ("new", At("f1"));
  EXPECT_EQ("old", At("f2"));
  bool inRecord = false;
  EXPECT_FALSE(Process(inRecord));
  EXPECT_FALSE(op.EnableClientExe(W8(root), false));
  EXPECT_FALSE(Swap());
  // The next run undoes it.
  COpFile next;
  ASSERT_TRUE(next.Init(W8(root)));
  ASSERT_TRUE(next.ProcessRecordFile(W8(record), W8(root + "/ZoClient"), inRecord));
  for (int i = 0; i < 5; ++i) EXPECT_EQ("old", At("f" + std::to_string(i)));
}

TEST_F(ApplyTest, SwapRefusesWhatCannotBeRecordedOrStarted) {
  // A name code page 936 cannot carry would be recorded as another name.
  Put("a.dll", "old a");
  Stage("a.dll", "new a");
  Stage("\xE0\xB8\x81.txt", "thai");  // U+0E01
  EXPECT_FALSE(Swap());
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"路径无法写入记录文件:")));
  EXPECT_EQ("old a", At("a.dll"));
  EXPECT_EQ("new a", ReadFile(ready + "/a.dll"));
  EXPECT_EQ("", ReadFile(record));
  testutil::RemoveAll(ready + "/\xE0\xB8\x81.txt");

  EXPECT_FALSE(op.UpdateReadyToReal(u"", W8(root), W8(record)));
  EXPECT_FALSE(op.UpdateReadyToReal(W8(ready), W8(root), W8(root + "/missing/dir/tarvex.rcd")));
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"创建文件失败:") + root + "/missing/dir/tarvex.rcd"));
  EXPECT_EQ("old a", At("a.dll"));
}

TEST_F(ApplyTest, RecordReadingRules) {
  Put("kept.txt", "new kept");
  Put("kept.txt.oldbak", "old kept");
  Put("back/slash.txt", "new slash");
  Put("back/slash.txt.oldbak", "old slash");
  Put("gone.txt", "added by the swap");
  Put("untouched.txt", "old untouched");  // its move aside never happened
  Put("after.txt", "added after the end");
  Put("bar.txt", "added");
  std::string longPath = root + "/" + std::string(1100, 'x');
  WriteFile(record, Entry('1', "kept.txt") + "   \r\n" +                        // trailing blanks
                        "1|" + root + "\\back\\slash.txt|\n" +                   // backslashes, LF only
                        "0|" + root + "/gone.txt|\r\n" + Entry('1', "untouched.txt") + "\r\n" +
                        "1|\r\n" +                                               // too short
                        "0|" + root + "/bar.txt\r\n" +                           // no closing bar
                        "0|" + longPath + "|\r\n" +                              // read in two pieces
                        "1|" + root + "/ZOCLIENT|\r\n");
  bool inRecord = false;
  ASSERT_TRUE(Process(inRecord));
  EXPECT_TRUE(inRecord);  // compared without case
  EXPECT_EQ("old kept", At("kept.txt"));
  EXPECT_EQ("old slash", At("back/slash.txt"));
  EXPECT_FALSE(Has("gone.txt"));
  EXPECT_EQ("old untouched", At("untouched.txt"));
  EXPECT_EQ("added", At("bar.txt"));
  EXPECT_EQ(100, percents.back());
  EXPECT_EQ(0, percents.front());

  // Lines after the closing line are not read; a complete record only drops backups.
  Put("kept.txt.oldbak", "old kept");
  Put("kept.txt.newbak", "stray");
  WriteFile(record, Entry('1', "kept.txt") + "\r\nend|\r\n" + Entry('0', "after.txt") + "\r\n");
  ASSERT_TRUE(op.IsRecordComplete(W8(record)));
  ASSERT_TRUE(Process(inRecord));
  EXPECT_FALSE(inRecord);
  EXPECT_EQ("old kept", At("kept.txt"));
  EXPECT_FALSE(Has("kept.txt.oldbak"));
  EXPECT_FALSE(Has("kept.txt.newbak"));
  EXPECT_EQ("added after the end", At("after.txt"));

  // A path named twice is rolled back by its first line, and stays so on a
  // second pass.
  Put("twice.txt", "new twice");
  Put("twice.txt.oldbak", "old twice");
  WriteFile(record, Entry('1', "twice.txt") + "\r\n" + Entry('0', "twice.txt") + "\r\n" + Entry('1', "twice.txt") +
                        "\r\n");
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_TRUE(Process(inRecord));
    EXPECT_EQ("old twice", At("twice.txt")) << pass;
  }
}

TEST_F(ApplyTest, EmptyRecordSucceedsAndTheClientComesBack) {
  Disabled();
  WriteFile(record, "");
  EXPECT_FALSE(op.IsRecordComplete(W8(record)));
  bool inRecord = true;
  percents.clear();
  ASSERT_TRUE(Process(inRecord));
  EXPECT_FALSE(inRecord);
  EXPECT_EQ(std::vector<int>({0, 100}), percents);
  ASSERT_TRUE(op.EnableClientExe(W8(root), false));
  EXPECT_EQ("old client", At("ZoClient"));
  bool unused;
  EXPECT_FALSE(op.ProcessRecordFile(W8(root + "/update/none.rcd"), u"", unused));
  EXPECT_FALSE(op.ProcessRecordFile(u"", u"", unused));
}

TEST_F(ApplyTest, RecordEntriesAreHeldToTheInstallationByTheirText) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a right a Windows user lacks";
#else
  // A linked folder of the installation is part of it: the swap moves
  // through the link, and so does the roll-back.
  std::string outside = t.sub("outside");
  WriteFile(outside + "/victim.txt", "new version");
  WriteFile(outside + "/victim.txt.oldbak", "old version");
  ASSERT_EQ(0, symlink(outside.c_str(), (root + "/link").c_str()));
  Stage("link/added.txt", "added");
  ASSERT_TRUE(Swap());
  EXPECT_EQ("added", ReadFile(outside + "/added.txt"));
  Put("folded.txt", "added by the swap");
  WriteFile(record, "1|" + root + "/link/victim.txt|\r\n" + "0|" + root + "/sub/../folded.txt|\r\n");
  bool inRecord = false;
  ASSERT_TRUE(Process(inRecord));
  EXPECT_EQ("old version", ReadFile(outside + "/victim.txt"));
  EXPECT_FALSE(Exists(outside + "/victim.txt.oldbak"));
  EXPECT_FALSE(Has("folded.txt"));

  // Anything else is refused, and a roll-back that refused an entry has
  // not restored everything.
  WriteFile(outside + "/plain.txt", "precious");
  Put("inside.txt", "added by the swap");
  WriteFile(record, "0|" + outside + "/plain.txt|\r\n" +               // elsewhere
                        "0|" + root + "/../outside/plain.txt|\r\n" +    // climbs out
                        "0|" + root + "/link/../../outside/plain.txt|\r\n" +
                        "0|" + root + "|\r\n" +                         // the installation itself
                        "0|" + root + "x/plain.txt|\r\n" +              // a sibling with a longer name
                        "0|relative/plain.txt|\r\n" + Entry('0', "inside.txt") + "\r\n");
  EXPECT_FALSE(Process(inRecord));
  EXPECT_EQ("precious", ReadFile(outside + "/plain.txt"));
  EXPECT_TRUE(plat::IsDirectory(W8(root)));
  EXPECT_FALSE(Has("inside.txt"));  // entries inside are still handled
  std::string log = Log();
  std::string refused = Utf8FromWide(u"记录文件中的路径不在安装目录内:");
  size_t count = 0;
  for (size_t p = log.find(refused); p != std::string::npos; p = log.find(refused, p + 1)) ++count;
  EXPECT_EQ(6u, count);

  // A complete record only removes backups: a refused entry leaves them.
  WriteFile(outside + "/plain.txt.oldbak", "old precious");
  WriteFile(record, "1|" + outside + "/plain.txt|\r\nend|\r\n");
  ASSERT_TRUE(Process(inRecord));
  EXPECT_EQ("old precious", ReadFile(outside + "/plain.txt.oldbak"));
#endif
}

TEST_F(ApplyTest, CompletenessOfARecord) {
  auto complete = [&](const std::string& content) {
    WriteFile(record, content);
    return op.IsRecordComplete(W8(record));
  };
  EXPECT_TRUE(complete(Entry('1', "a") + "\r\nend|\r\n"));
  EXPECT_TRUE(complete(Entry('1', "a") + "\r\nend|   \r\n"));
  EXPECT_TRUE(complete(Entry('1', "a") + "\r\nend|"));  // torn after its bar
  EXPECT_TRUE(complete("end|"));
  EXPECT_FALSE(complete(Entry('1', "a") + "\r\nend"));  // torn before it
  EXPECT_FALSE(complete(Entry('1', "a") + "\r\n"));
  EXPECT_FALSE(complete("END|\r\n"));
  EXPECT_FALSE(complete(""));
  EXPECT_FALSE(op.IsRecordComplete(W8(root + "/update/missing.rcd")));
}

TEST_F(ApplyTest, EnableClientExe) {
  Put("ZoClient", "client");
  EXPECT_TRUE(op.EnableClientExe(W8(root), false));  // nothing disabled
  EXPECT_EQ("client", At("ZoClient"));

  Put("ZoClient", "new client");
  Put("ZoClient.forbid", "old client");
  chmod((root + "/ZoClient.forbid").c_str(), 0444);
  EXPECT_TRUE(op.EnableClientExe(W8(root), true));
  EXPECT_EQ("new client", At("ZoClient"));
  EXPECT_FALSE(Has("ZoClient.forbid"));

  Disabled();
  Put("ZoClient.update", "stale parked copy");
  EXPECT_TRUE(op.EnableClientExe(W8(root), false));
  EXPECT_EQ("old client", At("ZoClient"));
  EXPECT_FALSE(Has("ZoClient.update"));

  // Stopped after the updater copy was parked: ".forbid" still comes back.
  Put("ZoClient.forbid", "old client");
  Put("ZoClient.update", "updater copy");
  ASSERT_EQ(0, unlink((root + "/ZoClient").c_str()));
  EXPECT_TRUE(op.EnableClientExe(W8(root), false));
  EXPECT_EQ("old client", At("ZoClient"));

  EXPECT_EQ(W8(Native(root + "/ZoClient")), op.GetClientExePath(W8(root)));
  EXPECT_FALSE(op.EnableClientExe(u"", false));
  op.SetEndSession();
  Disabled();
  EXPECT_FALSE(op.EnableClientExe(W8(root), false));
  EXPECT_EQ("updater copy", At("ZoClient"));
}

TEST_F(ApplyTest, MoveNeverReplaces) {
  Put("from", "from");
  Put("to", "to");
  EXPECT_FALSE(op.MoveFileW(W8(root + "/from"), W8(root + "/to")));
  EXPECT_EQ("from", At("from"));
  EXPECT_EQ("to", At("to"));
  EXPECT_NE(std::string::npos, Log().find(Utf8FromWide(u"移动文件失败:") + root + "/from->" + root + "/to"));
  std::string before = Log();
  EXPECT_FALSE(op.MoveFileW(W8(root + "/nothing"), W8(root + "/else")));
  EXPECT_EQ(before, Log());  // a missing source is not logged
  EXPECT_TRUE(op.MoveFileW(W8(root + "/from"), W8(root + "/moved")));
  EXPECT_EQ("from", At("moved"));
  EXPECT_FALSE(Has("from"));
}

TEST_F(ApplyTest, FlushedCopy) {
  Put("prog", "#!/bin/sh\n");
  chmod((root + "/prog").c_str(), 0555);
  // Through memory: a new file with the source's permissions, writable.
  ASSERT_TRUE(op.CopyFileFlushed(W8(root + "/prog"), W8(root + "/copy"), false, true));
  EXPECT_EQ("#!/bin/sh\n", At("copy"));
#ifdef _WIN32  // no mode bits; writable is what stays
  EXPECT_EQ(0200, Mode(root + "/copy") & 0200);
#else
  EXPECT_EQ(0755, Mode(root + "/copy"));
#endif
  Put("copy", "a much longer earlier content");
  ASSERT_TRUE(op.CopyFileFlushed(W8(root + "/prog"), W8(root + "/copy"), false, true));
  EXPECT_EQ("#!/bin/sh\n", At("copy"));
  EXPECT_FALSE(op.CopyFileFlushed(W8(root + "/prog"), W8(root + "/copy"), true, true));
  chmod((root + "/copy").c_str(), 0444);
  EXPECT_FALSE(op.CopyFileFlushed(W8(root + "/prog"), W8(root + "/copy"), false, true));
  EXPECT_FALSE(op.CopyFileFlushed(W8(root + "/missing"), W8(root + "/copy2"), false, true));
  EXPECT_FALSE(Has("copy2"));
  // The system copy keeps the modification time.
  Put("dated", "x");
  plat::FileTime old{1000000000, 0}, got;
  ASSERT_TRUE(plat::SetTimes(W8(root + "/dated"), old, old));
  ASSERT_TRUE(op.CopyFileFlushed(W8(root + "/dated"), W8(root + "/dated2"), false, false));
  ASSERT_TRUE(plat::GetModifyTime(W8(root + "/dated2"), got));
  EXPECT_EQ(1000000000, got.sec);
  EXPECT_FALSE(op.CopyFileFlushed(W8(root + "/dated"), W8(root + "/dated2"), true, false));
}

TEST_F(ApplyTest, ClearUpdateDir) {
  WriteFile(record, "1|x|\r\n");
  chmod(record.c_str(), 0444);
  Stage("a/b/c.txt", "c");
  WriteFile(root + "/update/pack.zip", "zip");
  chmod((root + "/update/pack.zip").c_str(), 0444);
  percents.clear();
  op.ClearUpdateDir(W8(root + "/update"));
  EXPECT_FALSE(Has("update"));
  EXPECT_EQ(0, percents.front());
  EXPECT_EQ(100, percents.back());
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  op.ClearUpdateDir(u"");  // nothing to do
  op.WaitForCleanup();

  // Folders named like the moved-aside tree that this run did not move
  // aside are left alone, whoever made them.
  Put("update.trash0/mine.txt", "kept");
  Put("update.trashcan/note.txt", "kept too");
  Stage("d.txt", "d");
  op.ClearUpdateDir(W8(root + "/update"));
  op.WaitForCleanup();
  EXPECT_FALSE(Has("update"));
  EXPECT_FALSE(Has("update.trash1"));  // this run's, gone
  EXPECT_EQ(At("update.trash0/mine.txt"), "kept");
  EXPECT_EQ(At("update.trashcan/note.txt"), "kept too");
}
