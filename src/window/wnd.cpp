// The dialog framework on top of the thread loops and a backend.
#include "window/wnd.h"

#include <algorithm>
#include <cmath>

#include "window/wnd_internal.h"
#include "support/log.h"

plat::HBITMAP WndAccess::BackBuffer(CWnd* w) { return w->m_backBuffer; }

void WndAccess::SetDragPosition(CWnd* w, CPoint p) {
  if (w->m_bDragging) w->m_rect = CRect(p.x, p.y, p.x + w->m_rect.Width(), p.y + w->m_rect.Height());
}

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  long long p = (long long)a * b;
  long long q = (p >= 0 ? p + c / 2 : p - c / 2) / c;
  return (int)q;
}

namespace {
std::vector<CRect> RoundRectRows(const CRect& r, int ew, int eh, const CSize& clipTo) {
  std::vector<CRect> rows;
  double rx = ew / 2.0, ry = eh / 2.0;
  for (int y = r.top; y < r.bottom; y++) {
    int inset = 0;
    if (ry > 0 && rx > 0) {
      double dy = 0;
      if (y - r.top < ry) dy = ry - (y - r.top + 0.5);
      else if (r.bottom - 1 - y < ry) dy = ry - (r.bottom - 1 - y + 0.5);
      if (dy > 0) inset = (int)std::ceil(rx - rx * std::sqrt(std::max(0.0, 1 - (dy / ry) * (dy / ry))) - 1e-9);
    }
    CRect row(r.left + inset, y, r.right - inset, y + 1);
    if (!row.IntersectRect(row, CRect(0, 0, clipTo.cx, clipTo.cy))) continue;
    if (!rows.empty() && rows.back().left == row.left && rows.back().right == row.right && rows.back().bottom == y)
      rows.back().bottom = y + 1;
    else
      rows.push_back(row);
  }
  return rows;
}
}  // namespace

// ---- CWnd ----

CWnd::CWnd() : m_font(plat::DefaultGuiFont()) {}

CWnd::~CWnd() {
  if (m_hWnd) DestroyWindow();
}

CWnd* CWnd::TopLevel() {
  CWnd* w = this;
  while (w->m_pParent) w = w->m_pParent;
  return w;
}

CWnd* CWnd::GetDlgItem(int id) const {
  for (CWnd* c : m_children)
    if (c->m_nId == id) return c;
  return nullptr;
}

bool CWnd::CreateWindowEx(uint32_t exStyle, uint32_t style, const WString& text, const CRect& rect, CWnd* parent,
                          int id) {
  if (m_hWnd) return false;
  // The backend's window is made from these.
  m_dwExStyle = exStyle;
  m_dwStyle = style;
  m_strText = text;
  m_rect = rect;
  m_nId = id;
  m_pParent = parent;
  m_hWnd = plat::AttachWindow(this);
  if (!m_hWnd) {
    m_pParent = nullptr;
    return false;
  }
  if (parent) {
    parent->m_children.push_back(this);
    m_font = parent->m_font;
    Invalidate(true);
    return true;
  }
  plat::TopLevelCreated();
  m_native = plat::GetBackend().Create(this);
  m_registryFd = plat::RegistryAdd(m_hWnd, m_strText);
  if (m_registryFd >= 0) {
    int fd = m_registryFd;
    plat::LoopWatchFd(fd, [fd] {
      HWND target;
      UINT msg;
      WPARAM w;
      LPARAM l;
      while (plat::RegistryReceive(fd, target, msg, w, l))
        if (target) plat::FwRemoteMessage(target, msg, w, l);
    });
  }
  if (m_native) {
    m_native->SetTitle(m_strText);
    m_native->SetExStyle(m_dwExStyle);
    m_native->SetGeometry(m_rect);
    if (m_rect.IsRectEmpty()) {
      std::vector<CRect> none;
      m_native->SetShape(&none);
    }
    if (m_dwStyle & WS_VISIBLE) m_native->SetVisible(true);
  }
  Invalidate(true);
  return true;
}

