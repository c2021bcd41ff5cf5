#include "support/log.h"
#include "support/path.h"

int main() {
  CLog::Instance()->SetPath(GetSelfDir() + u"/Log/tarvex.log");
  LogWrite(LOG_INFO, "main", u"升级程序启动，版本号:" + GetSelfVersion());
  CLog::Release();
  return 0;
}
