// Running a helper program to its end (the delta decoder).
#pragma once

#include <string>
#include <vector>

namespace plat {

// Starts program (looked up on PATH when it holds no "/") with the given
// arguments (argv[1...]), with the environment of this process minus the
// variables named in dropEnv, and waits for it. Returns its exit code, or
// -1 when it could not be started or was ended by a signal.
int RunAndWait(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& dropEnv = {});

}  // namespace plat
