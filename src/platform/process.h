// Process stand-ins: snapshot, image path, terminate, liveness and a
// detached start from a Windows-style command line.
#pragma once

#include <cstdint>
#include <vector>

#include "base/text.h"

namespace plat {

using ProcessId = uint32_t;

struct ProcessEntry {
  ProcessId pid = 0;
  ProcessId parentPid = 0;
};

// Every process visible now (a process snapshot). False when none can be
// listed at all.
bool SnapshotProcesses(std::vector<ProcessEntry>& out);

// Full path of the process's executable, at most 260 units; empty when the
// process is gone or its executable cannot be read. A file replaced while
// running still reports the path it was started from.
WString ProcessImagePath(ProcessId pid);

// Ends the process at once (no clean-up on its side). False when it cannot
// be signalled.
bool TerminateProcess(ProcessId pid);

// The process exists and has not exited (a zombie counts as exited).
bool IsProcessActive(ProcessId pid);

ProcessId CurrentProcessId();

// Splits a command line as Windows does for a program's arguments: blanks
// separate, double quotes group, 2n backslashes before a quote give n and
// open/close, 2n+1 give n and a literal quote, "" inside quotes is a quote.
std::vector<WString> SplitCommandLine(const WString& cmdLine);

// Starts the program of a command line detached from this process: its own
// session, no inherited descriptors beyond standard output and error,
// standard input from /dev/null, this process's environment and working
// directory, no zombie left behind. A quoted first token names the program;
// an unquoted one with blanks is tried prefix by prefix up to each blank,
// shortest first, and the first that names an executable file wins; the
// rest of the line is split into the arguments. True once the program is
// running; false at once when nothing could be executed. pid receives the
// new process's id when given.
bool CreateDetachedProcess(const WString& cmdLine, ProcessId* pid = nullptr);

}  // namespace plat
