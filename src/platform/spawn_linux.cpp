#include "platform/spawn.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace plat {

int RunAndWait(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& dropEnv) {
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

  pid_t pid;
  int rc = program.find('/') == std::string::npos
               ? posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data())
               : posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data());
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace plat
