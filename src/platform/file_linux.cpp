#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/shared_linux.h"

namespace plat {

bool File::Open(const WString& path, Mode mode) {
  Close();
  // O_NONBLOCK changes nothing for a regular file; a FIFO fails at once
  // instead of waiting for its other end.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode) {
    case kRead: flags |= O_RDONLY; break;
    case kReadWrite: flags |= O_RDWR; break;
    case kCreate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case kAppend: flags |= O_RDWR | O_CREAT | O_APPEND; break;
  }
  int fd = open(NativePathUnchecked(path).c_str(), flags, 0666);
  if (fd < 0) return FailErrno();
  m_handle = fd;
  return true;
}

int64_t File::ReadAt(int64_t offset, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread((int)m_handle, (char*)buf + got, n - got, (off_t)(offset + (int64_t)got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return FailErrno(), -1;
    if (r == 0) break;
    got += (size_t)r;
  }
  return (int64_t)got;
}

bool File::WriteOut(const void* buf, size_t n) {
  const char* p = (const char*)buf;
  while (n > 0) {
    ssize_t w = write((int)m_handle, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return FailErrno();
    if (w == 0) {
      errno = EIO;
      return FailErrno();
    }
    p += w;
    n -= (size_t)w;
  }
  return true;
}

bool File::Seek(int64_t offset) {
  return Drain() && (lseek((int)m_handle, (off_t)offset, SEEK_SET) == (off_t)offset || FailErrno());
}

bool File::Flush() { return Drain() && (fsync((int)m_handle) == 0 || FailErrno()); }

bool File::StartWriteBack(int64_t offset, int64_t length) {
  if (!Drain()) return false;
  if (offset >= 0 && length >= 0) sync_file_range((int)m_handle, offset, length, SYNC_FILE_RANGE_WRITE);
  return true;
}

bool File::Truncate(int64_t size) { return Drain() && (ftruncate((int)m_handle, (off_t)size) == 0 || FailErrno()); }

int64_t File::Size() const {
  struct stat st;
  if (fstat((int)m_handle, &st) != 0) return FailErrno(), -1;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return FailErrno(), -1;
  }
  return (int64_t)st.st_size;
}

bool File::SetMode(int mode) { return fchmod((int)m_handle, (mode_t)(mode & 07777)) == 0 || FailErrno(); }

void File::AdviseSequential() { posix_fadvise((int)m_handle, 0, 0, POSIX_FADV_SEQUENTIAL); }

bool File::Close() {
  if (m_handle == kNone) return true;
  const bool drained = Drain();
  const int fd = (int)m_handle;
  m_handle = kNone;
  return (close(fd) == 0 || FailErrno()) && drained;
}

}  // namespace plat
