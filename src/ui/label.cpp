#include "ui/controls.h"

void CLabel::SetText(const WString& text) {
  m_strText = text;
  Invalidate(false);
}

void CLabel::RefreshText() {
  m_strText = GetWindowText();
  Invalidate(false);
}

void CLabel::SetTextColor(COLORREF c) {
  m_crText = c;
  Invalidate(false);
}

void CLabel::SetBkColor(COLORREF c) {
  m_crBk = c;
  Invalidate(false);
}

void CLabel::SetBkBitmap(HBITMAP bmp) {
  m_bmpBk.Attach(bmp);
  Invalidate(false);
}

void CLabel::OnPaint(CDC& dc) {
  CRect r;
  GetClientRect(r);
  if (r.IsRectEmpty()) return;
  CBitmap off;
  off.Attach(plat::CreateBitmap(r.Width(), r.Height(), m_crBk));
  CDC mem(off.GetSafeHandle());
  if (m_bmpBk.GetSafeHandle()) {
    CSize s = m_bmpBk.GetSize();
    mem.BitBlt(0, 0, s.cx, s.cy, m_bmpBk.GetSafeHandle(), 0, 0);
  }
  mem.SelectFont(plat::DefaultGuiFont());
  mem.SetTextColor(m_crText);
  // A file name with "&" in a status text must show as it is.
  mem.DrawText(m_strText, r, plat::DT_LEFT | plat::DT_VCENTER | plat::DT_SINGLELINE | plat::DT_NOPREFIX);
  dc.BitBlt(0, 0, r.Width(), r.Height(), off.GetSafeHandle(), 0, 0);
}
