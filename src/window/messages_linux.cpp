// Thread loops: message queues, synchronous sends, timers, painting and
// the descriptors (registry sockets, the SIGTERM pipe) each loop serves.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "window/wnd_internal.h"
#include "support/log.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

struct SendWait {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  LRESULT result = 0;
  void Finish(LRESULT r) {
    std::lock_guard<std::mutex> lock(mu);
    result = r;
    done = true;
    cv.notify_all();
  }
};

struct Item {
  HWND wnd;
  UINT msg;
  WPARAM w;
  LPARAM l;
  std::shared_ptr<SendWait> wait;  // set for sent messages
};

struct Timer {
  HWND wnd;
  UINT_PTR id;
  UINT period;
  Clock::time_point due;
};

class ThreadLoop {
 public:
  ThreadLoop() { m_efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~ThreadLoop() {
    // Senders still waiting on this thread are let go with 0.
    std::deque<Item> rest;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_dead = true;
      rest.swap(m_sent);
    }
    for (auto& it : rest) it.wait->Finish(0);
    if (m_efd >= 0) close(m_efd);
  }

  // Any thread.
  bool Enqueue(Item item) {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      if (m_dead) return false;
      (item.wait ? m_sent : m_posted).push_back(std::move(item));
    }
    Wake();
    return true;
  }
  void Wake() {
    uint64_t one = 1;
    if (m_efd >= 0) (void)!write(m_efd, &one, sizeof one);
  }

  // Own thread only below.
  bool TakeSent(Item& out) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_sent.empty()) return false;
    out = std::move(m_sent.front());
    m_sent.pop_front();
    return true;
  }
  bool TakePosted(Item& out) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_posted.empty()) return false;
    out = std::move(m_posted.front());
    m_posted.pop_front();
    return true;
  }
  bool HasQueued() {
    std::lock_guard<std::mutex> lock(m_mu);
    return !m_sent.empty() || !m_posted.empty();
  }

  int m_efd = -1;
  std::vector<Timer> m_timers;
  std::vector<CWnd*> m_paint;
  std::map<int, std::function<void()>> m_fds;

 private:
  std::mutex m_mu;
  std::deque<Item> m_sent, m_posted;
  bool m_dead = false;
};

struct Entry {
  CWnd* wnd = nullptr;                // window object (lives on loop's thread)
  std::shared_ptr<ThreadLoop> loop;   // its thread's loop
  std::shared_ptr<MessageHandler> handler;  // receivers that are not windows
};

std::mutex g_mu;
std::unordered_map<HWND, Entry> g_entries;
std::atomic<uint32_t> g_counter{0};

thread_local std::shared_ptr<ThreadLoop> t_loop;

ThreadLoop& MyLoop() {
  if (!t_loop) t_loop = std::make_shared<ThreadLoop>();
  return *t_loop;
}

bool Lookup(HWND h, Entry& e) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_entries.find(h);
  if (it == g_entries.end()) return false;
  e = it->second;
  return true;
}

LRESULT Deliver(const Item& it) {
  CWnd* w = LocalWindow(it.wnd);
  return w ? w->WindowProc(it.msg, it.w, it.l) : 0;
}

// ---- SIGTERM: the session's end request, taken on the window thread ----
int g_sigPipe[2] = {-1, -1};
std::atomic<int> g_topLevels{0};
std::once_flag g_sigOnce;

void OnSigterm(int) {
  if (g_topLevels.load() == 0 || g_sigPipe[1] < 0) {
    // No window to ask: the signal ends the process as usual.
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
    return;
  }
  char c = 1;
  (void)!write(g_sigPipe[1], &c, 1);
}

void EndSession() {
  char buf[64];
  while (read(g_sigPipe[0], buf, sizeof buf) > 0) {
  }
  std::vector<HWND> tops;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    for (auto& kv : g_entries)
      if (kv.second.wnd && kv.second.loop == t_loop && !kv.second.wnd->GetParent()) tops.push_back(kv.first);
  }
  LogWrite(LOG_INFO, "plat::EndSession", u"收到SIGTERM，询问各窗口是否结束会话");
  for (HWND h : tops)
    if (IsOwnThread(h) && SendMessage(h, WM_QUERYENDSESSION, 0, 0) == 0) return;  // refused: go on running
  for (HWND h : tops)
    if (IsOwnThread(h)) SendMessage(h, WM_ENDSESSION, 1, 0);
  // The session is over: the process ends as the system would end it.
  std::_Exit(128 + SIGTERM);
}

