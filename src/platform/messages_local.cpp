#include <map>
#include <mutex>

#include "platform/window.h"

namespace plat {
namespace {
std::mutex g_mu;
std::map<HWND, MessageHandler> g_handlers;
HWND g_next = 0x7000000000000001ULL;

bool Lookup(HWND wnd, MessageHandler& h) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_handlers.find(wnd);
  if (it == g_handlers.end()) return false;
  h = it->second;
  return true;
}
}  // namespace

HWND RegisterMessageHandler(MessageHandler handler) {
  std::lock_guard<std::mutex> lock(g_mu);
  HWND h = g_next++;
  g_handlers[h] = std::move(handler);
  return h;
}

void UnregisterMessageHandler(HWND wnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_handlers.erase(wnd);
}

bool PostMessage(HWND wnd, uint32_t msg, WPARAM w, LPARAM l) {
  MessageHandler h;
  if (!Lookup(wnd, h)) return false;
  h(msg, w, l);
  return true;
}

LRESULT SendMessage(HWND wnd, uint32_t msg, WPARAM w, LPARAM l) {
  MessageHandler h;
  if (!Lookup(wnd, h)) return 0;
  return h(msg, w, l);
}

}  // namespace plat
