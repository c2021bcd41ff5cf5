#include "net/net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif
#include <openssl/crypto.h>
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "net/curl_common.h"
#include "platform/file.h"
#include "support/log.h"

namespace {

// ---- process-wide TLS and libcurl set-up ----
//
// OpenSSL before 1.1 leaves locking to the application: one mutex per lock
// it asks for, and a thread id. Later versions lock themselves; there the
// calls below compile to nothing and the table holds a single idle mutex.
struct GlobalNetInit {
  std::mutex* locks = nullptr;
  int count = 0;

  [[maybe_unused]] static unsigned long ThreadId() { return (unsigned long)pthread_self(); }
  [[maybe_unused]] static void Locking(int mode, int n, const char*, int);

  GlobalNetInit() {
    count = CRYPTO_num_locks();
    locks = new (std::nothrow) std::mutex[count > 0 ? count : 1];
    if (locks) {
      CRYPTO_set_id_callback(ThreadId);
      CRYPTO_set_locking_callback(Locking);
    }
    curl_global_init(CURL_GLOBAL_ALL);
  }
  ~GlobalNetInit() {
    curl_global_cleanup();
    if (locks) {
      CRYPTO_set_id_callback(nullptr);
      CRYPTO_set_locking_callback(nullptr);
      delete[] locks;
      locks = nullptr;
    }
  }
};

GlobalNetInit g_netInit;

void GlobalNetInit::Locking(int mode, int n, const char*, int) {
  if (!g_netInit.locks || n < 0 || n >= g_netInit.count) return;
  if (mode & CRYPTO_LOCK)
    g_netInit.locks[n].lock();
  else
    g_netInit.locks[n].unlock();
}

// ---- one transfer ----

constexpr long kReceiveBuffer = 512 * 1024;

struct DownloadProgress {
  const ProgressHandler* handler = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  int32_t resumeOffset = 0;
  int32_t lastPercent = 0;
};

// Digests run slower than a fast line delivers: the receiving thread only
// copies each chunk into one of a few buffers, and a thread of its own
// hands them to the sink in order. Without memory or a thread for that,
// the sink is fed on the receiving thread.
class DigestFeeder {
 public:
  explicit DigestFeeder(CDownloadSink* sink) : m_sink(sink) {
    if (!sink) return;
    for (auto& slot : m_slots) {
      slot.reset(new (std::nothrow) char[kSlotBytes]);
      if (!slot) return;
    }
    try {
      m_thread = std::thread(&DigestFeeder::Run, this);
      m_async = true;
    } catch (const std::system_error&) {
    }
  }
  ~DigestFeeder() { Finish(); }
  DigestFeeder(const DigestFeeder&) = delete;
  DigestFeeder& operator=(const DigestFeeder&) = delete;

  void Update(const char* p, size_t n) {
    if (!m_async) {
      if (m_sink) m_sink->Update(p, n);
      return;
    }
    while (n > 0) {
      if (m_fillLen == kSlotBytes) Hand(true);
      const size_t take = std::min(n, kSlotBytes - m_fillLen);
      memcpy(m_slots[m_fill].get() + m_fillLen, p, take);
      m_fillLen += take;
      p += take;
      n -= take;
    }
  }

  // Once this returns the sink has seen every byte given to Update.
  void Finish() {
    if (!m_async) return;
    if (m_fillLen > 0) Hand(false);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_changed.notify_all();
    m_thread.join();
    m_async = false;
  }

 private:
  static constexpr size_t kSlots = 4;
  static constexpr size_t kSlotBytes = 1 << 20;

  // Queues the slot being filled; with another to follow, waits for a free one.
  void Hand(bool more) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_length[m_fill] = m_fillLen;
    ++m_queued;
    m_changed.notify_all();
    if (!more) return;
    m_changed.wait(lock, [&] { return m_queued < kSlots; });
    m_fill = (m_head + m_queued) % kSlots;
    m_fillLen = 0;
  }

