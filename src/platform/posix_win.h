// Included first in every Windows compile (see CMakeLists.txt): the few
// POSIX names the layers still use for plain file descriptors, mapped to
// the C runtime. Every such open passes O_CLOEXEC, which here also asks
// for binary mode, so no byte is translated. Paths reach the runtime in
// the ANSI code page, so these opens handle names of that code page only.
#pragma once

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>

#undef O_CLOEXEC
#define O_CLOEXEC (_O_BINARY | _O_NOINHERIT)
#define POSIX_FADV_SEQUENTIAL 0

inline int posix_fadvise(int, long long, long long, int) { return 0; }

// The descriptors read this way are read by no other call.
inline long long pread(int fd, void* buf, size_t n, long long offset) {
  if (_lseeki64(fd, offset, SEEK_SET) != offset) return -1;
  return _read(fd, buf, (unsigned)n);
}

// _commit asks the system to write the file's buffers to disk
// (FlushFileBuffers); Windows keeps no mode bits to change.
inline int fsync(int fd) { return _commit(fd); }
inline int fchmod(int, int) { return 0; }

inline int rand_r(unsigned* seed) {
  *seed = *seed * 1103515245u + 12345u;
  return (int)((*seed >> 16) & 0x7FFF);
}

inline int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

inline struct tm* localtime_r(const time_t* t, struct tm* out) { return localtime_s(out, t) == 0 ? out : nullptr; }
#endif
