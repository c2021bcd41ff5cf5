// Text conversions between UTF-16, code page 936 and UTF-8.
#pragma once

#include <cstdint>
#include <string>

// Wide text is UTF-16 on every platform.
using WString = std::u16string;
using WChar = char16_t;

// Every conversion yields an empty string when the source cannot be
// converted; never a partial result.
std::string GbkFromWide(const WString& s);    // characters outside 936 become '?'
WString WideFromGbk(const std::string& s);
WString WideFromUtf8(const std::string& s);
std::string Utf8FromWide(const WString& s);
std::string Utf8FromGbk(const std::string& s);
std::string GbkFromUtf8(const std::string& s);
// The current thread's ANSI code page: the locale's codeset (C locale = UTF-8).
WString WideFromAnsi(const std::string& s);
std::string AnsiFromWide(const WString& s);
// iconv's name of that code page ("UTF-8" for a C/POSIX locale).
const char* AnsiCodesetName();

// Escaped ASCII: units >= 256 become "\uXXXX", others one byte.
std::string EscapedFromWide(const WString& s);
std::string EscapedFromGbk(const std::string& s);

// True when every character of s has a code page 936 form. A path that
// fails this cannot be opened through the narrow interfaces.
bool IsGbkRepresentable(const WString& s);

// The on-disk (UTF-8) name for a wide path, with the code page 936 check
// that the narrow file interfaces imply. False when 936 cannot hold it.
bool NativePath(const WString& path, std::string& out);
// Convenience for paths that never need the check (returns UTF-8).
std::string NativePathUnchecked(const WString& path);
WString WidePath(const std::string& native);

// Code point cp (at most 0x10FFFF, not a surrogate) as one unit, or as a
// surrogate pair above 0xFFFF, written to units; returns how many.
inline int EncodeUtf16(uint32_t cp, char16_t* units) {
  if (cp < 0x10000) {
    units[0] = (char16_t)cp;
    return 1;
  }
  cp -= 0x10000;
  units[0] = (char16_t)(0xD800 + (cp >> 10));
  units[1] = (char16_t)(0xDC00 + (cp & 0x3FF));
  return 2;
}
inline void AppendUtf16(WString& out, uint32_t cp) {
  char16_t units[2];
  out.append(units, EncodeUtf16(cp, units));
}

// UTF-16LE bytes to wide text (an odd last byte is dropped) and back.
WString WideFromUtf16le(const char* bytes, size_t n);
std::string Utf16leFromWide(const WString& w);

// The byte-order mark a text file starts with, and its length in bytes.
enum class TextBom { None, Utf8, Utf16le };
TextBom SniffBom(const std::string& bytes, size_t& length);

// ASCII literal or number to wide text.
WString W(const char* ascii);
WString WFromInt(long long v);
// Leading-digits decimal value, as _wtoi does (optional sign, blanks skipped).
int WToInt(const WString& s);
// wcstoul(s, 0, 16): optional blanks, sign, "0x"; stops at the first non-hex.
unsigned long WToUlongHex(const WString& s);

// ASCII-only case folding and comparison.
WString WLower(const WString& s);
bool WEqualsNoCase(const WString& a, const WString& b);
WString WTrim(const WString& s);
