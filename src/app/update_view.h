// What the update driver does to its window. The real view stands on the
// window layer and the look of the update window; tests record the calls.
#pragma once

#include <cstdint>
#include <memory>

#include "window/window.h"
#include "base/text.h"

class COpFile;

namespace quillup {

class CUpdateDlg;

struct WndRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool IsEmpty() const { return right <= left || bottom <= top; }
};

// Message box styles, with the Windows values.
constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_OKCANCEL = 0x1;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONINFORMATION = 0x40;
constexpr uint32_t MB_TOPMOST = 0x40000;

class CUpdateView {
 public:
  virtual ~CUpdateView() = default;

  // Creates the window, calls CUpdateDlg::OnInitDialog on the window thread
  // and serves its messages until EndDialog; returns the dialog result.
  virtual int RunModal() = 0;
  virtual void EndDialog(int result) = 0;
  virtual plat::HWND Handle() = 0;

  virtual void SetIcons() = 0;
  virtual void SetTitle(const WString& title) = 0;
  // Skin from SPLASH_BMP_FILE or the built-in one, window sized to it,
  // controls laid out along the bottom edge, window centred.
  virtual void LoadSkinAndLayout(const WString& rootDir) = 0;
  virtual void SetTextColor(uint32_t colorRef) = 0;
  virtual void SetStatusText(const WString& text) = 0;
  virtual void SetPercentText(const WString& text) = 0;
  virtual void EnableStop(bool enable) = 0;

  // Background mode: hidden, titled, no taskbar button, 0 x 0, centred and
  // shown again (it still receives messages); returns the rectangle the
  // window had.
  virtual WndRect EnterBackgroundLook(const WString& title) = 0;
  // Back to rect with a taskbar button and the title, shown and active.
  virtual void ReturnToForegroundLook(const WString& title, const WndRect& rect) = 0;

  virtual void SetTimer(uint32_t id, uint32_t periodMs) = 0;
  virtual void KillTimer(uint32_t id) = 0;
  // Dispatches every message pending for the window thread; false when none was.
  virtual bool PumpPendingMessages() = 0;

  // Nobody can press a button (headless): a run that would wait for the
  // stop button ends by itself.
  virtual bool IsUnattended() = 0;
  virtual int MessageBox(const WString& text, const WString& title, uint32_t style) = 0;
  virtual int RunTipDlg() = 0;      // IDOK or IDCANCEL
  virtual void CloseTipDlg() = 0;   // posts a close request when the toast is open
  virtual void RunUrlDlg() = 0;
};

// The real window of the update driver.
std::unique_ptr<CUpdateView> CreateUpdateView(CUpdateDlg& dlg, COpFile& opFile);

}  // namespace quillup
