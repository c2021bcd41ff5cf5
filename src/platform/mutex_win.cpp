#include <windows.h>
#undef CreateDirectory

#include <cstdint>

#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/winpath_win.h"

namespace plat {
namespace {

// The mutex handle lives in m_fd: handles of 64-bit Windows keep to 32
// significant bits, so that 32- and 64-bit processes can share them.
HANDLE HandleOf(int fd) { return (HANDLE)(intptr_t)fd; }

}  // namespace

WString RuntimeDirectory() {
  wchar_t buf[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  if (n == 0 || n > MAX_PATH) return WString();
  WString dir = FromWin(std::wstring(buf, n)) + u"quillup";
  return MakeDirs(dir) ? dir : WString();
}

NamedMutex::Result NamedMutex::Create(const WString& name) {
  Close();
  if (name.empty()) return kFailed;
  std::wstring n(name.begin(), name.end());
  HANDLE h = CreateMutexW(nullptr, FALSE, n.c_str());
  if (!h) return kFailed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return kAlreadyExists;
  }
  m_fd = (int)(intptr_t)h;
  return kCreated;
}

void NamedMutex::Close() {
  if (m_fd < 0) return;
  CloseHandle(HandleOf(m_fd));
  m_fd = -1;
}

}  // namespace plat