void CWnd::Detach() {
  plat::DetachWindow(m_hWnd);
  m_hWnd = 0;
}

bool CWnd::DestroyWindow() {
  if (!m_hWnd) return false;
  WindowProc(plat::WM_DESTROY, 0, 0);
  std::vector<CWnd*> kids = m_children;
  for (CWnd* c : kids) c->DestroyWindow();
  m_ownedChildren.clear();
  m_children.clear();
  plat::LoopKillTimers(m_hWnd);
  if (m_pParent) {
    auto& sib = m_pParent->m_children;
    sib.erase(std::remove(sib.begin(), sib.end(), this), sib.end());
    CWnd* top = m_pParent->TopLevel();
    if (top->m_capture == this) top->m_capture = nullptr;
    CRect r = m_rect;
    m_pParent->InvalidateRect(&r, true);
    m_pParent = nullptr;
  } else {
    plat::LoopCancelPaint(this);
    if (m_registryFd >= 0) plat::LoopUnwatchFd(m_registryFd);
    plat::RegistryRemove(m_hWnd, m_registryFd);
    m_registryFd = -1;
    delete m_native;
    m_native = nullptr;
    plat::DeleteObject(m_backBuffer);
    m_backBuffer = nullptr;
    plat::TopLevelDestroyed();
  }
  Detach();
  return true;
}

bool CWnd::SubclassDlgItem(int id, CWnd* parent) {
  if (m_hWnd || !parent) return false;
  auto it = std::find_if(parent->m_children.begin(), parent->m_children.end(),
                         [id](CWnd* c) { return c->m_nId == id; });
  if (it == parent->m_children.end()) return false;
  CWnd* generic = *it;
  m_hWnd = generic->m_hWnd;
  m_nId = generic->m_nId;
  m_rect = generic->m_rect;
  m_strText = generic->m_strText;
  m_dwStyle = generic->m_dwStyle;
  m_dwExStyle = generic->m_dwExStyle;
  m_font = generic->m_font;
  m_pParent = parent;
  *it = this;
  // The handle now names this object; the generic control goes away.
  plat::RebindWindow(m_hWnd, this);
  generic->m_hWnd = 0;
  generic->m_pParent = nullptr;
  auto& owned = parent->m_ownedChildren;
  owned.erase(std::remove_if(owned.begin(), owned.end(),
                             [generic](const std::unique_ptr<CWnd>& p) { return p.get() == generic; }),
              owned.end());
  PreSubclassWindow();
  Invalidate(true);
  return true;
}

// ---- geometry and state ----

void CWnd::MoveWindow(int x, int y, int width, int height, bool repaint) {
  if (!m_hWnd) return;
  width = std::max(0, width);
  height = std::max(0, height);
  CRect old = m_rect;
  m_rect = CRect(x, y, x + width, y + height);
  if (m_pParent) {
    if (repaint) {
      m_pParent->InvalidateRect(&old, true);
      Invalidate(true);
    }
    return;
  }
  m_bDragging = false;
  if (m_native) {
    m_native->SetGeometry(m_rect);
    if (m_rect.IsRectEmpty()) {
      std::vector<CRect> none;
      m_native->SetShape(&none);
    } else if (!m_rgn.IsRectEmpty()) {
      std::vector<CRect> rows = RoundRectRows(m_rgn, m_rgnW, m_rgnH, m_rect.Size());
      m_native->SetShape(&rows);
    } else {
      m_native->SetShape(nullptr);
    }
  }
  if (old.Size() != m_rect.Size() || repaint) Invalidate(true);
}

void CWnd::GetWindowRect(CRect& r) const {
  r = m_rect;
  for (CWnd* p = m_pParent; p; p = p->m_pParent) r.OffsetRect(p->m_rect.left, p->m_rect.top);
}

void CWnd::GetClientRect(CRect& r) const { r = CRect(0, 0, m_rect.Width(), m_rect.Height()); }

