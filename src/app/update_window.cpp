// The real window of the driver: the update window's look (CUpdateDlgView)
// with the framework's hooks handed to CUpdateDlg, and the two notices.
#include <cstdio>
#include <memory>

#include "app/constants.h"
#include "app/update_dlg.h"
#include "app/update_view.h"
#include "ui/notices.h"
#include "ui/updatedlg_view.h"

namespace quillup {

namespace {

// Without a screen nobody reads a message box or a notice: its words go to
// standard error, as the status lines do.
void TellHeadless(const WString& title, const WString& text) {
  if (plat::IsHeadless()) fprintf(stderr, "%s: %s\n", Utf8FromWide(title).c_str(), Utf8FromWide(text).c_str());
}

class CUpdateWindow : public CUpdateDlgView, public CUpdateView {
 public:
  CUpdateWindow(CUpdateDlg& dlg, COpFile& opFile) : m_dlg(dlg), m_opFile(opFile) {}

  // ---- CUpdateView ----
  int RunModal() override { return DoModal(); }
  void EndDialog(int result) override { CDialog::EndDialog(result); }
  plat::HWND Handle() override { return GetSafeHwnd(); }
  void SetIcons() override {}  // set by the look's own initialisation
  void SetTitle(const WString& title) override { SetWindowText(title); }
  void LoadSkinAndLayout(const WString& rootDir) override {
    LoadSkin(m_opFile, rootDir);
    LayoutSkin();
  }
  void SetTextColor(uint32_t c) override { CUpdateDlgView::SetTextColor(c); }
  void SetStatusText(const WString& t) override {
    CUpdateDlgView::SetStatusText(t);
    // Without a screen the status line is still there to be read.
    if (plat::IsHeadless()) fprintf(stderr, "%s\n", Utf8FromWide(t).c_str());
  }
  void SetPercentText(const WString& t) override { CUpdateDlgView::SetPercentText(t); }
  void EnableStop(bool e) override { CUpdateDlgView::EnableStop(e); }
  WndRect EnterBackgroundLook(const WString& title) override {
    CRect saved;
    CUpdateDlgView::EnterBackgroundLook(title, saved);
    return {saved.left, saved.top, saved.right, saved.bottom};
  }
  void ReturnToForegroundLook(const WString& title, const WndRect& r) override {
    CRect saved(r.left, r.top, r.right, r.bottom);
    CUpdateDlgView::ReturnToForegroundLook(title, saved);
  }
  void SetTimer(uint32_t id, uint32_t ms) override { CWnd::SetTimer(id, ms); }
  void KillTimer(uint32_t id) override { CWnd::KillTimer(id); }
  bool PumpPendingMessages() override { return plat::PumpMessages(); }
  bool IsUnattended() override { return plat::IsHeadless(); }
  int MessageBox(const WString& text, const WString& title, uint32_t style) override {
    TellHeadless(title, text);
    return plat::MessageBox(GetSafeHwnd(), text, title, style);
  }
  int RunTipDlg() override {
    TellHeadless(u"Corvane更新", u"更新下载完成，下次启动后生效");
    m_tip = std::make_unique<CTipDlg>(this);
    int r = m_tip->DoModal();
    m_tip.reset();
    return r;
  }
  void CloseTipDlg() override {
    if (m_tip && m_tip->GetSafeHwnd()) m_tip->PostMessage(plat::WM_CLOSE);
  }
  void RunUrlDlg() override {
    TellHeadless(u"提示", u"客户端缺失必要文件，请到Corvane网(" + ui::kMakerUrl + u")重新下载安装！");
    CUrlDlg notice;
    notice.DoModal();
  }

  // ---- framework hooks ----
  LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override {
    if (msg == WM_UPDATE_STATUS || msg == WM_UPDATE_PERCENT || msg == WM_UPDATE_ENABLE_STOP ||
        msg == WM_UPDATE_WORK_DONE || msg == WM_UPDATE_SHOW_TIP || msg == WM_UPDATE_CLIENT_ERROR ||
        msg == WM_UPDATE_SHOW_WINDOW)
      return m_dlg.WindowProc(msg, w, l);
    return CUpdateDlgView::WindowProc(msg, w, l);
  }

 protected:
  bool OnInitDialog() override {
    CUpdateDlgView::OnInitDialog();
    // Other processes may only raise the window or show the toast; every
    // other private message carries an address of this process.
    AllowRemoteMessage(WM_UPDATE_SHOW_WINDOW);
    AllowRemoteMessage(WM_UPDATE_SHOW_TIP);
    return m_dlg.OnInitDialog();
  }
  void OnTimer(UINT_PTR id) override { m_dlg.OnTimer((uint32_t)id); }
  bool OnCommand(WPARAM w, LPARAM l) override {
    if (plat::LoWord(w) == kIdStop && (UINT)plat::HiWord(w) == plat::BN_CLICKED) {
      m_dlg.OnStopClicked();
      return true;
    }
    return CUpdateDlgView::OnCommand(w, l);
  }
  void OnOK() override { m_dlg.OnOK(); }
  void OnCancel() override { m_dlg.OnCancel(); }
  bool OnQueryEndSession() override { return m_dlg.OnQueryEndSession(); }
  void OnDestroy() override { m_dlg.OnDestroy(); }

 private:
  CUpdateDlg& m_dlg;
  COpFile& m_opFile;
  std::unique_ptr<CTipDlg> m_tip;
};

}  // namespace

std::unique_ptr<CUpdateView> CreateUpdateView(CUpdateDlg& dlg, COpFile& opFile) {
  return std::make_unique<CUpdateWindow>(dlg, opFile);
}

}  // namespace quillup
