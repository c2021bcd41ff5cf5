// Whole updates by the real updater (headless) against the plain programs
// doing the same work, on the same nginx, interleaved round by round:
//   (a) full pack: curl, md5sum, unzip into the installation, sync -f
//       (no safety at all);
//   (b) increment: curl, unzip, one xdelta3 -d per delta and one mv per file.
// The two versions (default 2,000 files, 400 MiB; 30 % of the files changed
// by small edits, 5 % new) and their packs are made once and kept under the
// build tree. Prints medians, the updater's phases (from its log), the
// ratios and the updater's peak memory. Beside them, each round times the
// floor of a crash-safe full update on this machine, step by step on the
// same pack: the download alone, the digest (overlapping it), inflating on
// every core, writing the files with one volume flush, and the two renames
// per file of the swap. --stored makes files of random bytes, which the
// packer stores uncompressed. --baseline times another build of the updater
// in the same rounds (before and after a change).
//
// --dir puts the installations and the plain programs' work on another file
// system (the packs stay in the build tree); --settle S starts every run
// at least S seconds after the previous installation was removed.
//
//   bench_update [--files N] [--mib M] [--rounds R] [--stored] [--updater PATH] [--baseline PATH] [--dir PATH]
//                [--settle S]
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/netservers.h"
#include "common/testutil.h"
#include "common/timing.h"

namespace fs = std::filesystem;

