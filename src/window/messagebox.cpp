// Message boxes (a small dialog of the framework) and opening addresses.
#include <mutex>

#include "window/wnd_internal.h"
#include "support/log.h"

namespace plat {
namespace {

std::mutex g_openMu;
std::function<bool(const WString&)> g_openHandler;

std::vector<WString> SplitLines(const WString& text) {
  std::vector<WString> lines(1);
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == u'\r') continue;
    if (text[i] == u'\n') lines.emplace_back();
    else lines.back().push_back(text[i]);
  }
  return lines;
}

class CMessageBoxDlg : public CDialog {
 public:
  CMessageBoxDlg(const DlgTemplate& t, CWnd* owner) : CDialog(t, owner) {}
  bool OnEraseBkgnd(CDC& dc) override {
    CRect r;
    GetClientRect(r);
    dc.FillSolidRect(r, 0xFFFFFF);
    dc.FillSolidRect(CRect(0, r.bottom - 42, r.right, r.bottom), kColorBtnFace);
    return true;
  }
};

}  // namespace

int MessageBox(HWND owner, const WString& text, const WString& caption, UINT type) {
  if (IsHeadless()) {
    LogWrite(LOG_INFO, "plat::MessageBox", caption + u": " + text);
    return IDOK;
  }
  // Laid out in pixels: base units 4 and 8 make dialog units pixels.
  DlgTemplate t;
  t.baseX = 4;
  t.baseY = 8;
  t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE;
  t.exStyle = (type & MB_TOPMOST) ? (uint32_t)WS_EX_TOPMOST : 0u;
  t.caption = caption;
  t.font = DefaultGuiFont();
  ::CBitmap probe;
  probe.Attach(CreateBitmap(1, 1));
  CDC dc(probe.GetSafeHandle());
  int width = 0, lineH = 16;
  std::vector<WString> lines = SplitLines(text);
  for (auto& l : lines) {
    CSize s = dc.GetTextExtent(l.empty() ? u" " : l);
    width = std::max(width, s.cx);
    lineH = std::max(lineH, s.cy);
  }
  int textH = lineH * (int)lines.size();
  bool okCancel = (type & 0xF) == MB_OKCANCEL;
  t.cx = std::max(width + 48, okCancel ? 200 : 140);
  t.cy = textH + 40 + 42;
  int y = 20;
  for (auto& l : lines) {
    t.items.push_back({-1, DlgItemKind::Static, 24, y, t.cx - 48, lineH, l, SS_LEFT});
    y += lineH;
  }
  int by = t.cy - 33;
  if (okCancel) {
    t.items.push_back({IDOK, DlgItemKind::Button, t.cx - 176, by, 75, 24, u"确定", BS_DEFPUSHBUTTON});
    t.items.push_back({IDCANCEL, DlgItemKind::Button, t.cx - 90, by, 75, 24, u"取消", BS_PUSHBUTTON});
  } else {
    t.items.push_back({IDOK, DlgItemKind::Button, t.cx - 90, by, 75, 24, u"确定", BS_DEFPUSHBUTTON});
  }
  CMessageBoxDlg dlg(t, LocalWindow(owner));
  int r = dlg.DoModal();
  return r == IDOK ? IDOK : IDCANCEL;
}

void SetShellOpenHandler(std::function<bool(const WString& url)> handler) {
  std::lock_guard<std::mutex> lock(g_openMu);
  g_openHandler = std::move(handler);
}

bool ShellOpen(const WString& url) {
  std::function<bool(const WString&)> h;
  {
    std::lock_guard<std::mutex> lock(g_openMu);
    h = g_openHandler;
  }
  if (h) return h(url);
  return GetBackend().OpenUrl(url);
}

}  // namespace plat
