#include "zipwriter.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include "common.h"

namespace pack {
namespace {

// MS-DOS attribute bits kept in the low byte beside the Unix mode, so that
// readers that look at either see the same thing.
constexpr unsigned kDosReadOnly = 0x01;
constexpr unsigned kDosDirectory = 0x10;

}  // namespace

ZipWriter::ZipWriter(const std::string& path) : m_path(path) {
  int err = 0;
  m_zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &err);
  if (!m_zip) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, err);
    std::string why = zip_error_strerror(&ze);
    zip_error_fini(&ze);
    throw Error("cannot create " + path + ": " + why);
  }
}

ZipWriter::~ZipWriter() {
  if (m_zip) zip_discard(m_zip);
}

void ZipWriter::SetMeta(long long index, const std::string& name, mode_t typeAndMode, long long mtime, bool isDir) {
  unsigned attrs = ((unsigned)typeAndMode & 0xFFFF) << 16;
  if (!(typeAndMode & S_IWUSR)) attrs |= kDosReadOnly;
  if (isDir) attrs |= kDosDirectory;
  if (zip_file_set_external_attributes(m_zip, (zip_uint64_t)index, 0, ZIP_OPSYS_UNIX, attrs) != 0 ||
      zip_file_set_mtime(m_zip, (zip_uint64_t)index, (time_t)mtime, 0) != 0)
    throw Error("cannot set the attributes of " + name + " in " + m_path + ": " + zip_strerror(m_zip));
}

void ZipWriter::AddFile(const std::string& name, const std::string& source, mode_t mode, long long mtime) {
  zip_source_t* src = zip_source_file(m_zip, source.c_str(), 0, -1);
  if (!src) throw Error("cannot read " + source + ": " + zip_strerror(m_zip));
  zip_int64_t idx = zip_file_add(m_zip, name.c_str(), src, ZIP_FL_ENC_UTF_8);
  if (idx < 0) {
    zip_source_free(src);
    throw Error("cannot add " + name + " to " + m_path + ": " + zip_strerror(m_zip));
  }
  if (zip_set_file_compression(m_zip, (zip_uint64_t)idx, ZIP_CM_DEFLATE, 9) != 0)
    throw Error("cannot compress " + name + ": " + zip_strerror(m_zip));
  SetMeta(idx, name, S_IFREG | (mode & 07777), mtime, false);
  ++m_count;
}

void ZipWriter::AddDirectory(const std::string& name, mode_t mode, long long mtime) {
  zip_int64_t idx = zip_dir_add(m_zip, name.c_str(), ZIP_FL_ENC_UTF_8);
  if (idx < 0) throw Error("cannot add directory " + name + " to " + m_path + ": " + zip_strerror(m_zip));
  SetMeta(idx, name, S_IFDIR | (mode & 07777), mtime, true);
  ++m_count;
}

void ZipWriter::Finish() {
  ThrowIfInterrupted();
  if (m_count == 0) {
    // libzip writes nothing for an empty archive; the updater still
    // expects a file it can open, so write the bare end record.
    zip_discard(m_zip);
    m_zip = nullptr;
    static const unsigned char kEmpty[22] = {'P', 'K', 5, 6};
    FILE* f = fopen(m_path.c_str(), "wb");
    if (!f) throw Error("cannot write " + m_path + ": " + ErrnoText());
    bool ok = fwrite(kEmpty, 1, sizeof kEmpty, f) == sizeof kEmpty;
    if (fclose(f) != 0 || !ok) throw Error("cannot write " + m_path + ": " + ErrnoText());
    return;
  }
  if (m_progress)
    zip_register_progress_callback_with_state(
        m_zip, 0.001, [](zip_t*, double done, void* ud) { (*static_cast<std::function<void(double)>*>(ud))(done); },
        nullptr, &m_progress);
  // Writing a large archive takes minutes; Ctrl-C must not wait for it.
  zip_register_cancel_callback_with_state(
      m_zip, [](zip_t*, void*) { return Interrupted() ? 1 : 0; }, nullptr, nullptr);
  if (zip_close(m_zip) != 0) {
    std::string why = zip_strerror(m_zip);
    zip_discard(m_zip);
    m_zip = nullptr;
    unlink(m_path.c_str());
    ThrowIfInterrupted();
    throw Error("cannot write " + m_path + ": " + why);
  }
  m_zip = nullptr;
}

}  // namespace pack
