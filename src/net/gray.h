// Gray-release query: is this installation a gray (canary) user, and from
// which base address does it take its lists and packs.
//
// The configuration service's host is kConfigServiceHost; the environment
// variable QUILLUP_CONFIG_SERVICE_HOST (host or host:port) overrides it.
// Its certificate is verified like every other HTTPS transfer.
#pragma once

#include <string>
#include <vector>

#include "base/text.h"

// libcurl's handle types, declared as <curl/curl.h> does: its header would
// bring <windows.h> and its macros to every includer on Windows.
typedef void CURL;
struct curl_slist;

inline const WString kConfigServiceHost = u"commonconfig.corvane.com";
inline const WString kGrayQueryPath = u"/commonConfig/api/updateconfig/pcUpdateDetection";

// One HTTP request of the query (one per query, one thread).
class CHttpRequest {
 public:
  enum { kOk = 0, kOptionRefused = 1, kFailed = 2, kNoHandle = 3 };

  CHttpRequest();
  ~CHttpRequest();
  CHttpRequest(const CHttpRequest&) = delete;
  CHttpRequest& operator=(const CHttpRequest&) = delete;

  // Every received chunk is appended to the response body.
  bool SetWriteTarget();
  bool SetUrl(const std::string& url);
  bool SetHeaders(const std::vector<std::string>& lines);
  void SetTimeout(long milliseconds) { m_nTimeoutMs = milliseconds; }
  // POSTs body; kOk only for an answer with HTTP status 200.
  int Post(const std::string& body);

  const std::string& GetResponseBody() const { return m_strBody; }
  long GetResponseCode() const { return m_nResponseCode; }
  // libcurl's result of the last transfer and its reason in words.
  int GetCurlResult() const { return m_nCurlResult; }
  const char* GetErrorText() const { return m_szError; }

 private:
  static size_t Writer(char* ptr, size_t size, size_t nmemb, void* userdata);

  CURL* m_curl = nullptr;
  long m_nTimeoutMs = 30000;
  std::string m_strUrl;
  curl_slist* m_headers = nullptr;
  std::string m_strBody;
  long m_nResponseCode = 0;
  int m_nCurlResult = 0;
  // CURL_ERROR_SIZE (gray.cpp checks it).
  char m_szError[256] = {0};
};

// The service's host: QUILLUP_CONFIG_SERVICE_HOST when set, else the constant.
WString GetConfigServiceHost();

// The install id from HKLM\software\Corvane\yq (default value), else
// [Install] key of config/install.ini in the current directory. True when
// it came from the registry or has exactly 32 characters.
bool GetInstallId(WString& id);

// The caller sets bGrayUser false and strGrayUrl empty; this only ever sets
// the flag and fills the URL. Bounded by a 5 s time-out; never cancelled.
void DownloadGrayUserInfo(bool& bGrayUser, WString& strGrayUrl);

// The service's JSON answer read by the query's rules: sets bGrayUser and
// fills strGrayUrl (only ever), logging as the query does.
void ApplyGrayAnswer(const std::string& answer, bool& bGrayUser, WString& strGrayUrl);
