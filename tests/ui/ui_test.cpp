// The update window's look, the notices and the custom controls, read
// back from the framework and from the pictures they paint.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "common/testutil.h"
#include "opfile/opfile.h"
#include "support/log.h"
#include "ui/controls.h"
#include "ui/notices.h"
#include "ui/resources.h"
#include "ui/updatedlg_view.h"

using namespace plat;

namespace {

// A 24-bit BMP of one colour with a differently coloured first column.
void WriteBmp(const std::string& path, int w, int h, COLORREF c) {
  int row = (w * 3 + 3) & ~3;
  std::string d = "BM";
  auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; i++) d.push_back((char)(v >> (8 * i))); };
  auto put16 = [&](uint16_t v) { d.push_back((char)v); d.push_back((char)(v >> 8)); };
  put32(54 + row * h); put32(0); put32(54);
  put32(40); put32(w); put32(h); put16(1); put16(24); put32(0); put32(row * h); put32(2835); put32(2835); put32(0); put32(0);
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      COLORREF p = x == 0 ? 0x00FF00 : c;
      d.push_back((char)GetBValue(p)); d.push_back((char)GetGValue(p)); d.push_back((char)GetRValue(p));
    }
    d.append(row - w * 3, '\0');
  }
  testutil::WriteFile(path, d);
}

// An installation with a configuration naming the skin file.
struct Install {
  testutil::TempDir dir;
  COpFile op;
  explicit Install(const std::string& skin, const std::string& color = "") {
    testutil::WriteFile(dir.sub("config/quillupcfg.ini"),
                        "[QUILLUP_CFG]\nOUTSIDE_DOWNLOAD_URL=http://127.0.0.1/\nBIN_FILE=ZoTrade/ZoTrade\n"
                        "SPLASH_BMP_FILE=" + skin + "\nQUILLUP_DIALOG_WINDOW_NAME=升级\nQUILLUP_VERSION=1\n"
                        "STATUS_BAR_TEXT_COLOR=" + color + "\nQUILLUP_ID=1\n");
    EXPECT_TRUE(op.ReadQuillupCfgIni(dir.wsub("config/quillupcfg.ini")));
  }
};

CRect ClientRectOf(CWnd& parent, CWnd& c) {
  CRect r;
  c.GetWindowRect(r);
  parent.ScreenToClient(r);
  return r;
}

// Pixels of the bitmap inside r that are not the given colour.
int CountOther(HBITMAP b, const CRect& r, COLORREF c) {
  int n = 0;
  for (int y = r.top; y < r.bottom; y++)
    for (int x = r.left; x < r.right; x++) n += GetPixel(b, x, y) != c;
  return n;
}

bool Reddish(COLORREF c) { return GetRValue(c) > 150 && GetGValue(c) < 100 && GetBValue(c) < 100; }
// Text is drawn smoothed: its core pixels come close to the colour.
bool Near(COLORREF a, COLORREF b) {
  return std::abs(GetRValue(a) - GetRValue(b)) + std::abs(GetGValue(a) - GetGValue(b)) +
             std::abs(GetBValue(a) - GetBValue(b)) < 60;
}

}  // namespace

// ---- the update window ----

TEST(UpdateLook, BuiltInSkinWhenTheFileIsNoBitmap) {
  Install inst("skin/none.bmp");
  testutil::WriteFile(inst.dir.sub("skin/none.bmp"), "not a picture");
  CUpdateDlgView dlg;
  ASSERT_TRUE(dlg.Create());
  EXPECT_FALSE(dlg.LoadSkin(inst.op, inst.dir.wpath()));
  dlg.LayoutSkin();
  CRect w;
  dlg.GetWindowRect(w);
  CRect work = GetWorkArea();
  EXPECT_EQ(w.Width(), 510);
  EXPECT_EQ(w.Height(), 316);
  EXPECT_EQ(w.left, work.left + (work.Width() - 510) / 2);
  EXPECT_EQ(w.top, work.top + (work.Height() - 316) / 2);
  // The stop button keeps its template size (32 x 14 units of SimSun 9).
  EXPECT_EQ(ClientRectOf(dlg, dlg.m_btnStop), CRect(462, 295, 510, 316));
  EXPECT_EQ(ClientRectOf(dlg, dlg.m_lblPercent), CRect(414, 295, 462, 316));
  EXPECT_EQ(ClientRectOf(dlg, dlg.m_lblStatus), CRect(5, 295, 414, 316));
  EXPECT_EQ(dlg.m_btnStop.GetWindowText(), u"终止");
  dlg.DestroyWindow();
}

