#include "platform/mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace plat {
namespace {

// Lock file name for a mutex name: path separators cannot appear, and a
// name too long for the file system is shortened with a stable hash so
// that every build of the updater agrees on it.
std::string LockFileName(const WString& name) {
  std::string n = Utf8FromWide(name);
  if (n.empty() && !name.empty()) n = EscapedFromWide(name);
  for (char& c : n)
    if (c == '/' || c == '\0') c = '.';
  if (n.size() > 200) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : n) h = (h ^ c) * 1099511628211ull;
    char tail[24];
    snprintf(tail, sizeof tail, "~%016llx", (unsigned long long)h);
    // Cut on a character boundary of the UTF-8 text.
    size_t cut = 180;
    while (cut > 0 && ((unsigned char)n[cut] & 0xC0) == 0x80) --cut;
    n = n.substr(0, cut) + tail;
  }
  return n + ".lock";
}

// Made when missing; usable when it is a directory of this user that
// nobody else may write to and that takes new files.
bool PrivateDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 022))
    return false;
  return access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

WString RuntimeDirectory() {
  // A runtime directory that is named but unusable (gone, read-only,
  // someone else's) must not make every start look like a duplicate.
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg) {
    std::string dir = std::string(xdg) + "/quillup";
    if (PrivateDirectory(dir)) return WidePath(dir);
  }
  std::string dir = "/tmp/quillup-" + std::to_string((unsigned long)getuid());
  return PrivateDirectory(dir) ? WidePath(dir) : WString();
}

NamedMutex::Result NamedMutex::Create(const WString& name) {
  Close();
  WString dir = RuntimeDirectory();
  if (dir.empty() || name.empty()) return kFailed;
  std::string path = NativePathUnchecked(dir) + "/" + LockFileName(name);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return kFailed;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int e = errno;
    close(fd);
    return e == EWOULDBLOCK ? kAlreadyExists : kFailed;
  }
  m_fd = fd;
  return kCreated;
}

void NamedMutex::Close() {
  if (m_fd < 0) return;
  // The lock file stays: removing it would race with a process opening it.
  close(m_fd);
  m_fd = -1;
}

}  // namespace plat
