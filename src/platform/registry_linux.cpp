#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/registry.h"

namespace plat {
namespace {

const WString kInternetSettings = u"software\\microsoft\\windows\\currentversion\\internet settings";

// "p%40ss" -> "p@ss": user information in a URL is percent-encoded.
std::string PercentDecoded(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1]) && isxdigit((unsigned char)s[i + 2])) {
      out.push_back((char)std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string RegFilePath(RegRoot root) {
  const char* dir = getenv("QUILLUP_REGISTRY_DIR");
  if (dir && *dir) return std::string(dir) + (root == RegRoot::LocalMachine ? "/HKLM.reg" : "/HKCU.reg");
  if (root == RegRoot::LocalMachine) return "/etc/quillup/registry.reg";
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/quillup/registry.reg";
  const char* home = getenv("HOME");
  return std::string(home ? home : "") + "/.config/quillup/registry.reg";
}

WString DecodeText(const std::string& bytes) {
  size_t skip = 0;
  const TextBom bom = SniffBom(bytes, skip);
  if (bom == TextBom::Utf16le) return WideFromUtf16le(bytes.data() + skip, bytes.size() - skip);
  std::string b = bytes.substr(skip);
  if (b.empty()) return WString();
  WString w = WideFromUtf8(b);
  return w.empty() ? WideFromGbk(b) : w;
}

// Key path without its root and trailing separators, lower case.
WString NormalizeKey(const WString& path, bool stripRoot, RegRoot root, bool& rootMatches) {
  WString p = path;
  for (auto& c : p)
    if (c == u'/') c = u'\\';
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  rootMatches = true;
  if (stripRoot) {
    size_t sep = p.find(u'\\');
    WString first = WLower(p.substr(0, sep));
    bool lm = first == u"hkey_local_machine" || first == u"hklm";
    bool cu = first == u"hkey_current_user" || first == u"hkcu";
    rootMatches = root == RegRoot::LocalMachine ? lm : cu;
    p = sep == WString::npos ? WString() : p.substr(sep + 1);
  }
  return WLower(p);
}

// A quoted .reg string starting at s[pos] == '"'; pos ends after the closing quote.
bool ParseQuoted(const WString& s, size_t& pos, WString& out) {
  out.clear();
  if (pos >= s.size() || s[pos] != u'"') return false;
  for (++pos; pos < s.size(); ++pos) {
    char16_t c = s[pos];
    if (c == u'\\' && pos + 1 < s.size()) {
      out.push_back(s[++pos]);
    } else if (c == u'"') {
      ++pos;
      return true;
    } else {
      out.push_back(c);
    }
  }
  return false;
}

std::vector<unsigned char> ParseHexBytes(const WString& s) {
  std::vector<unsigned char> bytes;
  int nibbles = 0, value = 0;
  for (char16_t c : s) {
    int d = -1;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
    if (d < 0) {
      if (nibbles) bytes.push_back((unsigned char)value);
      nibbles = value = 0;
      continue;
    }
    value = value * 16 + d;
    if (++nibbles == 2) {
      bytes.push_back((unsigned char)value);
      nibbles = value = 0;
    }
  }
  if (nibbles) bytes.push_back((unsigned char)value);
  return bytes;
}

bool ParseValueLine(const WString& line, WString& name, RegKey::Value& v) {
  size_t pos = 0;
  if (line[0] == u'@') {
    name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, pos, name)) {
    return false;
  }
  while (pos < line.size() && line[pos] == u' ') ++pos;
  if (pos >= line.size() || line[pos] != u'=') return false;
  ++pos;
  while (pos < line.size() && line[pos] == u' ') ++pos;
  WString data = line.substr(pos);
  WString lower = WLower(data);
  if (!data.empty() && data[0] == u'"') {
    size_t p = 0;
    v.type = RegKey::Value::String;
    return ParseQuoted(data, p, v.text);
  }
  if (lower.compare(0, 6, u"dword:") == 0) {
    v.type = RegKey::Value::Dword;
    v.dword = (uint32_t)WToUlongHex(data.substr(6));
    return true;
  }
  if (lower.compare(0, 7, u"hex(2):") == 0) {  // REG_EXPAND_SZ as UTF-16LE bytes
    std::vector<unsigned char> b = ParseHexBytes(data.substr(7));
    v.type = RegKey::Value::String;
    v.text = WideFromUtf16le((const char*)b.data(), b.size());
    v.text.resize(std::min(v.text.size(), v.text.find(u'\0')));
    return true;
  }
  if (lower.compare(0, 3, u"hex") == 0) {
    size_t colon = data.find(u':');
    if (colon == WString::npos) return false;
    v.type = RegKey::Value::Binary;
    v.binarySize = ParseHexBytes(data.substr(colon + 1)).size();
    return true;
  }
  return false;  // "-" (deletion) and anything unknown
}

}  // namespace

