// The window layer: messages between threads and processes, timers, modal
// loops, message boxes, the registry and the session's end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "common/display.h"
#include "common/testutil.h"
#include "window/wnd.h"
#include "support/log.h"

using namespace plat;
using Clock = std::chrono::steady_clock;

namespace {

DlgTemplate SimpleTemplate(const WString& caption = u"") {
  DlgTemplate t;
  t.cx = 100;
  t.cy = 40;
  t.caption = caption;
  t.baseX = 4;
  t.baseY = 8;
  t.items.push_back({1003, DlgItemKind::Button, 50, 10, 40, 20, u"终止", BS_PUSHBUTTON});
  t.items.push_back({1002, DlgItemKind::Static, 5, 10, 40, 20, u"状态", SS_LEFT});
  return t;
}

// A dialog that records what reaches it.
class RecordingDlg : public CDialog {
 public:
  explicit RecordingDlg(const DlgTemplate& t = SimpleTemplate(), CWnd* owner = nullptr) : CDialog(t, owner) {}
  LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override {
    if (msg >= WM_USER) {
      seen.push_back(msg);
      threads.push_back(std::this_thread::get_id());
      if (onPrivate) return onPrivate(msg, w, l);
      return 1;
    }
    return CDialog::WindowProc(msg, w, l);
  }
  void OnTimer(UINT_PTR id) override {
    ticks.push_back(id);
    if (onTimer) onTimer(id);
  }
  bool OnCommand(WPARAM w, LPARAM l) override {
    commands.push_back(LoWord(w));
    return CDialog::OnCommand(w, l);
  }
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    if (onInit) onInit();
    return true;
  }
  std::vector<UINT> seen;
  std::vector<std::thread::id> threads;
  std::vector<UINT_PTR> ticks;
  std::vector<int> commands;
  std::function<LRESULT(UINT, WPARAM, LPARAM)> onPrivate;
  std::function<void(UINT_PTR)> onTimer;
  std::function<void()> onInit;
};

std::string RunOutput(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[256];
  while (p && fgets(buf, sizeof buf, p)) out += buf;
  if (p) pclose(p);
  return out;
}

}  // namespace

TEST(Messages, SendFromWorkerIsHandledOnWindowThreadBeforeWorkerGoesOn) {
  RecordingDlg dlg;
  ASSERT_TRUE(dlg.Create());
  std::atomic<bool> workerPastSend{false};
  std::atomic<bool> sawWorkerWaiting{false};
  WString copied;
  dlg.onPrivate = [&](UINT msg, WPARAM w, LPARAM) -> LRESULT {
    if (msg == 2026) {
      // The text belongs to the waiting sender: it must still be there.
      copied = *(const WString*)w;
      sawWorkerWaiting = !workerPastSend.load();
      return 42;
    }
    return 1;
  };
  HWND h = dlg.GetSafeHwnd();
  LRESULT got = 0;
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WString status = u"正在下载升级包";
    got = SendMessage(h, 2026, (WPARAM)&status, 0);
    status = u"已被覆盖";
    workerPastSend = true;
    PostMessage(h, 2027, 42, 0);
  });
  ASSERT_TRUE(RunMessageLoop([&] { return dlg.seen.size() >= 2; }, 5000));
  worker.join();
  EXPECT_EQ(got, 42);
  EXPECT_TRUE(sawWorkerWaiting);
  EXPECT_EQ(copied, u"正在下载升级包");
  EXPECT_EQ(dlg.seen, (std::vector<UINT>{2026, 2027}));
  for (auto id : dlg.threads) EXPECT_EQ(id, std::this_thread::get_id());
  dlg.DestroyWindow();
}

TEST(Messages, SendOnOwnThreadRunsDirectlyAndPostWaitsForLoop) {
  RecordingDlg dlg;
  ASSERT_TRUE(dlg.Create());
  EXPECT_EQ(dlg.SendMessage(WM_USER + 1), 1);
  EXPECT_EQ(dlg.seen.size(), 1u);
  EXPECT_TRUE(dlg.PostMessage(WM_USER + 2));
  EXPECT_EQ(dlg.seen.size(), 1u);
  PumpMessages();
  EXPECT_EQ(dlg.seen.size(), 2u);
  HWND h = dlg.GetSafeHwnd();
  dlg.DestroyWindow();
  EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
  EXPECT_EQ(SendMessage(h, WM_USER, 0, 0), 0);
  EXPECT_FALSE(IsWindow(h));
}

