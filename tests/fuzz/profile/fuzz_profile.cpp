// INI files through the profile reader and writer: arbitrary file bytes,
// a read, then a write of a key whose value must read back as written
// (trimmed, one pair of quotes removed), another key keeping its value,
// and a second identical write changing no byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "../fuzz_scratch.h"
#include "platform/profile.h"

namespace {

// Names and values from a small alphabet: blanks, quotes, brackets, the
// separators of the format, letters of both cases and Chinese characters
// that code page 936 can hold.
WString Pick(FuzzedDataProvider& in, size_t maxLen) {
  static const char16_t kAlphabet[] = u" \t\"'[]=;aAbBkK01\u5347\u7EA7";
  WString s;
  size_t n = in.ConsumeIntegralInRange<size_t>(0, maxLen);
  constexpr size_t kLast = sizeof kAlphabet / sizeof kAlphabet[0] - 2;
  for (size_t i = 0; i < n; ++i) s.push_back(kAlphabet[in.ConsumeIntegralInRange<size_t>(0, kLast)]);
  return s;
}

WString Expected(WString v) {
  v = WTrim(v);
  if (v.size() >= 2 && (v[0] == u'"' || v[0] == u'\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
  return v.size() > 1023 ? v.substr(0, 1023) : v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const WString section = WTrim(Pick(in, 6)), key = WTrim(Pick(in, 6)), other = WTrim(Pick(in, 6));
  const WString value = Pick(in, 12) + (in.ConsumeBool() ? WString(1100, u'x') : WString());
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  const std::string dir = fuzz::Scratch("profile");
  const std::string path = dir + "/t.ini";
  fuzz::WriteFile(path, bytes.data(), bytes.size());
  const WString file = WidePath(path);
  const WString missing = u"\x1F";  // a default no value equals

  WString before = plat::GetProfileString(section, other, missing, file);
  if (!plat::WriteProfileString(section, key, value, file)) return 0;
  fuzz::Check(plat::GetProfileString(section, key, missing, file) == Expected(value));
  // A file read as code page 936 is so only by its bytes: once the changed
  // line was its only one that is not UTF-8, the others read as UTF-8.
  bool cp936 = !bytes.empty() && bytes.compare(0, 2, "\xFF\xFE") != 0 && bytes.compare(0, 3, "\xEF\xBB\xBF") != 0 &&
               WideFromUtf8(bytes).empty();
  if (!cp936 && !WEqualsNoCase(other, key))
    fuzz::Check(plat::GetProfileString(section, other, missing, file) == before);
  std::string written = fuzz::ReadFile(path);
  fuzz::Check(plat::WriteProfileString(section, key, value, file));
  fuzz::Check(fuzz::ReadFile(path) == written);
  return 0;
}
