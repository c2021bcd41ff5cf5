#include "support/log.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "platform/file.h"
#include "support/path.h"

namespace {
CLog* g_log = nullptr;

WString RotationName(const WString& path) {
  size_t dot = path.find_last_of(u'.');
  if (dot == WString::npos) return path + u"_0";
  return path.substr(0, dot) + u"_0" + path.substr(dot);
}

// A half surrogate pair has no UTF-8 form and would make the whole line
// vanish; it is written as U+FFFD, as the Windows conversion does.
WString Sanitised(const WString& s) {
  WString r = s;
  for (size_t i = 0; i < r.size(); ++i) {
    char16_t c = r[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < r.size() && r[i + 1] >= 0xDC00 && r[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      r[i] = 0xFFFD;
    }
  }
  return r;
}
}  // namespace

CLog* CLog::Instance() {
  if (!g_log) g_log = new CLog();
  return g_log;
}

void CLog::Release() {
  delete g_log;
  g_log = nullptr;
}

void CLog::SetPath(const WString& path) {
  std::lock_guard<std::mutex> lock(m_lock);
  WString dir = GetParentDir(path);
  if (!dir.empty()) MakeDirectoryTree(dir);
  m_strPath = path;
}

bool CLog::Write(int level, const char* op, const WString& message) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_strPath.empty()) return false;
  const char* levelText = level == LOG_WARN ? "WARN" : level == LOG_ERROR ? "ERROR" : "INFO";

  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  time_t sec = tv.tv_sec;  // a long in the Windows timeval
  localtime_r(&sec, &tmv);
  char timeText[64];
  snprintf(timeText, sizeof timeText, "%04d-%02d-%02d %02d:%02d:%02d,%03d", tmv.tm_year + 1900, tmv.tm_mon + 1,
           tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, (int)(tv.tv_usec / 1000));

  std::string native;
  if (!NativePath(m_strPath, native)) return false;
  plat::File f;
  if (!f.Open(m_strPath, plat::File::kAppend)) return false;

  WString line = W(timeText) + u" [" + W(levelText) + u"] [" + WideFromAnsi(op ? op : "") + u"] " + message + u"\r\n";
  std::string bytes = Utf8FromWide(Sanitised(line));
  bool ok = f.Write(bytes.data(), bytes.size());
  const int64_t length = f.Size();
  if (!f.Close()) ok = false;
  if (!ok) return false;

  if (length >= kRotateSize) {
    WString rotated = RotationName(m_strPath);
    std::string r = NativePathUnchecked(rotated);
    remove(r.c_str());
    rename(native.c_str(), r.c_str());
  }
  return true;
}
