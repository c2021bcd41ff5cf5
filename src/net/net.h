// CNet: the updater's network access. Downloads over HTTP(S) with resume,
// progress and cancel (net.cpp), the proxy of the client's login window or
// the system (proxy.cpp), and name resolution through a public resolver
// (resolver.cpp). One CNet serves one update run on the worker thread.
//
// Environment read by this code (all optional):
//   QUILLUP_CA_BUNDLE  a PEM file of trusted CAs for every HTTPS transfer;
//                      unset, libcurl's default trust store applies.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/progress.h"
#include "base/text.h"

// The text between the first "://" and the next "/" after it, port kept;
// "" when either is missing.
WString GetHostFromUrl(const WString& url);

// The URL as the log may show it: the password of its user information
// replaced by "***" ("http://u:pw@h/x" -> "http://u:***@h/x").
WString UrlForLog(const WString& url);

// The name part of a URL authority: user information and port removed,
// brackets of an IPv6 literal removed ("u@h:8080" -> "h", "[::1]:80" -> "::1").
// A port is not part of a host name, so every name lookup uses this.
WString HostNameOnly(const WString& authority);

// The URL with "http://" + authority replaced by "http://" + address,
// everywhere, keeping the authority's port ("http://h:81/x" -> "http://a:81/x").
WString ReplaceHttpHost(const WString& url, const WString& authority, const WString& address);

// Sees the bytes of a download as they reach the file, so that a digest
// costs no second read: Reset when the file starts from byte 0, the bytes
// already on disk of a resumed file first, then every received chunk in
// order. Several digests (MD5, a SHA-256 through OpenSSL's EVP) can share
// one transfer behind one sink.
class CDownloadSink {
 public:
  virtual ~CDownloadSink() = default;
  virtual void Reset() = 0;
  virtual void Update(const void* data, size_t len) = 0;
};

class CNet {
 public:
  CNet();
  ~CNet();
  CNet(const CNet&) = delete;
  CNet& operator=(const CNet&) = delete;

  // Downloads url into localPath. hostHeader, when not empty, is sent as
  // "Host: ...". Progress (0..100, counting bytes already on disk) goes to
  // progress (may be empty). *resume in: continue a partial
  // file; out: false when the file was written from byte 0 (null = no
  // resume). *cancel (may be null) aborts the transfer (libcurl result 42).
  // True only when the whole body arrived and the file closed cleanly; the
  // reason of a failure is in the log, and a partial file stays for resume.
  // sink (may be null) then has seen exactly the file's bytes.
  bool Download(const WString& url, const WString& hostHeader, const WString& localPath,
                const ProgressHandler& progress, bool* resume, const std::atomic<bool>* cancel, CDownloadSink* sink = nullptr);

  // The local file of the next downloads never grows beyond this many bytes
  // (-1: no limit): a server that sends more than the file it announced in
  // its list cannot fill the disk.
  void SetSizeLimit(int64_t bytes) { m_nSizeLimit = bytes; }

  // Header-only probe: true when the answer carries exactly
  // "Accept-Ranges: bytes\r\n".
  bool IsRangeSupported(const WString& url, const WString& hostHeader);

  // IPv4 addresses of the URL's host from the system resolver, joined by
  // ","; "" when it cannot be resolved.
  WString ResolveHostIPs(const WString& url);

  // True when text is a dotted IPv4 address that prints back unchanged
  // (01.2.3.4, 1.2.3 and 255.255.255.255 are not).
  static bool IsIPv4Address(const WString& text);

  // ---- proxy.cpp ----
  // Reads the client's proxy file (config/LogonUserSetProxy.xml); true when
  // a proxy was configured, false (no proxy) otherwise.
  bool SetProxy(const WString& proxyFile);
  // The system's HTTP proxy as host:port, or "". userPwd, when given, gets
  // the credentials that came with it ("user:password", or "").
  WString GetIEProxy(WString* userPwd = nullptr);

  // ---- resolver.cpp ----
  // One IPv4 address of the URL's host as answered by 114.114.114.114
  // through the nslookup program (found on PATH), chosen at random among
  // the answers; "" when none.
  WString ResolveByPublicDns(const WString& url);
  // The IPv4 addresses in the resolver's output (NUL-free bytes), in order,
  // the resolver's own left out.
  static std::vector<WString> PublicDnsAddresses(const std::string& output);

  int32_t GetProxyType() const { return m_nProxyType; }
  const WString& GetProxy() const { return m_strProxy; }
  const WString& GetProxyUserPwd() const { return m_strProxyUserPwd; }

 private:
  int32_t m_nProxyType = -1;  // libcurl proxy type; -1 = direct
  WString m_strProxy;         // server:port
  WString m_strProxyUserPwd;  // name:password, may be empty
  int64_t m_nSizeLimit = -1;
};
