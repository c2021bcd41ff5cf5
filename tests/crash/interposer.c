/* Preloaded into a process under test: counts every file-system mutation
 * below QUILLUP_CRASH_ROOT and kills the process with SIGKILL just before
 * mutation number QUILLUP_CRASH_AT (a write of several bytes is torn: half
 * of it happens first). QUILLUP_CRASH_TRACE names a file that receives one
 * line per mutation: "<number> <call> <path>". */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FD 4096

static char g_root[4096];
static size_t g_rootLen;
static long g_crashAt;
static long g_count;
static int g_traceFd = -1;
static char g_fdPath[MAX_FD][256];
static unsigned char g_tracked[MAX_FD];

__attribute__((constructor)) static void Init(void) {
  const char* root = getenv("QUILLUP_CRASH_ROOT");
  if (root && *root && strlen(root) < sizeof g_root) {
    strcpy(g_root, root);
    g_rootLen = strlen(g_root);
  }
  const char* at = getenv("QUILLUP_CRASH_AT");
  g_crashAt = at ? atol(at) : 0;
  const char* trace = getenv("QUILLUP_CRASH_TRACE");
  if (trace && *trace)
    g_traceFd = (int)syscall(SYS_openat, AT_FDCWD, trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

static int Under(const char* path) {
  return g_rootLen && path && strncmp(path, g_root, g_rootLen) == 0 &&
         (path[g_rootLen] == '/' || path[g_rootLen] == 0);
}

static void Die(void) {
  syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
  for (;;) pause();
}

/* Counts one mutation; returns 1 when this one is the crash point. */
static int Count2(const char* call, const char* path, const char* to) {
  ++g_count;
  if (g_traceFd >= 0) {
    char line[8800];
    int n = to ? snprintf(line, sizeof line, "%ld %s %s -> %s\n", g_count, call, path ? path : "", to)
               : snprintf(line, sizeof line, "%ld %s %s\n", g_count, call, path ? path : "");
    if (n > 0) syscall(SYS_write, g_traceFd, line, (size_t)n);
  }
  return g_crashAt > 0 && g_count == g_crashAt;
}

static int Count(const char* call, const char* path) { return Count2(call, path, NULL); }

static void CountPath(const char* call, const char* path) {
  if (Under(path) && Count(call, path)) Die();
}

static void CountMove(const char* call, const char* from, const char* to) {
  if ((Under(from) || Under(to)) && Count2(call, from, to)) Die();
}

static int Writes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0; }

static void Track(int fd, const char* path) {
  if (fd >= 0 && fd < MAX_FD) {
    g_tracked[fd] = 1;
    snprintf(g_fdPath[fd], sizeof g_fdPath[fd], "%s", path);
  }
}

static int TrackedFd(int fd) { return fd >= 0 && fd < MAX_FD && g_tracked[fd]; }

#define REAL(name)                                                   \
  ({                                                                 \
    static __typeof__(&name) real_;                                  \
    if (!real_) real_ = (__typeof__(&name))dlsym(RTLD_NEXT, #name);  \
    real_;                                                           \
  })

static int OpenCommon(const char* call, int dirfd, const char* path, int flags, mode_t mode) {
  int counted = Writes(flags) && Under(path);
  if (counted && Count(call, path)) Die();
  int fd = REAL(openat)(dirfd, path, flags, mode);
  if (fd >= 0 && fd < MAX_FD) g_tracked[fd] = 0;
  if (counted) Track(fd, path);
  return fd;
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return OpenCommon("open", AT_FDCWD, path, flags, mode);
}
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int openat(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return OpenCommon("open", dirfd, path, flags, mode);
}
int openat64(int dirfd, const char* path, int flags, ...) __attribute__((alias("openat")));

int creat(const char* path, mode_t mode) { return OpenCommon("open", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode); }
int creat64(const char* path, mode_t mode) __attribute__((alias("creat")));

FILE* fopen(const char* path, const char* mode) {
  int counted = Under(path) && (strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+'));
  if (counted && Count("fopen", path)) Die();
  FILE* f = REAL(fopen)(path, mode);
  if (f && fileno(f) < MAX_FD) g_tracked[fileno(f)] = 0;
  if (f && counted) Track(fileno(f), path);
  return f;
}
FILE* fopen64(const char* path, const char* mode) __attribute__((alias("fopen")));

ssize_t write(int fd, const void* buf, size_t n) {
  if (TrackedFd(fd) && Count("write", g_fdPath[fd])) {
    if (n > 1) syscall(SYS_write, fd, buf, n / 2);
    Die();
  }
  return REAL(write)(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  if (TrackedFd(fd) && Count("pwrite", g_fdPath[fd])) Die();
  return REAL(pwrite)(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t off) __attribute__((alias("pwrite")));

ssize_t writev(int fd, const struct iovec* iov, int cnt) {
  if (TrackedFd(fd) && Count("writev", g_fdPath[fd])) Die();
  return REAL(writev)(fd, iov, cnt);
}

int fsync(int fd) {
  if (TrackedFd(fd) && Count("fsync", g_fdPath[fd])) Die();
  return REAL(fsync)(fd);
}

int fdatasync(int fd) {
  if (TrackedFd(fd) && Count("fdatasync", g_fdPath[fd])) Die();
  return REAL(fdatasync)(fd);
}

int ftruncate(int fd, off_t len) {
  if (TrackedFd(fd) && Count("ftruncate", g_fdPath[fd])) Die();
  return REAL(ftruncate)(fd, len);
}
int ftruncate64(int fd, off_t len) __attribute__((alias("ftruncate")));

int fchmod(int fd, mode_t mode) {
  if (TrackedFd(fd) && Count("fchmod", g_fdPath[fd])) Die();
  return REAL(fchmod)(fd, mode);
}

int close(int fd) {
  if (fd >= 0 && fd < MAX_FD) g_tracked[fd] = 0;
  return REAL(close)(fd);
}

int fclose(FILE* f) {
  if (f && fileno(f) >= 0 && fileno(f) < MAX_FD) g_tracked[fileno(f)] = 0;
  return REAL(fclose)(f);
}

int rename(const char* a, const char* b) {
  CountMove("rename", a, b);
  return REAL(rename)(a, b);
}
int renameat(int da, const char* a, int db, const char* b) {
  CountMove("rename", a, b);
  return REAL(renameat)(da, a, db, b);
}
int renameat2(int da, const char* a, int db, const char* b, unsigned flags) {
  CountMove("rename", a, b);
  return REAL(renameat2)(da, a, db, b, flags);
}
int link(const char* a, const char* b) {
  CountMove("link", a, b);
  return REAL(link)(a, b);
}
int linkat(int da, const char* a, int db, const char* b, int flags) {
  CountMove("link", a, b);
  return REAL(linkat)(da, a, db, b, flags);
}
int symlink(const char* a, const char* b) {
  CountPath("symlink", b);
  return REAL(symlink)(a, b);
}
int unlink(const char* p) {
  CountPath("unlink", p);
  return REAL(unlink)(p);
}
int unlinkat(int d, const char* p, int flags) {
  CountPath("unlink", p);
  return REAL(unlinkat)(d, p, flags);
}
int rmdir(const char* p) {
  CountPath("rmdir", p);
  return REAL(rmdir)(p);
}
int mkdir(const char* p, mode_t m) {
  CountPath("mkdir", p);
  return REAL(mkdir)(p, m);
}
int mkdirat(int d, const char* p, mode_t m) {
  CountPath("mkdir", p);
  return REAL(mkdirat)(d, p, m);
}
int chmod(const char* p, mode_t m) {
  CountPath("chmod", p);
  return REAL(chmod)(p, m);
}
int fchmodat(int d, const char* p, mode_t m, int flags) {
  CountPath("chmod", p);
  return REAL(fchmodat)(d, p, m, flags);
}
int truncate(const char* p, off_t len) {
  CountPath("truncate", p);
  return REAL(truncate)(p, len);
}
int utimensat(int d, const char* p, const struct timespec t[2], int flags) {
  CountPath("utimens", p);
  return REAL(utimensat)(d, p, t, flags);
}

/* The move stand-in calls renameat2 through syscall(). */
long syscall(long n, ...) {
  va_list ap;
  va_start(ap, n);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
  if (n == SYS_renameat2) {
    const char* from = (const char*)a[1];
    const char* to = (const char*)a[3];
    CountMove("rename", from, to);
  }
  static long (*real)(long, ...);
  if (!real) real = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
  return real(n, a[0], a[1], a[2], a[3], a[4], a[5]);
}
