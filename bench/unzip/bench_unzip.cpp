// Extracts one archive (default: 5,000 files, 300 MiB, made by Info-ZIP zip)
// with COpFile::UnzipFile (CZipReader on every core, as staging unzips
// plain entries) and with
// Info-ZIP unzip, alternately, and prints the ratio of the best times.
//
//   bench_unzip [--files N] [--mib M] [--rounds R] [--keep]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/timing.h"
#include "opfile/opfile.h"

namespace fs = std::filesystem;

namespace {

int Run(const std::string& cmd) {
  int rc = system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

using Rng = bench::XorShift;

// A tree shaped like a client installation: binaries that barely compress
// and text-like files that compress about 3:1.
void MakeTree(const std::string& root, int files, uint64_t totalBytes) {
  Rng rng{0x9E3779B97F4A7C15ULL};
  std::vector<std::string> words;
  for (int i = 0; i < 512; ++i) {
    std::string w;
    int len = 2 + (int)(rng.Next() % 9);
    for (int k = 0; k < len; ++k) w.push_back((char)('a' + rng.Next() % 26));
    words.push_back(w);
  }
  const uint64_t average = totalBytes / (uint64_t)files;
  uint64_t written = 0;
  std::string buf;
  for (int i = 0; i < files; ++i) {
    uint64_t size = i == files - 1 ? (written < totalBytes ? totalBytes - written : 1)
                                   : average / 4 + rng.Next() % (average * 3 / 2 + 1);
    if (written + size > totalBytes) size = totalBytes > written ? totalBytes - written : 1;
    std::string dir = root + "/d" + std::to_string(i % 50) + "/s" + std::to_string(i % 7);
    fs::create_directories(dir);
    buf.clear();
    buf.reserve(size);
    if (i % 3 == 0) {
      while (buf.size() < size) {
        uint64_t v = rng.Next();
        buf.append((const char*)&v, sizeof v);
      }
    } else {
      while (buf.size() < size) {
        buf += words[rng.Next() % words.size()];
        buf.push_back(rng.Next() % 12 == 0 ? '\n' : ' ');
      }
    }
    buf.resize(size);
    std::ofstream(dir + "/f" + std::to_string(i) + (i % 3 == 0 ? ".dll" : ".txt"), std::ios::binary)
        .write(buf.data(), (std::streamsize)buf.size());
    written += size;
  }
}

double Seconds(double since) { return bench::Now() - since; }

}  // namespace

int main(int argc, char** argv) {
  int files = 5000, mib = 300, rounds = 3;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--files") && i + 1 < argc) files = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--mib") && i + 1 < argc) mib = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--keep")) keep = true;
    else {
      fprintf(stderr, "usage: %s [--files N] [--mib M] [--rounds R] [--keep]\n", argv[0]);
      return 2;
    }
  }
  if (files < 1 || mib < 1 || rounds < 1) return 2;
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quillup-bench-unzip-XXXXXX";
  if (!mkdtemp(tmpl.data())) return 1;
  const std::string work = tmpl, tree = work + "/tree", archive = work + "/pack.zip";

  double t0 = bench::Now();
  MakeTree(tree, files, (uint64_t)mib << 20);
  if (Run("cd '" + tree + "' && zip -qr '" + archive + "' .") != 0) {
    fprintf(stderr, "zip failed\n");
    return 1;
  }
  fs::remove_all(tree);
  printf("archive: %d files, %d MiB of data, %.1f MiB zipped (made in %.1f s)\n", files, mib,
         (double)fs::file_size(archive) / 1048576.0, Seconds(t0));

  COpFile op;
  bench::Best best[2];
  for (int r = 0; r < rounds; ++r) {
    for (int which = 0; which < 2; ++which) {
      const std::string out = work + "/out";
      fs::remove_all(out);
      Run("sync");
      double t = bench::Now();
      bool ok = which == 0 ? op.UnzipFile(WidePath(archive), WidePath(out), 0, 100)
                           : Run("unzip -qo '" + archive + "' -d '" + out + "'") == 0;
      double s = Seconds(t);
      if (!ok) {
        fprintf(stderr, "%s failed\n", which == 0 ? "CZipReader" : "unzip");
        return 1;
      }
      best[which].Add(s);
      printf("round %d %-10s %.3f s\n", r + 1, which == 0 ? "CZipReader" : "unzip", s);
    }
  }
  if (!keep) fs::remove_all(work);
  printf("best: CZipReader %.3f s, unzip %.3f s\n", best[0].seconds, best[1].seconds);
  printf("ratio (unzip time / CZipReader time): %.2f\n", best[1].seconds / best[0].seconds);
  return 0;
}
