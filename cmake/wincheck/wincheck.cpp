// Uses each library of the Windows dependency prefix once and writes one line
// per result to the file named by argv[2]: under wine only that file tells
// whether the program ran, not the exit code.
//   wincheck.exe http://127.0.0.1:PORT/FILE results.txt
#include <curl/curl.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

bool sha256_ok() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (!EVP_Digest("abc", 3, md, &n, EVP_sha256(), nullptr)) return false;
  return hex(md, n) == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
}

bool ed25519_ok() {
  using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
  using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
  PkeyCtx kctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* raw = nullptr;
  if (!kctx || EVP_PKEY_keygen_init(kctx.get()) <= 0 || EVP_PKEY_keygen(kctx.get(), &raw) <= 0)
    return false;
  Pkey key(raw, EVP_PKEY_free);
  const std::string msg = "release manifest";
  unsigned char sig[64];
  size_t siglen = sizeof sig;
  MdCtx sctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!sctx || EVP_DigestSignInit(sctx.get(), nullptr, nullptr, nullptr, key.get()) <= 0 ||
      EVP_DigestSign(sctx.get(), sig, &siglen, reinterpret_cast<const unsigned char*>(msg.data()),
                     msg.size()) <= 0)
    return false;
  auto verifies = [&](const std::string& m) {
    MdCtx vctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return vctx && EVP_DigestVerifyInit(vctx.get(), nullptr, nullptr, nullptr, key.get()) > 0 &&
           EVP_DigestVerify(vctx.get(), sig, siglen,
                            reinterpret_cast<const unsigned char*>(m.data()), m.size()) == 1;
  };
  return siglen == 64 && verifies(msg) && !verifies("release manifesT");
}

bool zlib_ok() {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i % 37) + "\n";
  uLongf packed_len = compressBound(text.size());
  std::vector<Bytef> packed(packed_len);
  if (compress2(packed.data(), &packed_len, reinterpret_cast<const Bytef*>(text.data()),
                text.size(), 9) != Z_OK || packed_len >= text.size())
    return false;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  std::string back(text.size() + 1, '\0');
  zs.next_in = packed.data();
  zs.avail_in = static_cast<uInt>(packed_len);
  zs.next_out = reinterpret_cast<Bytef*>(&back[0]);
  zs.avail_out = static_cast<uInt>(back.size());
  int rc = inflate(&zs, Z_FINISH);
  back.resize(zs.total_out);
  inflateEnd(&zs);
  return rc == Z_STREAM_END && back == text;
}

size_t collect(char* p, size_t size, size_t n, void* to) {
  static_cast<std::string*>(to)->append(p, size * n);
  return size * n;
}

std::string fetch(const char* url) {
  std::string body;
  CURL* c = curl_easy_init();
  if (!c) return "FAILED: curl_easy_init";
  curl_easy_setopt(c, CURLOPT_URL, url);
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // never an environment proxy
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  if (rc != CURLE_OK) return std::string("FAILED: ") + curl_easy_strerror(rc);
  if (status != 200) return "FAILED: HTTP status " + std::to_string(status);
  return "body " + body;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: wincheck URL RESULTS-FILE\n");
    return 2;
  }
  FILE* out = std::fopen(argv[2], "w");
  if (!out) return 1;
  auto report = [&](const std::string& line) {
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
  };
  auto verdict = [](bool ok) { return ok ? "ok" : "FAILED"; };
  curl_global_init(CURL_GLOBAL_DEFAULT);
  report(std::string("libcurl ") + curl_version());
  report(std::string("openssl ") + OpenSSL_version(OPENSSL_VERSION));
  report(std::string("sha256 ") + verdict(sha256_ok()));
  report(std::string("ed25519 ") + verdict(ed25519_ok()));
  report(std::string("zlib ") + verdict(zlib_ok()));
  // On a std::thread, which only the posix-thread MinGW compilers provide.
  std::string fetched;
  std::thread t([&] { fetched = fetch(argv[1]); });
  t.join();
  report("http " + fetched);
  curl_global_cleanup();
  return std::fclose(out) == 0 ? 0 : 1;
}
