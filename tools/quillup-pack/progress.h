// Progress of long work (trees of thousands of files) on standard error.
// On a terminal one line is redrawn in place; otherwise a step prints one
// line when it ends and, while it runs, one every few seconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>

namespace pack {

class Progress {
 public:
  explicit Progress(const std::string& step);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // A phase of the step and what it holds (0 when not known).
  void Phase(const std::string& name, long long files, long long bytes);
  // One more file of the phase is done.
  void AddFile(long long bytes);
  // Bytes done inside the current file (a large one moves the line too).
  void AddBytes(long long bytes);
  // Ends the step with a summary line; "" leaves no line behind (the
  // caller prints the result itself).
  void Done(const std::string& summary);

 private:
  std::string LineLocked() const;
  void RedrawLocked();
  void Tick();
  void Stop();

  std::string m_step, m_phase;
  long long m_files = 0, m_bytes = 0, m_filesDone = 0, m_bytesDone = 0;
  std::chrono::steady_clock::time_point m_start, m_lastLine;
  bool m_enabled = false, m_terminal = false, m_done = false;
  std::condition_variable m_wake;
  std::thread m_ticker;
};

// Takes a progress line off the terminal so that a message can be
// printed; the next redraw puts it back.
void ClearProgressLine();

// "300 B", "12.0 KiB", "1.5 MiB", "2.00 GiB".
std::string ByteCount(long long n);
// "0.4 s", "12.3 s", "2 min 05 s".
std::string Duration(double seconds);

}  // namespace pack
