// Thread loops on Windows. Every window object has a window of the system,
// owned by the thread that made it: messages travel through the system's
// queues (PostMessageW, SendMessageW), timers are the system's (SetTimer).
// The framework paints into the back buffer of a top-level window when the
// thread's queue is empty, as on Linux, and on WM_PAINT; the system windows
// (the top-level one and one per child control) then show that picture.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include "support/log.h"
#include "window/wnd_internal.h"
#include "window/win32_win.h"

namespace plat {
namespace {

const wchar_t kWindowClass[] = L"QuillupWnd";
const wchar_t kReceiverClass[] = L"QuillupMessageWnd";

struct ThreadState {
  std::vector<CWnd*> paint;
  std::map<HWND, std::set<UINT_PTR>> timers;
};
thread_local ThreadState t_state;

// Receivers that are not windows run on the sender's thread. Their handles
// lie above 32 bits, where no window handle of the system ever is.
std::mutex g_mu;
std::unordered_map<HWND, std::shared_ptr<MessageHandler>> g_handlers;
std::atomic<uint32_t> g_counter{0};
constexpr HWND kHandlerBase = (HWND)1 << 40;

std::shared_ptr<MessageHandler> HandlerOf(HWND h) {
  if (h < kHandlerBase) return nullptr;
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_handlers.find(h);
  return it == g_handlers.end() ? nullptr : it->second;
}

CWnd* ObjectOf(WinHWND h) { return (CWnd*)GetWindowLongPtrW(h, GWLP_USERDATA); }

CWnd* TopOf(CWnd* w) {
  while (w->GetParent()) w = w->GetParent();
  return w;
}

// The back buffer of the window's top-level window, where this window sits.
void ShowPicture(WinHWND h, CWnd* wnd) {
  CWnd* top = TopOf(wnd);
  LoopCancelPaint(top);
  FwPaint(top);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(h, &ps);
  HBITMAP bb = WndAccess::BackBuffer(top);
  CSize size = GetBitmapSize(bb);
  if (BitmapPixels(bb)) {
    POINT o = {0, 0};
    MapWindowPoints(h, Win(top->GetSafeHwnd()), &o, 1);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = size.cx;
    bi.bmiHeader.biHeight = -size.cy;  // top row first
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    StretchDIBits(dc, -o.x, -o.y, size.cx, size.cy, 0, 0, size.cx, size.cy, BitmapPixels(bb), &bi, DIB_RGB_COLORS,
                  SRCCOPY);
  }
  EndPaint(h, &ps);
}

// The mouse is the top-level window's: it finds the child under it itself.
void Mouse(WinHWND h, CWnd* wnd, WinUINT msg, WinLPARAM l) {
  CWnd* top = TopOf(wnd);
  WinHWND th = Win(top->GetSafeHwnd());
  POINT p = {(short)LOWORD(l), (short)HIWORD(l)};
  MapWindowPoints(h, th, &p, 1);
  if (msg == WM_LBUTTONDOWN) SetCapture(th);
  if (msg == WM_LBUTTONUP && GetCapture() == th) ReleaseCapture();
  top->InjectMouse(msg, CPoint(p.x, p.y));
}

// Messages between this process's own threads carry their parameters in a
// record the process keeps; the system's queue carries only its address
// (LocalMessage), which is looked up before it is used. A framework message
// that comes otherwise came from another process, whose parameters cannot
// be trusted to be addresses: it is taken only by a top-level window that
// allows it (AllowRemoteMessage), as the window registry does on Linux.
struct LocalRecord {
  HWND wnd;
  UINT msg;
  WPARAM w;
  LPARAM l;
  bool posted;  // the receiver deletes it
};
std::mutex g_localMu;
std::set<LocalRecord*> g_local;

WinUINT LocalMessage() {
  static const WinUINT m = RegisterWindowMessageW(L"QuillupLocalMessage");
  return m;
}

// Null for an address this process did not hand out (or handed out and
// took back).
LocalRecord* TakeLocal(WinWPARAM w) {
  auto* r = (LocalRecord*)w;
  std::lock_guard<std::mutex> lock(g_localMu);
  if (!g_local.count(r)) return nullptr;
  if (r->posted) g_local.erase(r);
  return r;
}

// Messages only other processes send by themselves; the system sends none
// of these to the framework's windows.
bool IsRemoteOnly(WinUINT msg) {
  return msg == WM_COMMAND || msg == WM_INITDIALOG || (msg >= WM_USER && msg < 0xC000);
}

bool IsFrameworkMessage(WinUINT msg) {
  switch (msg) {
    case WM_INITDIALOG: case WM_COMMAND: case WM_TIMER: case WM_CLOSE: case WM_KEYDOWN:
    case WM_QUERYENDSESSION: case WM_ENDSESSION:
      return true;
    default:
      // Registered messages (0xC000 up) are the system's broadcasts.
      return msg >= WM_USER && msg < 0xC000;
  }
}

WinLRESULT CALLBACK WindowProcedure(WinHWND h, WinUINT msg, WinWPARAM w, WinLPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = (CREATESTRUCTW*)l;
    SetWindowLongPtrW(h, GWLP_USERDATA, (LONG_PTR)cs->lpCreateParams);
  }
  CWnd* wnd = ObjectOf(h);
  if (msg == LocalMessage() && msg != 0) {
    LocalRecord* r = TakeLocal(w);
    if (!r) return 0;
    std::unique_ptr<LocalRecord> owned(r->posted ? r : nullptr);
    if (!wnd || r->wnd != Plat(h)) return 0;
    return (WinLRESULT)wnd->WindowProc(r->msg, r->w, r->l);
  }
  if (!wnd) return DefWindowProcW(h, msg, w, l);
  switch (msg) {
    case WM_PAINT:
      ShowPicture(h, wnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the picture covers everything
    case WM_LBUTTONDOWN: case WM_LBUTTONUP: case WM_MOUSEMOVE:
      Mouse(h, wnd, msg, l);
      return 0;
    case WM_SETCURSOR:
      if (LOWORD(l) == HTCLIENT) {
        auto* hand = (const bool*)GetPropW(Win(TopOf(wnd)->GetSafeHwnd()), kHandCursorProp);
        SetCursor(LoadCursorW(nullptr, hand && *hand ? IDC_HAND : IDC_ARROW));
        return TRUE;
      }
      break;
    case WM_MOVE:
      // A drag by the system moves the window without the framework.
      if (!wnd->GetParent()) {
        POINT p = {0, 0};
        ClientToScreen(h, &p);
        WndAccess::SetDragPosition(wnd, CPoint(p.x, p.y));
      }
      break;
    case WM_CLOSE:
      if (wnd->GetParent()) return 0;
      wnd->WindowProc(WM_CLOSE, 0, 0);
      return 0;
    case WM_QUERYENDSESSION:
      return wnd->WindowProc(msg, w, l) ? TRUE : FALSE;
    default:
      if (!IsFrameworkMessage(msg)) break;
      if (IsRemoteOnly(msg) && (wnd->GetParent() || !wnd->IsRemoteMessageAllowed(msg))) {
        LogWrite(LOG_WARN, "plat::RemoteMessage", u"忽略其他进程发来的消息:" + WFromInt((int)msg));
        return 0;
      }
      return (WinLRESULT)wnd->WindowProc(msg, (WPARAM)w, (LPARAM)l);
  }
  return DefWindowProcW(h, msg, w, l);
}

bool IsReceiverMessage(WinUINT msg) {
  return msg == WM_CLOSE || msg == WM_COMMAND || msg == WM_TIMER || (msg >= WM_USER && msg < 0xC000);
}

WinLRESULT CALLBACK ReceiverProcedure(WinHWND h, WinUINT msg, WinWPARAM w, WinLPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = (CREATESTRUCTW*)l;
    SetWindowLongPtrW(h, GWLP_USERDATA, (LONG_PTR)cs->lpCreateParams);
  }
  auto* handler = (MessageHandler*)GetWindowLongPtrW(h, GWLP_USERDATA);
  if (msg == LocalMessage() && msg != 0) {
    LocalRecord* r = TakeLocal(w);
    if (!r) return 0;
    std::unique_ptr<LocalRecord> owned(r->posted ? r : nullptr);
    return handler ? (WinLRESULT)(*handler)(r->msg, r->w, r->l) : 0;
  }
  if (handler && IsReceiverMessage(msg)) return (WinLRESULT)(*handler)(msg, (WPARAM)w, (LPARAM)l);
  return DefWindowProcW(h, msg, w, l);
}

void RegisterClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProcedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
    wc.lpfnWndProc = ReceiverProcedure;
    wc.lpszClassName = kReceiverClass;
    RegisterClassExW(&wc);
  });
}

