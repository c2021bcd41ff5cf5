// Whole runs of the real updater, headless, against the pack tool's
// server on 127.0.0.1 and the demo client.
#include <gtest/gtest.h>

#include <thread>

#include "e2e_fixture.h"

using e2e::Demo;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Dump(const Demo& d, const e2e::RunResult& r) {
  return "status " + std::to_string(r.status) + (r.timedOut ? " (timed out)" : "") + "\n--- stderr\n" + r.err +
         "\n--- log\n" + d.Log();
}

// Environment that makes the updater fail or die at a chosen move.
std::map<std::string, std::string> Faults(const std::map<std::string, std::string>& f) {
  std::map<std::string, std::string> env = {{"LD_PRELOAD", QUILLUP_E2E_INTERPOSE}, {"QUILLUP_E2E_IGNORE", ".mergedata|/update/unzip/"}};
  for (auto& kv : f) env[kv.first] = kv.second;
  return env;
}

}  // namespace

#define ASSERT_DEMO(d) ASSERT_TRUE((d).ok()) << testutil::ReadFile((d).tmp("demo-env.log"))

TEST(EndToEnd, UpdatesVersionOneToThree) {
  Demo d;
  ASSERT_DEMO(d);
  auto r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << Dump(d, r);
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_FALSE(testutil::Exists(d.install() + "/update"));
  EXPECT_FALSE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
  for (auto& f : e2e::ListTree(d.install())) EXPECT_EQ(f.find(".oldbak"), std::string::npos) << f;
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "升级完成。")) << Dump(d, r);
  EXPECT_TRUE(Has(log, "客户端文件完整。"));
  EXPECT_TRUE(Has(log, "[CUpdateDlg::OnDestroy] 升级程序退出"));
  const std::string report = d.Report();
  for (const char* code : {"4000", "4001", "4002", "4003", "4004", "4005", "4999"})
    EXPECT_TRUE(Has(report, std::string("\"process_code\":") + code)) << code << " in " << report;
  EXPECT_FALSE(Has(report, "\"process_success\":false")) << report;
  EXPECT_TRUE(Has(report, "\"after_upgrade_version\":\"3\"")) << report;
  EXPECT_TRUE(Has(report, "\"before_upgrade_version\":\"1\"")) << report;
  // The new client is started once the window closes.
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started"));
  // Every status line reached the log and standard error alike.
  EXPECT_TRUE(Has(r.err, "升级完成。"));
  // The stand-in resolver was not needed: the server's address is numeric.
  EXPECT_FALSE(testutil::Exists(d.tmp("nslookup.log")));
}

TEST(EndToEnd, NothingToDoLeavesTheInstallationAlone) {
  Demo d;
  ASSERT_DEMO(d);
  d.InstallVersion(3);
  auto before = e2e::ListTree(d.install());
  auto r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_TRUE(Has(d.Log(), "无需升级。")) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>());
  for (auto& req : d.Requests()) EXPECT_FALSE(Has(req, ".zip")) << req;  // no pack fetched
  EXPECT_TRUE(Has(d.Report(), "\"need_upgrade\":false"));
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started"));
  EXPECT_EQ(d.Flag(), 0);
}

TEST(EndToEnd, FailingDownloadLeavesVersionOneIntact) {
  Demo d;
  ASSERT_DEMO(d);
  ASSERT_EQ(testutil::Run("rm -f '" + d.serverDir() + "'/*.zip"), 0);
  auto r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_TRUE(Has(d.Log(), "[ERROR] [CUpdateDlg::DoWork] 下载文件失败！")) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>());
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_TRUE(Has(d.Report(), "\"process_code\":4003,\"process_memo\":\"\",\"process_success\":false"))
      << d.Report();
  EXPECT_TRUE(Has(testutil::ReadFile(d.install() + "/config/quillupcfg_ex.ini"), "UPLOAD_TARVEX_LOG=1"));
  // The failure stayed on screen until the stop button (pressed by the
  // headless backend); then the old client was started again.
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 1 started"));
}

