#include <windows.h>
// The layer's own names, not the system's A/W macros.
#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory

#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/files.h"
#include "platform/winpath_win.h"

namespace plat {
namespace {

thread_local int t_lastErrno = 0;

int ErrnoOf(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_ALREADY_EXISTS: case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_ACCESS_DENIED: case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_DIRECTORY: return ENOTDIR;
    default: return EIO;
  }
}

// 100-ns units between 1601 and 1970.
constexpr int64_t kEpochDiff = 116444736000000000LL;

FileTime FromFiletime(const FILETIME& ft) {
  int64_t t = (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) - kEpochDiff;
  int64_t sec = t / 10000000, rest = t % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --sec;
  }
  return FileTime{sec, rest * 100};
}

FILETIME ToFiletime(const FileTime& t) {
  uint64_t v = (uint64_t)(t.sec * 10000000 + t.nsec / 100 + kEpochDiff);
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)v;
  ft.dwHighDateTime = (DWORD)(v >> 32);
  return ft;
}

bool Attributes(const WString& path, WIN32_FILE_ATTRIBUTE_DATA& d) {
  return GetFileAttributesExW(WinPath(path).c_str(), GetFileExInfoStandard, &d) || FailWin();
}

// A handle for FlushFileBuffers, which needs write access.
HANDLE OpenForFlush(const std::wstring& p, DWORD attrs) {
  DWORD flags = (attrs & FILE_ATTRIBUTE_DIRECTORY) ? FILE_FLAG_BACKUP_SEMANTICS : 0;
  return CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

}  // namespace

