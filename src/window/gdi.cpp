#include "window/gdi.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "window/toolkit.h"


namespace plat {

struct BitmapData {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> px;  // 0x00RRGGBB
};

namespace {
std::atomic<int> g_liveBitmaps{0};

uint32_t PixFromColor(COLORREF c) { return (uint32_t)GetRValue(c) << 16 | (uint32_t)GetGValue(c) << 8 | GetBValue(c); }
COLORREF ColorFromPix(uint32_t p) { return Rgb((p >> 16) & 255, (p >> 8) & 255, p & 255); }
}  // namespace

bool CRect::IntersectRect(const CRect& a, const CRect& b) {
  CRect r(std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom));
  if (r.IsRectEmpty()) {
    SetRectEmpty();
    return false;
  }
  *this = r;
  return true;
}

void CRect::UnionRect(const CRect& a, const CRect& b) {
  if (a.IsRectEmpty()) { *this = b; return; }
  if (b.IsRectEmpty()) { *this = a; return; }
  *this = CRect(std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right), std::max(a.bottom, b.bottom));
}

HBITMAP CreateBitmap(int width, int height, COLORREF fill) {
  if (width < 0 || height < 0 || (int64_t)width * height > (1 << 26)) return nullptr;
  auto* b = new BitmapData;
  b->width = width;
  b->height = height;
  b->px.assign((size_t)width * height, PixFromColor(fill));
  g_liveBitmaps++;
  return b;
}

HBITMAP CreateBitmapFromRgb(int width, int height, const uint8_t* rgb) {
  HBITMAP b = CreateBitmap(width, height);
  if (!b) return nullptr;
  for (size_t i = 0; i < b->px.size(); i++)
    b->px[i] = (uint32_t)rgb[i * 3] << 16 | (uint32_t)rgb[i * 3 + 1] << 8 | rgb[i * 3 + 2];
  return b;
}

void DeleteObject(HBITMAP bmp) {
  if (!bmp) return;
  delete bmp;
  g_liveBitmaps--;
}

int LiveBitmapCount() { return g_liveBitmaps.load(); }

CSize GetBitmapSize(HBITMAP bmp) { return bmp ? CSize(bmp->width, bmp->height) : CSize(); }

uint32_t* BitmapPixels(HBITMAP bmp) { return bmp && !bmp->px.empty() ? bmp->px.data() : nullptr; }

COLORREF GetPixel(HBITMAP bmp, int x, int y) {
  if (!bmp || x < 0 || y < 0 || x >= bmp->width || y >= bmp->height) return 0xFFFFFFFF;
  return ColorFromPix(bmp->px[(size_t)y * bmp->width + x]);
}

HBITMAP CopyBitmapPart(HBITMAP src, const CRect& part) {
  if (part.IsRectEmpty()) return CreateBitmap(0, 0);
  HBITMAP b = CreateBitmap(part.Width(), part.Height());
  if (!b) return nullptr;
  CDC dc(b);
  dc.BitBlt(0, 0, part.Width(), part.Height(), src, part.left, part.top);
  return b;
}

HBITMAP LoadBitmapFile(const WString& path) {
  const Toolkit* toolkit = GetToolkit();
  return toolkit ? toolkit->loadBitmapFile(path) : nullptr;
}

namespace {
void PutBe32(std::string& s, uint32_t v) {
  for (int i = 3; i >= 0; i--) s.push_back((char)((v >> (i * 8)) & 255));
}
void PngChunk(std::string& out, const char* type, const std::string& data) {
  PutBe32(out, (uint32_t)data.size());
  std::string body = std::string(type, 4) + data;
  out += body;
  PutBe32(out, (uint32_t)crc32(0, (const Bytef*)body.data(), (uInt)body.size()));
}
}  // namespace

