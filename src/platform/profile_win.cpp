// Profile strings through the system's own functions. What the system does
// differently from the Linux reader and writer: a file without a byte-order
// mark is read and written in the ANSI code page (not UTF-8, not 936 unless
// that is the ANSI code page); a file with FF FE stays UTF-16LE; the file is
// rewritten in place, not replaced, in the system's own layout; a name
// without a folder means a file in the Windows folder. A missing file is
// created as UTF-16LE with its mark, not UTF-8: the system would write it in
// the ANSI code page and lose every character that page lacks.
#include <windows.h>
// The layer's own names, not the system's A/W macros.
#undef GetProfileString
#undef WriteProfileString

#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/winpath_win.h"

namespace plat {
namespace {

std::wstring Wide(const WString& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

WString GetProfileString(const WString& section, const WString& key, const WString& def, const WString& file,
                         size_t bufferUnits) {
  if (section.empty() || key.empty() || file.empty() || bufferUnits == 0) return def;
  std::vector<wchar_t> buf(bufferUnits);
  DWORD n = GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(def).c_str(), buf.data(),
                                     (DWORD)bufferUnits, WinPath(file).c_str());
  WString v(buf.data(), buf.data() + n);
  // Never hand out half of a surrogate pair: it would not convert.
  if (n + 1 >= bufferUnits && !v.empty() && v.back() >= 0xD800 && v.back() <= 0xDBFF) v.pop_back();
  return v;
}

// The system writes without flushing; the flush after it makes the write
// durable before the caller goes on.
bool WriteProfileString(const WString& section, const WString& key, const WString& value, const WString& file) {
  if (file.empty() || !IsWritableProfileEntry(section, key, value)) return false;
  std::wstring path = WinPath(file);
  DWORD attrs = GetFileAttributesW(path.c_str());
  // The system would write over a read-only file.
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) return false;
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FailWin();
    const unsigned char mark[2] = {0xFF, 0xFE};
    DWORD put = 0;
    bool ok = WriteFile(h, mark, 2, &put, nullptr) && put == 2;
    CloseHandle(h);
    if (!ok) {
      DeleteFileW(path.c_str());
      return false;
    }
  }
  if (!WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(value).c_str(),
                                  path.c_str()))
    return FailWin();
  return FlushFile(file);
}

// Written beside under a name of its own, flushed, then moved over the file
// with write-through, so a cut leaves the old contents or the new ones.
bool ReplaceFileContents(const WString& file, const std::string& data) {
  const std::wstring path = WinPath(file);
  if (path.empty()) return false;
  const std::wstring temp = path + L".tmp" + std::to_wstring(GetCurrentProcessId());
  HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FailWin();
  DWORD written = 0;
  bool ok = data.size() <= MAXDWORD && WriteFile(h, data.data(), (DWORD)data.size(), &written, nullptr) &&
            written == data.size() && FlushFileBuffers(h);
  if (!ok) FailWin();
  CloseHandle(h);
  if (ok) {
    DWORD a = GetFileAttributesW(path.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) ok = false;
    else ok = MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) || FailWin();
  }
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

}  // namespace plat
