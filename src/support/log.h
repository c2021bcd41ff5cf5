// The process-wide log file: one line per call, UTF-8, CR LF, 2 MiB rotation.
#pragma once

#include <mutex>

#include "base/text.h"

enum { LOG_INFO = 0, LOG_WARN = 1, LOG_ERROR = 2 };

class CLog {
 public:
  static CLog* Instance();
  static void Release();

  void SetPath(const WString& path);
  // op is the operation name in Class::Method form (thread ANSI code page).
  bool Write(int level, const char* op, const WString& message);

  static constexpr long long kRotateSize = 2097152;

 private:
  CLog() = default;
  WString m_strPath;
  std::mutex m_lock;
};

// Shorthand used by every subsystem.
inline bool LogWrite(int level, const char* op, const WString& message) {
  return CLog::Instance()->Write(level, op, message);
}