// Windows of this process's framework, owned by the calling thread.
bool IsOwnFrameworkWindow(WinHWND h) {
  if (!h || !::IsWindow(h) || GetWindowThreadProcessId(h, nullptr) != GetCurrentThreadId()) return false;
  wchar_t cls[32];
  return GetClassNameW(h, cls, 32) > 0 && wcscmp(cls, kWindowClass) == 0;
}

bool IsOtherProcess(WinHWND h) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(h, &pid);
  return pid != GetCurrentProcessId();
}

// One step of the loop: a message of the system's queue (sent ones are
// served while peeking), else a pending paint.
bool Step() {
  MSG m;
  if (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      // Left for the outermost loop, as the system would.
      PostQuitMessage((int)m.wParam);
      return false;
    }
    TranslateMessage(&m);
    DispatchMessageW(&m);
    return true;
  }
  if (!t_state.paint.empty()) {
    CWnd* top = t_state.paint.front();
    t_state.paint.erase(t_state.paint.begin());
    FwPaint(top);
    return true;
  }
  return false;
}

}  // namespace

HWND AllocHandle() { return kHandlerBase | (HWND)(++g_counter); }

HWND AttachWindow(CWnd* wnd) {
  RegisterClasses();
  WinHWND h;
  if (CWnd* parent = wnd->GetParent()) {
    CRect r;
    wnd->GetWindowRect(r);
    parent->ScreenToClient(r);
    h = CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_VISIBLE, r.left, r.top, r.Width(), r.Height(),
                        Win(parent->GetSafeHwnd()), (HMENU)(intptr_t)wnd->GetDlgCtrlID(), GetModuleHandleW(nullptr),
                        wnd);
  } else {
    // Shown and placed by the backend; headless it stays hidden and serves
    // messages and timers alone.
    uint32_t style = WS_POPUP | (wnd->GetStyle() & (WS_CAPTION | WS_SYSMENU));
    uint32_t ex = wnd->GetExStyle() & (WS_EX_TOOLWINDOW | WS_EX_APPWINDOW | WS_EX_TOPMOST);
    if (wnd->GetStyle() & DS_MODALFRAME) ex |= WS_EX_DLGMODALFRAME;
    h = CreateWindowExW(ex, kWindowClass, Wide(wnd->GetWindowText()).c_str(), style, 0, 0, 0, 0, nullptr, nullptr,
                        GetModuleHandleW(nullptr), wnd);
  }
  if (!h) LogWrite(LOG_ERROR, "plat::AttachWindow", u"创建窗口失败:" + WFromInt((int)GetLastError()));
  return Plat(h);
}

