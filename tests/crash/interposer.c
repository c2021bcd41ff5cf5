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
 * program of the process tree alone. QUILLUP_CRASH_QUIET (a folder) keeps
 * mutations wholly below it (and attempts to make it or a folder above it)
 * out of the count and the trace: threads that race there would make the
 * numbering differ from run to run.
 *
 * A power cut instead of a kill (QUILLUP_CRASH_POWER set): at the crash
 * point, or at exit when the process never reaches it, whatever was not
 * flushed is dropped before the process dies.
 *   - File data: a file written since its last fsync/fdatasync (or the last
 *     syncfs) is cut back to where its unflushed writes began; one created
 *     or truncated since then ends up empty. stdio writes are not seen, so
 *     a file opened for writing counts as written from its opening on.
 *   - Names: a create, mkdir, rename, link, unlink or rmdir is undone
 *     (newest first) unless its folder (a rename's: the target's) was
 *     fsync'ed after it, or a syncfs came after it. Which folders lose
 *     their entries: QUILLUP_CRASH_POWER=all, in:PREFIX (only those below
 *     PREFIX) or out:PREFIX (all but those), as a disk without a journal
 *     writes some folders and not others. Removed files wait in
 *     QUILLUP_CRASH_ROOT.stash so that they can come back.
 *   QUILLUP_CRASH_LAZY  set: syncfs flushes nothing and statfs reports a
 *                       FUSE file system, which does not pass syncfs on */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
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
static char g_quiet[4096];
static size_t g_quietLen;
static long long g_free = -1;
static char g_fdPath[MAX_FD][256];
static unsigned char g_tracked[MAX_FD];

/* The power-cut model. */
static int g_power;     /* 0 off; 1 all; 2 in:prefix; 3 out:prefix */
static int g_lazy;
static char g_powerPrefix[4096];
static size_t g_powerPrefixLen;
static char g_stash[4200];
static long g_stashed;
/* Recursive: a crash point inside a held section cuts the power too. */
static pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

struct DataState {
  dev_t dev;
  ino_t ino;
  int fd;       /* a handle of our own: the name may change or go */
  off_t durable;
  int dirty;
};
#define MAX_FILES 2048
static struct DataState g_files[MAX_FILES];
static int g_fileCount;

