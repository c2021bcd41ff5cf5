// Client processes, the record file at start, self-replacement and the
// start of the client at exit.
#include <gtest/gtest.h>

#include "app/constants.h"
#include "fakes.h"

using fakes::Harness;
using namespace quillup;

TEST(ClientControl, BrowserChildrenOfTheClientAreTerminated) {
  Harness h;
  h.dlg->m_dwClientPid = 10;
  h.ops->procs = {{11, 10}, {12, 10}, {13, 99}, {14, 10}, {15, 10}, {100, 10}, {16, 10}};
  h.ops->images = {{11, u"/opt/c/zoweb"},      // lower case, parent is the client
                   {12, u"/opt/c/ZoWeb"},
                   {13, u"/opt/c/ZoWeb"},      // another parent
                   {14, u"/opt/c/NotZoWeb"},   // name only as a suffix
                   {15, u""},                  // unreadable
                   {100, u"/opt/c/ZoWeb"},     // the updater itself
                   {16, u"ZoWeb"}};
  h.dlg->CloseClient();
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({11, 12, 16, 10}));
  EXPECT_EQ(h.dlg->m_dwClientPid, 10u);  // callers clear it
}

TEST(ClientControl, NoClientNoTermination) {
  Harness h;
  h.ops->procs = {{11, 0}};
  h.ops->images = {{11, u"/opt/c/ZoWeb"}};
  h.dlg->CloseClient();
  EXPECT_TRUE(h.ops->terminated.empty());
}

TEST(ClientControl, TerminateByPathIgnoresCase) {
  Harness h;
  h.ops->procs = {{5, 1}, {6, 1}, {7, 1}};
  h.ops->images = {{5, u"/A/ZoTrade/ZoTrade"}, {6, u"/a/zotrade/zotrade"}, {7, u"/a/ZoTrade/ZoTrade2"}};
  h.dlg->TerminateByPath(u"/a/ZoTrade/ZoTrade");
  EXPECT_EQ(h.ops->terminated, std::vector<uint32_t>({5, 6}));
}

TEST(ClientControl, NoRecordFileIsSuccessWithoutTouchingTheStopButton) {
  Harness h;
  bool restored = true;
  EXPECT_TRUE(h.dlg->ProcessRcdFile(h.Root() + u"/update/tarvex.rcd", h.Root(), restored));
  EXPECT_FALSE(restored);
  EXPECT_TRUE(h.view->stopChanges.empty());
  EXPECT_EQ(h.ops->processRecordCalls, 0);
}

TEST(ClientControl, CompleteRecordNeverCountsAsRestored) {
  Harness h;
  testutil::WriteFile(h.RecordPath(), "1|a|\r\nend|\r\n");
  h.ops->recordComplete = true;
  bool restored = true;
  EXPECT_TRUE(h.dlg->ProcessRcdFile(h.Root() + u"/update/tarvex.rcd", h.Root(), restored));
  EXPECT_FALSE(restored);
  EXPECT_EQ(h.view->stopChanges, std::vector<bool>({false}));
  EXPECT_EQ(h.view->statuses.front(), u"删除备份文件...");
  EXPECT_EQ(h.view->statuses.back(), u"删除备份文件成功。");
  EXPECT_FALSE(testutil::Exists(h.RecordPath()));
}

TEST(ClientControl, IncompleteRecordWithMissingFilesFails) {
  Harness h;
  testutil::WriteFile(h.RecordPath(), "1|a|\r\n");
  h.ops->needRepair = true;
  bool restored = true;
  EXPECT_FALSE(h.dlg->ProcessRcdFile(h.Root() + u"/update/tarvex.rcd", h.Root(), restored));
  EXPECT_FALSE(restored);
  EXPECT_TRUE(h.dlg->m_bClientBroken);
  EXPECT_FALSE(h.view->HasStatus(u"恢复原文件成功。"));
  EXPECT_EQ(h.view->statuses.back(), u"客户端文件缺失。");
}