void CWnd::ClientToScreen(CPoint& p) const {
  CRect r;
  GetWindowRect(r);
  p.x += r.left;
  p.y += r.top;
}

void CWnd::ScreenToClient(CPoint& p) const {
  CRect r;
  GetWindowRect(r);
  p.x -= r.left;
  p.y -= r.top;
}

void CWnd::ScreenToClient(CRect& r) const {
  CRect w;
  GetWindowRect(w);
  r.OffsetRect(-w.left, -w.top);
}

void CWnd::CenterWindow() {
  CRect area = plat::GetWorkArea();
  CWnd* owner = m_pParent ? m_pParent : m_pOwner;
  if (owner && owner->IsWindowVisible()) {
    CRect o;
    owner->GetWindowRect(o);
    if (!o.IsRectEmpty()) area = o;
    if (m_pParent) m_pParent->ScreenToClient(area);
  }
  int w = m_rect.Width(), h = m_rect.Height();
  MoveWindow(area.left + (area.Width() - w) / 2, area.top + (area.Height() - h) / 2, w, h, false);
}

void CWnd::SetWindowText(const WString& text) {
  if (m_strText == text) return;
  m_strText = text;
  if (!m_hWnd) return;
  if (!m_pParent) {
    if (m_native) m_native->SetTitle(text);
    plat::RegistrySetTitle(m_hWnd, text);
  }
  Invalidate(true);
}

void CWnd::ShowWindow(int cmd) {
  bool show = cmd != SW_HIDE;
  if (((m_dwStyle & WS_VISIBLE) != 0) == show) return;
  if (show) m_dwStyle |= WS_VISIBLE;
  else m_dwStyle &= ~WS_VISIBLE;
  if (!m_hWnd) return;
  if (m_pParent) {
    CRect r = m_rect;
    m_pParent->InvalidateRect(&r, true);
    if (show) Invalidate(true);
    return;
  }
  if (m_native) {
    m_native->SetVisible(show);
    if (show) m_native->SetGeometry(m_rect);
  }
  if (show) Invalidate(true);
}

bool CWnd::IsWindowVisible() const {
  for (const CWnd* w = this; w; w = w->m_pParent)
    if (!(w->m_dwStyle & WS_VISIBLE)) return false;
  return m_hWnd != 0;
}

void CWnd::EnableWindow(bool enable) {
  if (IsWindowEnabled() == enable) return;
  if (enable) m_dwStyle &= ~WS_DISABLED;
  else m_dwStyle |= WS_DISABLED;
  if (m_hWnd) Invalidate(false);
}

void CWnd::ModifyStyle(uint32_t remove, uint32_t add) {
  m_dwStyle = (m_dwStyle & ~remove) | add;
  if (m_hWnd) Invalidate(true);
}

void CWnd::ModifyStyleEx(uint32_t remove, uint32_t add) {
  m_dwExStyle = (m_dwExStyle & ~remove) | add;
  if (m_native) m_native->SetExStyle(m_dwExStyle);
}

void CWnd::SetForegroundWindow() {
  CWnd* top = TopLevel();
  if (top->m_native && top->IsWindowVisible()) top->m_native->Present();
}

void CWnd::SetWindowRgnRoundRect(const CRect& r, int ellipseW, int ellipseH) {
  m_rgn = r;
  m_rgnW = ellipseW;
  m_rgnH = ellipseH;
  if (!m_native || m_pParent || m_rect.IsRectEmpty()) return;
  if (r.IsRectEmpty()) {
    m_native->SetShape(nullptr);
  } else {
    std::vector<CRect> rows = RoundRectRows(r, ellipseW, ellipseH, m_rect.Size());
    m_native->SetShape(&rows);
  }
}

bool CWnd::PtInWindowRgn(CPoint pt) const {
  CRect client(0, 0, m_rect.Width(), m_rect.Height());
  if (!client.PtInRect(pt)) return false;
  if (m_rgn.IsRectEmpty()) return true;
  for (const CRect& row : RoundRectRows(m_rgn, m_rgnW, m_rgnH, m_rect.Size()))
    if (row.PtInRect(pt)) return true;
  return false;
}

