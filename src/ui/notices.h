// The two notices: the update-ready toast (CTipDlg) and the missing-files
// notice (CUrlDlg). Both are modal; their owner keeps receiving messages.
#pragma once

#include "ui/controls.h"

namespace ui {
// The maker's web site, opened by the missing-files notice.
inline const WString kMakerUrl = u"https://www.corvane.com/";
constexpr UINT kLinkClickedMsg = 2024;
constexpr UINT_PTR kCountdownTimer = 2024;
constexpr COLORREF kTipBkColor = 0xFAF6EF;
constexpr COLORREF kTipBorderColor = 0x978258;
constexpr COLORREF kTipCountColor = 0xCC4940;
}  // namespace ui

// The toast in the bottom-right corner of the work area: OK (quit the
// client and update now) or Cancel (close cross, the countdown ran out,
// or WM_CLOSE). Headless it runs its countdown to the end.
class CTipDlg : public CDialog {
 public:
  enum { IDD = 130 };
  explicit CTipDlg(CWnd* parent = nullptr);
  int GetCounter() const { return m_nCounter; }
  int HeadlessAnswer() const override { return 0; }

  CLabel m_lblTitle;    // 1004
  CLabel m_lblMessage;  // 1002
  CLabel m_lblCount;    // 1006
  CLabel m_lblSeconds;  // 1005
  CColorBtn m_btnOk;    // IDOK
  CColorBtn m_btnClose; // IDCANCEL

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  void OnTimer(UINT_PTR id) override;
  void OnPaint(CDC& dc) override;
  bool OnEraseBkgnd(CDC&) override { return true; }
  LRESULT OnNcHitTest(CPoint) override { return plat::HTCAPTION; }
  void OnDestroy() override;

 private:
  int m_nCounter = 10;
};

// "客户端缺失必要文件，请到" [Corvane网] "重新下载安装！" with OK; the link
// opens the maker's site and closes the notice as OK.
class CUrlDlg : public CDialog {
 public:
  enum { IDD = 133 };
  explicit CUrlDlg(CWnd* parent = nullptr);
  LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override;

  CHyperLnk m_link;  // 1004

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
};
