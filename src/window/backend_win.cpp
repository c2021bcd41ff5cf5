// The Windows toolkit: top-level windows of the system shown through GDI,
// pictures loaded by the system's bitmap loader and text drawn by GDI into
// a bitmap's pixels. Its objects go into a program whole (it registers
// itself before main), as the GTK toolkit's do on Linux.
#include <cstring>
#include <vector>

#include "support/log.h"
#include "window/toolkit.h"
#include "window/wnd_internal.h"
#include "window/win32_win.h"

namespace plat {
namespace {

class Win32Native : public NativeWindow {
 public:
  explicit Win32Native(CWnd* wnd) : m_h(Win(wnd->GetSafeHwnd())) { SetPropW(m_h, kHandCursorProp, &m_hand); }
  ~Win32Native() override {
    RemovePropW(m_h, kHandCursorProp);
    if (m_icon) DestroyIcon(m_icon);
  }
  void SetTitle(const WString& title) override { SetWindowTextW(m_h, Wide(title).c_str()); }
  void SetGeometry(const CRect& screen) override {
    // The framework's rectangle is the client area; a caption goes around it.
    RECT r = {screen.left, screen.top, screen.right, screen.bottom};
    AdjustWindowRectEx(&r, (DWORD)GetWindowLongPtrW(m_h, GWL_STYLE), FALSE,
                       (DWORD)GetWindowLongPtrW(m_h, GWL_EXSTYLE));
    SetWindowPos(m_h, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void SetVisible(bool visible) override {
    bool quiet = GetWindowLongPtrW(m_h, GWL_EXSTYLE) & WS_EX_TOOLWINDOW;
    ShowWindow(m_h, !visible ? SW_HIDE : quiet ? SW_SHOWNOACTIVATE : SW_SHOW);
  }
  void SetExStyle(uint32_t exStyle) override {
    LONG_PTR ex = GetWindowLongPtrW(m_h, GWL_EXSTYLE) & ~(LONG_PTR)(WS_EX_TOOLWINDOW | WS_EX_APPWINDOW);
    SetWindowLongPtrW(m_h, GWL_EXSTYLE, ex | (exStyle & (WS_EX_TOOLWINDOW | WS_EX_APPWINDOW)));
    SetWindowPos(m_h, (exStyle & WS_EX_TOPMOST) ? (WinHWND)-1 : (WinHWND)-2, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  }
  void SetShape(const std::vector<CRect>* rects) override {
    m_shapeEmpty = rects && rects->empty();
    if (!rects) {
      SetWindowRgn(m_h, nullptr, TRUE);
      return;
    }
    HRGN rgn = CreateRectRgn(0, 0, 0, 0);
    for (const CRect& r : *rects) {
      HRGN part = CreateRectRgn(r.left, r.top, r.right, r.bottom);
      CombineRgn(rgn, rgn, part, RGN_OR);
      ::DeleteObject(part);
    }
    SetWindowRgn(m_h, rgn, TRUE);  // the system owns rgn now
  }
  void Present() override {
    SetForegroundWindow(m_h);
    BringWindowToTop(m_h);
  }
  void Flush(const CRect& dirty) override {
    RECT r = {dirty.left, dirty.top, dirty.right, dirty.bottom};
    RedrawWindow(m_h, &r, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
  }
  void SetCursorHand(bool hand) override {
    if (hand == m_hand) return;
    m_hand = hand;
    SetCursor(LoadCursorW(nullptr, hand ? IDC_HAND : IDC_ARROW));
  }
  void BeginMoveDrag() override {
    // The system's own move loop, as a press on a caption starts it.
    ReleaseCapture();
    PostMessageW(m_h, WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0);
  }
  void SetIcon(HBITMAP icon) override {
    CSize s = GetBitmapSize(icon);
    if (!BitmapPixels(icon) || s.cx <= 0 || s.cy <= 0) return;
    ::HBITMAP color = ::CreateBitmap(s.cx, s.cy, 1, 32, BitmapPixels(icon));
    std::vector<uint8_t> zeros((size_t)((s.cx + 15) / 16 * 2) * s.cy, 0);
    ::HBITMAP mask = ::CreateBitmap(s.cx, s.cy, 1, 1, zeros.data());
    ICONINFO ii = {TRUE, 0, 0, mask, color};
    HICON made = CreateIconIndirect(&ii);
    ::DeleteObject(color);
    ::DeleteObject(mask);
    if (!made) return;
    SendMessageW(m_h, WM_SETICON, ICON_BIG, (WinLPARAM)made);
    SendMessageW(m_h, WM_SETICON, ICON_SMALL, (WinLPARAM)made);
    if (m_icon) DestroyIcon(m_icon);
    m_icon = made;
  }
  void SetOwner(NativeWindow* owner) override {
    auto* o = static_cast<Win32Native*>(owner);
    SetWindowLongPtrW(m_h, GWLP_HWNDPARENT, (LONG_PTR)(o ? o->m_h : nullptr));
  }
  CWnd::NativeState Query() override {
    CWnd::NativeState s;
    s.exists = ::IsWindow(m_h) != FALSE;
    s.mapped = IsWindowVisible(m_h) != FALSE;
    RECT c;
    GetClientRect(m_h, &c);
    POINT o = {0, 0};
    ClientToScreen(m_h, &o);
    s.rect = CRect(o.x, o.y, o.x + c.right, o.y + c.bottom);
    LONG_PTR ex = GetWindowLongPtrW(m_h, GWL_EXSTYLE);
    s.keepAbove = ex & WS_EX_TOPMOST;
    s.skipTaskbar = ex & WS_EX_TOOLWINDOW;
    s.shapeEmpty = m_shapeEmpty;
    wchar_t title[512];
    int n = GetWindowTextW(m_h, title, 512);
    s.title = WString(title, title + (n > 0 ? n : 0));
    return s;
  }

 private:
  WinHWND m_h;
  bool m_hand = false;
  bool m_shapeEmpty = false;
  HICON m_icon = nullptr;
};

class Win32Backend : public Backend {
 public:
  bool Headless() const override { return false; }
  NativeWindow* Create(CWnd* wnd) override { return wnd->GetSafeHwnd() ? new Win32Native(wnd) : nullptr; }
  CRect WorkArea() override {
    RECT r;
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0)) return Screen();
    return CRect(r.left, r.top, r.right, r.bottom);
  }
  CRect Screen() override { return CRect(0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)); }
  bool OpenUrl(const WString& url) override {
    auto r = (intptr_t)ShellExecuteW(nullptr, L"open", Wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (r > 32) return true;
    LogWrite(LOG_WARN, "plat::ShellOpen", u"打开网址失败:" + url);
    return false;
  }
  // The loops wait on the system's queue themselves.
  void Wait(std::vector<pollfd>& fds, int timeoutMs) override { PollFds(fds, timeoutMs); }
  bool Pump() override { return false; }
};

Backend* NewWin32Backend() { return new Win32Backend; }

HBITMAP LoadWithSystem(const WString& path) {
  auto img = (::HBITMAP)LoadImageW(nullptr, Wide(path).c_str(), IMAGE_BITMAP, 0, 0,
                                   LR_LOADFROMFILE | LR_CREATEDIBSECTION);
  if (!img) return nullptr;
  BITMAP info = {};
  GetObjectW(img, sizeof info, &info);
  HBITMAP b = CreateBitmap(info.bmWidth, info.bmHeight);
  if (b) {
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = info.bmWidth;
    bi.bmiHeader.biHeight = -info.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC dc = CreateCompatibleDC(nullptr);
    if (GetDIBits(dc, img, 0, info.bmHeight, BitmapPixels(b), &bi, DIB_RGB_COLORS) != info.bmHeight) {
      DeleteObject(b);
      b = nullptr;
    }
    DeleteDC(dc);
  }
  ::DeleteObject(img);
  // A bitmap keeps no alpha: the top byte stays clear.
  if (uint32_t* px = BitmapPixels(b)) {
    CSize s = GetBitmapSize(b);
    for (size_t i = 0; i < (size_t)s.cx * s.cy; i++) px[i] &= 0xFFFFFF;
  }
  return b;
}

HFONT MakeFont(const CFont& f) {
  return CreateFontW(-f.pixelHeight, 0, 0, 0, f.bold ? FW_BOLD : FW_NORMAL, FALSE, f.underline, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, Wide(f.family).c_str());
}

const UINT kPassedFormat = DT_CENTER | DT_RIGHT | DT_VCENTER | DT_WORDBREAK | DT_SINGLELINE | DT_NOPREFIX;

CSize TextExtent(const CFont& font, const WString& text, bool noPrefix) {
  HDC dc = CreateCompatibleDC(nullptr);
  HFONT f = MakeFont(font);
  HGDIOBJ old = SelectObject(dc, f);
  std::wstring w = Wide(text);
  RECT r = {0, 0, 0, 0};
  DrawTextW(dc, w.c_str(), (int)w.size(), &r, DT_CALCRECT | DT_SINGLELINE | (noPrefix ? DT_NOPREFIX : 0));
  SelectObject(dc, old);
  ::DeleteObject(f);
  DeleteDC(dc);
  return CSize(r.right - r.left, r.bottom - r.top);
}

// GDI draws into a DIB section holding the clipped part of the target,
// which is then copied back.
int DrawText(HBITMAP target, const CRect& clip, const CRect& box, const CFont& font, const WString& text,
             uint32_t format, COLORREF color) {
  CSize size = GetBitmapSize(target);
  CRect c;
  if (!BitmapPixels(target) || !c.IntersectRect(clip, CRect(0, 0, size.cx, size.cy))) return 0;
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = c.Width();
  bi.bmiHeader.biHeight = -c.Height();
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  HDC dc = CreateCompatibleDC(nullptr);
  void* bits = nullptr;
  ::HBITMAP dib = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!dib) {
    DeleteDC(dc);
    return 0;
  }
  uint32_t* px = BitmapPixels(target);
  auto* part = (uint32_t*)bits;
  for (int y = 0; y < c.Height(); y++)
    memcpy(part + (size_t)y * c.Width(), px + (size_t)(c.top + y) * size.cx + c.left, (size_t)c.Width() * 4);
  HGDIOBJ oldBmp = SelectObject(dc, dib);
  HFONT f = MakeFont(font);
  HGDIOBJ oldFont = SelectObject(dc, f);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(GetRValue(color), GetGValue(color), GetBValue(color)));
  SetViewportOrgEx(dc, -c.left, -c.top, nullptr);
  std::wstring w = Wide(text);
  RECT r = {box.left, box.top, box.right, box.bottom};
  int height = DrawTextW(dc, w.c_str(), (int)w.size(), &r, format & kPassedFormat);
  GdiFlush();
  for (int y = 0; y < c.Height(); y++) {
    uint32_t* row = px + (size_t)(c.top + y) * size.cx + c.left;
    const uint32_t* src = part + (size_t)y * c.Width();
    for (int x = 0; x < c.Width(); x++) row[x] = src[x] & 0xFFFFFF;
  }
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBmp);
  ::DeleteObject(f);
  ::DeleteObject(dib);
  DeleteDC(dc);
  return height;
}

const Toolkit kWin32Toolkit = {NewWin32Backend, LoadWithSystem, TextExtent, DrawText};
const bool g_registered = RegisterToolkit(kWin32Toolkit);

}  // namespace
}  // namespace plat