void InstallSigterm() {
  std::call_once(g_sigOnce, [] {
    if (pipe2(g_sigPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa = {};
    sa.sa_handler = OnSigterm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    // The thread that made the first window serves the request.
    LoopWatchFd(g_sigPipe[0], EndSession);
  });
}

bool DispatchOneMessage(ThreadLoop& loop) {
  Item it;
  if (loop.TakeSent(it)) {
    it.wait->Finish(Deliver(it));
    return true;
  }
  if (loop.TakePosted(it)) {
    Deliver(it);
    return true;
  }
  return false;
}

bool PaintOne(ThreadLoop& loop) {
  if (loop.m_paint.empty()) return false;
  CWnd* top = loop.m_paint.front();
  loop.m_paint.erase(loop.m_paint.begin());
  FwPaint(top);
  return true;
}

bool FireDueTimer(ThreadLoop& loop) {
  auto now = Clock::now();
  for (size_t i = 0; i < loop.m_timers.size(); i++) {
    Timer& t = loop.m_timers[i];
    if (t.due <= now) {
      // A late timer fires once, not once per missed period.
      t.due = now + std::chrono::milliseconds(t.period);
      HWND wnd = t.wnd;
      UINT_PTR id = t.id;
      // Rotate so that two due timers take turns.
      std::rotate(loop.m_timers.begin() + i, loop.m_timers.begin() + i + 1, loop.m_timers.end());
      if (CWnd* w = LocalWindow(wnd)) w->WindowProc(WM_TIMER, id, 0);
      return true;
    }
  }
  return false;
}

int MsUntilTimer(ThreadLoop& loop) {
  if (loop.m_timers.empty()) return -1;
  auto now = Clock::now();
  auto next = loop.m_timers.front().due;
  for (auto& t : loop.m_timers) next = std::min(next, t.due);
  if (next <= now) return 0;
  return (int)std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
}

void WaitEvents(ThreadLoop& loop, int timeoutMs) {
  std::vector<pollfd> fds;
  fds.push_back({loop.m_efd, POLLIN, 0});
  for (auto& kv : loop.m_fds) fds.push_back({kv.first, POLLIN, 0});
  GetBackend().Wait(fds, timeoutMs);
  if (fds[0].revents & POLLIN) {
    uint64_t v;
    (void)!read(loop.m_efd, &v, sizeof v);
  }
  for (size_t i = 1; i < fds.size(); i++) {
    if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
    auto it = loop.m_fds.find(fds[i].fd);
    if (it != loop.m_fds.end()) {
      auto fn = it->second;  // the callback may unwatch itself
      fn();
    }
  }
}

// One step of the loop: toolkit events, sent, posted, paint, timers.
bool Step(ThreadLoop& loop) {
  bool any = GetBackend().Pump();
  if (DispatchOneMessage(loop)) return true;
  if (PaintOne(loop)) return true;
  if (FireDueTimer(loop)) return true;
  return any;
}

}  // namespace

void PollFds(std::vector<pollfd>& fds, int timeoutMs) {
  while (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno == EINTR) {
  }
}

HWND AllocHandle() {
  return ((HWND)(uint32_t)getpid() << 32) | (HWND)(++g_counter);
}

HWND AttachWindow(CWnd* wnd) {
  HWND h = AllocHandle();
  std::lock_guard<std::mutex> lock(g_mu);
  MyLoop();
  g_entries[h] = Entry{wnd, t_loop, nullptr};
  return h;
}

void RebindWindow(HWND wnd, CWnd* obj) {
  std::lock_guard<std::mutex> lock(g_mu);
  MyLoop();
  g_entries[wnd] = Entry{obj, t_loop, nullptr};
}

void DetachWindow(HWND wnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_entries.erase(wnd);
}

CWnd* LocalWindow(HWND wnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_entries.find(wnd);
  if (it == g_entries.end() || !it->second.wnd || it->second.loop != t_loop) return nullptr;
  return it->second.wnd;
}

bool IsOwnThread(HWND wnd) { return LocalWindow(wnd) != nullptr; }

void LoopSetTimer(HWND wnd, UINT_PTR id, UINT ms) {
  ThreadLoop& loop = MyLoop();
  auto due = Clock::now() + std::chrono::milliseconds(ms);
  for (auto& t : loop.m_timers) {
    if (t.wnd == wnd && t.id == id) {
      t.period = ms;
      t.due = due;
      return;
    }
  }
  loop.m_timers.push_back(Timer{wnd, id, ms, due});
}

bool LoopKillTimer(HWND wnd, UINT_PTR id) {
  ThreadLoop& loop = MyLoop();
  auto it = std::find_if(loop.m_timers.begin(), loop.m_timers.end(),
                         [&](const Timer& t) { return t.wnd == wnd && t.id == id; });
  if (it == loop.m_timers.end()) return false;
  loop.m_timers.erase(it);
  return true;
}

void LoopKillTimers(HWND wnd) {
  ThreadLoop& loop = MyLoop();
  loop.m_timers.erase(std::remove_if(loop.m_timers.begin(), loop.m_timers.end(),
                                     [&](const Timer& t) { return t.wnd == wnd; }),
                      loop.m_timers.end());
}

void LoopRequestPaint(CWnd* top) {
  ThreadLoop& loop = MyLoop();
  if (std::find(loop.m_paint.begin(), loop.m_paint.end(), top) == loop.m_paint.end()) loop.m_paint.push_back(top);
}

void LoopCancelPaint(CWnd* top) {
  ThreadLoop& loop = MyLoop();
  loop.m_paint.erase(std::remove(loop.m_paint.begin(), loop.m_paint.end(), top), loop.m_paint.end());
}

void LoopWatchFd(int fd, std::function<void()> onReadable) { MyLoop().m_fds[fd] = std::move(onReadable); }

void LoopUnwatchFd(int fd) { MyLoop().m_fds.erase(fd); }

void TopLevelCreated() {
  g_topLevels++;
  InstallSigterm();
}

void TopLevelDestroyed() { g_topLevels--; }

void FwRemoteMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
  CWnd* target = LocalWindow(wnd);
  if (!target || target->GetParent()) return;
  if (!target->IsRemoteMessageAllowed(msg)) {
    LogWrite(LOG_WARN, "plat::RemoteMessage", u"忽略其他进程发来的消息:" + WFromInt(msg));
    return;
  }
  MyLoop().Enqueue(Item{wnd, msg, w, l, nullptr});
}

