// Throughput of FileMd5 against OpenSSL's MD5 on the same file, same run.
//   bench_md5 [--mib N] [--rounds R] [--file PATH]
// Without --file a file of N MiB (default 512) is written to $TMPDIR and
// removed at the end. Both sides read the file from the page cache; the
// best of R interleaved rounds counts.
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/timing.h"
#include "support/md5.h"

namespace {

// The peer: the same reading pattern, digest by libcrypto.
std::string OpenSslFileMd5(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  std::vector<unsigned char> buf(256 * 1024);
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) EVP_DigestUpdate(ctx, buf.data(), (size_t)n);
  close(fd);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char tmp[3];
  for (unsigned i = 0; i < len; ++i) {
    snprintf(tmp, sizeof tmp, "%02x", md[i]);
    hex += tmp;
  }
  return n < 0 ? std::string() : hex;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = 512;
  int rounds = 3;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--mib") && i + 1 < argc) mib = strtoul(argv[++i], nullptr, 10);
    else if (!strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--file") && i + 1 < argc) path = argv[++i];
    else {
      fprintf(stderr, "usage: %s [--mib N] [--rounds R] [--file PATH]\n", argv[0]);
      return 2;
    }
  }
  bool own = path.empty();
  if (own) {
    const char* tmp = getenv("TMPDIR");
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_md5_" + std::to_string(getpid()) + ".bin";
    fprintf(stderr, "writing %zu MiB to %s\n", mib, path.c_str());
    if (!bench::WriteRandomFile(path, mib)) {
      fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  off_t size = 0;
  {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
      fprintf(stderr, "cannot open %s\n", path.c_str());
      return 1;
    }
    size = lseek(fd, 0, SEEK_END);
    close(fd);
  }
  double mb = (double)size / (1024.0 * 1024.0);
  WString wpath = WidePath(path);

  OpenSslFileMd5(path);  // brings the file into the page cache
  bench::Best bestOwn, bestPeer;
  std::string ownHex, peerHex;
  for (int r = 0; r < rounds; ++r) {
    double t0 = bench::Now();
    ownHex = Utf8FromWide(FileMd5(wpath));
    double t1 = bench::Now();
    peerHex = OpenSslFileMd5(path);
    bestOwn.Add(t1 - t0);
    bestPeer.Add(bench::Now() - t1);
  }
  if (own) unlink(path.c_str());

  if (ownHex.empty() || ownHex != peerHex) {
    fprintf(stderr, "digests differ: FileMd5 %s, OpenSSL %s\n", ownHex.c_str(), peerHex.c_str());
    return 1;
  }
  printf("file          %.0f MiB, md5 %s\n", mb, ownHex.c_str());
  printf("FileMd5       %8.1f MiB/s\n", mb / bestOwn.seconds);
  printf("OpenSSL MD5   %8.1f MiB/s\n", mb / bestPeer.seconds);
  printf("ratio         %8.3f (FileMd5 / OpenSSL, target >= 0.85)\n", bestPeer.seconds / bestOwn.seconds);
  return 0;
}
