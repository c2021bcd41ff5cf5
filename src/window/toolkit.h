// A toolkit (GTK on Linux) is a library of its own that a program links to
// show windows on a screen. It registers itself before main; without one,
// every window is headless, pictures other than the compiled-in ones do
// not load and text draws nothing. Not for use outside window/.
#pragma once

#include "window/gdi.h"
#include "window/wnd_internal.h"

namespace plat {

struct Toolkit {
  // Null when no display can be opened.
  Backend* (*newBackend)();
  // Null when the file is missing or not a picture.
  HBITMAP (*loadBitmapFile)(const WString& path);
  CSize (*textExtent)(const CFont& font, const WString& text, bool noPrefix);
  // Draws text in box (target pixels) cut to clip, wrapped to the box unless
  // single-line; returns the height of the text.
  int (*drawText)(HBITMAP target, const CRect& clip, const CRect& box, const CFont& font, const WString& text,
                  uint32_t format, COLORREF color);
};

// Called once, from a static initialiser of the toolkit's library.
bool RegisterToolkit(const Toolkit& toolkit);
// Null when none is linked in.
const Toolkit* GetToolkit();

}  // namespace plat