bool SaveBitmapPng(HBITMAP bmp, const WString& path) {
  if (!bmp || bmp->width <= 0 || bmp->height <= 0) return false;
  std::string raw;
  raw.reserve((size_t)bmp->height * (bmp->width * 3 + 1));
  for (int y = 0; y < bmp->height; y++) {
    raw.push_back(0);
    for (int x = 0; x < bmp->width; x++) {
      uint32_t p = bmp->px[(size_t)y * bmp->width + x];
      raw.push_back((char)((p >> 16) & 255));
      raw.push_back((char)((p >> 8) & 255));
      raw.push_back((char)(p & 255));
    }
  }
  uLongf zlen = compressBound((uLong)raw.size());
  std::string z(zlen, '\0');
  if (compress2((Bytef*)&z[0], &zlen, (const Bytef*)raw.data(), (uLong)raw.size(), 9) != Z_OK) return false;
  z.resize(zlen);
  std::string ihdr;
  PutBe32(ihdr, (uint32_t)bmp->width);
  PutBe32(ihdr, (uint32_t)bmp->height);
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
  std::string out("\x89PNG\r\n\x1a\n", 8);
  PngChunk(out, "IHDR", ihdr);
  PngChunk(out, "IDAT", z);
  PngChunk(out, "IEND", "");
  std::string native;
  if (!NativePath(path, native)) native = NativePathUnchecked(path);
  FILE* f = fopen(native.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
  return fclose(f) == 0 && ok;
}

const CFont& DefaultGuiFont() {
  static const CFont f{u"WenQuanYi Micro Hei", 12, false, false};
  return f;
}

// ---- CDC ----

CDC::CDC(HBITMAP target) : m_target(target), m_font(DefaultGuiFont()) {
  CSize s = GetBitmapSize(target);
  m_clip = CRect(0, 0, s.cx, s.cy);
}

CDC::CDC(HBITMAP target, CPoint origin, const CRect& clip) : m_target(target), m_origin(origin), m_font(DefaultGuiFont()) {
  CSize s = GetBitmapSize(target);
  m_clip.IntersectRect(clip, CRect(0, 0, s.cx, s.cy));
}

void CDC::FillSolidRect(const CRect& r, COLORREF c) {
  if (!m_target) return;
  CRect d = r;
  d.OffsetRect(m_origin.x, m_origin.y);
  if (!d.IntersectRect(d, m_clip)) return;
  uint32_t p = PixFromColor(c);
  for (int y = d.top; y < d.bottom; y++)
    std::fill_n(&m_target->px[(size_t)y * m_target->width + d.left], d.Width(), p);
}

void CDC::BitBlt(int x, int y, int w, int h, HBITMAP src, int sx, int sy) {
  if (!m_target || !src) return;
  CRect d(x + m_origin.x, y + m_origin.y, x + m_origin.x + w, y + m_origin.y + h);
  if (!d.IntersectRect(d, m_clip)) return;
  int dx0 = x + m_origin.x, dy0 = y + m_origin.y;
  // Copy through a temporary row so that a blit within one bitmap is safe.
  std::vector<uint32_t> row;
  for (int yy = d.top; yy < d.bottom; yy++) {
    int syy = sy + (yy - dy0);
    row.assign(d.Width(), 0xFFFFFF);
    if (syy >= 0 && syy < src->height) {
      for (int xx = d.left; xx < d.right; xx++) {
        int sxx = sx + (xx - dx0);
        if (sxx >= 0 && sxx < src->width) row[xx - d.left] = src->px[(size_t)syy * src->width + sxx];
      }
    }
    std::copy(row.begin(), row.end(), &m_target->px[(size_t)yy * m_target->width + d.left]);
  }
}

void CDC::BitBlt(int x, int y, int w, int h, const CDC& src, int sx, int sy) {
  BitBlt(x, y, w, h, src.m_target, sx + src.m_origin.x, sy + src.m_origin.y);
}

void CDC::SetPixel(int x, int y, COLORREF c) {
  if (!m_target) return;
  CPoint p(x + m_origin.x, y + m_origin.y);
  if (m_clip.PtInRect(p)) m_target->px[(size_t)p.y * m_target->width + p.x] = PixFromColor(c);
}

void CDC::LineTo(int x, int y) {
  // Bresenham from the pen position, end point left out.
  int x0 = m_pen.x, y0 = m_pen.y;
  int dx = std::abs(x - x0), sx = x0 < x ? 1 : -1;
  int dy = -std::abs(y - y0), sy = y0 < y ? 1 : -1;
  int err = dx + dy;
  while (!(x0 == x && y0 == y)) {
    SetPixel(x0, y0, m_penColor);
    int e2 = 2 * err;
    if (e2 >= dy) { err += dy; x0 += sx; }
    if (e2 <= dx) { err += dx; y0 += sy; }
  }
  m_pen = CPoint(x, y);
}

CSize CDC::GetTextExtent(const WString& text, bool noPrefix) const {
  const Toolkit* toolkit = GetToolkit();
  return toolkit ? toolkit->textExtent(m_font, text, noPrefix) : CSize();
}

int CDC::DrawTextColored(const WString& text, const CRect& r, uint32_t format, COLORREF color) {
  if (!m_target || m_target->width <= 0 || m_target->height <= 0 || text.empty()) return 0;
  const Toolkit* toolkit = GetToolkit();
  if (!toolkit) return 0;
  // The clip of this context and the text rectangle both cut the text.
  CRect box = r;
  box.OffsetRect(m_origin.x, m_origin.y);
  CRect clip;
  if (!clip.IntersectRect(box, m_clip)) return 0;
  return toolkit->drawText(m_target, clip, box, m_font, text, format, color);
}

int CDC::DrawText(const WString& text, const CRect& r, uint32_t format) {
  return DrawTextColored(text, r, format, m_textColor);
}

void CDC::DrawDisabledText(const WString& text, const CRect& r, uint32_t format) {
  CRect shifted = r;
  shifted.OffsetRect(1, 1);
  DrawTextColored(text, shifted, format, kColorBtnHighlight);
  DrawTextColored(text, r, format, kColorBtnShadow);
}

}  // namespace plat
