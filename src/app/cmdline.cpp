#include "app/cmdline.h"

#include "app/constants.h"

namespace quillup {

WString CommandLineFromArgs(int argc, const char* const* argv) {
  WString text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += u' ';
    text += WidePath(argv[i]);
  }
  return text;
}

bool HasSwitch(const WString& cmdLine, const WString& sw) { return cmdLine.find(sw) != WString::npos; }

bool ParseMsgWnd(const WString& cmdLine, uint64_t& handle) {
  handle = 0;
  size_t pos = cmdLine.find(kSwitchMsgWnd);
  if (pos == WString::npos) return false;
  for (size_t i = pos + kSwitchMsgWnd.size(); i < cmdLine.size(); ++i) {
    char16_t c = cmdLine[i];
    if (c < u'0' || c > u'9') break;
    uint64_t digit = (uint64_t)(c - u'0');
    if (handle > (UINT64_MAX - digit) / 10) {
      handle = UINT64_MAX;
      break;
    }
    handle = handle * 10 + digit;
  }
  return true;
}

bool ParseReplace(const WString& cmdLine, WString& target, bool& autoFlag) {
  size_t pos = cmdLine.find(kSwitchReplace);
  size_t len = kSwitchReplace.size();
  autoFlag = true;
  if (pos == WString::npos) {
    pos = cmdLine.find(kSwitchReplace2);
    len = kSwitchReplace2.size();
    autoFlag = false;
  }
  if (pos == WString::npos) return false;
  WString rest = cmdLine.substr(pos + len);
  size_t b = rest.find_first_not_of(u'"');
  size_t e = rest.find_last_not_of(u'"');
  target = b == WString::npos ? WString() : rest.substr(b, e - b + 1);
  return true;
}

WString InstanceNameFromRoot(const WString& rootDir) {
  WString name = rootDir;
  for (auto& c : name)
    if (c == u'\\' || c == u'/' || c == u':') c = u'.';
  name = WTrim(WLower(name));
  return name + u"~update~";
}

}  // namespace quillup