TEST(UpdateLook, WideSkinFileKeepsControlsOnTheBottomEdge) {
  Install inst("\\skin\\wide.bmp", "FF");
  WriteBmp(inst.dir.sub("skin/wide.bmp"), 800, 120, 0x204060);
  CUpdateDlgView dlg;
  ASSERT_TRUE(dlg.Create());
  ASSERT_TRUE(dlg.LoadSkin(inst.op, inst.dir.wpath() + u"/"));
  dlg.LayoutSkin();
  CRect w;
  dlg.GetWindowRect(w);
  EXPECT_EQ(w.Size(), CSize(800, 120));
  EXPECT_EQ(ClientRectOf(dlg, dlg.m_btnStop), CRect(752, 99, 800, 120));
  EXPECT_EQ(ClientRectOf(dlg, dlg.m_lblPercent), CRect(704, 99, 752, 120));
  EXPECT_EQ(ClientRectOf(dlg, dlg.m_lblStatus), CRect(5, 99, 704, 120));
  // "FF" is red in blue-green-red order; the skin shows through the labels.
  dlg.SetTextColor(inst.op.GetStatusBarTextColor());
  EXPECT_EQ(dlg.m_lblStatus.GetTextColor(), 0x0000FFu);
  dlg.SetStatusText(u"正在下载升级包");
  dlg.SetPercentText(u" 42%");
  HBITMAP shot = dlg.PrintWindow();
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(GetPixel(shot, 0, 50), 0x00FF00u);   // the skin's first column
  EXPECT_EQ(GetPixel(shot, 400, 50), 0x204060u);
  EXPECT_EQ(GetPixel(shot, 690, 115), 0x204060u);  // status label, right of its text
  int red = 0;
  for (int y = 99; y < 120; y++)
    for (int x = 5; x < 200; x++) red += Reddish(GetPixel(shot, x, y));
  EXPECT_GT(red, 20);
  DeleteObject(shot);
  dlg.DestroyWindow();
}

TEST(UpdateLook, DisabledStopButtonIsEmbossedAndDoesNotClick) {
  Install inst("none.bmp");
  CUpdateDlgView dlg;
  ASSERT_TRUE(dlg.Create());
  dlg.LoadSkin(inst.op, inst.dir.wpath());
  dlg.LayoutSkin();
  dlg.SetTextColor(0xD2D2D2);
  CRect stop = ClientRectOf(dlg, dlg.m_btnStop);
  HBITMAP enabled = dlg.PrintWindow();
  dlg.EnableStop(false);
  EXPECT_FALSE(dlg.m_btnStop.IsWindowEnabled());
  HBITMAP disabled = dlg.PrintWindow();
  int grey = 0, white = 0, light = 0;
  for (int y = stop.top; y < stop.bottom; y++)
    for (int x = stop.left; x < stop.right; x++) {
      COLORREF e = GetPixel(enabled, x, y), d = GetPixel(disabled, x, y);
      light += Near(e, 0xD2D2D2);
      grey += Near(d, kColorBtnShadow) && !Near(d, 0xD2D2D2);
      // On the dark strip only the highlight is this bright.
      white += GetRValue(d) > 0xC8 && GetGValue(d) > 0xC8 && GetBValue(d) > 0xC8;
    }
  EXPECT_GT(light, 5);   // enabled: the text colour
  EXPECT_GT(grey, 5);    // disabled: shadow and highlight, no text colour
  EXPECT_GT(white, 5);
  DeleteObject(enabled);
  DeleteObject(disabled);
  // A press on the disabled button drags the window instead of clicking.
  dlg.InjectMouse(WM_LBUTTONDOWN, stop.CenterPoint());
  dlg.InjectMouse(WM_LBUTTONUP, stop.CenterPoint());
  EXPECT_TRUE(dlg.TakeDragStarted());
  EXPECT_FALSE(dlg.m_btnStop.IsPressed());
  dlg.EnableStop(true);
  dlg.InjectMouse(WM_LBUTTONDOWN, stop.CenterPoint());
  EXPECT_FALSE(dlg.TakeDragStarted());
  EXPECT_TRUE(dlg.m_btnStop.IsPressed());
  dlg.InjectMouse(WM_LBUTTONUP, stop.CenterPoint());
  // The status text drags the window (labels take no mouse input).
  dlg.InjectMouse(WM_LBUTTONDOWN, ClientRectOf(dlg, dlg.m_lblStatus).CenterPoint());
  EXPECT_TRUE(dlg.TakeDragStarted());
  dlg.DestroyWindow();
}

