#include "ui/controls.h"

void CHyperLnk::SetLink(const WString& address, UINT notifyMsg) {
  m_strLink = address;
  m_uMsg = notifyMsg;
}

void CHyperLnk::PreSubclassWindow() { ModifyStyle(0, SS_NOTIFY); }

void CHyperLnk::OnPaint(CDC& dc) {
  CRect r;
  GetClientRect(r);
  dc.FillSolidRect(r, plat::kColorBtnFace);
  plat::CFont f = GetFont();
  f.underline = true;
  dc.SelectFont(f);
  dc.SetTextColor(0xFF0000);
  dc.DrawText(GetWindowText(), r, plat::DT_LEFT | plat::DT_VCENTER | plat::DT_SINGLELINE);
}

bool CHyperLnk::OnSetCursor() {
  SetCursorHand();
  return true;
}

void CHyperLnk::OnLButtonDown(CPoint pt) {
  CStatic::OnLButtonDown(pt);
  if (m_strLink.empty()) return;
  plat::ShellOpen(m_strLink);
  if (m_uMsg && GetParent()) GetParent()->PostMessage(m_uMsg, 0, 0);
}
