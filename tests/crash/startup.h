// The record handling of a start, in the order the start-up runs it: the
// crash helper and the test process share it.
#pragma once

#include "opfile/opfile.h"
#include "platform/files.h"
#include "support/path.h"

namespace crashtest {

// 0 done (or no record), 2 record processing failed, 3 enabling failed.
inline int HandleRecordAtStart(COpFile& op, const WString& root) {
  const WString record = root + u"/update/tarvex.rcd";
  if (!plat::PathExists(record)) return 0;
  bool complete = op.IsRecordComplete(record);
  bool inRecord = false;
  if (!op.ProcessRecordFile(record, op.GetClientExePath(root), inRecord)) return 2;
  if (!op.EnableClientExe(root, complete && inRecord)) return 3;
  ClearReadOnly(record);
  plat::DeleteFile(record);
  return 0;
}

}  // namespace crashtest
