#include "platform/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"

extern char** environ;

namespace plat {

int RunAndWait(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& dropEnv, std::string* errText) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<char*> envp;
  for (char** e = environ; e && *e; ++e) {
    bool drop = false;
    for (const auto& name : dropEnv)
      if (!strncmp(*e, name.c_str(), name.size()) && (*e)[name.size()] == '=') drop = true;
    if (!drop) envp.push_back(*e);
  }
  envp.push_back(nullptr);

  // The child's diagnostics go to an unlinked file, so that a failure can quote them.
  int errFd = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (errText) {
    errText->clear();
    const char* tmpDir = getenv("TMPDIR");
    std::string errPath = std::string(tmpDir && *tmpDir ? tmpDir : "/tmp") + "/quillup-err-XXXXXX";
    errFd = mkostemp(errPath.data(), O_CLOEXEC);
    if (errFd >= 0) unlink(errPath.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  }
  pid_t pid;
  int rc = program.find('/') == std::string::npos
               ? posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data())
               : posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    if (errFd >= 0) close(errFd);
    if (errText) *errText = "cannot run " + program + ": " + strerror(rc);
    return -1;
  }
  int status = 0;
  bool waited = true;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      waited = false;
      break;
    }
  }
  if (errFd >= 0) {
    char buf[4096];
    ssize_t n = pread(errFd, buf, sizeof buf, 0);
    if (n > 0) errText->assign(buf, (size_t)n);
    while (!errText->empty() && (errText->back() == '\n' || errText->back() == '\r')) errText->pop_back();
    close(errFd);
  }
  return waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PipedProcess::~PipedProcess() { Close(); }

bool PipedProcess::Start(const WString& commandLine) {
  Close();
  std::vector<std::string> args;
  for (const WString& a : SplitCommandLine(commandLine)) args.push_back(Utf8FromWide(a));
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