TEST(ClientControl, RecordFailuresNameTheStep) {
  Harness h;
  testutil::WriteFile(h.RecordPath(), "1|a|\r\n");
  h.ops->processRecordOk = false;
  bool r = false;
  EXPECT_FALSE(h.dlg->ProcessRcdFile(h.Root() + u"/update/tarvex.rcd", h.Root(), r));
  EXPECT_EQ(h.view->statuses.back(), u"恢复原文件失败！");
  EXPECT_TRUE(testutil::Exists(h.RecordPath()));
  EXPECT_NE(h.Log().find("[ERROR] [CUpdateDlg::ProcessRcdFile] 恢复原文件失败！"), std::string::npos);

  h.ops->processRecordOk = true;
  h.ops->enableOk = false;
  EXPECT_FALSE(h.dlg->ProcessRcdFile(h.Root() + u"/update/tarvex.rcd", h.Root(), r));
  EXPECT_EQ(h.view->statuses.back(), u"启用客户端文件失败！");
  EXPECT_TRUE(testutil::Exists(h.RecordPath()));

  h.ops->enableOk = true;
  h.ops->versionMissing = true;
  EXPECT_FALSE(h.dlg->ProcessRcdFile(h.Root() + u"/update/tarvex.rcd", h.Root(), r));
  EXPECT_EQ(h.view->statuses.back(), u"需要重新升级，请重启客户端。");
}

TEST(ClientControl, ReplacementSwapsTheTargetAndStartsItWithAuto) {
  testutil::TempDir other;
  const std::string target = other.sub("my app/Quillup");
  testutil::WriteFile(target, "old updater");
  testutil::WriteFile(target + ".oldbak", "stale");
  Harness r(u"/replace:\"" + WidePath(target) + u"\"");
  r.ops->selfPath = r.Root() + u"/Quillup";
  testutil::WriteFile(r.dir.sub("Quillup"), "new updater");
  bool existed = false;
  r.dlg->m_hInstanceMutex = r.ops->CreateNamedMutex(u"x", existed);
  EXPECT_TRUE(r.dlg->ReplaceMySelfByCmdLine());
  EXPECT_EQ(testutil::ReadFile(target), "new updater");
  EXPECT_FALSE(testutil::Exists(target + ".oldbak"));
  EXPECT_FALSE(testutil::Exists(target + ".newbak"));
  EXPECT_EQ(r.ops->created, std::vector<WString>({WidePath(target) + u" /auto"}));
  EXPECT_TRUE(r.ops->openMutexes.empty());
  EXPECT_NE(r.Log().find("[CUpdateDlg::RunUpdateApp] 重启升级程序:" + target + " /auto"), std::string::npos);
}

TEST(ClientControl, Replace2StartsWithAuto2) {
  testutil::TempDir other;
  const std::string target = other.sub("Quillup");
  testutil::WriteFile(target, "old");
  Harness r(u"/replace2:" + WidePath(target));
  testutil::WriteFile(r.dir.sub("Quillup"), "new");
  EXPECT_TRUE(r.dlg->ReplaceMySelfByCmdLine());
  EXPECT_EQ(r.ops->created, std::vector<WString>({WidePath(target) + u" /auto2"}));
}

TEST(ClientControl, FailedCopyLeavesTheTargetAlone) {
  testutil::TempDir other;
  const std::string target = other.sub("Quillup");
  testutil::WriteFile(target, "old");
  Harness r(u"/replace:" + WidePath(target));
  r.ops->selfPath = r.Root() + u"/missing";
  EXPECT_TRUE(r.dlg->ReplaceMySelfByCmdLine());
  EXPECT_EQ(testutil::ReadFile(target), "old");
  EXPECT_TRUE(r.ops->created.empty());
  EXPECT_NE(r.Log().find("[ERROR] [CUpdateDlg::ReplaceMySelfByCmdLine] 复制文件失败:"), std::string::npos);
}

TEST(ClientControl, FailedStartOfTheNewUpdaterIsLogged) {
  Harness h;
  h.ops->createOk = false;
  EXPECT_FALSE(h.dlg->RunUpdateApp(u"/x/Quillup", false));
  EXPECT_NE(h.Log().find("[ERROR] [CUpdateDlg::RunUpdateApp] 启动进程失败:/x/Quillup /auto2"), std::string::npos);
}

TEST(ClientControl, NoReplaceSwitchNoReplacement) {
  Harness h(u"/auto /msgwnd:5");
  EXPECT_FALSE(h.dlg->ReplaceMySelfByCmdLine());
  EXPECT_TRUE(h.ops->created.empty());
}

namespace {
struct ClientStart : Harness {
  ClientStart() {
    bool e = false;
    dlg->m_hInstanceMutex = ops->CreateNamedMutex(u"x", e);
  }
};
}  // namespace