enum { OP_CREATE, OP_MKDIR, OP_UNLINK, OP_RMDIR, OP_RENAME, OP_LINK };
struct NameOp {
  int type;
  char* a;      /* the name made or removed; a rename's source */
  char* b;      /* a rename's or link's target */
  char* stash;  /* a removed or replaced file, kept aside */
  char* dir;    /* the folder whose entry changed (a rename's: the target's) */
  dev_t dev;
  ino_t ino;
  int durable;
};
static struct NameOp* g_ops;
static int g_opCount, g_opCap;

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
  const char* quiet = getenv("QUILLUP_CRASH_QUIET");
  if (quiet && strlen(quiet) < sizeof g_quiet) {
    strcpy(g_quiet, quiet);
    g_quietLen = strlen(g_quiet);
  }
  const char* freeBytes = getenv("QUILLUP_CRASH_FREE");
  if (freeBytes && *freeBytes) g_free = atoll(freeBytes);
  const char* power = getenv("QUILLUP_CRASH_POWER");
  if (power && *power) {
    g_power = 1;
    if ((strncmp(power, "in:", 3) == 0 || strncmp(power, "out:", 4) == 0) &&
        strlen(power) < sizeof g_powerPrefix + 4) {
      g_power = power[0] == 'i' ? 2 : 3;
      strcpy(g_powerPrefix, power + (g_power == 2 ? 3 : 4));
      g_powerPrefixLen = strlen(g_powerPrefix);
    }
    snprintf(g_stash, sizeof g_stash, "%s.stash", g_root);
  }
  g_lazy = getenv("QUILLUP_CRASH_LAZY") && *getenv("QUILLUP_CRASH_LAZY");
  const char* trace = getenv("QUILLUP_CRASH_TRACE");
  if (trace && *trace)
    g_traceFd = (int)syscall(SYS_openat, AT_FDCWD, trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

static int Under(const char* path) {
  return g_rootLen && path && strncmp(path, g_root, g_rootLen) == 0 &&
         (path[g_rootLen] == '/' || path[g_rootLen] == 0);
}

static void PowerCut(void);

static void Die(void) {
  if (g_power) {
    pthread_mutex_lock(&g_lock);  /* other threads stop at their next call */
    PowerCut();
  }
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
/* Below the quiet folder, the folder itself, or a folder above it (which
 * racing threads may try to make again). */
static int Quiet(const char* path) {
  if (!g_quietLen || !path) return 0;
  size_t n = strlen(path);
  if (n <= g_quietLen) return strncmp(g_quiet, path, n) == 0 && (g_quiet[n] == '/' || g_quiet[n] == 0);
  return strncmp(path, g_quiet, g_quietLen) == 0 && path[g_quietLen] == '/';
}

static int Count2(const char* call, const char* path, const char* to) {
  g_failing = 0;
  if (!Selected(call, path, to) || (Quiet(path) && (!to || Quiet(to)))) return 0;
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

/* The power-cut model's bookkeeping; the caller holds g_lock. */
static void Lock(void) {
  if (g_power) pthread_mutex_lock(&g_lock);
}
static void Unlock(void) {
  if (g_power) pthread_mutex_unlock(&g_lock);
}

static char* DirOf(const char* path) {
  char* d = strdup(path);
  char* slash = strrchr(d, '/');
  if (!slash) strcpy(d, ".");
  else if (slash == d) d[1] = 0;
  else *slash = 0;
  return d;
}

static int Lost(const char* dir) {
  if (g_power == 1) return 1;
  int below = strncmp(dir, g_powerPrefix, g_powerPrefixLen) == 0 &&
              (dir[g_powerPrefixLen] == '/' || dir[g_powerPrefixLen] == 0);
  return g_power == 2 ? below : !below;
}

static void AddOp(int type, const char* a, const char* b, char* stash) {
  if (g_opCount == g_opCap) {
    int cap = g_opCap ? g_opCap * 2 : 256;
    struct NameOp* ops = realloc(g_ops, (size_t)cap * sizeof *ops);
    if (!ops) return;
    g_ops = ops;
    g_opCap = cap;
  }
  struct NameOp* op = &g_ops[g_opCount++];
  memset(op, 0, sizeof *op);
  op->type = type;
  op->a = a ? strdup(a) : NULL;
  op->b = b ? strdup(b) : NULL;
  op->stash = stash;
  op->dir = DirOf(b ? b : a);
  struct stat st;
  if (stat(op->dir, &st) == 0) {
    op->dev = st.st_dev;
    op->ino = st.st_ino;
  }
}

/* A second name for a file about to be removed or replaced, outside the
 * installation, so that the removal can be undone. */
static char* Stash(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || S_ISDIR(st.st_mode)) return NULL;
  REAL(mkdir)(g_stash, 0755);
  char name[4300];
  snprintf(name, sizeof name, "%s/%d.%ld", g_stash, (int)getpid(), ++g_stashed);
  if (REAL(link)(path, name) != 0) return NULL;
  return strdup(name);
}

static struct DataState* DataOf(int fd, int add) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return NULL;
  for (int i = 0; i < g_fileCount; ++i)
    if (g_files[i].dev == st.st_dev && g_files[i].ino == st.st_ino) return &g_files[i];
  if (!add || g_fileCount == MAX_FILES) return NULL;
  int own = fcntl(fd, F_DUPFD_CLOEXEC, 600);
  if (own < 0) own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return NULL;
  struct DataState* f = &g_files[g_fileCount++];
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  f->fd = own;
  f->durable = st.st_size;
  f->dirty = 0;
  return f;
}

/* The file's bytes from `from` on are not on the disk until a flush. */
static void Written(int fd, off_t from) {
  if (!g_power || !TrackedFd(fd)) return;
  struct DataState* f = DataOf(fd, 1);
  if (!f) return;
  if (!f->dirty) {
    struct stat st;
    f->durable = fstat(fd, &st) == 0 ? st.st_size : 0;
    f->dirty = 1;
  }
  if (from < f->durable) f->durable = from;
}

static off_t WriteOffset(int fd) {
  if (fcntl(fd, F_GETFL) & O_APPEND) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : 0;
  }
  off_t at = lseek(fd, 0, SEEK_CUR);
  return at < 0 ? 0 : at;
}

