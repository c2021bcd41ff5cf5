// Pictures and text drawn through GTK's libraries: gdk-pixbuf loads picture
// files, Pango lays out text and cairo draws it into a bitmap's pixels.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <pango/pangocairo.h>

#include <string>

#include "window/gdi.h"

namespace plat {

HBITMAP GtkLoadBitmapFile(const WString& path) {
  std::string native;
  if (!NativePath(path, native)) return nullptr;
  GError* err = nullptr;
  GdkPixbuf* pb = gdk_pixbuf_new_from_file(native.c_str(), &err);
  if (!pb) {
    if (err) g_error_free(err);
    return nullptr;
  }
  int w = gdk_pixbuf_get_width(pb), h = gdk_pixbuf_get_height(pb);
  int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
  const guchar* data = gdk_pixbuf_read_pixels(pb);
  HBITMAP b = CreateBitmap(w, h);
  if (b && gdk_pixbuf_get_bits_per_sample(pb) == 8 && n >= 3) {
    for (int y = 0; y < h; y++) {
      const guchar* row = data + (size_t)y * stride;
      for (int x = 0; x < w; x++) {
        const guchar* p = row + x * n;
        uint32_t r = p[0], g = p[1], bl = p[2];
        if (n == 4) {  // transparent parts show white, as a bitmap without alpha would
          uint32_t a = p[3];
          r = (r * a + 255 * (255 - a)) / 255;
          g = (g * a + 255 * (255 - a)) / 255;
          bl = (bl * a + 255 * (255 - a)) / 255;
        }
        BitmapPixels(b)[(size_t)y * w + x] = r << 16 | g << 8 | bl;
      }
    }
  }
  g_object_unref(pb);
  return b;
}

namespace {
// Text without "&" marks and the offset of the underlined character.
std::string StripPrefix(const WString& text, bool noPrefix, int& underlineByte) {
  underlineByte = -1;
  if (noPrefix) return Utf8FromWide(text);
  WString out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == u'&' && i + 1 < text.size()) {
      i++;
      if (text[i] != u'&' && underlineByte < 0) underlineByte = (int)Utf8FromWide(out).size();
    }
    out.push_back(text[i]);
  }
  return Utf8FromWide(out);
}

PangoLayout* MakeLayout(cairo_t* cr, const CFont& font, const std::string& utf8, int underlineByte, int wrapWidth) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* desc = pango_font_description_new();
  std::string family = Utf8FromWide(font.family) + ",WenQuanYi Micro Hei,Noto Sans CJK SC,Sans";
  pango_font_description_set_family(desc, family.c_str());
  pango_font_description_set_absolute_size(desc, font.pixelHeight * PANGO_SCALE);
  if (font.bold) pango_font_description_set_weight(desc, PANGO_WEIGHT_BOLD);
  pango_layout_set_font_description(layout, desc);
  pango_font_description_free(desc);
  pango_layout_set_text(layout, utf8.c_str(), (int)utf8.size());
  PangoAttrList* attrs = pango_attr_list_new();
  if (font.underline) pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
  if (underlineByte >= 0) {
    PangoAttribute* a = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
    a->start_index = underlineByte;
    const char* p = utf8.c_str() + underlineByte;
    a->end_index = underlineByte + (int)(g_utf8_next_char(p) - p);
    pango_attr_list_insert(attrs, a);
  }
  pango_layout_set_attributes(layout, attrs);
  pango_attr_list_unref(attrs);
  if (wrapWidth > 0) {
    pango_layout_set_width(layout, wrapWidth * PANGO_SCALE);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  }
  return layout;
}

cairo_surface_t* SurfaceFor(HBITMAP b) {
  CSize size = GetBitmapSize(b);
  return cairo_image_surface_create_for_data((unsigned char*)BitmapPixels(b), CAIRO_FORMAT_RGB24, size.cx, size.cy,
                                             size.cx * 4);
}
}  // namespace

CSize GtkTextExtent(const CFont& font, const WString& text, bool noPrefix) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
  cairo_t* cr = cairo_create(s);
  int ub;
  std::string utf8 = StripPrefix(text, noPrefix, ub);
  PangoLayout* layout = MakeLayout(cr, font, utf8, ub, 0);
  PangoRectangle logical;
  pango_layout_get_pixel_extents(layout, nullptr, &logical);
  g_object_unref(layout);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
  return CSize(logical.width, logical.height);
}

int GtkDrawText(HBITMAP target, const CRect& clip, const CRect& box, const CFont& font, const WString& text,
                uint32_t format, COLORREF color) {
  cairo_surface_t* s = SurfaceFor(target);
  cairo_t* cr = cairo_create(s);
  cairo_rectangle(cr, clip.left, clip.top, clip.Width(), clip.Height());
  cairo_clip(cr);
  int ub;
  bool single = (format & DT_SINGLELINE) || !(format & DT_WORDBREAK);
  std::string utf8 = StripPrefix(text, format & DT_NOPREFIX, ub);
  PangoLayout* layout = MakeLayout(cr, font, utf8, ub, single ? 0 : box.Width());
  if (!single) {
    pango_layout_set_alignment(layout, (format & DT_CENTER)  ? PANGO_ALIGN_CENTER
                                       : (format & DT_RIGHT) ? PANGO_ALIGN_RIGHT
                                                             : PANGO_ALIGN_LEFT);
  }
  PangoRectangle logical;
  pango_layout_get_pixel_extents(layout, nullptr, &logical);
  int x = box.left, y = box.top;
  if (single) {
    if (format & DT_CENTER) x = box.left + (box.Width() - logical.width) / 2;
    else if (format & DT_RIGHT) x = box.right - logical.width;
    if (format & DT_VCENTER) y = box.top + (box.Height() - logical.height) / 2;
  }
  cairo_set_source_rgb(cr, GetRValue(color) / 255.0, GetGValue(color) / 255.0, GetBValue(color) / 255.0);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  cairo_surface_destroy(s);
  return logical.height;
}

}  // namespace plat
