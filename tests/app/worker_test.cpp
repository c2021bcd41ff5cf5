// The worker's paths: what each outcome of a step leaves in the update
// flag, the report, the status line and the result.
#include <gtest/gtest.h>

#include "app/constants.h"
#include "fakes.h"

using fakes::Harness;
using namespace quillup;

namespace {

ServicePack Pack(const char* name, bool force = false) {
  ServicePack p;
  p.strName = W(name);
  p.nSize = 10;
  p.bForce = force;
  return p;
}

std::vector<int> Codes(const fakes::FakeOps& ops) {
  std::vector<int> c;
  for (auto& r : ops.records) c.push_back(r.code);
  return c;
}

bool Reported(const fakes::FakeOps& ops, int code, bool success) {
  for (auto& r : ops.records)
    if (r.code == code) return r.success == success;
  return false;
}

void NeedUpdate(fakes::FakeOps& ops) {
  ops.need = true;
  ops.chosen = {Pack("p1"), Pack("p2")};
}

}  // namespace

TEST(Worker, NothingToUpdateInTheForegroundEndsWell) {
  Harness h;
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0}));
  EXPECT_EQ(Codes(*h.ops), std::vector<int>({4000, 4001, 4002}));
  EXPECT_TRUE(Reported(*h.ops, 4002, true));
  EXPECT_EQ(h.ops->after, "3");
  EXPECT_EQ(h.ops->before, "1");
  EXPECT_EQ(h.ops->downloadUrls, std::vector<WString>({u"http://127.0.0.1:9/base/force_servicepack.xml"}));
  EXPECT_EQ(h.ops->packsXmlUrls, std::vector<WString>({u"http://127.0.0.1:9/base/servicepacksNum.xml"}));
  EXPECT_EQ(h.ops->clearedDirs, std::vector<WString>({h.Root() + u"/update"}));
  EXPECT_EQ(h.ops->emptyFilesCreated, std::vector<WString>({h.Root() + u"/config/update.ini"}));
  EXPECT_EQ(h.ops->proxyFile, h.Root() + u"/config/LogonUserSetProxy.xml");
  EXPECT_EQ(h.view->statuses.back(), u"无需升级。");
  EXPECT_EQ(h.dlg->m_nExitCode, kExitOk);
  EXPECT_TRUE(testutil::Exists(h.dir.sub("update")));  // made before the list download
  std::string log = h.Log();
  EXPECT_NE(log.find("[INFO] [CUpdateDlg::DoWork] 检测更新，请稍候..."), std::string::npos);
  EXPECT_NE(log.find("[INFO] [CUpdateDlg::DoWork] 下载文件:http://127.0.0.1:9/base/servicepacksNum.xml"),
            std::string::npos);
}

TEST(Worker, ServerVersionZeroReportsTheSelectionAsFailed) {
  Harness h;
  h.ops->serverVersion = 0;
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_TRUE(Reported(*h.ops, 4002, false));
  EXPECT_TRUE(h.ops->uploadLog);
  EXPECT_EQ(h.dlg->m_nExitCode, kExitUpdateFailed);  // no "nothing to do"
}

TEST(Worker, BackgroundRechecksUntilTheClientExits) {
  Harness h;
  h.ops->recheck = 1;
  h.dlg->SaveWindowRect({1, 1, 500, 300});
  h.dlg->m_dwClientPid = 42;
  h.ops->onSelect = [&](int cycle) {
    if (cycle == 2) h.dlg->m_dwClientPid = 0;
  };
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->grayQueries, 2);  // the whole check repeats, gray query included
  EXPECT_EQ(h.ops->downloadUrls.size(), 2u);
  EXPECT_TRUE(h.view->HasStatus(u"等候下次查询..."));
  EXPECT_EQ(h.view->statuses.back(), u"无需升级。");
  EXPECT_EQ(Codes(*h.ops), std::vector<int>({4000, 4001, 4002, 4001, 4002}));
}

TEST(Worker, BackgroundWaitEndsWhenTheWindowComesForward) {
  Harness h;
  h.ops->recheck = 30;
  h.dlg->SaveWindowRect({1, 1, 500, 300});
  h.dlg->m_dwClientPid = 42;
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    h.dlg->EmptySavedWindowRect();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(h.dlg->DoWork());
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(h.ops->grayQueries, 1);
}

