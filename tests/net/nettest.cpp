#include "nettest.h"

#include <cstdlib>
#include <sstream>

#include "support/log.h"

namespace {
struct IsolateEnv : ::testing::Environment {
  void SetUp() override { netsrv::IsolateNetwork(); }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new IsolateEnv);
}  // namespace

void NetTest::SetUp() {
  www = tmp.sub("www");
  testutil::Run("mkdir -p '" + www + "' '" + tmp.sub("ca") + "' '" + tmp.sub("nginx") + "' '" + tmp.sub("fault") + "'");
  ca = std::make_unique<netsrv::TestCa>(tmp.sub("ca"));
  setenv("QUILLUP_CA_BUNDLE", ca->caFile.c_str(), 1);
  nginx = std::make_unique<netsrv::Nginx>(tmp.sub("nginx"), www, *ca);
  fault = std::make_unique<netsrv::FaultServer>(tmp.sub("fault"), www, ca.get());
  CLog::Instance()->SetPath(tmp.wsub("Log/tarvex.log"));
  percent = [this](int p) {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_percents.push_back(p);
    }
    if (onPercent) onPercent(p);
  };
}

void NetTest::TearDown() {
  CLog::Release();
  fault.reset();
  nginx.reset();
  unsetenv("QUILLUP_CA_BUNDLE");
}

std::vector<std::string> NetTest::LogLines() const {
  std::vector<std::string> out;
  std::istringstream ss(testutil::ReadFile(tmp.sub("Log/tarvex.log")));
  std::string line;
  while (std::getline(ss, line)) out.push_back(line);
  return out;
}

std::string NetTest::LogLine(const std::string& text) const {
  for (auto& l : LogLines())
    if (l.find(text) != std::string::npos) return l;
  return std::string();
}

std::vector<int> NetTest::Percents() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_percents;
}

void NetTest::Serve(const std::string& name, const std::string& data) const {
  testutil::WriteFile(www + "/" + name, data);
}
