// Read-only registry, backed by .reg text files (REGEDIT4 or "Windows
// Registry Editor Version 5.00"; UTF-16LE with FF FE, else UTF-8, else code
// page 936):
//   HKEY_LOCAL_MACHINE  /etc/quillup/registry.reg
//   HKEY_CURRENT_USER   $XDG_CONFIG_HOME/quillup/registry.reg (~/.config)
// QUILLUP_REGISTRY_DIR, when set, holds both as HKLM.reg and HKCU.reg.
// Key and value names compare without ASCII case. Nothing is ever written.
#pragma once

#include <cstdint>
#include <map>

#include "base/text.h"

namespace plat {

enum class RegRoot { LocalMachine, CurrentUser };

class RegKey {
 public:
  // Reads the root's file afresh; false when the file or the key is missing.
  bool Open(RegRoot root, const WString& keyPath);
  void Close();
  bool IsOpen() const { return m_bOpen; }

  // value name "" = the key's default value ("@"). Strings: REG_SZ and
  // REG_EXPAND_SZ (unexpanded); false when missing or of another type.
  bool QueryString(const WString& name, WString& out) const;
  bool QueryDword(const WString& name, uint32_t& out) const;
  // Size in bytes as the system reports it (a string counts its UTF-16
  // terminator); -1 when the value is missing.
  int64_t QuerySize(const WString& name) const;

  struct Value {
    enum Type { String, Dword, Binary } type = String;
    WString text;
    uint32_t dword = 0;
    size_t binarySize = 0;
  };

 private:
  bool m_bOpen = false;
  std::map<WString, Value> m_values;  // names folded to lower case
};

// The system proxy of the Internet settings: true when one is in use
// (ProxyEnable dword 1 in the current user's Internet Settings key, else
// http_proxy/HTTP_PROXY set); server gets the ProxyServer value or, from
// the environment, its host:port, and userPwd (when given) the variable's
// user and password as "user:password", percent-decoded ("" when none).
bool QuerySystemProxy(WString& server, WString* userPwd = nullptr);

}  // namespace plat
