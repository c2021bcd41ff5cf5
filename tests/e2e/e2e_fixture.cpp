#include "e2e_fixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

bool WaitForFile(const std::string& path, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (!testutil::ReadFile(path).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::vector<std::string> EnvBlock(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (auto& [k, v] : env) {
    if (v.empty())
      all.erase(k);
    else
      all[k] = v;
  }
  std::vector<std::string> out;
  for (auto& [k, v] : all) out.push_back(k + "=" + v);
  return out;
}

pid_t SpawnWith(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                const std::string& cwd, const std::string& errFile) {
  std::vector<std::string> envs = EnvBlock(env);
  std::vector<char*> a, e;
  for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (auto& s : envs) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (!errFile.empty()) {
      FILE* f = freopen(errFile.c_str(), "w", stderr);
      (void)f;
      dup2(2, 1);
    }
    FILE* in = freopen("/dev/null", "r", stdin);
    (void)in;
    execve(a[0], a.data(), e.data());
    _exit(127);
  }
  return pid;
}

// The demo versions and their server directory take seconds to make; they
// are made once per build of the pack tool and copied by every test.
std::string TemplateDir() {
  struct stat a {}, b {};
  stat(QUILLUP_E2E_PACK, &a);
  stat((std::string(QUILLUP_SOURCE_DIR) + "/scripts/demo-env").c_str(), &b);
  return std::string(QUILLUP_E2E_WORK_DIR) + "/demo-" + std::to_string((long long)a.st_mtime) + "-" +
         std::to_string((long long)a.st_size) + "-" + std::to_string((long long)b.st_mtime);
}

bool PrepareTemplate(const std::string& logFile) {
  const std::string dir = TemplateDir();
  const std::string done = dir + "/complete";
  testutil::Run("mkdir -p " + Quote(QUILLUP_E2E_WORK_DIR));
  // One test makes it while the others wait on the lock.
  std::string cmd = "flock " + Quote(std::string(QUILLUP_E2E_WORK_DIR) + "/.lock") + " bash -c " +
                    Quote("test -e " + done + " || { rm -rf " + dir + " && mkdir -p " + dir + " && bash " +
                          std::string(QUILLUP_SOURCE_DIR) + "/scripts/demo-env --pack " + QUILLUP_E2E_PACK + " " +
                          dir + "/demo && touch " + done + "; }") +
                    " > " + Quote(logFile) + " 2>&1";
  return testutil::Run(cmd) == 0 && testutil::Exists(done);
}

}  // namespace

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file() || it->is_symlink()) out.push_back(fs::relative(it->path(), dir).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

Demo::Demo() {
  m_dir = m_tmp.path();
  m_install = m_dir + "/demo/install";
  m_server = m_dir + "/demo/server";
  testutil::Run("mkdir -p " + Quote(m_dir + "/bin") + " " + Quote(m_dir + "/run") + " " + Quote(m_dir + "/reg") +
                " && chmod 700 " + Quote(m_dir + "/run"));
  testutil::Run("cp " + Quote(std::string(QUILLUP_E2E_FIXTURES) + "/nslookup") + " " + Quote(m_dir + "/bin/"));
  if (!PrepareTemplate(m_dir + "/demo-env.log")) return;
  if (testutil::Run("cp -a " + Quote(TemplateDir() + "/demo") + " " + Quote(m_dir + "/demo")) != 0) return;

  const std::string portFile = m_dir + "/server.port";
  m_serverPid = SpawnWith({QUILLUP_E2E_PACK, "serve", "--port", "0", "--port-file", portFile, m_server},
                          {}, m_dir, m_dir + "/server.log");
  if (!WaitForFile(portFile, 10000)) return;
  std::string port = testutil::ReadFile(portFile);
  port.erase(std::remove_if(port.begin(), port.end(), [](char c) { return c < '0' || c > '9'; }), port.end());
  m_url = "http://127.0.0.1:" + port;
  InstallVersion(1);
  m_ok = true;
}

Demo::~Demo() {
  if (m_serverPid > 0) {
    kill(m_serverPid, SIGTERM);
    int st;
    waitpid(m_serverPid, &st, 0);
  }
}

void Demo::InstallVersion(int n) {
  testutil::Run("rm -rf " + Quote(m_install) + " && cp -a " + Quote(version(n)) + " " + Quote(m_install) +
                " && cp " + Quote(QUILLUP_E2E_UPDATER) + " " + Quote(m_install + "/Quillup"));
  // The server's port is known only now; this file overrides the one the
  // versions were built with.
  PointAt(m_url);
}

void Demo::PointAt(const std::string& baseUrl) const {
  testutil::WriteFile(m_install + "/InternalDownloadURL.ini",
                      "[DownloadURL]\r\nDefaultDownloadURL=" + baseUrl + "\r\nReCheckTime=1\r\n");
}

std::string Dump(const Demo& d, const RunResult& r) {
  return "status " + std::to_string(r.status) + (r.timedOut ? " (timed out)" : "") + "\n--- stderr\n" + r.err +
         "\n--- log\n" + d.Log();
}

std::map<std::string, std::string> Demo::Environment() const {
  const char* path = getenv("PATH");
  return {{"PATH", m_dir + "/bin:" + (path ? path : "/usr/bin:/bin")},
          {"QUILLUP_HEADLESS", "1"},
          {"DISPLAY", ""},
          {"WAYLAND_DISPLAY", ""},
          {"XDG_RUNTIME_DIR", m_dir + "/run"},
          {"QUILLUP_REGISTRY_DIR", m_dir + "/reg"},
          {"XDG_CONFIG_HOME", m_dir + "/reg"},
          {"QUILLUP_CONFIG_SERVICE_HOST", "127.0.0.1:1"},
          {"QUILLUP_E2E_NSLOOKUP_LOG", m_dir + "/nslookup.log"},
          {"http_proxy", ""},
          {"HTTP_PROXY", ""},
          {"https_proxy", ""},
          {"HTTPS_PROXY", ""}};
}

pid_t Demo::Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  auto all = Environment();
  for (auto& [k, v] : env) all[k] = v;
  return SpawnWith(argv, all, m_dir, "");
}

