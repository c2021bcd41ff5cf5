#include "common/netservers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/testutil.h"

extern char** environ;

namespace netsrv {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void Spit(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
  if (!f) throw std::runtime_error("cannot write " + path);
}

void Sh(const std::string& cmd) {
  int rc = system(cmd.c_str());
  if (rc != 0) throw std::runtime_error("command failed: " + cmd);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream ss(text);
  std::string line;
  while (std::getline(ss, line))
    if (!line.empty()) out.push_back(line);
  return out;
}

// The lines of a server's log, waiting briefly for its last request's line.
std::vector<std::string> LogLines(const std::string& path, size_t atLeast) {
  std::vector<std::string> lines;
  for (int i = 0; i < 100; ++i) {
    lines = Lines(Slurp(path));
    if (lines.size() >= atLeast) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return lines;
}

std::string GrayLocation() {
  return std::string("    location = /commonConfig/api/updateconfig/pcUpdateDetection {\n"
                     "      default_type application/json;\n"
                     "      return 200 '{\"status\":1,\"data\":{\"expire\":1,\"entity\":{\"downloadUrl\":\"") +
         kNginxGrayUrl + "\"}}}';\n    }\n";
}

// A Python fixture writes its port(s) to portFile once it listens.
bool WaitForPortFile(Child& child, const std::string& portFile, int& port, int* second) {
  for (int i = 0; i < 500; ++i) {
    std::ifstream f(portFile);
    int other = 0;
    if (f >> port && (!second || f >> other)) {
      if (second) *second = other;
      return WaitForPort(port, 2000);
    }
    if (!child.Running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}


}  // namespace

void IsolateNetwork() {
  std::string dir = FixturesDir();
  const char* path = getenv("PATH");
  std::string newPath = dir + ":" + (path ? path : "/usr/bin:/bin");
  setenv("PATH", newPath.c_str(), 1);
  setenv("QUILLUP_CONFIG_SERVICE_HOST", "127.0.0.1:9", 0);
  // libcurl would route the tests' transfers through a proxy of the machine.
  for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    unsetenv(v);
  setenv("QUILLUP_REGISTRY_DIR", "/nonexistent/quillup-registry", 0);
  // The program the resolver code will start must be the stand-in.
  FILE* p = popen("command -v nslookup", "r");
  char buf[4096] = {0};
  if (p) {
    if (!fgets(buf, sizeof buf, p)) buf[0] = 0;
    pclose(p);
  }
  std::string found = buf;
  while (!found.empty() && (found.back() == '\n' || found.back() == '\r')) found.pop_back();
  if (found != dir + "/nslookup") throw std::runtime_error("nslookup stand-in not first on PATH: " + found);
}

std::string FixturesDir() { return std::string(QUILLUP_SOURCE_DIR) + "/tests/net/fixtures"; }

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, (sockaddr*)&a, sizeof a) != 0 || getsockname(s, (sockaddr*)&a, &len) != 0) {
    if (s >= 0) close(s);
    throw std::runtime_error("no free port");
  }
  close(s);
  return ntohs(a.sin_port);
}

