// Whole 1 -> 3 updates of the real updater killed with SIGKILL at random
// file-system mutations (download, staging, disabling, swap and, with a
// failing swap move, the roll-back). After each kill one run with the
// server gone must leave version 1, or version 3, with the client started,
// or refuse to start a client it knows to be broken; never a mixed tree
// with the client running. One run with the server back must then give
// version 3 with the client started.
//
// QUILLUP_KILLS (default 30) sets the number of kills, QUILLUP_KILL_SEED the
// seed (default: the time; printed either way).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>

#include "common/netservers.h"
#include "e2e_fixture.h"

using e2e::Demo;

namespace {

using e2e::Has;

long EnvLong(const char* name, long fallback) {
  const char* v = getenv(name);
  return v && *v ? atol(v) : fallback;
}

// Mutations below the installation counted in one run, and the phase each
// falls in (by the first mutation of each phase).
struct Phases {
  long total = 0;
  std::vector<std::pair<long, std::string>> starts;
  std::string At(long n) const {
    std::string name = "start";
    for (auto& s : starts)
      if (n >= s.first) name = s.second;
    return name;
  }
};

Phases ReadTrace(const std::string& file, const std::string& install) {
  Phases p;
  std::istringstream in(testutil::ReadFile(file));
  std::string line;
  // The first mutation of each phase (a line holding both texts), in the
  // order the phases come; the roll-back happens only after a failed swap.
  struct Mark {
    std::string a, b, phase;
  };
  const Mark marks[] = {{"fopen " + install + "/update/p", ".zip", "download"},
                        {install + "/update/unzip/", "", "staging"},
                        {install + "/bin/zoclient.forbid", "", "disabling"},
                        {"rename " + install, ".oldbak\n", "swap"},
                        {install, ".newbak", "roll-back"},
                        {"unlink " + install + "/update/tarvex.rcd", "", "clean-up"}};
  auto hit = [&](size_t i) { return i < std::size(marks) && Has(line, marks[i].a) && Has(line, marks[i].b); };
  size_t next = 0;
  while (std::getline(in, line)) {
    ++p.total;
    line += "\n";
    if (marks[std::min(next, std::size(marks) - 1)].phase == "roll-back" && hit(next + 1)) ++next;
    if (hit(next)) p.starts.push_back({p.total, marks[next++].phase});
  }
  return p;
}

}  // namespace

