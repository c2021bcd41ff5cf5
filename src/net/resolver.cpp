#include <time.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/net.h"
#include "platform/names.h"
#include "platform/spawn.h"

namespace {

const WString kPublicResolver = u"114.114.114.114";
const WString kDelimiters = u" ,\t\r\n;|:\"";

unsigned TickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned)(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

// The output in the thread's code page; tokens of interest are ASCII, so
// text that does not convert is widened byte by byte rather than lost.
WString WidenOutput(const std::string& bytes) {
  WString w = WideFromAnsi(bytes);
  if (w.empty() && !bytes.empty())
    for (unsigned char c : bytes) w.push_back(c < 0x80 ? (char16_t)c : u'?');
  return w;
}

}  // namespace

WString CNet::ResolveByPublicDns(const WString& url) {
  // A port is not part of the name the resolver is asked about.
  WString host = HostNameOnly(GetHostFromUrl(url));
  if (host.empty()) return WString();

  plat::PipedProcess child;
  WString commandLine = names::kResolver + names::kExeSuffix + u" -timeout=1 -retry=1 " + host + u" " + kPublicResolver;
  if (!child.Start(commandLine)) return WString();

  // Read until the child has ended; a chunk stops at its first NUL. The
  // whole output is converted at once, so a read boundary inside a
  // character or an address loses nothing.
  std::string bytes;
  char buf[1024];
  for (;;) {
    memset(buf, 0, sizeof buf);
    long n = child.Read(buf, sizeof buf - 1);
    if (n <= 0) break;
    bytes.append(buf, strnlen(buf, (size_t)n));
  }
  child.Close();

  std::vector<WString> addresses = PublicDnsAddresses(bytes);
  if (addresses.empty()) return WString();
  unsigned seed = TickCount();
  return addresses[(size_t)rand_r(&seed) % addresses.size()];
}

std::vector<WString> CNet::PublicDnsAddresses(const std::string& bytes) {
  WString output = WidenOutput(bytes);
  std::vector<WString> addresses;
  size_t pos = 0;
  while (pos < output.size()) {
    size_t begin = output.find_first_not_of(kDelimiters, pos);
    if (begin == WString::npos) break;
    size_t end = output.find_first_of(kDelimiters, begin);
    WString token = output.substr(begin, end == WString::npos ? WString::npos : end - begin);
    pos = end == WString::npos ? output.size() : end;
    if (token != kPublicResolver && IsIPv4Address(token)) addresses.push_back(token);
  }
  return addresses;
}