void RebindWindow(HWND wnd, CWnd* obj) { SetWindowLongPtrW(Win(wnd), GWLP_USERDATA, (LONG_PTR)obj); }

void DetachWindow(HWND wnd) {
  WinHWND h = Win(wnd);
  t_state.timers.erase(wnd);
  if (!IsOwnFrameworkWindow(h)) return;
  SetWindowLongPtrW(h, GWLP_USERDATA, 0);
  ::DestroyWindow(h);
}

CWnd* LocalWindow(HWND wnd) {
  if (wnd >= kHandlerBase) return nullptr;
  WinHWND h = Win(wnd);
  return IsOwnFrameworkWindow(h) ? ObjectOf(h) : nullptr;
}

bool IsOwnThread(HWND wnd) { return LocalWindow(wnd) != nullptr; }

void LoopSetTimer(HWND wnd, UINT_PTR id, UINT ms) {
  if (::SetTimer(Win(wnd), (WinUINT_PTR)id, ms, nullptr)) t_state.timers[wnd].insert(id);
}

bool LoopKillTimer(HWND wnd, UINT_PTR id) {
  auto it = t_state.timers.find(wnd);
  if (it == t_state.timers.end() || !it->second.erase(id)) return false;
  ::KillTimer(Win(wnd), (WinUINT_PTR)id);
  return true;
}

void LoopKillTimers(HWND wnd) {
  auto it = t_state.timers.find(wnd);
  if (it == t_state.timers.end()) return;
  for (UINT_PTR id : it->second) ::KillTimer(Win(wnd), (WinUINT_PTR)id);
  t_state.timers.erase(it);
}

void LoopRequestPaint(CWnd* top) {
  auto& p = t_state.paint;
  if (std::find(p.begin(), p.end(), top) == p.end()) p.push_back(top);
}

void LoopCancelPaint(CWnd* top) {
  auto& p = t_state.paint;
  p.erase(std::remove(p.begin(), p.end(), top), p.end());
}

// No descriptors, no registry and no SIGTERM here: windows of other
// processes are the system's, found by title, and the session's end comes
// as WM_QUERYENDSESSION.
void LoopWatchFd(int, std::function<void()>) {}
void LoopUnwatchFd(int) {}
void PollFds(std::vector<pollfd>&, int timeoutMs) { Sleep(timeoutMs < 0 ? 0 : (DWORD)timeoutMs); }
void TopLevelCreated() {}
void TopLevelDestroyed() {}
int RegistryAdd(HWND, const WString&) { return -1; }
void RegistrySetTitle(HWND, const WString&) {}
void RegistryRemove(HWND, int) {}
bool RegistryReceive(int, HWND&, UINT&, WPARAM&, LPARAM&) { return false; }
void FwRemoteMessage(HWND, UINT, WPARAM, LPARAM) {}

