#include "net/net.h"
#include "platform/registry.h"
#include "support/log.h"
#include "support/xml.h"

namespace {

const char* kOpSetProxy = "CNet::SetProxy";
const WString kInternetSettings = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Text of the named child of the current parent, "" when it is missing.
WString ChildText(XmlDocument& doc, const WString& name) {
  doc.RewindLevel();
  return doc.FindElement(name) ? doc.GetElementText() : WString();
}

}  // namespace

bool CNet::SetProxy(const WString& proxyFile) {
  m_nProxyType = -1;
  if (proxyFile.empty()) return false;
  XmlDocument doc;
  if (!doc.LoadFile(proxyFile)) return false;
  doc.RewindLevel();
  if (!doc.FindElement(u"Profile") || !doc.EnterElement()) return false;
  doc.RewindLevel();
  if (!doc.FindElement(u"Proxy") || !doc.EnterElement()) return false;

  WString type = ChildText(doc, u"Type");
  WString server = ChildText(doc, u"Server");
  WString port = ChildText(doc, u"Port");
  WString name = ChildText(doc, u"Name");
  WString password = ChildText(doc, u"Password");
  WString useIe = ChildText(doc, u"UseIESetting");

  if (WToInt(useIe) != 0) {
    WString userPwd;
    WString ie = GetIEProxy(&userPwd);
    if (ie.empty()) return false;
    m_nProxyType = 0;  // CURLPROXY_HTTP
    m_strProxy = ie;
    m_strProxyUserPwd = userPwd;
    LogWrite(LOG_INFO, kOpSetProxy, u"使用ie代理设置:" + m_strProxy);
    return true;
  }

  int32_t mapped;
  switch (WToInt(type)) {
    case 1: mapped = 0; break;  // CURLPROXY_HTTP
    case 2: mapped = 4; break;  // CURLPROXY_SOCKS4
    case 3: mapped = 5; break;  // CURLPROXY_SOCKS5
    default: return false;
  }
  if (server.empty() || WToInt(port) <= 0) return false;
  m_nProxyType = mapped;
  m_strProxyUserPwd.clear();
  // An IPv6 address needs brackets, or its last group reads as the port.
  bool ipv6 = server.find(u':') != WString::npos && server[0] != u'[';
  m_strProxy = (ipv6 ? u"[" + server + u"]" : server) + u":" + port;
  if (!name.empty() && !password.empty()) m_strProxyUserPwd = name + u":" + password;
  // The log shows which user name is in use, never the password.
  LogWrite(LOG_INFO, kOpSetProxy, u"使用代理:" + m_strProxy + u"|" + (m_strProxyUserPwd.empty() ? WString() : name));
  return true;
}

WString CNet::GetIEProxy(WString* userPwd) {
  if (userPwd) userPwd->clear();
  WString systemServer, systemUserPwd;
  if (!plat::QuerySystemProxy(systemServer, &systemUserPwd)) return WString();

  // A proxy switched on in the Internet settings is read from there; one
  // that only the environment names (http_proxy) comes with the answer.
  WString text = systemServer;
  plat::RegKey key;
  uint32_t enable = 0;
  if (key.Open(plat::RegRoot::CurrentUser, kInternetSettings) && key.QueryDword(u"ProxyEnable", enable) &&
      enable == 1) {
    int64_t size = key.QuerySize(u"ProxyServer");
    if (size <= 0 || size > 4095) return WString();
    if (!key.QueryString(u"ProxyServer", text)) return WString();
    key.Close();
    systemUserPwd.clear();  // the Internet settings hold no credentials
  }

  text = WTrim(text);
  size_t http = text.find(u"http=");
  if (http != WString::npos) {
    size_t start = http + 5;
    size_t semi = text.find(u';', start);
    text = semi == WString::npos ? WString() : text.substr(start, semi - start);
  }
  if (userPwd && !text.empty()) *userPwd = systemUserPwd;
  return text;
}