TEST(Worker, GrayUserWithUrlTakesListsAndPacksFromIt) {
  Harness h;
  h.ops->gray = true;
  h.ops->grayUrl = u"http://127.0.0.1:9/gray";
  NeedUpdate(*h.ops);
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->downloadUrls[0], u"http://127.0.0.1:9/gray/force_servicepack.xml");
  EXPECT_EQ(h.ops->packsXmlUrls[0], u"http://127.0.0.1:9/gray/servicepacksNum.xml");
  EXPECT_EQ(h.ops->zipBase, u"http://127.0.0.1:9/gray");
  EXPECT_NE(h.Log().find("灰度信息下载成功:http://127.0.0.1:9/gray"), std::string::npos);
}

TEST(Worker, GrayUserWithoutUrlTakesListsFromBetaButPacksFromBase) {
  Harness h;
  h.ops->gray = true;
  NeedUpdate(*h.ops);
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->downloadUrls[0], u"http://127.0.0.1:9/beta/force_servicepack.xml");
  EXPECT_EQ(h.ops->packsXmlUrls[0], u"http://127.0.0.1:9/beta/servicepacksNum.xml");
  EXPECT_EQ(h.ops->zipBase, u"http://127.0.0.1:9/base");
  EXPECT_NE(h.Log().find("灰度用户和配置文件地址"), std::string::npos);
}

TEST(Worker, ValidForceListSkipsTheNormalListAndRaisesTheRepairNotice) {
  Harness h;
  h.ops->download = [](const WString&) { return true; };
  h.ops->forceValid = true;
  h.ops->need = true;
  h.ops->chosen = {Pack("full", true)};
  h.dlg->SaveWindowRect({1, 1, 500, 300});  // background: 2031 shows its box
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_TRUE(h.ops->packsXmlUrls.empty());
  EXPECT_EQ(h.ops->forcedArgs, std::vector<bool>({true}));
  EXPECT_EQ(h.view->boxes, std::vector<WString>({u"当前客户端报错，需立即重启修复！"}));
  EXPECT_NE(h.Log().find("force_servicepack.xml有效"), std::string::npos);
}

TEST(Worker, ForcedRepairFlagStaysUntilTheSwapSucceeds) {
  Harness h;
  h.ops->download = [](const WString&) { return true; };
  h.ops->forceValid = true;
  h.ops->need = true;
  h.ops->chosen = {Pack("full", true)};
  h.ops->swapOk = false;
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_TRUE(h.dlg->m_bForcedRepair);

  Harness ok;
  ok.ops->download = [](const WString&) { return true; };
  ok.ops->forceValid = true;
  ok.ops->need = true;
  ok.ops->chosen = {Pack("full", true)};
  EXPECT_TRUE(ok.dlg->DoWork());
  EXPECT_FALSE(ok.dlg->m_bForcedRepair);
}

TEST(Worker, InvalidForceListFallsBackToTheNormalList) {
  Harness h;
  h.ops->download = [](const WString&) { return true; };
  h.ops->forceValid = false;  // e.g. three packs
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->packsXmlUrls.size(), 1u);
  EXPECT_EQ(h.ops->forcedArgs, std::vector<bool>({false}));
}

TEST(Worker, ForcedIsDecidedAgainInEveryCycle) {
  Harness h;
  h.ops->recheck = 1;
  h.dlg->SaveWindowRect({1, 1, 500, 300});
  h.dlg->m_dwClientPid = 42;
  int cycle = 0;
  h.ops->download = [&](const WString&) { return ++cycle == 1; };  // only the first cycle finds a force list
  h.ops->forceValid = true;
  h.ops->onSelect = [&](int n) {
    if (n == 2) h.dlg->m_dwClientPid = 0;
  };
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->forcedArgs, std::vector<bool>({true, false}));
}

TEST(Worker, FailedListDownloadIsReported) {
  Harness h;
  h.ops->packsXml = [](const WString&, WString&) { return false; };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_TRUE(Reported(*h.ops, 4001, false));
  EXPECT_TRUE(h.ops->uploadLog);
  EXPECT_EQ(h.view->statuses.back(), u"下载升级列表失败！");
  std::string log = h.Log();
  EXPECT_NE(log.find("[ERROR] [CUpdateDlg::DoWork] 下载失败:http://127.0.0.1:9/base/servicepacksNum.xml"),
            std::string::npos);
  EXPECT_EQ(log.find("下载升级列表失败！"), std::string::npos);  // window only
}