namespace {

const char* const kClient = "bin/zoclient";
const char* const kClientMark = "client.started";

double WallNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

using testutil::ReadFile;
using testutil::WriteFile;

int Sh(const std::string& cmd) { return testutil::Run(cmd); }

void MustSh(const std::string& cmd) {
  if (Sh(cmd) != 0) {
    fprintf(stderr, "bench_update: failed: %s\n", cmd.c_str());
    exit(1);
  }
}

// xorshift*: the multiply spreads the low bits the edits draw on.
struct Rng {
  bench::XorShift x;
  uint64_t Next() { return x.Next() * 0x2545F4914F6CDD1DULL; }
};

// Machine-code-like bytes: most 8-byte units come from a small table of
// "instructions" with a varying operand byte, some are random (constants,
// tables). Deflate takes such files to about half their size.
std::string BinaryLike(Rng& rng, size_t size, const std::vector<uint64_t>& table) {
  std::string out;
  out.resize((size + 7) & ~(size_t)7);
  char* p = &out[0];
  for (size_t off = 0; off < out.size(); off += 8) {
    uint64_t r = rng.Next();
    uint64_t v = (r & 0xF) < 5 ? rng.Next() : table[(r >> 8) % table.size()] ^ ((r >> 32) & 0xFF);
    memcpy(p + off, &v, 8);
  }
  out.resize(size);
  return out;
}

// Small edits as a new build makes them: a few patched spans and one insertion.
void Edit(Rng& rng, std::string& data) {
  if (data.size() < 64) {
    data += "edited";
    return;
  }
  for (int k = 0; k < 6; ++k) {
    size_t at = rng.Next() % (data.size() - 16);
    for (int b = 0; b < 16; ++b) data[at + b] = (char)rng.Next();
  }
  size_t at = rng.Next() % data.size();
  data.insert(at, std::string(48, (char)rng.Next()));
}

std::string SkinBmp() {
  const int w = 510, h = 316, row = (w * 3 + 3) & ~3;
  std::string px((size_t)row * h, '\x50');
  std::string hdr(54, '\0');
  auto put32 = [&](int at, uint32_t v) { memcpy(&hdr[at], &v, 4); };
  auto put16 = [&](int at, uint16_t v) { memcpy(&hdr[at], &v, 2); };
  hdr[0] = 'B';
  hdr[1] = 'M';
  put32(2, 54 + (uint32_t)px.size());
  put32(10, 54);
  put32(14, 40);
  put32(18, w);
  put32(22, h);
  put16(26, 1);
  put16(28, 24);
  put32(34, (uint32_t)px.size());
  return hdr + px;
}

void ConfigFiles(const std::string& v, int id) {
  WriteFile(v + "/config/update.ini", "bench release " + std::to_string(id) + "\r\n");
  WriteFile(v + "/config/quillupcfg.ini",
       "[QUILLUP_CFG]\r\nOUTSIDE_DOWNLOAD_URL=http://127.0.0.1:9\r\nBIN_FILE=" + std::string(kClient) +
           "\r\nSPLASH_BMP_FILE=skin.bmp\r\nQUILLUP_DIALOG_WINDOW_NAME=Quillup bench\r\nQUILLUP_VERSION=bench\r\n"
           "QUILLUP_ID=" + std::to_string(id) + "\r\n");
  // The restarted client only leaves a mark: its time is the end of a run.
  WriteFile(v + "/" + kClient, "#!/bin/sh\nhere=\"$(cd \"$(dirname \"$0\")/..\" && pwd)\"\n: > \"$here/" +
                              std::string(kClientMark) + "\"\n# version " + std::to_string(id) + "\n");
  chmod((v + "/" + kClient).c_str(), 0755);
  WriteFile(v + "/skin.bmp", SkinBmp());
  WriteFile(v + "/config/neededfilelist.lst", std::string(kClient) + "\r\nskin.bmp\r\n");
}

// Two versions and the server directory, made once per (files, MiB). The
// "2" marks packs whose deltas have no secondary compression, as
// quillup-pack now builds them.
// Random bytes: what deflate cannot shrink is stored.
std::string RandomBytes(Rng& rng, size_t size) {
  std::string out((size + 7) & ~(size_t)7, '\0');
  for (size_t off = 0; off < out.size(); off += 8) {
    uint64_t v = rng.Next();
    memcpy(&out[off], &v, 8);
  }
  out.resize(size);
  return out;
}

std::string PrepareSet(int files, int mib, bool stored) {
  const std::string dir = std::string(BENCH_CACHE_DIR) + (stored ? "/stored2-" : "/set2-") + std::to_string(files) +
                          "-" + std::to_string(mib);
  if (fs::exists(dir + "/complete")) return dir;
  fprintf(stderr, "bench_update: making the two versions and their packs in %s (once)\n", dir.c_str());
  MustSh("rm -rf " + Q(dir) + " && mkdir -p " + Q(dir));
  Rng rng{0x9E3779B97F4A7C15ULL};
  std::vector<uint64_t> table(384);
  for (auto& t : table) t = rng.Next();
  const uint64_t total = (uint64_t)mib << 20;
  const uint64_t average = total / (uint64_t)files;
  const std::string v1 = dir + "/v1", v2 = dir + "/v2";
  uint64_t written = 0;
  const int added = files / 20;
  for (int i = 0; i < files + added; ++i) {
    const bool isNew = i >= files;
    uint64_t size = average / 4 + rng.Next() % (average * 3 / 2 + 1);
    if (!isNew && written + size > total) size = total > written ? std::max<uint64_t>(total - written, 1) : 1;
    if (!isNew && i == files - 1 && written < total) size = total - written;
    const std::string rel = "d" + std::to_string(i % 40) + "/s" + std::to_string(i % 6) + "/m" + std::to_string(i) +
                            (i % 4 == 0 ? ".exe" : ".dll");
    std::string data = stored ? RandomBytes(rng, (size_t)size) : BinaryLike(rng, (size_t)size, table);
    if (!isNew) {
      WriteFile(v1 + "/" + rel, data);
      written += size;
      // 30 % changed by small edits.
      if (rng.Next() % 100 < 30) Edit(rng, data);
    }
    WriteFile(v2 + "/" + rel, data);
  }
  ConfigFiles(v1, 1);
  ConfigFiles(v2, 2);
  MustSh(Q(BENCH_PACK) + " build -q -o " + Q(dir + "/server") + " " + Q(v1) + " " + Q(v2));
  MustSh("touch " + Q(dir + "/complete"));
  return dir;
}

struct Packs {
  std::string full, increment;  // file names in the server directory
};

Packs FindPacks(const std::string& server) {
  Packs p;
  for (auto& e : fs::directory_iterator(server)) {
    std::string name = e.path().filename().string();
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".zip") != 0) continue;
    // The base pack of version 1 is named like an increment; the real one
    // is the smaller.
    if (name[0] == 'p') {
      if (p.increment.empty() || fs::file_size(e.path()) < fs::file_size(server + "/" + p.increment))
        p.increment = name;
    } else if (name.rfind("full", 0) == 0) {
      p.full = name;
    }
  }
  if (p.full.empty() || p.increment.empty()) {
    fprintf(stderr, "bench_update: no full pack or increment in %s\n", server.c_str());
    exit(1);
  }
  return p;
}

// ---- one run of the real updater ----

struct Phases {
  std::map<std::string, double> seconds;
};

