#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "base/path_text.h"
#include "platform/shared_linux.h"

namespace plat {
namespace {

thread_local int t_lastErrno = 0;

std::string N(const WString& p) { return NativePathUnchecked(p); }

WString BaseName(const WString& p) {
  size_t pos = p.find_last_of(u"/\\");
  return pos == WString::npos ? p : p.substr(pos + 1);
}

bool CopyData(int in, int out) {
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    for (ssize_t off = 0; off < n;) {
      ssize_t w = write(out, buf.data() + off, n - off);
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      off += w;
    }
  }
}

}  // namespace

bool FailErrno() {
  t_lastErrno = errno;
  return false;
}

int LastErrno() { return t_lastErrno; }

uint32_t GetAttributes(const WString& path) {
  struct stat st;
  if (lstat(N(path).c_str(), &st) != 0) {
    FailErrno();
    return kAttrInvalid;
  }
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
  if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
  WString base = BaseName(path);
  if (!base.empty() && base[0] == u'.' && base != u"." && base != u"..") a |= kAttrHidden;
  if (a == 0) a = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  return a;
}

bool SetAttributes(const WString& path, uint32_t attrs) {
  struct stat st;
  std::string n = N(path);
  if (stat(n.c_str(), &st) != 0) return FailErrno();
  mode_t m = st.st_mode & 07777;
  if (attrs & kAttrReadOnly) m &= ~(S_IWUSR | S_IWGRP | S_IWOTH);
  else m |= S_IWUSR;
  if (chmod(n.c_str(), m) != 0) return FailErrno();
  return true;
}

bool PathExists(const WString& path) {
  struct stat st;
  return lstat(N(path).c_str(), &st) == 0;
}

