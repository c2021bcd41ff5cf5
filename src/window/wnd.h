// The dialog framework: windows, child controls, modal dialogs from
// templates, timers and painting. Two backends stand behind it (a GTK 3
// window when a display exists, nothing on screen when headless); both
// run the same loop, timers, messages and painting into a back buffer.
//
// Driving a dialog (what CUpdateDlg builds on):
//   class CMyDlg : public CDialog {
//     CMyDlg() : CDialog(MyTemplate()) {}
//     void DoDataExchange() override { DDX_Control(1002, m_status); }
//     bool OnInitDialog() override { CDialog::OnInitDialog(); SetTimer(7, 500); return true; }
//     LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override {
//       if (msg == 2026) { ...; return 1; }
//       return CDialog::WindowProc(msg, w, l);
//     }
//     void OnTimer(UINT_PTR id) override { ... }
//     bool OnCommand(WPARAM w, LPARAM l) override {   // button clicks
//       if (LoWord(w) == 1003 && HiWord(w) == BN_CLICKED) { ...; return true; }
//       return CDialog::OnCommand(w, l);
//     }
//   };
//   CMyDlg dlg; int r = dlg.DoModal();   // IDOK, IDCANCEL or the EndDialog value
//
// Everything here runs on the window's thread; other threads reach a
// window with plat::PostMessage / plat::SendMessage on GetSafeHwnd().
#pragma once

#include <memory>
#include <set>
#include <vector>

#include "window/gdi.h"
#include "window/window.h"

using plat::CDC;
using plat::CPoint;
using plat::CRect;
using plat::CSize;
using plat::HWND;
using plat::LPARAM;
using plat::LRESULT;
using plat::UINT;
using plat::UINT_PTR;
using plat::WPARAM;

// Styles (the Windows bits the windows here use).
enum : uint32_t {
  WS_POPUP = 0x80000000u, WS_CHILD = 0x40000000u, WS_VISIBLE = 0x10000000u, WS_DISABLED = 0x08000000u,
  WS_CAPTION = 0x00C00000u, WS_SYSMENU = 0x00080000u,
  DS_MODALFRAME = 0x80u,
  SS_LEFT = 0x0, SS_CENTER = 0x1, SS_RIGHT = 0x2, SS_NOTIFY = 0x100,
  BS_PUSHBUTTON = 0x0, BS_DEFPUSHBUTTON = 0x1, BS_OWNERDRAW = 0xB, BS_TYPEMASK = 0xF,
};
enum : uint32_t { WS_EX_TOPMOST = 0x8, WS_EX_TOOLWINDOW = 0x80, WS_EX_APPWINDOW = 0x40000 };
enum : int { SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_SHOW = 5 };

class CDialog;
namespace plat { class NativeWindow; }

class CWnd {
 public:
  CWnd();
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND GetSafeHwnd() const { return m_hWnd; }
  bool IsCreated() const { return m_hWnd != 0; }
  int GetDlgCtrlID() const { return m_nId; }
  CWnd* GetParent() const { return m_pParent; }
  CWnd* GetDlgItem(int id) const;
  const std::vector<CWnd*>& GetChildren() const { return m_children; }

  // Creates a top-level window (parent null, screen coordinates) or a child
  // control (client coordinates of the parent).
  bool CreateWindowEx(uint32_t exStyle, uint32_t style, const WString& text, const CRect& rect, CWnd* parent, int id);
  bool DestroyWindow();
  // Takes over the template control with this id: its handle, geometry,
  // text, style and font (the generic control is dropped), then calls
  // PreSubclassWindow.
  bool SubclassDlgItem(int id, CWnd* parent);

  // Geometry: top-level windows in screen coordinates, children in their
  // parent's client coordinates.
  void MoveWindow(int x, int y, int width, int height, bool repaint = true);
  void MoveWindow(const CRect& r, bool repaint = true) { MoveWindow(r.left, r.top, r.Width(), r.Height(), repaint); }
  void GetWindowRect(CRect& r) const;  // screen coordinates
  void GetClientRect(CRect& r) const;  // (0, 0, width, height)
  void ScreenToClient(CRect& r) const;
  void ClientToScreen(CPoint& p) const;
  void ScreenToClient(CPoint& p) const;
  // Centres on the owner, or on the work area for a window without one.
  void CenterWindow();

