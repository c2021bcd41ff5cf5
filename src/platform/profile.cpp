// What every system's profile writer refuses.
#include "platform/profile.h"

namespace plat {
namespace {

bool HasLineBreak(const WString& s) { return s.find_first_of(u"\r\n") != WString::npos; }

}  // namespace

bool IsWritableProfileEntry(const WString& section, const WString& key, const WString& value) {
  if (section.empty() || key.empty()) return false;
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  // Names that would read back as something else are refused too.
  WString k = WTrim(key), s = WTrim(section);
  return !k.empty() && !s.empty() && k.find(u'=') == WString::npos && k[0] != u'[' && k[0] != u';' &&
         s.find(u']') == WString::npos;
}

}  // namespace plat
