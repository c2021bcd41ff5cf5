// CNet::Download against the curl program, same file, same nginx, same run.
//   bench_download [--mib N] [--rounds R]
// A file of N MiB (default 1024) is served by nginx on 127.0.0.1 and
// fetched R times (default 5) by each side, interleaved; the best round of
// each counts. Then a download that the fault server resets at half the
// file is resumed from nginx, whose access log tells the bytes it sent.
// Everything lives in a scratch directory under $TMPDIR, removed at the end.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/netservers.h"
#include "common/timing.h"
#include "net/net.h"
#include "support/md5.h"

namespace {

long long SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// Fields of the last access-log line: METHOD URI STATUS BYTES_SENT BODY_BYTES_SENT ...
bool LastRequest(const netsrv::Nginx& nginx, size_t count, long long& bytesSent, long long& bodySent, int& status) {
  auto lines = nginx.AccessLines(count);
  if (lines.size() < count) return false;
  std::istringstream ss(lines.back());
  std::string method, uri;
  ss >> method >> uri >> status >> bytesSent >> bodySent;
  return (bool)ss;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = 1024;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--mib")) mib = (size_t)atol(argv[i + 1]);
    if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
  }
  const char* base = getenv("TMPDIR");
  std::string dir = std::string(base && *base ? base : "/tmp") + "/quillup-bench-XXXXXX";
  if (!mkdtemp(dir.data())) {
    perror("mkdtemp");
    return 1;
  }
  int rc = 1;
  try {
    netsrv::IsolateNetwork();
    for (auto sub : {"/www", "/ca", "/nginx", "/fault", "/out"}) mkdir((dir + sub).c_str(), 0755);
    const std::string served = dir + "/www/big.zip";
    printf("writing %zu MiB test file...\n", mib);
    fflush(stdout);
    if (!bench::WriteRandomFile(served, mib)) throw std::runtime_error("cannot write the test file");
    const long long total = (long long)mib << 20;

    netsrv::TestCa ca(dir + "/ca");
    netsrv::Nginx nginx(dir + "/nginx", dir + "/www", ca);
    const std::string url = nginx.HttpUrl("/big.zip");
    const std::string outCurl = dir + "/out/curl.zip", outNet = dir + "/out/net.zip";

    // Warm the page cache once with the peer.
    if (system(("curl -s -o '" + outCurl + "' '" + url + "'").c_str()) != 0) throw std::runtime_error("curl failed");
    unlink(outCurl.c_str());

    bench::Best bestCurl, bestNet;
    CNet net;
    for (int r = 0; r < rounds; ++r) {
      double t0 = bench::Now();
      if (system(("curl -s -o '" + outCurl + "' '" + url + "'").c_str()) != 0) throw std::runtime_error("curl failed");
      double tCurl = bench::Now() - t0;
      if (SizeOf(outCurl) != total) throw std::runtime_error("curl wrote a wrong size");
      unlink(outCurl.c_str());

      bool resume = false;
      t0 = bench::Now();
      bool ok = net.Download(WideFromUtf8(url), u"", WideFromUtf8(outNet), nullptr, &resume, nullptr);
      double tNet = bench::Now() - t0;
      if (!ok || SizeOf(outNet) != total) throw std::runtime_error("CNet::Download failed");
      unlink(outNet.c_str());

      printf("round %d: curl %.0f MiB/s, CNet::Download %.0f MiB/s\n", r + 1, mib / tCurl, mib / tNet);
      fflush(stdout);
      bestCurl.Add(tCurl);
      bestNet.Add(tNet);
    }
    printf("best: curl %.0f MiB/s, CNet::Download %.0f MiB/s\n", mib / bestCurl.seconds, mib / bestNet.seconds);
    printf("ratio CNet::Download / curl: %.2f (target >= 0.90)\n", bestCurl.seconds / bestNet.seconds);

    // Resume after a reset at half the file.
    netsrv::FaultServer fault(dir + "/fault", dir + "/www", nullptr);
    const long long half = total / 2;
    bool resume = false;
    bool ok = net.Download(WideFromUtf8(fault.HttpUrl("/f/big.zip?mode=reset&after=" + std::to_string(half))), u"",
                           WideFromUtf8(outNet), nullptr, &resume, nullptr);
    long long kept = SizeOf(outNet);
    if (ok || kept <= 0 || kept > half)
      throw std::runtime_error("the reset did not leave a partial file (result " + std::to_string(ok) + ", " +
                               std::to_string(kept) + " bytes kept)");
    size_t before = nginx.AccessLines().size();
    resume = true;
    ok = net.Download(WideFromUtf8(url), u"", WideFromUtf8(outNet), nullptr, &resume, nullptr);
    long long bytesSent = 0, bodySent = 0;
    int status = 0;
    // The range probe (HEAD) and the ranged GET.
    if (!ok || !resume || !LastRequest(nginx, before + 2, bytesSent, bodySent, status))
      throw std::runtime_error("the resumed download failed");
    bool same = SizeOf(outNet) == total && FileMd5(WideFromUtf8(outNet)) == FileMd5(WideFromUtf8(served));
    printf("reset after %lld of %lld bytes (%.1f %%); resumed GET: status %d, body %lld bytes, %lld with headers\n",
           kept, total, 100.0 * kept / total, status, bodySent, bytesSent);
    printf("resume transferred only the rest: %s; file identical: %s\n", bodySent == total - kept ? "yes" : "NO",
           same ? "yes" : "NO");
    rc = (bodySent == total - kept && same) ? 0 : 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "bench_download: %s\n", e.what());
    rc = 1;
  }
  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  return rc;
}
