// The code page conversions through iconv.
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/text.h"

namespace {

// One iconv conversion; false on any invalid or incomplete input. With
// replace set, unconvertible UTF-16 input units are written as '?'.
bool IconvRun(const char* to, const char* from, const char* in, size_t inLen,
              std::string& out, bool replace = false) {
  out.clear();
  if (inLen == 0) return true;
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) return false;
  std::vector<char> buf(inLen * 2 + 16);
  char* src = const_cast<char*>(in);
  size_t srcLeft = inLen;
  bool ok = true;
  while (srcLeft > 0) {
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf.data(), buf.size() - dstLeft);
    if (r != (size_t)-1) continue;
    if (errno == E2BIG) continue;
    if (errno == EILSEQ && replace && srcLeft >= 2) {
      // Skip one UTF-16LE unit, or a surrogate pair as one character.
      unsigned lead = (unsigned char)src[0] | ((unsigned char)src[1] << 8);
      size_t skip = (lead >= 0xD800 && lead <= 0xDBFF && srcLeft >= 4) ? 4 : 2;
      out.push_back('?');
      src += skip;
      srcLeft -= skip;
      continue;
    }
    ok = false;
    break;
  }
  iconv_close(cd);
  if (!ok) out.clear();
  return ok;
}

const char* AnsiCodeset() {
  const char* cs = nl_langinfo(CODESET);
  if (!cs || !*cs || !strcmp(cs, "ANSI_X3.4-1968") || !strcmp(cs, "ASCII")) return "UTF-8";
  return cs;
}

}  // namespace

std::string GbkFromWide(const WString& s) {
  std::string out;
  IconvRun("CP936", "UTF-16LE", Utf16leFromWide(s).data(), s.size() * 2, out, true);
  return out;
}

WString WideFromGbk(const std::string& s) {
  std::string out;
  if (!IconvRun("UTF-16LE", "CP936", s.data(), s.size(), out)) return WString();
  return WideFromUtf16le(out.data(), out.size());
}

WString WideFromAnsi(const std::string& s) {
  const char* cs = AnsiCodeset();
  if (!strcmp(cs, "UTF-8")) return WideFromUtf8(s);
  std::string out;
  if (!IconvRun("UTF-16LE", cs, s.data(), s.size(), out)) return WString();
  return WideFromUtf16le(out.data(), out.size());
}

std::string AnsiFromWide(const WString& s) {
  const char* cs = AnsiCodeset();
  if (!strcmp(cs, "UTF-8")) return Utf8FromWide(s);
  std::string out;
  IconvRun(cs, "UTF-16LE", Utf16leFromWide(s).data(), s.size() * 2, out, true);
  return out;
}

bool IsGbkRepresentable(const WString& s) {
  std::string out;
  return IconvRun("CP936", "UTF-16LE", Utf16leFromWide(s).data(), s.size() * 2, out, false);
}

const char* AnsiCodesetName() { return AnsiCodeset(); }