TEST(Messages, SenderIsReleasedWhenWindowGoesAway) {
  auto dlg = std::make_unique<RecordingDlg>();
  ASSERT_TRUE(dlg->Create());
  HWND h = dlg->GetSafeHwnd();
  std::atomic<bool> done{false};
  LRESULT r = -1;
  std::thread worker([&] {
    r = SendMessage(h, WM_USER + 5, 0, 0);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  dlg->DestroyWindow();
  ASSERT_TRUE(RunMessageLoop([&] { return done.load(); }, 3000));
  worker.join();
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(dlg->seen.empty());
}

TEST(Messages, MessageHandlersStillReceiveOnTheCallingThread) {
  std::vector<UINT> got;
  HWND h = RegisterMessageHandler([&](UINT m, WPARAM w, LPARAM) -> LRESULT {
    got.push_back(m);
    return (LRESULT)w * 2;
  });
  EXPECT_TRUE(PostMessage(h, 2027, 5, 0));
  EXPECT_EQ(SendMessage(h, 2026, 21, 0), 42);
  EXPECT_EQ(got, (std::vector<UINT>{2027, 2026}));
  uint32_t pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(h, &pid), (uint32_t)getpid());
  UnregisterMessageHandler(h);
  EXPECT_FALSE(PostMessage(h, 2027, 5, 0));
}

TEST(Timers, TickUntilKilledAndRestartWithNewPeriod) {
  RecordingDlg dlg;
  ASSERT_TRUE(dlg.Create());
  auto start = Clock::now();
  dlg.SetTimer(2024, 40);
  dlg.SetTimer(2025, 1000);
  RunMessageLoop([&] { return dlg.ticks.size() >= 3; }, 3000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(dlg.ticks, (std::vector<UINT_PTR>{2024, 2024, 2024}));
  EXPECT_GE(ms, 115);
  EXPECT_TRUE(dlg.KillTimer(2024));
  EXPECT_FALSE(dlg.KillTimer(2024));
  dlg.ticks.clear();
  RunMessageLoop([] { return false; }, 150);
  EXPECT_TRUE(dlg.ticks.empty());
  dlg.SetTimer(2025, 20);  // same id: the new period replaces the old
  RunMessageLoop([&] { return !dlg.ticks.empty(); }, 500);
  EXPECT_EQ(dlg.ticks, (std::vector<UINT_PTR>{2025}));
  dlg.DestroyWindow();
  EXPECT_FALSE(dlg.KillTimer(2025));
}

TEST(Dialogs, ModalLoopKeepsOwnerReceivingAndDisablesIt) {
  RecordingDlg owner;
  ASSERT_TRUE(owner.Create());
  RecordingDlg modal(SimpleTemplate(), &owner);
  HWND ownerWnd = owner.GetSafeHwnd();
  bool ownerDisabledInside = false;
  modal.onInit = [&] {
    ownerDisabledInside = !owner.IsWindowEnabled();
    modal.SetTimer(1, 30);
  };
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WString s = u"x";
    SendMessage(ownerWnd, 2026, (WPARAM)&s, 0);
    PostMessage(ownerWnd, 2027, 1, 0);
  });
  modal.onTimer = [&](UINT_PTR) {
    if (owner.seen.size() >= 2) modal.EndDialog(7);
  };
  int r = modal.DoModal();
  worker.join();
  EXPECT_EQ(r, 7);
  EXPECT_TRUE(ownerDisabledInside);
  EXPECT_TRUE(owner.IsWindowEnabled());
  EXPECT_EQ(owner.seen, (std::vector<UINT>{2026, 2027}));
  EXPECT_FALSE(modal.GetSafeHwnd());
  owner.DestroyWindow();
}

