// quillup-pack: the release engineer's side of the updater.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "nginx.h"
#include "packset.h"
#include "serve.h"
#include "signing.h"
#include "verify.h"

namespace {

// Each command's help starts with its usage line(s); "quillup-pack --help"
// prints all of them.
const char* const kBuildHelp =
    "usage: quillup-pack build -o SERVER_DIR [--replace] [--force-repair] [--full-name NAME]\n"
    "                          [--sign-key KEY.pem [--expires-days N]] [-q] VERSION_DIR...\n"
    "\n"
    "Writes into SERVER_DIR the full pack of the newest version, the base pack of\n"
    "the oldest, one increment per step between successive versions (changed files\n"
    "as xdelta3 deltas when that is smaller, new files plain; named \"p\" + MD5 of\n"
    "the first 63 bytes of the config/update.ini the step leads to) and\n"
    "servicepacksNum.xml. VERSION_DIRs are installation trees, oldest first, each\n"
    "with config/update.ini and config/quillupcfg.ini (QUILLUP_ID rising from one\n"
    "to the next, one QUILLUP_VERSION). The set is built beside SERVER_DIR and moved\n"
    "in only when complete. The updater never deletes files, so files dropped from\n"
    "a version stay in updated installations (a warning names them).\n"
    "\n"
    "  -o, --output SERVER_DIR  the server directory to write: new, empty, or with\n"
    "                           --replace one that holds servicepacksNum.xml\n"
    "  --replace                replace the packs of an existing server directory\n"
    "  --force-repair           also write force_servicepack.xml naming the full\n"
    "                           pack, which every installation then takes\n"
    "  --full-name NAME         name of the full pack (default full_ + the newest\n"
    "                           QUILLUP_ID); letters, digits, _ - ., not starting\n"
    "                           with a lower-case p\n"
    "  --sign-key KEY.pem       add the SHA-256 of every pack to the lists and write\n"
    "                           each list's signature beside it (LIST.sig), made\n"
    "                           with this private key (from keygen)\n"
    "  --expires-days N         with --sign-key and --force-repair: the signed\n"
    "                           forced list expires after N days (default 7)\n"
    "  -q, --quiet              no progress, only warnings, errors and the summary\n"
    "  -h, --help               this text\n"
    "\n"
    "Progress goes to standard error: files done of the total, bytes and the\n"
    "current step, on one line redrawn in place on a terminal; otherwise one line\n"
    "per step and one every 5 seconds while a step runs. The summary (a line per\n"
    "pack: name, size, MD5, content) and the time the build took go to standard\n"
    "output.\n";

const char* const kVerifyHelp =
    "usage: quillup-pack verify [--public-key KEYS] [-q] SERVER_DIR VERSION_DIR...\n"
    "\n"
    "Checks that every pack of servicepacksNum.xml (and of force_servicepack.xml\n"
    "when present) matches its size and MD5, then for every version (and for an\n"
    "installation whose stamp was lost) replays the updater on a copy: its pack\n"
    "selection, the download's checks and its staging; the result must equal the\n"
    "newest version. VERSION_DIRs as given to build. One line per list and per\n"
    "version on standard output, then the time taken; exit status 1 when any\n"
    "check fails. The copies are made below $TMPDIR (default /tmp).\n"
    "\n"
    "  --public-key KEYS  also check the lists' signatures, the packs' SHA-256\n"
    "                     and the forced list's expiry; KEYS: base64 public keys\n"
    "                     separated by commas, or a file holding them (.pub);\n"
    "                     may be given more than once\n"
    "  -q, --quiet        no progress on standard error\n"
    "  -h, --help         this text\n"
    "\n"
    "Progress goes to standard error as for build.\n";

const char* const kKeyGenHelp =
    "usage: quillup-pack keygen -o DIR\n"
    "\n"
    "Writes an Ed25519 key pair: DIR/signing-key.pem, the private key (mode 0600;\n"
    "an existing one is never replaced), and DIR/signing-key.pub, the public key\n"
    "as one base64 line for PACK_PUBLIC_KEYS, which it also prints.\n"
    "\n"
    "  -o, --output DIR  the directory to write the pair into\n"
    "  -h, --help        this text\n";

const char* const kSignHelp =
    "usage: quillup-pack sign [--expires-days N] KEY.pem SERVER_DIR\n"
    "\n"
    "Adds the SHA-256 of every pack to the lists of SERVER_DIR and signs them with\n"
    "the private key KEY.pem (for packs made elsewhere). The packs must have the\n"
    "sizes and MD5 values their list gives.\n"
    "\n"
    "  --expires-days N  the signed forced list expires after N days (default 7)\n"
    "  -h, --help        this text\n";

const char* const kServeHelp =
    "usage: quillup-pack serve [--port N] [--port-file FILE] [-q] SERVER_DIR\n"
    "\n"
    "Serves SERVER_DIR over HTTP/1.1 on 127.0.0.1 only (GET and HEAD, byte ranges,\n"
    "keep-alive), for demos and tests, and prints its base URL on the first line\n"
    "of standard output. Runs until SIGINT, SIGTERM, SIGHUP or SIGPIPE. In production serve the\n"
    "directory with nginx (see nginx-conf).\n"
    "\n"
    "  --port N          port to listen on (default 0: any free port)\n"
    "  --port-file FILE  write the port there once listening; removed at exit\n"
    "  -q, --quiet       no request log on standard error\n"
    "  -h, --help        this text\n";

const char* const kNginxConfHelp =
    "usage: quillup-pack nginx-conf [--port N] [--server-name NAME] [--listen ADDRESS]\n"
    "                               SERVER_DIR\n"
    "\n"
    "Prints an nginx server block that serves SERVER_DIR at the root of the\n"
    "server: the lists (servicepacksNum.xml, force_servicepack.xml and their .sig\n"
    "signatures) never cached, the packs (*.zip) with byte ranges and cached for\n"
    "30 days, only GET and HEAD (anything else gets 405) and nothing else of the\n"
    "directory. Place it in nginx's http block, e.g. as\n"
    "/etc/nginx/conf.d/quillup.conf, and reload nginx. The versions'\n"
    "OUTSIDE_DOWNLOAD_URL must name this server (http://NAME:PORT).\n"
    "\n"
    "  --port N            port to listen on (default 80)\n"
    "  --server-name NAME  server_name of the block (default _, any name)\n"
    "  --listen ADDRESS    listen on this address only (numeric IPv4, or IPv6 in\n"
    "                      brackets), e.g. 127.0.0.1 for a local test; default:\n"
    "                      every address\n"
    "  -h, --help          this text\n";

const char* const kGeneralHelp =
    "quillup-pack: builds, checks and serves the packs and lists the Quillup\n"
    "updater downloads.\n"
    "\n"
    "usage: quillup-pack COMMAND [OPTION...] ARGUMENT...\n"
    "       quillup-pack COMMAND --help\n"
    "\n"
    "Commands: build, verify, keygen, sign, serve, nginx-conf.\n";

const char* const kCommonHelp =
    "Environment: QUILLUP_PACK_XDELTA3 names the xdelta3 program build uses for the\n"
    "deltas (default: the one found when quillup-pack was built); TMPDIR is where\n"
    "verify makes its copies.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage.\n";

const char* CommandHelp(const std::string& cmd);

int Usage(const std::string& cmd, const std::string& why) {
  if (!why.empty()) fprintf(stderr, "quillup-pack: %s\n", why.c_str());
  const char* help = CommandHelp(cmd);
  fputs(help ? help : kGeneralHelp, stderr);
  if (!help) fputs("\"quillup-pack --help\" describes every command and option.\n", stderr);
  return 2;
}

int Help(const std::string& cmd) {
  fputs(CommandHelp(cmd), stdout);
  fputs("\n", stdout);
  fputs(kCommonHelp, stdout);
  return 0;
}

bool IsHelp(const std::string& a) { return a == "-h" || a == "--help"; }

bool TakeValue(std::vector<std::string>& args, size_t& i, std::string& out) {
  if (i + 1 >= args.size()) return false;
  out = args[++i];
  return true;
}

bool TakeDays(std::vector<std::string>& args, size_t& i, int& out) {
  std::string v;
  if (!TakeValue(args, i, v) || v.empty() || v.size() > 5 || v.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = atoi(v.c_str());
  return true;
}

bool TakePort(std::vector<std::string>& args, size_t& i, int& port) {
  std::string v;
  if (!TakeValue(args, i, v) || v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 5)
    return false;
  port = atoi(v.c_str());
  return true;
}

int Build(std::vector<std::string> args) {
  pack::BuildOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (IsHelp(a)) {
      return Help("build");
    } else if (a == "-o" || a == "--output") {
      if (!TakeValue(args, i, opt.serverDir)) return Usage("build", a + " needs a directory");
    } else if (a == "--replace") {
      opt.replace = true;
    } else if (a == "--force-repair") {
      opt.forceRepair = true;
    } else if (a == "--full-name") {
      if (!TakeValue(args, i, opt.fullName)) return Usage("build", a + " needs a name");
    } else if (a == "--sign-key") {
      if (!TakeValue(args, i, opt.signKey)) return Usage("build", a + " needs a key file");
    } else if (a == "--expires-days") {
      if (!TakeDays(args, i, opt.expiresDays)) return Usage("build", a + " needs a number of days");
    } else if (a == "-q" || a == "--quiet") {
      pack::SetQuiet(true);
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("build", "unknown option " + a);
    } else {
      opt.versionDirs.push_back(a);
    }
  }
  if (opt.serverDir.empty()) return Usage("build", "build needs -o SERVER_DIR");
  if (opt.expiresDays >= 0 && (opt.signKey.empty() || !opt.forceRepair))
    return Usage("build", "--expires-days needs --sign-key and --force-repair");
  if (opt.versionDirs.empty()) return Usage("build", "build needs at least one VERSION_DIR");
  pack::BuildServerDir(opt);
  return 0;
}

int VerifyCmd(std::vector<std::string> args) {
  pack::VerifyOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (IsHelp(a)) {
      return Help("verify");
    } else if (a == "--public-key") {
      std::string keys;
      if (!TakeValue(args, i, keys)) return Usage("verify", a + " needs a key");
      opt.publicKeys += (opt.publicKeys.empty() ? "" : ",") + keys;
    } else if (a == "-q" || a == "--quiet") {
      pack::SetQuiet(true);
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("verify", "unknown option " + a);
    } else if (opt.serverDir.empty()) {
      opt.serverDir = a;
    } else {
      opt.versionDirs.push_back(a);
    }
  }
  if (opt.serverDir.empty() || opt.versionDirs.empty())
    return Usage("verify", "verify needs SERVER_DIR and the VERSION_DIRs");
  return pack::VerifyServerDir(opt);
}