RunResult Demo::RunUpdater(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                           int timeoutSec, const std::string& program) {
  RunResult r;
  auto all = Environment();
  for (auto& [k, v] : env) all[k] = v;
  std::vector<std::string> argv = {program.empty() ? m_install + "/Quillup" : program};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string errFile = m_dir + "/updater.err";
  pid_t pid = SpawnWith(argv, all, m_dir, errFile);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  int st = 0;
  for (;;) {
    pid_t w = waitpid(pid, &st, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      r.timedOut = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &st, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? -WTERMSIG(st) : -1;
  r.err = testutil::ReadFile(errFile);
  return r;
}

std::string Demo::LogOfRun(int n) const {
  const std::string log = Log();
  const std::string mark = "升级程序启动，版本号:";
  size_t pos = 0;
  for (int i = 0; i <= n; ++i) {
    pos = log.find(mark, i == 0 ? 0 : pos + 1);
    if (pos == std::string::npos) return "";
  }
  size_t lineStart = log.rfind('\n', pos);
  return log.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
}

int Demo::Flag() const {
  std::string ini = testutil::ReadFile(m_install + "/config/quillupcfg_ex.ini");
  size_t p = ini.find("QUILLUP_FLAG=");
  if (p == std::string::npos) return 0;
  return atoi(ini.c_str() + p + 13);
}

std::vector<std::string> Demo::Requests() const {
  std::vector<std::string> out;
  std::istringstream in(testutil::ReadFile(m_dir + "/server.log"));
  std::string line;
  while (std::getline(in, line))
    if (line.find("GET ") != std::string::npos || line.find("HEAD ") != std::string::npos) out.push_back(line);
  return out;
}

bool Demo::WaitForExits(int n, int timeoutMs) const {
  const std::string mark = "[CUpdateDlg::OnDestroy] 升级程序退出";
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    std::string log = Log();
    int count = 0;
    for (size_t p = log.find(mark); p != std::string::npos; p = log.find(mark, p + 1)) ++count;
    if (count >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

pid_t Demo::StartClient(bool withBrowser, int staySeconds) {
  const std::string dir = m_dir + "/client";
  testutil::Run("rm -rf " + Quote(dir) + " && mkdir -p " + Quote(dir));
  std::vector<std::string> argv = {QUILLUP_E2E_FAKE_CLIENT, "--run", m_install + "/Quillup", "--dir", dir,
                                   "--stay", std::to_string(staySeconds)};
  if (withBrowser) {
    testutil::Run("cp " + Quote(QUILLUP_E2E_FAKE_CLIENT) + " " + Quote(dir + "/ZoWeb"));
    argv.push_back("--browser");
    argv.push_back(dir + "/ZoWeb");
  }
  pid_t pid = Spawn(argv);
  WaitForFile(dir + "/client.pid", 5000);
  return pid;
}

std::string Demo::WaitForClientLog(int timeoutMs) const {
  WaitForFile(m_install + "/client.log", timeoutMs);
  return testutil::ReadFile(m_install + "/client.log");
}

std::vector<std::string> Demo::DiffAgainstVersion(int n) const {
  std::vector<std::string> diff;
  const std::string v = version(n);
  for (const std::string& rel : ListTree(v)) {
    std::string a = testutil::ReadFile(v + "/" + rel);
    if (!testutil::Exists(m_install + "/" + rel) || testutil::ReadFile(m_install + "/" + rel) != a)
      diff.push_back(rel);
  }
  return diff;
}

}  // namespace e2e