TEST(Dialogs, EndDialogInInitEndsBeforeShowing) {
  RecordingDlg dlg;
  bool shown = true;
  dlg.onInit = [&] {
    dlg.EndDialog(IDCANCEL);
    shown = dlg.IsWindowVisible();
  };
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_FALSE(shown);
}

TEST(Dialogs, ButtonClickReachesOwnerAndDisabledButtonDoesNot) {
  RecordingDlg dlg;
  ASSERT_TRUE(dlg.Create());
  CWnd* btn = dlg.GetDlgItem(1003);
  ASSERT_NE(btn, nullptr);
  CRect r;
  btn->GetWindowRect(r);
  dlg.ScreenToClient(r);
  CPoint mid = r.CenterPoint();
  dlg.InjectMouse(WM_LBUTTONDOWN, mid);
  EXPECT_TRUE(static_cast<CButton*>(btn)->IsPressed());
  dlg.InjectMouse(WM_LBUTTONUP, mid);
  EXPECT_EQ(dlg.commands, (std::vector<int>{1003}));
  // Released outside: no click.
  dlg.InjectMouse(WM_LBUTTONDOWN, mid);
  dlg.InjectMouse(WM_MOUSEMOVE, CPoint(0, 0));
  EXPECT_FALSE(static_cast<CButton*>(btn)->IsPressed());
  dlg.InjectMouse(WM_LBUTTONUP, CPoint(0, 0));
  EXPECT_EQ(dlg.commands.size(), 1u);
  btn->EnableWindow(false);
  dlg.InjectMouse(WM_LBUTTONDOWN, mid);
  dlg.InjectMouse(WM_LBUTTONUP, mid);
  EXPECT_EQ(dlg.commands.size(), 1u);
  dlg.DestroyWindow();
}

TEST(Dialogs, EscapeCancelsAndCloseRequestCancels) {
  RecordingDlg dlg;
  dlg.onInit = [&] { dlg.PostMessage(WM_KEYDOWN, VK_ESCAPE); };
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  RecordingDlg dlg2;
  dlg2.onInit = [&] { dlg2.PostMessage(WM_CLOSE); };
  EXPECT_EQ(dlg2.DoModal(), IDCANCEL);
}

TEST(MessageBoxes, HeadlessLogsAndAnswersOkOnDisplayUserAnswers) {
  testutil::TempDir tmp;
  CLog::Instance()->SetPath(tmp.wsub("tarvex.log"));
  if (IsHeadless()) {
    EXPECT_EQ(MessageBox(0, u"客户端缺失文件，是否修复？", u"提示", MB_OKCANCEL | MB_ICONQUESTION | MB_TOPMOST), IDOK);
    EXPECT_NE(testutil::ReadFile(tmp.sub("tarvex.log")).find("[plat::MessageBox] 提示: 客户端缺失文件，是否修复？"),
              std::string::npos);
  } else {
    // The owner's timer finds the box by its caption and presses Escape.
    RecordingDlg owner;
    ASSERT_TRUE(owner.Create());
    std::atomic<int> ownerTicks{0};
    owner.onTimer = [&](UINT_PTR) {
      ownerTicks++;
      if (HWND box = FindWindow(u"提示框测试")) PostMessage(box, WM_KEYDOWN, VK_ESCAPE, 0);
    };
    owner.SetTimer(9, 50);
    EXPECT_EQ(MessageBox(owner.GetSafeHwnd(), u"第一行\r\n第二行", u"提示框测试", MB_OKCANCEL), IDCANCEL);
    EXPECT_GE(ownerTicks.load(), 1);
    owner.SetTimer(9, 50);
    owner.onTimer = [&](UINT_PTR) {
      if (HWND box = FindWindow(u"提示框测试")) PostMessage(box, WM_KEYDOWN, VK_RETURN, 0);
    };
    EXPECT_EQ(MessageBox(owner.GetSafeHwnd(), u"确定？", u"提示框测试", MB_OKCANCEL), IDOK);
    owner.DestroyWindow();
  }
  CLog::Instance()->SetPath(u"");
}

