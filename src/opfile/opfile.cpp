#include "opfile/opfile.h"

COpFile::COpFile() {
  // No bare drive name exists here: the drive list stays empty.
}

void COpFile::PostProgress(int percent) const {
  if (m_progress) m_progress(percent);
}
