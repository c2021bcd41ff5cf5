// Whole runs of the real updater against a failing server and a failing
// disk: each must leave version 1 whole and say why, and the next run, with
// the fault gone, must finish the update to version 3.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "common/netservers.h"
#include "e2e_fixture.h"

using e2e::Demo;

namespace {

using e2e::Has;

using e2e::Dump;

// Sizes of the packs the updater asked for, each counted once.
long long RequestedZipBytes(const Demo& d, const netsrv::FaultServer& fault) {
  std::set<std::string> names;
  for (auto& q : fault.Requests()) {
    size_t at = q.find("\"path\": \"/r/");
    size_t end = q.find(".zip\"", at);
    if (at != std::string::npos && end != std::string::npos) names.insert(q.substr(at + 12, end + 4 - at - 12));
  }
  long long total = 0;
  for (auto& n : names) total += (long long)testutil::ReadFile(d.serverDir() + "/" + n).size();
  return total;
}

// The run after a fault: nothing else wrong, the update finishes.
void ExpectFinishes(Demo& d, const std::map<std::string, std::string>& env = {}) {
  auto r = d.RunUpdater({}, env);
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << Dump(d, r);
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started")) << Dump(d, r);
}

}  // namespace

#define ASSERT_DEMO(d) ASSERT_TRUE((d).ok()) << testutil::ReadFile((d).tmp("demo-env.log"))

TEST(ServerFaults, EachLeavesVersionOneAndTheNextRunUpdates) {
  struct Case {
    const char* name;
    const char* rules;                    // fault server rules; "" with refused
    bool refused;                         // nothing listens at all
    std::vector<std::string> logs;        // lines the faulty run must log
  };
  const Case cases[] = {
      {"connection refused", "", true, {"下载升级列表失败！", "curl_easy_perform返回码:7,0"}},
      {"reset in the list", "servicepacksNum.xml reset after=40", false,
       {"下载升级列表失败！", "[ERROR] [CUpdateDlg::DoWork] 下载失败:"}},
      {"50 MiB of garbage as the list", "servicepacksNum.xml garbage len=52428800", false,
       {"[ERROR] [COpFile::GetNeedPackFiles] 解析servicepacksNum.xml文件失败", "无需升级。"}},
      {"reset in a pack", ".zip reset after=1000", false,
       {"[ERROR] [CUpdateDlg::DowndloadZipFiles] 下载失败:", "[ERROR] [CUpdateDlg::DoWork] 下载文件失败！"}},
      // 200 MB more than the pack: the download stops at the pack's size.
      {"a pack larger than announced", ".zip extra extra=200000000", false,
       {"[ERROR] [CNet::Download] 下载数据超出文件大小:", "[ERROR] [CUpdateDlg::DowndloadZipFiles] 文件大小非法:",
        "下载文件失败！"}},
      {"a redirect loop", "servicepacksNum.xml loop", false,
       {"curl_easy_perform返回码:47,302", "下载升级列表失败！"}},
      {"closed after the headers", ".zip headersonly", false,
       {"curl_easy_perform返回码:18,200", "下载文件失败！"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Demo d;
    ASSERT_DEMO(d);
    netsrv::FaultServer fault(d.tmp(""), d.serverDir(), nullptr);
    fault.SetRules(c.rules);
    d.PointAt(c.refused ? "http://127.0.0.1:" + std::to_string(netsrv::FreePort()) : fault.HttpUrl("/r"));
    auto start = std::chrono::steady_clock::now();
    auto r = d.RunUpdater({});
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 1) << Dump(d, r);
    EXPECT_LT(took, 40.0);
    for (auto& l : c.logs) EXPECT_TRUE(Has(d.Log() + r.err, l)) << l << "\n" << Dump(d, r);
    EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>()) << Dump(d, r);
    EXPECT_EQ(d.Flag(), 0);
    EXPECT_FALSE(testutil::Exists(d.install() + "/update/tarvex.rcd"));
    EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 1 started")) << Dump(d, r);

    // The server mended: one more run finishes; a cut pack is continued,
    // not fetched again.
    fault.SetRules("");
    d.PointAt(fault.HttpUrl("/r"));
    const long long before = fault.BytesSent(".zip");
    testutil::Run("rm -f '" + d.install() + "/client.log'");
    ExpectFinishes(d);
    if (std::string(c.name) == "reset in a pack") {
      // The first pack was cut after 1000 bytes; the next run asked for
      // the rest of it and the other packs, nothing more.
      EXPECT_EQ(before, 1000);
      EXPECT_EQ(fault.BytesSent(".zip") - before, RequestedZipBytes(d, fault) - 1000);
      bool ranged = false;
      for (auto& q : fault.Requests()) ranged = ranged || Has(q, "\"Range\": \"bytes=1000-\"");
      EXPECT_TRUE(ranged);
    }
  }
}

