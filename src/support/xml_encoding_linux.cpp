// The XML loader's code page conversions through iconv.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "support/xml_internal.h"

namespace xmlenc {

const char* IconvName(int cp) {
  switch (cp) {
    case 37: return "IBM037";
    case 437: return "IBM437";
    case 500: return "IBM500";
    case 708: return "ASMO-708";
    case 737: return "CP737";
    case 775: return "CP775";
    case 850: return "IBM850";
    case 852: return "IBM852";
    case 855: return "IBM855";
    case 857: return "IBM857";
    case 858: return "IBM858";
    case 860: return "IBM860";
    case 861: return "IBM861";
    case 862: return "IBM862";
    case 863: return "IBM863";
    case 864: return "IBM864";
    case 865: return "IBM865";
    case 866: return "IBM866";
    case 869: return "IBM869";
    case 870: return "IBM870";
    case 874: return "CP874";
    case 875: return "CP875";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 1026: return "IBM1026";
    case 1047: return "IBM1047";
    case 1140: return "IBM1140";
    case 1141: return "IBM1141";
    case 1142: return "IBM1142";
    case 1143: return "IBM1143";
    case 1144: return "IBM1144";
    case 1145: return "IBM1145";
    case 1146: return "IBM1146";
    case 1147: return "IBM1147";
    case 1148: return "IBM1148";
    case 1149: return "IBM1149";
    case kCodePageUtf16Le: return "UTF-16LE";
    case kCodePageUtf16Be: return "UTF-16BE";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 1361: return "JOHAB";
    case 10000: return "MACINTOSH";
    case 10007: return "MAC-CYRILLIC";
    case 10017: return "MACUKRAINIAN";
    case 10029: return "MAC-CENTRALEUROPE";
    case 10079: return "MAC-IS";
    case kCodePageUtf32Le: return "UTF-32LE";
    case kCodePageUtf32Be: return "UTF-32BE";
    case 20000: return "EUC-TW";
    case 20127: return "ASCII";
    case 20273: return "IBM273";
    case 20277: return "IBM277";
    case 20278: return "IBM278";
    case 20280: return "IBM280";
    case 20284: return "IBM284";
    case 20285: return "IBM285";
    case 20290: return "IBM290";
    case 20297: return "IBM297";
    case 20420: return "IBM420";
    case 20423: return "IBM423";
    case 20424: return "IBM424";
    case 20866: return "KOI8-R";
    case 20871: return "IBM871";
    case 20880: return "IBM880";
    case 20905: return "IBM905";
    case 20932: return "EUC-JP";
    case 21025: return "IBM1025";
    case 21866: return "KOI8-U";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 38598: return "ISO-8859-8";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 50225: return "ISO-2022-KR";
    case 51932: return "EUC-JP";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 65000: return "UTF-7";
    case kCodePageUtf8: return "UTF-8";
    default: return nullptr;
  }
}

namespace {

// iconv into UTF-16LE units; false when iconv has no such converter.
bool AppendWithIconv(const char* from, const unsigned char* data, size_t size, WString& out) {
  iconv_t cd = iconv_open("UTF-16LE", from);
  if (cd == (iconv_t)-1) return false;
  size_t base = out.size();
  size_t room = size + size / 100 + 16;  // units
  size_t used = 0;
  out.resize(base + room);
  char* src = (char*)data;
  size_t srcLeft = size;
  bool flushing = false;
  while (true) {
    if (room - used < 8) {
      room += room / 2 + 16;
      out.resize(base + room);
    }
    char* dst = (char*)(&out[0] + base + used);
    size_t dstLeft = (room - used) * 2;
    size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft) : iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used = room - dstLeft / 2;
    if (r != (size_t)-1) {
      if (flushing) break;
      flushing = true;  // end the shift state of stateful encodings
      continue;
    }
    if (errno == E2BIG) {
      room += room / 2 + 16;
      out.resize(base + room);
      continue;
    }
    if (flushing || (errno != EILSEQ && errno != EINVAL) || srcLeft == 0) break;
    // Not convertible, or cut at the end: one replacement, one byte on.
    out[base + used++] = 0xFFFD;
    ++src;
    --srcLeft;
  }
  iconv_close(cd);
  out.resize(base + used);
  return true;
}

}  // namespace

void AppendFromCodePage(int cp, const unsigned char* data, size_t size, WString& out) {
  if (size == 0) return;
  if (cp == kCodePageAnsi) {
    const char* ansi = AnsiCodesetName();
    if (strcmp(ansi, "UTF-8") != 0 && AppendWithIconv(ansi, data, size, out)) return;
    cp = kCodePageUtf8;
  }
  if (cp == kCodePageUtf8) {
    AppendFromUtf8(data, size, out);
    return;
  }
  const char* name = IconvName(cp);
  if (name && AppendWithIconv(name, data, size, out)) return;
  // A code page this system cannot convert: the ANSI code page instead.
  AppendFromCodePage(kCodePageAnsi, data, size, out);
}

}  // namespace xmlenc