TEST(Registry, SecondProcessFindsWindowByTitleAndPosts) {
  RecordingDlg dlg(SimpleTemplate(u"d..trade.app~update~"));
  ASSERT_TRUE(dlg.Create());
  dlg.AllowRemoteMessage(9999);
  dlg.AllowRemoteMessage(2030);
  std::string out = RunOutput(std::string(MSGWND_TOOL) + " post 'd..trade.app~update~' 9999");
  unsigned long long h = 0;
  unsigned pid = 0;
  ASSERT_EQ(sscanf(out.c_str(), "%llu %u", &h, &pid), 2) << out;
  EXPECT_EQ(h, dlg.GetSafeHwnd());
  EXPECT_EQ(pid, (unsigned)getpid());
  // A message that carries an address is not taken from another process.
  RunOutput(std::string(MSGWND_TOOL) + " post '#" + std::to_string(h) + "' 2026 4096");
  RunOutput(std::string(MSGWND_TOOL) + " post '#" + std::to_string(h) + "' 2030");
  RunMessageLoop([&] { return dlg.seen.size() >= 2; }, 3000);
  RunMessageLoop([] { return false; }, 100);
  EXPECT_EQ(dlg.seen, (std::vector<UINT>{9999, 2030}));
  // A title change is what others see.
  dlg.SetWindowText(u"升级程序");
  EXPECT_EQ(FindWindow(u"d..trade.app~update~"), 0u);
  EXPECT_NE(system((std::string(MSGWND_TOOL) + " find 'd..trade.app~update~' >/dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(system((std::string(MSGWND_TOOL) + " find '升级程序' >/dev/null").c_str()), 0);
  dlg.DestroyWindow();
  EXPECT_NE(system((std::string(MSGWND_TOOL) + " find '升级程序' >/dev/null 2>&1").c_str()), 0);
}

TEST(Registry, MessageWindowOfAnotherProcessGivesItsPidAndDiesClean) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], 1);
    execl(MSGWND_TOOL, MSGWND_TOOL, "serve", "客户端消息窗口", "30", (char*)nullptr);
    _exit(127);
  }
  close(fds[1]);
  char buf[64] = {0};
  ASSERT_GT(read(fds[0], buf, sizeof buf - 1), 0);
  HWND h = strtoull(buf, nullptr, 10);
  ASSERT_NE(h, 0u);
  uint32_t pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(h, &pid), (uint32_t)child);
  EXPECT_EQ(pid, (uint32_t)child);
  EXPECT_EQ(FindWindow(u"客户端消息窗口"), h);
  EXPECT_TRUE(PostMessage(h, 2031, 3, 0));
  char line[64] = {0};
  ASSERT_GT(read(fds[0], line, sizeof line - 1), 0);
  EXPECT_STREQ(line, "2031 3 0\n");
  // Killed without a chance to clean up: its entry is stale.
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(fds[0]);
  std::string info = testutil::RuntimeDir() + "/quillup-windows/" + std::to_string(h) + ".info";
  EXPECT_TRUE(testutil::Exists(info));
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(GetWindowThreadProcessId(h, &pid), 0u);
  EXPECT_EQ(FindWindow(u"客户端消息窗口"), 0u);
  EXPECT_FALSE(PostMessage(h, 9999, 0, 0));
  EXPECT_FALSE(testutil::Exists(info));
}

TEST(Registry, ReusedPidDoesNotRevive) {
  // An entry whose pid now belongs to another process (start time differs).
  std::string dir = testutil::RuntimeDir() + "/quillup-windows";
  HWND h = ((HWND)(uint32_t)getpid() << 32) | 0xFFFFFFF0u;
  testutil::WriteFile(dir + "/" + std::to_string(h) + ".info",
                      "pid " + std::to_string(getpid()) + "\nstart 1\ntitle 旧窗口\n");
  EXPECT_EQ(FindWindow(u"旧窗口"), 0u);
  EXPECT_FALSE(testutil::Exists(dir + "/" + std::to_string(h) + ".info"));
}

// ---- the session's end ----

