// Quillup: the automatic updater of the trading client.
#include <cstdio>
#include <cstring>

#include "app/update_app.h"
#include "support/path.h"

namespace {

const char* const kHelp =
    "usage: Quillup [/msgwnd:HANDLE] [/auto | /auto2]\n"
    "       Quillup /replace:PATH | /replace2:PATH\n"
    "       Quillup --help | --version\n"
    "\n"
    "The automatic updater of the trading client. It lives in the client's\n"
    "installation directory, which is its root: it reads config/quillupcfg.ini,\n"
    "config/quillupcfg_ex.ini, config/update.ini and InternalDownloadURL.ini\n"
    "there, logs to Log/tarvex.log and stages in update/. Started without a\n"
    "switch it repairs an interrupted earlier run, downloads and checks the packs\n"
    "the installed version needs, swaps them in with a backup and a record file,\n"
    "writes config/upgradedetail.json and starts the client again.\n"
    "\n"
    "Switches are found anywhere in the command line:\n"
    "  /msgwnd:HANDLE   started by a running client, HANDLE its message window:\n"
    "                   with nothing pending the updater stays in background\n"
    "                   mode and checks again every ReCheckTime seconds; packs\n"
    "                   found meanwhile are applied at the client's next start\n"
    "  /auto            clear update/ first, then update as without a switch\n"
    "  /auto2           clear update/ and exit\n"
    "  /replace:PATH    copy this updater over PATH and start that copy with\n"
    "                   /auto (the way a new updater replaces the old one)\n"
    "  /replace2:PATH   the same, starting the copy with /auto2\n"
    "  --help, -h, /?   this text (only as the sole argument)\n"
    "  --version        the updater's version (only as the sole argument)\n"
    "\n"
    "config/ForbidUpdate.txt in the installation disables updating.\n"
    "\n"
    "Environment:\n"
    "  QUILLUP_HEADLESS=1           no window: message boxes take their default\n"
    "                               answer, status lines go to standard error,\n"
    "                               and a failure that would wait for the stop\n"
    "                               button ends the run (also without a display)\n"
    "  QUILLUP_HEADLESS_SCREEN=WxH  screen size assumed without a display\n"
    "  QUILLUP_CONFIG_SERVICE_HOST  host[:port] of the gray-release query\n"
    "  QUILLUP_CA_BUNDLE            PEM file of the CAs HTTPS servers are checked\n"
    "                               against (default: libcurl's trust store)\n"
    "  QUILLUP_REGISTRY_DIR         directory of HKLM.reg and HKCU.reg (default\n"
    "                               /etc/quillup/registry.reg and\n"
    "                               $XDG_CONFIG_HOME/quillup/registry.reg)\n"
    "  XDG_RUNTIME_DIR              where the single-instance lock and the window\n"
    "                               registry live\n"
    "  http_proxy, HTTP_PROXY       proxy when the registry names none\n"
    "  DISPLAY, WAYLAND_DISPLAY     the display the window shows on\n"
    "\n"
    "Exit status:\n"
    "  0  the run ended well: updated, nothing to do, updating disabled, /auto2\n"
    "     cleaned up, or /replace: started the new updater\n"
    "  1  the update failed (download, staging, swap, missing client files, no\n"
    "     right to write, stopped); Log/tarvex.log says why\n"
    "  2  no usable configuration, or not started from an installation\n"
    "  3  another instance of the updater runs in this installation\n"
    "  4  the pack list was refused (its signature or contents)\n"
    "  5  the self-replacement failed or /replace: named no updater file\n"
    "\n"
    "Staging rebuilds changed files from their deltas, with the xdelta3 program for\n"
    "deltas with secondary compression.\n";

bool IsHelp(const char* a) { return strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "/?") == 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && IsHelp(argv[1])) {
    fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("Quillup %s\n", Utf8FromWide(GetSelfVersion()).c_str());
    return 0;
  }
  quillup::CUpdateApp app(argc, argv);
  app.InitInstance();
  return app.ExitCode();
}
