// Arbitrary bytes opened as an archive and every entry extracted into a
// scratch directory, and pulled as a stream too. Besides the sanitizers, the harness aborts when
// anything appears outside the extraction directory or a link is created.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "../fuzz_scratch.h"
#include "support/zip.h"

namespace fs = std::filesystem;

namespace {

// Declared sizes bound what is written; larger entries only cost time.
constexpr uint32_t kMaxEntrySize = 1u << 20;
constexpr int32_t kMaxEntries = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = fuzz::Scratch("zip");
  const std::string archive = root + "/in.zip";
  const std::string out = root + "/out";
  fuzz::WriteFile(archive, data, size);

  // A password lets encrypted entries reach the decrypter.
  HZIP zip = CZipReader::Open(WidePath(archive), size % 2 ? "pw" : nullptr);
  if (zip) {
    ZipItemInfo info;
    if (CZipReader::GetItem(zip, -1, info) == ZIP_OK) {
      int32_t count = info.index < kMaxEntries ? info.index : kMaxEntries;
      for (int32_t k = 0; k < count; ++k) {
        if (CZipReader::GetItem(zip, k, info) != ZIP_OK) continue;
        if (info.name.size() > kZipMaxPath) abort();
        if (info.uncompressedSize > kMaxEntrySize) continue;
        const bool extracted = CZipReader::UnzipItem(zip, k, WidePath(out) + u"/" + info.name) == ZIP_OK;
        // The entry pulled as a stream must agree with what was extracted.
        std::string streamed;
        char buf[4099];
        int64_t n = -1;
        if (CZipReader::OpenItem(zip, k) == ZIP_OK)
          while ((n = CZipReader::ReadItem(zip, buf, 1 + streamed.size() % sizeof buf)) > 0) streamed.append(buf, (size_t)n);
        if (extracted && !(info.attributes & kZipAttrDirectory))
          fuzz::Check(n == 0 && streamed == fuzz::ReadFile(out + "/" + Utf8FromWide(info.name)));
      }
      // Random access back to the start walks the directory again.
      if (count > 1) CZipReader::GetItem(zip, 0, info);
    }
    CZipReader::Close(zip);
  }

  std::error_code ec;
  for (auto& e : fs::directory_iterator(root, ec))
    if (e.path() != archive && e.path() != out) abort();  // escaped the target
  if (fs::exists(out, ec)) {
    for (auto it = fs::recursive_directory_iterator(out, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
      if (it->is_symlink()) abort();
    fs::remove_all(out, ec);
  }
  return 0;
}
