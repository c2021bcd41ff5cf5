// nslookup's output through CNet::PublicDnsAddresses: every address taken is
// a well-formed IPv4 address other than the resolver's own, found in the
// output, and an answer line appended to the output adds its address last.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "../fuzz_scratch.h"
#include "net/net.h"

namespace {

bool PrintsBack(const WString& a) {
  std::string s = Utf8FromWide(a);
  in_addr addr;
  char buf[INET_ADDRSTRLEN];
  return inet_pton(AF_INET, s.c_str(), &addr) == 1 && inet_ntop(AF_INET, &addr, buf, sizeof buf) && s == buf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string output((const char*)data, size);
  output.erase(std::find(output.begin(), output.end(), '\0'), output.end());  // read up to a NUL
  auto addresses = CNet::PublicDnsAddresses(output);
  for (const WString& a : addresses) {
    fuzz::Check(PrintsBack(a) && a != u"114.114.114.114");
    fuzz::Check(output.find(Utf8FromWide(a)) != std::string::npos);
  }
  auto more = CNet::PublicDnsAddresses(output + "\r\nAddress:  10.20.30.40\r\n");
  fuzz::Check(more.size() == addresses.size() + 1 && more.back() == u"10.20.30.40");
  return 0;
}