  void SetWindowText(const WString& text);
  WString GetWindowText() const { return m_strText; }
  void ShowWindow(int cmd);
  bool IsWindowVisible() const;
  void EnableWindow(bool enable);
  bool IsWindowEnabled() const { return !(m_dwStyle & WS_DISABLED); }
  uint32_t GetStyle() const { return m_dwStyle; }
  uint32_t GetExStyle() const { return m_dwExStyle; }
  void ModifyStyle(uint32_t remove, uint32_t add);
  void ModifyStyleEx(uint32_t remove, uint32_t add);
  void SetForegroundWindow();
  void SetActiveWindow() { SetForegroundWindow(); }
  // Window shape: a rounded rectangle in window coordinates (ellipse
  // width and height of the corners); an empty rectangle removes it.
  void SetWindowRgnRoundRect(const CRect& r, int ellipseW, int ellipseH);
  bool PtInWindowRgn(CPoint windowPt) const;
  const plat::CFont& GetFont() const { return m_font; }
  void SetFont(const plat::CFont& f) { m_font = f; }
  // Both icons take a copy of the bitmap.
  void SetIcon(plat::HBITMAP icon, bool big);

  void Invalidate(bool erase = true);
  void InvalidateRect(const CRect* r, bool erase = true);
  // Paints what is invalid in this window's top-level window now.
  void UpdateWindow();
  // Paints and copies the window with its children as it shows on screen.
  // Empty for a window of size 0.
  plat::HBITMAP PrintWindow();

  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs);
  bool KillTimer(UINT_PTR id);

  bool PostMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return plat::PostMessage(m_hWnd, msg, w, l); }
  LRESULT SendMessage(UINT msg, WPARAM w = 0, LPARAM l = 0) const { return plat::SendMessage(m_hWnd, msg, w, l); }
  // Messages other processes may post to this top-level window (by default
  // none: their parameters cannot be trusted to be addresses).
  void AllowRemoteMessage(UINT msg) { m_remoteMessages.insert(msg); }
  bool IsRemoteMessageAllowed(UINT msg) const { return m_remoteMessages.count(msg) != 0; }

  // The window procedure: every message goes through it. Override it for
  // private messages and pass the rest to the base class.
  virtual LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l);
  // The standard handling of a message (calls the On... hooks below).
  LRESULT DefWindowProc(UINT msg, WPARAM w, LPARAM l);

  // Test and tool access to what the backend shows.
  struct NativeState {
    bool exists = false;   // a toolkit window stands behind it
    bool mapped = false;   // shown on the screen
    CRect rect;            // where the toolkit put it (screen)
    bool keepAbove = false;
    bool skipTaskbar = false;
    bool shapeEmpty = false;  // covers no pixel
    WString title;
  };
  NativeState GetNativeState() const;
  // Whether a move-drag was started by the last mouse press (and reset).
  bool TakeDragStarted() { bool b = m_bDragStarted; m_bDragStarted = false; return b; }
  // Feeds a mouse event in client coordinates as the toolkit would
  // (hit test, capture, clicks, drag); for tests and the toolkit backend.
  void InjectMouse(UINT msg, CPoint clientPt);

 protected:
  // Called before a control object takes over a template control.
  virtual void PreSubclassWindow() {}
  virtual void OnPaint(CDC& dc);
  // True when the background was handled (nothing more is drawn); the
  // default fills it with the button-face colour.
  virtual bool OnEraseBkgnd(CDC& dc);
  virtual void OnTimer(UINT_PTR id) { (void)id; }
  // screenPt: screen coordinates. Default: HTCLIENT.
  virtual LRESULT OnNcHitTest(CPoint screenPt);
  // True when the cursor was set (SetCursorHand).
  virtual bool OnSetCursor() { return false; }
  virtual void OnLButtonDown(CPoint clientPt) { (void)clientPt; }
  virtual void OnLButtonUp(CPoint clientPt) { (void)clientPt; }
  virtual void OnMouseMove(CPoint clientPt) { (void)clientPt; }
  virtual bool OnCommand(WPARAM w, LPARAM l) { (void)w; (void)l; return false; }
  virtual void OnKeyDown(int key) { (void)key; }
  // Default: DestroyWindow (dialogs: OnCancel).
  virtual void OnClose();
  virtual void OnDestroy() {}
  // Log-off: true lets the session end. Default true.
  virtual bool OnQueryEndSession() { return true; }
  virtual void OnEndSession(bool ending) { (void)ending; }
  // Shows the hand cursor while the mouse is over this window.
  void SetCursorHand();

 private:
  friend class CDialog;
  friend struct WndAccess;
  void Detach();
  CWnd* TopLevel();
  CWnd* ChildAt(CPoint clientPt, bool forMouse);

  HWND m_hWnd = 0;
  int m_nId = 0;
  CWnd* m_pParent = nullptr;
  std::vector<CWnd*> m_children;
  std::vector<std::unique_ptr<CWnd>> m_ownedChildren;  // generic template controls
  CRect m_rect;  // top-level: screen; child: parent's client
  WString m_strText;
  uint32_t m_dwStyle = 0;
  uint32_t m_dwExStyle = 0;
  plat::CFont m_font;
  std::set<UINT> m_remoteMessages;
  CRect m_rgn;  // empty: none
  int m_rgnW = 0, m_rgnH = 0;
  // painting
  CRect m_invalid;
  bool m_bErase = false;
  plat::HBITMAP m_backBuffer = nullptr;  // top-level only
  plat::NativeWindow* m_native = nullptr;
  // mouse
  CWnd* m_capture = nullptr;  // top-level only
  bool m_bDragStarted = false;
  bool m_bCursorHand = false;
  int m_registryFd = -1;
  CWnd* m_pOwner = nullptr;  // top-level windows: the owner
  bool m_bDragging = false;
};