TEST(Worker, CancelledListDownloadIsNotReported) {
  Harness h;
  h.ops->packsXml = [&](const WString&, WString&) {
    h.dlg->m_bCancel = true;
    return false;
  };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(Codes(*h.ops), std::vector<int>({4000}));
  EXPECT_FALSE(h.ops->uploadLog);
  EXPECT_NE(h.Log().find("[INFO] [CUpdateDlg::DoWork] 取消下载:http://127.0.0.1:9/base/servicepacksNum.xml"),
            std::string::npos);
}

TEST(Worker, CancelledForceListEndsBeforeTheNormalList) {
  Harness h;
  h.ops->download = [&](const WString&) {
    h.dlg->m_bCancel = true;
    return false;
  };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_TRUE(h.ops->packsXmlUrls.empty());
  EXPECT_NE(h.Log().find("取消下载:http://127.0.0.1:9/base/force_servicepack.xml"), std::string::npos);
  EXPECT_EQ(h.ops->cancelSeen, &h.dlg->m_bCancel);
}

TEST(Worker, ResolvedAddressOfTheListIsUsedForThePacks) {
  Harness h;
  h.ops->packsXml = [](const WString&, WString& resolved) {
    resolved = u"127.0.0.1";
    return true;
  };
  NeedUpdate(*h.ops);
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->zipResolved, u"127.0.0.1");
}

TEST(Worker, CancelledPackDownloadKeepsTheFlag) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->zipFiles = [&](const std::vector<ServicePack>&, std::vector<WString>&) {
    h.dlg->m_bCancel = true;
    return false;
  };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.view->statuses.back(), u"取消下载文件。");
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0}));
  EXPECT_FALSE(Reported(*h.ops, 4003, false));
}

TEST(Worker, FailedPackDownloadIsReported) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->zipFiles = [](const std::vector<ServicePack>&, std::vector<WString>&) { return false; };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.view->statuses.back(), u"下载文件失败！");
  EXPECT_TRUE(Reported(*h.ops, 4003, false));
  EXPECT_NE(h.Log().find("[ERROR] [CUpdateDlg::DoWork] 下载文件失败！"), std::string::npos);
}

TEST(Worker, FullUpdateWalksTheFlagThroughItsStates) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->procs = {{7, 1}, {8, 1}, {9, 1}};
  h.ops->images = {{7, h.Root() + u"/ZoTrade/ZoTrade"}, {8, h.Root() + u"/zotrade/tradeupdate"}, {9, u"/bin/sh"}};
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0, 1, 3, 0}));
  EXPECT_EQ(Codes(*h.ops), std::vector<int>({4000, 4001, 4002, 4003, 4004, 4005}));
  for (auto& r : h.ops->records) EXPECT_TRUE(r.success) << r.code;
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({7, 8}));
  EXPECT_EQ(h.view->statuses.back(), u"升级完成。");
  EXPECT_FALSE(testutil::Exists(h.dir.sub("tarvex_sys")));  // the write probe is gone again
  // stop button disabled once the packs are in
  EXPECT_FALSE(h.view->stopEnabled);
  auto pos = [&](const std::string& s) { return std::find(h.ops->trace.begin(), h.ops->trace.end(), s); };
  EXPECT_LT(pos("zip"), pos("flag1"));
  EXPECT_LT(pos("flag1"), pos("stage"));
  EXPECT_LT(pos("stage"), pos("flag3"));
  EXPECT_LT(pos("flag3"), pos("forbid"));
  EXPECT_LT(pos("forbid"), pos("swap"));
}

TEST(Worker, RunStartedInTheSwapRollsBackThenTakesTheFullPack) {
  Harness h;
  h.ops->flag = 3;
  testutil::WriteFile(h.RecordPath(), "1|/x|\r\n");
  NeedUpdate(*h.ops);
  EXPECT_TRUE(h.dlg->DoWork());
  // The record is rolled back (the real client back from ".forbid"), not
  // thrown away, and the update goes on although files were put back.
  EXPECT_EQ(h.ops->processRecordCalls, 1);
  EXPECT_EQ(h.ops->enableKeepNew, std::vector<bool>({false}));
  EXPECT_FALSE(testutil::Exists(h.RecordPath()));
  EXPECT_TRUE(h.view->HasStatus(u"恢复原文件成功。"));
  EXPECT_EQ(std::count(h.ops->trace.begin(), h.ops->trace.end(), "swap"), 1);
  // The roll-back made the installation whole: 0 at once, then the flags
  // of any update.
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0, 1, 3, 0}));

  // No record: nothing was swapped, a disabled client is enabled again;
  // while it stays disabled, so does the 3 until a swap ends.
  Harness bare;
  bare.ops->flag = 3;
  bare.ops->forbidden = true;
  NeedUpdate(*bare.ops);
  EXPECT_TRUE(bare.dlg->DoWork());
  EXPECT_EQ(bare.ops->enableKeepNew, std::vector<bool>({false}));
  EXPECT_EQ(bare.ops->flagWrites, std::vector<int32_t>({0}));
}

