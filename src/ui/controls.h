// The custom controls of the update window and the notices. Each draws
// into an off-screen bitmap and copies it in one step, and its setters
// invalidate without erasing, so frequent changes do not flicker. Bitmaps
// handed to a setter are owned by the control from then on.
#pragma once

#include "window/wnd.h"

using plat::COLORREF;
using plat::HBITMAP;

// A flat owner-drawn button: background colour or bitmap, then either a
// picture centred on it or its window text; pressed, both move by a pixel.
class CColorBtn : public CButton {
 public:
  void SetTextColor(COLORREF c);
  void SetBkColor(COLORREF c);
  void SetBkBitmap(HBITMAP bmp);
  void SetImage(HBITMAP bmp);
  COLORREF GetTextColor() const { return m_crText; }
  COLORREF GetBkColor() const { return m_crBk; }
  HBITMAP GetBkBitmap() const { return m_bmpBk.GetSafeHandle(); }
  HBITMAP GetImage() const { return m_bmpImage.GetSafeHandle(); }

 protected:
  void PreSubclassWindow() override;
  void DrawItem(DrawItemStruct& dis) override;

 private:
  COLORREF m_crText = 0x000000;
  COLORREF m_crBk = 0xFFFFFF;
  CBitmap m_bmpBk;
  CBitmap m_bmpImage;
};

// A static text that draws its own text field (not the window text) over
// a background colour or bitmap: one line, left, vertically centred, cut
// at the edges.
class CLabel : public CStatic {
 public:
  void SetText(const WString& text);
  // Takes over the control's window text (the template text).
  void RefreshText();
  void SetTextColor(COLORREF c);
  void SetBkColor(COLORREF c);
  void SetBkBitmap(HBITMAP bmp);
  const WString& GetText() const { return m_strText; }
  COLORREF GetTextColor() const { return m_crText; }
  COLORREF GetBkColor() const { return m_crBk; }
  HBITMAP GetBkBitmap() const { return m_bmpBk.GetSafeHandle(); }

 protected:
  bool OnEraseBkgnd(CDC&) override { return true; }
  void OnPaint(CDC& dc) override;

 private:
  WString m_strText;
  COLORREF m_crText = 0x000000;
  COLORREF m_crBk = 0xFFFFFF;
  CBitmap m_bmpBk;
};

// An underlined blue link; a click opens the address with the desktop's
// handler and posts the notification message to the parent.
class CHyperLnk : public CStatic {
 public:
  void SetLink(const WString& address, UINT notifyMsg);
  const WString& GetLink() const { return m_strLink; }

 protected:
  void PreSubclassWindow() override;
  void OnPaint(CDC& dc) override;
  bool OnEraseBkgnd(CDC&) override { return true; }
  bool OnSetCursor() override;
  void OnLButtonDown(CPoint pt) override;

 private:
  WString m_strLink;
  UINT m_uMsg = 0;
};
