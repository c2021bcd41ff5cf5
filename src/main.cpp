// Start-up as far as the configuration: log the start, load and report
// the configuration of the installation this executable lives in.
#include "opfile/opfile.h"
#include "support/log.h"
#include "support/path.h"

int main() {
  const WString root = GetSelfDir();
  CLog::Instance()->SetPath(root + u"/Log/tarvex.log");
  LogWrite(LOG_INFO, "CUpdateDlg::OnInitDialog", u"升级程序启动，版本号:" + GetSelfVersion());

  COpFile op;
  if (!op.Init(root, 0, 2027)) {
    LogWrite(LOG_ERROR, "CUpdateDlg::OnInitDialog", u"读取升级配置失败");
    CLog::Release();
    return 1;
  }
  const char* kOp = "main";
  LogWrite(LOG_INFO, kOp, u"下载地址:" + op.GetDownloadBaseUrl());
  LogWrite(LOG_INFO, kOp, u"灰度下载地址:" + op.GetBetaDownloadUrl());
  LogWrite(LOG_INFO, kOp, u"客户端程序:" + op.GetBinFile());
  LogWrite(LOG_INFO, kOp, u"窗口标题:" + op.GetDialogWindowName());
  LogWrite(LOG_INFO, kOp, u"版本线:" + op.GetVersion() + u" 版本号:" + op.GetId());
  LogWrite(LOG_INFO, kOp, u"升级标志:" + WFromInt(op.GetUpdateFlag(root)) + u" 当前包:" +
                                  op.GetCurrentPackName(root + COpFile::kUpdateIni));
  LogWrite(LOG_INFO, kOp, u"提示延迟(秒):" + WFromInt(op.GetDelayTipTime()) + u" 重新检查(秒):" +
                                  WFromInt(op.GetReCheckTime()));
  LogWrite(LOG_INFO, "CUpdateDlg::OnDestroy", u"升级程序退出");
  CLog::Release();
  return 0;
}
