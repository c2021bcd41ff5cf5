#include "app/download.h"

#include <cstdio>

#include "app/constants.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/md5.h"
#include "support/path.h"
#include "support/sha256.h"

namespace packdl {
namespace {

const char* kOpList = "CUpdateDlg::DowndloadPacksXml";
const char* kOpZip = "CUpdateDlg::DowndloadZipFiles";

bool Md5Matches(const WString& expected, const WString& path) {
  return expected.empty() || WEqualsNoCase(FileMd5(path), expected);
}

// The archive's digests, taken while it is written: the MD5 always, the
// SHA-256 of a signed list when asked for.
class PackDigestSink : public CDownloadSink {
 public:
  explicit PackDigestSink(bool sha256) : m_withSha256(sha256) {}
  void Reset() override {
    m_md5.Reset();
    if (m_withSha256) m_sha256.Reset();
  }
  void Update(const void* data, size_t len) override {
    m_md5.Update(data, len);
    if (m_withSha256) m_sha256.Update(data, len);
  }
  WString Md5Hex() { return W(m_md5.FinalHex().c_str()); }
  std::string Sha256Hex() { return m_withSha256 ? m_sha256.FinalHex() : std::string(); }

 private:
  bool m_withSha256;
  CMd5 m_md5;
  CSha256 m_sha256;
};

}  // namespace

void DeleteReadOnlyToo(const WString& path) {
  ClearReadOnly(path);
  plat::DeleteFile(path);
}

WString PackFileName(const WString& name) {
  if (name.size() < 4 || name.compare(name.size() - 4, 4, u".zip") != 0) return name + u".zip";
  return name;
}

bool DowndloadPacksXml(CNet& net, const WString& url, const WString& localPath, WString& resolvedAddress,
                       bool allowDnsFallback, std::atomic<bool>& cancel) {
  resolvedAddress.clear();
  bool resume = false;
  if (net.Download(url, WString(), localPath, nullptr, &resume, &cancel)) return true;
  if (!allowDnsFallback || cancel) return false;

  // The Host header keeps the port; the name alone is what gets resolved.
  WString host = GetHostFromUrl(url);
  if (CNet::IsIPv4Address(HostNameOnly(host))) return false;

  LogWrite(LOG_INFO, kOpList, u"通过114查询域名...");
  WString address = net.ResolveByPublicDns(url);
  if (address.empty()) {
    LogWrite(LOG_WARN, kOpList, u"通过114查询域名失败！");
    return false;
  }
  LogWrite(LOG_INFO, kOpList, u"通过114查到IP:" + address);
  WString byAddress = ReplaceHttpHost(url, host, address);
  if (!net.Download(byAddress, host, localPath, nullptr, &resume, &cancel)) return false;
  resolvedAddress = address;
  return true;
}

bool DowndloadZipFiles(CNet& net, const WString& resolvedAddress, const WString& baseUrl, const WString& stagingDir,
                       const std::vector<ServicePack>& packs, std::vector<WString>& downloadedFiles,
                       const StatusHandler& show, const ProgressHandler& percent, std::atomic<bool>& cancel, std::vector<std::string>* sha256s) {
  downloadedFiles.clear();
  if (sha256s) sha256s->clear();
  if (packs.empty()) return true;
  // Each archive is held to the size its list announced.
  struct Unlimit {
    CNet& net;
    ~Unlimit() { net.SetSizeLimit(-1); }
  } unlimit{net};
  bool resume = true;  // once for the whole call: a fresh start stays fresh

  for (size_t i = 0; i < packs.size(); ++i) {
    const ServicePack& pack = packs[i];

    // 1. Status.
    WString status;
    if (packs.size() == 1 && !pack.strName.empty() && pack.strName[0] != u'p') {
      status = u"下载全量更新，请稍候...";
    } else {
      char buf[64];
      snprintf(buf, sizeof buf, "[%d]...", (int)(i + 1));
      status = u"下载升级文件" + W(buf);
    }
    if (show) show(status);
    LogWrite(LOG_INFO, kOpZip, status);

    // 2. Names.
    WString url = baseUrl + u"/" + PackFileName(pack.strName);
    const WString local = stagingDir + u"/" + PackFileName(pack.strName);

    // 3. Reuse a complete archive of an earlier run.
    int64_t size = GetFileSizeByPath(local);
    if (size >= 0 && size == pack.nSize) {
      if (Md5Matches(pack.strMd5, local)) {
        LogWrite(LOG_INFO, kOpZip, u"本地已存在:" + UrlForLog(url));
        downloadedFiles.push_back(local);
        if (sha256s) sha256s->emplace_back();
        continue;
      }
      LogWrite(LOG_WARN, kOpZip, u"本地文件md5校验失败:" + UrlForLog(url));
      DeleteReadOnlyToo(local);
    }

    // 4. Through the address the list was fetched from.
    WString host;
    if (!resolvedAddress.empty()) {
      host = GetHostFromUrl(url);
      url = ReplaceHttpHost(url, host, resolvedAddress);
    }

    // 5.-7. Transfer, with one fresh retry of a failed resumed one.
    LogWrite(LOG_INFO, kOpZip, u"下载文件:" + UrlForLog(url));
    // One byte more than announced is enough to know the answer is wrong.
    net.SetSizeLimit((int64_t)pack.nSize + 1);
    PackDigestSink digest(sha256s && !pack.strSha256.empty());
    bool ok = net.Download(url, host, local, percent, &resume, &cancel, &digest);
    if (ok && resume && GetFileSizeByPath(local) != pack.nSize) ok = false;
    if (!ok) {
      bool retried = false;
      if (resume && !cancel) {
        resume = false;
        LogWrite(LOG_INFO, kOpZip, u"重试下载:" + UrlForLog(url));
        retried = net.Download(url, host, local, percent, &resume, &cancel, &digest);
      }
      if (!retried) {
        if (cancel)
          LogWrite(LOG_WARN, kOpZip, u"取消下载:" + UrlForLog(url));
        else if (GetFileSizeByPath(local) > pack.nSize)
          LogWrite(LOG_ERROR, kOpZip, u"文件大小非法:" + UrlForLog(url));
        else
          LogWrite(LOG_ERROR, kOpZip, u"下载失败:" + UrlForLog(url));
        return false;
      }
    }

    // 8. Size: a wrong one stays for a later resume.
    if (GetFileSizeByPath(local) != pack.nSize) {
      LogWrite(LOG_ERROR, kOpZip, u"文件大小非法:" + UrlForLog(url));
      return false;
    }
    // 9. MD5, as written: a wrong one is of no use to anybody.
    if (!pack.strMd5.empty() && !WEqualsNoCase(digest.Md5Hex(), pack.strMd5)) {
      LogWrite(LOG_ERROR, kOpZip, u"校验文件md5失败:" + UrlForLog(url));
      DeleteReadOnlyToo(local);
      return false;
    }
    downloadedFiles.push_back(local);
    if (sha256s) sha256s->push_back(digest.Sha256Hex());
  }
  return true;
}

}  // namespace packdl