// Seconds since midnight of a log line "YYYY-MM-DD HH:MM:SS,mmm ...".
bool LineTime(const std::string& line, double& t) {
  int y, mo, d, h, mi, s, ms;
  if (sscanf(line.c_str(), "%d-%d-%d %d:%d:%d,%d", &y, &mo, &d, &h, &mi, &s, &ms) != 7) return false;
  t = d * 86400.0 + h * 3600.0 + mi * 60.0 + s + ms / 1000.0;
  return true;
}

// Phase boundaries are the worker's status lines.
const char* const kMarks[][2] = {
    {"download", "下载升级文件，请稍候..."},  {"unpack", "解压升级文件..."}, {"flush", "保存文件..."},
    {"disable+swap", "禁用客户端..."}, {"delete", "删除临时文件..."},      {"end", "升级完成。"},
};
const int kMarkCount = sizeof kMarks / sizeof kMarks[0];

Phases PhasesOf(const std::string& log) {
  Phases ph;
  double at[kMarkCount];
  bool found[kMarkCount] = {};
  double first = -1;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    double t;
    if (!LineTime(line, t)) continue;
    if (first < 0) first = t;
    for (int k = 0; k < kMarkCount; ++k)
      if (!found[k] && line.find(std::string("] ") + kMarks[k][1]) != std::string::npos) {
        at[k] = t;
        found[k] = true;
      }
  }
  if (found[0] && first >= 0) ph.seconds["check"] = at[0] - first;
  for (int k = 0; k + 1 < kMarkCount; ++k)
    if (found[k] && found[k + 1]) ph.seconds[kMarks[k][0]] = at[k + 1] - at[k];
  return ph;
}

struct Run {
  double total = 0;     // start to the restarted client's mark
  double exitTime = 0;  // start to the updater's exit
  long hwmKiB = 0;      // the updater's own VmHWM
  long treeKiB = 0;     // largest process of its tree (wait4)
  Phases phases;
  bool ok = false;
};

long ReadHwm(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

double MarkTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return (double)st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9;
}

struct Env {
  std::string work;  // scratch root
  std::vector<std::string> vars;
};

Run RunUpdater(const std::string& install, const Env& env, const std::string& errFile) {
  Run r;
  std::vector<std::string> all = env.vars;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    std::string key = kv.substr(0, kv.find('='));
    bool overridden = false;
    for (auto& v : env.vars)
      if (v.compare(0, key.size() + 1, key + "=") == 0) overridden = true;
    if (!overridden && key != "DISPLAY" && key != "WAYLAND_DISPLAY") all.push_back(kv);
  }
  std::vector<char*> envp;
  for (auto& s : all) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  const std::string exe = install + "/Quillup";
  const double t0 = WallNow();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (!freopen(errFile.c_str(), "w", stderr)) _exit(126);
    dup2(2, 1);
    if (chdir(env.work.c_str()) != 0) _exit(126);
    char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
    execve(exe.c_str(), argv, envp.data());
    _exit(127);
  }
  int st = 0;
  rusage ru{};
  for (;;) {
    long h = ReadHwm(pid);
    if (h > r.hwmKiB) r.hwmKiB = h;
    pid_t w = wait4(pid, &st, WNOHANG, &ru);
    if (w == pid) break;
    if (WallNow() - t0 > 600) {
      kill(-pid, SIGKILL);
      wait4(pid, &st, 0, &ru);
      break;
    }
    usleep(5000);
  }
  r.exitTime = WallNow() - t0;
  r.treeKiB = ru.ru_maxrss;
  const std::string mark = install + "/" + kClientMark;
  for (int i = 0; i < 500 && MarkTime(mark) < 0; ++i) usleep(10000);
  double m = MarkTime(mark);
  r.ok = WIFEXITED(st) && m > 0;
  r.total = m > 0 ? m - t0 : r.exitTime;
  const std::string log = ReadFile(install + "/Log/tarvex.log");
  WriteFile(errFile + ".log", log);  // the last run's log, beside its standard error
  r.phases = PhasesOf(log);
  double counted = 0;
  for (auto& kv : r.phases.seconds) counted += kv.second;
  if (!r.phases.seconds.empty()) r.phases.seconds["restart"] = r.total - counted;
  return r;
}

// ---- the plain programs ----

struct Steps {
  std::map<std::string, double> seconds;
  double total = 0;
  bool ok = true;
};

