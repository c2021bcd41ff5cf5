// Between the framework (wnd.cpp), the thread loops (messages_linux.cpp),
// the window registry and the two backends. Not for use outside window/.
#pragma once

#include <functional>
#include <vector>

#include "window/wnd.h"

// <poll.h> on Linux; Windows loops wait on the system's queue instead.
struct pollfd;

// Private state of CWnd the loop and the backends reach.
struct WndAccess {
  static plat::HBITMAP BackBuffer(CWnd* w);
  // A move by the window manager while a drag runs.
  static void SetDragPosition(CWnd* w, CPoint p);
  static void Paint(CWnd* top);
};

namespace plat {

// ---- backends ----
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;
  virtual void SetTitle(const WString& title) = 0;
  virtual void SetGeometry(const CRect& screen) = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual void SetExStyle(uint32_t exStyle) = 0;
  // Pixels of the window that show; null: all of them.
  virtual void SetShape(const std::vector<CRect>* rects) = 0;
  virtual void Present() = 0;
  // The back buffer changed in this rectangle (client coordinates).
  virtual void Flush(const CRect& dirty) = 0;
  virtual void SetCursorHand(bool hand) = 0;
  virtual void BeginMoveDrag() = 0;
  virtual void SetIcon(HBITMAP icon) = 0;
  virtual void SetOwner(NativeWindow* owner) = 0;
  virtual CWnd::NativeState Query() = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual bool Headless() const = 0;
  // Null when the window shows nowhere (headless, or a window made on a
  // thread other than the toolkit's).
  virtual NativeWindow* Create(CWnd* wnd) = 0;
  virtual CRect WorkArea() = 0;
  virtual CRect Screen() = 0;
  virtual bool OpenUrl(const WString& url) = 0;
  // Waits for the given descriptors (revents filled) or the timeout, and
  // dispatches the toolkit's own events when this is its thread.
  virtual void Wait(std::vector<pollfd>& fds, int timeoutMs) = 0;
  // Dispatches pending toolkit events without waiting; true if any.
  virtual bool Pump() = 0;
};
// The toolkit's backend when one is linked in and finds a display (unless
// QUILLUP_HEADLESS=1), else the headless one.
Backend& GetBackend();
Backend* NewHeadlessBackend();

// ---- thread loops ----
HWND AllocHandle();
// A window object of the calling thread's loop.
HWND AttachWindow(CWnd* wnd);
void DetachWindow(HWND wnd);
// The same handle now names another object of the calling thread.
void RebindWindow(HWND wnd, CWnd* obj);
// Only on the window's own thread.
CWnd* LocalWindow(HWND wnd);
bool IsOwnThread(HWND wnd);
void LoopSetTimer(HWND wnd, UINT_PTR id, UINT ms);
bool LoopKillTimer(HWND wnd, UINT_PTR id);
void LoopKillTimers(HWND wnd);
// Asks the calling thread's loop to paint this top-level window.
void LoopRequestPaint(CWnd* top);
void LoopCancelPaint(CWnd* top);
// poll() that goes on after a signal (a plain sleep on Windows).
void PollFds(std::vector<pollfd>& fds, int timeoutMs);
// Descriptors served by the calling thread's loop.
void LoopWatchFd(int fd, std::function<void()> onReadable);
void LoopUnwatchFd(int fd);
// Top-level windows change the count that decides how SIGTERM is taken.
void TopLevelCreated();
void TopLevelDestroyed();

// ---- framework entry points ----
void FwPaint(CWnd* top);
// A message that came from another process for a top-level window.
void FwRemoteMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l);

// ---- window registry (runtime directory) ----
// Creates the entry and its socket; returns the socket (-1 on failure).
int RegistryAdd(HWND wnd, const WString& title);
void RegistrySetTitle(HWND wnd, const WString& title);
void RegistryRemove(HWND wnd, int fd);
HWND RegistryFind(const WString& title);
uint32_t RegistryPid(HWND wnd);  // 0: no live entry
bool RegistryPost(HWND wnd, UINT msg, WPARAM w, LPARAM l);
// Reads one datagram; false when none (or malformed).
bool RegistryReceive(int fd, HWND& wnd, UINT& msg, WPARAM& w, LPARAM& l);

// The handle's pid part.
inline uint32_t HandlePid(HWND h) { return (uint32_t)(h >> 32); }

}  // namespace plat
