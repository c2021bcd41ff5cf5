// The window registry: one entry per reachable window in the runtime
// directory, "<handle>.info" (pid, process start time, title) beside the
// datagram socket "<handle>.sock". A process that died leaves its entry
// behind; every reader checks the owner and removes what is stale.
#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "window/wnd_internal.h"
#include "support/log.h"

namespace plat {
namespace {

constexpr uint32_t kMagic = 0x51574D31;  // "QWM1"

struct Datagram {
  uint32_t magic;
  uint32_t msg;
  uint64_t target;
  uint64_t w;
  int64_t l;
};

// The runtime directory, private to this user; empty when none is usable.
std::string RuntimeDir() {
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  struct stat st;
  if (xdg && *xdg && stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid()) return xdg;
  std::string dir = "/tmp/quillup-" + std::to_string(getuid());
  mkdir(dir.c_str(), 0700);
  // Someone else's directory (or one others may write to) is not used.
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 022)) return "";
  return dir;
}

std::string RegistryDir() {
  std::string base = RuntimeDir();
  if (base.empty()) return "";
  std::string dir = base + "/quillup-windows";
  mkdir(dir.c_str(), 0700);
  return dir;
}

std::string EntryPath(const std::string& dir, HWND h, const char* ext) {
  return dir + "/" + std::to_string(h) + ext;
}

// Field 22 of /proc/<pid>/stat: tells a reused pid from the owner.
std::string StartTime(uint32_t pid, char* state = nullptr) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = s.rfind(')');
  if (p == std::string::npos) return "";
  std::istringstream rest(s.substr(p + 2));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; i++) {
    if (i == 3 && state) *state = field.empty() ? '?' : field[0];
    if (i == 22) return field;
  }
  return "";
}

struct Info {
  uint32_t pid = 0;
  std::string start;
  std::string title;  // UTF-8
};

bool ReadInfo(const std::string& path, Info& info) {
  std::ifstream f(path);
  if (!f) return false;
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("pid ", 0) == 0) info.pid = (uint32_t)strtoul(line.c_str() + 4, nullptr, 10);
    else if (line.rfind("start ", 0) == 0) info.start = line.substr(6);
    else if (line.rfind("title ", 0) == 0) info.title = line.substr(6);
  }
  return info.pid != 0;
}

bool IsLive(const Info& info) {
  if (kill((pid_t)info.pid, 0) != 0 && errno != EPERM) return false;
  char state = '?';
  std::string start = StartTime(info.pid, &state);
  return !start.empty() && state != 'Z' && start == info.start;
}

void RemoveEntry(const std::string& dir, HWND h) {
  unlink(EntryPath(dir, h, ".sock").c_str());
  unlink(EntryPath(dir, h, ".info").c_str());
}

// A live entry's info; a stale one is removed.
bool LiveInfo(const std::string& dir, HWND h, Info& info) {
  if (!ReadInfo(EntryPath(dir, h, ".info"), info)) return false;
  if (IsLive(info) && info.pid == HandlePid(h)) return true;
  RemoveEntry(dir, h);
  return false;
}

bool WriteInfo(const std::string& dir, HWND h, const WString& title) {
  std::string path = EntryPath(dir, h, ".info");
  std::string tmp = path + ".tmp";
  std::string t = Utf8FromWide(title);
  for (char& c : t)
    if (c == '\n' || c == '\r') c = ' ';
  {
    std::ofstream f(tmp, std::ios::trunc);
    if (!f) return false;
    f << "pid " << getpid() << "\nstart " << StartTime((uint32_t)getpid()) << "\ntitle " << t << "\n";
    if (!f.flush()) return false;
  }
  return rename(tmp.c_str(), path.c_str()) == 0;
}

bool MakeAddr(const std::string& path, sockaddr_un& addr) {
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.c_str(), path.size());
  return true;
}

}  // namespace

