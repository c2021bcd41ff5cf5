// Kills the updater at every file-system mutation of disabling the client,
// the swap and the roll-back, then handles the record as the next start
// does: every installation must come back whole, old or new.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/statvfs.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "crash/startup.h"
#include "support/log.h"

using namespace testutil;

namespace {

using Tree = std::map<std::string, std::string>;  // relative path -> content
namespace fs = std::filesystem;

// The trials' scratch space. A kill loses nothing that fsync would have
// kept, so a memory file system (where fsync costs nothing) serves as well
// as a disk when it has room; otherwise $TMPDIR.
std::string ScratchBase() {
  struct statvfs v;
  if (statvfs("/dev/shm", &v) == 0 && (unsigned long long)v.f_bavail * v.f_frsize > (512ull << 20) &&
      access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  const char* tmp = getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = ScratchBase() + "/quillup-crash-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  std::string sub(const std::string& rel) const { return m_path + "/" + rel; }

 private:
  std::string m_path;
};

const char* const kClient = "ZoClient";
const char* const kUpdater = "Quillup";
// Companions a stop inside the disabling may leave; the next disabling
// overwrites them and the next run deletes the ".oldbak".
const char* const kLeftovers[] = {"ZoClient.oldbak", "ZoClient.update"};
// A backup left over from an earlier, abandoned swap: the swap deletes it,
// and until then it may stay, but it must never be taken for this swap's
// backup.
const char* const kStaleBackup = "bin/m12.dll.oldbak";
const char* const kStaleContent = "stale backup of an abandoned swap";

struct Result {
  bool killed = false;
  int code = -1;
};

Result RunHelper(const std::string& exe, const std::vector<std::string>& args,
                 const std::vector<std::pair<std::string, std::string>>& env) {
  pid_t pid = fork();
  if (pid == 0) {
    for (auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    copy.insert(copy.begin(), exe);
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Result r;
  r.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

void ReadTree(const std::string& root, const std::string& rel, Tree& out) {
  DIR* d = opendir((root + rel).c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string r = rel + "/" + name;
    // The updater's own state is not part of the installation's content.
    if (rel.empty() && (name == "update" || name == "config" || name == "Log")) continue;
    struct stat st;
    if (lstat((root + r).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) ReadTree(root, r, out);
    else out[r.substr(1)] = ReadFile(root + r);
  }
  closedir(d);
}

struct Trace {
  std::vector<std::string> lines;  // "call path[ -> to]", index 0 = mutation 1
  // Number (1-based) of the first mutation at or after `from` that matches.
  long Find(const std::string& text, long from = 1) const {
    for (long i = from; i <= (long)lines.size(); ++i)
      if (lines[i - 1] == text) return i;
    return 0;
  }
  long FindPrefix(const std::string& prefix, long from = 1) const {
    for (long i = from; i <= (long)lines.size(); ++i)
      if (lines[i - 1].compare(0, prefix.size(), prefix) == 0) return i;
    return 0;
  }
  long Last(const std::string& text) const {
    for (long i = (long)lines.size(); i >= 1; --i)
      if (lines[i - 1] == text) return i;
    return 0;
  }
};

class Installation {
 public:
  // plain: files of the old installation besides the client and the
  // updater; the pack replaces two thirds of them and adds new ones.
  Installation(int plain, int added, bool clientInPack) {
    m_tmpl = m_dir.sub("template");
    m_helper = CRASH_HELPER;
    // The installation's updater is the helper itself, without its symbols
    // (smaller copies keep each trial short).
    std::string stripped = m_dir.sub("updater");
    if (Run("strip -o '" + stripped + "' '" + m_helper + "' 2>/dev/null") != 0)
      Run("cp '" + m_helper + "' '" + stripped + "'");
    std::string updater = ReadFile(stripped);
    Tree ready;
    for (int i = 0; i < plain; ++i) {
      std::string rel = i % 4 == 0 ? "bin/m" + std::to_string(i) + ".dll"
                        : i % 4 == 1 ? "res/img/i" + std::to_string(i) + ".png"
                        : i % 4 == 2 ? "行情/数据" + std::to_string(i) + ".txt"
                                     : "f" + std::to_string(i) + ".cfg";
      m_old[rel] = "old " + rel + std::string((size_t)(i * 37 % 500), 'o');
      if (i % 3 != 2) ready[rel] = "new " + rel + std::string((size_t)(i * 53 % 700), 'n');
    }
    for (int i = 0; i < added; ++i) {
      std::string rel = i % 2 ? "plugins/p" + std::to_string(i) + ".so" : "new/deep/dir/q" + std::to_string(i);
      ready[rel] = "added " + rel;
    }
    m_old[kClient] = "#!/bin/sh\necho old client\n" + std::string(100000, 'c');
    m_old[kUpdater] = updater;
    if (clientInPack) ready[kClient] = "#!/bin/sh\necho new client\n" + std::string(120000, 'C');
    ready[kUpdater] = updater + "new updater";
    m_new = m_old;
    for (auto& kv : ready) m_new[kv.first] = kv.second;

    for (auto& kv : m_old) WriteFile(m_tmpl + "/" + kv.first, kv.second);
    for (auto& kv : ready) WriteFile(m_tmpl + "/update/ready/" + kv.first, kv.second);
    chmod((m_tmpl + "/" + kClient).c_str(), 0755);
    chmod((m_tmpl + "/" + kUpdater).c_str(), 0755);
    if (clientInPack) chmod((m_tmpl + "/update/ready/" + kClient).c_str(), 0755);
    chmod((m_tmpl + "/update/ready/" + kUpdater).c_str(), 0755);
    // Read-only files are swapped and restored like any other.
    chmod((m_tmpl + "/bin/m0.dll").c_str(), 0444);
    chmod((m_tmpl + "/res/img/i1.png").c_str(), 0444);
    WriteFile(m_tmpl + "/config/quillupcfg.ini",
              "[QUILLUP_CFG]\r\nOUTSIDE_DOWNLOAD_URL=http://127.0.0.1:9/up\r\nBIN_FILE=ZoClient\r\n"
              "SPLASH_BMP_FILE=skin.bmp\r\nQUILLUP_DIALOG_WINDOW_NAME=Quillup\r\nQUILLUP_VERSION=1\r\n"
              "QUILLUP_ID=5\r\n");
    WriteFile(m_tmpl + "/config/update.ini", "p-installed-stamp");
    WriteFile(m_tmpl + "/config/neededfilelist.lst", "");
    if (plain > 12) WriteFile(m_tmpl + "/" + kStaleBackup, kStaleContent);
    m_trial = m_dir.sub("trial");
    m_log = m_dir.sub("helper.log");
  }

  size_t FileCount() const { return m_new.size(); }
  const std::string& trial() const { return m_trial; }
  const Tree& oldTree() const { return m_old; }
  const Tree& newTree() const { return m_new; }

  // A fresh copy of a saved state as the trial installation.
  void Reset(const std::string& from = std::string()) { Copy(from.empty() ? m_tmpl : from, m_trial); }
  void Save(const std::string& name) { Copy(m_trial, m_dir.sub(name)); }
  std::string Saved(const std::string& name) const { return m_dir.sub(name); }

  // The worker's disable-and-swap, run as the installation's own updater.
  Result Swap(long crashAt, Trace* trace = nullptr, int failAfter = -1) {
    std::vector<std::string> args = {"swap", m_trial, m_log};
    if (failAfter >= 0) args.push_back(std::to_string(failAfter));
    return RunUnder(m_trial + "/" + kUpdater, args, crashAt, trace);
  }
  // The next start's record handling, by an intact updater: in a process
  // of its own when it is to be killed or traced, else in this one.
  Result Startup(long crashAt = 0, Trace* trace = nullptr) {
    if (crashAt || trace) return RunUnder(m_helper, {"startup", m_trial, m_log}, crashAt, trace);
    CLog::Instance()->SetPath(WidePath(m_log));
    Result r;
    r.code = crashtest::StartUp(WidePath(m_trial));
    return r;
  }

  // "old", "new", or a description of what is wrong.
  std::string Outcome(int* leftovers = nullptr) const {
    Tree now;
    ReadTree(m_trial, "", now);
    int left = 0;
    for (const char* name : kLeftovers) left += (int)now.erase(name);
    if (now.count(kStaleBackup) && now[kStaleBackup] == kStaleContent) now.erase(kStaleBackup);
    if (leftovers) *leftovers = left;
    for (const char* exe : {kClient, kUpdater}) {
      struct stat st;
      if (stat((m_trial + "/" + exe).c_str(), &st) == 0 && !(st.st_mode & S_IXUSR))
        return std::string(exe) + " lost its execute permission";
    }
    if (now == m_old) return "old";
    if (now == m_new) return "new";
    std::ostringstream why;
    int olds = 0, news = 0;
    for (auto& kv : m_old)
      if (!now.count(kv.first)) why << "missing " << kv.first << "; ";
    for (auto& kv : now) {
      bool isOld = m_old.count(kv.first) && m_old.at(kv.first) == kv.second;
      bool isNew = m_new.count(kv.first) && m_new.at(kv.first) == kv.second;
      if (!isOld && !isNew) why << "foreign " << kv.first << "; ";
      olds += isOld && !isNew;
      news += isNew && !isOld;
    }
    if (olds && news) why << "mixed: " << olds << " old and " << news << " new files; ";
    return why.str();
  }

  std::string Record() const { return ReadFile(m_trial + "/update/tarvex.rcd"); }
  int Flag() const {
    std::string ini = ReadFile(m_trial + "/config/quillupcfg_ex.ini");
    size_t p = ini.find("QUILLUP_FLAG=");
    return p == std::string::npos ? 0 : atoi(ini.c_str() + p + 13);
  }
  bool Has(const std::string& rel) const { return Exists(m_trial + "/" + rel); }
  std::string Content(const std::string& rel) const { return ReadFile(m_trial + "/" + rel); }

 private:
  static void Copy(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::remove_all(to, ec);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    ASSERT_FALSE(ec) << ec.message();
  }

  Result RunUnder(const std::string& exe, const std::vector<std::string>& args, long crashAt, Trace* trace) {
    std::vector<std::pair<std::string, std::string>> env = {{"LD_PRELOAD", CRASH_INTERPOSER},
                                                            {"QUILLUP_CRASH_ROOT", m_trial},
                                                            {"QUILLUP_CRASH_AT", std::to_string(crashAt)}};
    std::string traceFile = m_dir.sub("trace.txt");
    if (trace) {
      unlink(traceFile.c_str());
      env.push_back({"QUILLUP_CRASH_TRACE", traceFile});
    }
    Result r = RunHelper(exe, args, env);
    if (trace) {
      trace->lines.clear();
      std::istringstream in(ReadFile(traceFile));
      std::string line;
      while (std::getline(in, line)) trace->lines.push_back(line.substr(line.find(' ') + 1));
    }
    return r;
  }

  ScratchDir m_dir;
  std::string m_tmpl, m_trial, m_helper, m_log;
  Tree m_old, m_new;
};

// Kills the swap at every mutation from 1 to the end of a clean run; the
// start-up processing must then give the old installation before the
// closing line of the record was written and the new one after it.
void CrashEverySwapPoint(Installation& inst, int failAfter, const char* what) {
  Trace trace;
  inst.Reset();
  Result clean = inst.Swap(0, &trace, failAfter);
  ASSERT_FALSE(clean.killed);
  ASSERT_EQ(failAfter < 0 ? 0 : 5, clean.code);
  ASSERT_EQ(failAfter < 0 ? "new" : "old", inst.Outcome());
  const std::string record = inst.trial() + "/update/tarvex.rcd";
  long endWrite = failAfter < 0 ? trace.Last("write " + record) : 0;
  long points = (long)trace.lines.size();
  ASSERT_GT(points, 100);

  int leftoverRuns = 0, swapStarts = 0;
  for (long n = 1; n <= points; ++n) {
    inst.Reset();
    Result r = inst.Swap(n, nullptr, failAfter);
    ASSERT_TRUE(r.killed) << "mutation " << n << " (" << trace.lines[n - 1] << ")";
    // Killed in the swap, the next start finds the flag at 3: it handles
    // the record, and the installation, whole again, gets flag 0 (that run
    // still asks for the full pack).
    const bool inSwap = inst.Flag() == 3;
    Result s = inst.Startup();
    if (inSwap) {
      ++swapStarts;
      ASSERT_EQ(0, inst.Flag()) << n;
    }
    ASSERT_FALSE(s.killed);
    ASSERT_EQ(0, s.code) << "start-up after a stop at mutation " << n << " (" << trace.lines[n - 1] << ")";
    int left = 0;
    std::string outcome = inst.Outcome(&left);
    std::string expected = endWrite && n > endWrite ? "new" : "old";
    ASSERT_EQ(expected, outcome) << "stop at mutation " << n << " (" << trace.lines[n - 1] << ")";
    ASSERT_FALSE(inst.Has("update/tarvex.rcd")) << n;
    leftoverRuns += left > 0;
  }
  EXPECT_GT(swapStarts, points / 2);
  std::cout << what << ": " << inst.FileCount() << " files, " << points << " crash points (" << swapStarts
            << " starts at flag 3), " << leftoverRuns << " left a disposable client companion\n";
  ::testing::Test::RecordProperty("crash_points", (int)points);
}

// Starts from a saved stop and kills the start-up processing at each of its
// mutations; processing once more must give `expected`.
void CrashEveryStartupPoint(Installation& inst, const std::string& saved, const std::string& expected,
                            const char* what) {
  Trace trace;
  inst.Reset(saved);
  Result clean = inst.Startup(0, &trace);
  ASSERT_EQ(0, clean.code);
  ASSERT_EQ(expected, inst.Outcome());
  long points = (long)trace.lines.size();
  ASSERT_GT(points, 0);
  for (long n = 1; n <= points; ++n) {
    inst.Reset(saved);
    Result r = inst.Startup(n);
    ASSERT_TRUE(r.killed) << n;
    Result again = inst.Startup();
    ASSERT_EQ(0, again.code) << "after a stop at mutation " << n << " (" << trace.lines[n - 1] << ")";
    ASSERT_EQ(expected, inst.Outcome()) << "stop at mutation " << n << " (" << trace.lines[n - 1] << ")";
    ASSERT_FALSE(inst.Has("update/tarvex.rcd"));
  }
  std::cout << what << ": " << points << " crash points\n";
  ::testing::Test::RecordProperty("crash_points", (int)points);
}

// The swap stopped exactly at its closing line (torn: "end" without its
// bar) or just after it.
std::string StopAroundTheEnd(Installation& inst, bool afterEnd, const std::string& name) {
  Trace trace;
  inst.Reset();
  inst.Swap(0, &trace);
  long endWrite = trace.Last("write " + inst.trial() + "/update/tarvex.rcd");
  inst.Reset();
  Result r = inst.Swap(afterEnd ? endWrite + 1 : endWrite);
  EXPECT_TRUE(r.killed);
  inst.Save(name);
  return inst.Saved(name);
}

}  // namespace

TEST(CrashConsistency, EveryPointOfDisablingAndSwapping) {
  Installation inst(48, 15, true);
  ASSERT_GE(inst.FileCount(), 50u);
  CrashEverySwapPoint(inst, -1, "disable + swap (client and updater in the pack)");
}

TEST(CrashConsistency, EveryPointOfDisablingAndSwappingWithoutANewClient) {
  Installation inst(30, 6, false);
  CrashEverySwapPoint(inst, -1, "disable + swap (client not in the pack)");
}

TEST(CrashConsistency, EveryPointOfAFailedSwapAndItsRollBack) {
  Installation inst(48, 15, true);
  CrashEverySwapPoint(inst, 20, "disable + failing swap + roll-back in the same run");
}

TEST(CrashConsistency, EveryPointOfTheRollBackAtStart) {
  Installation inst(48, 15, true);
  std::string saved = StopAroundTheEnd(inst, false, "before-end");
  CrashEveryStartupPoint(inst, saved, "old", "roll-back of a swap stopped before its closing line");
}

TEST(CrashConsistency, EveryPointOfFinishingACompleteRecordAtStart) {
  Installation inst(48, 15, true);
  std::string saved = StopAroundTheEnd(inst, true, "after-end");
  CrashEveryStartupPoint(inst, saved, "new", "clean-up of a complete record");
}

// What a stop at each point of the disable-and-swap leaves on disk, and
// what the next start's record handling makes of it.
TEST(StopTable, EachStopPointAndTheNextStart) {
  Installation inst(12, 4, true);
  const std::string root = inst.trial();
  const std::string record = root + "/update/tarvex.rcd";
  const std::string client = root + "/" + kClient;
  Trace trace;
  inst.Reset();
  ASSERT_EQ(0, inst.Swap(0, &trace).code);
  const std::string oldClient = inst.oldTree().at(kClient);
  const std::string updater = inst.oldTree().at(kUpdater);

  // Inside the disabling, right after the client executable was removed:
  // the real one already sits in ".forbid" and the record exists, so the
  // start brings it back.
  long removed = trace.Find("unlink " + client);
  ASSERT_GT(removed, 0);
  inst.Reset();
  ASSERT_TRUE(inst.Swap(removed + 1).killed);
  EXPECT_FALSE(inst.Has(kClient));
  EXPECT_EQ(oldClient, inst.Content("ZoClient.forbid"));
  EXPECT_EQ(updater, inst.Content("ZoClient.update"));
  EXPECT_TRUE(inst.Has("update/tarvex.rcd"));
  EXPECT_EQ("", inst.Record());
  ASSERT_EQ(0, inst.Startup().code);
  EXPECT_EQ("old", inst.Outcome());
  EXPECT_FALSE(inst.Has("ZoClient.forbid"));
  EXPECT_FALSE(inst.Has("ZoClient.update"));

  // Disabled, the swap not begun: the updater stands in for the client.
  long disabled = trace.Find("rename " + client + ".update -> " + client);
  ASSERT_GT(disabled, 0);
  inst.Reset();
  ASSERT_TRUE(inst.Swap(disabled + 1).killed);
  EXPECT_EQ(updater, inst.Content(kClient));
  EXPECT_EQ(oldClient, inst.Content("ZoClient.forbid"));
  EXPECT_EQ("", inst.Record());
  for (auto& kv : inst.oldTree())
    if (kv.first != kClient) {
      EXPECT_EQ(kv.second, inst.Content(kv.first)) << kv.first;
    }
  ASSERT_EQ(0, inst.Startup().code);
  EXPECT_EQ("old", inst.Outcome());

  // In the middle of the swap, between the two moves of a replaced file.
  const std::string mid = root + "/bin/m4.dll";
  long aside = trace.Find("rename " + mid + " -> " + mid + ".oldbak");
  ASSERT_GT(aside, 0);
  inst.Reset();
  ASSERT_TRUE(inst.Swap(aside + 1).killed);
  EXPECT_FALSE(inst.Has("bin/m4.dll"));
  EXPECT_EQ(inst.oldTree().at("bin/m4.dll"), inst.Content("bin/m4.dll.oldbak"));
  // Every line was on disk before the first move: the record names every
  // staged file, has no closing line, and names the file among them.
  std::string rcd = inst.Record();
  EXPECT_EQ(std::string::npos, rcd.find("end|"));
  EXPECT_NE(std::string::npos, rcd.find("1|" + mid + "|\r\n"));
  // Every file named before it is new already, with its old version aside;
  // every file named after it is untouched.
  std::istringstream lines(rcd);
  std::string line;
  int before = 0, after = 0;
  bool passed = false;
  while (std::getline(lines, line)) {
    if (line == "1|" + mid + "|\r") {
      passed = true;
      continue;
    }
    std::string path = Utf8FromGbk(line.substr(2, line.size() - 4));  // the record is in code page 936
    std::string rel = path.substr(root.size() + 1);
    if (!passed) {
      EXPECT_EQ(inst.newTree().at(rel), inst.Content(rel)) << rel;
      if (line[0] == '1') {
        EXPECT_EQ(inst.oldTree().at(rel), inst.Content(rel + ".oldbak")) << rel;
      }
      ++before;
    } else {
      if (inst.oldTree().count(rel) && rel != kClient) {
        EXPECT_EQ(inst.oldTree().at(rel), inst.Content(rel)) << rel;
      }
      EXPECT_FALSE(inst.Has(rel + ".oldbak")) << rel;
      ++after;
    }
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
  ASSERT_EQ(0, inst.Startup().code);
  EXPECT_EQ("old", inst.Outcome());

  // After the closing line, before the clean-up: all new, ".forbid" and the
  // backups still there; the start only removes them.
  long forbidGone = trace.Find("unlink " + client + ".forbid");
  ASSERT_GT(forbidGone, trace.Last("write " + record));
  inst.Reset();
  ASSERT_TRUE(inst.Swap(forbidGone).killed);
  EXPECT_EQ(oldClient, inst.Content("ZoClient.forbid"));
  EXPECT_EQ(inst.oldTree().at("bin/m4.dll"), inst.Content("bin/m4.dll.oldbak"));
  EXPECT_EQ(inst.newTree().at(kClient), inst.Content(kClient));
  EXPECT_EQ("end|\r\n", rcd = inst.Record().substr(inst.Record().size() - 6));
  ASSERT_EQ(0, inst.Startup().code);
  EXPECT_EQ("new", inst.Outcome());

  // Half-way through the backups' removal (they move into the update
  // directory, which goes as a whole afterwards).
  long firstBackup = trace.FindPrefix("rename ", forbidGone + 1);
  ASSERT_GT(firstBackup, forbidGone);
  inst.Reset();
  ASSERT_TRUE(inst.Swap(firstBackup + 2).killed);
  ASSERT_EQ(0, inst.Startup().code);
  EXPECT_EQ("new", inst.Outcome());

  // The roll-back itself stopped half-way: partly restored, the record is
  // still unfinished, and the next start resumes the roll-back.
  inst.Reset();
  ASSERT_TRUE(inst.Swap(trace.Last("write " + record)).killed);
  inst.Save("rollback");
  Trace rollback;
  ASSERT_EQ(0, inst.Startup(0, &rollback).code);
  inst.Reset(inst.Saved("rollback"));
  ASSERT_TRUE(inst.Startup((long)rollback.lines.size() / 2).killed);
  std::string partial = inst.Outcome();
  EXPECT_NE("old", partial);
  EXPECT_NE("new", partial);
  EXPECT_EQ(std::string::npos, inst.Record().find("end|"));
  ASSERT_EQ(0, inst.Startup().code);
  EXPECT_EQ("old", inst.Outcome());
}
