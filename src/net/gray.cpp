#include "net/gray.h"

#include <rapidjson/document.h>

#include <cstdlib>

#include "base/path_text.h"
#include "net/curl_common.h"
#include "net/net.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/json.h"
#include "support/log.h"

static_assert(CURL_ERROR_SIZE == 256, "CHttpRequest's error buffer holds CURL_ERROR_SIZE bytes");

namespace {

const char* kOp = "DownloadGrayUserInfo";

WString AsciiUpper(const WString& s) {
  WString r = s;
  for (auto& c : r)
    if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
  return r;
}

}  // namespace

// ---- CHttpRequest ----

CHttpRequest::CHttpRequest() {
  // Unlike the transfer this grew from, the peer is verified: the answer
  // decides where packs come from.
  m_curl = curl_easy_init();
  if (!m_curl) return;
  netcommon::ApplyTrust(m_curl);
  netcommon::ApplyProxy(m_curl, -1, std::string(), std::string());  // this query never uses a proxy
  netcommon::LimitRedirects(m_curl);
  curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_szError);
}

CHttpRequest::~CHttpRequest() {
  if (m_curl) curl_easy_cleanup(m_curl);
  curl_slist_free_all(m_headers);
}

size_t CHttpRequest::Writer(char* ptr, size_t size, size_t nmemb, void* userdata) {
  static_cast<std::string*>(userdata)->append(ptr, size * nmemb);
  return size * nmemb;
}

bool CHttpRequest::SetWriteTarget() {
  if (!m_curl) return false;
  return curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, Writer) == CURLE_OK &&
         curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_strBody) == CURLE_OK;
}

bool CHttpRequest::SetUrl(const std::string& url) {
  m_strUrl = url;
  return m_curl && curl_easy_setopt(m_curl, CURLOPT_URL, m_strUrl.c_str()) == CURLE_OK;
}

bool CHttpRequest::SetHeaders(const std::vector<std::string>& lines) {
  curl_slist_free_all(m_headers);
  m_headers = nullptr;
  for (const auto& l : lines) m_headers = curl_slist_append(m_headers, l.c_str());
  return m_curl && curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers) == CURLE_OK;
}

int CHttpRequest::Post(const std::string& body) {
  if (!m_curl) return kNoHandle;
  bool ok = curl_easy_setopt(m_curl, CURLOPT_POST, 1L) == CURLE_OK &&
            curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.c_str()) == CURLE_OK &&
            curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE, (long)body.size()) == CURLE_OK &&
            curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(m_curl, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT, 15L) == CURLE_OK &&
            curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, m_nTimeoutMs) == CURLE_OK &&
            curl_easy_setopt(m_curl, CURLOPT_VERBOSE, 1L) == CURLE_OK;
  if (!ok) return kOptionRefused;
  m_strBody.clear();
  m_szError[0] = 0;
  CURLcode rc = curl_easy_perform(m_curl);
  m_nCurlResult = (int)rc;
  m_nResponseCode = 0;
  curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &m_nResponseCode);
  if (rc != CURLE_OK || m_nResponseCode != 200) return kFailed;
  return kOk;
}

// ---- the query ----

WString GetConfigServiceHost() {
  const char* over = getenv("QUILLUP_CONFIG_SERVICE_HOST");
  if (over && *over) return WideFromUtf8(over);
  return kConfigServiceHost;
}

bool GetInstallId(WString& id) {
  plat::RegKey key;
  if (key.Open(plat::RegRoot::LocalMachine, u"software\\Corvane\\yq")) {
    WString value;
    if (key.QueryString(u"", value) && !value.empty()) {
      id = value;
      key.Close();
      return true;
    }
    key.Close();
  }
  id = plat::GetProfileString(u"Install", u"key", u"", plat::CurrentDirectory() + NativeSeparators(u"/config/install.ini"), 100);
  return id.size() == 32;
}

void DownloadGrayUserInfo(bool& bGrayUser, WString& strGrayUrl) {
  WString id;
  bool fromSource = GetInstallId(id);
  LogWrite(LOG_INFO, kOp, u"InstallID:" + id);
  if (!fromSource && id.empty()) return;

  std::string body = "deviceId=" + GbkFromWide(AsciiUpper(id));

  CHttpRequest request;
  request.SetWriteTarget();
  request.SetUrl(GbkFromWide(u"https://" + GetConfigServiceHost() + kGrayQueryPath));
  request.SetHeaders({"platForm: pc", "appVersion: 2.9.0", "content-type:application/x-www-form-urlencoded"});
  request.SetTimeout(5000);
  if (request.Post(body) != CHttpRequest::kOk) {
    // A service that cannot prove who it is may be an impostor: say so.
    if (request.GetCurlResult() == CURLE_PEER_FAILED_VERIFICATION)
      LogWrite(LOG_WARN, kOp, u"证书校验失败:" + WideFromAnsi(request.GetErrorText()));
    return;
  }
  ApplyGrayAnswer(request.GetResponseBody(), bGrayUser, strGrayUrl);
}

void ApplyGrayAnswer(const std::string& answer, bool& bGrayUser, WString& strGrayUrl) {
  rapidjson::Document doc;
  // Iterative: the nesting depth of the answer must not decide the stack's.
  doc.Parse<rapidjson::kParseIterativeFlag>(answer.c_str(), answer.size());
  if (doc.HasParseError()) {
    // The log has no debug level: the answer follows at the lowest one.
    LogWrite(LOG_ERROR, kOp, u"解析JSON失败:");
    LogWrite(LOG_INFO, kOp, u"应答:" + WideFromUtf8(answer).substr(0, 200));
    return;
  }

  WString msg;
  int32_t status = -1;
  GetJsonString(doc, "msg", msg);
  GetJsonInt(doc, "status", status);
  if (status != 1) {
    LogWrite(LOG_ERROR, kOp, u"status:" + msg);
    return;
  }

  if (!doc.IsObject()) return;
  auto data = doc.FindMember("data");
  if (data == doc.MemberEnd() || !data->value.IsObject()) return;
  int32_t expire = 0;
  GetJsonInt(data->value, "expire", expire);
  if (expire == 0) return;
  bGrayUser = true;

  auto entity = data->value.FindMember("entity");
  if (entity == data->value.MemberEnd() || !entity->value.IsObject()) return;
  WString url;
  GetJsonString(entity->value, "downloadUrl", url);
  strGrayUrl = url;
  LogWrite(LOG_INFO, kOp, u"下载灰度地址:" + UrlForLog(strGrayUrl));
}
