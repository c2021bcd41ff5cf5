#include <cstdio>

#include "ui/notices.h"
#include "ui/resources.h"

namespace {
DlgTemplate TipTemplate() {
  DlgTemplate t;
  t.cx = 170;
  t.cy = 53;
  t.style = WS_POPUP | WS_VISIBLE;
  t.exStyle = WS_EX_TOPMOST;
  t.baseX = kShellDlg8BaseX;
  t.baseY = kShellDlg8BaseY;
  t.font = plat::DefaultGuiFont();
  t.items = {
      {1004, DlgItemKind::Static, 8, 5, 49, 8, u"Corvane更新", SS_LEFT},
      {1002, DlgItemKind::Static, 23, 19, 113, 8, u"更新下载完成，下次启动后生效", SS_LEFT},
      {1006, DlgItemKind::Static, 10, 37, 9, 8, u"10", SS_LEFT},
      {1005, DlgItemKind::Static, 23, 37, 33, 8, u"秒后关闭", SS_LEFT},
      {plat::IDOK, DlgItemKind::Button, 91, 33, 72, 16, u"", BS_DEFPUSHBUTTON},
      {plat::IDCANCEL, DlgItemKind::Button, 151, 3, 15, 14, u"", BS_PUSHBUTTON},
  };
  return t;
}
}  // namespace

CTipDlg::CTipDlg(CWnd* parent) : CDialog(TipTemplate(), parent) {}

void CTipDlg::DoDataExchange() {
  DDX_Control(1004, m_lblTitle);
  DDX_Control(1002, m_lblMessage);
  DDX_Control(1006, m_lblCount);
  DDX_Control(1005, m_lblSeconds);
  DDX_Control(plat::IDOK, m_btnOk);
  DDX_Control(plat::IDCANCEL, m_btnClose);
}

bool CTipDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  CRect rc;
  GetWindowRect(rc);
  SetWindowRgnRoundRect(CRect(0, 0, rc.Width() + 1, rc.Height() + 1), 2, 2);

  CRect work = plat::GetWorkArea();
  MoveWindow(work.right - 2 - rc.Width(), work.bottom - 2 - rc.Height(), rc.Width(), rc.Height());

  CBitmap quit;
  quit.Attach(ui::LoadBitmapResource(ui::IDB_QUIT_UPDATE));
  CSize qs = quit.GetSize();
  CRect ok;
  m_btnOk.GetWindowRect(ok);
  ScreenToClient(ok);
  int w = qs.cx + 2, h = qs.cy + 2;
  int centreY = ok.top + ok.Height() / 2;
  m_btnOk.MoveWindow(ok.right - w, centreY - h / 2, w, h);
  m_btnOk.SetImage(quit.Detach());
  m_btnOk.SetBkColor(ui::kTipBkColor);

  m_btnClose.SetImage(ui::LoadBitmapResource(ui::IDB_CLOSE));
  m_btnClose.SetBkColor(ui::kTipBkColor);

  for (CLabel* l : {&m_lblTitle, &m_lblMessage, &m_lblSeconds, &m_lblCount}) {
    l->RefreshText();
    l->SetTextColor(l == &m_lblCount ? ui::kTipCountColor : 0x000000);
    l->SetBkColor(ui::kTipBkColor);
  }
  m_nCounter = 10;
  SetTimer(ui::kCountdownTimer, 1000);
  return true;
}

void CTipDlg::OnTimer(UINT_PTR id) {
  if (id != ui::kCountdownTimer) return;
  m_nCounter--;
  char buf[16];
  snprintf(buf, sizeof buf, "%2d", m_nCounter);
  m_lblCount.SetText(W(buf));
  if (m_nCounter <= 0) EndDialog(plat::IDCANCEL);
}

void CTipDlg::OnPaint(CDC& dc) {
  CRect r;
  GetClientRect(r);
  dc.FillSolidRect(r, ui::kTipBkColor);
  dc.SetPenColor(ui::kTipBorderColor);
  // One pixel border with every corner cut by two pixels.
  dc.MoveTo(r.left + 2, r.top);
  dc.LineTo(r.right - 3, r.top);
  dc.LineTo(r.right - 1, r.top + 2);
  dc.LineTo(r.right - 1, r.bottom - 3);
  dc.LineTo(r.right - 3, r.bottom - 1);
  dc.LineTo(r.left + 2, r.bottom - 1);
  dc.LineTo(r.left, r.bottom - 3);
  dc.LineTo(r.left, r.top + 2);
  dc.LineTo(r.left + 2, r.top);
}

void CTipDlg::OnDestroy() { KillTimer(ui::kCountdownTimer); }
