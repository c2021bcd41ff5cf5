/* Preloaded into a process under test: counts every file-system mutation
 * below QUILLUP_CRASH_ROOT and kills the process with SIGKILL just before
 * mutation number QUILLUP_CRASH_AT (a write of several bytes is torn: half
 * of it happens first). QUILLUP_CRASH_TRACE names a file that receives one
 * line per mutation: "<number> <call> <path>".
 *
 * A failing disk instead of a crash:
 *   QUILLUP_CRASH_ERRNO   ENOSPC, EIO or a number: mutation QUILLUP_CRASH_AT
 *                         fails with it (nothing happens) instead of killing;
 *                         stdio writes (fwrite) count in this mode only
 *   QUILLUP_CRASH_STICKY  set: every counted mutation after it fails too
 *   QUILLUP_CRASH_CALLS   comma list of calls that count (write, fwrite,
 *                         fsync, rename, open, fopen, ...); empty: all
 *   QUILLUP_CRASH_MATCH   only mutations whose path contains this count
 *   QUILLUP_CRASH_FREE    statvfs below the root reports this many bytes
 *                         available
 * QUILLUP_CRASH_ONLY (a part of the executable's path) leaves every other
 * program of the process tree alone. */
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
#include <sys/statvfs.h>
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
static int g_errno;
static int g_sticky;
static __thread int g_failing;
static char g_calls[512];
static char g_match[1024];
static long long g_free = -1;
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
  const char* only = getenv("QUILLUP_CRASH_ONLY");
  if (only && *only) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = 0;
    if (!strstr(exe, only)) {
      g_rootLen = 0;
      return;
    }
  }
  const char* err = getenv("QUILLUP_CRASH_ERRNO");
  if (err && *err)
    g_errno = strcmp(err, "ENOSPC") == 0 ? ENOSPC : strcmp(err, "EIO") == 0 ? EIO : atoi(err);
  g_sticky = getenv("QUILLUP_CRASH_STICKY") && *getenv("QUILLUP_CRASH_STICKY");
  const char* calls = getenv("QUILLUP_CRASH_CALLS");
  if (calls && strlen(calls) + 2 < sizeof g_calls) snprintf(g_calls, sizeof g_calls, ",%s,", calls);
  const char* match = getenv("QUILLUP_CRASH_MATCH");
  if (match && strlen(match) < sizeof g_match) strcpy(g_match, match);
  const char* freeBytes = getenv("QUILLUP_CRASH_FREE");
  if (freeBytes && *freeBytes) g_free = atoll(freeBytes);
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

static int Selected(const char* call, const char* path, const char* to) {
  if (g_calls[0]) {
    char key[64];
    snprintf(key, sizeof key, ",%s,", call);
    if (!strstr(g_calls, key)) return 0;
  }
  return !g_match[0] || (path && strstr(path, g_match)) || (to && strstr(to, g_match));
}

/* Counts one mutation; returns 1 when this one is the crash point. In the
 * errno mode it never returns 1: a mutation to fail leaves errno set and
 * g_failing raised instead. */
static int Count2(const char* call, const char* path, const char* to) {
  g_failing = 0;
  if (!Selected(call, path, to)) return 0;
  long count = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
  if (g_traceFd >= 0) {
    char line[8800];
    int n = to ? snprintf(line, sizeof line, "%ld %s %s -> %s\n", count, call, path ? path : "", to)
               : snprintf(line, sizeof line, "%ld %s %s\n", count, call, path ? path : "");
    if (n > 0) syscall(SYS_write, g_traceFd, line, (size_t)n);
  }
  int hit = g_crashAt > 0 && (count == g_crashAt || (g_sticky && count > g_crashAt));
  if (hit && g_errno) {
    g_failing = 1;
    return 0;
  }
  return hit;
}

/* After a Count: -1 with errno set when the call is to fail. */
static int Failing(void) {
  if (!g_failing) return 0;
  g_failing = 0;
  errno = g_errno;
  return 1;
}

static int Count(const char* call, const char* path) { return Count2(call, path, NULL); }

/* 1 when the call is to fail (errno set). */
static int CountPath(const char* call, const char* path) {
  if (!Under(path)) return 0;
  if (Count(call, path)) Die();
  return Failing();
}

static int CountMove(const char* call, const char* from, const char* to) {
  if (!Under(from) && !Under(to)) return 0;
  if (Count2(call, from, to)) Die();
  return Failing();
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
  if (counted && Failing()) return -1;
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
  if (counted && Failing()) return NULL;
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
  if (Failing()) return -1;
  return REAL(write)(fd, buf, n);
}

