// Writes one pack archive. Names are stored in code page 936 without the
// UTF-8 flag, as the updater reads them, with the UTF-8 name beside them in
// an Info-ZIP Unicode Path field for other unzip programs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace pack {

class ZipWriter {
 public:
  // Creates a new archive; the path must not exist yet.
  explicit ZipWriter(const std::string& path);
  // An archive not finished is removed.
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // name: UTF-8 entry name with "/" separators. The source is read at once;
  // onBytes, when given, hears of every piece of it read.
  void AddFile(const std::string& name, const std::string& source, mode_t mode, long long mtime,
               const std::function<void(long long bytes)>& onBytes = nullptr);
  void AddDirectory(const std::string& name, mode_t mode, long long mtime);
  int Count() const { return (int)m_entries.size(); }
  // Writes the central directory; throws Error on failure (no archive is left).
  void Finish();

 private:
  struct Entry {
    std::string name;   // code page 936
    std::string extra;  // the same in local and central header
    uint16_t method = 0, dosTime = 0, dosDate = 0;
    uint32_t crc = 0, externalAttrs = 0;
    uint64_t compressedSize = 0, size = 0, offset = 0;
  };
  Entry Begin(const std::string& name, mode_t typeAndMode, long long mtime, bool isDir);
  static void PutSharedFields(std::string& header, const Entry& e);
  void WriteLocalHeader(const Entry& e);
  // Copies or deflates the source after the local header; false when
  // deflating did not make it smaller.
  bool WriteData(Entry& e, const std::string& source, bool deflate,
                 const std::function<void(long long bytes)>& onBytes, long long& reported);
  void Put(const std::string& bytes);
  void Seek(uint64_t offset);
  uint64_t Tell();
  [[noreturn]] void Fail(const std::string& what);

  std::string m_path;
  FILE* m_file = nullptr;
  bool m_finished = false;
  std::vector<Entry> m_entries;
};

// Why two archives of the same pack differ, entry by entry (content, time,
// mode, entries added or gone), for the message that refuses to change a
// published pack.
std::string DescribeArchiveChange(const std::string& published, const std::string& fresh);

}  // namespace pack