static void Flushed(int fd) {
  if (!g_power) return;
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (int i = 0; i < g_opCount; ++i)
      if (g_ops[i].dev == st.st_dev && g_ops[i].ino == st.st_ino) g_ops[i].durable = 1;
    return;
  }
  struct DataState* f = DataOf(fd, 0);
  if (f) f->dirty = 0;
}

static void VolumeFlushed(void) {
  if (!g_power || g_lazy) return;
  for (int i = 0; i < g_fileCount; ++i) g_files[i].dirty = 0;
  for (int i = 0; i < g_opCount; ++i) g_ops[i].durable = 1;
}

static int Missing(const char* path) {
  struct stat st;
  return lstat(path, &st) != 0;
}

static void PowerCut(void) {
  for (int i = 0; i < g_fileCount; ++i) {
    struct stat st;
    if (g_files[i].dirty && fstat(g_files[i].fd, &st) == 0 && g_files[i].durable < st.st_size)
      REAL(ftruncate)(g_files[i].fd, g_files[i].durable);
  }
  for (int i = g_opCount - 1; i >= 0; --i) {
    struct NameOp* op = &g_ops[i];
    if (op->durable || !Lost(op->dir)) continue;
    switch (op->type) {
      case OP_CREATE: REAL(unlink)(op->a); break;
      case OP_MKDIR: REAL(rmdir)(op->a); break;
      case OP_RMDIR: REAL(mkdir)(op->a, 0755); break;
      case OP_LINK: REAL(unlink)(op->b); break;
      case OP_UNLINK:
        if (op->stash && Missing(op->a)) REAL(rename)(op->stash, op->a);
        break;
      case OP_RENAME:
        if (!Missing(op->b) && Missing(op->a)) REAL(rename)(op->b, op->a);
        if (op->stash && Missing(op->b)) REAL(rename)(op->stash, op->b);
        break;
    }
  }
}

/* A process that ends before its crash point loses power right after. */
__attribute__((destructor)) static void PowerCutAtExit(void) {
  if (!g_power || g_crashAt <= 0 || g_errno) return;
  pthread_mutex_lock(&g_lock);
  if (__atomic_load_n(&g_count, __ATOMIC_SEQ_CST) < g_crashAt) PowerCut();
  pthread_mutex_unlock(&g_lock);
}

static int OpenCommon(const char* call, int dirfd, const char* path, int flags, mode_t mode) {
  int counted = Writes(flags) && Under(path);
  Lock();
  if (counted && Count(call, path)) Die();
  if (counted && Failing()) {
    Unlock();
    return -1;
  }
  int created = counted && g_power && (flags & O_CREAT) && Missing(path);
  int fd = REAL(openat)(dirfd, path, flags, mode);
  if (fd >= 0 && fd < MAX_FD) g_tracked[fd] = 0;
  if (counted) Track(fd, path);
  if (fd >= 0 && fd < MAX_FD && !counted && Under(path)) snprintf(g_fdPath[fd], sizeof g_fdPath[fd], "%s", path);
  if (fd >= 0 && created) AddOp(OP_CREATE, path, NULL, NULL);
  if (fd >= 0 && counted && ((flags & O_TRUNC) || created)) Written(fd, 0);
  Unlock();
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
  Lock();
  if (counted && Count("fopen", path)) Die();
  if (counted && Failing()) {
    Unlock();
    return NULL;
  }
  int created = counted && g_power && strchr(mode, 'r') == NULL && Missing(path);
  FILE* f = REAL(fopen)(path, mode);
  if (f && fileno(f) < MAX_FD) g_tracked[fileno(f)] = 0;
  if (f && counted) Track(fileno(f), path);
  if (f && created) AddOp(OP_CREATE, path, NULL, NULL);
  /* stdio's own writes are not seen: written from the opening on. */
  if (f && counted && (strchr(mode, 'w') || strchr(mode, 'a')))
    Written(fileno(f), strchr(mode, 'w') ? 0 : WriteOffset(fileno(f)));
  Unlock();
  return f;
}
FILE* fopen64(const char* path, const char* mode) __attribute__((alias("fopen")));