TEST(KilledRuns, EveryKillEndsWholeAndTheNextRunsRecover) {
  const long kills = EnvLong("QUILLUP_KILLS", 30);
  const unsigned seed = (unsigned)EnvLong("QUILLUP_KILL_SEED", (long)time(nullptr));
  std::cout << "kills " << kills << ", seed " << seed << " (QUILLUP_KILLS, QUILLUP_KILL_SEED)\n";
  RecordProperty("seed", (int)seed);
  std::mt19937 rng(seed);

  Demo d;
  ASSERT_TRUE(d.ok()) << testutil::ReadFile(d.tmp("demo-env.log"));
  const std::string down = "http://127.0.0.1:" + std::to_string(netsrv::FreePort());
  auto env = [&](long at, bool failSwap, const std::string& trace) {
    std::map<std::string, std::string> e = {
        {"LD_PRELOAD", std::string(QUILLUP_E2E_CRASH_INTERPOSER) + (failSwap ? std::string(" ") + QUILLUP_E2E_INTERPOSE : "")},
        {"QUILLUP_CRASH_ROOT", d.install()},
        {"QUILLUP_CRASH_ONLY", d.install() + "/Quillup"},
        {"QUILLUP_CRASH_AT", std::to_string(at)},
        {"QUILLUP_CRASH_TRACE", trace}};
    if (failSwap) {
      // The third swap move fails: the roll-back runs in the same update.
      e["QUILLUP_E2E_FAIL_MATCH"] = "/update/ready/";
      e["QUILLUP_E2E_FAIL_AT"] = "3";
      e["QUILLUP_E2E_IGNORE"] = ".mergedata|/update/unzip/";
    }
    return e;
  };

  // One clean run of each kind learns how many mutations there are.
  Phases phases[2];
  for (int failSwap = 0; failSwap < 2; ++failSwap) {
    d.InstallVersion(1);
    const std::string trace = d.tmp("trace.txt");
    testutil::Run("rm -f '" + trace + "'");
    auto r = d.RunUpdater({}, env(0, failSwap, trace));
    ASSERT_EQ(r.status, failSwap) << r.err;  // a failed swap is a failed update
    phases[failSwap] = ReadTrace(trace, d.install());
    ASSERT_GT(phases[failSwap].total, 50);
    ASSERT_EQ(d.DiffAgainstVersion(failSwap ? 1 : 3), std::vector<std::string>()) << d.Log();
    d.WaitForClientLog();  // the started client is done before the next copy
  }

  std::map<std::string, int> byPhase;
  int whole1 = 0, whole3 = 0, repairs = 0;
  for (long k = 0; k < kills; ++k) {
    const bool failSwap = k % 3 == 2;
    const Phases& p = phases[failSwap];
    // A phase first, then a mutation in it: every phase gets its share of
    // kills however many mutations it makes.
    std::vector<long> bounds = {1};
    for (auto& st : p.starts) bounds.push_back(st.first);
    bounds.push_back(p.total + 1);
    // A run whose swap fails is there for its roll-back: killed from the swap on.
    size_t first = 0;
    for (size_t i = 0; failSwap && i < p.starts.size(); ++i)
      if (p.starts[i].second == "swap") first = i + 1;
    const size_t phase = std::uniform_int_distribution<size_t>(first, bounds.size() - 2)(rng);
    const long at = std::uniform_int_distribution<long>(bounds[phase], std::max(bounds[phase], bounds[phase + 1] - 1))(rng);
    const std::string what = "kill " + std::to_string(k) + " at mutation " + std::to_string(at) + " of " +
                             std::to_string(p.total) + " (" + p.At(at) + (failSwap ? ", failing swap" : "") +
                             "), seed " + std::to_string(seed);
    SCOPED_TRACE(what);
    d.InstallVersion(1);
    testutil::Run("rm -f '" + d.install() + "/client.log' '" + d.install() + "/Log/tarvex.log'");
    auto r = d.RunUpdater({}, env(at, failSwap, ""));
    if (r.status != -9) continue;  // this run had fewer mutations: not a kill
    ++byPhase[p.At(at)];

    // The server is gone.
    d.PointAt(down);
    r = d.RunUpdater({});
    ASSERT_EQ(r.status, 1) << r.err << d.Log();  // no list: never a good end
    const bool started = Has(d.WaitForClientLog(2000), "started");
    const bool is1 = d.DiffAgainstVersion(1).empty(), is3 = d.DiffAgainstVersion(3).empty();
    if (started) {
      ASSERT_TRUE(is1 || is3) << "a mixed tree with the client started\n" << d.Log();
      const std::string client = testutil::ReadFile(d.install() + "/client.log");
      ASSERT_TRUE(Has(client, is3 ? "version 3 started" : "version 1 started")) << client;
      (is3 ? whole3 : whole1)++;
    } else {
      // Not started: the installation must be known to be broken.
      ASSERT_TRUE(d.Flag() != 0 || Has(d.LogOfRun(1), "不启动") || Has(d.LogOfRun(1), "客户端文件缺失"))
          << d.Log();
      ++repairs;
    }

    // The server is back.
    d.PointAt(d.url());
    testutil::Run("rm -f '" + d.install() + "/client.log'");
    r = d.RunUpdater({});
    ASSERT_EQ(r.status, 0) << r.err << d.Log();
    ASSERT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << d.Log();
    ASSERT_EQ(d.Flag(), 0);
    ASSERT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started")) << d.Log();
  }
  std::cout << "kills by phase:";
  for (auto& [phase, n] : byPhase) std::cout << " " << phase << " " << n;
  std::cout << "; with the server gone: " << whole1 << " at version 1, " << whole3 << " at version 3, " << repairs
            << " client held back\n";
}

// The one stop the random kills found: inside the disabling, after the
// client executable was removed and before the updater's copy took its
// place. The real client then exists only as ".forbid", which the next
// start (flag 3) used to delete.
TEST(KilledRuns, InsideTheDisablingTheClientIsNeverLost) {
  Demo d;
  ASSERT_TRUE(d.ok()) << testutil::ReadFile(d.tmp("demo-env.log"));
  auto r = d.RunUpdater({}, {{"LD_PRELOAD", QUILLUP_E2E_INTERPOSE},
                             {"QUILLUP_E2E_KILL_MATCH", "/bin/zoclient.update -> "},
                             {"QUILLUP_E2E_KILL_AT", "1"}});
  ASSERT_EQ(r.status, -9) << r.err << d.Log();
  ASSERT_FALSE(testutil::Exists(d.install() + "/bin/zoclient"));
  ASSERT_TRUE(testutil::Exists(d.install() + "/bin/zoclient.forbid"));
  ASSERT_EQ(d.Flag(), 3);
  r = d.RunUpdater({});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(d.DiffAgainstVersion(3), std::vector<std::string>()) << d.Log();
  EXPECT_EQ(d.Flag(), 0);
  EXPECT_TRUE(Has(d.WaitForClientLog(), "zoclient version 3 started")) << d.Log();
}
