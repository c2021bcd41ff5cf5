// Window handles and messages between threads and processes.
#pragma once

#include <cstdint>
#include <functional>

namespace plat {

using HWND = uint64_t;
using WPARAM = uint64_t;
using LPARAM = int64_t;
using LRESULT = int64_t;

// Queues a message for the window's thread. False for an unknown window.
bool PostMessage(HWND wnd, uint32_t msg, WPARAM w, LPARAM l);
// Delivers the message and waits until its handler returned; called on
// the window's own thread it runs the handler directly.
LRESULT SendMessage(HWND wnd, uint32_t msg, WPARAM w, LPARAM l);

// A receiver of this process that is not a window (tests, tools). Its
// handler runs on the thread that posts or sends.
using MessageHandler = std::function<LRESULT(uint32_t msg, WPARAM w, LPARAM l)>;
HWND RegisterMessageHandler(MessageHandler handler);
void UnregisterMessageHandler(HWND wnd);

}  // namespace plat