bool PostMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
  Entry e;
  if (Lookup(wnd, e)) {
    if (e.handler) {
      (*e.handler)(msg, w, l);
      return true;
    }
    return e.loop->Enqueue(Item{wnd, msg, w, l, nullptr});
  }
  if (wnd == 0 || HandlePid(wnd) == (uint32_t)getpid()) return false;
  return RegistryPost(wnd, msg, w, l);
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
  Entry e;
  if (!Lookup(wnd, e)) {
    if (wnd != 0 && HandlePid(wnd) != (uint32_t)getpid()) RegistryPost(wnd, msg, w, l);
    return 0;
  }
  if (e.handler) return (*e.handler)(msg, w, l);
  if (e.loop == t_loop) return e.wnd->WindowProc(msg, w, l);
  auto wait = std::make_shared<SendWait>();
  if (!e.loop->Enqueue(Item{wnd, msg, w, l, wait})) return 0;
  std::unique_lock<std::mutex> lock(wait->mu);
  while (!wait->done) {
    if (t_loop) {
      // Serve what others send to this thread meanwhile.
      lock.unlock();
      Item it;
      while (t_loop->TakeSent(it)) it.wait->Finish(Deliver(it));
      lock.lock();
      wait->cv.wait_for(lock, std::chrono::milliseconds(5));
    } else {
      wait->cv.wait(lock);
    }
  }
  return wait->result;
}

HWND RegisterMessageHandler(MessageHandler handler) {
  HWND h = AllocHandle();
  std::lock_guard<std::mutex> lock(g_mu);
  g_entries[h] = Entry{nullptr, nullptr, std::make_shared<MessageHandler>(std::move(handler))};
  return h;
}

void UnregisterMessageHandler(HWND wnd) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_entries.erase(wnd);
}

bool IsWindow(HWND wnd) {
  Entry e;
  if (Lookup(wnd, e)) return true;
  if (wnd == 0 || HandlePid(wnd) == (uint32_t)getpid()) return false;
  return RegistryPid(wnd) != 0;
}

uint32_t GetWindowThreadProcessId(HWND wnd, uint32_t* pid) {
  Entry e;
  uint32_t p = 0;
  if (Lookup(wnd, e)) p = (uint32_t)getpid();
  else if (wnd != 0 && HandlePid(wnd) != (uint32_t)getpid()) p = RegistryPid(wnd);
  if (pid) *pid = p;
  return p;
}

HWND FindWindow(const WString& title) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    for (auto& kv : g_entries)
      if (kv.second.wnd && !kv.second.wnd->GetParent() && kv.second.wnd->GetWindowText() == title &&
          kv.second.loop == t_loop)
        return kv.first;
  }
  return RegistryFind(title);
}

bool PumpMessages() {
  ThreadLoop& loop = MyLoop();
  bool any = false;
  while (Step(loop)) any = true;
  // Descriptors that are ready now (registry sockets, SIGTERM).
  WaitEvents(loop, 0);
  while (Step(loop)) any = true;
  return any;
}

bool RunMessageLoop(const std::function<bool()>& done, int timeoutMs) {
  ThreadLoop& loop = MyLoop();
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  while (!done()) {
    if (Step(loop)) continue;
    int wait = MsUntilTimer(loop);
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return done();
      wait = wait < 0 ? (int)left : std::min<int>(wait, (int)left + 1);
    }
    if (loop.HasQueued() || !loop.m_paint.empty()) continue;
    WaitEvents(loop, wait);
  }
  return true;
}

}  // namespace plat
