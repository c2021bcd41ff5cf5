#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"

namespace pack {
namespace {

// A plain-line log gets a progress line this often while a step runs.
constexpr std::chrono::seconds kPlainEvery{5};
constexpr std::chrono::milliseconds kRedrawEvery{200};

// Everything that writes to the terminal holds this lock.
std::mutex g_out;
bool g_lineShown = false;

bool StderrIsTerminal() {
  const char* term = getenv("TERM");
  return isatty(STDERR_FILENO) && !(term && strcmp(term, "dumb") == 0);
}

// Cut to the terminal's width so that the line never wraps (a wrapped
// line cannot be redrawn in place); counts characters, not UTF-8 bytes.
std::string FitToTerminal(const std::string& line) {
  winsize ws{};
  size_t width = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
  size_t chars = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (((unsigned char)line[i] & 0xC0) == 0x80) continue;
    if (++chars > width) return line.substr(0, i);
  }
  return line;
}

void ClearLocked() {
  if (!g_lineShown) return;
  fputs("\r\033[K", stderr);
  g_lineShown = false;
}

std::string OfTotal(long long done, long long total, bool bytes) {
  if (bytes) return total > 0 ? ByteCount(done) + "/" + ByteCount(total) : ByteCount(done);
  return total > 0 ? std::to_string(done) + "/" + std::to_string(total) + " files" : std::to_string(done) + " files";
}

}  // namespace

std::string ByteCount(long long n) {
  char buf[32];
  if (n < 1024) {
    snprintf(buf, sizeof buf, "%lld B", n);
  } else if (n < 1024LL * 1024) {
    snprintf(buf, sizeof buf, "%.1f KiB", n / 1024.0);
  } else if (n < 1024LL * 1024 * 1024) {
    snprintf(buf, sizeof buf, "%.1f MiB", n / (1024.0 * 1024));
  } else {
    snprintf(buf, sizeof buf, "%.2f GiB", n / (1024.0 * 1024 * 1024));
  }
  return buf;
}

std::string Duration(double seconds) {
  char buf[32];
  if (seconds < 60) {
    snprintf(buf, sizeof buf, "%.1f s", seconds);
  } else {
    long long s = (long long)(seconds + 0.5);
    snprintf(buf, sizeof buf, "%lld min %02lld s", s / 60, s % 60);
  }
  return buf;
}

void ClearProgressLine() {
  std::lock_guard<std::mutex> lock(g_out);
  ClearLocked();
}

Progress::Progress(const std::string& step)
    : m_step(step),
      m_start(std::chrono::steady_clock::now()),
      m_lastLine(m_start),
      m_enabled(!IsQuiet()),
      m_terminal(StderrIsTerminal()) {
  if (m_enabled) m_ticker = std::thread([this] { Tick(); });
}

Progress::~Progress() {
  if (!m_done) Done(std::string());
}

void Progress::Phase(const std::string& name, long long files, long long bytes) {
  std::lock_guard<std::mutex> lock(g_out);
  m_phase = name;
  m_files = files;
  m_bytes = bytes;
  m_filesDone = m_bytesDone = 0;
  // A terminal shows each phase at once, however short.
  if (m_enabled && m_terminal) RedrawLocked();
}

void Progress::RedrawLocked() {
  fprintf(stderr, "\r%s\033[K", FitToTerminal(LineLocked()).c_str());
  fflush(stderr);
  g_lineShown = true;
}

void Progress::AddFile(long long bytes) {
  std::lock_guard<std::mutex> lock(g_out);
  ++m_filesDone;
  m_bytesDone += bytes;
}

void Progress::AddBytes(long long bytes) {
  std::lock_guard<std::mutex> lock(g_out);
  m_bytesDone += bytes;
}

// The numbers first: a narrow terminal cuts the line's end, the step's name.
std::string Progress::LineLocked() const {
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
  std::string line = "quillup-pack: ";
  if (!m_phase.empty()) line += m_phase + " ";
  if (m_files > 0 || m_filesDone > 0) line += OfTotal(m_filesDone, m_files, false) + ", ";
  if (m_bytes > 0 || m_bytesDone > 0) line += OfTotal(m_bytesDone, m_bytes, true) + ", ";
  if (m_bytes > 0) line += std::to_string((int)(m_bytesDone * 100 / m_bytes)) + " %, ";
  return line + Duration(secs) + "; " + m_step;
}

void Progress::Tick() {
  std::unique_lock<std::mutex> lock(g_out);
  while (!m_done) {
    m_wake.wait_for(lock, kRedrawEvery);
    if (m_done) break;
    auto now = std::chrono::steady_clock::now();
    if (m_terminal) {
      RedrawLocked();
    } else if (now - m_lastLine >= kPlainEvery) {
      fprintf(stderr, "%s\n", LineLocked().c_str());
      fflush(stderr);
      m_lastLine = now;
    }
  }
}

void Progress::Stop() {
  {
    std::lock_guard<std::mutex> lock(g_out);
    m_done = true;
  }
  m_wake.notify_all();
  if (m_ticker.joinable()) m_ticker.join();
}

void Progress::Done(const std::string& summary) {
  Stop();
  if (!m_enabled) return;
  std::lock_guard<std::mutex> lock(g_out);
  ClearLocked();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
  if (!summary.empty())
    fprintf(stderr, "quillup-pack: %s: %s, %s\n", m_step.c_str(), summary.c_str(), Duration(secs).c_str());
  fflush(stderr);
}

}  // namespace pack