TEST(Worker, RunStartedInTheSwapIsWholeAgainAfterItsRollBack) {
  // An empty record (cut before the swap wrote its lines) and the server
  // out of reach: the client must not be held back by a 3.
  Harness h;
  h.ops->flag = 3;
  testutil::WriteFile(h.RecordPath(), "");
  h.ops->packsXml = [](const WString&, WString&) { return false; };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->enableKeepNew, std::vector<bool>({false}));
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0}));

  // A later failure then leaves the flag a normal run would leave.
  Harness staged;
  staged.ops->flag = 3;
  NeedUpdate(*staged.ops);
  staged.ops->stageOk = false;
  EXPECT_FALSE(staged.dlg->DoWork());
  EXPECT_EQ(staged.ops->flagWrites, std::vector<int32_t>({0, 1, 2}));

  // Only a failed roll-back leaves 2.
  Harness failed;
  failed.ops->flag = 3;
  testutil::WriteFile(failed.RecordPath(), "1|/x|\r\n");
  failed.ops->processRecordOk = false;
  EXPECT_FALSE(failed.dlg->DoWork());
  EXPECT_EQ(failed.ops->flagWrites, std::vector<int32_t>({2}));
}

TEST(Worker, DownloadedInBackgroundIsLeftForTheNextStart) {
  Harness h;
  NeedUpdate(*h.ops);
  h.dlg->SaveWindowRect({1, 1, 500, 300});
  h.dlg->m_dwClientPid = 42;
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    h.dlg->m_dwClientPid = 0;  // the watch timer saw the client go
  });
  EXPECT_TRUE(h.dlg->DoWork());
  t.join();
  EXPECT_EQ(h.view->statuses.back(), u"文件已下载好，下次启动升级。");
  EXPECT_EQ(h.ops->flag, 1);
  EXPECT_TRUE(h.view->HasStatus(u"等待客户端退出..."));
  EXPECT_EQ(std::count(h.ops->trace.begin(), h.ops->trace.end(), "stage"), 0);
}

TEST(Worker, UnwritableInstallationStopsBeforeStaging) {
  Harness h;
  NeedUpdate(*h.ops);
  testutil::Run("mkdir -p '" + h.dir.sub("tarvex_sys") + "'");  // cannot be opened as a file, even by root
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_TRUE(h.dlg->m_bNoWriteRight);
  EXPECT_EQ(h.view->statuses.back(), u"系统权限不足。");
  EXPECT_EQ(h.ops->flag, 1);
  EXPECT_EQ(std::count(h.ops->trace.begin(), h.ops->trace.end(), "stage"), 0);
}

TEST(Worker, FailedStagingAsksForAFullUpdate) {
  // Staging that fails asks for the full pack; staging refused for want of
  // room keeps the flag and the packs for the next run.
  for (bool room : {true, false}) {
    Harness h;
    NeedUpdate(*h.ops);
    h.ops->stageOk = !room;
    h.ops->roomOk = room;
    EXPECT_FALSE(h.dlg->DoWork());
    EXPECT_EQ(h.ops->flagWrites, room ? std::vector<int32_t>({0, 1, 2}) : std::vector<int32_t>({0, 1}));
    EXPECT_EQ(h.ops->flag, room ? 2 : 1);
    EXPECT_TRUE(Reported(*h.ops, 4004, false));
    if (room) {
      EXPECT_EQ(h.ops->clearedDirs.back(), h.Root() + u"/update");
    } else {
      EXPECT_TRUE(h.ops->clearedDirs.empty());  // the packs stay
    }
    EXPECT_EQ(h.view->statuses.back(), room ? u"解压文件失败！" : u"磁盘空间不足！");
    EXPECT_EQ(std::count(h.ops->trace.begin(), h.ops->trace.end(), "stage"), room ? 1 : 0);
    EXPECT_EQ(std::count(h.ops->trace.begin(), h.ops->trace.end(), "room"), 1);
  }
}