TEST(UpdateLook, BackgroundModeCoversNothingAndComesBackInPlace) {
  Install inst("none.bmp");
  CUpdateDlgView dlg;
  ASSERT_TRUE(dlg.Create());
  dlg.LoadSkin(inst.op, inst.dir.wpath());
  dlg.LayoutSkin();
  CRect before;
  dlg.GetWindowRect(before);
  CRect saved;
  dlg.EnterBackgroundLook(u"c..a.b~update~", saved);
  EXPECT_EQ(saved, before);
  CRect now;
  dlg.GetWindowRect(now);
  EXPECT_TRUE(now.IsRectEmpty());
  EXPECT_TRUE(dlg.IsWindowVisible());
  EXPECT_TRUE(dlg.GetExStyle() & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(dlg.GetExStyle() & WS_EX_APPWINDOW);
  EXPECT_EQ(FindWindow(u"c..a.b~update~"), dlg.GetSafeHwnd());
  EXPECT_EQ(dlg.PrintWindow(), nullptr);
  if (!IsHeadless()) {
    EXPECT_TRUE(RunMessageLoop([&] { return dlg.GetNativeState().mapped; }, 3000));
    auto s = dlg.GetNativeState();
    EXPECT_TRUE(s.shapeEmpty);
    EXPECT_TRUE(s.skipTaskbar);
    EXPECT_TRUE(s.keepAbove);
  }
  dlg.ReturnToForegroundLook(u"升级", saved);
  EXPECT_TRUE(saved.IsRectEmpty());
  dlg.GetWindowRect(now);
  EXPECT_EQ(now, before);
  EXPECT_EQ(dlg.GetWindowText(), u"升级");
  EXPECT_TRUE(dlg.GetExStyle() & WS_EX_APPWINDOW);
  if (!IsHeadless()) {
    EXPECT_TRUE(RunMessageLoop([&] {
      auto s = dlg.GetNativeState();
      return s.mapped && !s.shapeEmpty && !s.skipTaskbar && s.rect == before;
    }, 3000));
  }
  dlg.DestroyWindow();
}

// ---- the toast ----

namespace {
class RecordingTip : public CTipDlg {
 public:
  std::vector<WString> labels;
  std::vector<bool> endedAt;
  std::function<void()> onShown;
  bool OnInitDialog() override {
    CTipDlg::OnInitDialog();
    PostMessage(WM_USER + 77);  // handled once the toast is shown
    return true;
  }
  LRESULT WindowProc(UINT m, WPARAM w, LPARAM l) override {
    if (m == WM_USER + 77) {
      if (onShown) onShown();
      return 1;
    }
    return CTipDlg::WindowProc(m, w, l);
  }
  void OnTimer(UINT_PTR id) override {
    CTipDlg::OnTimer(id);
    labels.push_back(m_lblCount.GetText());
    endedAt.push_back(!GetSafeHwnd() || GetCounter() <= 0);
  }
};
}  // namespace

TEST(Toast, StandsInTheWorkAreaCornerWithItsButtons) {
  CTipDlg tip;
  ASSERT_TRUE(tip.Create());
  CRect w, work = GetWorkArea();
  tip.GetWindowRect(w);
  EXPECT_EQ(w.Size(), CSize(255, 86));  // 170 x 53 units of MS Shell Dlg 8
  EXPECT_EQ(w.right, work.right - 2);
  EXPECT_EQ(w.bottom, work.bottom - 2);
  EXPECT_EQ(ClientRectOf(tip, tip.m_btnOk), CRect(149, 55, 245, 79));
  EXPECT_EQ(ClientRectOf(tip, tip.m_btnClose), CRect(227, 5, 250, 28));
  EXPECT_EQ(tip.m_lblCount.GetText(), u"10");
  EXPECT_EQ(tip.m_lblMessage.GetText(), u"更新下载完成，下次启动后生效");
  EXPECT_EQ(tip.m_lblCount.GetTextColor(), 0xCC4940u);
  // Rounded region: the top-left corner pixel is cut, the rest is there.
  EXPECT_FALSE(tip.PtInWindowRgn(CPoint(0, 0)));
  EXPECT_TRUE(tip.PtInWindowRgn(CPoint(1, 0)));
  EXPECT_TRUE(tip.PtInWindowRgn(CPoint(254, 85)));
  HBITMAP shot = tip.PrintWindow();
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(GetPixel(shot, 0, 0), 0xFAF6EFu);   // corner cut by two pixels
  EXPECT_EQ(GetPixel(shot, 2, 0), 0x978258u);
  EXPECT_EQ(GetPixel(shot, 251, 0), 0x978258u);  // right - 4 on the top edge
  EXPECT_EQ(GetPixel(shot, 253, 1), 0x978258u);  // the cut corner's diagonal
  EXPECT_EQ(GetPixel(shot, 254, 40), 0x978258u);
  EXPECT_EQ(GetPixel(shot, 0, 40), 0x978258u);
  EXPECT_EQ(GetPixel(shot, 100, 85), 0x978258u);
  EXPECT_EQ(GetPixel(shot, 150, 56), 0xFAF6EFu);  // the OK button's one-pixel margin
  HBITMAP quit = ui::LoadBitmapResource(ui::IDB_QUIT_UPDATE);
  EXPECT_EQ(GetPixel(shot, 150, 56), GetPixel(quit, 0, 0));  // same as the picture's edge colour
  EXPECT_EQ(GetPixel(shot, 150 + 40, 56 + 11), GetPixel(quit, 40, 11));
  DeleteObject(quit);
  DeleteObject(shot);
  tip.DestroyWindow();
}

TEST(Toast, CountsDownAndClosesAsCancelOnTheTenthTick) {
  RecordingTip tip;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tip.DoModal(), IDCANCEL);
  auto secs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(tip.labels, (std::vector<WString>{u" 9", u" 8", u" 7", u" 6", u" 5", u" 4", u" 3", u" 2", u" 1", u" 0"}));
  EXPECT_EQ(tip.endedAt, (std::vector<bool>{false, false, false, false, false, false, false, false, false, true}));
  EXPECT_GE(secs, 9900);
  EXPECT_LT(secs, 13000);
}

