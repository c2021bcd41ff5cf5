// The window layer on Windows' own windows, queues, timers and GDI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "window/wnd.h"

namespace {

const UINT kEcho = plat::WM_USER + 1;
const UINT kEnd = plat::WM_USER + 2;

DlgTemplate ProbeTemplate() {
  DlgTemplate t;
  t.cx = 200;
  t.cy = 100;
  t.caption = u"quillup window test";
  t.items.push_back({1001, DlgItemKind::Static, 10, 10, 120, 16, u"状态 status", SS_LEFT});
  t.items.push_back({plat::IDCANCEL, DlgItemKind::Button, 140, 70, 50, 14, u"Stop", BS_PUSHBUTTON});
  return t;
}

class CProbeDlg : public CDialog {
 public:
  CProbeDlg() : CDialog(ProbeTemplate()) {}
  std::atomic<HWND> hwnd{0};
  std::atomic<int> ticks{0};
  std::vector<WPARAM> echoed;

 protected:
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    SetTimer(5, 20);
    hwnd = GetSafeHwnd();
    return true;
  }
  void OnTimer(UINT_PTR id) override {
    if (id == 5) ticks++;
  }
  LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override {
    if (msg == kEcho) {
      echoed.push_back(w);
      return (LRESULT)w * 2;
    }
    if (msg == kEnd) {
      EndDialog(77);
      return 0;
    }
    return CDialog::WindowProc(msg, w, l);
  }
};

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

}  // namespace

// Another thread reaches the dialog by the system's queue: a sent message
// returns the handler's answer, a posted one ends the modal loop; the
// system's timer ticks meanwhile; the handle is a window of the system.
TEST(WindowWin, ModalDialogServesSentPostedAndTimerMessages) {
  CProbeDlg dlg;
  LRESULT answer = 0;
  uint32_t pid = 0;
  HWND found = 0;
  int ticksSeen = 0;
  std::thread other([&] {
    ASSERT_TRUE(WaitFor([&] { return dlg.hwnd.load() != 0; }));
    HWND h = dlg.hwnd;
    answer = plat::SendMessage(h, kEcho, 21, 0);
    plat::GetWindowThreadProcessId(h, &pid);
    found = plat::FindWindow(u"quillup window test");
    WaitFor([&] { return dlg.ticks >= 3; });
    ticksSeen = dlg.ticks;
    plat::PostMessage(h, kEnd, 0, 0);
  });
  EXPECT_EQ(dlg.DoModal(), 77);
  other.join();
  EXPECT_EQ(answer, 42);
  EXPECT_EQ(dlg.echoed, std::vector<WPARAM>{21});
  EXPECT_EQ(pid, plat::CurrentProcessId());
  EXPECT_EQ(found, dlg.hwnd.load());
  EXPECT_LT(dlg.hwnd.load(), (HWND)1 << 32);  // a handle of the system, not one of the framework's own
  EXPECT_GE(ticksSeen, 3);
  EXPECT_FALSE(plat::IsWindow(dlg.hwnd));
}

// Text is measured and drawn by GDI into the framework's pictures.
TEST(WindowWin, ControlsPaintTheirTextThroughGdi) {
  CProbeDlg dlg;
  ASSERT_TRUE(dlg.Create());
  CWnd* label = dlg.GetDlgItem(1001);
  ASSERT_NE(label, nullptr);
  CBitmap probe;
  probe.Attach(plat::CreateBitmap(1, 1));
  CDC dc(probe.GetSafeHandle());
  EXPECT_GT(dc.GetTextExtent(u"状态 status").cx, 20);
  CBitmap shot;
  shot.Attach(label->PrintWindow());
  CSize size = shot.GetSize();
  ASSERT_GT(size.cx, 0);
  int dark = 0;
  for (int y = 0; y < size.cy; y++)
    for (int x = 0; x < size.cx; x++) dark += plat::GetRValue(plat::GetPixel(shot.GetSafeHandle(), x, y)) < 128;
  EXPECT_GT(dark, 10);
  dlg.DestroyWindow();
}

// A message window of its own thread, found by its title as another
// process would find it, gets what is posted to it until unregistered.
TEST(WindowWin, MessageWindowReceivesPostsUntilUnregistered) {
  std::atomic<int> got{0};
  HWND h = plat::RegisterMessageWindow(u"quillup test receiver", [&](UINT msg, WPARAM w, LPARAM) -> LRESULT {
    if (msg == plat::WM_USER + 3) got = (int)w;
    return 0;
  });
  ASSERT_NE(h, 0u);
  EXPECT_EQ(plat::FindWindow(u"quillup test receiver"), h);
  EXPECT_TRUE(plat::PostMessage(h, plat::WM_USER + 3, 9, 0));
  EXPECT_TRUE(WaitFor([&] { return got == 9; }));
  plat::UnregisterMessageWindow(h);
  EXPECT_FALSE(plat::IsWindow(h));
  EXPECT_FALSE(plat::PostMessage(h, plat::WM_USER + 3, 1, 0));
}
