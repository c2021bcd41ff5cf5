#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace plat {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// State letter of /proc/<pid>/stat, 0 when unreadable.
char ProcessState(ProcessId pid, ProcessId* parent) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%u/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[1024];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return 0;
  buf[n] = 0;
  // The command name is in parentheses and may itself hold blanks or ')'.
  char* close = strrchr(buf, ')');
  if (!close || close[1] != ' ') return 0;
  char state = close[2];
  if (parent) *parent = (ProcessId)strtoul(close + 3, nullptr, 10);
  return state;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// A name without a slash is looked up on PATH, as a shell would.
std::string ResolveProgram(const std::string& name) {
  if (name.empty()) return std::string();
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  const char* env = getenv("PATH");
  std::string paths = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= paths.size()) {
    size_t end = paths.find(':', start);
    if (end == std::string::npos) end = paths.size();
    std::string dir = paths.substr(start, end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return std::string();
}

// The program part of a command line as CreateProcess reads it, resolved
// to an executable; rest receives the argument text after it.
std::string FindProgram(const WString& cmd, WString& rest) {
  size_t i = 0;
  while (i < cmd.size() && IsBlank(cmd[i])) ++i;
  if (i < cmd.size() && cmd[i] == u'"') {
    size_t close = cmd.find(u'"', i + 1);
    WString prog = cmd.substr(i + 1, close == WString::npos ? WString::npos : close - i - 1);
    rest = close == WString::npos ? WString() : cmd.substr(close + 1);
    std::string native;
    if (!NativePath(prog, native)) return std::string();
    return ResolveProgram(native);
  }
  // Unquoted: every blank may end the program path; the shortest that names
  // an executable wins, the whole line is the last candidate.
  size_t pos = i;
  for (;;) {
    size_t blank = pos;
    while (blank < cmd.size() && !IsBlank(cmd[blank])) ++blank;
    WString prog = cmd.substr(i, blank - i);
    std::string native;
    if (!prog.empty() && NativePath(prog, native)) {
      std::string found = ResolveProgram(native);
      if (!found.empty()) {
        rest = cmd.substr(blank);
        return found;
      }
    }
    if (blank >= cmd.size()) return std::string();
    pos = blank + 1;
  }
}

// Marks every descriptor above standard error close-on-exec; safe after fork.
void CloseOnExecAbove2() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) == 0) return;
#endif
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = 3; fd < max; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

bool ReadFull(int fd, void* buf, size_t len) {
  char* p = (char*)buf;
  while (len > 0) {
    ssize_t n = read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= (size_t)n;
  }
  return true;
}

}  // namespace

bool SnapshotProcesses(std::vector<ProcessEntry>& out) {
  out.clear();
  DIR* d = opendir("/proc");
  if (!d) return false;
  while (struct dirent* e = readdir(d)) {
    char* end = nullptr;
    unsigned long pid = strtoul(e->d_name, &end, 10);
    if (!end || *end || pid == 0) continue;
    ProcessEntry entry;
    entry.pid = (ProcessId)pid;
    if (!ProcessState(entry.pid, &entry.parentPid)) continue;  // gone meanwhile
    out.push_back(entry);
  }
  closedir(d);
  return true;
}

WString ProcessImagePath(ProcessId pid) {
  char link[64];
  snprintf(link, sizeof link, "/proc/%u/exe", pid);
  char buf[PATH_MAX];
  ssize_t n = readlink(link, buf, sizeof buf - 1);
  if (n <= 0) return WString();
  std::string path(buf, (size_t)n);
  static const std::string kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) path.resize(path.size() - kDeleted.size());
  }
  WString w = WidePath(path);
  if (w.size() > 260) w.resize(260);
  return w;
}

bool TerminateProcess(ProcessId pid) {
  if (pid == 0) return false;
  return kill((pid_t)pid, SIGKILL) == 0;
}

bool IsProcessActive(ProcessId pid) {
  if (pid == 0 || kill((pid_t)pid, 0) != 0) return false;
  char state = ProcessState(pid, nullptr);
  return state != 0 && state != 'Z' && state != 'X';
}

ProcessId CurrentProcessId() { return (ProcessId)getpid(); }

bool CreateDetachedProcess(const WString& cmdLine, ProcessId* pidOut) {
  WString rest;
  std::string program = FindProgram(cmdLine, rest);
  if (program.empty()) return false;

  // Everything the children need is built before fork: only
  // async-signal-safe calls happen between fork and exec.
  std::vector<std::string> args;
  args.push_back(program);
  for (const WString& a : SplitCommandLine(rest)) args.push_back(Utf8FromWide(a));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t middle = fork();
  if (middle < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (middle == 0) {
    // The middle process only forks the real child and exits, so the child
    // is adopted by init and never becomes our zombie.
    close(fds[0]);
    setsid();
    pid_t child = fork();
    if (child != 0) {
      int32_t id = child > 0 ? (int32_t)child : -1;
      ssize_t ignored = write(fds[1], &id, sizeof id);
      (void)ignored;
      _exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0 && devnull != 0) {
      dup2(devnull, 0);
      close(devnull);
    }
    CloseOnExecAbove2();
    execve(argv[0], argv.data(), environ);
    int32_t err = errno;
    ssize_t ignored = write(fds[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  close(fds[1]);
  int status;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int32_t child = -1, err = 0;
  bool ok = ReadFull(fds[0], &child, sizeof child) && child > 0;
  // End of file here means exec succeeded (the pipe closed on exec).
  if (ok && ReadFull(fds[0], &err, sizeof err)) ok = false;
  close(fds[0]);
  if (ok && pidOut) *pidOut = (ProcessId)child;
  return ok;
}

}  // namespace plat
