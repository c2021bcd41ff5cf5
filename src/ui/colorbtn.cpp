#include "ui/controls.h"

void CColorBtn::SetTextColor(COLORREF c) {
  m_crText = c;
  Invalidate(false);
}

void CColorBtn::SetBkColor(COLORREF c) {
  m_crBk = c;
  Invalidate(false);
}

void CColorBtn::SetBkBitmap(HBITMAP bmp) {
  m_bmpBk.Attach(bmp);
  Invalidate(false);
}

void CColorBtn::SetImage(HBITMAP bmp) {
  m_bmpImage.Attach(bmp);
  Invalidate(false);
}

void CColorBtn::PreSubclassWindow() { ModifyStyle(BS_TYPEMASK, BS_OWNERDRAW); }

void CColorBtn::DrawItem(DrawItemStruct& dis) {
  CRect r = dis.rcItem;
  if (r.IsRectEmpty()) return;
  CBitmap off;
  off.Attach(plat::CreateBitmap(r.Width(), r.Height(), m_crBk));
  CDC mem(off.GetSafeHandle());
  if (m_bmpBk.GetSafeHandle()) {
    CSize s = m_bmpBk.GetSize();
    mem.BitBlt(0, 0, s.cx, s.cy, m_bmpBk.GetSafeHandle(), 0, 0);
  }
  int p = (dis.itemState & ODS_SELECTED) ? 1 : 0;
  if (m_bmpImage.GetSafeHandle()) {
    CSize s = m_bmpImage.GetSize();
    mem.BitBlt((r.Width() - s.cx) / 2 + p, (r.Height() - s.cy) / 2 + p, s.cx, s.cy, m_bmpImage.GetSafeHandle(), 0, 0);
  } else {
    mem.SelectFont(plat::DefaultGuiFont());
    CSize ext = mem.GetTextExtent(GetWindowText(), false);
    CRect t((r.Width() - ext.cx) / 2 + p, (r.Height() - ext.cy) / 2 + p, 0, 0);
    t.right = t.left + ext.cx;
    t.bottom = t.top + ext.cy;
    if (dis.itemState & ODS_DISABLED) {
      mem.DrawDisabledText(GetWindowText(), t, plat::DT_SINGLELINE);
    } else {
      mem.SetTextColor(m_crText);
      mem.DrawText(GetWindowText(), t, plat::DT_SINGLELINE);
    }
  }
  dis.pDC->BitBlt(r.left, r.top, r.Width(), r.Height(), off.GetSafeHandle(), 0, 0);
}