TEST(EndToEnd, PartialArchiveIsResumedByTheNextRun) {
  Demo d;
  ASSERT_DEMO(d);
  // The first run dies in its first swap move: its archives are complete on
  // disk, but the next run starts from flag 3 and fetches the full pack.
  // Here instead a half archive is left by hand and must be completed.
  auto first = e2e::ListTree(d.serverDir());
  std::string pack;
  for (auto& f : first)
    if (f.size() > 4 && f.substr(f.size() - 4) == ".zip" && f[0] != 'p') pack = f;
  ASSERT_FALSE(pack.empty());
  std::string whole = testutil::ReadFile(d.serverDir() + "/" + pack);
  testutil::WriteFile(d.install() + "/update/" + pack, whole.substr(0, whole.size() / 2));
  testutil::WriteFile(d.install() + "/config/quillupcfg_ex.ini", "[QUILLUP_CFG]\r\nQUILLUP_FLAG=2\r\n");
  auto r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << Dump(d, r);
  bool ranged = false;
  for (auto& req : d.Requests())
    if (Has(req, "GET /" + pack) && Has(req, "-> 206")) ranged = true;
  EXPECT_TRUE(ranged) << testutil::ReadFile(d.tmp("server.log"));
}

TEST(EndToEnd, SwapKilledAtAnyMoveIsRepairedWithTheFullPackAtTheNextStart) {
  int killedRuns = 0;
  for (int at = 1; at < 40; ++at) {
    Demo d;
    ASSERT_DEMO(d);
    auto r = d.RunUpdater(
        {}, Faults({{"QUILLUP_E2E_KILL_MATCH", "/update/ready/"}, {"QUILLUP_E2E_KILL_AT", std::to_string(at)}}));
    if (r.status == 0) break;  // fewer moves than that: every point was tried
    ASSERT_EQ(r.status, -9) << Dump(d, r);
    ++killedRuns;
    EXPECT_EQ(d.Flag(), 3) << at;
    EXPECT_TRUE(testutil::Exists(d.install() + "/update/tarvex.rcd")) << at;
    EXPECT_TRUE(testutil::Exists(d.install() + "/bin/zoclient.forbid")) << at;  // the client is disabled

    r = d.RunUpdater({});
    ASSERT_EQ(r.status, 0) << Dump(d, r);
    EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << "killed at move " << at << "\n" << Dump(d, r);
    EXPECT_EQ(d.Flag(), 0) << at;
    const std::string second = d.LogOfRun(1);
    EXPECT_FALSE(Has(second, "恢复原文件...")) << at;          // no roll-back after a cut swap
    EXPECT_TRUE(Has(second, "下载全量更新，请稍候...")) << at;  // version 0 asks for the full pack
    EXPECT_TRUE(Has(second, "升级完成。")) << at;
    EXPECT_FALSE(testutil::Exists(d.install() + "/bin/zoclient.forbid")) << at;
    EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started")) << at;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GE(killedRuns, 5);
}

TEST(EndToEnd, FailedSwapIsRolledBackInTheSameRun) {
  Demo d;
  ASSERT_DEMO(d);
  auto r = d.RunUpdater({}, Faults({{"QUILLUP_E2E_FAIL_MATCH", "/update/ready/"}, {"QUILLUP_E2E_FAIL_AT", "3"}}));
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "更新文件失败，恢复原文件...")) << Dump(d, r);
  EXPECT_TRUE(Has(log, "恢复原文件成功。"));
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>()) << Dump(d, r);
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_FALSE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 1 started"));
}