TEST(Toast, CloseCrossOkButtonAndCloseRequest) {
  {
    RecordingTip tip;
    tip.onShown = [&] {
      CPoint p = ClientRectOf(tip, tip.m_btnClose).CenterPoint();
      tip.InjectMouse(WM_LBUTTONDOWN, p);
      tip.InjectMouse(WM_LBUTTONUP, p);
    };
    EXPECT_EQ(tip.DoModal(), IDCANCEL);
    EXPECT_TRUE(tip.labels.empty());
  }
  {
    RecordingTip tip;
    tip.onShown = [&] {
      CPoint p = ClientRectOf(tip, tip.m_btnOk).CenterPoint();
      tip.InjectMouse(WM_LBUTTONDOWN, p);
      tip.InjectMouse(WM_LBUTTONUP, p);
    };
    EXPECT_EQ(tip.DoModal(), IDOK);
  }
  {
    RecordingTip tip;
    tip.onShown = [&] { tip.PostMessage(WM_CLOSE); };
    EXPECT_EQ(tip.DoModal(), IDCANCEL);
  }
  {
    // The toast drags by its face, not by its buttons.
    CTipDlg tip;
    ASSERT_TRUE(tip.Create());
    tip.InjectMouse(WM_LBUTTONDOWN, CPoint(60, 30));
    EXPECT_TRUE(tip.TakeDragStarted());
    tip.InjectMouse(WM_LBUTTONDOWN, ClientRectOf(tip, tip.m_btnOk).CenterPoint());
    EXPECT_FALSE(tip.TakeDragStarted());
    tip.DestroyWindow();
  }
}

// ---- the missing-files notice ----