int KeyGenCmd(std::vector<std::string> args) {
  std::string dir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (IsHelp(args[i])) {
      return Help("keygen");
    } else if (args[i] == "-o" || args[i] == "--output") {
      if (!TakeValue(args, i, dir)) return Usage("keygen", args[i] + " needs a directory");
    } else {
      return Usage("keygen", "keygen takes -o DIR only");
    }
  }
  if (dir.empty()) return Usage("keygen", "keygen needs -o DIR");
  pack::KeyGen(dir);
  return 0;
}

int SignCmd(std::vector<std::string> args) {
  int days = pack::kDefaultExpiresDays;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (IsHelp(args[i])) {
      return Help("sign");
    } else if (args[i] == "--expires-days") {
      if (!TakeDays(args, i, days)) return Usage("sign", args[i] + " needs a number of days");
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return Usage("sign", "unknown option " + args[i]);
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.size() != 2) return Usage("sign", "sign needs KEY.pem and SERVER_DIR");
  pack::SignServerDir(rest[0], rest[1], days);
  return 0;
}

int ServeCmd(std::vector<std::string> args) {
  pack::ServeOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (IsHelp(a)) {
      return Help("serve");
    } else if (a == "--port") {
      if (!TakePort(args, i, opt.port)) return Usage("serve", "--port needs a number");
    } else if (a == "--port-file") {
      if (!TakeValue(args, i, opt.portFile)) return Usage("serve", a + " needs a file");
    } else if (a == "-q" || a == "--quiet") {
      opt.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("serve", "unknown option " + a);
    } else if (opt.rootDir.empty()) {
      opt.rootDir = a;
    } else {
      return Usage("serve", "serve takes one SERVER_DIR");
    }
  }
  if (opt.rootDir.empty()) return Usage("serve", "serve needs SERVER_DIR");
  return pack::Serve(opt);
}