TEST(EndToEnd, InterruptedRollBackIsFinishedAtTheNextStart) {
  Demo d;
  ASSERT_DEMO(d);
  // The swap fails at its third file; the roll-back dies at its first
  // move (the new file set aside as .newbak).
  auto r = d.RunUpdater({}, Faults({{"QUILLUP_E2E_FAIL_MATCH", "/update/ready/"},
                                    {"QUILLUP_E2E_FAIL_AT", "3"},
                                    {"QUILLUP_E2E_KILL_MATCH", ".newbak"},
                                    {"QUILLUP_E2E_KILL_AT", "1"}}));
  ASSERT_EQ(r.status, -9) << Dump(d, r);
  EXPECT_EQ(d.Flag(), 1);
  EXPECT_TRUE(testutil::Exists(d.install() + "/update/tarvex.rcd"));
  EXPECT_FALSE(d.DiffAgainstVersion(1).empty());  // something is out of place now
  const size_t requestsBefore = d.Requests().size();

  r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>()) << Dump(d, r);
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_FALSE(testutil::Exists(d.install() + "/update/tarvex.rcd"));
  EXPECT_FALSE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
  const std::string second = d.LogOfRun(1);
  EXPECT_TRUE(Has(second, "恢复原文件成功。")) << second;
  EXPECT_FALSE(Has(second, "检测更新")) << second;  // a rolled-back run does not ask the server
  EXPECT_EQ(d.Requests().size(), requestsBefore);
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 1 started"));
}

TEST(EndToEnd, ReplacementInstallsTheNewUpdaterAndRunsIt) {
  Demo d;
  ASSERT_DEMO(d);
  // An older updater in the installation; the new one runs from elsewhere.
  testutil::Run("printf 'old updater' > '" + d.install() + "/Quillup' && chmod 755 '" + d.install() + "/Quillup'");
  const std::string fresh = d.tmp("fresh/Quillup");
  testutil::Run("mkdir -p '" + d.tmp("fresh") + "' && cp '" + QUILLUP_E2E_UPDATER + "' '" + fresh + "'");
  auto r = d.RunUpdater({"/replace:\"" + d.install() + "/Quillup\""}, {}, 90, fresh);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string freshLog = testutil::ReadFile(d.tmp("fresh/Log/tarvex.log"));
  EXPECT_TRUE(Has(freshLog, "重启升级程序:" + d.install() + "/Quillup /auto")) << freshLog;
  EXPECT_TRUE(Has(freshLog, "替换进程退出"));
  EXPECT_EQ(testutil::ReadFile(d.install() + "/Quillup"), testutil::ReadFile(QUILLUP_E2E_UPDATER));
  EXPECT_FALSE(testutil::Exists(d.install() + "/Quillup.newbak"));
  EXPECT_FALSE(testutil::Exists(d.install() + "/Quillup.oldbak"));
  // The replaced updater was started with /auto and ran the update.
  EXPECT_TRUE(Has(d.WaitForClientLog(30000), "zoclient version 3 started")) << d.Log();
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "检测到参数auto")) << log;
  EXPECT_TRUE(Has(log, "升级完成。"));
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>());
}

TEST(EndToEnd, ForbidUpdateFileStopsEverything) {
  Demo d;
  ASSERT_DEMO(d);
  testutil::WriteFile(d.install() + "/config/ForbidUpdate.txt", "");
  auto r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_TRUE(Has(d.Log(), "存在禁用升级文件:"));
  EXPECT_TRUE(d.Requests().empty());
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>());
  EXPECT_FALSE(testutil::Exists(d.install() + "/client.log"));
}

TEST(EndToEnd, UnreachableHostNameFallsBackToThePublicResolver) {
  Demo d;
  ASSERT_DEMO(d);
  // A name the system resolver fails at once (the preloaded stand-in: no
  // query leaves the machine); the stand-in nslookup answers 127.0.0.1.
  std::string port = d.url().substr(d.url().rfind(':') + 1);
  testutil::WriteFile(d.install() + "/InternalDownloadURL.ini",
                      "[DownloadURL]\r\nDefaultDownloadURL=http://quillup-e2e.invalid:" + port + "\r\n");
  auto r = d.RunUpdater({}, Faults({{"QUILLUP_E2E_UNRESOLVABLE", "quillup-e2e.invalid"}}));
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "通过114查到IP:127.0.0.1")) << Dump(d, r);
  EXPECT_TRUE(Has(testutil::ReadFile(d.tmp("nslookup.log")), "quillup-e2e.invalid"));
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << Dump(d, r);
}
