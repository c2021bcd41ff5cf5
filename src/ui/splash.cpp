// COpFile::LoadSplashBitmap: the skin file named by SPLASH_BMP_FILE.
#include "opfile/opfile.h"
#include "platform/gdi.h"

bool COpFile::LoadSplashBitmap(const WString& rootDir, CBitmap& bitmap) {
  bitmap.DeleteObject();
  if (m_strSplashBmpFile.empty()) return false;
  // The root keeps its leading "/" (it is absolute here); separators
  // between the two parts are not doubled.
  WString root = rootDir;
  while (!root.empty() && (root.back() == u'\\' || root.back() == u'/')) root.pop_back();
  WString file = m_strSplashBmpFile;
  for (auto& c : file)
    if (c == u'\\') c = u'/';
  size_t start = file.find_first_not_of(u'/');
  if (start == WString::npos) return false;
  plat::HBITMAP b = plat::LoadBitmapFile(root + u"/" + file.substr(start));
  if (!b) return false;
  bitmap.Attach(b);
  return true;
}
