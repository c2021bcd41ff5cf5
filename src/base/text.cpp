#include "base/text.h"

#include <cstdio>

WString WideFromUtf8(const std::string& s) {
  WString out;
  out.reserve(s.size());
  const unsigned char* p = (const unsigned char*)s.data();
  size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned c = p[i];
    if (c < 0x80) { out.push_back((char16_t)c); ++i; continue; }
    int len; unsigned cp, min;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
    else return WString();
    if (i + len > n) return WString();
    for (int k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return WString();
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return WString();
    AppendUtf16(out, cp);
    i += len;
  }
  return out;
}

std::string Utf8FromWide(const WString& s) {
  std::string out;
  out.reserve(s.size() * 3);
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return std::string();
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return std::string();
    }
    if (cp < 0x80) {
      out.push_back((char)cp);
    } else if (cp < 0x800) {
      out.push_back((char)(0xC0 | (cp >> 6)));
      out.push_back((char)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back((char)(0xE0 | (cp >> 12)));
      out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (cp & 0x3F)));
    } else {
      out.push_back((char)(0xF0 | (cp >> 18)));
      out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string Utf8FromGbk(const std::string& s) {
  if (s.empty()) return std::string();
  WString w = WideFromGbk(s);
  return w.empty() ? std::string() : Utf8FromWide(w);
}

std::string GbkFromUtf8(const std::string& s) {
  if (s.empty()) return std::string();
  WString w = WideFromUtf8(s);
  return w.empty() ? std::string() : GbkFromWide(w);
}

std::string EscapedFromWide(const WString& s) {
  std::string out;
  out.reserve(s.size() * 6);
  char tmp[8];
  for (char16_t u : s) {
    if (u >= 256) {
      snprintf(tmp, sizeof tmp, "\\u%04x", (unsigned)u);
      out += tmp;
    } else {
      out.push_back((char)u);
    }
  }
  return out;
}

std::string EscapedFromGbk(const std::string& s) {
  if (s.empty()) return std::string();
  WString w = WideFromGbk(s);
  return w.empty() ? std::string() : EscapedFromWide(w);
}

bool NativePath(const WString& path, std::string& out) {
  out.clear();
  if (!IsGbkRepresentable(path)) return false;
  out = Utf8FromWide(path);
  return !out.empty() || path.empty();
}

std::string NativePathUnchecked(const WString& path) { return Utf8FromWide(path); }

WString WidePath(const std::string& native) {
  WString w = WideFromUtf8(native);
  if (w.empty() && !native.empty()) {
    // Not UTF-8 on disk: keep every byte visible rather than losing the name.
    for (unsigned char c : native) w.push_back((char16_t)c);
  }
  return w;
}

WString W(const char* ascii) {
  WString w;
  for (; ascii && *ascii; ++ascii) w.push_back((char16_t)(unsigned char)*ascii);
  return w;
}

WString WFromInt(long long v) { return W(std::to_string(v).c_str()); }

static bool IsWSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

int WToInt(const WString& s) {
  size_t i = 0;
  while (i < s.size() && IsWSpace(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) neg = s[i++] == u'-';
  long long v = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
    v = v * 10 + (s[i] - u'0');
    if (v > 0x80000000LL) v = 0x80000000LL;  // saturate; the cast below clamps
  }
  if (neg) v = -v;
  if (v > 0x7FFFFFFFLL) v = 0x7FFFFFFFLL;
  return (int)v;
}

unsigned long WToUlongHex(const WString& s) {
  size_t i = 0;
  while (i < s.size() && IsWSpace(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) neg = s[i++] == u'-';
  if (i + 2 < s.size() + 1 && i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    bool hexAfter = i + 2 < s.size() && ((s[i + 2] >= u'0' && s[i + 2] <= u'9') ||
                                         (s[i + 2] >= u'a' && s[i + 2] <= u'f') ||
                                         (s[i + 2] >= u'A' && s[i + 2] <= u'F'));
    if (hexAfter) i += 2;
  }
  unsigned long long v = 0;
  bool overflow = false;
  for (; i < s.size(); ++i) {
    char16_t c = s[i];
    int d;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
    else break;
    v = v * 16 + d;
    if (v > 0xFFFFFFFFULL) overflow = true;
  }
  if (overflow) return 0xFFFFFFFFUL;  // ULONG_MAX as on Windows (32-bit)
  unsigned long r = (unsigned long)(uint32_t)v;
  return neg ? (unsigned long)(uint32_t)(0u - (uint32_t)r) : r;
}

WString WLower(const WString& s) {
  WString r = s;
  for (auto& c : r)
    if (c >= u'A' && c <= u'Z') c = (char16_t)(c - u'A' + u'a');
  return r;
}

bool WEqualsNoCase(const WString& a, const WString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = (char16_t)(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = (char16_t)(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

WString WTrim(const WString& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsWSpace(s[b])) ++b;
  while (e > b && IsWSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

WString WideFromUtf16le(const char* bytes, size_t n) {
  WString w(n / 2, u'\0');
  for (size_t i = 0; i < w.size(); ++i)
    w[i] = (char16_t)((unsigned char)bytes[2 * i] | ((unsigned char)bytes[2 * i + 1] << 8));
  return w;
}

std::string Utf16leFromWide(const WString& w) {
  std::string b(w.size() * 2, '\0');
  for (size_t i = 0; i < w.size(); ++i) {
    b[2 * i] = (char)(w[i] & 0xFF);
    b[2 * i + 1] = (char)(w[i] >> 8);
  }
  return b;
}

TextBom SniffBom(const std::string& bytes, size_t& length) {
  if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) {
    length = 2;
    return TextBom::Utf16le;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    length = 3;
    return TextBom::Utf8;
  }
  length = 0;
  return TextBom::None;
}
