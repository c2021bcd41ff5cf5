// Window handles and messages between threads and processes.
//
// Each window belongs to the thread that created it; its messages are
// served by that thread's loop (CDialog::DoModal, PumpMessages). A window
// that other processes may reach has an entry in the window registry of
// the runtime directory ($XDG_RUNTIME_DIR, else /tmp/quillup-<uid>): its
// handle, owner pid and title, with a datagram socket for posted messages.
#pragma once

#include <cstdint>
#include <functional>

#include "base/text.h"

namespace plat {

using HWND = uint64_t;
using UINT = uint32_t;
using WPARAM = uint64_t;
using LPARAM = int64_t;
using LRESULT = int64_t;
using UINT_PTR = uint64_t;

// Standard messages the layer generates or understands.
enum : UINT {
  WM_NULL = 0x0000,
  WM_DESTROY = 0x0002,
  WM_SETTEXT = 0x000C,
  WM_PAINT = 0x000F,  // wParam: the CDC* to draw on
  WM_CLOSE = 0x0010,
  WM_QUERYENDSESSION = 0x0011,
  WM_ERASEBKGND = 0x0014,  // wParam: the CDC* to draw on
  WM_ENDSESSION = 0x0016,
  WM_SETCURSOR = 0x0020,
  WM_NCHITTEST = 0x0084,  // lParam: screen point, MakeLParam(x, y)
  WM_KEYDOWN = 0x0100,
  WM_INITDIALOG = 0x0110,
  WM_COMMAND = 0x0111,  // wParam: MakeWParam(id, notification code), lParam: control handle
  WM_TIMER = 0x0113,    // wParam: timer id
  WM_MOUSEMOVE = 0x0200,  // lParam: client point, MakeLParam(x, y)
  WM_LBUTTONDOWN = 0x0201,
  WM_LBUTTONUP = 0x0202,
  WM_USER = 0x0400,
};

// Hit-test answers, command ids and notifications.
enum : int { HTTRANSPARENT = -1, HTNOWHERE = 0, HTCLIENT = 1, HTCAPTION = 2 };
enum : int { IDOK = 1, IDCANCEL = 2 };
enum : UINT { BN_CLICKED = 0, STN_CLICKED = 0 };
enum : int { VK_RETURN = 0x0D, VK_ESCAPE = 0x1B };

inline LPARAM MakeLParam(int lo, int hi) { return (LPARAM)(uint32_t)(((uint32_t)(uint16_t)lo) | ((uint32_t)(uint16_t)hi << 16)); }
inline WPARAM MakeWParam(int lo, int hi) { return (WPARAM)MakeLParam(lo, hi); }
inline int LoWord(uint64_t v) { return (int)(int16_t)(v & 0xFFFF); }
inline int HiWord(uint64_t v) { return (int)(int16_t)((v >> 16) & 0xFFFF); }

// Queues a message for the window's thread. False for an unknown window
// (or, across processes, one whose queue is full).
bool PostMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l);
// Delivers the message and waits until its handler returned; called on
// the window's own thread it runs the handler directly. While waiting,
// messages sent to the caller's own windows are still handled, so two
// threads sending to each other do not lock up. A window of another
// process gets the message posted (it cannot wait for it) and 0 is returned.
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l);

// A receiver of this process that is not a window (tests, tools). Its
// handler runs on the thread that posts or sends.
using MessageHandler = std::function<LRESULT(UINT msg, WPARAM w, LPARAM l)>;
HWND RegisterMessageHandler(MessageHandler handler);
void UnregisterMessageHandler(HWND wnd);

// A message window that other processes can find by title and post to,
// for programs without windows of their own (a client hands its handle to
// the updater with /msgwnd:). The handler runs on a receiver thread of the
// registration; messages from this process reach it as with
// RegisterMessageHandler.
HWND RegisterMessageWindow(const WString& title, MessageHandler handler);
void UnregisterMessageWindow(HWND wnd);

// A window of this or a live process.
bool IsWindow(HWND wnd);
// The live top-level window with exactly this title, 0 when none. Entries
// left by dead processes are removed on the way.
HWND FindWindow(const WString& title);
// Stores the owner's pid (0 for no window) and returns it; windows have no
// separate thread ids here.
uint32_t GetWindowThreadProcessId(HWND wnd, uint32_t* pid);

// Dispatches what is pending for the calling thread (messages, then
// painting, then due timers) without waiting. False when nothing was there.
bool PumpMessages();
// Runs the calling thread's loop until done() is true or timeoutMs passed
// (a negative timeout waits for done() alone). True when done() became true.
bool RunMessageLoop(const std::function<bool()>& done, int timeoutMs = -1);

// True when windows draw nothing on a screen: no display, no toolkit, or
// QUILLUP_HEADLESS=1. Nobody can press a button there.
bool IsHeadless();

// Message boxes: modal on the calling thread, the owner's messages keep
// being served. Headless: logged and answered with the default button (OK).
enum : UINT {
  MB_OK = 0x0, MB_OKCANCEL = 0x1,
  MB_ICONQUESTION = 0x20, MB_ICONINFORMATION = 0x40,
  MB_TOPMOST = 0x40000,
};
int MessageBox(HWND owner, const WString& text, const WString& caption, UINT type);

// Opens an address with the desktop's handler (headless: logged only).
// Tests replace the opener so that nothing is launched.
bool ShellOpen(const WString& url);
void SetShellOpenHandler(std::function<bool(const WString& url)> handler);

}  // namespace plat
