// Draws the program's own pictures and writes them as compressed arrays.
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "window/gdi.h"

using namespace plat;

namespace {

COLORREF Mix(COLORREF a, COLORREF b, double t) {
  auto m = [t](int x, int y) { return (int)std::lround(x + (y - x) * t); };
  return Rgb(m(GetRValue(a), GetRValue(b)), m(GetGValue(a), GetGValue(b)), m(GetBValue(a), GetBValue(b)));
}

void Blend(HBITMAP b, int x, int y, COLORREF c, double alpha) {
  COLORREF old = GetPixel(b, x, y);
  if (old == 0xFFFFFFFF || alpha <= 0) return;
  CDC dc(b);
  dc.SetPixel(x, y, Mix(old, c, std::min(1.0, alpha)));
}

// An anti-aliased disc or ring by coverage sampling.
void Disc(HBITMAP b, double cx, double cy, double r0, double r1, COLORREF c, double alpha) {
  CSize s = GetBitmapSize(b);
  for (int y = std::max(0, (int)(cy - r1 - 2)); y < std::min(s.cy, (int)(cy + r1 + 2)); y++)
    for (int x = std::max(0, (int)(cx - r1 - 2)); x < std::min(s.cx, (int)(cx + r1 + 2)); x++) {
      int in = 0;
      for (int sy = 0; sy < 4; sy++)
        for (int sx = 0; sx < 4; sx++) {
          double d = std::hypot(x + (sx + 0.5) / 4 - cx, y + (sy + 0.5) / 4 - cy);
          if (d <= r1 && d >= r0) in++;
        }
      if (in) Blend(b, x, y, c, alpha * in / 16.0);
    }
}

HBITMAP Skin() {
  const int w = 510, h = 316;
  HBITMAP b = CreateBitmap(w, h);
  CDC dc(b);
  // Orange, lighter at the top left.
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      double t = std::min(1.0, (0.65 * y / h + 0.35 * x / w));
      dc.SetPixel(x, y, Mix(Rgb(0xFF, 0xA2, 0x2E), Rgb(0xE8, 0x5A, 0x0C), t));
    }
  // Soft arcs behind the mark.
  Disc(b, 430, -40, 150, 152, Rgb(255, 255, 255), 0.18);
  Disc(b, 430, -40, 190, 191.5, Rgb(255, 255, 255), 0.12);
  Disc(b, 60, 330, 120, 121.5, Rgb(255, 255, 255), 0.10);
  // The mark: a white ring with a quill stroke.
  Disc(b, 118, 118, 40, 47, Rgb(255, 255, 255), 1.0);
  for (int i = 0; i < 60; i++) {
    double t = i / 59.0;
    Disc(b, 100 + 40 * t, 140 - 46 * t, 0, 3.5 - 2.5 * t, Rgb(255, 255, 255), 1.0);
  }
  CFont big{u"WenQuanYi Micro Hei", 46, false, true};
  dc.SelectFont(big);
  dc.SetTextColor(Rgb(0xB0, 0x40, 0x00));
  dc.DrawText(u"Corvane", CRect(190, 72, 500, 132), DT_SINGLELINE | DT_NOPREFIX);  // shadow
  dc.SetTextColor(Rgb(255, 255, 255));
  dc.DrawText(u"Corvane", CRect(188, 70, 500, 130), DT_SINGLELINE | DT_NOPREFIX);
  CFont mid{u"WenQuanYi Micro Hei", 20, false, false};
  dc.SelectFont(mid);
  dc.SetTextColor(Rgb(255, 244, 230));
  dc.DrawText(u"交易客户端", CRect(192, 130, 500, 160), DT_SINGLELINE | DT_NOPREFIX);
  CFont small{u"WenQuanYi Micro Hei", 13, false, false};
  dc.SelectFont(small);
  dc.SetTextColor(Rgb(255, 232, 205));
  dc.DrawText(u"Quillup 自动升级", CRect(192, 170, 500, 190), DT_SINGLELINE | DT_NOPREFIX);
  // The status strip along the bottom edge, dark enough for light grey text.
  for (int y = h - 30; y < h; y++) {
    double t = (y - (h - 30)) / 29.0;
    for (int x = 0; x < w; x++) {
      COLORREF base = GetPixel(b, x, y);
      dc.SetPixel(x, y, Mix(base, Mix(Rgb(0x6B, 0x2A, 0x05), Rgb(0x52, 0x1E, 0x02), t), 0.82));
    }
  }
  dc.FillSolidRect(CRect(0, h - 31, w, h - 30), Rgb(0xFF, 0xC0, 0x7A));
  return b;
}

HBITMAP CloseCross() {
  HBITMAP b = CreateBitmap(9, 9, 0xFAF6EF);
  CDC dc(b);
  COLORREF blue = Rgb(0x2F, 0x64, 0xB8);
  for (int i = 0; i < 9; i++) {
    dc.SetPixel(i, i, blue);
    dc.SetPixel(8 - i, i, blue);
    if (i < 8) {
      Blend(b, i + 1, i, blue, 0.45);
      Blend(b, 7 - i, i, blue, 0.45);
    }
  }
  return b;
}