ssize_t write(int fd, const void* buf, size_t n) {
  Lock();
  if (TrackedFd(fd) && Count("write", g_fdPath[fd])) {
    Written(fd, WriteOffset(fd));
    if (n > 1) syscall(SYS_write, fd, buf, n / 2);
    Die();
  }
  if (Failing()) {
    Unlock();
    return -1;
  }
  Written(fd, WriteOffset(fd));
  ssize_t r = REAL(write)(fd, buf, n);
  Unlock();
  return r;
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
  Lock();
  if (TrackedFd(fd) && Count("pwrite", g_fdPath[fd])) Die();
  if (Failing()) {
    Unlock();
    return -1;
  }
  Written(fd, off);
  ssize_t r = REAL(pwrite)(fd, buf, n, off);
  Unlock();
  return r;
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t off) __attribute__((alias("pwrite")));

ssize_t writev(int fd, const struct iovec* iov, int cnt) {
  Lock();
  if (TrackedFd(fd) && Count("writev", g_fdPath[fd])) Die();
  if (Failing()) {
    Unlock();
    return -1;
  }
  Written(fd, WriteOffset(fd));
  ssize_t r = REAL(writev)(fd, iov, cnt);
  Unlock();
  return r;
}

/* Flushes of any handle below the root count, folders' too. */
static int UnderFd(int fd) { return fd >= 0 && fd < MAX_FD && (g_tracked[fd] || g_fdPath[fd][0]); }

static int FlushCall(const char* call, int fd, int (*realFn)(int), void (*flushed)(int)) {
  Lock();
  if (UnderFd(fd) && Count(call, g_fdPath[fd])) Die();
  if (Failing()) {
    Unlock();
    return -1;
  }
  int r = realFn(fd);
  if (r == 0) flushed(fd);
  Unlock();
  return r;
}

static void VolumeOf(int fd) {
  (void)fd;
  VolumeFlushed();
}

int fsync(int fd) { return FlushCall("fsync", fd, REAL(fsync), Flushed); }
int fdatasync(int fd) { return FlushCall("fdatasync", fd, REAL(fdatasync), Flushed); }
int syncfs(int fd) { return FlushCall("syncfs", fd, REAL(syncfs), VolumeOf); }

int ftruncate(int fd, off_t len) {
  Lock();
  if (TrackedFd(fd) && Count("ftruncate", g_fdPath[fd])) Die();
  if (Failing()) {
    Unlock();
    return -1;
  }
  Written(fd, len);
  int r = REAL(ftruncate)(fd, len);
  Unlock();
  return r;
}
int ftruncate64(int fd, off_t len) __attribute__((alias("ftruncate")));

int fchmod(int fd, mode_t mode) {
  Lock();
  if (TrackedFd(fd) && Count("fchmod", g_fdPath[fd])) Die();
  int failing = Failing();
  Unlock();
  if (failing) return -1;
  return REAL(fchmod)(fd, mode);
}

int close(int fd) {
  if (fd >= 0 && fd < MAX_FD) {
    g_tracked[fd] = 0;
    g_fdPath[fd][0] = 0;
  }
  return REAL(close)(fd);
}

int fclose(FILE* f) {
  if (f && fileno(f) >= 0 && fileno(f) < MAX_FD) {
    g_tracked[fileno(f)] = 0;
    g_fdPath[fileno(f)][0] = 0;
  }
  return REAL(fclose)(f);
}

/* A move: counted, then recorded (a replaced target is kept aside). */
#define MOVE(call, from, to, noReplace, realCall)                      \
  do {                                                                 \
    Lock();                                                            \
    if (CountMove(call, from, to)) {                                   \
      Unlock();                                                        \
      return -1;                                                       \
    }                                                                  \
    int counted = g_power && (Under(from) || Under(to));               \
    char* stash = counted && !(noReplace) ? Stash(to) : NULL;          \
    long r = (long)(realCall);                                         \
    if (r == 0 && counted) AddOp(OP_RENAME, from, to, stash);          \
    else free(stash);                                                  \
    Unlock();                                                          \
    return r;                                                          \
  } while (0)