namespace {
class EndSessionDlg : public CDialog {
 public:
  EndSessionDlg(const WString& title, bool agree, std::string marker)
      : CDialog(SimpleTemplate(title)), m_agree(agree), m_marker(std::move(marker)) {}
  std::thread::id m_windowThread = std::this_thread::get_id();

 protected:
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    SetTimer(1, 3000);
    return true;
  }
  void OnTimer(UINT_PTR) override { EndDialog(IDOK); }
  bool OnQueryEndSession() override {
    std::ofstream(m_marker, std::ios::app) << "query " << (std::this_thread::get_id() == m_windowThread) << "\n";
    return m_agree;
  }
  void OnEndSession(bool ending) override { std::ofstream(m_marker, std::ios::app) << "end " << ending << "\n"; }

 private:
  bool m_agree;
  std::string m_marker;
};
}  // namespace

int SigtermChildMain(int argc, char** argv) {
  if (argc < 5) return 2;
  setenv("QUILLUP_HEADLESS", "1", 1);
  EndSessionDlg dlg(WideFromUtf8(argv[3]), strcmp(argv[2], "agree") == 0, argv[4]);
  return dlg.DoModal() == IDOK ? 0 : 3;
}

TEST(EndSession, SigtermAsksWindowsOnTheirThread) {
  testutil::TempDir tmp;
  for (bool agree : {true, false}) {
    std::string marker = tmp.sub(agree ? "agree" : "refuse");
    std::string title = agree ? "会话结束同意" : "会话结束拒绝";
    pid_t child = fork();
    if (child == 0) {
      execl("/proc/self/exe", "test_window", "--sigterm-child", agree ? "agree" : "refuse", title.c_str(),
            marker.c_str(), (char*)nullptr);
      _exit(127);
    }
    auto until = Clock::now() + std::chrono::seconds(5);
    while (FindWindow(WideFromUtf8(title)) == 0 && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(FindWindow(WideFromUtf8(title)), 0u);
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (agree) {
      EXPECT_EQ(WEXITSTATUS(status), 143);
      EXPECT_EQ(testutil::ReadFile(marker), "query 1\nend 1\n");
    } else {
      // Refused: the window ran to its own end.
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(testutil::ReadFile(marker), "query 1\n");
    }
  }
}

// ---- the display backend ----

TEST(Native, WindowShowsWhereAndHowItIsTold) {
  RecordingDlg dlg;
  ASSERT_TRUE(dlg.Create());
  dlg.MoveWindow(100, 50, 200, 100);
  dlg.ModifyStyleEx(WS_EX_APPWINDOW, WS_EX_TOOLWINDOW | WS_EX_TOPMOST);
  auto mapped = [&] {
    auto s = dlg.GetNativeState();
    return s.mapped && s.rect == CRect(100, 50, 300, 150);
  };
  if (IsHeadless()) {
    EXPECT_FALSE(dlg.GetNativeState().exists);
    EXPECT_EQ(dlg.GetNativeState().rect, CRect(100, 50, 300, 150));
    dlg.DestroyWindow();
    return;
  }
  EXPECT_TRUE(RunMessageLoop(mapped, 3000)) << dlg.GetNativeState().rect.left;
  auto s = dlg.GetNativeState();
  EXPECT_TRUE(s.keepAbove);
  EXPECT_TRUE(s.skipTaskbar);
  EXPECT_FALSE(s.shapeEmpty);
  dlg.MoveWindow(0, 0, 0, 0);
  RunMessageLoop([] { return false; }, 100);
  s = dlg.GetNativeState();
  EXPECT_TRUE(s.exists);
  EXPECT_TRUE(s.shapeEmpty);
  dlg.ModifyStyleEx(WS_EX_TOOLWINDOW, WS_EX_APPWINDOW);
  dlg.MoveWindow(120, 60, 200, 100);
  EXPECT_TRUE(RunMessageLoop([&] {
    auto st = dlg.GetNativeState();
    return st.rect == CRect(120, 60, 320, 160) && !st.shapeEmpty && !st.skipTaskbar;
  }, 3000));
  dlg.DestroyWindow();
}