bool PostMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
  if (auto handler = HandlerOf(wnd)) {
    (*handler)(msg, w, l);
    return true;
  }
  if (wnd == 0 || wnd >= kHandlerBase) return false;
  WinHWND h = Win(wnd);
  if (IsOtherProcess(h)) return PostMessageW(h, msg, (WinWPARAM)w, (WinLPARAM)l) != 0;
  auto* r = new LocalRecord{wnd, msg, w, l, true};
  {
    std::lock_guard<std::mutex> lock(g_localMu);
    g_local.insert(r);
  }
  if (PostMessageW(h, LocalMessage(), (WinWPARAM)r, 0)) return true;
  std::lock_guard<std::mutex> lock(g_localMu);
  g_local.erase(r);
  delete r;
  return false;
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
  if (auto handler = HandlerOf(wnd)) return (*handler)(msg, w, l);
  if (wnd == 0 || wnd >= kHandlerBase) return 0;
  WinHWND h = Win(wnd);
  // A window of another process may hang: it only gets the message posted.
  if (IsOtherProcess(h)) {
    PostMessageW(h, msg, (WinWPARAM)w, (WinLPARAM)l);
    return 0;
  }
  LocalRecord r{wnd, msg, w, l, false};
  {
    std::lock_guard<std::mutex> lock(g_localMu);
    g_local.insert(&r);
  }
  LRESULT result = (LRESULT)SendMessageW(h, LocalMessage(), (WinWPARAM)&r, 0);
  std::lock_guard<std::mutex> lock(g_localMu);
  g_local.erase(&r);
  return result;
}

HWND RegisterMessageHandler(MessageHandler handler) {
  HWND h = AllocHandle();
  std::lock_guard<std::mutex> lock(g_mu);
  g_handlers[h] = std::make_shared<MessageHandler>(std::move(handler));
  return h;
}

void UnregisterMessageHandler(HWND wnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_handlers.erase(wnd);
}

namespace {
struct Receiver {
  std::thread thread;
  DWORD threadId = 0;
  std::unique_ptr<MessageHandler> handler;
};
std::map<HWND, std::unique_ptr<Receiver>> g_receivers;  // under g_mu
}  // namespace

HWND RegisterMessageWindow(const WString& title, MessageHandler handler) {
  RegisterClasses();
  auto rec = std::make_unique<Receiver>();
  rec->handler = std::make_unique<MessageHandler>(std::move(handler));
  std::mutex mu;
  std::condition_variable cv;
  bool ready = false;
  WinHWND made = nullptr;
  std::wstring name = Wide(title);
  MessageHandler* hp = rec->handler.get();
  rec->thread = std::thread([&, hp, name] {
    // A hidden top-level window: FindWindowW finds it, where a message-only
    // window would stay unseen.
    WinHWND h = CreateWindowExW(WS_EX_TOOLWINDOW, kReceiverClass, name.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr,
                               nullptr, GetModuleHandleW(nullptr), hp);
    {
      std::lock_guard<std::mutex> lock(mu);
      made = h;
      ready = true;
      cv.notify_all();
    }
    if (!h) return;
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
    SetWindowLongPtrW(h, GWLP_USERDATA, 0);
    ::DestroyWindow(h);
  });
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return ready; });
  }
  if (!made) {
    rec->thread.join();
    return 0;
  }
  rec->threadId = ::GetWindowThreadProcessId(made, nullptr);
  HWND h = Plat(made);
  std::lock_guard<std::mutex> lock(g_mu);
  g_receivers[h] = std::move(rec);
  return h;
}

void UnregisterMessageWindow(HWND wnd) {
  std::unique_ptr<Receiver> rec;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_receivers.find(wnd);
    if (it == g_receivers.end()) return;
    rec = std::move(it->second);
    g_receivers.erase(it);
  }
  PostThreadMessageW(rec->threadId, WM_QUIT, 0, 0);
  rec->thread.join();
}

bool IsWindow(HWND wnd) {
  if (HandlerOf(wnd)) return true;
  return wnd != 0 && wnd < kHandlerBase && ::IsWindow(Win(wnd));
}

HWND FindWindow(const WString& title) { return Plat(FindWindowW(nullptr, Wide(title).c_str())); }

uint32_t GetWindowThreadProcessId(HWND wnd, uint32_t* pid) {
  DWORD p = 0;
  if (HandlerOf(wnd)) p = GetCurrentProcessId();
  else if (wnd != 0 && wnd < kHandlerBase) ::GetWindowThreadProcessId(Win(wnd), &p);
  if (pid) *pid = p;
  return p;
}

bool PumpMessages() {
  bool any = false;
  while (Step()) any = true;
  return any;
}

bool RunMessageLoop(const std::function<bool()>& done, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  while (!done()) {
    if (Step()) continue;
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return done();
      wait = (DWORD)left;
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  return true;
}

}  // namespace plat