TEST(Worker, FailedStagingDuringLogOffChangesNothing) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->stageOk = false;
  h.ops->onSelect = [&](int) {};
  h.ops->zipFiles = [&](const std::vector<ServicePack>& p, std::vector<WString>& f) {
    h.ops->endSession = true;
    f.push_back(u"/a.zip");
    return !p.empty();
  };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flag, 1);
  EXPECT_FALSE(Reported(*h.ops, 4004, false));
  EXPECT_FALSE(h.ops->uploadLog);
}

TEST(Worker, LogOffAfterStagingStopsBeforeDisabling) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->zipFiles = [&](const std::vector<ServicePack>&, std::vector<WString>& f) {
    h.ops->endSession = true;
    f.push_back(u"/a.zip");
    return true;
  };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.view->statuses.back(), u"电脑注销，取消升级。");
  EXPECT_EQ(h.ops->forbidCalls, 0);
  EXPECT_EQ(h.ops->flag, 1);
}

TEST(Worker, FailedFlushOfTheStagedTreeIsAFailedStaging) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->flushOk = false;
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_NE(h.Log().find("[ERROR] [CUpdateDlg::DoWork] 强刷数据到磁盘失败！"), std::string::npos);
  EXPECT_EQ(h.view->statuses.back(), u"解压文件失败！");
  EXPECT_EQ(h.ops->forbidCalls, 0);
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0, 1, 2}));
  EXPECT_TRUE(Reported(*h.ops, 4004, false));
}

TEST(Worker, DisablingIsTriedThreeTimes) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->forbidResults = {false, false, true};
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->forbidCalls, 3);
  EXPECT_EQ(h.ops->flag, 0);

  Harness bad;
  NeedUpdate(*bad.ops);
  bad.ops->forbidResults = {false, false, false};
  EXPECT_FALSE(bad.dlg->DoWork());
  EXPECT_EQ(bad.ops->forbidCalls, 3);
  EXPECT_EQ(bad.ops->flagWrites, std::vector<int32_t>({0, 1, 3, 1}));
  EXPECT_TRUE(Reported(*bad.ops, 4005, false));
  EXPECT_EQ(bad.view->statuses.back(), u"禁用客户端失败！");
  EXPECT_EQ(std::count(bad.ops->trace.begin(), bad.ops->trace.end(), "swap"), 0);
}

TEST(Worker, FailedSwapRollsBack) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->swapOk = false;
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0, 1, 3, 1, 0}));
  EXPECT_EQ(h.ops->processRecordCalls, 1);
  EXPECT_TRUE(Reported(*h.ops, 4005, false));
  EXPECT_TRUE(h.view->HasStatus(u"更新文件失败，恢复原文件..."));
  EXPECT_TRUE(h.view->HasStatus(u"恢复原文件成功。"));
  EXPECT_FALSE(testutil::Exists(h.RecordPath()));
}

TEST(Worker, FailedRollBackAsksForAFullUpdate) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->swapOk = false;
  h.ops->processRecordOk = false;
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0, 1, 3, 1, 2}));
  EXPECT_TRUE(h.view->HasStatus(u"恢复原文件失败！"));
  EXPECT_TRUE(testutil::Exists(h.RecordPath()));  // kept for the next start
}

TEST(Worker, FailedRollBackDuringLogOffKeepsFlagOne) {
  Harness h;
  NeedUpdate(*h.ops);
  h.ops->swapOk = false;
  h.ops->processRecordOk = false;
  h.ops->onSwap = [&] { h.ops->endSession = true; };
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flag, 1);
  EXPECT_FALSE(Reported(*h.ops, 4005, false));
}

TEST(Worker, RestoredRecordAtStartEndsWithoutAsking) {
  Harness h;
  h.ops->flag = 1;
  testutil::WriteFile(h.RecordPath(), "1|/x|\r\n");
  h.ops->recordComplete = false;
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({0}));
  EXPECT_EQ(h.ops->netsMade, 0);
  EXPECT_TRUE(h.ops->records.empty());
  EXPECT_EQ(h.ops->enableKeepNew, std::vector<bool>({false}));
  EXPECT_EQ(h.view->statuses.back(), u"恢复原文件成功。");
}

TEST(Worker, CompleteRecordAtStartGoesOnToCheck) {
  Harness h;
  testutil::WriteFile(h.RecordPath(), "1|/x|\r\nend|\r\n");
  h.ops->recordComplete = true;
  h.ops->clientInRecord = true;
  EXPECT_TRUE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->enableKeepNew, std::vector<bool>({true}));
  EXPECT_EQ(h.ops->netsMade, 1);
  EXPECT_TRUE(h.view->HasStatus(u"删除备份文件成功。"));
}