HBITMAP QuitButton() {
  const int w = 94, h = 22;
  HBITMAP b = CreateBitmap(w, h, 0xFAF6EF);
  CDC dc(b);
  for (int y = 1; y < h - 1; y++)
    dc.FillSolidRect(CRect(1, y, w - 1, y + 1), Mix(Rgb(0xFB, 0xFB, 0xFB), Rgb(0xDC, 0xDC, 0xDC), (double)y / h));
  COLORREF edge = Rgb(0xA6, 0xA6, 0xA6);
  dc.FillSolidRect(CRect(2, 0, w - 2, 1), edge);
  dc.FillSolidRect(CRect(2, h - 1, w - 2, h), edge);
  dc.FillSolidRect(CRect(0, 2, 1, h - 2), edge);
  dc.FillSolidRect(CRect(w - 1, 2, w, h - 2), edge);
  dc.SetPixel(1, 1, edge);
  dc.SetPixel(w - 2, 1, edge);
  dc.SetPixel(1, h - 2, edge);
  dc.SetPixel(w - 2, h - 2, edge);
  dc.SelectFont(CFont{u"WenQuanYi Micro Hei", 12, false, false});
  dc.SetTextColor(Rgb(0x33, 0x33, 0x33));
  dc.DrawText(u"立即退出升级", CRect(0, 0, w, h), DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  return b;
}

HBITMAP Icon() {
  HBITMAP b = CreateBitmap(32, 32, 0xFFFFFF);
  CDC dc(b);
  for (int y = 0; y < 32; y++) dc.FillSolidRect(CRect(0, y, 32, y + 1), Mix(Rgb(0xFF, 0xA2, 0x2E), Rgb(0xE8, 0x5A, 0x0C), y / 31.0));
  Disc(b, 16, 16, 8.5, 11.5, Rgb(255, 255, 255), 1.0);
  for (int i = 0; i < 20; i++) {
    double t = i / 19.0;
    Disc(b, 12 + 10 * t, 21 - 11 * t, 0, 1.4 - 0.8 * t, Rgb(255, 255, 255), 1.0);
  }
  return b;
}

bool Emit(FILE* out, int id, const char* name, HBITMAP b) {
  CSize s = GetBitmapSize(b);
  std::vector<unsigned char> rgb;
  for (int y = 0; y < s.cy; y++)
    for (int x = 0; x < s.cx; x++) {
      COLORREF c = GetPixel(b, x, y);
      rgb.push_back(GetRValue(c));
      rgb.push_back(GetGValue(c));
      rgb.push_back(GetBValue(c));
    }
  uLongf zlen = compressBound(rgb.size());
  std::vector<unsigned char> z(zlen);
  if (compress2(z.data(), &zlen, rgb.data(), rgb.size(), 9) != Z_OK) return false;
  fprintf(out, "// %d: %s, %d x %d\nconst unsigned char k%s[] = {", id, name, s.cx, s.cy, name);
  for (uLongf i = 0; i < zlen; i++) fprintf(out, "%s%u,", i % 20 ? "" : "\n ", z[i]);
  fprintf(out, "\n};\n\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s OUTPUT.cpp [PREVIEW_DIR]\n", argv[0]);
    return 2;
  }
  struct Pic {
    int id;
    const char* name;
    HBITMAP bmp;
  } pics[] = {{128, "Icon", Icon()}, {129, "Skin", Skin()}, {131, "Close", CloseCross()}, {132, "QuitUpdate", QuitButton()}};
  FILE* out = fopen(argv[1], "w");
  if (!out) return 1;
  fprintf(out, "// Written by tools/mkres; do not edit.\n#include \"ui/resources.h\"\n\nnamespace ui {\nnamespace {\n\n");
  for (auto& p : pics)
    if (!Emit(out, p.id, p.name, p.bmp)) return 1;
  fprintf(out, "}  // namespace\n\nconst BitmapResource kBitmapResources[] = {\n");
  for (auto& p : pics) {
    CSize s = GetBitmapSize(p.bmp);
    fprintf(out, "    {%d, %d, %d, k%s, sizeof k%s},\n", p.id, s.cx, s.cy, p.name, p.name);
  }
  fprintf(out, "};\nconst int kBitmapResourceCount = %d;\n\n}  // namespace ui\n", (int)(sizeof pics / sizeof pics[0]));
  fclose(out);
  if (argc > 2)
    for (auto& p : pics) SaveBitmapPng(p.bmp, WideFromUtf8(std::string(argv[2]) + "/" + std::to_string(p.id) + ".png"));
  for (auto& p : pics) DeleteObject(p.bmp);
  return 0;
}
