#include "opfile/opfile.h"

#include "platform/window.h"

COpFile::COpFile() {
  // No bare drive name exists here: the drive list stays empty.
}

void COpFile::PostProgress(int percent) const {
  if (m_hProgressWnd) plat::PostMessage(m_hProgressWnd, m_uProgressMsg, (plat::WPARAM)percent, 0);
}
