// Whole runs of the real updater, headless, against the pack tool's
// server on 127.0.0.1 and the demo client.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "common/netservers.h"
#include "e2e_fixture.h"

using e2e::Demo;

namespace {

using e2e::Dump;
using e2e::Has;

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
  ASSERT_EQ(r.status, 1) << Dump(d, r);
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
    // The record is rolled back first (the real client is back even when
    // the full pack cannot be had), then version 0 asks for the full pack.
    EXPECT_TRUE(Has(second, "恢复原文件成功。")) << at;
    EXPECT_TRUE(Has(second, "下载全量更新，请稍候...")) << at;
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
  ASSERT_EQ(r.status, 1) << Dump(d, r);
  const std::string log = d.Log();
  EXPECT_TRUE(Has(log, "更新文件失败，恢复原文件...")) << Dump(d, r);
  EXPECT_TRUE(Has(log, "恢复原文件成功。"));
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>()) << Dump(d, r);
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_FALSE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 1 started"));
}

TEST(EndToEnd, CutAfterTheDisablingWithTheServerDownStartsVersionOne) {
  Demo d;
  ASSERT_DEMO(d);
  // Killed before the swap's first move, its record then emptied: a cut
  // right after the disabling (the client disabled, an empty record, flag 3).
  auto r = d.RunUpdater({}, Faults({{"QUILLUP_E2E_KILL_MATCH", ".oldbak"},
                                    {"QUILLUP_E2E_KILL_AT", "1"},
                                    {"QUILLUP_E2E_IGNORE", ".forbid"}}));
  ASSERT_EQ(r.status, -9) << Dump(d, r);
  testutil::WriteFile(d.install() + "/update/tarvex.rcd", "");
  ASSERT_EQ(d.Flag(), 3);
  ASSERT_TRUE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
  ASSERT_FALSE(d.DiffAgainstVersion(1).empty());  // the updater stands in for the client

  d.PointAt("http://127.0.0.1:" + std::to_string(netsrv::FreePort()));
  r = d.RunUpdater({});
  // The list could not be fetched: the run failed (status 1), after the roll-back.
  ASSERT_EQ(r.status, 1) << Dump(d, r);
  const std::string second = d.LogOfRun(1);
  EXPECT_TRUE(Has(second, "恢复原文件成功。")) << second;
  EXPECT_TRUE(Has(second, "下载失败:")) << second;
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>()) << Dump(d, r);
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_FALSE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
  EXPECT_FALSE(testutil::Exists(d.install() + "/update/tarvex.rcd"));
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 1 started")) << second;
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
  ASSERT_EQ(r.status, 1) << Dump(d, r);  // whole again, but not updated
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

