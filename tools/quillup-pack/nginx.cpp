#include "nginx.h"

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "common.h"
#include "packset.h"

namespace pack {
namespace {

// Packs keep their bytes once published: an increment is named by the stamp
// it leads to and the full pack by the version's QUILLUP_ID.
const char* const kPackMaxAge = "2592000";  // 30 days

// nginx expands "$" in a root and has no escape for it; quotes and
// backslashes would need escaping, control characters cannot be written.
void CheckConfigText(const std::string& what, const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F || c == '$' || c == '"' || c == '\\' || c == '{' || c == '}' || c == ';')
      throw Error(what + " \"" + text + "\" holds a character nginx would read differently (" +
                  (c < 0x20 || c == 0x7F ? std::string("a control character") : std::string(1, (char)c)) + ")");
}

bool IsValidServerName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (!isalnum(c) && c != '.' && c != '-' && c != '_' && c != '*') return false;
  return true;
}

bool IsValidListenAddress(const std::string& a) {
  if (a.empty()) return false;
  if (a.front() == '[')
    return a.back() == ']' && a.find_first_not_of("[]0123456789abcdefABCDEF:.") == std::string::npos;
  return a.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

std::string NginxServerBlock(const NginxOptions& opt) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(opt.serverDir, ec)) throw Error(opt.serverDir + " is not a directory");
  std::string root = fs::canonical(opt.serverDir, ec).string();
  if (ec) throw Error("cannot resolve " + opt.serverDir + ": " + ec.message());
  CheckConfigText("the server directory", root);
  if (!fs::exists(root + "/" + kListFile, ec))
    Warn(root + " holds no " + std::string(kListFile) + " yet; build the packs into it before nginx serves it");
  if (opt.port < 1 || opt.port > 65535) throw Error("port " + std::to_string(opt.port) + " is out of range");
  if (!IsValidServerName(opt.serverName))
    throw Error("\"" + opt.serverName + "\" is not a server name (letters, digits, \".\", \"-\", \"_\", \"*\")");
  if (!opt.listenAddress.empty() && !IsValidListenAddress(opt.listenAddress))
    throw Error("\"" + opt.listenAddress + "\" is not a numeric IPv4 address or a bracketed IPv6 address");
  std::string listen = (opt.listenAddress.empty() ? "" : opt.listenAddress + ":") + std::to_string(opt.port);

  std::string c;
  c += "# nginx server block for the Quillup update server directory\n";
  c += "#   " + root + "\n";
  c += "# written by quillup-pack nginx-conf. Place it in nginx's http block (for\n";
  c += "# example as /etc/nginx/conf.d/quillup.conf), check it with \"nginx -t\" and\n";
  c += "# reload nginx. The directory is served at the root of the server, so the\n";
  std::string host = opt.serverName == "_" || opt.serverName.find('*') != std::string::npos ? "NAME" : opt.serverName;
  c += "# versions' OUTSIDE_DOWNLOAD_URL is http://" + host + (opt.port == 80 ? "" : ":" + std::to_string(opt.port)) +
       ".\n";
  c += "server {\n";
  c += "    listen " + listen + ";\n";
  c += "    server_name " + opt.serverName + ";\n";
  c += "    root \"" + root + "\";\n";
  c += "\n";
  c += "    server_tokens off;\n";
  c += "    autoindex off;\n";
  c += "    sendfile on;\n";
  c += "    tcp_nopush on;\n";
  c += "    # The list gives each pack's size and MD5: the bytes go out as they are.\n";
  c += "    gzip off;\n";
  c += "    types {\n";
  c += "        application/zip zip;\n";
  c += "        text/xml xml;\n";
  c += "        text/plain sig;\n";
  c += "    }\n";
  c += "    default_type application/octet-stream;\n";
  c += "\n";
  c += "    # The updater only downloads: GET and HEAD, anything else gets 405.\n";
  c += "    if ($request_method !~ ^(GET|HEAD)$) {\n";
  c += "        return 405;\n";
  c += "    }\n";
  c += "    error_page 405 @quillup_method;\n";
  c += "    location @quillup_method {\n";
  c += "        add_header Allow \"GET, HEAD\" always;\n";
  c += "        return 405;\n";
  c += "    }\n";
  c += "\n";
  c += "    # The lists (and their signatures) name the current release: never\n";
  c += "    # cached, by clients or by proxies on the way.\n";
  c += "    location ~ ^/(servicepacksNum|force_servicepack)\\.xml(\\.sig)?$ {\n";
  c += "        add_header Cache-Control \"no-store, no-cache, must-revalidate, max-age=0\" always;\n";
  c += "        add_header Pragma \"no-cache\" always;\n";
  c += "        etag off;\n";
  c += "        if_modified_since off;\n";
  c += "    }\n";
  c += "\n";
  c += "    # A published pack keeps its bytes (its name is that of the version it\n";
  c += "    # leads to): cached for long, served in byte ranges so that a broken\n";
  c += "    # download resumes. Rebuilding a version under the same name with other\n";
  c += "    # bytes would leave caches holding the old pack, which the updater then\n";
  c += "    # rejects by its MD5.\n";
  c += "    location ~ ^/[^/.][^/]*\\.zip$ {\n";
  c += "        add_header Cache-Control \"public, max-age=" + std::string(kPackMaxAge) + "\" always;\n";
  c += "    }\n";
  c += "\n";
  c += "    # Nothing else in the directory is served.\n";
  c += "    location / {\n";
  c += "        return 404;\n";
  c += "    }\n";
  c += "}\n";
  return c;
}

}  // namespace pack
