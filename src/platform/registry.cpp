// What a key answers once its values are read, on every system.
#include "platform/registry.h"

namespace plat {

void RegKey::Close() {
  m_bOpen = false;
  m_values.clear();
}

bool RegKey::QueryString(const WString& name, WString& out) const {
  auto it = m_values.find(WLower(name));
  if (!m_bOpen || it == m_values.end() || it->second.type != Value::String) return false;
  out = it->second.text;
  return true;
}

bool RegKey::QueryDword(const WString& name, uint32_t& out) const {
  auto it = m_values.find(WLower(name));
  if (!m_bOpen || it == m_values.end() || it->second.type != Value::Dword) return false;
  out = it->second.dword;
  return true;
}

int64_t RegKey::QuerySize(const WString& name) const {
  auto it = m_values.find(WLower(name));
  if (!m_bOpen || it == m_values.end()) return -1;
  switch (it->second.type) {
    case Value::String: return (int64_t)(it->second.text.size() + 1) * 2;
    case Value::Dword: return 4;
    default: return (int64_t)it->second.binarySize;
  }
}

}  // namespace plat
