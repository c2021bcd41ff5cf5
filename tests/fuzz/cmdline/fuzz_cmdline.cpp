// The updater's command line: arguments (the input split at NUL bytes)
// joined into the argument text, its switches read, and the instance name
// made from it as if it were a root directory.
#include <cstdint>
#include <string>
#include <vector>

#include "../fuzz_scratch.h"
#include "app/cmdline.h"
#include "app/constants.h"

using namespace quillup;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"Quillup"};
  std::string cur((const char*)data, size);
  for (size_t at; (at = cur.find('\0')) != std::string::npos; cur.erase(0, at + 1)) args.push_back(cur.substr(0, at));
  args.push_back(cur);
  std::vector<const char*> argv;
  for (auto& a : args) argv.push_back(a.c_str());
  const WString line = CommandLineFromArgs((int)argv.size(), argv.data());

  uint64_t handle = 1;
  bool msgwnd = ParseMsgWnd(line, handle);
  fuzz::Check(msgwnd == HasSwitch(line, kSwitchMsgWnd));
  if (msgwnd) {
    // The digits after the first switch, saturating.
    uint64_t want = 0;
    for (size_t i = line.find(kSwitchMsgWnd) + kSwitchMsgWnd.size(); i < line.size(); ++i) {
      if (line[i] < u'0' || line[i] > u'9') break;
      unsigned __int128 next = (unsigned __int128)want * 10 + (line[i] - u'0');
      want = next > UINT64_MAX ? UINT64_MAX : (uint64_t)next;
      if (want == UINT64_MAX) break;
    }
    fuzz::Check(handle == want);
  } else {
    fuzz::Check(handle == 0);
  }

  WString target;
  bool autoFlag = false;
  bool replace = ParseReplace(line, target, autoFlag);
  fuzz::Check(replace == (HasSwitch(line, kSwitchReplace) || HasSwitch(line, kSwitchReplace2)));
  if (replace) {
    fuzz::Check(autoFlag == HasSwitch(line, kSwitchReplace));
    fuzz::Check(target.empty() || (target.front() != u'"' && target.back() != u'"'));
    fuzz::Check(line.find(target) != WString::npos);
  }

  const WString name = InstanceNameFromRoot(line);
  const WString suffix = u"~update~";
  fuzz::Check(name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
  for (char16_t c : name.substr(0, name.size() - suffix.size()))
    fuzz::Check(c != u'\\' && c != u'/' && c != u':' && !(c >= u'A' && c <= u'Z'));
  fuzz::Check(InstanceNameFromRoot(name.substr(0, name.size() - suffix.size())) == name);
  return 0;
}