void CWnd::SetIcon(plat::HBITMAP icon, bool big) {
  (void)big;
  if (m_native && icon) m_native->SetIcon(icon);
}

void CWnd::SetCursorHand() { m_bCursorHand = true; }

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapseMs) {
  if (!m_hWnd) return 0;
  plat::LoopSetTimer(m_hWnd, id, elapseMs);
  return id;
}

bool CWnd::KillTimer(UINT_PTR id) { return m_hWnd && plat::LoopKillTimer(m_hWnd, id); }

CWnd::NativeState CWnd::GetNativeState() const {
  if (m_native) return m_native->Query();
  NativeState s;
  s.rect = m_rect;
  s.title = m_strText;
  return s;
}

// ---- painting ----

void CWnd::Invalidate(bool erase) {
  CRect r(0, 0, m_rect.Width(), m_rect.Height());
  InvalidateRect(&r, erase);
}

void CWnd::InvalidateRect(const CRect* r, bool erase) {
  if (!m_hWnd) return;
  CRect client(0, 0, m_rect.Width(), m_rect.Height());
  CRect part = r ? *r : client;
  if (!part.IntersectRect(part, client)) return;
  m_invalid.UnionRect(m_invalid, part);
  m_bErase = m_bErase || erase;
  plat::LoopRequestPaint(TopLevel());
}

void CWnd::UpdateWindow() {
  CWnd* top = TopLevel();
  if (!top->m_hWnd) return;
  plat::LoopCancelPaint(top);
  WndAccess::Paint(top);
}

plat::HBITMAP CWnd::PrintWindow() {
  UpdateWindow();
  CWnd* top = TopLevel();
  if (!top->m_backBuffer) return nullptr;
  CRect r;
  GetWindowRect(r);
  top->ScreenToClient(r);
  return plat::CopyBitmapPart(top->m_backBuffer, r);
}

void WndAccess::Paint(CWnd* top) {
  CSize size = top->m_rect.Size();
  if (size.cx <= 0 || size.cy <= 0) {
    top->m_invalid.SetRectEmpty();
    for (CWnd* c : top->m_children) c->m_invalid.SetRectEmpty();
    return;
  }
  if (plat::GetBitmapSize(top->m_backBuffer) != size) {
    plat::DeleteObject(top->m_backBuffer);
    top->m_backBuffer = plat::CreateBitmap(size.cx, size.cy);
    top->m_invalid = CRect(0, 0, size.cx, size.cy);
    top->m_bErase = true;
  }
  CRect dirty;
  if (!top->m_invalid.IsRectEmpty()) {
    CRect clip = top->m_invalid;
    bool erase = top->m_bErase;
    top->m_invalid.SetRectEmpty();
    top->m_bErase = false;
    CDC dc(top->m_backBuffer, CPoint(0, 0), clip);
    if (erase) top->WindowProc(plat::WM_ERASEBKGND, (WPARAM)&dc, 0);
    top->WindowProc(plat::WM_PAINT, (WPARAM)&dc, 0);
    // Children stand above the parent's picture: what it covered is theirs again.
    for (CWnd* c : top->m_children) {
      CRect part;
      if (c->IsWindowVisible() && part.IntersectRect(clip, c->m_rect)) {
        part.OffsetRect(-c->m_rect.left, -c->m_rect.top);
        c->m_invalid.UnionRect(c->m_invalid, part);
      }
    }
    dirty = clip;
  }
  // A child's paint may invalidate a sibling; a few rounds settle it.
  for (int round = 0; round < 4; round++) {
    bool any = false;
    std::vector<CWnd*> kids = top->m_children;
    for (CWnd* c : kids) {
      if (c->m_invalid.IsRectEmpty()) continue;
      CRect part = c->m_invalid;
      bool erase = c->m_bErase;
      c->m_invalid.SetRectEmpty();
      c->m_bErase = false;
      if (!c->IsWindowVisible()) continue;
      part.OffsetRect(c->m_rect.left, c->m_rect.top);
      if (!part.IntersectRect(part, c->m_rect)) continue;
      CDC dc(top->m_backBuffer, c->m_rect.TopLeft(), part);
      if (erase) c->WindowProc(plat::WM_ERASEBKGND, (WPARAM)&dc, 0);
      c->WindowProc(plat::WM_PAINT, (WPARAM)&dc, 0);
      dirty.UnionRect(dirty, part);
      any = true;
    }
    if (!any) break;
  }
  if (top->m_native && !dirty.IsRectEmpty()) top->m_native->Flush(dirty);
}