// A plain static text (alignment from SS_LEFT / SS_CENTER / SS_RIGHT).
class CStatic : public CWnd {
 protected:
  void OnPaint(CDC& dc) override;
};

// Owner-draw request of a button.
enum : uint32_t { ODS_SELECTED = 0x1, ODS_DISABLED = 0x4, ODS_FOCUS = 0x10 };
struct DrawItemStruct {
  CDC* pDC = nullptr;
  CRect rcItem;
  uint32_t itemState = 0;
};

// A push button: clicked when the left button is pressed and released on
// it; it then sends WM_COMMAND (id, BN_CLICKED) to its parent. With
// BS_OWNERDRAW it asks DrawItem for every picture.
class CButton : public CWnd {
 public:
  bool IsPressed() const { return m_bPressed; }

 protected:
  virtual void DrawItem(DrawItemStruct& dis);
  void OnPaint(CDC& dc) override;
  bool OnEraseBkgnd(CDC&) override { return true; }
  void OnLButtonDown(CPoint pt) override;
  void OnLButtonUp(CPoint pt) override;
  void OnMouseMove(CPoint pt) override;

 private:
  bool m_bPressed = false;
  bool m_bTracking = false;
};

// ---- dialogs ----

enum class DlgItemKind { Static, Button };

struct DlgItemTemplate {
  int id = 0;
  DlgItemKind kind = DlgItemKind::Static;
  int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  WString text;
  uint32_t style = 0;  // SS_* / BS_*; WS_VISIBLE is implied
};

struct DlgTemplate {
  int cx = 0, cy = 0;  // dialog units
  uint32_t style = WS_POPUP | WS_VISIBLE;
  uint32_t exStyle = 0;
  WString caption;
  // The template font only converts dialog units to pixels: x * baseX / 4,
  // y * baseY / 8, with the font's base units at 96 DPI.
  int baseX = 6, baseY = 13;
  plat::CFont font;  // given to every control
  std::vector<DlgItemTemplate> items;
};

// Base units of the template fonts.
constexpr int kSimSun9BaseX = 6, kSimSun9BaseY = 12;
constexpr int kShellDlg8BaseX = 6, kShellDlg8BaseY = 13;
// The Windows rounding of dialog-unit conversion (MulDiv).
int MulDiv(int a, int b, int c);

class CDialog : public CWnd {
 public:
  explicit CDialog(const DlgTemplate& tpl, CWnd* parent = nullptr);
  ~CDialog() override;

  // Creates the window, runs OnInitDialog, shows it (when the template is
  // visible) and serves the thread's messages until EndDialog; the owner
  // is disabled meanwhile and keeps receiving messages. EndDialog from
  // OnInitDialog ends it before it is shown.
  virtual int DoModal();
  // A modeless dialog (tests, tools): created, initialised and shown.
  bool Create(CWnd* parent = nullptr);
  void EndDialog(int result);
  bool IsInModalLoop() const { return m_bInModal; }
  const DlgTemplate& GetTemplate() const { return m_tpl; }
  // Dialog units to pixels with this template's base units.
  CRect MapDialogRect(int x, int y, int cx, int cy) const;

  // Headless answer: the button a user would have pressed for this dialog
  // when nobody can (ends it right after OnInitDialog). 0 lets the dialog
  // run to its own end (a countdown). Default: IDOK for dialogs with an
  // IDOK button, else 0.
  virtual int HeadlessAnswer() const;

  LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override;

 protected:
  // The base initialisation runs DoDataExchange (binds the controls).
  virtual bool OnInitDialog();
  virtual void DoDataExchange() {}
  // Binds a control object to the template control with this id.
  void DDX_Control(int id, CWnd& ctrl);
  virtual void OnOK() { EndDialog(plat::IDOK); }
  virtual void OnCancel() { EndDialog(plat::IDCANCEL); }
  bool OnCommand(WPARAM w, LPARAM l) override;
  void OnClose() override { OnCancel(); }
  void OnKeyDown(int key) override;

 private:
  bool CreateFromTemplate(CWnd* parent);
  DlgTemplate m_tpl;
  bool m_bInModal = false;
  bool m_bEnded = false;
  int m_nResult = 0;
};

namespace plat {
// The work area of the primary screen (without panels); headless: the
// whole virtual screen (QUILLUP_HEADLESS_SCREEN=WxH, default 1280x800).
CRect GetWorkArea();
CRect GetScreenRect();
}  // namespace plat
