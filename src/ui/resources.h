// Bitmaps compiled into the program: 128 icon (32 x 32), 129 built-in
// skin (510 x 316), 131 close cross (9 x 9), 132 quit-and-update button
// (94 x 22). tools/mkres draws them and writes resources_data.cpp.
#pragma once

#include "window/gdi.h"

namespace ui {

enum : int { IDR_MAINFRAME = 128, IDB_SKIN = 129, IDB_CLOSE = 131, IDB_QUIT_UPDATE = 132 };

// A new bitmap (the caller owns it); null for an unknown id.
plat::HBITMAP LoadBitmapResource(int id);

// The compressed pictures: zlib-packed RGB rows, top row first.
struct BitmapResource {
  int id;
  int width;
  int height;
  const unsigned char* data;
  unsigned long size;
};
extern const BitmapResource kBitmapResources[];
extern const int kBitmapResourceCount;

}  // namespace ui
