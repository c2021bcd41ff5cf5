// Talks to windows of other processes: the system's on Windows, the window
// registry's on Linux.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "window/window.h"

namespace {

const char* const kHelp =
    "usage: quillup-msgwnd find TITLE\n"
    "       quillup-msgwnd post TITLE|#HANDLE MSG [WPARAM]\n"
    "       quillup-msgwnd serve TITLE [SECONDS]\n"
    "       quillup-msgwnd --help | --version\n"
    "\n"
    "Finds, posts to and serves windows of other processes, as a client does\n"
    "when it starts the updater with /msgwnd:HANDLE: on Windows the system's\n"
    "windows, on Linux those of the window registry of the updater's platform\n"
    "layer (below $XDG_RUNTIME_DIR/quillup, else /tmp/quillup-UID).\n"
    "\n"
    "  find TITLE           print \"HANDLE PID\" of the window with this title;\n"
    "                       exit status 1 when there is none\n"
    "  post TITLE|#HANDLE MSG [WPARAM]\n"
    "                       post message number MSG (decimal) with WPARAM\n"
    "                       (default 0) to the window named by title or by\n"
    "                       #HANDLE; prints \"HANDLE PID\" first; exit status 1\n"
    "                       when it was not delivered\n"
    "  serve TITLE [SECONDS]\n"
    "                       register a message window with this title, print its\n"
    "                       handle, then \"MSG WPARAM LPARAM\" per message\n"
    "                       received; ends on WM_CLOSE (16) or after SECONDS\n"
    "                       (default 60)\n"
    "  -h, --help           this text\n"
    "  --version            the version of this program\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("quillup-msgwnd %d.%d.%d.%d\n", QUILLUP_VERSION_MAJOR, QUILLUP_VERSION_MINOR, QUILLUP_VERSION_PATCH,
           QUILLUP_VERSION_TWEAK);
    return 0;
  }
  if (argc < 3) {
    fputs(kHelp, stderr);
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
