#include "app/signed_download.h"

#include <ctime>

#include "app/download.h"
#include "support/log.h"
#include "support/path.h"
#include "support/sha256.h"

namespace packdl {
namespace {

const char* kOpList = "CUpdateDlg::VerifySignedList";
const char* kOpZip = "CUpdateDlg::DowndloadZipFiles";
const char16_t* kSigSuffix = u".sig";

}  // namespace

bool VerifySignedList(CNet& net, const COpFile& op, const WString& url, const WString& localList,
                      const WString& resolvedAddress, bool forced, std::atomic<bool>& cancel) {
  WString sigUrl = url + kSigSuffix;
  const WString sigPath = localList + kSigSuffix;
  WString host;
  if (!resolvedAddress.empty()) {
    host = GetHostFromUrl(sigUrl);
    sigUrl = ReplaceHttpHost(sigUrl, host, resolvedAddress);
  }
  DeleteReadOnlyToo(sigPath);
  bool resume = false;
  std::string reason;
  bool ok;
  if (!net.Download(sigUrl, host, sigPath, nullptr, &resume, &cancel)) {
    DeleteReadOnlyToo(sigPath);
    if (cancel) return false;  // the caller reports the cancel
    reason = "missing signature";
    ok = false;
  } else {
    ok = op.CheckSignedList(localList, sigPath, forced, (int64_t)time(nullptr), reason);
  }
  DeleteReadOnlyToo(sigPath);
  if (!ok) LogWrite(LOG_ERROR, kOpList, u"拒绝升级列表:" + UrlForLog(url) + u" (" + WideFromUtf8(reason) + u")");
  return ok;
}

bool CheckPackSha256(const WString& baseUrl, const std::vector<ServicePack>& packs,
                     const std::vector<WString>& files, const std::vector<std::string>* known) {
  for (size_t i = 0; i < packs.size(); ++i) {
    const WString url = baseUrl + u"/" + PackFileName(packs[i].strName);
    const WString local = i < files.size() ? files[i] : WString();
    const bool taken = known && i < known->size() && !(*known)[i].empty();
    WString actual = WideFromUtf8(taken ? (*known)[i] : FileSha256Hex(local));
    if (packs[i].strSha256.empty() || actual.empty() || !WEqualsNoCase(actual, packs[i].strSha256)) {
      LogWrite(LOG_ERROR, kOpZip, u"校验文件sha256失败:" + UrlForLog(url));
      if (!local.empty()) DeleteReadOnlyToo(local);
      return false;
    }
  }
  return true;
}

}  // namespace packdl
