#include <windows.h>

#include <vector>

#include "platform/registry.h"

namespace plat {

// The key's values are read at Open, as the Linux stand-in reads its file:
// the answers are those of that moment.
bool RegKey::Open(RegRoot root, const WString& keyPath) {
  Close();
  std::wstring path(keyPath.begin(), keyPath.end());
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  HKEY key;
  if (RegOpenKeyExW(root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path.c_str(), 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  DWORD nameMax = 0, dataMax = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nameMax, &dataMax,
                       nullptr, nullptr) != ERROR_SUCCESS) {
    RegCloseKey(key);
    return false;
  }
  std::vector<wchar_t> name(nameMax + 1);
  std::vector<BYTE> data(dataMax + sizeof(wchar_t));
  for (DWORD i = 0;; ++i) {
    DWORD nameLen = (DWORD)name.size(), dataLen = dataMax, type = 0;
    LONG r = RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type, data.data(), &dataLen);
    if (r != ERROR_SUCCESS) break;
    Value v;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      const char16_t* text = (const char16_t*)data.data();
      size_t units = dataLen / 2;
      while (units > 0 && text[units - 1] == 0) --units;
      v.text.assign(text, units);
    } else if (type == REG_DWORD && dataLen == 4) {
      v.type = Value::Dword;
      v.dword = *(const uint32_t*)data.data();
    } else {
      v.type = Value::Binary;
      v.binarySize = dataLen;
    }
    m_values[WLower(WString(name.data(), name.data() + nameLen))] = v;
  }
  RegCloseKey(key);
  m_bOpen = true;
  return true;
}

bool QuerySystemProxy(WString& server, WString* userPwd) {
  server.clear();
  if (userPwd) userPwd->clear();
  RegKey key;
  uint32_t enable = 0;
  if (!key.Open(RegRoot::CurrentUser, u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings") ||
      !key.QueryDword(u"ProxyEnable", enable) || enable != 1)
    return false;
  key.QueryString(u"ProxyServer", server);
  return true;
}

}  // namespace plat
