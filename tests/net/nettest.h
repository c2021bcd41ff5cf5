// Fixture of the network tests: a scratch directory with the served files
// (www/), nginx and the fault server on 127.0.0.1, the log redirected into
// the scratch directory, and a message receiver that records percents.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/netservers.h"
#include "common/testutil.h"
#include "base/progress.h"

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Lines of the log file written so far.
  std::vector<std::string> LogLines() const;
  // The first log line containing text, or "".
  std::string LogLine(const std::string& text) const;
  std::vector<int> Percents();
  void Serve(const std::string& name, const std::string& data) const;

  testutil::TempDir tmp;
  std::unique_ptr<netsrv::TestCa> ca;
  std::unique_ptr<netsrv::Nginx> nginx;
  std::unique_ptr<netsrv::FaultServer> fault;
  std::string www;
  // Records each percent, then runs onPercent (on the downloading thread).
  ProgressHandler percent;
  std::function<void(int)> onPercent;

 private:
  std::mutex m_mu;
  std::vector<int> m_percents;
};