int NginxConfCmd(std::vector<std::string> args) {
  pack::NginxOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (IsHelp(a)) {
      return Help("nginx-conf");
    } else if (a == "--port") {
      if (!TakePort(args, i, opt.port)) return Usage("nginx-conf", "--port needs a number");
    } else if (a == "--server-name") {
      if (!TakeValue(args, i, opt.serverName)) return Usage("nginx-conf", a + " needs a name");
    } else if (a == "--listen") {
      if (!TakeValue(args, i, opt.listenAddress)) return Usage("nginx-conf", a + " needs an address");
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("nginx-conf", "unknown option " + a);
    } else if (opt.serverDir.empty()) {
      opt.serverDir = a;
    } else {
      return Usage("nginx-conf", "nginx-conf takes one SERVER_DIR");
    }
  }
  if (opt.serverDir.empty()) return Usage("nginx-conf", "nginx-conf needs SERVER_DIR");
  fputs(pack::NginxServerBlock(opt).c_str(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

struct Command {
  const char* name;
  const char* help;
  int (*run)(std::vector<std::string> args);
};

const Command kCommands[] = {
    {"build", kBuildHelp, Build},
    {"verify", kVerifyHelp, VerifyCmd},
    {"keygen", kKeyGenHelp, KeyGenCmd},
    {"sign", kSignHelp, SignCmd},
    {"serve", kServeHelp, ServeCmd},
    {"nginx-conf", kNginxConfHelp, NginxConfCmd},
};

const char* CommandHelp(const std::string& cmd) {
  for (const Command& c : kCommands)
    if (cmd == c.name) return c.help;
  return nullptr;
}

int GeneralHelp() {
  fputs(kGeneralHelp, stdout);
  for (const Command& c : kCommands) {
    fputs("\n", stdout);
    fputs(c.help, stdout);
  }
  fputs("\n", stdout);
  fputs(kCommonHelp, stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("", "");
  std::string cmd = args[0];
  args.erase(args.begin());
  if (IsHelp(cmd) || cmd == "help") {
    if (!args.empty() && CommandHelp(args[0])) return Help(args[0]);
    return GeneralHelp();
  }
  pack::InstallInterruptHandler();
  for (const Command& c : kCommands) {
    if (cmd != c.name) continue;
    try {
      return c.run(args);
    } catch (const pack::Error& e) {
      fprintf(stderr, "quillup-pack: error: %s\n", e.what());
      return 1;
    }
  }
  return Usage("", "unknown command " + cmd);
}