std::wstring WinPath(const WString& path) {
  std::wstring w(path.begin(), path.end());
  for (auto& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

WString FromWin(const std::wstring& s) { return WString(s.begin(), s.end()); }

bool FailWin() {
  t_lastErrno = ErrnoOf(GetLastError());
  return false;
}

int LastErrno() { return t_lastErrno; }

uint32_t GetAttributes(const WString& path) {
  DWORD a = GetFileAttributesW(WinPath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) FailWin();
  return a;
}

bool SetAttributes(const WString& path, uint32_t attrs) {
  std::wstring p = WinPath(path);
  DWORD a = GetFileAttributesW(p.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return FailWin();
  a = (a & ~(DWORD)FILE_ATTRIBUTE_READONLY) | (attrs & FILE_ATTRIBUTE_READONLY);
  return SetFileAttributesW(p.c_str(), a) || FailWin();
}

bool PathExists(const WString& path) { return GetFileAttributesW(WinPath(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const WString& path) {
  DWORD a = GetFileAttributesW(WinPath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsRegularFile(const WString& path) {
  DWORD a = GetFileAttributesW(WinPath(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// Without MOVEFILE_REPLACE_EXISTING an existing target is never replaced;
// write-through returns only once the move (or the copy and delete across
// volumes) is on disk.
bool MoveNoReplace(const WString& from, const WString& to) {
  return MoveFileExW(WinPath(from).c_str(), WinPath(to).c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) ||
         FailWin();
}

bool CopyFileKeep(const WString& from, const WString& to, bool failIfExists) {
  // Windows refuses to overwrite a read-only file; wine copies over it.
  DWORD a = GetFileAttributesW(WinPath(to).c_str());
  if (!failIfExists && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FailWin();
  }
  return CopyFileW(WinPath(from).c_str(), WinPath(to).c_str(), failIfExists) || FailWin();
}

bool DeleteFile(const WString& path) { return DeleteFileW(WinPath(path).c_str()) || FailWin(); }

bool RemoveDirectory(const WString& path) { return RemoveDirectoryW(WinPath(path).c_str()) || FailWin(); }

bool CreateDirectory(const WString& path) { return CreateDirectoryW(WinPath(path).c_str(), nullptr) || FailWin(); }

bool MakeDirs(const WString& path) {
  if (path.empty()) return false;
  // Most calls name a folder that exists (every entry of an archive asks
  // for its folder): one query answers them.
  if (IsDirectory(path)) return true;
  std::wstring p = WinPath(path);
  // Every prefix that ends before a separator, then the whole path; a
  // prefix that exists, or is a drive or share root, fails harmlessly.
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != L'\\') continue;
    if (p[i - 1] == L'\\' || p[i - 1] == L':') continue;
    std::wstring cur = p.substr(0, i);
    if (!CreateDirectoryW(cur.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
        GetLastError() != ERROR_ACCESS_DENIED && i == p.size())
      return FailWin();
  }
  return IsDirectory(path) || FailWin();
}

// A folder's entries need no flush of their own: moves are written through.
// A read-only file is made writable for the moment of its flush, since
// FlushFileBuffers needs a handle with write access.
bool FlushFile(const WString& path) {
  std::wstring p = WinPath(path);
  DWORD a = GetFileAttributesW(p.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return FailWin();
  if (a & FILE_ATTRIBUTE_DIRECTORY) return true;
  bool madeWritable = false;
  HANDLE h = OpenForFlush(p, a);
  if (h == INVALID_HANDLE_VALUE && (a & FILE_ATTRIBUTE_READONLY) &&
      SetFileAttributesW(p.c_str(), a & ~(DWORD)FILE_ATTRIBUTE_READONLY)) {
    madeWritable = true;
    h = OpenForFlush(p, a);
  }
  bool ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
  if (!ok) FailWin();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (madeWritable) SetFileAttributesW(p.c_str(), a);
  return ok;
}

// Flushing a whole volume (a handle on \\.\C:) needs administrator rights.
// Without them (or where the system cannot) the named file itself is
// flushed; the callers have flushed
// every file they wrote and moved them with write-through, so what the
// volume flush adds is only other programs' data.
bool FlushVolume(const WString& path) {
  std::wstring p = WinPath(path);
  wchar_t root[MAX_PATH];
  if (GetVolumePathNameW(p.c_str(), root, MAX_PATH)) {
    std::wstring dev = L"\\\\.\\" + std::wstring(root);
    if (!dev.empty() && dev.back() == L'\\') dev.pop_back();
    HANDLE h = CreateFileW(dev.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      bool ok = FlushFileBuffers(h);
      CloseHandle(h);
      if (ok) return true;
    }
  }
  return FlushFile(path);
}

// Without administrator rights the volume flush above is a flush of one
// file, so callers must flush each file they depend on.
bool VolumeFlushReaches(const WString&) { return false; }

// The system's lazy writer starts on dirty pages within about a second.
void StartWriteBack(const WString&) {}

int64_t FreeBytes(const WString& path) {
  ULARGE_INTEGER avail;
  std::wstring p = WinPath(path);
  if (!IsDirectory(path)) {
    size_t slash = p.find_last_of(L'\\');
    if (slash != std::wstring::npos) p = p.substr(0, slash + 1);
  }
  if (!GetDiskFreeSpaceExW(p.c_str(), &avail, nullptr, nullptr)) {
    FailWin();
    return -1;
  }
  return avail.QuadPart > (ULONGLONG)INT64_MAX ? INT64_MAX : (int64_t)avail.QuadPart;
}

bool GetModifyTime(const WString& path, FileTime& t) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!Attributes(path, d)) return false;
  t = FromFiletime(d.ftLastWriteTime);
  return true;
}

bool SetTimes(const WString& path, const FileTime& access, const FileTime& modify) {
  HANDLE h = CreateFileW(WinPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FailWin();
  FILETIME a = ToFiletime(access), m = ToFiletime(modify);
  bool ok = SetFileTime(h, nullptr, &a, &m) || FailWin();
  CloseHandle(h);
  return ok;
}

bool ListDirectory(const WString& dir, const std::function<void(const WString&, bool)>& fn) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((WinPath(dir) + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return FailWin();
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    bool isLink = (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    fn(FromWin(name), (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !isLink);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return true;
}

WString CurrentDirectory() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return WString();
  std::wstring buf(n, L'\0');
  n = GetCurrentDirectoryW(n, &buf[0]);
  if (n == 0 || n >= buf.size()) return WString();
  buf.resize(n);
  return FromWin(buf);
}

int FileCreationMask() { return 0; }

// Windows keeps no permission bits: read-only stands for a clear write bit.
int GetFileMode(const WString& path) {
  DWORD a = GetFileAttributesW(WinPath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    FailWin();
    return -1;
  }
  return (a & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
}

bool SetFileMode(const WString& path, int mode) {
  return SetAttributes(path, (mode & 0200) ? 0 : kAttrReadOnly);
}

namespace {
std::once_flag g_selfOnce;
WString g_selfPath;
}  // namespace

// The module file name is fixed when the process starts, so argv[0] adds
// nothing here.
void FixSelfExePath(const char*) {
  std::call_once(g_selfOnce, [] {
    std::wstring buf(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &buf[0], (DWORD)buf.size());
    if (n > 0 && n < buf.size()) g_selfPath = FromWin(buf.substr(0, n));
  });
}

WString SelfExePath() {
  FixSelfExePath(nullptr);
  return g_selfPath;
}

}  // namespace plat