  void Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_changed.wait(lock, [&] { return m_queued > 0 || m_done; });
      if (m_queued == 0) return;
      const size_t slot = m_head;
      lock.unlock();
      m_sink->Update(m_slots[slot].get(), m_length[slot]);
      lock.lock();
      m_head = (m_head + 1) % kSlots;
      --m_queued;
      m_changed.notify_all();
    }
  }

  CDownloadSink* m_sink;
  std::unique_ptr<char[]> m_slots[kSlots];
  size_t m_length[kSlots] = {};
  size_t m_fill = 0, m_fillLen = 0;  // the receiving thread's own
  size_t m_head = 0, m_queued = 0;   // under m_mutex; the head slot is in use until dequeued
  bool m_done = false;
  bool m_async = false;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::thread m_thread;
};

// The archive is written back while it arrives, so that the flush before
// the swap finds little of it left.
constexpr int64_t kWriteBackStep = 8 << 20;

struct WriteTarget {
  plat::File* file = nullptr;
  int64_t room = -1;  // bytes the file may still take; -1 = any
  bool overflow = false;
  DigestFeeder* digests = nullptr;
  int64_t written = 0;      // file offset after the last write
  int64_t writtenBack = 0;  // write-back started up to here
};

size_t FileWriter(char* ptr, size_t size, size_t nmemb, void* userdata) {
  WriteTarget* t = static_cast<WriteTarget*>(userdata);
  size_t bytes = size * nmemb;
  size_t take = bytes;
  if (t->room >= 0 && (int64_t)bytes > t->room) {
    take = (size_t)t->room;
    t->overflow = true;
  }
  if (!t->file->Write(ptr, take)) return 0;  // libcurl turns this into a write error
  t->digests->Update(ptr, take);
  if (t->room >= 0) t->room -= (int64_t)take;
  t->written += (int64_t)take;
  if (t->written - t->writtenBack >= kWriteBackStep) {
    if (!t->file->StartWriteBack(t->writtenBack, t->written - t->writtenBack)) return 0;
    t->writtenBack = t->written;
  }
  return take == bytes ? bytes : 0;
}

// The sink sees the part of a resumed file already on disk before the rest
// arrives. False when that part cannot be read back.
bool FeedExisting(plat::File& f, int64_t length, CDownloadSink* sink) {
  const size_t kPiece = 256 * 1024;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kPiece]);
  if (!buf) return false;
  int64_t off = 0;
  while (off < length) {
    size_t want = (size_t)std::min<int64_t>((int64_t)kPiece, length - off);
    const int64_t n = f.ReadAt(off, buf.get(), want);
    if (n <= 0) return false;
    sink->Update(buf.get(), (size_t)n);
    off += n;
  }
  return true;
}

int ProgressCallback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
  DownloadProgress* p = static_cast<DownloadProgress*>(clientp);
  double total = (double)p->resumeOffset + (double)dltotal;
  // Before the answer announces its length a resumed file would count as
  // complete (100 %, then back to its real share): wait for the length.
  if (dltotal > 0 && total > 0) {
    int percent = (int)(((double)p->resumeOffset + (double)dlnow) / total * 100.0);
    if (percent != p->lastPercent && *p->handler) (*p->handler)(percent);
    p->lastPercent = percent;
  }
  return (p->cancel && p->cancel->load()) ? 42 : 0;
}

size_t HeaderCollector(char* ptr, size_t size, size_t nmemb, void* userdata) {
  WString* text = static_cast<WString*>(userdata);
  size_t bytes = size * nmemb;
  *text += WideFromAnsi(std::string(ptr, bytes));
  return bytes;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

// libcurl refuses an address with a raw space, which a base address typed
// into a configuration file may well hold.
std::string UrlForCurl(const WString& url) {
  std::string narrow = GbkFromWide(url);
  std::string out;
  for (char c : narrow) {
    if (c == ' ')
      out += "%20";
    else
      out += c;
  }
  return out;
}

// What the download and its range probe share: the address, the Host line
// (kept in list for the transfer's lifetime), the proxy and trust.
void SetSharedOptions(CURL* curl, const WString& url, const WString& hostHeader, HeaderList& list,
                      int32_t proxyType, const WString& proxy, const WString& userPwd) {
  curl_easy_setopt(curl, CURLOPT_URL, UrlForCurl(url).c_str());  // libcurl copies option strings
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // HTTP/2 sends header names in lower case; the probe reads the HTTP/1.1 form.
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
  if (!hostHeader.empty()) {
    list.list = curl_slist_append(list.list, ("Host: " + GbkFromWide(hostHeader)).c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.list);
  }
  netcommon::ApplyProxy(curl, proxyType, GbkFromWide(proxy), GbkFromWide(userPwd));
  netcommon::ApplyTrust(curl);
  netcommon::LimitRedirects(curl);
}

}  // namespace

