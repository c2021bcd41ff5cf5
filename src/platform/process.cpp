// The parts of the process interface that are text alone.
#include "platform/process.h"

namespace plat {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::vector<WString> SplitCommandLine(const WString& cmd) {
  std::vector<WString> args;
  size_t i = 0, n = cmd.size();
  for (;;) {
    while (i < n && IsBlank(cmd[i])) ++i;
    if (i >= n) break;
    WString arg;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(cmd[i]))) {
      if (cmd[i] == u'\\') {
        size_t count = 0;
        while (i < n && cmd[i] == u'\\') ++count, ++i;
        if (i < n && cmd[i] == u'"') {
          arg.append(count / 2, u'\\');
          if (count % 2) {
            arg.push_back(u'"');
            ++i;
          }
        } else {
          arg.append(count, u'\\');
        }
      } else if (cmd[i] == u'"') {
        if (quoted && i + 1 < n && cmd[i + 1] == u'"') {
          arg.push_back(u'"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.push_back(cmd[i++]);
      }
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace plat
