#include "platform/file.h"

namespace plat {

bool File::Write(const void* buf, size_t n) {
  if (m_pending.size() + n <= m_bufferSize) {
    m_pending.append((const char*)buf, n);
    return true;
  }
  if (!Drain()) return false;
  if (n < m_bufferSize) {
    m_pending.assign((const char*)buf, n);
    return true;
  }
  return WriteOut(buf, n);
}

bool File::Drain() {
  if (m_pending.empty()) return true;
  const bool ok = WriteOut(m_pending.data(), m_pending.size());
  m_pending.clear();
  return ok;
}

}  // namespace plat
