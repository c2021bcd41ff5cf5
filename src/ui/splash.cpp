// COpFile::LoadSplashBitmap: the skin file named by SPLASH_BMP_FILE.
#include "opfile/opfile.h"
#include "window/gdi.h"

bool COpFile::LoadSplashBitmap(const WString& rootDir, CBitmap& bitmap) {
  bitmap.DeleteObject();
  if (m_strSplashBmpFile.empty()) return false;
  // A value written with "\" separators names the same file.
  WString path = GetSplashBmpPath(rootDir);
  for (auto& c : path)
    if (c == u'\\') c = u'/';
  plat::HBITMAP b = plat::LoadBitmapFile(path);
  if (!b) return false;
  bitmap.Attach(b);
  return true;
}
