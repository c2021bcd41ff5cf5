// Talks to windows of other processes through the window registry.
//   quillup-msgwnd find TITLE                 prints "<handle> <pid>" of the window (exit 1: none)
//   quillup-msgwnd post TITLE|#HANDLE MSG [W] posts MSG to it (exit 1: not delivered)
//   quillup-msgwnd serve TITLE [SECONDS]      registers a message window, prints its handle,
//                                             then prints "msg w l" per message; ends on
//                                             WM_CLOSE (16) or after SECONDS (default 60)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/window.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s find TITLE | post TITLE|#HANDLE MSG [W] | serve TITLE [SECONDS]\n", argv[0]);
    return 2;
  }
  std::string cmd = argv[1];
  WString title = WideFromUtf8(argv[2]);
  if (cmd == "find" || cmd == "post") {
    plat::HWND h = argv[2][0] == '#' ? strtoull(argv[2] + 1, nullptr, 10) : plat::FindWindow(title);
    uint32_t pid = 0;
    if (!h || !plat::GetWindowThreadProcessId(h, &pid)) {
      fprintf(stderr, "no window %s\n", argv[2]);
      return 1;
    }
    printf("%llu %u\n", (unsigned long long)h, pid);
    fflush(stdout);
    if (cmd == "find") return 0;
    if (argc < 4) return 2;
    plat::UINT msg = (plat::UINT)strtoul(argv[3], nullptr, 10);
    plat::WPARAM w = argc > 4 ? strtoull(argv[4], nullptr, 10) : 0;
    return plat::PostMessage(h, msg, w, 0) ? 0 : 1;
  }
  if (cmd == "serve") {
    int seconds = argc > 3 ? atoi(argv[3]) : 60;
    std::atomic<bool> done{false};
    plat::HWND h = plat::RegisterMessageWindow(title, [&](plat::UINT m, plat::WPARAM w, plat::LPARAM l) -> plat::LRESULT {
      printf("%u %llu %lld\n", m, (unsigned long long)w, (long long)l);
      fflush(stdout);
      if (m == plat::WM_CLOSE) done = true;
      return 0;
    });
    if (!h) {
      fprintf(stderr, "cannot register a message window\n");
      return 1;
    }
    printf("%llu\n", (unsigned long long)h);
    fflush(stdout);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    plat::UnregisterMessageWindow(h);
    return 0;
  }
  return 2;
}