int RegistryAdd(HWND wnd, const WString& title) {
  std::string dir = RegistryDir();
  if (dir.empty()) {
    LogWrite(LOG_WARN, "plat::RegistryAdd", u"运行目录不可用，窗口不能被其他进程找到");
    return -1;
  }
  sockaddr_un addr;
  std::string sock = EntryPath(dir, wnd, ".sock");
  if (!MakeAddr(sock, addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  unlink(sock.c_str());
  if (bind(fd, (sockaddr*)&addr, sizeof addr) != 0 || !WriteInfo(dir, wnd, title)) {
    close(fd);
    RemoveEntry(dir, wnd);
    return -1;
  }
  return fd;
}

void RegistrySetTitle(HWND wnd, const WString& title) {
  std::string dir = RegistryDir();
  if (!dir.empty() && access(EntryPath(dir, wnd, ".info").c_str(), F_OK) == 0) WriteInfo(dir, wnd, title);
}

void RegistryRemove(HWND wnd, int fd) {
  std::string dir = RegistryDir();
  if (!dir.empty()) RemoveEntry(dir, wnd);
  if (fd >= 0) close(fd);
}

HWND RegistryFind(const WString& title) {
  std::string dir = RegistryDir();
  if (dir.empty()) return 0;
  std::string want = Utf8FromWide(title);
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  HWND found = 0;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() < 6 || name.compare(name.size() - 5, 5, ".info") != 0) continue;
    HWND h = strtoull(name.c_str(), nullptr, 10);
    Info info;
    if (h == 0 || !LiveInfo(dir, h, info)) continue;
    // Of several windows with the title, the oldest (lowest handle of a pid) wins.
    if (info.title == want && (found == 0 || h < found)) found = h;
  }
  closedir(d);
  return found;
}

uint32_t RegistryPid(HWND wnd) {
  std::string dir = RegistryDir();
  Info info;
  if (dir.empty() || !LiveInfo(dir, wnd, info)) return 0;
  return info.pid;
}

bool RegistryPost(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
  std::string dir = RegistryDir();
  Info info;
  if (dir.empty() || !LiveInfo(dir, wnd, info)) return false;
  sockaddr_un addr;
  if (!MakeAddr(EntryPath(dir, wnd, ".sock"), addr)) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  Datagram d{kMagic, msg, wnd, w, l};
  ssize_t n = sendto(fd, &d, sizeof d, MSG_DONTWAIT | MSG_NOSIGNAL, (sockaddr*)&addr, sizeof addr);
  int err = errno;
  close(fd);
  if (n == (ssize_t)sizeof d) return true;
  if (err == ECONNREFUSED || err == ENOENT) {
    // The owner lives but the window is gone without its entry.
    RemoveEntry(dir, wnd);
  }
  return false;
}

bool RegistryReceive(int fd, HWND& wnd, UINT& msg, WPARAM& w, LPARAM& l) {
  Datagram d;
  ssize_t n = recv(fd, &d, sizeof d, MSG_DONTWAIT);
  if (n < 0) return false;
  if (n != (ssize_t)sizeof d || d.magic != kMagic) {
    wnd = 0;  // a malformed datagram is read and dropped
    return true;
  }
  wnd = d.target;
  msg = d.msg;
  w = d.w;
  l = d.l;
  return true;
}

// ---- message windows of programs without a loop ----
namespace {
struct MsgWindow {
  int fd = -1;
  int stopPipe[2] = {-1, -1};
  std::thread th;
};
std::mutex g_mwMu;
std::map<HWND, std::unique_ptr<MsgWindow>> g_msgWindows;
}  // namespace

HWND RegisterMessageWindow(const WString& title, MessageHandler handler) {
  auto shared = std::make_shared<MessageHandler>(std::move(handler));
  HWND h = RegisterMessageHandler([shared](UINT m, WPARAM w, LPARAM l) { return (*shared)(m, w, l); });
  auto mw = std::make_unique<MsgWindow>();
  mw->fd = RegistryAdd(h, title);
  if (mw->fd < 0 || pipe2(mw->stopPipe, O_CLOEXEC) != 0) {
    RegistryRemove(h, mw->fd);
    UnregisterMessageHandler(h);
    return 0;
  }
  int fd = mw->fd, stop = mw->stopPipe[0];
  mw->th = std::thread([fd, stop, shared, h] {
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      HWND target;
      UINT msg;
      WPARAM w;
      LPARAM l;
      while (RegistryReceive(fd, target, msg, w, l))
        if (target == h && target != 0) (*shared)(msg, w, l);
    }
  });
  std::lock_guard<std::mutex> lock(g_mwMu);
  g_msgWindows[h] = std::move(mw);
  return h;
}

void UnregisterMessageWindow(HWND wnd) {
  std::unique_ptr<MsgWindow> mw;
  {
    std::lock_guard<std::mutex> lock(g_mwMu);
    auto it = g_msgWindows.find(wnd);
    if (it == g_msgWindows.end()) return;
    mw = std::move(it->second);
    g_msgWindows.erase(it);
  }
  (void)!write(mw->stopPipe[1], "x", 1);
  mw->th.join();
  close(mw->stopPipe[0]);
  close(mw->stopPipe[1]);
  RegistryRemove(wnd, mw->fd);
  UnregisterMessageHandler(wnd);
}

}  // namespace plat
