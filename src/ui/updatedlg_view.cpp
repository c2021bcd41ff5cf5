#include "ui/updatedlg_view.h"

#include "ui/resources.h"

namespace {
DlgTemplate UpdateTemplate() {
  DlgTemplate t;
  t.cx = 320;
  t.cy = 200;
  t.style = WS_POPUP | WS_VISIBLE;
  t.exStyle = WS_EX_APPWINDOW | WS_EX_TOPMOST;
  t.baseX = kSimSun9BaseX;
  t.baseY = kSimSun9BaseY;
  t.font = plat::DefaultGuiFont();
  t.items = {
      {CUpdateDlgView::kIdPercent, DlgItemKind::Static, 250, 179, 32, 14, u"", SS_LEFT},
      {CUpdateDlgView::kIdStatus, DlgItemKind::Static, 7, 179, 240, 14, u"", SS_LEFT},
      {CUpdateDlgView::kIdStop, DlgItemKind::Button, 281, 179, 32, 14, u"终止", BS_PUSHBUTTON},
  };
  return t;
}
}  // namespace

CUpdateDlgView::CUpdateDlgView(CWnd* parent) : CDialog(UpdateTemplate(), parent) {
  m_bmpIcon.Attach(ui::LoadBitmapResource(ui::IDR_MAINFRAME));
}

void CUpdateDlgView::DoDataExchange() {
  DDX_Control(kIdPercent, m_lblPercent);
  DDX_Control(kIdStatus, m_lblStatus);
  DDX_Control(kIdStop, m_btnStop);
}

bool CUpdateDlgView::OnInitDialog() {
  CDialog::OnInitDialog();
  SetIcon(m_bmpIcon.GetSafeHandle(), true);
  SetIcon(m_bmpIcon.GetSafeHandle(), false);
  return true;
}

bool CUpdateDlgView::LoadSkin(COpFile& opFile, const WString& rootDir) {
  if (opFile.LoadSplashBitmap(rootDir, m_bmpSkin)) return true;
  m_bmpSkin.Attach(ui::LoadBitmapResource(ui::IDB_SKIN));
  return false;
}

void CUpdateDlgView::LayoutSkin() {
  CSize skin = m_bmpSkin.GetSize();
  MoveWindow(0, 0, skin.cx, skin.cy);
  CRect client;
  GetClientRect(client);
  CRect btn;
  m_btnStop.GetWindowRect(btn);
  int bw = btn.Width(), bh = btn.Height();
  CRect stop(client.right - bw, client.bottom - bh, client.right, client.bottom);
  m_btnStop.MoveWindow(stop);
  CRect percent(stop.left - bw, stop.top, stop.left, stop.top + bh);
  m_lblPercent.MoveWindow(percent);
  m_lblStatus.MoveWindow(CRect(client.left + 5, stop.top, percent.left, stop.top + bh));
  CenterWindow();
  Invalidate(false);
}

void CUpdateDlgView::SetTextColor(COLORREF c) {
  m_lblStatus.SetTextColor(c);
  m_lblPercent.SetTextColor(c);
  m_btnStop.SetTextColor(c);
}

void CUpdateDlgView::OnPaint(CDC& dc) {
  CRect client;
  GetClientRect(client);
  if (client.IsRectEmpty()) return;
  CBitmap off;
  off.Attach(plat::CreateBitmap(client.Width(), client.Height(), 0xFFFFFF));
  CDC mem(off.GetSafeHandle());
  CSize skin = m_bmpSkin.GetSize();
  mem.BitBlt(0, 0, skin.cx, skin.cy, m_bmpSkin.GetSafeHandle(), 0, 0);
  // Each control shows its piece of the skin through itself.
  CWnd* order[] = {&m_lblStatus, &m_lblPercent, &m_btnStop};
  for (CWnd* c : order) {
    if (!c->GetSafeHwnd()) continue;
    CRect r;
    c->GetWindowRect(r);
    ScreenToClient(r);
    HBITMAP piece = plat::CopyBitmapPart(off.GetSafeHandle(), r);
    if (c == &m_btnStop) m_btnStop.SetBkBitmap(piece);
    else static_cast<CLabel*>(c)->SetBkBitmap(piece);
  }
  dc.BitBlt(0, 0, client.Width(), client.Height(), off.GetSafeHandle(), 0, 0);
}

void CUpdateDlgView::EnterBackgroundLook(const WString& title, CRect& savedRect) {
  ShowWindow(SW_HIDE);
  SetWindowText(title);
  GetWindowRect(savedRect);
  ModifyStyleEx(WS_EX_APPWINDOW, WS_EX_TOOLWINDOW);
  MoveWindow(0, 0, 0, 0);
  CenterWindow();
  ShowWindow(SW_SHOW);
}

void CUpdateDlgView::ReturnToForegroundLook(const WString& title, CRect& savedRect) {
  if (savedRect.IsRectEmpty()) return;
  ShowWindow(SW_HIDE);
  SetWindowText(title);
  ModifyStyleEx(WS_EX_TOOLWINDOW, WS_EX_APPWINDOW);
  MoveWindow(savedRect);
  savedRect.SetRectEmpty();
  ShowWindow(SW_SHOW);
  SetActiveWindow();
}