TEST(Worker, FailedRecordAtStartAsksForAFullUpdate) {
  Harness h;
  testutil::WriteFile(h.RecordPath(), "1|/x|\r\n");
  h.ops->processRecordOk = false;
  EXPECT_FALSE(h.dlg->DoWork());
  EXPECT_EQ(h.ops->flagWrites, std::vector<int32_t>({2}));
  EXPECT_TRUE(h.ops->uploadLog);
  EXPECT_NE(h.Log().find("处理记录文件失败！"), std::string::npos);

  Harness off;
  testutil::WriteFile(off.RecordPath(), "1|/x|\r\n");
  off.ops->processRecordOk = false;
  off.ops->endSession = true;
  EXPECT_FALSE(off.dlg->DoWork());
  EXPECT_TRUE(off.ops->flagWrites.empty());
  EXPECT_FALSE(off.ops->uploadLog);
}

TEST(Worker, FailedStartsAreCountedWhileVersionInfoIsMissing) {
  Harness h;
  h.ops->versionMissing = true;
  h.ops->failCount = 1;
  h.dlg->DoWork();
  EXPECT_EQ(h.ops->failCount, 2);
  EXPECT_TRUE(h.ops->deletedDirs.empty());
  h.dlg->DoWork();
  EXPECT_EQ(h.ops->failCount, 0);
  EXPECT_EQ(h.ops->deletedDirs, std::vector<WString>({h.Root() + u"/data"}));
  EXPECT_NE(h.Log().find("[CUpdateDlg::ProcessClientFailRunCount] 客户端启动失败达到3次, 清空data目录"),
            std::string::npos);

  Harness fine;
  fine.ops->failCount = 2;
  fine.dlg->DoWork();
  EXPECT_EQ(fine.ops->failCount, 2);
}

TEST(Worker, LeftOverBackupsAreDeleted) {
  Harness h;
  testutil::WriteFile(h.dir.sub("Quillup.oldbak"), "old");
  testutil::WriteFile(h.dir.sub("bin/client.oldbak"), "old");
  testutil::Run("chmod a-w '" + h.dir.sub("bin/client.oldbak") + "'");
  h.dlg->DoWork();
  EXPECT_FALSE(testutil::Exists(h.dir.sub("Quillup.oldbak")));
  EXPECT_FALSE(testutil::Exists(h.dir.sub("bin/client.oldbak")));
}

TEST(Worker, ThreadReportsWhileStillMarkedRunning) {
  Harness h;
  h.dlg->m_bWorkerRunning = true;
  h.dlg->WorkerThreadProc();
  EXPECT_EQ(h.ops->reportWrites, 1);
  EXPECT_FALSE(h.dlg->m_bWorkerRunning);
  EXPECT_EQ(h.ops->repairChecks, 1);  // integrity check after a good run
  EXPECT_TRUE(h.view->HasStatus(u"客户端文件完整。"));
  // The stop of a good run waited for the worker instead of closing at
  // once; the worker's own tick, posted as it ends, closes the window, and
  // the timer's next tick does nothing more.
  EXPECT_EQ(h.view->endCalls, 0);
  EXPECT_TRUE(h.view->timers.count(TIMER_WAIT_WORKER));
  ASSERT_EQ(h.view->waitTicksPosted, 1);
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.view->endCalls, 1);
  EXPECT_EQ(h.view->endResult, IDCANCEL);
  h.dlg->OnTimer(TIMER_WAIT_WORKER);
  EXPECT_EQ(h.view->endCalls, 1);
}

TEST(Worker, NoIntegrityCheckAfterAFailedRun) {
  Harness h;
  h.ops->packsXml = [](const WString&, WString&) { return false; };
  h.dlg->m_bWorkerRunning = true;
  h.dlg->WorkerThreadProc();
  EXPECT_EQ(h.ops->repairChecks, 0);
  EXPECT_EQ(h.view->endCalls, 0);  // a failure in the foreground waits for the user
  EXPECT_TRUE(h.view->stopEnabled);
  ASSERT_EQ(h.view->waitTicksPosted, 1);
  h.dlg->OnTimer(TIMER_WAIT_WORKER);  // the worker's tick, with no stop waiting
  EXPECT_EQ(h.view->endCalls, 0);
}