namespace netcommon {

void ApplyTrust(CURL* curl) {
  const char* bundle = getenv("QUILLUP_CA_BUNDLE");
  if (bundle && *bundle) curl_easy_setopt(curl, CURLOPT_CAINFO, bundle);
}

void LimitRedirects(CURL* curl) { curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects); }

size_t DiscardWriter(char*, size_t size, size_t nmemb, void*) { return size * nmemb; }

void ApplyProxy(CURL* curl, long proxyType, const std::string& proxy, const std::string& userPwd) {
  if (proxyType < 0) {
    // Direct means direct: left unset, libcurl takes http_proxy, https_proxy
    // or all_proxy from the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    return;
  }
  curl_easy_setopt(curl, CURLOPT_PROXYTYPE, proxyType);
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, userPwd.c_str());
  // Company proxies ask for Digest, NTLM or Negotiate as often as Basic.
  // libcurl prefers Negotiate whenever it is offered and, without a
  // Kerberos ticket, never falls back to the next scheme: a user and
  // password of one's own are for the schemes that use them.
  const long withPassword = CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM;
  curl_easy_setopt(curl, CURLOPT_PROXYAUTH, userPwd.empty() ? (long)CURLAUTH_ANY : withPassword);
  // The proxy the user chose serves every address, whatever no_proxy says.
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
}

}  // namespace netcommon

// ---- URL helpers ----

WString GetHostFromUrl(const WString& url) {
  size_t scheme = url.find(u"://");
  if (scheme == WString::npos) return WString();
  size_t start = scheme + 3;
  size_t slash = url.find(u'/', start);
  if (slash == WString::npos) return WString();
  return url.substr(start, slash - start);
}

WString UrlForLog(const WString& url) {
  size_t scheme = url.find(u"://");
  if (scheme == WString::npos) return url;
  const size_t start = scheme + 3;
  size_t end = url.find_first_of(u"/?#", start);
  if (end == WString::npos) end = url.size();
  size_t at = url.rfind(u'@', end);
  if (at == WString::npos || at < start || at >= end) return url;
  size_t colon = url.find(u':', start);
  if (colon == WString::npos || colon > at) return url;
  return url.substr(0, colon + 1) + u"***" + url.substr(at);
}

WString HostNameOnly(const WString& authority) {
  WString h = authority;
  size_t at = h.rfind(u'@');
  if (at != WString::npos) h = h.substr(at + 1);
  if (!h.empty() && h[0] == u'[') {
    size_t close = h.find(u']');
    return close == WString::npos ? h.substr(1) : h.substr(1, close - 1);
  }
  size_t colon = h.find(u':');
  return colon == WString::npos ? h : h.substr(0, colon);
}

