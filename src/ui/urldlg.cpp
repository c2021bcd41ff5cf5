#include "ui/notices.h"

namespace {
DlgTemplate UrlTemplate() {
  DlgTemplate t;
  t.cx = 215;
  t.cy = 73;
  t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE;
  t.caption = u"提示";
  t.baseX = kShellDlg8BaseX;
  t.baseY = kShellDlg8BaseY;
  t.font = plat::DefaultGuiFont();
  t.items = {
      {-1, DlgItemKind::Static, 5, 21, 97, 8, u"客户端缺失必要文件，请到", SS_RIGHT},
      {1004, DlgItemKind::Static, 106, 21, 42, 8, u"Corvane网", SS_LEFT},
      {-1, DlgItemKind::Static, 152, 21, 57, 8, u"重新下载安装！", SS_LEFT},
      {plat::IDOK, DlgItemKind::Button, 82, 50, 50, 16, u"确定", BS_DEFPUSHBUTTON},
  };
  return t;
}
}  // namespace

CUrlDlg::CUrlDlg(CWnd* parent) : CDialog(UrlTemplate(), parent) {}

void CUrlDlg::DoDataExchange() { DDX_Control(1004, m_link); }

bool CUrlDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_link.SetLink(ui::kMakerUrl, ui::kLinkClickedMsg);
  return true;
}

LRESULT CUrlDlg::WindowProc(UINT msg, WPARAM w, LPARAM l) {
  if (msg == ui::kLinkClickedMsg) {
    EndDialog(plat::IDOK);
    return 1;
  }
  return CDialog::WindowProc(msg, w, l);
}