bool RegKey::Open(RegRoot root, const WString& keyPath) {
  Close();
  std::ifstream f(RegFilePath(root), std::ios::binary);
  if (!f) return false;
  std::stringstream ss;
  ss << f.rdbuf();
  WString text = DecodeText(ss.str());

  bool dummy;
  WString wanted = NormalizeKey(keyPath, false, root, dummy);
  bool inKey = false, found = false;
  WString pending;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\n', start);
    WString line = text.substr(start, end == WString::npos ? WString::npos : end - start);
    start = end == WString::npos ? text.size() + 1 : end + 1;
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    // Long hex values continue on the next line after a trailing backslash.
    if (!pending.empty()) {
      line = pending + WTrim(line);
      pending.clear();
    }
    WString t = WTrim(line);
    if (!t.empty() && t.back() == u'\\' && t.find(u"=hex") != WString::npos) {
      pending = t.substr(0, t.size() - 1);
      continue;
    }
    if (t.empty() || t[0] == u';') continue;
    if (t[0] == u'[') {
      size_t close = t.rfind(u']');
      WString key = t.substr(1, close == WString::npos ? WString::npos : close - 1);
      if (!key.empty() && key[0] == u'-') {
        inKey = false;
        continue;
      }
      bool rootMatches;
      WString k = NormalizeKey(key, true, root, rootMatches);
      inKey = rootMatches && k == wanted;
      if (inKey) found = true;
      continue;
    }
    if (!inKey) continue;
    WString name;
    Value v;
    if (ParseValueLine(t, name, v)) m_values[WLower(name)] = v;
  }
  m_bOpen = found;
  if (!found) m_values.clear();
  return found;
}

bool QuerySystemProxy(WString& server, WString* userPwd) {
  server.clear();
  if (userPwd) userPwd->clear();
  RegKey key;
  uint32_t enable = 0;
  if (key.Open(RegRoot::CurrentUser, kInternetSettings) && key.QueryDword(u"ProxyEnable", enable) && enable == 1) {
    key.QueryString(u"ProxyServer", server);
    return true;
  }
  const char* env = getenv("http_proxy");
  if (!env || !*env) env = getenv("HTTP_PROXY");
  if (!env || !*env) return false;
  // [scheme://][user[:password]@]host:port[/...] -> host:port
  std::string s = env;
  size_t scheme = s.find("://");
  if (scheme != std::string::npos) s = s.substr(scheme + 3);
  size_t slash = s.find('/');
  if (slash != std::string::npos) s = s.substr(0, slash);
  size_t at = s.rfind('@');
  if (at != std::string::npos) {
    if (userPwd) {
      std::string user = s.substr(0, at), password;
      size_t colon = user.find(':');
      if (colon != std::string::npos) {
        password = user.substr(colon + 1);
        user.resize(colon);
      }
      *userPwd = WideFromUtf8(PercentDecoded(user) + ":" + PercentDecoded(password));
    }
    s = s.substr(at + 1);
  }
  server = WideFromUtf8(s);
  return !server.empty();
}

}  // namespace plat
