// One open file: reads at an offset, writes, flushing to the disk,
// truncation and size. Closed when the object goes; moves, never copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "base/text.h"

namespace plat {

class File {
 public:
  enum Mode {
    kRead,       // an existing file, for reading
    kReadWrite,  // an existing file, for reading and writing
    kCreate,     // created, or emptied when it exists; for writing
    kCreateNew,  // created; fails when anything is at the path, even a dangling link
    kAppend,     // created when missing; for reading, and every write goes to the end
  };

  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept { *this = std::move(other); }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      m_handle = other.m_handle;
      m_pos = other.m_pos;
      m_append = other.m_append;
      m_pending = std::move(other.m_pending);
      m_bufferSize = other.m_bufferSize;
      other.m_handle = kNone;
      other.m_pending.clear();
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opening never waits (a pipe without a writer fails instead). False when
  // the file cannot be opened; LastErrno (files.h) says why.
  bool Open(const WString& path, Mode mode);
  bool IsOpen() const { return m_handle != kNone; }

  // Up to n bytes at offset, fewer only at the end of the file; -1 on an
  // error (a directory, an I/O error). The write position stays.
  int64_t ReadAt(int64_t offset, void* buf, size_t n);
  // All n bytes at the write position, which moves past them.
  bool Write(const void* buf, size_t n);
  // Writes that fit in bytes gather in memory, as in a C stream, and go out
  // with a later write that does not fit, or with Seek, Truncate, Flush or
  // Close, whose result then says whether they went out. Unbuffered (0) by
  // default.
  void BufferWrites(size_t bytes) { m_bufferSize = bytes; }
  bool Seek(int64_t offset);
  // The file's data on the disk (fsync, FlushFileBuffers).
  bool Flush();
  // Cuts or extends the file to size bytes; the write position stays.
  bool Truncate(int64_t size);
  // Bytes in the file, without buffered writes; -1 when it is not a
  // regular file.
  int64_t Size() const;
  // Permission bits (07777) on Linux; Windows keeps none.
  bool SetMode(int mode);
  // A hint that the file is read once from start to end.
  void AdviseSequential();
  // Sends buffered writes out and starts writing bytes [offset, offset +
  // length) to the disk without waiting (0 = to the end), so that a later
  // flush finds less to do; false when the buffered writes fail. Windows
  // has no such call: there it only sends the buffer out.
  bool StartWriteBack(int64_t offset, int64_t length);
  // False when buffered writes fail, or closing reports that earlier
  // writes failed after all.
  bool Close();

 private:
  bool WriteOut(const void* buf, size_t n);
  bool Drain();

  static constexpr intptr_t kNone = -1;
  intptr_t m_handle = kNone;  // a descriptor, or a HANDLE on Windows
  int64_t m_pos = 0;          // the write position where the system keeps none for us
  bool m_append = false;
  std::string m_pending;
  size_t m_bufferSize = 0;
};

}  // namespace plat
