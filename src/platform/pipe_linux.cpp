#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/pipe.h"

extern char** environ;

namespace plat {

std::vector<std::string> SplitCommandLine(const WString& commandLine) {
  std::vector<std::string> args;
  WString cur;
  bool inArg = false, quoted = false;
  size_t i = 0, n = commandLine.size();
  while (i < n) {
    char16_t c = commandLine[i];
    if (!quoted && (c == u' ' || c == u'\t')) {
      if (inArg) args.push_back(Utf8FromWide(cur));
      cur.clear();
      inArg = false;
      ++i;
      continue;
    }
    inArg = true;
    if (c == u'\\') {
      size_t slashes = 0;
      while (i < n && commandLine[i] == u'\\') ++slashes, ++i;
      if (i < n && commandLine[i] == u'"') {
        cur.append(slashes / 2, u'\\');
        if (slashes % 2) {
          cur.push_back(u'"');
          ++i;
        }
      } else {
        cur.append(slashes, u'\\');
      }
      continue;
    }
    if (c == u'"') {
      // "" inside a quoted group is one literal quote.
      if (quoted && i + 1 < n && commandLine[i + 1] == u'"') {
        cur.push_back(u'"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    cur.push_back(c);
    ++i;
  }
  if (inArg) args.push_back(Utf8FromWide(cur));
  return args;
}

PipedProcess::~PipedProcess() { Close(); }

bool PipedProcess::Start(const WString& commandLine) {
  Close();
  std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.empty()) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the child's copies only.
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);

  // This process's write end goes at once, so the read ends with the child.
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return false;
  }
  m_fdRead = fds[0];
  m_pid = pid;
  return true;
}

long PipedProcess::Read(char* buf, size_t size) {
  if (m_fdRead < 0) return -1;
  for (;;) {
    ssize_t r = read(m_fdRead, buf, size);
    if (r < 0 && errno == EINTR) continue;
    return (long)r;
  }
}

void PipedProcess::Close() {
  if (m_fdRead >= 0) {
    close(m_fdRead);
    m_fdRead = -1;
  }
  if (m_pid > 0) {
    int status;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
  }
}

}  // namespace plat
