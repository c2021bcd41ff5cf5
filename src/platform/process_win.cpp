#include <windows.h>
#include <tlhelp32.h>
#undef TerminateProcess

#include "platform/process.h"
#include "platform/winpath_win.h"

namespace plat {

bool SnapshotProcesses(std::vector<ProcessEntry>& out) {
  out.clear();
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W e;
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e))
    out.push_back(ProcessEntry{e.th32ProcessID, e.th32ParentProcessID});
  CloseHandle(snap);
  return !out.empty();
}

WString ProcessImagePath(ProcessId pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return WString();
  wchar_t buf[MAX_PATH];
  DWORD n = MAX_PATH;
  WString path;
  if (QueryFullProcessImageNameW(h, 0, buf, &n)) path = FromWin(std::wstring(buf, n));
  CloseHandle(h);
  return path;
}

bool TerminateProcess(ProcessId pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  // A process that has ended cannot be signalled (wine would answer true).
  bool ok = WaitForSingleObject(h, 0) == WAIT_TIMEOUT && ::TerminateProcess(h, 1) != FALSE;
  CloseHandle(h);
  return ok;
}

bool IsProcessActive(ProcessId pid) {
  if (pid == 0) return false;
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  bool active = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return active;
}

ProcessId CurrentProcessId() { return GetCurrentProcessId(); }

// CreateProcessW finds the program itself, the blank-separated prefixes of
// an unquoted path included; no handle is inherited and nothing is waited
// for.
bool CreateDetachedProcess(const WString& cmdLine, ProcessId* pid) {
  std::wstring line(cmdLine.begin(), cmdLine.end());
  if (line.empty()) return false;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si,
                      &pi))
    return FailWin();
  if (pid) *pid = pi.dwProcessId;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

}  // namespace plat