bool WaitForPort(int port, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    bool ok = connect(s, (sockaddr*)&a, sizeof a) == 0;
    close(s);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TestCa::TestCa(const std::string& dir) : m_dir(dir) {
  caFile = dir + "/ca.pem";
  certFile = dir + "/server.pem";
  keyFile = dir + "/server.key";
  Spit(dir + "/ext.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n");
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  Sh("cd '" + dir + "' && openssl req -x509" + ec +
     "-keyout ca.key -out ca.pem -days 2 -subj '/CN=Quillup Test CA' >/dev/null 2>&1 && "
     "openssl req" + ec + "-keyout server.key -out server.csr -subj '/CN=127.0.0.1' >/dev/null 2>&1 && "
     "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
     "-extfile ext.cnf >/dev/null 2>&1");
}

std::string TestCa::Issue(const std::string& name, const std::string& san, const std::string& start,
                          const std::string& end) const {
  const std::string sub = m_dir + "/" + name + ".ca";
  Sh("mkdir -p '" + sub + "'");
  Spit(sub + "/index.txt", "");
  Spit(sub + "/serial", "01\n");
  Spit(sub + "/ca.cnf", "[ca]\ndefault_ca=c\n[c]\ndatabase=" + sub + "/index.txt\nnew_certs_dir=" + sub +
                            "\nserial=" + sub + "/serial\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n"
                            "[ext]\nsubjectAltName=" + san + "\nbasicConstraints=CA:FALSE\n");
  const std::string out = m_dir + "/" + name + ".pem";
  Sh("openssl ca -batch -notext -config '" + sub + "/ca.cnf' -cert '" + caFile + "' -keyfile '" + m_dir +
     "/ca.key' -in '" + m_dir + "/server.csr' -out '" + out + "' -startdate " + start + " -enddate " + end +
     " -extensions ext >/dev/null 2>&1");
  return out;
}

std::string TestCa::SelfSigned(const std::string& name) const {
  const std::string out = m_dir + "/" + name + ".pem";
  Sh("openssl req -x509 -key '" + keyFile + "' -out '" + out +
     "' -days 2 -subj '/CN=127.0.0.1' -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1");
  return out;
}

void Child::Start(const std::vector<std::string>& argv, const std::string& outFile) {
  Stop();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  std::string out = outFile.empty() ? "/dev/null" : outFile;
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int rc = posix_spawnp(&m_pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    m_pid = -1;
    throw std::runtime_error("cannot start " + argv[0]);
  }
}

bool Child::Running() {
  if (m_pid <= 0) return false;
  int status;
  if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
    m_pid = -1;
    return false;
  }
  return true;
}

void Child::Stop(int graceMs) {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  for (int i = 0; i < graceMs / 20; ++i) {
    int status;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(m_pid, SIGKILL);
  int status;
  waitpid(m_pid, &status, 0);
  m_pid = -1;
}

Nginx::Nginx(const std::string& workDir, const std::string& root, const TestCa& ca,
             const std::vector<std::pair<std::string, std::string>>& extraCerts)
    : m_workDir(workDir) {
  Launch([&] {
    m_http = FreePort();
    m_https = FreePort();
    if (m_https == m_http) return std::string();
    m_extra.clear();
    for (size_t i = 0; i < extraCerts.size(); ++i) m_extra.push_back(FreePort());
    std::ostringstream conf;
    conf << "  server {\n"
         << "    listen 127.0.0.1:" << m_http << ";\n"
         << "    listen 127.0.0.1:" << m_https << " ssl;\n"
         << "    ssl_certificate " << ca.certFile << ";\n    ssl_certificate_key " << ca.keyFile << ";\n"
         << "    root " << root << ";\n"
         << "    location /redir/ { rewrite ^/redir/(.*)$ /$1 redirect; }\n"
         << GrayLocation() << "  }\n";
    for (size_t i = 0; i < extraCerts.size(); ++i)
      conf << "  server {\n    listen 127.0.0.1:" << m_extra[i] << " ssl;\n    ssl_certificate " << extraCerts[i].first
           << ";\n    ssl_certificate_key " << extraCerts[i].second << ";\n    root " << root << ";\n"
           << GrayLocation() << "  }\n";
    return conf.str();
  });
}

Nginx::Nginx(const std::string& workDir, const std::function<std::string(int port)>& serverBlock)
    : m_workDir(workDir) {
  Launch([&] {
    m_http = FreePort();
    return serverBlock(m_http);
  });
}

void Nginx::Launch(const std::function<std::string()>& servers) {
  const std::string& workDir = m_workDir;
  Sh("mkdir -p '" + workDir + "/tmp'");
  // A port taken by a parallel test between choosing and binding: try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string blocks = servers();
    if (blocks.empty()) continue;
    std::string t = workDir + "/tmp/";
    std::ostringstream conf;
    conf << "master_process off;\ndaemon off;\npid " << workDir << "/nginx.pid;\n"
         << "error_log " << workDir << "/error.log warn;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n"
         << "  log_format quillup '$request_method $uri $status $bytes_sent $body_bytes_sent \"$http_host\" "
            "\"$http_range\"';\n"
         << "  access_log " << workDir << "/access.log quillup;\n"
         << "  client_body_temp_path " << t << "body;\n  proxy_temp_path " << t << "proxy;\n"
         << "  fastcgi_temp_path " << t << "fastcgi;\n  uwsgi_temp_path " << t << "uwsgi;\n"
         << "  scgi_temp_path " << t << "scgi;\n"
         << "  types { application/zip zip; application/xml xml; }\n"
         << "  default_type application/octet-stream;\n"
         << "  sendfile on;\n  keepalive_timeout 5;\n"
         // Redirects stay relative: an absolute one would name the Host
         // header that a test sent, which might not be a local name.
         << "  absolute_redirect off;\n"
         << blocks << "}\n";
    Spit(workDir + "/nginx.conf", conf.str());
    m_child.Start({"nginx", "-p", workDir, "-e", workDir + "/error.log", "-c", workDir + "/nginx.conf"},
                  workDir + "/nginx.out");
    bool up = WaitForPort(m_http, 5000) && (m_https == 0 || WaitForPort(m_https, 2000));
    for (int p : m_extra) up = up && WaitForPort(p, 2000);
    if (up && m_child.Running()) return;
    m_child.Stop();
  }
  throw std::runtime_error("nginx did not start; see " + workDir + "/error.log");
}