size_t fwrite(const void* buf, size_t size, size_t n, FILE* f) {
  int fd = fileno(f);
  if (g_errno && TrackedFd(fd)) {
    Count("fwrite", g_fdPath[fd]);
    if (Failing()) return 0;
  }
  return REAL(fwrite)(buf, size, n, f);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  if (TrackedFd(fd) && Count("pwrite", g_fdPath[fd])) Die();
  if (Failing()) return -1;
  return REAL(pwrite)(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t off) __attribute__((alias("pwrite")));

ssize_t writev(int fd, const struct iovec* iov, int cnt) {
  if (TrackedFd(fd) && Count("writev", g_fdPath[fd])) Die();
  if (Failing()) return -1;
  return REAL(writev)(fd, iov, cnt);
}

int fsync(int fd) {
  if (TrackedFd(fd) && Count("fsync", g_fdPath[fd])) Die();
  if (Failing()) return -1;
  return REAL(fsync)(fd);
}

int fdatasync(int fd) {
  if (TrackedFd(fd) && Count("fdatasync", g_fdPath[fd])) Die();
  if (Failing()) return -1;
  return REAL(fdatasync)(fd);
}

int ftruncate(int fd, off_t len) {
  if (TrackedFd(fd) && Count("ftruncate", g_fdPath[fd])) Die();
  if (Failing()) return -1;
  return REAL(ftruncate)(fd, len);
}
int ftruncate64(int fd, off_t len) __attribute__((alias("ftruncate")));

int fchmod(int fd, mode_t mode) {
  if (TrackedFd(fd) && Count("fchmod", g_fdPath[fd])) Die();
  if (Failing()) return -1;
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
  if (CountMove("rename", a, b)) return -1;
  return REAL(rename)(a, b);
}
int renameat(int da, const char* a, int db, const char* b) {
  if (CountMove("rename", a, b)) return -1;
  return REAL(renameat)(da, a, db, b);
}
int renameat2(int da, const char* a, int db, const char* b, unsigned flags) {
  if (CountMove("rename", a, b)) return -1;
  return REAL(renameat2)(da, a, db, b, flags);
}
int link(const char* a, const char* b) {
  if (CountMove("link", a, b)) return -1;
  return REAL(link)(a, b);
}
int linkat(int da, const char* a, int db, const char* b, int flags) {
  if (CountMove("link", a, b)) return -1;
  return REAL(linkat)(da, a, db, b, flags);
}
int symlink(const char* a, const char* b) {
  if (CountPath("symlink", b)) return -1;
  return REAL(symlink)(a, b);
}
int unlink(const char* p) {
  if (CountPath("unlink", p)) return -1;
  return REAL(unlink)(p);
}
int unlinkat(int d, const char* p, int flags) {
  if (CountPath("unlink", p)) return -1;
  return REAL(unlinkat)(d, p, flags);
}
int rmdir(const char* p) {
  if (CountPath("rmdir", p)) return -1;
  return REAL(rmdir)(p);
}
int mkdir(const char* p, mode_t m) {
  if (CountPath("mkdir", p)) return -1;
  return REAL(mkdir)(p, m);
}
int mkdirat(int d, const char* p, mode_t m) {
  if (CountPath("mkdir", p)) return -1;
  return REAL(mkdirat)(d, p, m);
}
int chmod(const char* p, mode_t m) {
  if (CountPath("chmod", p)) return -1;
  return REAL(chmod)(p, m);
}
int fchmodat(int d, const char* p, mode_t m, int flags) {
  if (CountPath("chmod", p)) return -1;
  return REAL(fchmodat)(d, p, m, flags);
}
int truncate(const char* p, off_t len) {
  if (CountPath("truncate", p)) return -1;
  return REAL(truncate)(p, len);
}
int utimensat(int d, const char* p, const struct timespec t[2], int flags) {
  if (CountPath("utimens", p)) return -1;
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
    if (CountMove("rename", from, to)) return -1;
  }
  static long (*real)(long, ...);
  if (!real) real = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
  return real(n, a[0], a[1], a[2], a[3], a[4], a[5]);
}

/* The free space the updater sees, when the test decides it. */
static void Shrink(const char* path, struct statvfs* v) {
  if (g_free < 0 || !Under(path)) return;
  unsigned long unit = v->f_frsize ? v->f_frsize : 4096;
  v->f_bavail = v->f_bfree = (fsblkcnt_t)(g_free / (long long)unit);
}
int statvfs(const char* path, struct statvfs* v) {
  int rc = REAL(statvfs)(path, v);
  if (rc == 0) Shrink(path, v);
  return rc;
}
