#include "common.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/spawn.h"
#include "progress.h"


namespace pack {
namespace {

bool g_quiet = false;
std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

std::string ParentOf(const std::string& p) {
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string BaseOf(const std::string& p) {
  size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

void Note(const std::string& text) {
  if (g_quiet) return;
  ClearProgressLine();
  fprintf(stderr, "quillup-pack: %s\n", text.c_str());
}

void Warn(const std::string& text) {
  ClearProgressLine();
  fprintf(stderr, "quillup-pack: warning: %s\n", text.c_str());
}

void SetQuiet(bool quiet) { g_quiet = quiet; }

bool IsQuiet() { return g_quiet; }

std::string ErrnoText() { return strerror(errno); }

std::string ExpiryText(long long seconds) {
  time_t t = (time_t)seconds;
  struct tm tmv = {};
  char date[40] = "?";
  if (gmtime_r(&t, &tmv)) strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &tmv);
  return std::to_string(seconds) + " (" + date + ")";
}

void MakeDirOrThrow(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw Error("cannot create directory " + path + ": " + ec.message());
}

bool RemoveTree(const std::string& path) {
  std::error_code ec;
  // Read-only directories would stop the removal of their entries.
  for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
  }
  ec.clear();
  std::filesystem::remove_all(path, ec);
  return !ec;
}

std::string MakeTempDirBeside(const std::string& target, const std::string& tag) {
  std::string tmpl = ParentOf(target) + "/." + BaseOf(target) + "." + tag + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw Error("cannot create a temporary directory beside " + target + ": " + ErrnoText());
  return tmpl;
}

bool SameFileContent(const std::string& a, const std::string& b) {
  FILE* fa = fopen(a.c_str(), "rb");
  if (!fa) throw Error("cannot read " + a + ": " + ErrnoText());
  FILE* fb = fopen(b.c_str(), "rb");
  if (!fb) {
    std::string why = ErrnoText();
    fclose(fa);
    throw Error("cannot read " + b + ": " + why);
  }
  std::vector<char> ba(1 << 16), bb(1 << 16);
  bool same = true;
  for (;;) {
    size_t na = fread(ba.data(), 1, ba.size(), fa);
    size_t nb = fread(bb.data(), 1, bb.size(), fb);
    if (na != nb || memcmp(ba.data(), bb.data(), na) != 0) {
      same = false;
      break;
    }
    if (na < ba.size()) break;
  }
  bool bad = ferror(fa) || ferror(fb);
  fclose(fa);
  fclose(fb);
  if (bad) throw Error("cannot read " + a + " or " + b + ": read error");
  return same;
}

void CopyTree(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy(from, to,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, ec);
  if (ec) throw Error("cannot copy " + from + " to " + to + ": " + ec.message());
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw Error("cannot read " + path + ": " + ErrnoText());
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

long long FileSizeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return (long long)st.st_size;
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

int RunProgram(const std::vector<std::string>& argv, std::string* errText) {
  std::string err;
  int rc = plat::RunAndWait(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()), {}, &err);
  if (errText) *errText = err;
  return rc;
}

bool Interrupted() { return g_interrupted; }

void InstallInterruptHandler() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  // A closed terminal or a reader gone from the output pipe (| head) ends
  // the work as ^C does: the work directory goes with it.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &sa, nullptr);
}

void ThrowIfInterrupted() {
  if (g_interrupted) throw Error("interrupted");
}

}  // namespace pack