Nginx::~Nginx() { m_child.Stop(); }

std::string Nginx::HttpUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_http) + path;
}

std::string Nginx::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(m_https) + path;
}

std::vector<std::string> Nginx::AccessLines(size_t atLeast) const { return LogLines(accessLog(), atLeast); }

FaultServer::FaultServer(const std::string& workDir, const std::string& root, const TestCa* ca)
    : m_workDir(workDir) {
  std::string portFile = workDir + "/fault.ports";
  unlink(portFile.c_str());
  std::vector<std::string> argv = {testutil::Python(), FixturesDir() + "/fault_server.py", "--root", root,
                                   "--port-file", portFile, "--record", recordFile(),
                                   "--gray-answer", workDir + "/gray_answer.txt", "--rules", workDir + "/rules.txt"};
  if (ca) {
    argv.insert(argv.end(), {"--cert", ca->certFile, "--key", ca->keyFile});
  }
  m_child.Start(argv, workDir + "/fault_server.out");
  if (!WaitForPortFile(m_child, portFile, m_http, &m_https))
    throw std::runtime_error("fault server did not start; see " + workDir + "/fault_server.out");
}

AuthProxy::AuthProxy(const std::string& workDir, const std::string& scheme, const std::string& user,
                     const std::string& password)
    : m_workDir(workDir) {
  std::string portFile = workDir + "/proxy.port";
  unlink(portFile.c_str());
  m_child.Start({testutil::Python(), FixturesDir() + "/auth_proxy.py", "--port-file", portFile, "--record",
                 workDir + "/proxy.jsonl", "--scheme", scheme, "--user", user, "--password", password},
                workDir + "/proxy.out");
  if (!WaitForPortFile(m_child, portFile, m_port, nullptr))
    throw std::runtime_error("proxy did not start; see " + workDir + "/proxy.out");
}

std::vector<std::string> AuthProxy::Requests() const { return Lines(Slurp(m_workDir + "/proxy.jsonl")); }