WString ReplaceHttpHost(const WString& url, const WString& authority, const WString& address) {
  if (authority.empty()) return url;
  // Whatever follows the name (the port) stays.
  WString hostPort = authority.substr(authority.rfind(u'@') == WString::npos ? 0 : authority.rfind(u'@') + 1);
  WString rest;
  if (!hostPort.empty() && hostPort[0] == u'[') {
    size_t close = hostPort.find(u']');
    if (close != WString::npos) rest = hostPort.substr(close + 1);
  } else {
    size_t colon = hostPort.find(u':');
    if (colon != WString::npos) rest = hostPort.substr(colon);
  }
  const WString from = u"http://" + authority;
  const WString to = u"http://" + address + rest;
  WString out;
  size_t pos = 0;
  for (;;) {
    size_t hit = url.find(from, pos);
    if (hit == WString::npos) break;
    out += url.substr(pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  out += url.substr(pos);
  return out;
}

// ---- CNet ----

CNet::CNet() { curl_global_init(CURL_GLOBAL_ALL); }

CNet::~CNet() { curl_global_cleanup(); }

bool CNet::IsIPv4Address(const WString& text) {
  std::string narrow;
  for (char16_t c : text) {
    if (c == 0 || c > 0x7F) return false;
    narrow.push_back((char)c);
  }
  auto a = inet_addr(narrow.c_str());  // in_addr_t; an unsigned long on Windows
  if (a == INADDR_NONE) return false;
  in_addr addr;
  addr.s_addr = a;
  char buf[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &addr, buf, sizeof buf)) return false;
  return narrow == buf;
}

WString CNet::ResolveHostIPs(const WString& url) {
  WString name = HostNameOnly(GetHostFromUrl(url));
  if (name.empty()) return WString();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  // A literal address is answered without asking any name server.
  if (IsIPv4Address(name)) hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (getaddrinfo(GbkFromWide(name).c_str(), nullptr, &hints, &res) != 0) return WString();
  WString out;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN];
    const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    if (!inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) continue;
    if (!out.empty()) out += u",";
    out += W(buf);
  }
  freeaddrinfo(res);
  return out;
}

bool CNet::IsRangeSupported(const WString& url, const WString& hostHeader) {
  if (url.empty()) return false;
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  WString headers;
  HeaderList list;
  SetSharedOptions(curl, url, hostHeader, list, m_nProxyType, m_strProxy, m_strProxyUserPwd);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, HeaderCollector);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, netcommon::DiscardWriter);
  CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return rc == CURLE_OK && headers.find(u"Accept-Ranges: bytes\r\n") != WString::npos;
}

namespace {

const char* const kDownloadOp = "CNet::Download";

// One call of CNet::Download, carried through its steps.
struct DownloadJob {
  const WString& url;
  const WString& hostHeader;
  const WString& localPath;
  bool& resume;
  plat::File file;
  DownloadProgress progress;

  DownloadJob(const WString& u, const WString& host, const WString& path, bool& r)
      : url(u), hostHeader(host), localPath(path), resume(r) {}
};

// The file emptied for a transfer from byte 0.
void StartOver(DownloadJob& job) {
  job.resume = false;
  job.progress.resumeOffset = 0;
  if (!job.file.Truncate(0) || !job.file.Seek(0)) job.file.Open(job.localPath, plat::File::kCreate);
}

// 1. The local file: continue it, or start it afresh. 2. Resume only where
// the server announces byte ranges.
void OpenLocalFile(CNet& net, DownloadJob& job) {
  const bool pathOk = IsGbkRepresentable(job.localPath);
  plat::File& f = job.file;
  // Small chunks gather as in a C stream of one disk block.
  f.BufferWrites(4096);
  if (job.resume && pathOk && f.Open(job.localPath, plat::File::kReadWrite)) {
    const int64_t length = f.Size();
    if (length >= 0 && length <= INT32_MAX && f.Seek(length)) {
      job.progress.resumeOffset = (int32_t)length;
    } else {
      // Offsets are 32-bit; anything else starts over.
      f.Close();
    }
  }
  if (!f.IsOpen()) {
    job.resume = false;
    if (pathOk) f.Open(job.localPath, plat::File::kCreate);
  }
  if (f.IsOpen() && job.resume && !net.IsRangeSupported(job.url, job.hostHeader)) StartOver(job);
}

// 3. The sink starts with what is already on disk. False (logged) when no
// file is open for the transfer.
bool PrepareSink(DownloadJob& job, CDownloadSink* sink) {
  if (job.file.IsOpen() && sink) {
    sink->Reset();
    // A part that cannot be read back cannot be vouched for: start over.
    if (job.resume && !FeedExisting(job.file, job.progress.resumeOffset, sink)) {
      sink->Reset();
      StartOver(job);
    }
  }
  if (job.file.IsOpen()) return true;
  LogWrite(LOG_ERROR, kDownloadOp, u"打开文件失败:" + job.localPath);
  return false;
}

// 5. Options.
void SetTransferOptions(CURL* curl, const CNet& net, DownloadJob& job, HeaderList& list, WriteTarget& target,
                        char* reason) {
  SetSharedOptions(curl, job.url, job.hostHeader, list, net.GetProxyType(), net.GetProxy(), net.GetProxyUserPwd());
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 3600L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, FileWriter);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &job.progress);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 5L);
  // Packs are large: bigger receive chunks mean fewer writes and callbacks.
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  if (job.resume) curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, (curl_off_t)job.progress.resumeOffset);
  // The reason in words: which certificate check failed, which redirect.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
}

