#include <windows.h>

#include <algorithm>

#include "platform/file.h"
#include "platform/winpath_win.h"

namespace plat {
namespace {

HANDLE H(intptr_t h) { return (HANDLE)h; }

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED o = {};
  o.Offset = (DWORD)offset;
  o.OffsetHigh = (DWORD)(offset >> 32);
  return o;
}

// One call moves at most this much, whatever n is.
constexpr size_t kMaxCall = 1u << 30;

}  // namespace

bool File::Open(const WString& path, Mode mode) {
  Close();
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  switch (mode) {
    case kRead: break;
    case kReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
    // OPEN_ALWAYS and a cut, not CREATE_ALWAYS, which also replaces the
    // attributes of an existing file.
    case kCreate: access = GENERIC_WRITE; disposition = OPEN_ALWAYS; break;
    case kCreateNew: access = GENERIC_WRITE; disposition = CREATE_NEW; break;
    case kAppend: access = GENERIC_READ | FILE_APPEND_DATA; disposition = OPEN_ALWAYS; break;
  }
  HANDLE h = CreateFileW(WinPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FailWin();
  m_handle = (intptr_t)h;
  m_pos = 0;
  m_append = mode == kAppend;
  if (mode == kCreate && !Truncate(0)) {
    Close();
    return false;
  }
  return true;
}

int64_t File::ReadAt(int64_t offset, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    OVERLAPPED o = At((uint64_t)offset + got);
    DWORD r = 0;
    if (!ReadFile(H(m_handle), (char*)buf + got, (DWORD)std::min(n - got, kMaxCall), &r, &o)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return FailWin(), -1;
    }
    if (r == 0) break;
    got += r;
  }
  return (int64_t)got;
}

// Every write names its offset, so that reads at an offset, which move the
// system's own position, leave this one alone.
bool File::WriteOut(const void* buf, size_t n) {
  const char* p = (const char*)buf;
  while (n > 0) {
    OVERLAPPED o = At(m_append ? UINT64_MAX : (uint64_t)m_pos);
    DWORD w = 0;
    if (!WriteFile(H(m_handle), p, (DWORD)std::min(n, kMaxCall), &w, &o)) return FailWin();
    if (w == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return FailWin();
    }
    p += w;
    n -= w;
    m_pos += w;
  }
  return true;
}

bool File::Seek(int64_t offset) {
  if (!Drain()) return false;
  m_pos = offset;
  return true;
}

bool File::Flush() { return Drain() && (FlushFileBuffers(H(m_handle)) || FailWin()); }

bool File::StartWriteBack(int64_t, int64_t) { return Drain(); }

bool File::Truncate(int64_t size) {
  if (!Drain()) return false;
  LARGE_INTEGER at;
  at.QuadPart = size;
  return (SetFilePointerEx(H(m_handle), at, nullptr, FILE_BEGIN) && SetEndOfFile(H(m_handle))) || FailWin();
}

int64_t File::Size() const {
  LARGE_INTEGER size;
  if (GetFileType(H(m_handle)) != FILE_TYPE_DISK) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FailWin(), -1;
  }
  if (!GetFileSizeEx(H(m_handle), &size)) return FailWin(), -1;
  return (int64_t)size.QuadPart;
}

// Read-only stands for a clear owner-write bit, as for SetFileMode.
bool File::SetMode(int mode) {
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(H(m_handle), FileBasicInfo, &info, sizeof info)) return FailWin();
  DWORD attrs = info.FileAttributes & ~(DWORD)FILE_ATTRIBUTE_READONLY;
  if (!(mode & 0200)) attrs |= FILE_ATTRIBUTE_READONLY;
  if (attrs == info.FileAttributes) return true;
  info.FileAttributes = attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(H(m_handle), FileBasicInfo, &info, sizeof info) || FailWin();
}

// The system's read-ahead finds sequential reads by itself.
void File::AdviseSequential() {}

bool File::Close() {
  if (m_handle == kNone) return true;
  const bool drained = Drain();
  HANDLE h = H(m_handle);
  m_handle = kNone;
  return (CloseHandle(h) || FailWin()) && drained;
}

}  // namespace plat
