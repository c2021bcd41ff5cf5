// Real servers for network tests, all on 127.0.0.1 with ports chosen at
// run time: nginx with a generated configuration (HTTP and HTTPS), the
// fault server of tests/net/fixtures, and a test CA made with the openssl
// program. Usable without gtest (the download benchmark shares them);
// failures throw std::runtime_error.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace netsrv {

// Makes this process safe for network tests: the nslookup stand-in of the
// fixtures first on PATH (checked: throws when another one would run), the
// configuration service pointed at 127.0.0.1:9 unless a test sets it, and
// the registry stand-in pointed at an empty place, no proxy variables.
// Call once at start.
void IsolateNetwork();

// Directory of the network fixtures (fault server, nslookup stand-in).
std::string FixturesDir();

// A port on 127.0.0.1 that was free a moment ago.
int FreePort();
// Waits until 127.0.0.1:port accepts connections.
bool WaitForPort(int port, int timeoutMs);

// A CA and a server certificate for 127.0.0.1 and localhost under dir.
struct TestCa {
  explicit TestCa(const std::string& dir);
  std::string caFile;    // PEM of the CA, what clients trust
  std::string certFile;  // server certificate signed by the CA
  std::string keyFile;
  // More certificates for keyFile, written as dir/name.pem: signed by the
  // CA for the subject alternative names san, valid from start to end
  // (openssl's YYYYMMDDHHMMSSZ); or signed by their own key.
  std::string Issue(const std::string& name, const std::string& san, const std::string& start,
                    const std::string& end) const;
  std::string SelfSigned(const std::string& name) const;

 private:
  std::string m_dir;
};

// A child process killed (SIGTERM, then SIGKILL) and reaped at destruction.
class Child {
 public:
  Child() = default;
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Standard output and error go to outFile ("" = /dev/null).
  void Start(const std::vector<std::string>& argv, const std::string& outFile = "");
  // SIGKILL when it has not ended graceMs after SIGTERM.
  void Stop(int graceMs = 2000);
  bool Running();
  pid_t pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
};

// nginx serving root over HTTP and HTTPS. /redir/<path> answers 302 to
// /<path>. The access log has one line per request:
//   METHOD URI STATUS BYTES_SENT BODY_BYTES_SENT "HOST" "RANGE"
class Nginx {
 public:
  // workDir holds configuration, logs and temp files; root is served.
  // Each of extraCerts (certificate, key) gets an HTTPS port of its own.
  Nginx(const std::string& workDir, const std::string& root, const TestCa& ca,
        const std::vector<std::pair<std::string, std::string>>& extraCerts = {});
  // nginx with the server block serverBlock(port) returns for a free port
  // (the block must listen on 127.0.0.1:port); httpsPort() is 0.
  Nginx(const std::string& workDir, const std::function<std::string(int port)>& serverBlock);
  ~Nginx();
  int httpPort() const { return m_http; }
  int httpsPort() const { return m_https; }
  int extraPort(size_t i) const { return m_extra.at(i); }
  std::string HttpUrl(const std::string& path) const;   // path starts with "/"
  std::string HttpsUrl(const std::string& path) const;
  std::string accessLog() const { return m_workDir + "/access.log"; }
  // Access log lines so far (waits briefly for the last request's line).
  std::vector<std::string> AccessLines(size_t atLeast = 0) const;

 private:
  // Writes the configuration around the server blocks servers() returns
  // (after choosing the ports; "" to choose again) and starts nginx.
  void Launch(const std::function<std::string()>& servers);
  std::string m_workDir;
  int m_http = 0, m_https = 0;
  std::vector<int> m_extra;
  Child m_child;
};

// The gray-release answer nginx gives on every port: gray, with this URL.
inline const char* kNginxGrayUrl = "http://127.0.0.1:1/gray";

// tests/net/fixtures/fault_server.py; see its header for the modes.
class FaultServer {
 public:
  FaultServer(const std::string& workDir, const std::string& root, const TestCa* ca);
  int httpPort() const { return m_http; }
  int httpsPort() const { return m_https; }
  std::string HttpUrl(const std::string& path) const;
  std::string HttpsUrl(const std::string& path) const;
  // Gray-release answer: status line "STATUS [DELAY]" and body.
  void SetGrayAnswer(int status, const std::string& body, double delaySeconds = 0) const;
  // Modes by name suffix for /r/<name>: lines "SUFFIX MODE [QUERY]".
  void SetRules(const std::string& rules) const;
  std::string recordFile() const { return m_workDir + "/requests.jsonl"; }
  // One JSON line per request received so far.
  std::vector<std::string> Requests() const;
  // Body bytes sent in the answers to requests whose path ends with suffix.
  long long BytesSent(const std::string& suffix) const;

 private:
  std::string m_workDir;
  int m_http = 0, m_https = 0;
  Child m_child;
};

// tests/net/fixtures/auth_proxy.py: a forward proxy (absolute-URL requests
// and CONNECT, to 127.0.0.1 only) demanding scheme "digest", "basic" or
// "none" with user and password.
class AuthProxy {
 public:
  AuthProxy(const std::string& workDir, const std::string& scheme, const std::string& user = "",
            const std::string& password = "");
  int port() const { return m_port; }
  // One JSON line per request: method, target, auth (Proxy-Authorization).
  std::vector<std::string> Requests() const;

 private:
  std::string m_workDir;
  int m_port = 0;
  Child m_child;
};

// squid (the Debian package) as a forward proxy on 127.0.0.1 that asks for
// Negotiate first and Basic second, as company proxies do. The Negotiate
// helper answers every token "BH" (no Kerberos here); the Basic helper
// accepts user and password (letters and digits) only. Nothing is cached.
// It resolves no name (its hosts file and its name server are 127.0.0.1):
// URLs through it name 127.0.0.1. Configuration, logs, pid file and helpers
// lie in a scratch directory of its own, which the unprivileged user squid
// becomes when started as root can use. Stopped at destruction.
class Squid {
 public:
  Squid(const std::string& user, const std::string& password);
  ~Squid();
  Squid(const Squid&) = delete;
  Squid& operator=(const Squid&) = delete;
  int port() const { return m_port; }
  // access.log lines so far (waits briefly for atLeast of them):
  //   TIME ELAPSED CLIENT CODE/STATUS BYTES METHOD URL USER HIERARCHY TYPE
  std::vector<std::string> AccessLines(size_t atLeast = 0) const;

 private:
  std::string m_dir;
  int m_port = 0;
  Child m_child;
};

// A file of n bytes whose byte i is (i * 7 + i / 251) & 0xFF.
std::string PatternBytes(size_t n);

}  // namespace netsrv
