// The client's proxy file (config/LogonUserSetProxy.xml) through
// CNet::SetProxy. The system proxy is fixed (no registry, http_proxy set),
// so the outcome must follow the file: a configured proxy has a known type
// and the form host:port, no proxy leaves type -1. With a
// leading '#' the input fills a well-formed file whose outcome is checked.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "../fuzz_scratch.h"
#include "net/net.h"

namespace {

const char* const kSystemProxy = "127.0.0.1:3128";

// A field of lower-case letters, digits, dots and minus signs.
std::string Field(const std::string& in, size_t& at) {
  std::string s;
  while (at < in.size() && in[at] != '|') {
    char c = in[at++];
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-') s += c;
  }
  ++at;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = fuzz::Scratch("proxy");
  static const bool env = [&] {
    setenv("QUILLUP_REGISTRY_DIR", (dir + "/registry").c_str(), 1);
    setenv("http_proxy", (std::string("http://") + kSystemProxy + "/").c_str(), 1);
    return true;
  }();
  (void)env;
  std::string in((const char*)data, size), type, server, port, user, password;
  const bool wellFormed = !in.empty() && in[0] == '#';
  if (wellFormed) {
    size_t at = 1;
    type = Field(in, at), server = Field(in, at), port = Field(in, at), user = Field(in, at),
    password = Field(in, at);
    in = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Profile><Proxy><Type>" + type + "</Type><Server>" + server +
         "</Server><Port>" + port + "</Port><Name>" + user + "</Name><Password>" + password +
         "</Password><UseIESetting>0</UseIESetting></Proxy></Profile>";
  }
  const std::string path = dir + "/LogonUserSetProxy.xml";
  fuzz::WriteFile(path, in.data(), in.size());

  CNet net;
  bool set = net.SetProxy(WidePath(path));
  int32_t t = net.GetProxyType();
  const std::string proxy = Utf8FromWide(net.GetProxy()), userPwd = Utf8FromWide(net.GetProxyUserPwd());
  if (!set) {
    fuzz::Check(t == -1);
  } else {
    fuzz::Check(t == 0 || t == 4 || t == 5);
    fuzz::Check(proxy.find(':') != std::string::npos && (userPwd.empty() || userPwd.find(':') != std::string::npos));
  }
  if (wellFormed && type.size() < 9 && port.size() < 9) {
    int kind = atoi(type.c_str());
    bool want = kind >= 1 && kind <= 3 && !server.empty() && atoi(port.c_str()) > 0;
    fuzz::Check(set == want);
    if (want) {
      fuzz::Check(t == (kind == 1 ? 0 : kind + 2) && proxy == server + ":" + port);
      fuzz::Check(userPwd == (user.empty() || password.empty() ? std::string() : user + ":" + password));
    }
  }
  return 0;
}
