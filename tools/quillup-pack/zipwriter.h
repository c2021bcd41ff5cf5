// Writes one pack archive with libzip.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

struct zip;

namespace pack {

class ZipWriter {
 public:
  // Creates a new archive; the path must not exist yet.
  explicit ZipWriter(const std::string& path);
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // name: entry name with "/" separators. The source file is read when
  // the archive is finished, so it must stay in place until then.
  void AddFile(const std::string& name, const std::string& source, mode_t mode, long long mtime);
  void AddDirectory(const std::string& name, mode_t mode, long long mtime);
  int Count() const { return m_count; }
  // Called while Finish writes the archive, with the share done (0 to 1).
  void OnProgress(std::function<void(double)> report) { m_progress = std::move(report); }
  // Writes the archive out; throws Error on failure (no archive is left).
  void Finish();

 private:
  void SetMeta(long long index, const std::string& name, mode_t typeAndMode, long long mtime, bool isDir);
  std::string m_path;
  struct zip* m_zip = nullptr;
  int m_count = 0;
  std::function<void(double)> m_progress;
};

}  // namespace pack