bool IsDirectory(const WString& path) {
  struct stat st;
  return stat(N(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const WString& path) {
  struct stat st;
  return stat(N(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool MoveNoReplace(const WString& from, const WString& to) {
  std::string f = N(from), t = N(to);
#ifdef SYS_renameat2
  if (syscall(SYS_renameat2, AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) return true;
  // Only a file system without the call (or without the flag) takes the
  // fallbacks below; any other error, an I/O error above all, is the answer.
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EXDEV) return FailErrno();
#endif
  if (errno != EXDEV) {
    // File system without renameat2: a hard link refuses an existing target.
    struct stat st;
    if (lstat(f.c_str(), &st) != 0) return FailErrno();
    if (!S_ISDIR(st.st_mode)) {
      if (link(f.c_str(), t.c_str()) == 0) {
        if (unlink(f.c_str()) == 0) return true;
        int e = errno;
        unlink(t.c_str());
        errno = e;
        return FailErrno();
      }
      if (errno != EXDEV) return FailErrno();
    } else {
      return FailErrno();
    }
  }
  // Across file systems: copy, make it durable, then drop the source.
  if (PathExists(to)) {
    errno = EEXIST;
    return FailErrno();
  }
  if (!CopyFileKeep(from, to, true)) return false;
  if (!FlushFile(to)) return false;
  if (unlink(f.c_str()) != 0) return FailErrno();
  return true;
}

bool CopyFileKeep(const WString& from, const WString& to, bool failIfExists) {
  std::string f = N(from), t = N(to);
  int in = open(f.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return FailErrno();
  struct stat st;
  if (fstat(in, &st) != 0) {
    FailErrno();
    close(in);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    FailErrno();
    close(in);
    return false;
  }
  // Not truncated on open: the target may turn out to be the source itself.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
  int out = open(t.c_str(), flags, (st.st_mode & 0777) | S_IWUSR);
  if (out < 0) {
    FailErrno();
    close(in);
    return false;
  }
  struct stat ost;
  bool ok = fstat(out, &ost) == 0;
  if (ok && ost.st_dev == st.st_dev && ost.st_ino == st.st_ino) {
    errno = EBUSY;  // copying a file onto itself would empty it
    ok = false;
  } else if (ok && !failIfExists && !(ost.st_mode & S_IWUSR)) {
    errno = EACCES;  // a read-only target is refused, as on Windows (even for root)
    ok = false;
  }
  if (ok && ftruncate(out, 0) != 0) ok = false;
  if (ok && !CopyData(in, out)) ok = false;
  if (!ok) {
    FailErrno();
    close(out);
    close(in);
    return false;
  }
  fchmod(out, st.st_mode & 07777);
  struct timespec ts[2] = {st.st_atim, st.st_mtim};
  futimens(out, ts);
  if (close(out) != 0) ok = FailErrno();
  close(in);
  return ok;
}

bool DeleteFile(const WString& path) {
  std::string n = N(path);
  struct stat st;
  if (lstat(n.c_str(), &st) != 0) return FailErrno();
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return FailErrno();
  }
  // Windows refuses to delete a read-only file.
  if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    errno = EACCES;
    return FailErrno();
  }
  if (unlink(n.c_str()) != 0) return FailErrno();
  return true;
}

bool RemoveDirectory(const WString& path) {
  if (rmdir(N(path).c_str()) != 0) return FailErrno();
  return true;
}

bool CreateDirectory(const WString& path) {
  if (mkdir(N(path).c_str(), 0755) != 0) return FailErrno();
  return true;
}

namespace {

// Most calls name a directory that exists (every entry of an archive asks
// for its folder): one stat answers them. A missing one is made from the
// deepest folder that exists down; mkdir on an existing folder would take
// its parent's lock exclusively, which threads unpacking side by side
// then wait for.
bool MakeTree(const std::string& p) {
  if (mkdir(p.c_str(), 0755) == 0) return true;
  if (errno == ENOENT) {
    const size_t slash = p.rfind('/');
    const size_t end = slash == std::string::npos ? slash : p.find_last_not_of('/', slash);
    if (end == std::string::npos) return FailErrno();
    if (!MakeTree(p.substr(0, end + 1))) return false;
    if (mkdir(p.c_str(), 0755) == 0) return true;
  }
  if (errno != EEXIST) return FailErrno();
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool MakeDirs(const WString& path) {
  if (path.empty()) return false;
  std::string n = N(path);
  for (auto& c : n)
    if (c == '\\') c = '/';
  while (n.size() > 1 && n.back() == '/') n.pop_back();
  struct stat st;
  if (stat(n.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  return MakeTree(n);
}

bool FlushFile(const WString& path) {
  int fd = open(N(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FailErrno();
  bool ok = fsync(fd) == 0;
  if (!ok) FailErrno();
  close(fd);
  return ok;
}

bool FlushVolume(const WString& path) {
  int fd = open(N(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FailErrno();
  bool ok = syncfs(fd) == 0;
  if (!ok) FailErrno();
  close(fd);
  return ok;
}

bool VolumeFlushReaches(const WString& path) {
  constexpr long kFuseMagic = 0x65735546;
  struct statfs v;
  if (statfs(N(path).c_str(), &v) != 0) return false;
  return (long)v.f_type != kFuseMagic;
}

void StartWriteBack(const WString& path) {
  int fd = open(N(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  close(fd);
}

int64_t FreeBytes(const WString& path) {
  struct statvfs v;
  if (statvfs(N(path).c_str(), &v) != 0) {
    FailErrno();
    return -1;
  }
  unsigned long long bytes = (unsigned long long)v.f_bavail * (v.f_frsize ? v.f_frsize : v.f_bsize);
  return bytes > (unsigned long long)INT64_MAX ? INT64_MAX : (int64_t)bytes;
}

bool GetModifyTime(const WString& path, FileTime& t) {
  struct stat st;
  if (stat(N(path).c_str(), &st) != 0) return FailErrno();
  t.sec = st.st_mtim.tv_sec;
  t.nsec = st.st_mtim.tv_nsec;
  return true;
}

bool SetTimes(const WString& path, const FileTime& access, const FileTime& modify) {
  struct timespec ts[2];
  ts[0].tv_sec = access.sec;
  ts[0].tv_nsec = access.nsec;
  ts[1].tv_sec = modify.sec;
  ts[1].tv_nsec = modify.nsec;
  if (utimensat(AT_FDCWD, N(path).c_str(), ts, 0) != 0) return FailErrno();
  return true;
}

bool ListDirectory(const WString& dir, const std::function<void(const WString&, bool)>& fn) {
  std::string n = N(dir);
  DIR* d = opendir(n.c_str());
  if (!d) return FailErrno();
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool isDir;
    if (e->d_type == DT_DIR) isDir = true;
    else if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      isDir = lstat((n + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    } else isDir = false;
    fn(WidePath(name), isDir);
  }
  closedir(d);
  return true;
}

WString CurrentDirectory() {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return WString();
  return WidePath(buf);
}

int FileCreationMask() {
  FILE* f = fopen("/proc/self/status", "r");
  unsigned m = 022;
  if (f) {
    char line[256];
    while (fgets(line, sizeof line, f))
      if (sscanf(line, "Umask: %o", &m) == 1) break;
    fclose(f);
  }
  return (int)(m & 0777);
}

int GetFileMode(const WString& path) {
  struct stat st;
  if (stat(N(path).c_str(), &st) != 0) {
    FailErrno();
    return -1;
  }
  return (int)(st.st_mode & 07777);
}

bool SetFileMode(const WString& path, int mode) {
  if (chmod(N(path).c_str(), (mode_t)(mode & 07777)) != 0) return FailErrno();
  return true;
}

namespace {

std::once_flag g_selfOnce;
WString g_selfPath;

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// argv[0] as an absolute path: relative to the start directory when it
// holds a separator, else the first match on PATH, as the shell found it.
std::string AbsoluteArgv0(const char* argv0) {
  std::string a = argv0 ? argv0 : "";
  if (a.empty()) return a;
  if (a.find('/') != std::string::npos) {
    if (a[0] == '/') return a;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + a : std::string();
  }
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir[0] != '/') continue;
    std::string candidate = dir + "/" + a;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

}  // namespace

void FixSelfExePath(const char* argv0) {
  std::call_once(g_selfOnce, [argv0] {
    const std::string started = AbsoluteArgv0(argv0);
    if (!started.empty() && SameFile(started, "/proc/self/exe")) {
      g_selfPath = FoldPath(WidePath(started));
      return;
    }
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) g_selfPath = WidePath(std::string(buf, (size_t)n));
  });
}

WString SelfExePath() {
  FixSelfExePath(nullptr);
  return g_selfPath;
}

}  // namespace plat