namespace plat {
void FwPaint(CWnd* top) { WndAccess::Paint(top); }
}  // namespace plat

void CWnd::OnPaint(CDC& dc) { (void)dc; }

bool CWnd::OnEraseBkgnd(CDC& dc) {
  CRect r;
  GetClientRect(r);
  dc.FillSolidRect(r, plat::kColorBtnFace);
  return true;
}

LRESULT CWnd::OnNcHitTest(CPoint) { return plat::HTCLIENT; }

void CWnd::OnClose() { DestroyWindow(); }

// ---- messages and mouse ----

LRESULT CWnd::WindowProc(UINT msg, WPARAM w, LPARAM l) { return DefWindowProc(msg, w, l); }

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM w, LPARAM l) {
  using namespace plat;
  switch (msg) {
    case WM_PAINT: OnPaint(*(CDC*)w); return 0;
    case WM_ERASEBKGND: return OnEraseBkgnd(*(CDC*)w) ? 1 : 0;
    case WM_TIMER: OnTimer(w); return 0;
    case WM_NCHITTEST: return OnNcHitTest(CPoint(LoWord(l), HiWord(l)));
    case WM_SETCURSOR: return OnSetCursor() ? 1 : 0;
    case WM_LBUTTONDOWN: OnLButtonDown(CPoint(LoWord(l), HiWord(l))); return 0;
    case WM_LBUTTONUP: OnLButtonUp(CPoint(LoWord(l), HiWord(l))); return 0;
    case WM_MOUSEMOVE: OnMouseMove(CPoint(LoWord(l), HiWord(l))); return 0;
    case WM_COMMAND: return OnCommand(w, l) ? 1 : 0;
    case WM_KEYDOWN: OnKeyDown((int)w); return 0;
    case WM_CLOSE: OnClose(); return 0;
    case WM_DESTROY: OnDestroy(); return 0;
    case WM_QUERYENDSESSION: return OnQueryEndSession() ? 1 : 0;
    case WM_ENDSESSION: OnEndSession(w != 0); return 0;
    default: return 0;
  }
}

CWnd* CWnd::ChildAt(CPoint pt, bool forMouse) {
  for (auto it = m_children.rbegin(); it != m_children.rend(); ++it) {
    CWnd* c = *it;
    if (!c->IsWindowVisible() || !c->m_rect.PtInRect(pt)) continue;
    if (forMouse) {
      if (!c->IsWindowEnabled()) continue;
      // Statics take the mouse only when they report clicks.
      if (dynamic_cast<CStatic*>(c) && !(c->m_dwStyle & SS_NOTIFY)) continue;
    }
    return c;
  }
  return nullptr;
}

