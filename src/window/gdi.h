// Drawing stand-ins: rectangles, owned bitmaps, fonts and a device context
// that draws on a bitmap. Pixels are kept by the layer itself; text goes
// through Pango when the toolkit is there (without it text is measured as
// nothing and not drawn).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/text.h"

namespace plat {

// Windows colour value 0x00BBGGRR.
using COLORREF = uint32_t;
constexpr COLORREF Rgb(int r, int g, int b) { return (COLORREF)((r & 255) | ((g & 255) << 8) | ((b & 255) << 16)); }
constexpr int GetRValue(COLORREF c) { return c & 255; }
constexpr int GetGValue(COLORREF c) { return (c >> 8) & 255; }
constexpr int GetBValue(COLORREF c) { return (c >> 16) & 255; }

// System colours the controls use.
constexpr COLORREF kColorBtnFace = 0xF0F0F0;
constexpr COLORREF kColorBtnShadow = 0xA0A0A0;
constexpr COLORREF kColorBtnHighlight = 0xFFFFFF;
constexpr COLORREF kColorGrayText = 0x6D6D6D;
constexpr COLORREF kColorWindowText = 0x000000;

struct CPoint {
  int x = 0, y = 0;
  CPoint() = default;
  CPoint(int px, int py) : x(px), y(py) {}
  bool operator==(const CPoint& o) const { return x == o.x && y == o.y; }
};

struct CSize {
  int cx = 0, cy = 0;
  CSize() = default;
  CSize(int w, int h) : cx(w), cy(h) {}
  bool operator==(const CSize& o) const { return cx == o.cx && cy == o.cy; }
  bool operator!=(const CSize& o) const { return !(*this == o); }
};

// right and bottom are exclusive, as on Windows.
struct CRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  CRect() = default;
  CRect(int l, int t, int r, int b) : left(l), top(t), right(r), bottom(b) {}
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  CSize Size() const { return CSize(Width(), Height()); }
  CPoint TopLeft() const { return CPoint(left, top); }
  CPoint CenterPoint() const { return CPoint((left + right) / 2, (top + bottom) / 2); }
  bool IsRectEmpty() const { return right <= left || bottom <= top; }
  bool IsRectNull() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
  void SetRectEmpty() { left = top = right = bottom = 0; }
  void OffsetRect(int dx, int dy) { left += dx; right += dx; top += dy; bottom += dy; }
  bool PtInRect(CPoint p) const { return p.x >= left && p.x < right && p.y >= top && p.y < bottom; }
  // False (and an empty result) when the two do not overlap.
  bool IntersectRect(const CRect& a, const CRect& b);
  void UnionRect(const CRect& a, const CRect& b);
  bool operator==(const CRect& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  bool operator!=(const CRect& o) const { return !(*this == o); }
};

// ---- bitmaps ----
struct BitmapData;
using HBITMAP = BitmapData*;

HBITMAP CreateBitmap(int width, int height, COLORREF fill = 0xFFFFFF);
// From 24-bit rows, top row first, bytes R G B.
HBITMAP CreateBitmapFromRgb(int width, int height, const uint8_t* rgb);
void DeleteObject(HBITMAP bmp);
CSize GetBitmapSize(HBITMAP bmp);
COLORREF GetPixel(HBITMAP bmp, int x, int y);  // 0xFFFFFFFF outside
// A copy of part of a bitmap (the part outside the source reads white).
HBITMAP CopyBitmapPart(HBITMAP src, const CRect& part);
// Loads a picture file (BMP and whatever the image loader knows) at its
// own size; null when it is missing or not a picture.
HBITMAP LoadBitmapFile(const WString& path);
bool SaveBitmapPng(HBITMAP bmp, const WString& path);
// Bitmaps alive in this process, for leak checks.
int LiveBitmapCount();
// Pixel rows, 0x00RRGGBB, width * height values (for the toolkit's blit).
uint32_t* BitmapPixels(HBITMAP bmp);

// ---- fonts ----
struct CFont {
  WString family;
  int pixelHeight = 12;
  bool underline = false;
  bool bold = false;
};
// The system's default GUI font: the CJK sans face at 9 point (12 px at 96 DPI).
const CFont& DefaultGuiFont();

// ---- drawing ----
enum : uint32_t {
  DT_LEFT = 0x0, DT_CENTER = 0x1, DT_RIGHT = 0x2, DT_VCENTER = 0x4,
  DT_WORDBREAK = 0x10, DT_SINGLELINE = 0x20, DT_NOPREFIX = 0x800,
};

// Draws on a bitmap through an origin (the window's top-left corner in
// the bitmap) and a clip rectangle in the bitmap's pixels.
class CDC {
 public:
  explicit CDC(HBITMAP target);
  CDC(HBITMAP target, CPoint origin, const CRect& clip);
  HBITMAP GetTarget() const { return m_target; }
  CPoint GetOrigin() const { return m_origin; }

  void FillSolidRect(const CRect& r, COLORREF c);
  // Copies w x h pixels of src from (sx, sy) to (x, y).
  void BitBlt(int x, int y, int w, int h, HBITMAP src, int sx, int sy);
  // Copies w x h pixels of another device context's target.
  void BitBlt(int x, int y, int w, int h, const CDC& src, int sx, int sy);
  void SetPixel(int x, int y, COLORREF c);
  COLORREF SetTextColor(COLORREF c) { COLORREF o = m_textColor; m_textColor = c; return o; }
  void SelectFont(const CFont& f) { m_font = f; }
  const CFont& GetFont() const { return m_font; }
  // One pixel pen lines, end point excluded (as LineTo).
  void SetPenColor(COLORREF c) { m_penColor = c; }
  void MoveTo(int x, int y) { m_pen = CPoint(x, y); }
  void LineTo(int x, int y);
  // Size of one line of text; "&" marks are counted as drawn unless
  // noPrefix is false.
  CSize GetTextExtent(const WString& text, bool noPrefix = true) const;
  // Transparent background; returns the height of the text drawn.
  int DrawText(const WString& text, const CRect& r, uint32_t format);
  // The embossed look of disabled text: highlight one pixel down-right,
  // shadow on top.
  void DrawDisabledText(const WString& text, const CRect& r, uint32_t format);

 private:
  int DrawTextColored(const WString& text, const CRect& r, uint32_t format, COLORREF color);
  HBITMAP m_target;
  CPoint m_origin;
  CRect m_clip;
  COLORREF m_textColor = 0;
  COLORREF m_penColor = 0;
  CPoint m_pen;
  CFont m_font;
};

}  // namespace plat

// An owned bitmap handle (the framework's bitmap object).
class CBitmap {
 public:
  CBitmap() = default;
  ~CBitmap() { DeleteObject(); }
  CBitmap(const CBitmap&) = delete;
  CBitmap& operator=(const CBitmap&) = delete;
  // Deletes what was held and takes over h.
  void Attach(plat::HBITMAP h) { DeleteObject(); m_hBitmap = h; }
  plat::HBITMAP Detach() { plat::HBITMAP h = m_hBitmap; m_hBitmap = nullptr; return h; }
  void DeleteObject() { if (m_hBitmap) plat::DeleteObject(m_hBitmap); m_hBitmap = nullptr; }
  plat::HBITMAP GetSafeHandle() const { return m_hBitmap; }
  plat::CSize GetSize() const { return plat::GetBitmapSize(m_hBitmap); }

 private:
  plat::HBITMAP m_hBitmap = nullptr;
};