int rename(const char* a, const char* b) { MOVE("rename", a, b, 0, REAL(rename)(a, b)); }
int renameat(int da, const char* a, int db, const char* b) { MOVE("rename", a, b, 0, REAL(renameat)(da, a, db, b)); }
int renameat2(int da, const char* a, int db, const char* b, unsigned flags) {
  MOVE("rename", a, b, flags & RENAME_NOREPLACE, REAL(renameat2)(da, a, db, b, flags));
}

static int Made(int type, const char* a, const char* b, int r) {
  if (r == 0 && g_power && Under(b ? b : a)) AddOp(type, a, b, NULL);
  return r;
}

int link(const char* a, const char* b) {
  Lock();
  int r = CountMove("link", a, b) ? -1 : Made(OP_LINK, a, b, REAL(link)(a, b));
  Unlock();
  return r;
}
int linkat(int da, const char* a, int db, const char* b, int flags) {
  Lock();
  int r = CountMove("link", a, b) ? -1 : Made(OP_LINK, a, b, REAL(linkat)(da, a, db, b, flags));
  Unlock();
  return r;
}
int symlink(const char* a, const char* b) {
  Lock();
  int r = CountPath("symlink", b) ? -1 : Made(OP_CREATE, b, NULL, REAL(symlink)(a, b));
  Unlock();
  return r;
}

static int Removed(const char* p, int dir, int (*removeFn)(const char*, void*), void* arg) {
  Lock();
  if (CountPath(dir ? "rmdir" : "unlink", p)) {
    Unlock();
    return -1;
  }
  int counted = g_power && Under(p);
  char* stash = counted && !dir ? Stash(p) : NULL;
  int r = removeFn(p, arg);
  if (r == 0 && counted) AddOp(dir ? OP_RMDIR : OP_UNLINK, p, NULL, stash);
  else free(stash);
  Unlock();
  return r;
}
static int RealUnlink(const char* p, void* arg) { return (void)arg, REAL(unlink)(p); }
static int RealRmdir(const char* p, void* arg) { return (void)arg, REAL(rmdir)(p); }
static int RealUnlinkat(const char* p, void* arg) {
  int* a = arg;
  return REAL(unlinkat)(a[0], p, a[1]);
}

int unlink(const char* p) { return Removed(p, 0, RealUnlink, NULL); }
int unlinkat(int d, const char* p, int flags) {
  int args[2] = {d, flags};
  return Removed(p, (flags & AT_REMOVEDIR) != 0, RealUnlinkat, args);
}
int rmdir(const char* p) { return Removed(p, 1, RealRmdir, NULL); }
int mkdir(const char* p, mode_t m) {
  Lock();
  int r = CountPath("mkdir", p) ? -1 : Made(OP_MKDIR, p, NULL, REAL(mkdir)(p, m));
  Unlock();
  return r;
}
int mkdirat(int d, const char* p, mode_t m) {
  Lock();
  int r = CountPath("mkdir", p) ? -1 : Made(OP_MKDIR, p, NULL, REAL(mkdirat)(d, p, m));
  Unlock();
  return r;
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
  static long (*real)(long, ...);
  if (!real) real = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
  if (n == SYS_renameat2) {
    const char* from = (const char*)a[1];
    const char* to = (const char*)a[3];
    MOVE("rename", from, to, a[4] & RENAME_NOREPLACE, real(n, a[0], a[1], a[2], a[3], a[4], a[5]));
  }
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

/* A lazy file system says what it is. */
#define FUSE_MAGIC 0x65735546
int statfs(const char* path, struct statfs* v) {
  int rc = REAL(statfs)(path, v);
  if (rc == 0 && g_lazy && Under(path)) v->f_type = FUSE_MAGIC;
  return rc;
}
int fstatfs(int fd, struct statfs* v) {
  int rc = REAL(fstatfs)(fd, v);
  if (rc == 0 && g_lazy && UnderFd(fd)) v->f_type = FUSE_MAGIC;
  return rc;
}