void CWnd::InjectMouse(UINT msg, CPoint pt) {
  using namespace plat;
  if (!m_hWnd || m_pParent) return;
  if (!IsWindowEnabled()) return;  // the owner of a modal dialog
  HWND self = m_hWnd;
  auto rel = [](CWnd* c, CPoint p) { return MakeLParam(p.x - c->m_rect.left, p.y - c->m_rect.top); };
  if (msg == WM_LBUTTONDOWN) {
    if (!PtInWindowRgn(pt)) return;
    if (CWnd* c = ChildAt(pt, true)) {
      m_capture = c;
      c->WindowProc(WM_LBUTTONDOWN, 0, rel(c, pt));
      return;
    }
    CPoint sp = pt;
    ClientToScreen(sp);
    if (WindowProc(WM_NCHITTEST, 0, MakeLParam(sp.x, sp.y)) == HTCAPTION) {
      if (!LocalWindow(self)) return;
      m_bDragStarted = true;
      m_bDragging = true;
      if (m_native) m_native->BeginMoveDrag();
      return;
    }
    WindowProc(WM_LBUTTONDOWN, 0, MakeLParam(pt.x, pt.y));
  } else if (msg == WM_LBUTTONUP) {
    if (CWnd* c = m_capture) {
      m_capture = nullptr;
      c->WindowProc(WM_LBUTTONUP, 0, rel(c, pt));
    } else {
      WindowProc(WM_LBUTTONUP, 0, MakeLParam(pt.x, pt.y));
    }
  } else if (msg == WM_MOUSEMOVE) {
    CWnd* c = m_capture ? m_capture : ChildAt(pt, true);
    if (c) c->WindowProc(WM_MOUSEMOVE, 0, rel(c, pt));
    if (!LocalWindow(self)) return;
    bool hand = false;
    if (c && LocalWindow(c->m_hWnd)) {
      c->m_bCursorHand = false;
      c->WindowProc(WM_SETCURSOR, 0, 0);
      hand = c->m_bCursorHand;
    }
    if (m_native) m_native->SetCursorHand(hand);
  }
}

// ---- CStatic ----

void CStatic::OnPaint(CDC& dc) {
  CRect r;
  GetClientRect(r);
  uint32_t align = (GetStyle() & 3) == SS_CENTER ? (uint32_t)plat::DT_CENTER
                   : (GetStyle() & 3) == SS_RIGHT ? (uint32_t)plat::DT_RIGHT
                                                  : 0u;
  dc.SelectFont(GetFont());
  if (IsWindowEnabled()) {
    dc.SetTextColor(plat::kColorWindowText);
    dc.DrawText(GetWindowText(), r, align | plat::DT_WORDBREAK);
  } else {
    dc.DrawDisabledText(GetWindowText(), r, align | plat::DT_WORDBREAK);
  }
}

// ---- CButton ----

void CButton::OnPaint(CDC& dc) {
  DrawItemStruct dis;
  dis.pDC = &dc;
  GetClientRect(dis.rcItem);
  if (m_bPressed) dis.itemState |= ODS_SELECTED;
  if (!IsWindowEnabled()) dis.itemState |= ODS_DISABLED;
  DrawItem(dis);
}

