// The XML loader's code page conversions through the system's own tables.
#include <windows.h>

#include "support/xml_internal.h"

namespace xmlenc {

void AppendFromCodePage(int cp, const unsigned char* data, size_t size, WString& out) {
  if (size == 0) return;
  if (cp == kCodePageUtf8) {
    AppendFromUtf8(data, size, out);
    return;
  }
  // A code page this system cannot convert: the ANSI code page instead.
  UINT page = cp == kCodePageAnsi || !IsValidCodePage((UINT)cp) ? CP_ACP : (UINT)cp;
  if (page == CP_ACP && GetACP() == CP_UTF8) {
    AppendFromUtf8(data, size, out);
    return;
  }
  // Undefined bytes come out as the system's replacement characters.
  int n = MultiByteToWideChar(page, 0, (const char*)data, (int)size, nullptr, 0);
  if (n <= 0) return;
  size_t base = out.size();
  out.resize(base + (size_t)n);
  MultiByteToWideChar(page, 0, (const char*)data, (int)size, (wchar_t*)&out[base], n);
}

}  // namespace xmlenc
