// The look of the update window: the skin with the status text, the
// percentage and the stop button along its bottom edge. CUpdateDlg (the
// driver) derives from CUpdateDlgView and drives it:
//
//   class CUpdateDlg : public CUpdateDlgView {
//     void DoDataExchange() override { CUpdateDlgView::DoDataExchange(); }  // binds 1001-1003
//     bool OnInitDialog() override {
//       CUpdateDlgView::OnInitDialog();   // base initialisation, both icons (128)
//       ...
//       LoadSkin(m_opFile, m_strRootDir);  // SPLASH_BMP_FILE, else bitmap 129
//       LayoutSkin();                      // size to the skin, controls, centre
//       ...  EnterBackgroundLook(instanceName, saved) or SetWindowText(...)
//       SetTextColor(m_opFile.GetStatusBarTextColor());
//     }
//   };
//
// Setters for the window procedure: SetStatusText (2026), SetPercentText
// (2027, already formatted "%3d%%"), EnableStop (2028). Painting, the
// background erase and the caption hit test (drag anywhere but the stop
// button) are done here; the stop button's click reaches OnCommand as
// (kIdStop, BN_CLICKED). Background mode's look is EnterBackgroundLook /
// ReturnToForegroundLook; the driver decides when.
#pragma once

#include "opfile/opfile.h"
#include "ui/controls.h"

class CUpdateDlgView : public CDialog {
 public:
  enum { IDD = 102, kIdPercent = 1001, kIdStatus = 1002, kIdStop = 1003 };
  explicit CUpdateDlgView(CWnd* parent = nullptr);

  // COpFile::LoadSplashBitmap, or the built-in skin 129 when that fails.
  // True when the skin file was used.
  bool LoadSkin(COpFile& opFile, const WString& rootDir);
  // Window to (0, 0) at the skin's size, the three controls along the
  // bottom edge, then centred on the screen.
  void LayoutSkin();
  void SetTextColor(COLORREF c);
  void SetStatusText(const WString& text) { m_lblStatus.SetText(text); }
  void SetPercentText(const WString& text) { m_lblPercent.SetText(text); }
  void EnableStop(bool enable) { m_btnStop.EnableWindow(enable); }

  // Background mode: hidden, titled, rectangle saved, no taskbar entry,
  // 0 x 0, centred and shown again (it still receives messages).
  void EnterBackgroundLook(const WString& title, CRect& savedRect);
  // Back to the saved rectangle with a taskbar entry, shown and active;
  // nothing when savedRect is empty (already in the foreground).
  void ReturnToForegroundLook(const WString& title, CRect& savedRect);

  HBITMAP GetSkin() const { return m_bmpSkin.GetSafeHandle(); }
  int HeadlessAnswer() const override { return 0; }

  CLabel m_lblPercent;  // 1001
  CLabel m_lblStatus;   // 1002
  CColorBtn m_btnStop;  // 1003

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  void OnPaint(CDC& dc) override;
  bool OnEraseBkgnd(CDC&) override { return true; }
  LRESULT OnNcHitTest(CPoint) override { return plat::HTCAPTION; }

  CBitmap m_bmpSkin;
  CBitmap m_bmpIcon;
};
