// quillup-pack nginx-conf: an nginx server block for serving a server
// directory in production.
#pragma once

#include <string>

namespace pack {

struct NginxOptions {
  std::string serverDir;
  int port = 80;
  std::string serverName = "_";  // nginx's name for "any host"
  std::string listenAddress;     // "" = every address
};

// The server block, ready to be placed in nginx's http block. Throws
// Error for a directory or name that nginx would read differently.
std::string NginxServerBlock(const NginxOptions& opt);

}  // namespace pack
