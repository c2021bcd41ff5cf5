// Included first in every Windows compile (see CMakeLists.txt): the few
// POSIX names the layers and their tests still use outside file access,
// which goes through plat::File, mapped to the C runtime.
#pragma once

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>

inline int rand_r(unsigned* seed) {
  *seed = *seed * 1103515245u + 12345u;
  return (int)((*seed >> 16) & 0x7FFF);
}

inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

inline struct tm* localtime_r(const time_t* t, struct tm* out) { return localtime_s(out, t) == 0 ? out : nullptr; }
#endif
