#include "ui/resources.h"

#include <zlib.h>

#include <vector>

namespace ui {

plat::HBITMAP LoadBitmapResource(int id) {
  for (int i = 0; i < kBitmapResourceCount; i++) {
    const BitmapResource& r = kBitmapResources[i];
    if (r.id != id) continue;
    std::vector<unsigned char> rgb((size_t)r.width * r.height * 3);
    uLongf len = (uLongf)rgb.size();
    if (uncompress(rgb.data(), &len, r.data, r.size) != Z_OK || len != rgb.size()) return nullptr;
    return plat::CreateBitmapFromRgb(r.width, r.height, rgb.data());
  }
  return nullptr;
}

}  // namespace ui
