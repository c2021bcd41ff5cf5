#include <windows.h>

#include <cstdint>

#include "platform/spawn.h"
#include "platform/winpath_win.h"

namespace plat {
namespace {

// One argument as the program's start-up code splits it again (the rules
// of SplitCommandLine): quoted when it holds a blank or a quote or is
// empty, backslashes doubled only before a quote.
std::wstring Quoted(const std::wstring& a) {
  if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
  std::wstring q = L"\"";
  size_t slashes = 0;
  for (wchar_t c : a) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    q.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    q.push_back(c);
  }
  q.append(slashes * 2, L'\\');
  return q + L"\"";
}

std::wstring WideOf(const std::string& utf8) {
  WString w = WideFromUtf8(utf8);
  return std::wstring(w.begin(), w.end());
}

// This process's environment block without the named variables (names
// compare without case, as Windows does).
std::wstring EnvironmentWithout(const std::vector<std::string>& dropEnv) {
  std::wstring block;
  wchar_t* env = GetEnvironmentStringsW();
  for (const wchar_t* e = env; e && *e; e += wcslen(e) + 1) {
    std::wstring entry = e;
    bool drop = false;
    for (const auto& name : dropEnv) {
      std::wstring n = WideOf(name);
      drop |= entry.size() > n.size() && entry[n.size()] == L'=' &&
              _wcsnicmp(entry.c_str(), n.c_str(), n.size()) == 0;
    }
    if (!drop) block += entry + L'\0';
  }
  if (env) FreeEnvironmentStringsW(env);
  return block + L'\0';
}

HANDLE HandleOf(intptr_t v) { return (HANDLE)v; }

}  // namespace

int RunAndWait(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& dropEnv, std::string* errText) {
  std::wstring line = Quoted(WinPath(WideFromUtf8(program)));
  for (const auto& a : args) line += L" " + Quoted(WideOf(a));
  std::wstring env = EnvironmentWithout(dropEnv);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  // The child's diagnostics go to a file that vanishes with its last handle,
  // so that a failure can quote them.
  HANDLE nul = INVALID_HANDLE_VALUE, err = INVALID_HANDLE_VALUE;
  if (errText) {
    errText->clear();
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    wchar_t dir[MAX_PATH + 1], path[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, dir) && GetTempFileNameW(dir, L"qup", 0, path))
      err = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = err != INVALID_HANDLE_VALUE ? err : GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, errText ? TRUE : FALSE,
                                      CREATE_UNICODE_ENVIRONMENT, &env[0], nullptr, &si, &pi);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    if (errText) *errText = "cannot run " + program + ": error " + std::to_string(GetLastError());
    return -1;
  }
  CloseHandle(pi.hThread);
  DWORD code = (DWORD)-1;
  if (WaitForSingleObject(pi.hProcess, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi.hProcess, &code))
    code = (DWORD)-1;
  CloseHandle(pi.hProcess);
  if (err != INVALID_HANDLE_VALUE) {
    char buf[4096];
    DWORD n = 0;
    if (SetFilePointer(err, 0, nullptr, FILE_BEGIN) == 0 && ReadFile(err, buf, sizeof buf, &n, nullptr) && n > 0)
      errText->assign(buf, n);
    while (!errText->empty() && (errText->back() == '\n' || errText->back() == '\r')) errText->pop_back();
    CloseHandle(err);
  }
  return (int)code;
}

PipedProcess::~PipedProcess() { Close(); }

// m_fdRead holds the pipe's read handle and m_pid the process handle.
// Handles keep to 32 significant bits, which every pid_t holds.
bool PipedProcess::Start(const WString& commandLine) {
  Close();
  std::wstring line(commandLine.begin(), commandLine.end());
  if (line.empty()) return false;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd, wr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) return false;
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = wr;
  si.hStdError = wr;
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
  // This process's write end goes at once, so the read ends with the child.
  CloseHandle(wr);
  if (!ok) {
    CloseHandle(rd);
    return false;
  }
  CloseHandle(pi.hThread);
  m_fdRead = (int)(intptr_t)rd;
  m_pid = (pid_t)(intptr_t)pi.hProcess;
  return true;
}

long PipedProcess::Read(char* buf, size_t size) {
  if (m_fdRead < 0) return -1;
  DWORD got = 0;
  if (!ReadFile(HandleOf(m_fdRead), buf, (DWORD)size, &got, nullptr))
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  return (long)got;
}

void PipedProcess::Close() {
  if (m_fdRead >= 0) {
    CloseHandle(HandleOf(m_fdRead));
    m_fdRead = -1;
  }
  if (m_pid > 0) {
    WaitForSingleObject(HandleOf((intptr_t)m_pid), INFINITE);
    CloseHandle(HandleOf((intptr_t)m_pid));
    m_pid = -1;
  }
}

}  // namespace plat