void CButton::DrawItem(DrawItemStruct& dis) {
  // The plain push button: a raised face, pressed it sinks by a pixel.
  CDC& dc = *dis.pDC;
  CRect r = dis.rcItem;
  if (r.IsRectEmpty()) return;
  bool pressed = dis.itemState & ODS_SELECTED;
  dc.FillSolidRect(r, plat::kColorBtnFace);
  bool def = (GetStyle() & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  plat::COLORREF frame = def ? 0xD77800 : 0xADADAD;
  dc.FillSolidRect(CRect(r.left, r.top, r.right, r.top + 1), frame);
  dc.FillSolidRect(CRect(r.left, r.bottom - 1, r.right, r.bottom), frame);
  dc.FillSolidRect(CRect(r.left, r.top, r.left + 1, r.bottom), frame);
  dc.FillSolidRect(CRect(r.right - 1, r.top, r.right, r.bottom), frame);
  if (!pressed) dc.FillSolidRect(CRect(r.left + 1, r.top + 1, r.right - 1, r.top + r.Height() / 2), 0xF8F8F8);
  CRect t = r;
  if (pressed) t.OffsetRect(1, 1);
  dc.SelectFont(GetFont());
  uint32_t fmt = plat::DT_CENTER | plat::DT_VCENTER | plat::DT_SINGLELINE;
  if (dis.itemState & ODS_DISABLED) {
    dc.DrawDisabledText(GetWindowText(), t, fmt);
  } else {
    dc.SetTextColor(plat::kColorWindowText);
    dc.DrawText(GetWindowText(), t, fmt);
  }
}

void CButton::OnLButtonDown(CPoint) {
  m_bTracking = true;
  m_bPressed = true;
  Invalidate(false);
}

void CButton::OnMouseMove(CPoint pt) {
  if (!m_bTracking) return;
  CRect r;
  GetClientRect(r);
  bool in = r.PtInRect(pt);
  if (in != m_bPressed) {
    m_bPressed = in;
    Invalidate(false);
  }
}

void CButton::OnLButtonUp(CPoint pt) {
  if (!m_bTracking) return;
  m_bTracking = false;
  CRect r;
  GetClientRect(r);
  bool click = r.PtInRect(pt);
  m_bPressed = false;
  Invalidate(false);
  if (click && GetParent() && IsWindowEnabled())
    plat::SendMessage(GetParent()->GetSafeHwnd(), plat::WM_COMMAND, plat::MakeWParam(GetDlgCtrlID(), plat::BN_CLICKED),
                      (LPARAM)GetSafeHwnd());
}

// ---- CDialog ----

CDialog::CDialog(const DlgTemplate& tpl, CWnd* parent) : m_tpl(tpl) { m_pOwner = parent; }

CDialog::~CDialog() {
  if (GetSafeHwnd()) DestroyWindow();
}

CRect CDialog::MapDialogRect(int x, int y, int cx, int cy) const {
  int l = MulDiv(x, m_tpl.baseX, 4), t = MulDiv(y, m_tpl.baseY, 8);
  return CRect(l, t, l + MulDiv(cx, m_tpl.baseX, 4), t + MulDiv(cy, m_tpl.baseY, 8));
}

bool CDialog::CreateFromTemplate(CWnd* parent) {
  if (parent) m_pOwner = parent;
  if (m_pOwner) m_pOwner = m_pOwner->TopLevel();
  CRect r = MapDialogRect(0, 0, m_tpl.cx, m_tpl.cy);
  CRect area = plat::GetWorkArea();
  if (m_pOwner && m_pOwner->IsWindowVisible() && !m_pOwner->m_rect.IsRectEmpty()) area = m_pOwner->m_rect;
  r.OffsetRect(area.left + (area.Width() - r.Width()) / 2, area.top + (area.Height() - r.Height()) / 2);
  SetFont(m_tpl.font);
  CWnd* owner = m_pOwner;
  m_pOwner = nullptr;
  if (!CreateWindowEx(m_tpl.exStyle, m_tpl.style & ~WS_VISIBLE, m_tpl.caption, r, nullptr, 0)) return false;
  m_pOwner = owner;
  if (m_native && owner && owner->m_native) m_native->SetOwner(owner->m_native);
  for (const DlgItemTemplate& it : m_tpl.items) {
    std::unique_ptr<CWnd> c;
    if (it.kind == DlgItemKind::Button) c = std::make_unique<CButton>();
    else c = std::make_unique<CStatic>();
    c->CreateWindowEx(0, WS_CHILD | WS_VISIBLE | it.style, it.text, MapDialogRect(it.x, it.y, it.cx, it.cy), this, it.id);
    m_ownedChildren.push_back(std::move(c));
  }
  return true;
}

void CDialog::DDX_Control(int id, CWnd& ctrl) {
  if (!ctrl.GetSafeHwnd()) ctrl.SubclassDlgItem(id, this);
}

bool CDialog::OnInitDialog() {
  DoDataExchange();
  return true;
}

int CDialog::HeadlessAnswer() const {
  for (const DlgItemTemplate& it : m_tpl.items)
    if (it.id == plat::IDOK && it.kind == DlgItemKind::Button) return plat::IDOK;
  return 0;
}

LRESULT CDialog::WindowProc(UINT msg, WPARAM w, LPARAM l) {
  if (msg == plat::WM_INITDIALOG) return OnInitDialog() ? 1 : 0;
  return DefWindowProc(msg, w, l);
}

bool CDialog::OnCommand(WPARAM w, LPARAM) {
  if (plat::HiWord(w) != (int)plat::BN_CLICKED) return false;
  if (plat::LoWord(w) == plat::IDOK) {
    OnOK();
    return true;
  }
  if (plat::LoWord(w) == plat::IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

void CDialog::OnKeyDown(int key) {
  if (key == plat::VK_ESCAPE) {
    SendMessage(plat::WM_COMMAND, plat::MakeWParam(plat::IDCANCEL, plat::BN_CLICKED), 0);
  } else if (key == plat::VK_RETURN) {
    int id = plat::IDOK;
    for (CWnd* c : GetChildren())
      if (dynamic_cast<CButton*>(c) && (c->GetStyle() & BS_TYPEMASK) == BS_DEFPUSHBUTTON) id = c->GetDlgCtrlID();
    CWnd* b = GetDlgItem(id);
    if (!b || b->IsWindowEnabled()) SendMessage(plat::WM_COMMAND, plat::MakeWParam(id, plat::BN_CLICKED), 0);
  }
}

void CDialog::EndDialog(int result) {
  m_nResult = result;
  m_bEnded = true;
  if (!m_bInModal && GetSafeHwnd()) ShowWindow(SW_HIDE);
}

bool CDialog::Create(CWnd* parent) {
  m_bEnded = false;
  if (!CreateFromTemplate(parent)) return false;
  HWND self = GetSafeHwnd();
  SendMessage(plat::WM_INITDIALOG, 0, 0);
  if (plat::LocalWindow(self) && (m_tpl.style & WS_VISIBLE) && !m_bEnded) ShowWindow(SW_SHOW);
  return true;
}

namespace {
WString DialogTexts(const CWnd& w) {
  WString s = w.GetWindowText();
  for (CWnd* c : w.GetChildren())
    if (!c->GetWindowText().empty()) s += (s.empty() ? u"" : u" ") + c->GetWindowText();
  return s;
}
}  // namespace

int CDialog::DoModal() {
  m_bEnded = false;
  m_nResult = -1;
  if (!CreateFromTemplate(nullptr)) return -1;
  HWND self = GetSafeHwnd();
  m_bInModal = true;
  CWnd* owner = m_pOwner;
  HWND ownerWnd = owner ? owner->GetSafeHwnd() : 0;
  bool ownerWasEnabled = owner && owner->IsWindowEnabled();
  if (ownerWasEnabled) owner->EnableWindow(false);
  SendMessage(plat::WM_INITDIALOG, 0, 0);
  if (!m_bEnded && plat::LocalWindow(self)) {
    if ((m_tpl.style & WS_VISIBLE) && !(GetStyle() & WS_VISIBLE)) ShowWindow(SW_SHOW);
    int answer = plat::IsHeadless() ? HeadlessAnswer() : 0;
    if (answer) {
      LogWrite(LOG_INFO, "CDialog::DoModal", u"无界面，按默认按钮关闭对话框: " + DialogTexts(*this));
      EndDialog(answer);
    }
    plat::RunMessageLoop([&] { return m_bEnded || !plat::LocalWindow(self); });
  }
  if (ownerWasEnabled && plat::LocalWindow(ownerWnd)) {
    owner->EnableWindow(true);
    owner->SetForegroundWindow();
  }
  m_bInModal = false;
  if (plat::LocalWindow(self)) DestroyWindow();
  return m_nResult;
}

namespace plat {
CRect GetWorkArea() { return GetBackend().WorkArea(); }
CRect GetScreenRect() { return GetBackend().Screen(); }
bool IsHeadless() { return GetBackend().Headless(); }
}  // namespace plat