// Environment of the crash test's interposer turned into a failing disk:
// the at-th mutation of the calls on paths matching `match` fails with err
// (and every later one too when sticky).
std::map<std::string, std::string> Disk(const Demo& d, const std::string& err, const std::string& calls,
                                        const std::string& match, int at, bool sticky) {
  return {{"LD_PRELOAD", QUILLUP_E2E_CRASH_INTERPOSER},
          {"QUILLUP_CRASH_ROOT", d.install()},
          {"QUILLUP_CRASH_ONLY", d.install() + "/Quillup"},
          {"QUILLUP_CRASH_ERRNO", err},
          {"QUILLUP_CRASH_CALLS", calls},
          {"QUILLUP_CRASH_MATCH", match},
          {"QUILLUP_CRASH_AT", std::to_string(at)},
          {"QUILLUP_CRASH_STICKY", sticky ? "1" : ""}};
}

TEST(DiskFaults, EachLeavesAWholeInstallationAndTheNextRunUpdates) {
  struct Case {
    const char* name;
    const char* err;
    const char* calls;
    const char* match;
    int at;
    bool sticky;
    int flag;                          // after the faulty run
    std::vector<std::string> logs;
  };
  const Case cases[] = {
      // The demo's packs are smaller than the archive's write buffer: the
      // disk refuses them when the file is closed.
      {"full disk while downloading", "ENOSPC", "write", ".zip", 1, true, 0,
       {"[ERROR] [CNet::Download] 关闭文件失败:", "下载文件失败！"}},
      {"I/O error while downloading", "EIO", "write", ".zip", 2, false, 0, {"下载文件失败！"}},
      {"full disk while unpacking", "ENOSPC", "write", "/update/ready/", 2, true, 2,
       {"[ERROR] [COpFile::UpdateToReadyDir] 解压zip文件失败:", "解压文件失败！"}},
      {"I/O error moving a merged file", "EIO", "rename", ".mergedata", 1, false, 2,
       {"[ERROR] [COpFile::MoveFileW] 移动文件失败:", "解压文件失败！"}},
      // The staged tree is not on the disk: the old files must not go.
      {"I/O error flushing the staged tree", "EIO", "syncfs", "", 1, true, 2,
       {"[ERROR] [CUpdateDlg::DoWork] 强刷数据到磁盘失败！", "解压文件失败！"}},
      {"I/O error flushing the disabled client", "EIO", "fsync", "", 1, true, 1, {"禁用客户端失败！"}},
      // Every entry line goes in one write before the first move: the
      // second write is the closing line, after every move.
      {"full disk writing the record", "ENOSPC", "write", "tarvex.rcd", 2, true, 0,
       {"[ERROR] [COpFile::UpdateReadyToReal] 写入文件失败:", "更新文件失败，恢复原文件...", "恢复原文件成功。"}},
      {"I/O error in a swap move", "EIO", "rename", ".oldbak", 3, false, 0,
       {"[ERROR] [COpFile::MoveFileW] 移动文件失败:", "更新文件失败，恢复原文件...", "恢复原文件成功。"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Demo d;
    ASSERT_DEMO(d);
    auto r = d.RunUpdater({}, Disk(d, c.err, c.calls, c.match, c.at, c.sticky));
    ASSERT_EQ(r.status, 1) << Dump(d, r);
    for (auto& l : c.logs) EXPECT_TRUE(Has(d.Log(), l)) << l << "\n" << Dump(d, r);
    EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>()) << Dump(d, r);
    EXPECT_EQ(d.Flag(), c.flag) << Dump(d, r);
    EXPECT_FALSE(testutil::Exists(d.install() + "/update/tarvex.rcd"));
    EXPECT_FALSE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
    testutil::Run("rm -f '" + d.install() + "/client.log'");
    ExpectFinishes(d);
  }
}

TEST(DiskFaults, TooLittleRoomRefusesTheUpdateBeforeStaging) {
  Demo d;
  ASSERT_DEMO(d);
  auto env = Disk(d, "", "", "", 0, false);
  env["QUILLUP_CRASH_FREE"] = "1048576";
  auto r = d.RunUpdater({}, env);
  ASSERT_EQ(r.status, 1) << Dump(d, r);
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "[ERROR] [COpFile::HasRoomToStage] 磁盘空间不足(需要,可用):")) << Dump(d, r);
  EXPECT_TRUE(Has(log, ",1048576 " + d.install())) << log;
  EXPECT_TRUE(Has(log, "[ERROR] [CUpdateDlg::DoWork] 磁盘空间不足！"));
  EXPECT_TRUE(Has(r.err, "磁盘空间不足！"));
  EXPECT_FALSE(Has(log, "UpdateToReadyDir"));  // staging never began
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>());
  // A refusal for room asks for nothing bigger: the flag and the packs stay.
  EXPECT_EQ(d.Flag(), 1);
  EXPECT_TRUE(Has(d.Report(), "\"process_code\":4004,\"process_memo\":\"\",\"process_success\":false")) << d.Report();
  EXPECT_FALSE(Has(log, "本地已存在:"));

  // Room enough (the real file system): the same packs are installed.
  testutil::Run("rm -f '" + d.install() + "/client.log'");
  env["QUILLUP_CRASH_FREE"] = "";
  ExpectFinishes(d, env);
  EXPECT_TRUE(Has(d.Log(), "本地已存在:")) << d.Log();
}
