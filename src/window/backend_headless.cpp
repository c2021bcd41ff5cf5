// The headless backend: the same loop, timers, messages and painting (into
// the back buffers), nothing on a screen.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "window/toolkit.h"
#include "window/wnd_internal.h"
#include "support/log.h"

namespace plat {
namespace {

class HeadlessBackend : public Backend {
 public:
  HeadlessBackend() {
    const char* s = getenv("QUILLUP_HEADLESS_SCREEN");
    int w = 0, h = 0;
    if (s && sscanf(s, "%dx%d", &w, &h) == 2 && w > 0 && h > 0) m_screen = CRect(0, 0, w, h);
  }
  bool Headless() const override { return true; }
  NativeWindow* Create(CWnd*) override { return nullptr; }
  CRect WorkArea() override { return m_screen; }
  CRect Screen() override { return m_screen; }
  bool OpenUrl(const WString& url) override {
    LogWrite(LOG_INFO, "plat::ShellOpen", u"无界面，不打开网址:" + url);
    return true;
  }
  void Wait(std::vector<pollfd>& fds, int timeoutMs) override {
    PollFds(fds, timeoutMs);
  }
  bool Pump() override { return false; }

 private:
  CRect m_screen{0, 0, 1280, 800};
};

const Toolkit* g_toolkit = nullptr;

}  // namespace

Backend* NewHeadlessBackend() { return new HeadlessBackend; }

bool RegisterToolkit(const Toolkit& toolkit) {
  g_toolkit = &toolkit;
  return true;
}

const Toolkit* GetToolkit() { return g_toolkit; }

Backend& GetBackend() {
  static Backend* backend = [] {
    const char* h = getenv("QUILLUP_HEADLESS");
    if (h && strcmp(h, "1") == 0) return NewHeadlessBackend();
    Backend* b = g_toolkit ? g_toolkit->newBackend() : nullptr;
    return b ? b : NewHeadlessBackend();
  }();
  return *backend;
}

}  // namespace plat
