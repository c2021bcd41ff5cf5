// The world of an end-to-end test: the demo versions and their server
// directory made by the pack tool's demo script, the pack tool's server on
// 127.0.0.1, an installation, and the real updater run headless in it with
// a stand-in resolver first on PATH and the gray-release host on 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "common/testutil.h"

namespace e2e {

struct RunResult {
  int status = -1;       // exit status, or -signal when killed
  bool timedOut = false;
  std::string err;       // standard error (the headless status lines)
};

class Demo {
 public:
  Demo();
  ~Demo();
  Demo(const Demo&) = delete;
  Demo& operator=(const Demo&) = delete;

  bool ok() const { return m_ok; }
  const std::string& install() const { return m_install; }
  std::string version(int n) const { return m_dir + "/demo/versions/v" + std::to_string(n); }
  const std::string& serverDir() const { return m_server; }
  const std::string& url() const { return m_url; }
  std::string tmp(const std::string& rel) const { return m_dir + "/" + rel; }

  // Replaces the installation by a copy of version n with the updater.
  void InstallVersion(int n);
  // The installation's download address (InternalDownloadURL.ini).
  void PointAt(const std::string& baseUrl) const;
  // Runs the installation's updater with the arguments; env adds to or
  // overrides the test environment.
  RunResult RunUpdater(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                       int timeoutSec = 90, const std::string& program = "");
  // Starts a program with the test environment, not waited for.
  pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  std::map<std::string, std::string> Environment() const;

  std::string Log() const { return testutil::ReadFile(m_install + "/Log/tarvex.log"); }
  // Lines of the log from the n-th start of the updater on (0 = first).
  std::string LogOfRun(int n) const;
  int Flag() const;
  std::string Report() const { return testutil::ReadFile(m_install + "/config/upgradedetail.json"); }
  // Request lines the server logged (method and path).
  std::vector<std::string> Requests() const;
  // Waits until the log shows n exits of the updater (for updaters that
  // were not started by the test). False on time-out.
  bool WaitForExits(int n, int timeoutMs = 60000) const;
  // Starts the fake client, which starts the installation's updater with
  // /msgwnd:; its files go to tmp("client"). Returns the client's pid.
  pid_t StartClient(bool withBrowser, int staySeconds = 60);
  // Waits until the demo client wrote its start line; returns the log.
  std::string WaitForClientLog(int timeoutMs = 5000) const;

  // Every file of version n lies in the installation with the same bytes;
  // the names that differ are listed.
  std::vector<std::string> DiffAgainstVersion(int n) const;

 private:
  bool m_ok = false;
  testutil::TempDir m_tmp;
  std::string m_dir, m_install, m_server, m_url;
  pid_t m_serverPid = -1;
};

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// A run's status, standard error and the log, for failure messages.
std::string Dump(const Demo& d, const RunResult& r);

// Files below dir, relative, sorted.
std::vector<std::string> ListTree(const std::string& dir);

}  // namespace e2e