TEST(ClientControl, ClientStartDecisions) {
  {
    ClientStart c;
    EXPECT_TRUE(c.dlg->RunClientApp());
    EXPECT_EQ(c.ops->runClientCalls, 1);
    EXPECT_TRUE(c.ops->openMutexes.empty());
    EXPECT_FALSE(c.dlg->RunClientApp());  // the instance is given up once
    EXPECT_EQ(c.ops->runClientCalls, 1);
  }
  {
    ClientStart c;
    c.ops->flag = 1;
    EXPECT_FALSE(c.dlg->RunClientApp());
    EXPECT_EQ(c.ops->runClientCalls, 0);
    EXPECT_EQ(c.Log().find("RunClientApp"), std::string::npos);  // no line for a pending update
  }
  {
    ClientStart c;
    testutil::WriteFile(c.RecordPath(), "");
    EXPECT_FALSE(c.dlg->RunClientApp());
    EXPECT_NE(c.Log().find("升级需要回滚，不启动客户端"), std::string::npos);
  }
  {
    ClientStart c;
    c.ops->forbidden = true;
    EXPECT_FALSE(c.dlg->RunClientApp());
    EXPECT_NE(c.Log().find("客户端处于禁用状态，不启动"), std::string::npos);
  }
  {
    ClientStart c;
    c.ops->versionMissing = true;
    EXPECT_FALSE(c.dlg->RunClientApp());
    EXPECT_NE(c.Log().find("客户端版本号处于重置状态，不启动"), std::string::npos);
  }
  {
    ClientStart c;
    c.dlg->m_bForcedRepair = true;
    EXPECT_FALSE(c.dlg->RunClientApp());
    EXPECT_EQ(c.ops->openMutexes.size(), 1u);  // left for OnDestroy
  }
  {
    ClientStart c;
    c.ops->runClientOk = false;
    EXPECT_FALSE(c.dlg->RunClientApp());
    EXPECT_EQ(c.view->statuses.back(), u"启动客户端失败！");
    EXPECT_NE(c.Log().find("[ERROR] [CUpdateDlg::RunClientApp] 启动客户端失败！"), std::string::npos);
  }
}

TEST(ClientControl, FilesCutBetweenTheirTwoMovesAreRestored) {
  Harness h;
  testutil::TempDir outside;
  const std::string cfg = h.dir.sub("config/quillupcfg.ini");
  testutil::Run("rm -f '" + cfg + "'");
  testutil::WriteFile(cfg + ".oldbak", "old config");
  testutil::WriteFile(h.dir.sub("README.txt"), "new");            // swapped in already
  testutil::WriteFile(h.dir.sub("README.txt.oldbak"), "old");
  testutil::WriteFile(h.dir.sub("docs/new.txt.oldbak"), "stray");  // recorded as not existing before
  testutil::WriteFile(outside.sub("victim.oldbak"), "x");          // outside the installation
  const std::string gbkName = GbkFromWide(u"文档");
  testutil::WriteFile(h.dir.sub("文档.oldbak"), "old chinese");
  std::string rec = "1|" + cfg + "|\r\n1|" + h.dir.sub("README.txt") + "|\r\n0|" + h.dir.sub("docs/new.txt") +
                    "|\r\n1|" + outside.sub("victim") + "|\r\n1|" + GbkFromWide(h.Root()) + "/" + gbkName + "|\r\n";
  testutil::WriteFile(h.RecordPath(), rec);
  h.dlg->RestoreFilesInTransit(h.Root() + u"/update/tarvex.rcd");
  EXPECT_EQ(testutil::ReadFile(cfg), "old config");
  EXPECT_FALSE(testutil::Exists(cfg + ".oldbak"));
  EXPECT_EQ(testutil::ReadFile(h.dir.sub("README.txt")), "new");  // left for the roll-back to decide
  EXPECT_TRUE(testutil::Exists(h.dir.sub("README.txt.oldbak")));
  EXPECT_FALSE(testutil::Exists(h.dir.sub("docs/new.txt")));
  EXPECT_FALSE(testutil::Exists(outside.sub("victim")));
  EXPECT_EQ(testutil::ReadFile(h.dir.sub("文档")), "old chinese");
  EXPECT_NE(h.Log().find("[CUpdateDlg::RestoreFilesInTransit] 恢复中断的文件:" + cfg), std::string::npos);
}

TEST(ClientControl, NoRecordNothingToRestore) {
  Harness h;
  h.dlg->RestoreFilesInTransit(h.Root() + u"/update/tarvex.rcd");
  EXPECT_EQ(h.Log().find("RestoreFilesInTransit"), std::string::npos);
}
