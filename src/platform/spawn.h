// Running helper programs: to their end (the delta decoder), or with their
// output read through a pipe (the resolver program).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/text.h"

namespace plat {

// Starts program (looked up on PATH when it holds no "/") with the given
// arguments (argv[1...]), with the environment of this process minus the
// variables named in dropEnv, and waits for it. Returns its exit code, or
// -1 when it could not be started or was ended by a signal. With errText,
// the program reads its standard input from /dev/null and errText gets what
// it wrote to standard error (up to 4 KiB, line ends at the end dropped),
// or why it could not be started.
int RunAndWait(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& dropEnv = {}, std::string* errText = nullptr);

// A child whose standard output and standard error both feed one pipe.
class PipedProcess {
 public:
  PipedProcess() = default;
  ~PipedProcess();
  PipedProcess(const PipedProcess&) = delete;
  PipedProcess& operator=(const PipedProcess&) = delete;

  // Starts the command line (split as SplitCommandLine of process.h does;
  // the program is found on PATH) with the environment,
  // working directory and standard input of this process. False when the
  // pipe cannot be made or the program cannot be started.
  bool Start(const WString& commandLine);
  // Up to size bytes; 0 or less once the child's end is closed (it ended).
  long Read(char* buf, size_t size);
  // Closes the read end and waits for the child.
  void Close();

 private:
  int m_fdRead = -1;
  pid_t m_pid = -1;
};

}  // namespace plat
