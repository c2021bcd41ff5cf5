// CZipReader: a handle-based reader of zip archives. Lists entries and
// writes an entry to a file with its attributes and times; every outcome is
// a numeric result code (0 = success) with a fixed English text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

// Result codes. The value 1 given to ResultText means "the last result".
enum : uint32_t {
  ZIP_OK = 0x00000000,
  ZIP_NO_DUPLICATE = 0x00000100,
  ZIP_NO_FILE = 0x00000200,
  ZIP_NO_ALLOC = 0x00000300,
  ZIP_WRITE = 0x00000400,
  ZIP_NOT_FOUND = 0x00000500,
  ZIP_MORE = 0x00000600,
  ZIP_CORRUPT = 0x00000700,
  ZIP_READ = 0x00000800,
  ZIP_PASSWORD = 0x00001000,
  ZIP_ARGS = 0x00010000,
  ZIP_NOT_MEMORY = 0x00020000,
  ZIP_MEMORY_SIZE = 0x00030000,
  ZIP_FAILED = 0x00040000,
  ZIP_ENDED = 0x00050000,
  ZIP_MISSIZE = 0x00060000,
  ZIP_PARTIAL_UNZIP = 0x00070000,
  ZIP_MIXED = 0x00080000,
  ZIP_NOT_INITED = 0x01000000,
  ZIP_SEEK = 0x02000000,
  ZIP_NO_CHANGE = 0x04000000,
  ZIP_FLATE = 0x05000000,
  ZIP_LAST_RESULT = 1,
};

// Windows file attribute bits reported for an entry.
constexpr uint32_t kZipAttrReadOnly = 0x1;
constexpr uint32_t kZipAttrHidden = 0x2;
constexpr uint32_t kZipAttrSystem = 0x4;
constexpr uint32_t kZipAttrDirectory = 0x10;
constexpr uint32_t kZipAttrArchive = 0x20;

// Longest target path in UTF-16 units, terminator not counted.
constexpr size_t kZipMaxPath = 259;

struct ZipItemInfo {
  int32_t index = 0;  // for an index -1 request: the number of entries
  WString name;       // cleaned, "/" separated, at most kZipMaxPath units
  uint32_t attributes = 0;
  // 100-nanosecond intervals since 1601-01-01 UTC.
  uint64_t accessTime = 0;
  uint64_t creationTime = 0;
  uint64_t modifyTime = 0;
  // 64-bit: zip64 entries may pass 4 GiB.
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
};

struct ZipHandle;
using HZIP = ZipHandle*;

class CZipReader {
 public:
  // password: nullptr for none. Relative targets are resolved against the
  // current directory of this moment.
  static HZIP Open(const WString& archivePath, const char* password);
  static uint32_t GetItem(HZIP zip, int32_t index, ZipItemInfo& info);
  static uint32_t UnzipItem(HZIP zip, int32_t index, const WString& target);
  // An entry's data for a reader that pulls it: OpenItem starts it,
  // ReadItem gives the next bytes, 0 once the whole entry has come out
  // and matched its size and CRC, -1 on failure (LastResult says why).
  // A handle streams one entry at a time; UnzipItem ends the stream.
  static uint32_t OpenItem(HZIP zip, int32_t index);
  static int64_t ReadItem(HZIP zip, void* buffer, size_t size);
  // When on, UnzipItem starts writing each file it extracts back to disk
  // as it closes it (plat::StartWriteBack), so that a later flush finds
  // less to do.
  static void SetWriteBack(HZIP zip, bool on);
  static uint32_t Close(HZIP zip);
  // Copies as much of the text as fits (always terminated) and returns the
  // full length in characters.
  static uint32_t ResultText(uint32_t code, WChar* buffer, uint32_t size);
  static WString ResultText(uint32_t code);
  static uint32_t LastResult();
};