TEST(UrlNotice, LinkOpensTheMakersSiteAndClosesAsOk) {
  std::vector<WString> opened;
  SetShellOpenHandler([&](const WString& u) {
    opened.push_back(u);
    return true;
  });
  testutil::TempDir tmp;
  CLog::Instance()->SetPath(tmp.wsub("tarvex.log"));
  if (IsHeadless()) {
    CUrlDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(opened.empty());
    EXPECT_NE(testutil::ReadFile(tmp.sub("tarvex.log")).find("客户端缺失必要文件，请到 Corvane网 重新下载安装！"),
              std::string::npos);
  } else {
    struct Clicker : CUrlDlg {
      bool OnInitDialog() override {
        CUrlDlg::OnInitDialog();
        PostMessage(WM_USER + 77);
        return true;
      }
      LRESULT WindowProc(UINT m, WPARAM w, LPARAM l) override {
        if (m != WM_USER + 77) return CUrlDlg::WindowProc(m, w, l);
        CPoint p = ClientRectOf(*this, m_link).CenterPoint();
        InjectMouse(WM_MOUSEMOVE, p);
        InjectMouse(WM_LBUTTONDOWN, p);
        InjectMouse(WM_LBUTTONUP, p);
        return 1;
      }
    } dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(opened, (std::vector<WString>{ui::kMakerUrl}));
  }
  CLog::Instance()->SetPath(u"");
  SetShellOpenHandler(nullptr);
}

TEST(UrlNotice, SentenceReadsAcrossOneLine) {
  CUrlDlg dlg;
  ASSERT_TRUE(dlg.Create());
  CRect link = ClientRectOf(dlg, dlg.m_link);
  EXPECT_EQ(link, CRect(159, 34, 222, 47));
  EXPECT_EQ(dlg.GetWindowText(), u"提示");
  EXPECT_TRUE(dlg.m_link.GetStyle() & SS_NOTIFY);
  HBITMAP shot = dlg.PrintWindow();
  int blue = 0;
  for (int y = link.top; y < link.bottom; y++)
    for (int x = link.left; x < link.right; x++) {
      COLORREF c = GetPixel(shot, x, y);
      blue += GetBValue(c) > 180 && GetRValue(c) < 120;
    }
  EXPECT_GT(blue, 20);
  DeleteObject(shot);
  dlg.DestroyWindow();
}

// ---- the controls by themselves ----

namespace {
DlgTemplate Bare() {
  DlgTemplate t;
  t.cx = 200;
  t.cy = 100;
  t.baseX = 4;
  t.baseY = 8;
  t.items = {{10, DlgItemKind::Button, 10, 10, 96, 24, u"&Stop", BS_PUSHBUTTON},
             {11, DlgItemKind::Static, 10, 50, 40, 16, u"", SS_LEFT},
             {12, DlgItemKind::Static, 120, 50, 60, 16, u"link", SS_LEFT}};
  return t;
}
struct Host : CDialog {
  Host() : CDialog(Bare()) {}
  void DoDataExchange() override {
    DDX_Control(10, btn);
    DDX_Control(11, label);
    DDX_Control(12, link);
  }
  LRESULT WindowProc(UINT m, WPARAM w, LPARAM l) override {
    if (m >= WM_USER) posted.push_back(m);
    return CDialog::WindowProc(m, w, l);
  }
  CColorBtn btn;
  CLabel label;
  CHyperLnk link;
  std::vector<UINT> posted;
};
}  // namespace

TEST(Controls, ColorButtonImageMarginAndPressedOffset) {
  Host h;
  ASSERT_TRUE(h.Create());
  EXPECT_EQ(h.btn.GetStyle() & BS_TYPEMASK, (uint32_t)BS_OWNERDRAW);
  h.btn.SetBkColor(0x112233);
  HBITMAP img = CreateBitmap(94, 22, 0x445566);
  CDC(img).SetPixel(0, 0, 0x778899);
  h.btn.SetImage(img);
  CRect r = ClientRectOf(h, h.btn);
  HBITMAP up = h.PrintWindow();
  EXPECT_EQ(GetPixel(up, r.left, r.top), 0x112233u);
  EXPECT_EQ(GetPixel(up, r.left + 1, r.top + 1), 0x778899u);
  EXPECT_EQ(GetPixel(up, r.right - 1, r.bottom - 1), 0x112233u);
  h.InjectMouse(WM_LBUTTONDOWN, r.CenterPoint());
  HBITMAP down = h.PrintWindow();
  EXPECT_EQ(GetPixel(down, r.left + 1, r.top + 1), 0x112233u);
  EXPECT_EQ(GetPixel(down, r.left + 2, r.top + 2), 0x778899u);
  EXPECT_EQ(GetPixel(down, r.right - 1, r.bottom - 1), 0x445566u);
  h.InjectMouse(WM_LBUTTONUP, r.CenterPoint());
  // Disabled with an image: unchanged.
  h.btn.EnableWindow(false);
  HBITMAP dis = h.PrintWindow();
  EXPECT_EQ(CountOther(dis, r, 0) , CountOther(up, r, 0));
  for (int y = r.top; y < r.bottom; y++)
    for (int x = r.left; x < r.right; x++) ASSERT_EQ(GetPixel(dis, x, y), GetPixel(up, x, y));
  for (HBITMAP b : {up, down, dis}) DeleteObject(b);
  h.DestroyWindow();
}