void Step(Steps& s, const std::string& name, const std::function<bool()>& work, const std::string& what) {
  double t = WallNow();
  if (!work()) {
    fprintf(stderr, "bench_update: step %s failed: %s\n", name.c_str(), what.c_str());
    s.ok = false;
  }
  double d = WallNow() - t;
  s.seconds[name] += d;
  s.total += d;
}

void Step(Steps& s, const std::string& name, const std::string& cmd) {
  Step(s, name, [&] { return Sh(cmd) == 0; }, cmd);
}

// ---- the floor of a crash-safe full update ----

struct ZipEntry {
  int64_t local = 0;  // offset of the local header
  uint64_t compressed = 0, size = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
};

uint32_t Le(const unsigned char* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// The entries of an archive without zip64 records, from its central directory.
std::vector<ZipEntry> ZipEntries(const std::string& path) {
  const std::string z = ReadFile(path);
  const auto* b = reinterpret_cast<const unsigned char*>(z.data());
  std::vector<ZipEntry> out;
  size_t end = z.size() >= 22 ? z.size() - 22 : 0;
  while (end > 0 && Le(b + end, 4) != 0x06054b50) --end;
  if (z.size() < 22 || Le(b + end, 4) != 0x06054b50) return out;
  size_t at = Le(b + end + 16, 4);
  for (uint32_t n = Le(b + end + 10, 2); n > 0 && at + 46 <= z.size() && Le(b + at, 4) == 0x02014b50; --n) {
    ZipEntry e;
    e.method = (uint16_t)Le(b + at + 10, 2);
    e.crc = Le(b + at + 16, 4);
    e.compressed = Le(b + at + 20, 4);
    e.size = Le(b + at + 24, 4);
    e.local = Le(b + at + 42, 4);
    if (e.size > 0) out.push_back(e);
    at += 46 + Le(b + at + 28, 2) + Le(b + at + 30, 2) + Le(b + at + 32, 2);
  }
  return out;
}

// Reads, inflates and checks every entry on every core, writing nothing.
bool InflateAll(const std::string& path, const std::vector<ZipEntry>& entries) {
  std::atomic<size_t> next{0};
  std::atomic<bool> ok{true};
  auto work = [&] {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
      ok = false;
      return;
    }
    std::vector<unsigned char> in(256 << 10), out(256 << 10);
    for (size_t k; (k = next++) < entries.size();) {
      const ZipEntry& e = entries[k];
      unsigned char h[30];
      if (fseeko(f, e.local, SEEK_SET) != 0 || fread(h, 1, 30, f) != 30 ||
          fseeko(f, e.local + 30 + Le(h + 26, 2) + Le(h + 28, 2), SEEK_SET) != 0) {
        ok = false;
        break;
      }
      z_stream zs{};
      if (e.method == 8) inflateInit2(&zs, -MAX_WBITS);
      uLong crc = crc32(0, Z_NULL, 0);
      uint64_t left = e.compressed, produced = 0;
      while (left > 0) {
        size_t got = fread(in.data(), 1, (size_t)std::min<uint64_t>(left, in.size()), f);
        if (got == 0) break;
        left -= got;
        if (e.method != 8) {
          crc = crc32(crc, in.data(), (uInt)got);
          produced += got;
          continue;
        }
        zs.next_in = in.data();
        zs.avail_in = (uInt)got;
        do {
          zs.next_out = out.data();
          zs.avail_out = (uInt)out.size();
          if (inflate(&zs, Z_NO_FLUSH) < 0) left = 0;
          crc = crc32(crc, out.data(), (uInt)(out.size() - zs.avail_out));
          produced += out.size() - zs.avail_out;
        } while (zs.avail_out == 0);
      }
      if (e.method == 8) inflateEnd(&zs);
      if (produced != e.size || crc != e.crc) ok = false;
    }
    fclose(f);
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < std::max(1u, std::thread::hardware_concurrency()); ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  return ok;
}

// Two renames per file, as the swap does (the installed file to its backup,
// the staged one into its place).
bool RenameAll(const std::string& tree) {
  std::vector<std::string> files;
  for (auto& e : fs::recursive_directory_iterator(tree))
    if (e.is_regular_file()) files.push_back(e.path().string());
  bool ok = true;
  for (const std::string& f : files) {
    const std::string back = f + ".oldbak";
    ok = ok && rename(f.c_str(), back.c_str()) == 0 && rename(back.c_str(), f.c_str()) == 0;
  }
  return ok;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Series {
  std::vector<double> total, exitTime;
  std::map<std::string, std::vector<double>> parts;
  long hwm = 0, tree = 0;
  bool ok = true;
  void Add(const Run& r) {
    total.push_back(r.total);
    exitTime.push_back(r.exitTime);
    for (auto& [k, v] : r.phases.seconds) parts[k].push_back(v);
    hwm = std::max(hwm, r.hwmKiB);
    tree = std::max(tree, r.treeKiB);
    ok = ok && r.ok;
  }
  void Add(const Steps& s) {
    total.push_back(s.total);
    for (auto& [k, v] : s.seconds) parts[k].push_back(v);
    ok = ok && s.ok;
  }
  double Part(const std::string& k) const { return parts.count(k) ? Median(parts.at(k)) : 0; }
};

void PrintParts(const char* title, const Series& s, const std::vector<std::string>& order) {
  printf("  %-34s %7.2f s  [", title, Median(s.total));
  bool first = true;
  for (const auto& k : order) {
    if (!s.parts.count(k)) continue;
    printf("%s%s %.2f", first ? "" : ", ", k.c_str(), s.Part(k));
    first = false;
  }
  printf("]%s\n", s.ok ? "" : "  (A RUN FAILED)");
}

}  // namespace

int main(int argc, char** argv) {
  int files = 2000, mib = 400, rounds = 3;
  double settle = 0;
  bool stored = false;
  std::string updater = BENCH_UPDATER, baseline, dir = BENCH_CACHE_DIR;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--files" && i + 1 < argc) files = atoi(argv[++i]);
    else if (a == "--mib" && i + 1 < argc) mib = atoi(argv[++i]);
    else if (a == "--rounds" && i + 1 < argc) rounds = atoi(argv[++i]);
    else if (a == "--updater" && i + 1 < argc) updater = argv[++i];
    else if (a == "--baseline" && i + 1 < argc) baseline = argv[++i];
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--settle" && i + 1 < argc) settle = atof(argv[++i]);
    else if (a == "--stored") stored = true;
    else {
      fprintf(stderr, "usage: bench_update [--files N] [--mib M] [--rounds R] [--stored] [--updater PATH] [--baseline PATH] [--dir PATH] [--settle S]\n");
      return 2;
    }
  }
  if (files < 10 || mib < 1 || rounds < 1) return 2;
  try {
    netsrv::IsolateNetwork();
  } catch (const std::exception& e) {
    fprintf(stderr, "bench_update: %s\n", e.what());
    return 1;
  }

  const std::string set = PrepareSet(files, mib, stored);
  const Packs packs = FindPacks(set + "/server");
  const std::string work = dir + "/run";
  MustSh("rm -rf " + Q(work) + " && mkdir -p " + Q(work + "/nginx") + " " + Q(work + "/ca") + " " +
         Q(work + "/xdg") + " " + Q(work + "/reg") + " && chmod 700 " + Q(work + "/xdg"));
  netsrv::TestCa ca(work + "/ca");
  netsrv::Nginx nginx(work + "/nginx", set + "/server", ca);
  const std::string base = nginx.HttpUrl("");

  Env env;
  env.work = work;
  env.vars = {"QUILLUP_HEADLESS=1",
              "XDG_RUNTIME_DIR=" + work + "/xdg",
              "QUILLUP_REGISTRY_DIR=" + work + "/reg",
              "XDG_CONFIG_HOME=" + work + "/reg",
              "QUILLUP_CONFIG_SERVICE_HOST=127.0.0.1:9"};

  // The increment's entries, for the plain programs' script.
  std::vector<std::string> incEntries;
  {
    FILE* p = popen(("unzip -Z1 " + Q(set + "/server/" + packs.increment)).c_str(), "r");
    char line[4096];
    while (p && fgets(line, sizeof line, p)) {
      std::string s = line;
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      if (!s.empty() && s.back() != '/') incEntries.push_back(s);
    }
    if (p) pclose(p);
  }
  int deltas = 0;
  std::set<std::string> newDirs;
  std::ostringstream merge;
  merge << "set -e\nI=\"$1\"; U=\"$2\"\n";
  for (const std::string& e : incEntries) {
    const bool isDelta = e.size() > 6 && e.compare(e.size() - 6, 6, ".delta") == 0;
    if (isDelta) {
      std::string rel = e.substr(0, e.size() - 6);
      merge << "xdelta3 -d -f -s \"$I/" << rel << "\" \"$U/" << e << "\" \"$U/" << rel << ".new\"\n"
            << "mv -f \"$U/" << rel << ".new\" \"$I/" << rel << "\"\n";
      ++deltas;
    } else {
      std::string parent = fs::path(e).parent_path().string();
      if (!parent.empty() && !newDirs.count(parent)) {
        newDirs.insert(parent);
        merge << "mkdir -p \"$I/" << parent << "\"\n";
      }
      merge << "mv -f \"$U/" << e << "\" \"$I/" << e << "\"\n";
    }
  }
  WriteFile(work + "/merge.sh", merge.str());
  // What staging the increment must write: every entry in its new form.
  std::string staged;
  for (const std::string& e : incEntries)
    staged += (e.size() > 6 && e.compare(e.size() - 6, 6, ".delta") == 0 ? e.substr(0, e.size() - 6) : e) + "\n";
  WriteFile(work + "/staged.txt", staged);

  const long long fullBytes = (long long)fs::file_size(set + "/server/" + packs.full);
  const long long incBytes = (long long)fs::file_size(set + "/server/" + packs.increment);
  printf("bench_update: %d files, %d MiB of %s; full pack %.1f MiB, increment %.1f MiB (%zu entries, %d deltas); "
         "%d interleaved rounds\n",
         files, mib, stored ? "random bytes (stored)" : "code-like bytes (deflated)", fullBytes / 1048576.0, incBytes / 1048576.0, incEntries.size(), deltas, rounds);
  fflush(stdout);

  const std::string install = work + "/install";
  const std::string scratch = work + "/tools";
  // A fresh installation of version 1, on disk before the clock starts.
  auto fresh = [&](bool fullPack, const std::string& program) {
    // An installed updater carries no debugging symbols.
    MustSh("rm -rf " + Q(install) + " " + Q(scratch));
    const double removed = WallNow();
    MustSh("cp -a " + Q(set + "/v1") + " " + Q(install) +
           " && { strip -o " + Q(install + "/Quillup") + " " + Q(program) + " 2>/dev/null || cp " + Q(program) + " " +
           Q(install + "/Quillup") + "; } && mkdir -p " + Q(scratch));
    WriteFile(install + "/InternalDownloadURL.ini", "[DownloadURL]\r\nDefaultDownloadURL=" + base + "\r\n");
    if (fullPack) WriteFile(install + "/config/quillupcfg_ex.ini", "[QUILLUP_CFG]\r\nQUILLUP_FLAG=2\r\n");
    MustSh("sync -f " + Q(install));
    // ext4 without a journal skips, for each new inode, every inode freed
    // in the last 5 s (35 s while its table is unwritten): right after the
    // removal above, each file made costs a scan of thousands, for the
    // updater and the plain programs alike. --settle waits that out.
    const double wait = removed + settle - WallNow();
    if (wait > 0) usleep((useconds_t)(wait * 1e6));
  };
  auto check = [&](const char* what) {
    if (Sh("diff -rq -x Quillup -x Log -x update -x InternalDownloadURL.ini -x '" + std::string(kClientMark) +
           "' -x upgradedetail.json -x quillupcfg_ex.ini -x MainbinFailStartupCount.ini " + Q(set + "/v2") + " " +
           Q(install) + " > " + Q(work + "/diff.txt") + " 2>&1") != 0)
      fprintf(stderr, "bench_update: %s left an installation unlike version 2 (see %s)\n", what,
              (work + "/diff.txt").c_str());
  };

  Series qFull, qInc, aFull, bInc, floor, incFloor, oldFull, oldInc;
  auto runBaseline = [&] {
    if (baseline.empty()) return;
    fresh(true, baseline);
    oldFull.Add(RunUpdater(install, env, work + "/baseline-full.err"));
    check("the baseline updater (full pack)");
    fresh(false, baseline);
    oldInc.Add(RunUpdater(install, env, work + "/baseline-inc.err"));
    check("the baseline updater (increment)");
  };
  for (int r = 0; r < rounds; ++r) {
    // The baseline goes first in even rounds, last in odd ones: neither
    // build always follows the same work.
    if (r % 2 == 0) runBaseline();
    fresh(true, updater);
    qFull.Add(RunUpdater(install, env, work + "/full.err"));
    check("the updater (full pack)");
    fresh(true, updater);
    {
      Steps s;
      const std::string zip = scratch + "/full.zip";
      Step(s, "curl", "curl -s -f -o " + Q(zip) + " " + Q(base + "/" + packs.full));
      Step(s, "md5sum", "md5sum " + Q(zip) + " > /dev/null");
      Step(s, "unzip", "unzip -o -q " + Q(zip) + " -d " + Q(install));
      Step(s, "sync", "sync -f " + Q(install));
      aFull.Add(s);
    }
    {
      // The floor on the archive (a) fetched: the download and its digest
      // overlap, the rest follow one another.
      Steps s;
      const std::string zip = scratch + "/full.zip", tree = scratch + "/w";
      const std::vector<ZipEntry> entries = ZipEntries(zip);
      Step(s, "inflate", [&] { return !entries.empty() && InflateAll(zip, entries); }, "inflate " + zip);
      Step(s, "write+flush", "cp -R " + Q(set + "/v2") + " " + Q(tree) + " && sync -f " + Q(tree));
      Step(s, "renames", [&] { return RenameAll(tree); }, "renames in " + tree);
      const double download = aFull.parts["curl"].back(), digest = aFull.parts["md5sum"].back();
      s.seconds["download"] = download;
      s.seconds["digest"] = digest;
      s.total += std::max(download, digest);
      floor.Add(s);
    }
    fresh(false, updater);
    qInc.Add(RunUpdater(install, env, work + "/inc.err"));
    check("the updater (increment)");
    fresh(false, updater);
    {
      Steps s;
      const std::string zip = scratch + "/inc.zip";
      Step(s, "curl", "curl -s -f -o " + Q(zip) + " " + Q(base + "/" + packs.increment));
      Step(s, "unzip", "unzip -o -q " + Q(zip) + " -d " + Q(scratch + "/u"));
      Step(s, "xdelta3+mv", "sh " + Q(work + "/merge.sh") + " " + Q(install) + " " + Q(scratch + "/u"));
      bInc.Add(s);
      check("the plain programs (increment)");
    }
    {
      // The floor of a crash-safe increment: its files in their new form
      // written with one volume flush, two renames a file, after the
      // download (curl's, above; the digest of so small a pack overlaps it).
      Steps s;
      const std::string tree = scratch + "/g";
      Step(s, "write+flush",
           "mkdir -p " + Q(tree) + " && cd " + Q(set + "/v2") + " && xargs -d '\\n' -a " + Q(work + "/staged.txt") +
               " cp --parents -t " + Q(tree) + " && sync -f " + Q(tree));
      Step(s, "renames", [&] { return RenameAll(tree); }, "renames in " + tree);
      s.seconds["download"] = bInc.parts["curl"].back();
      s.total += s.seconds["download"];
      incFloor.Add(s);
    }
    if (r % 2 == 1) runBaseline();
    fprintf(stderr, "bench_update: round %d of %d done\n", r + 1, rounds);
  }

  const std::vector<std::string> qOrder = {"check", "download", "unpack", "flush", "disable+swap", "delete", "restart"};
  printf("medians of %d rounds (seconds; the updater from start to the restarted client):\n", rounds);
  PrintParts("Quillup, full pack", qFull, qOrder);
  PrintParts("(a) curl+md5sum+unzip+sync", aFull, {"curl", "md5sum", "unzip", "sync"});
  PrintParts("(f) floor of a crash-safe update", floor, {"download", "digest", "inflate", "write+flush", "renames"});
  PrintParts("Quillup, increment", qInc, qOrder);
  PrintParts("(b) curl+unzip+xdelta3/mv", bInc, {"curl", "unzip", "xdelta3+mv"});
  PrintParts("(g) floor of a crash-safe increment", incFloor, {"download", "write+flush", "renames"});
  if (!baseline.empty()) {
    PrintParts("baseline updater, full pack", oldFull, qOrder);
    PrintParts("baseline updater, increment", oldInc, qOrder);
    printf("  baseline / Quillup: full pack %.2fx, increment %.2fx; baseline peak memory %.1f MiB\n",
           Median(oldFull.total) / Median(qFull.total), Median(oldInc.total) / Median(qInc.total),
           std::max(oldFull.hwm, oldInc.hwm) / 1024.0);
  }
  printf("  updater exit after: full %.2f s, increment %.2f s\n", Median(qFull.exitTime), Median(qInc.exitTime));
  const double fullRatio = Median(aFull.total) / Median(qFull.total);
  const double incRatio = Median(bInc.total) / Median(qInc.total);
  const double floorRatio = Median(qFull.total) / Median(floor.total);
  printf("ratio full pack: (a) / Quillup = %.2fx   (target >= 2.0x: %s)\n", fullRatio,
         fullRatio >= 2.0 ? "met" : "NOT MET");
  printf("full pack: Quillup / floor = %.2fx   (target <= 1.25x: %s; the floor is max(download, digest) + inflate "
         "on %u cores + write+flush + renames)\n",
         floorRatio, floorRatio <= 1.25 ? "met" : "NOT MET", std::max(1u, std::thread::hardware_concurrency()));
  printf("ratio increment: (b) / Quillup = %.2fx   (target >= 6x: %s)\n", incRatio, incRatio >= 6 ? "met" : "NOT MET");
  printf("increment: Quillup / floor = %.2fx; (b) / floor = %.2fx (the floor writes with one cp, on one core)\n",
         Median(qInc.total) / Median(incFloor.total), Median(bInc.total) / Median(incFloor.total));
  const long peak = std::max(qFull.hwm, qInc.hwm);
  printf("peak memory of Quillup: %.1f MiB (VmHWM; full %.1f, increment %.1f); largest process of its tree %.1f MiB"
         "   (target < 64 MiB: %s)\n",
         peak / 1024.0, qFull.hwm / 1024.0, qInc.hwm / 1024.0, std::max(qFull.tree, qInc.tree) / 1024.0,
         peak < 64 * 1024 ? "met" : "NOT MET");

  // Where a phase of the updater takes longer than the plain programs'
  // counterpart, the reason.
  struct Why {
    const Series* q;
    const char* phase;
    double tool;
    const char* toolName;
    const char* reason;
  };
  const Why whys[] = {
      {&qFull, "download", aFull.Part("curl") + aFull.Part("md5sum"), "curl+md5sum",
       "the archive is written back to disk as it arrives and digested on a second thread (the system's own MD5, "
       "see bench_md5), and the phase also writes the update flag to disk"},
      {&qFull, "unpack", aFull.Part("unzip"), "unzip",
       "staging writes every file into update/ready (the installation stays untouched until the swap) and "
       "starts its write-back at once"},
      {&qFull, "flush", aFull.Part("sync"), "sync",
       "the staged tree and the archive must be on disk before the swap may begin"},
      {&qInc, "download", bInc.Part("curl"), "curl",
       "the archive is digested as it arrives (curl checks nothing), and the phase also writes the update flag "
       "to disk"},
      {&qInc, "unpack", bInc.Part("unzip") + bInc.Part("xdelta3+mv"), "unzip+xdelta3/mv",
       "deltas are rebuilt into update/ready, a copy beside the installation, before anything is swapped"},
  };
  bool any = false;
  for (const Why& w : whys) {
    double mine = w.q->Part(w.phase);
    if (mine > w.tool * 1.05 && mine - w.tool > 0.02) {
      if (!any) printf("slower than the plain programs, and why:\n");
      any = true;
      printf("  %s %s %.2f s vs %s %.2f s: %s\n", w.q == &qFull ? "full pack" : "increment", w.phase, mine,
             w.toolName, w.tool, w.reason);
    }
  }
  if (incRatio < 6 && deltas > 0)
    printf("  increment: the updater merges %d deltas in %.2f s (%.1f ms each), the plain programs in %.2f s "
           "(%.1f ms each with its mv); the updater decodes plain deltas itself and starts xdelta3, one per core, "
           "only for the others, whose process starts cost as much as the plain programs' (%u cores here)\n",
           deltas, qInc.Part("unpack"), 1000 * qInc.Part("unpack") / deltas, bInc.Part("xdelta3+mv"),
           1000 * bInc.Part("xdelta3+mv") / deltas, std::thread::hardware_concurrency());
  printf("  the plain programs have no counterpart of: the list check (%.2f/%.2f s), the disabling and swap with "
         "its record (%.2f/%.2f s), the clean-up (%.2f/%.2f s) and the restart: they are the price of the crash "
         "safety and of the client's restart\n",
         qFull.Part("check"), qInc.Part("check"), qFull.Part("disable+swap"), qInc.Part("disable+swap"),
         qFull.Part("delete"), qInc.Part("delete"));
  MustSh("rm -rf " + Q(install) + " " + Q(scratch));
  return qFull.ok && qInc.ok && aFull.ok && bInc.ok && floor.ok && incFloor.ok ? 0 : 1;
}
