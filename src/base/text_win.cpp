// The code page conversions through the system's own tables.
#include <windows.h>

#include <cstdio>

#include "base/text.h"

namespace {

constexpr UINT kGbk = 936;

// Strict: false on any byte sequence the code page does not define.
bool ToWide(UINT cp, const std::string& s, WString& out) {
  out.clear();
  if (s.empty()) return true;
  int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), nullptr, 0);
  if (n <= 0) return false;
  out.resize((size_t)n);
  return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), (wchar_t*)&out[0], n) == n;
}

// Characters without a form in the code page become '?'; lost tells
// whether any did.
std::string FromWide(UINT cp, const WString& s, bool* lost = nullptr) {
  if (lost) *lost = false;
  if (s.empty()) return std::string();
  if (cp == CP_ACP) cp = GetACP();
  const wchar_t* w = (const wchar_t*)s.data();
  BOOL used = FALSE;
  // UTF-8 takes no default character and cannot lose any.
  BOOL* usedArg = cp == CP_UTF8 ? nullptr : &used;
  const char* defArg = cp == CP_UTF8 ? nullptr : "?";
  int n = WideCharToMultiByte(cp, 0, w, (int)s.size(), nullptr, 0, defArg, usedArg);
  if (n <= 0) {
    if (lost) *lost = true;
    return std::string();
  }
  std::string out((size_t)n, '\0');
  WideCharToMultiByte(cp, 0, w, (int)s.size(), &out[0], n, defArg, usedArg);
  if (lost) *lost = used != FALSE;
  return out;
}

}  // namespace

std::string GbkFromWide(const WString& s) { return FromWide(kGbk, s); }

WString WideFromGbk(const std::string& s) {
  WString out;
  return ToWide(kGbk, s, out) ? out : WString();
}

WString WideFromAnsi(const std::string& s) {
  WString out;
  return ToWide(CP_ACP, s, out) ? out : WString();
}

std::string AnsiFromWide(const WString& s) { return FromWide(CP_ACP, s); }

bool IsGbkRepresentable(const WString& s) {
  bool lost = false;
  FromWide(kGbk, s, &lost);
  return !lost;
}

const char* AnsiCodesetName() {
  static char name[16];
  UINT acp = GetACP();
  if (acp == CP_UTF8) return "UTF-8";
  snprintf(name, sizeof name, "CP%u", acp);
  return name;
}