// 7. Why the transfer failed; a cancelled one only warns.
void LogTransferFailure(CNet& net, const DownloadJob& job, CURLcode rc, long httpCode, const char* reason,
                        bool overflow, bool cancelled) {
  LogWrite(LOG_INFO, kDownloadOp, u"IPs:" + net.ResolveHostIPs(job.url));
  char buf[96];
  snprintf(buf, sizeof buf, "%d,%ld", (int)rc, httpCode);
  const int level = cancelled ? LOG_WARN : LOG_ERROR;
  LogWrite(level, kDownloadOp, u"curl_easy_perform返回码:" + W(buf));
  // A malformed address or a refused tunnel leaves the buffer empty.
  WString words = reason[0] ? WideFromAnsi(reason) : W(curl_easy_strerror(rc));
  LogWrite(level, kDownloadOp, u"curl错误:" + words);
  if (overflow) LogWrite(LOG_ERROR, kDownloadOp, u"下载数据超出文件大小:" + job.localPath);
}

}  // namespace

bool CNet::Download(const WString& url, const WString& hostHeader, const WString& localPath,
                    const ProgressHandler& handler, bool* resume, const std::atomic<bool>* cancel, CDownloadSink* sink) {
  bool noResume = false;
  DownloadJob job(url, hostHeader, localPath, resume ? *resume : noResume);
  job.progress.handler = &handler;
  job.progress.cancel = cancel;

  // 1.-2.
  OpenLocalFile(*this, job);
  // 3.
  if (!PrepareSink(job, sink)) return false;

  // 4.
  CURL* curl = curl_easy_init();
  if (!curl) {
    job.file.Close();
    LogWrite(LOG_ERROR, kDownloadOp, u"curl_easy_init()初始化失败");
    return false;
  }

  // 5.
  HeaderList list;
  WriteTarget target;
  target.file = &job.file;
  target.written = target.writtenBack = job.progress.resumeOffset;
  if (m_nSizeLimit >= 0)
    target.room = m_nSizeLimit > job.progress.resumeOffset ? m_nSizeLimit - job.progress.resumeOffset : 0;
  char reason[CURL_ERROR_SIZE] = {0};
  SetTransferOptions(curl, *this, job, list, target, reason);

  // 6.
  DigestFeeder digests(sink);
  target.digests = &digests;
  CURLcode rc = curl_easy_perform(curl);
  digests.Finish();
  long httpCode = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpCode);
  // A proxy that refused the tunnel answered, the server never did.
  if (httpCode == 0) curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &httpCode);
  curl_slist_free_all(list.list);
  list.list = nullptr;
  curl_easy_cleanup(curl);
  bool closed = job.file.Close();

  // 7.
  if (rc != CURLE_OK) {
    LogTransferFailure(*this, job, rc, httpCode, reason, target.overflow, cancel && cancel->load());
    return false;
  }
  // 8.
  if (!closed) {
    LogWrite(LOG_ERROR, kDownloadOp, u"关闭文件失败:" + localPath);
    return false;
  }
  return true;
}