Squid::Squid(const std::string& user, const std::string& password) {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quillup-squid-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  m_dir = tmpl;
  const std::string& d = m_dir;
  Spit(d + "/negotiate.sh", "#!/bin/sh\nwhile read -r line; do echo 'BH no Kerberos here'; done\n");
  Spit(d + "/basic.sh", "#!/bin/sh\nwhile read -r user pass; do\n  if [ \"$user $pass\" = '" + user + " " + password +
                            "' ]; then echo OK; else echo ERR; fi\ndone\n");
  Spit(d + "/hosts", "127.0.0.1 localhost\n");
  const bool root = geteuid() == 0;
  // squid refuses to keep root's rights and becomes the user "proxy".
  Sh("chmod 755 '" + d + "' && chmod 755 '" + d + "'/*.sh" + (root ? " && chown -R proxy: '" + d + "'" : ""));
  // The service name keeps the shared memory of parallel squids apart.
  static int instances = 0;
  const std::string service = "quillup" + std::to_string(getpid()) + "x" + std::to_string(++instances);
  for (int attempt = 0; attempt < 5; ++attempt) {
    m_port = FreePort();
    std::ostringstream conf;
    conf << "http_port 127.0.0.1:" << m_port << "\n"
         << (root ? "cache_effective_user proxy\n" : "")
         << "visible_hostname localhost\n"
         << "pid_filename " << d << "/squid.pid\ncache_log " << d << "/cache.log\n"
         << "access_log stdio:" << d << "/access.log\ncache_store_log none\ncoredump_dir " << d << "\n"
         << "netdb_filename none\npinger_enable off\ncache deny all\nshutdown_lifetime 0 seconds\n"
         << "dns_nameservers 127.0.0.1\nhosts_file " << d << "/hosts\n"
         << "auth_param negotiate program " << d << "/negotiate.sh\nauth_param negotiate children 1\n"
         << "auth_param basic program " << d << "/basic.sh\nauth_param basic children 1\n"
         << "auth_param basic realm quillup\n"
         << "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
    Spit(d + "/squid.conf", conf.str());
    if (root) Sh("chown proxy: '" + d + "/squid.conf'");
    m_child.Start({"squid", "-N", "-d", "1", "-n", service, "-f", d + "/squid.conf"}, d + "/squid.out");
    if (WaitForPort(m_port, 10000) && m_child.Running()) return;
    m_child.Stop();
  }
  std::string out = Slurp(d + "/squid.out");
  Sh("rm -rf '" + d + "'");
  throw std::runtime_error("squid did not start:\n" + out);
}

Squid::~Squid() {
  // It takes a second to close its helpers; killed, it would leave its
  // shared memory behind.
  m_child.Stop(5000);
  if (system(("rm -rf '" + m_dir + "'").c_str()) != 0) fprintf(stderr, "cannot remove %s\n", m_dir.c_str());
}

std::vector<std::string> Squid::AccessLines(size_t atLeast) const { return LogLines(m_dir + "/access.log", atLeast); }

std::string FaultServer::HttpUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_http) + path;
}

std::string FaultServer::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(m_https) + path;
}

void FaultServer::SetGrayAnswer(int status, const std::string& body, double delaySeconds) const {
  std::ostringstream first;
  first << status;
  if (delaySeconds > 0) first << " " << delaySeconds;
  std::string tmp = m_workDir + "/gray_answer.tmp";
  Spit(tmp, first.str() + "\n" + body);
  rename(tmp.c_str(), (m_workDir + "/gray_answer.txt").c_str());
}

void FaultServer::SetRules(const std::string& rules) const {
  std::string tmp = m_workDir + "/rules.tmp";
  Spit(tmp, rules);
  rename(tmp.c_str(), (m_workDir + "/rules.txt").c_str());
}

std::vector<std::string> FaultServer::Requests() const {
  std::vector<std::string> out;
  for (auto& l : Lines(Slurp(recordFile())))
    if (l.compare(0, 9, "{\"done\": ") != 0) out.push_back(l);
  return out;
}

long long FaultServer::BytesSent(const std::string& suffix) const {
  long long total = 0;
  for (auto& l : Lines(Slurp(recordFile()))) {
    if (l.compare(0, 9, "{\"done\": ") != 0) continue;
    size_t sent = l.rfind("\"sent\": ");
    size_t pathEnd = l.find("\", \"sent\"");
    if (sent == std::string::npos || pathEnd == std::string::npos) continue;
    std::string path = l.substr(10, pathEnd - 10);
    if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
      total += atoll(l.c_str() + sent + 8);
  }
  return total;
}

std::string PatternBytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 7 + i / 251) & 0xFF);
  return s;
}

}  // namespace netsrv
