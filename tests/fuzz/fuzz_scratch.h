// Shared by the fuzz targets: an invariant check that stops the fuzzer, and
// one scratch directory per process below TMPDIR, removed at exit.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

namespace fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

inline std::string& ScratchRoot() {
  static std::string root;
  return root;
}

inline void RemoveScratch() {
  std::error_code ec;
  if (!ScratchRoot().empty()) std::filesystem::remove_all(ScratchRoot(), ec);
}

inline const std::string& Scratch(const char* tag) {
  std::string& root = ScratchRoot();
  if (root.empty()) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quillup-fuzz-" + tag + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    root = tmpl;
    atexit(RemoveScratch);
  }
  return root;
}

inline std::string ReadFile(const std::string& path) {
  std::string data;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    fclose(f);
  }
  return data;
}

// Every entry below dir (relative name -> content, "->target" for a link,
// "/" for a directory), to prove that nothing there changed.
inline std::map<std::string, std::string> Snapshot(const std::string& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), dir, ec).string();
    if (it->is_symlink(ec)) {
      tree[rel] = "->" + fs::read_symlink(it->path(), ec).string();
      it.disable_recursion_pending();
    } else if (it->is_directory(ec)) {
      tree[rel] = "/";
    } else {
      tree[rel] = ReadFile(it->path().string());
    }
  }
  return tree;
}

inline void WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();
}

}  // namespace fuzz