TEST(EndToEnd, PackWithANewUpdaterStillRestartsForTheRepair) {
  Demo d;
  ASSERT_DEMO(d);
  // Version 2 carries the updater itself and requires a file that both
  // versions hold but the installation lacks (the increment does not carry
  // an unchanged file), so the run that installs it asks for the repair
  // restart, from the updater the swap has just moved aside.
  const std::string a1 = d.tmp("own/v1"), a2 = d.tmp("own/v2"), server = d.tmp("own/server");
  ASSERT_EQ(testutil::Run("mkdir -p '" + d.tmp("own") + "' && cp -a '" + d.version(1) + "' '" + a1 + "' && cp -a '" +
                          d.version(2) + "' '" + a2 + "' && cp '" + QUILLUP_E2E_UPDATER + "' '" + a2 +
                          "/Quillup' && echo lib > '" + a1 + "/bin/never-shipped.so' && cp -p '" + a1 +
                          "/bin/never-shipped.so' '" + a2 + "/bin/' && echo bin/never-shipped.so >> '" + a2 +
                          "/config/neededfilelist.lst'"),
            0);
  ASSERT_EQ(testutil::Run(std::string(QUILLUP_E2E_PACK) + " build -q -o '" + server + "' '" + a1 + "' '" + a2 +
                          "' >/dev/null && rm -rf '" + d.serverDir() + "'/* && cp -a '" + server + "'/. '" +
                          d.serverDir() + "'"),
            0);
  auto r = d.RunUpdater({});
  // The first run ends with the client's files missing: a failure, whose
  // question headless takes its default answer and shows on standard error.
  ASSERT_EQ(r.status, 1) << Dump(d, r);
  EXPECT_TRUE(Has(r.err, "提示: 客户端缺失文件，是否修复？")) << r.err;
  ASSERT_TRUE(d.WaitForExits(2)) << Dump(d, r);
  const std::string first = d.LogOfRun(0), second = d.LogOfRun(1);
  EXPECT_TRUE(Has(first, "升级完成。")) << Dump(d, r);
  EXPECT_TRUE(Has(first, "重启升级程序:" + d.install() + "/Quillup /auto")) << first;
  EXPECT_FALSE(Has(first, "启动进程失败:")) << first;
  EXPECT_TRUE(Has(second, "检测到参数auto")) << second;
  EXPECT_TRUE(Has(second, "下载全量更新，请稍候...")) << second;
  EXPECT_EQ(testutil::ReadFile(d.install() + "/Quillup"), testutil::ReadFile(QUILLUP_E2E_UPDATER));
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

// What an integrator's script meets: answers that write nothing, a copy
// started outside an installation, and /replace: without an updater to replace.
TEST(EndToEnd, CommandLineAnswersAndRefusalsLeaveNothingBehind) {
  Demo d;
  ASSERT_DEMO(d);
  const auto installed = e2e::ListTree(d.install());
  const std::string version = "Quillup " + std::to_string(QUILLUP_VERSION_MAJOR) + "." +
                              std::to_string(QUILLUP_VERSION_MINOR) + "." + std::to_string(QUILLUP_VERSION_PATCH) +
                              "." + std::to_string(QUILLUP_VERSION_TWEAK) + "\n";
  for (const char* arg : {"--version", "--help", "-h", "/?"}) {
    auto r = d.RunUpdater({arg});
    ASSERT_EQ(r.status, 0) << arg << ": " << r.err;
    if (std::string(arg) == "--version")
      EXPECT_EQ(r.err, version);
    else
      EXPECT_TRUE(Has(r.err, "usage: Quillup ")) << r.err;
  }
  EXPECT_EQ(e2e::ListTree(d.install()), installed);  // no log
  EXPECT_EQ(e2e::ListTree(d.tmp("run")), std::vector<std::string>());  // no lock
  // Anything else is a command line of switches found anywhere: a clean-up run.
  auto cleanup = d.RunUpdater({"--version", "/auto2"});
  ASSERT_EQ(cleanup.status, 0) << Dump(d, cleanup);
  EXPECT_TRUE(Has(d.Log(), "检测到参数auto2"));
  EXPECT_FALSE(e2e::ListTree(d.tmp("run")).empty());  // where the lock above was looked for

  // A copy outside any installation, as from /usr/bin.
  const std::string bare = d.tmp("bare");
  ASSERT_EQ(testutil::Run("mkdir -p '" + bare + "' && cp '" + QUILLUP_E2E_UPDATER + "' '" + bare + "/'"), 0);
  auto outside = d.RunUpdater({}, {}, 30, bare + "/Quillup");
  EXPECT_EQ(outside.status, 2) << outside.err;
  EXPECT_TRUE(Has(outside.err, bare + " is not an installation of the client")) << outside.err;
  EXPECT_EQ(testutil::Run("[ \"$(ls -A '" + bare + "')\" = Quillup ]"), 0);  // not even an empty folder

  // /replace: naming a folder, nothing, or a missing file.
  const std::string folder = d.tmp("folder");
  testutil::WriteFile(folder + "/kept", "kept");
  for (const std::string& target : {folder, std::string(), d.tmp("missing/Quillup")}) {
    auto r = d.RunUpdater({"/replace:" + target});
    EXPECT_EQ(r.status, 5) << target << ": " << Dump(d, r);
    EXPECT_TRUE(Has(r.err, "/replace: refused")) << r.err;
    EXPECT_TRUE(Has(d.Log(), "拒绝替换:" + target + " (")) << d.Log();
  }
  EXPECT_EQ(e2e::ListTree(folder), std::vector<std::string>{"kept"});
  EXPECT_FALSE(testutil::Exists(folder + ".oldbak"));
  EXPECT_FALSE(testutil::Exists(d.tmp("missing")));
  EXPECT_EQ(d.DiffAgainstVersion(1), std::vector<std::string>());
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

namespace {

int Sh(const std::string& cmd) { return testutil::Run(cmd + " >/dev/null 2>&1"); }
std::string Q(const std::string& s) { return "'" + s + "'"; }

// What a forger can do without the key: every pack of dir replaced by a
// valid zip of a forged client (Python's zipfile), and the list's size and
// MD5 changed to match.
int ForgePacks(const std::string& dir) {
  const std::string script = dir + ".forge.py";
  testutil::WriteFile(script, R"PY(import hashlib, re, sys, zipfile
d = sys.argv[1]
path = d + "/servicepacksNum.xml"
text = open(path, "rb").read().decode()
def forge(m):
    name = m.group(1)
    z = zipfile.ZipInfo("bin/zoclient")
    z.external_attr = 0o100755 << 16
    with zipfile.ZipFile(d + "/" + name + ".zip", "w") as f:
        f.writestr(z, "#!/bin/sh\necho forged >> client.log\n")
    data = open(d + "/" + name + ".zip", "rb").read()
    return '<%s size="%d" md5="%s"' % (name, len(data), hashlib.md5(data).hexdigest())
open(path, "wb").write(re.sub(r'<(\w+) size="\d+" md5="[0-9a-f]*"', forge, text).encode())
)PY");
  return Sh("python3 " + Q(script) + " " + Q(dir));
}

// A signature made by openssl with the key: the list verifies whatever it says.
int OpensslSign(const std::string& list, const std::string& pem) {
  return Sh("openssl pkeyutl -sign -inkey " + Q(pem) + " -rawin -in " + Q(list) + " -out " + Q(list + ".bin") +
            " && base64 -w0 " + Q(list + ".bin") + " > " + Q(list + ".sig") + " && rm " + Q(list + ".bin"));
}

}  // namespace

// Signed lists (PACK_PUBLIC_KEYS) served by nginx: a signed update lands;
// every forgery, replay and expired forced list is refused, the
// installation stays as it was and the client is started.
TEST(EndToEnd, SignedListsLandAndEveryForgeryIsRefused) {
  Demo d;
  ASSERT_DEMO(d);
  const std::string pack = QUILLUP_E2E_PACK, sites = d.tmp("sites");
  const std::string a = d.tmp("keys/a"), b = d.tmp("keys/b");
  const std::string v123 = " " + Q(d.version(1)) + " " + Q(d.version(2)) + " " + Q(d.version(3));
  ASSERT_EQ(Sh(Q(pack) + " keygen -o " + Q(a) + " && " + Q(pack) + " keygen -o " + Q(b)), 0);
  const std::string aPem = a + "/signing-key.pem", bPem = b + "/signing-key.pem";
  std::string aPub = testutil::ReadFile(a + "/signing-key.pub"), bPub = testutil::ReadFile(b + "/signing-key.pub");
  aPub.pop_back();
  bPub.pop_back();
  ASSERT_EQ(Sh("mkdir -p " + Q(sites) + " " + Q(d.tmp("ca")) + " " + Q(d.tmp("nginx"))), 0);
  // Version 3 signed with a; an older signed set of version 2 with a forced list.
  ASSERT_EQ(Sh(Q(pack) + " build -q -o " + Q(d.tmp("signed")) + " --sign-key " + Q(aPem) + v123), 0);
  ASSERT_EQ(Sh(Q(pack) + " build -q -o " + Q(d.tmp("old")) + " --force-repair --sign-key " + Q(aPem) + " " +
               Q(d.version(1)) + " " + Q(d.version(2))),
            0);
  netsrv::TestCa ca(d.tmp("ca"));
  netsrv::Nginx nginx(d.tmp("nginx"), sites, ca);

  const std::string old = d.tmp("old");
  using Prepare = std::function<int(const std::string& dir)>;
  auto shell = [](const std::string& cmd) -> Prepare {
    return [cmd](const std::string& dir) { return Sh("cd " + Q(dir) + " && " + cmd); };
  };
  const std::string oldForced = "cp " + Q(old) + "/full_2.zip " + Q(old) + "/force_servicepack.xml* . ";
  struct Row {
    std::string name;
    int install;
    int startFlag;
    std::string keys;
    std::string from;  // server directory copied for the row
    Prepare prepare;   // then changed so
    int expectVersion;
    std::string logged;
    int exitStatus;  // 4: a refused list
  };
  const std::vector<Row> rows = {
      {"lands", 1, 0, bPub + ", " + aPub, d.tmp("signed"), shell("true"), 3, "升级完成。", 0},
      {"onebyte", 1, 0, aPub, d.tmp("signed"), shell("sed -i 's/QUILLUP_ID=\"3\"/QUILLUP_ID=\"4\"/' servicepacksNum.xml"),
       1, "拒绝升级列表:" + nginx.HttpUrl("/onebyte/servicepacksNum.xml") + " (bad signature", 4},
      {"forged", 1, 0, aPub, d.tmp("signed"), ForgePacks, 1, "(bad signature (no key verifies it))", 4},
      // The forged list signed after all, as an MD5 collision would pass:
      // the SHA-256 stops the packs.
      {"collision", 1, 0, aPub, d.tmp("signed"),
       [&](const std::string& dir) { return ForgePacks(dir) || OpensslSign(dir + "/servicepacksNum.xml", aPem); }, 1,
       "[ERROR] [CUpdateDlg::DowndloadZipFiles] 校验文件sha256失败:" + nginx.HttpUrl("/collision/"), 1},
      {"otherkey", 1, 0, aPub, d.tmp("signed"), shell(Q(pack) + " sign " + Q(bPem) + " ."), 1,
       "(bad signature (no key verifies it))", 4},
      {"nosig", 1, 0, aPub, d.tmp("signed"), shell("rm servicepacksNum.xml.sig"), 1, "(missing signature)", 4},
      {"unsigned", 1, 0, aPub, d.serverDir(), shell("true"), 1, "(missing signature)", 4},
      {"replay", 3, 0, aPub, old, shell("rm force_servicepack.xml*"), 3,
       "(replayed list: QUILLUP_ID 2 is below the installed 3)", 4},
      // Asking for a full repair (flag 2), the installation asks as version
      // 0 and would take any full pack: only the version rule keeps the
      // old one out.
      {"replay2", 3, 2, aPub, old, shell("rm force_servicepack.xml*"), 3,
       "(replayed list: QUILLUP_ID 2 is below the installed 3)", 4},
      {"expired", 3, 0, aPub, d.tmp("signed"),
       [&](const std::string& dir) {
         const std::string expire = "sed -i 's/expires=\"[0-9]*\"/expires=\"1600000000\"/' force_servicepack.xml";
         return shell(oldForced + "&& " + expire)(dir) || OpensslSign(dir + "/force_servicepack.xml", aPem);
       },
       3, "(forced list expired at 1600000000", 0},
      {"forced", 1, 0, aPub, d.tmp("signed"), shell(oldForced), 2, "升级完成。", 0},
      // A forced list of an earlier release, replayed while still alive,
      // must not take the installation back either.
      {"forcedold", 3, 0, aPub, d.tmp("signed"), shell(oldForced), 3,
       "拒绝升级列表:" + nginx.HttpUrl("/forcedold/force_servicepack.xml") +
           " (replayed list: QUILLUP_ID 2 is below the installed 3)", 0},
      // Through the public resolver's address: the signature comes the same way.
      {"dns", 1, 0, aPub, d.tmp("signed"), shell("true"), 3, "通过114查到IP:127.0.0.1", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string dir = sites + "/" + row.name;
    ASSERT_EQ(Sh("cp -a " + Q(row.from) + " " + Q(dir)), 0);
    ASSERT_EQ(row.prepare(dir), 0);

    d.InstallVersion(row.install);
    const bool viaDns = row.name == "dns";
    const std::string base = viaDns ? "http://quillup-e2e.invalid:" + std::to_string(nginx.httpPort()) + "/dns"
                                    : nginx.HttpUrl("/" + row.name);
    testutil::WriteFile(d.install() + "/InternalDownloadURL.ini", "[DownloadURL]\r\nDefaultDownloadURL=" + base + "\r\n");
    const std::string cfg = d.install() + "/config/quillupcfg.ini";
    const std::string keyedCfg = testutil::ReadFile(cfg) + "PACK_PUBLIC_KEYS=" + row.keys + "\n";
    testutil::WriteFile(cfg, keyedCfg);
    if (row.startFlag)
      testutil::WriteFile(d.install() + "/config/quillupcfg_ex.ini",
                          "[QUILLUP_CFG]\r\nQUILLUP_FLAG=" + std::to_string(row.startFlag) + "\r\n");
    testutil::Run("rm -f " + Q(d.install() + "/Log/tarvex.log"));

    auto r = d.RunUpdater({}, viaDns ? Faults({{"QUILLUP_E2E_UNRESOLVABLE", "quillup-e2e.invalid"}})
                                     : std::map<std::string, std::string>());
    ASSERT_EQ(r.status, row.exitStatus) << Dump(d, r);
    const std::string log = d.Log();
    EXPECT_TRUE(Has(log, row.logged)) << Dump(d, r);
    EXPECT_FALSE(Has(testutil::ReadFile(d.install() + "/bin/zoclient"), "forged"));
    if (row.expectVersion == row.install) {
      // Untouched: every file as installed, the key added to the configuration.
      EXPECT_EQ(d.DiffAgainstVersion(row.install), std::vector<std::string>{"config/quillupcfg.ini"}) << Dump(d, r);
      EXPECT_EQ(testutil::ReadFile(cfg), keyedCfg);
      EXPECT_EQ(d.Flag(), 0);  // as after any run that found its record file in order
      EXPECT_FALSE(Has(log, "升级完成。")) << Dump(d, r);
    } else {
      EXPECT_EQ(d.DiffAgainstVersion(row.expectVersion), std::vector<std::string>()) << Dump(d, r);
      EXPECT_FALSE(Has(log, "拒绝升级列表")) << Dump(d, r);
    }
    EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version " + std::to_string(row.expectVersion) + " started"))
        << Dump(d, r);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // No key configured: the signed server serves like any other.
  d.InstallVersion(1);
  testutil::WriteFile(d.install() + "/InternalDownloadURL.ini",
                      "[DownloadURL]\r\nDefaultDownloadURL=" + nginx.HttpUrl("/lands") + "\r\n");
  auto r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << Dump(d, r);
}

namespace {

// Response head of a curl request to 127.0.0.1 (no proxy); the body goes to
// bodyFile when given.
std::string CurlHead(const std::string& args, const std::string& bodyFile = "/dev/null") {
  testutil::TempDir t;
  testutil::Run("curl -s --noproxy '*' --max-time 10 -D '" + t.sub("head") + "' -o '" + bodyFile + "' " + args);
  return testutil::ReadFile(t.sub("head"));
}

}  // namespace

TEST(EndToEnd, UpdatesThroughNginxConfiguredByThePackTool) {
  Demo d;
  ASSERT_DEMO(d);
  std::string why;
  ASSERT_TRUE(d.ServeWithNginx(why)) << why;
  auto r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << Dump(d, r);
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << Dump(d, r);
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started"));
  int lists = 0, packs = 0;
  for (auto& req : d.Requests()) {
    if (Has(req, "GET /servicepacksNum.xml 200 ")) ++lists;
    if (Has(req, ".zip 200 ")) ++packs;
  }
  EXPECT_EQ(lists, 1) << Dump(d, r);
  EXPECT_EQ(packs, 2) << Dump(d, r);  // the increments to versions 2 and 3

  // What the block promises, asked with curl: ranges and long caching for
  // packs, no caching for the lists, GET and HEAD only, nothing else served.
  const std::string full = testutil::ReadFile(d.serverDir() + "/full_3.zip");
  ASSERT_GT(full.size(), 300u);
  const std::string part = d.tmp("part");
  std::string head = CurlHead("-r 100-299 " + d.url() + "/full_3.zip", part);
  EXPECT_TRUE(Has(head, "HTTP/1.1 206")) << head;
  EXPECT_TRUE(Has(head, "Content-Range: bytes 100-299/" + std::to_string(full.size()))) << head;
  EXPECT_TRUE(Has(head, "Cache-Control: public, max-age=2592000")) << head;
  EXPECT_EQ(testutil::ReadFile(part), full.substr(100, 200));
  head = CurlHead(d.url() + "/servicepacksNum.xml");
  EXPECT_TRUE(Has(head, "HTTP/1.1 200")) << head;
  EXPECT_TRUE(Has(head, "Cache-Control: no-store")) << head;
  EXPECT_FALSE(Has(head, "ETag")) << head;
  testutil::WriteFile(d.serverDir() + "/servicepacksNum.xml.sig", "c2lnbmF0dXJl\n");
  EXPECT_TRUE(Has(CurlHead(d.url() + "/servicepacksNum.xml.sig"), "Cache-Control: no-store"));
  EXPECT_TRUE(Has(CurlHead("-I " + d.url() + "/full_3.zip"), "HTTP/1.1 200"));
  head = CurlHead("-X POST --data x " + d.url() + "/servicepacksNum.xml");
  EXPECT_TRUE(Has(head, "HTTP/1.1 405")) << head;
  EXPECT_TRUE(Has(head, "Allow: GET, HEAD")) << head;
  EXPECT_TRUE(Has(CurlHead("-X DELETE " + d.url() + "/full_3.zip"), "HTTP/1.1 405"));
  testutil::WriteFile(d.serverDir() + "/notes.txt", "not for clients\n");
  EXPECT_TRUE(Has(CurlHead(d.url() + "/notes.txt"), "HTTP/1.1 404"));
  EXPECT_TRUE(Has(CurlHead(d.url() + "/"), "HTTP/1.1 404"));
}

// A company proxy: squid asks for Negotiate first and Basic second, and the
// user and password of the client's proxy file answer Basic, for plain
// requests and for the tunnel to HTTPS. The server's own credentials in the
// download address never reach the log.
TEST(EndToEnd, UpdatesThroughSquidOfferingNegotiateThenBasic) {
  Demo d;
  ASSERT_DEMO(d);
  testutil::Run("mkdir -p '" + d.tmp("ca") + "' '" + d.tmp("tls") + "'");
  netsrv::TestCa ca(d.tmp("ca"));
  netsrv::Nginx nginx(d.tmp("tls"), d.serverDir(), ca);
  netsrv::Squid squid("trader", "s3cret");
  const std::string proxyFile = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Profile><Proxy><Type>1</Type>"
                                "<Server>127.0.0.1</Server><Port>" + std::to_string(squid.port()) +
                                "</Port><Name>trader</Name><Password>s3cret</Password></Proxy></Profile>\n";
  const std::string http = "127.0.0.1:" + std::to_string(nginx.httpPort());
  const std::string https = "127.0.0.1:" + std::to_string(nginx.httpsPort());
  const std::pair<std::string, std::string> bases[] = {{"http://srvuser:srvsecret@" + http, "http://srvuser:***@" + http},
                                                       {"https://" + https, "https://" + https}};
  for (const auto& [base, shown] : bases) {
    SCOPED_TRACE(base);
    d.InstallVersion(1);
    d.PointAt(base);
    testutil::WriteFile(d.install() + "/config/LogonUserSetProxy.xml", proxyFile);
    auto r = d.RunUpdater({}, {{"QUILLUP_CA_BUNDLE", ca.caFile}});
    ASSERT_EQ(r.status, 0) << Dump(d, r);
    EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << Dump(d, r);
    EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started"));
    const std::string log = d.Log();
    EXPECT_TRUE(Has(log, "使用代理:127.0.0.1:" + std::to_string(squid.port()) + "|trader\r")) << log;
    EXPECT_FALSE(Has(log, "s3cret")) << log;
    EXPECT_FALSE(Has(log, "srvsecret")) << log;
    EXPECT_TRUE(Has(log, "下载文件:" + shown + "/servicepacksNum.xml\r")) << log;
  }

  // Every request asked through squid was first refused, then passed as trader.
  int refused = 0, plain = 0, tunnels = 0;
  std::string all;
  for (const std::string& line : squid.AccessLines()) {
    all += line + "\n";
    if (Has(line, "TCP_DENIED/407 ")) ++refused;
    if (!Has(line, " trader ")) continue;
    if (Has(line, " GET http://" + http + "/") && Has(line, ".zip trader ")) ++plain;
    if (Has(line, " CONNECT " + https + " trader ")) ++tunnels;
  }
  EXPECT_GT(refused, 0) << all;
  EXPECT_GE(plain, 2) << all;    // the increments to versions 2 and 3
  EXPECT_GE(tunnels, 3) << all;  // list, signature or pack: each transfer its own tunnel
  int packs = 0;
  for (const std::string& line : nginx.AccessLines())
    if (Has(line, ".zip 200 ") || Has(line, ".zip 206 ")) ++packs;
  EXPECT_GE(packs, 4);
}