TEST(Controls, SettersOwnTheirBitmapsAndLabelCutsText) {
  int before = LiveBitmapCount();
  {
    Host h;
    ASSERT_TRUE(h.Create());
    h.label.SetBkBitmap(CreateBitmap(5, 5));
    h.label.SetBkBitmap(CreateBitmap(5, 5));
    h.btn.SetBkBitmap(CreateBitmap(5, 5));
    h.btn.SetBkBitmap(CreateBitmap(5, 5));
    EXPECT_EQ(LiveBitmapCount(), before + 2);
    // Too long for 40 pixels: cut at the edge, nothing drawn beside it.
    h.label.SetBkColor(0x000000);
    h.label.SetTextColor(0xFFFFFF);
    h.label.SetText(u"一二三四五六七八九十");
    CRect r = ClientRectOf(h, h.label);
    HBITMAP shot = h.PrintWindow();
    int lit = 0;
    for (int y = r.top; y < r.bottom; y++) lit += GetPixel(shot, r.right - 2, y) != 0x000000u;
    EXPECT_GT(lit, 0);
    for (int y = r.top; y < r.bottom; y++) EXPECT_EQ(GetPixel(shot, r.right, y), kColorBtnFace);
    DeleteObject(shot);
    h.DestroyWindow();
  }
  EXPECT_EQ(LiveBitmapCount(), before);
}

TEST(Controls, ColorButtonTextEmbossedWhenDisabled) {
  Host h;
  ASSERT_TRUE(h.Create());
  h.btn.SetBkColor(0x808080 + 0x101010);
  h.btn.SetTextColor(0x0000FF);
  CRect r = ClientRectOf(h, h.btn);
  HBITMAP on = h.PrintWindow();
  h.btn.EnableWindow(false);
  HBITMAP off = h.PrintWindow();
  int redOn = 0, redOff = 0, whiteOff = 0;
  for (int y = r.top; y < r.bottom; y++)
    for (int x = r.left; x < r.right; x++) {
      redOn += Reddish(GetPixel(on, x, y));
      redOff += Reddish(GetPixel(off, x, y));
      whiteOff += Near(GetPixel(off, x, y), 0xFFFFFF);
    }
  EXPECT_GT(redOn, 10);
  EXPECT_EQ(redOff, 0);
  EXPECT_GT(whiteOff, 5);
  DeleteObject(on);
  DeleteObject(off);
  h.DestroyWindow();
}

TEST(Controls, LinkWithoutAddressDoesNothing) {
  std::vector<WString> opened;
  SetShellOpenHandler([&](const WString& u) {
    opened.push_back(u);
    return true;
  });
  Host h;
  ASSERT_TRUE(h.Create());
  CPoint p = ClientRectOf(h, h.link).CenterPoint();
  h.InjectMouse(WM_LBUTTONDOWN, p);
  h.InjectMouse(WM_LBUTTONUP, p);
  PumpMessages();
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(h.posted.empty());
  EXPECT_FALSE(h.TakeDragStarted());  // the link takes the click
  h.link.SetLink(u"http://127.0.0.1/", 0);
  h.InjectMouse(WM_LBUTTONDOWN, p);
  PumpMessages();
  EXPECT_EQ(opened.size(), 1u);
  EXPECT_TRUE(h.posted.empty());
  h.link.SetLink(u"http://127.0.0.1/", 3000);
  h.InjectMouse(WM_LBUTTONDOWN, p);
  PumpMessages();
  EXPECT_EQ(h.posted, (std::vector<UINT>{3000}));
  h.DestroyWindow();
  SetShellOpenHandler(nullptr);
}
