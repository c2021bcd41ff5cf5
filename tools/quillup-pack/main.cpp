// quillup-pack: the release engineer's side of the updater.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <getopt.h>

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
    "usage: quillup-pack build -o SERVER_DIR [--replace [--force]] [--force-repair]\n"
    "                          [--full-name NAME] [--sign-key KEY.pem [--passphrase-file FILE]\n"
    "                          [--expires-days N]] [--dry-run] [-q] VERSION_DIR...\n"
    "\n"
    "Writes into SERVER_DIR the full pack of the newest version, the base pack of\n"
    "the oldest, one increment per step between successive versions (changed files\n"
    "as xdelta3 deltas when that is smaller, new files plain; named \"p\" + MD5 of\n"
    "the first 63 bytes of the config/update.ini the step leads to) and\n"
    "servicepacksNum.xml. VERSION_DIRs are installation trees, oldest first, each\n"
    "with config/update.ini, config/quillupcfg.ini (QUILLUP_ID rising from one\n"
    "to the next, one QUILLUP_VERSION) and config/neededfilelist.lst, every file\n"
    "of which must be in the tree. The set is built beside SERVER_DIR and moved\n"
    "in only when complete. The updater never deletes files, so files dropped from\n"
    "a version stay in updated installations (a warning names them).\n"
    "\n"
    "Before anything is packed, every name is checked against what a Windows\n"
    "installation can hold: no CON, PRN, AUX, NUL, COM1-9 or LPT1-9 (with any\n"
    "extension), none of < > : \" | ? * or control characters, no trailing dot or\n"
    "space; a relative path of at most 160 UTF-16 units and 253 bytes in code page\n"
    "936 (so that ROOT\\update\\unzip\\PATH.delta stays within Windows' 260 for an\n"
    "installation directory of up to 79 characters); files below 2 GiB (pack sizes\n"
    "are signed 32-bit numbers).\n"
    "\n"
    "When the newest version's config/quillupcfg.ini sets PACK_PUBLIC_KEYS, its\n"
    "installations refuse unsigned lists: --sign-key is then required and its\n"
    "public half must be one of those keys. Older versions whose keys do not hold\n"
    "it get a warning.\n"
    "\n"
    "  -o, --output SERVER_DIR  the server directory to write: new, empty, or with\n"
    "                           --replace one that holds servicepacksNum.xml; not\n"
    "                           inside a VERSION_DIR\n"
    "  --replace                replace the set of an existing server directory:\n"
    "                           its lists, signatures and the packs they named go,\n"
    "                           other files and folders stay. A pack whose name\n"
    "                           is already published must keep its bytes (caches\n"
    "                           keep packs and clients resume them by name): when\n"
    "                           it would change, build fails naming the pack and\n"
    "                           the cause (a file's content, time or mode)\n"
    "  --force                  with --replace: publish changed packs all the same\n"
    "  --force-repair           also write force_servicepack.xml naming the full\n"
    "                           pack, which every installation then takes\n"
    "  --full-name NAME         name of the full pack (default full_ + the newest\n"
    "                           QUILLUP_ID); letters, digits, _ - ., not starting\n"
    "                           with a lower-case p\n"
    "  --sign-key KEY.pem       add the SHA-256 of every pack to the lists and write\n"
    "                           each list's signature beside it (LIST.sig), made\n"
    "                           with this private key (from keygen; readable by its\n"
    "                           owner only, as ssh requires: chmod 600 KEY.pem)\n"
    "  --passphrase-file FILE   the passphrase of an encrypted KEY.pem: the first\n"
    "                           line of FILE. Nothing is ever asked on the terminal\n"
    "  --expires-days N         with --sign-key and --force-repair: the signed\n"
    "                           forced list expires after N days, 1 to 3650\n"
    "                           (default 7)\n"
    "  --dry-run                check everything and show what would be written\n"
    "                           and removed, without packing or writing anything\n"
    "                           (whether published packs keep their bytes is known\n"
    "                           only once they are built)\n"
    "  -q, --quiet              no progress, only warnings, errors and the summary\n"
    "  -h, --help               this text\n"
    "  --version                the program's version\n"
    "\n"
    "Progress goes to standard error: files done of the total, bytes (also inside a\n"
    "large file) and the current step, on one line redrawn in place on a terminal;\n"
    "otherwise one line per step and one every 5 seconds while a step runs. The\n"
    "summary (a line per pack: name, size, MD5, content; the forced list's expiry)\n"
    "and the time the build took go to standard output.\n";

const char* const kVerifyHelp =
    "usage: quillup-pack verify [--public-key KEYS]... [-q] SERVER_DIR VERSION_DIR...\n"
    "\n"
    "Checks that every pack of servicepacksNum.xml (and of force_servicepack.xml\n"
    "when present) matches its size and MD5, then for every version (and for an\n"
    "installation whose stamp was lost) replays the updater on a copy: its pack\n"
    "selection, the download's checks and its staging; the result must equal the\n"
    "newest version. VERSION_DIRs as given to build, checked as build checks them.\n"
    "When a version's config/quillupcfg.ini sets PACK_PUBLIC_KEYS, the lists'\n"
    "signatures, the packs' SHA-256 and the forced list's expiry are checked\n"
    "against those keys, as its installations check them. One line per list and\n"
    "per version on standard output, then the time taken; exit status 1 when any\n"
    "check fails. The copies are made below $TMPDIR (default /tmp).\n"
    "\n"
    "  --public-key KEYS  check the signatures against these keys instead of the\n"
    "                     versions' own; KEYS: base64 public keys separated by\n"
    "                     commas, or a file holding them (.pub from keygen, never\n"
    "                     the private key); may be given more than once\n"
    "  -q, --quiet        no progress on standard error\n"
    "  -h, --help         this text\n"
    "  --version          the program's version\n"
    "\n"
    "Progress goes to standard error as for build.\n";

const char* const kKeyGenHelp =
    "usage: quillup-pack keygen -o DIR\n"
    "\n"
    "Writes an Ed25519 key pair: DIR/signing-key.pem, the private key (mode 0600;\n"
    "an existing one is never replaced), and DIR/signing-key.pub, the public key\n"
    "as one base64 line for PACK_PUBLIC_KEYS, which it also prints. On failure (a\n"
    "full disk, say) it names the cause and leaves neither file nor a directory it\n"
    "created.\n"
    "\n"
    "  -o, --output DIR  the directory to write the pair into\n"
    "  -h, --help        this text\n"
    "  --version         the program's version\n";

const char* const kSignHelp =
    "usage: quillup-pack sign [--expires-days N] [--passphrase-file FILE] KEY.pem SERVER_DIR\n"
    "\n"
    "Adds the SHA-256 of every pack to the lists of SERVER_DIR and signs them with\n"
    "the private key KEY.pem (for packs made elsewhere). The packs must have the\n"
    "sizes and MD5 values their list gives.\n"
    "\n"
    "  --expires-days N        the signed forced list expires after N days, 1 to\n"
    "                          3650 (default 7)\n"
    "  --passphrase-file FILE  the passphrase of an encrypted KEY.pem (first line)\n"
    "  -h, --help              this text\n"
    "  --version               the program's version\n";

const char* const kServeHelp =
    "usage: quillup-pack serve [--port N] [--port-file FILE] [-q] SERVER_DIR\n"
    "\n"
    "Serves SERVER_DIR over HTTP/1.1 on 127.0.0.1 only (GET and HEAD, other methods\n"
    "get 405; byte ranges, keep-alive), for demos and tests, and prints its base URL\n"
    "on the first line of standard output. Hidden names and symbolic links that\n"
    "lead out of SERVER_DIR are not served. Runs until SIGINT, SIGTERM, SIGHUP or\n"
    "SIGPIPE. In production serve the directory with nginx (see nginx-conf).\n"
    "\n"
    "  --port N          port to listen on (default 0: any free port)\n"
    "  --port-file FILE  write the port there once listening; removed at exit\n"
    "  -q, --quiet       no request log on standard error\n"
    "  -h, --help        this text\n"
    "  --version         the program's version\n";

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
    "  -h, --help          this text\n"
    "  --version           the program's version\n";

const char* const kListHelp =
    "usage: quillup-pack list SERVER_DIR\n"
    "\n"
    "Shows what a server directory holds: for each list its version (QUILLUP_ID,\n"
    "build_option), whether it is signed and when a signed forced list expires\n"
    "(UTC), and its packs in chain order with the size the list gives and whether\n"
    "the file is there with that size; then the other files of the directory.\n"
    "Exit status 1 when a list cannot be read or a pack is missing or of another\n"
    "size.\n"
    "\n"
    "  -h, --help  this text\n"
    "  --version   the program's version\n";

const char* const kGeneralHelp =
    "quillup-pack: builds, checks and serves the packs and lists the Quillup\n"
    "updater downloads.\n"
    "\n"
    "usage: quillup-pack COMMAND [OPTION...] ARGUMENT...\n"
    "       quillup-pack COMMAND --help\n"
    "       quillup-pack --version\n"
    "\n"
    "Commands: build, verify, keygen, sign, serve, nginx-conf, list.\n"
    "Options may stand anywhere, long ones also as --option=value; \"--\" ends\n"
    "them. An option given twice is an error unless its text says otherwise.\n";

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

int Version() {
  printf("quillup-pack %s\n", QUILLUP_PACK_VERSION);
  return fflush(stdout) == 0 ? 0 : 1;
}

bool IsHelp(const std::string& a) { return a == "-h" || a == "--help"; }

// Codes of the long options without a short form.
enum : int {
  kOptVersion = 1000,
  kOptReplace,
  kOptForce,
  kOptForceRepair,
  kOptFullName,
  kOptSignKey,
  kOptPassphraseFile,
  kOptExpiresDays,
  kOptDryRun,
  kOptPublicKey,
  kOptPort,
  kOptPortFile,
  kOptServerName,
  kOptListen,
};

const option kHelpOpt = {"help", no_argument, nullptr, 'h'};
const option kVersionOpt = {"version", no_argument, nullptr, kOptVersion};

// One command's command line as getopt_long reads it: options anywhere
// (also --opt=value), "--" ends them. take() stores an option's value and
// returns "" or why it is wrong. An option given twice is refused unless
// it may repeat. Returns -1 when the command is to run, else the status.
int ParseOptions(const std::string& cmd, const std::vector<std::string>& args, const char* shortOpts,
                 std::vector<option> longOpts, const std::function<std::string(int code, const std::string& value)>& take,
                 std::vector<std::string>& operands, const std::set<int>& repeatable = {}) {
  longOpts.push_back(kHelpOpt);
  longOpts.push_back(kVersionOpt);
  longOpts.push_back({nullptr, 0, nullptr, 0});
  std::string progName = "quillup-pack " + cmd;
  std::vector<std::string> storage = args;
  std::vector<char*> argv = {progName.data()};
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string shorts = std::string(":h") + shortOpts;
  auto nameOf = [&](int code) -> std::string {
    for (const option& o : longOpts)
      if (o.name && o.val == code) return std::string("--") + o.name;
    return std::string("-") + (char)code;
  };
  std::set<int> seen;
  optind = 0;  // a fresh scan (glibc)
  opterr = 0;
  int argc = (int)argv.size() - 1;
  for (;;) {
    int code = getopt_long(argc, argv.data(), shorts.c_str(), longOpts.data(), nullptr);
    if (code == -1) break;
    if (code == '?') {
      std::string what = optopt ? std::string("-") + (char)optopt : std::string(argv[optind - 1]);
      return Usage(cmd, "unknown option " + what);
    }
    if (code == ':') return Usage(cmd, (optopt ? nameOf(optopt) : std::string(argv[optind - 1])) + " needs a value");
    if (code == 'h') return Help(cmd);
    if (code == kOptVersion) return Version();
    if (!seen.insert(code).second && !repeatable.count(code))
      return Usage(cmd, nameOf(code) + " is given more than once");
    std::string why = take(code, optarg ? optarg : "");
    if (!why.empty()) return Usage(cmd, nameOf(code) + " " + why);
  }
  for (int i = optind; i < argc; ++i) operands.push_back(argv[i]);
  return -1;
}

// A whole number from 1 to max.
bool ParseCount(const std::string& v, int min, int max, int& out) {
  if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) return false;
  long n = atol(v.c_str());
  if (n < min || n > max) return false;
  out = (int)n;
  return true;
}

const char* const kDaysWhy = "needs a whole number of days from 1 to 3650";

int Build(const std::vector<std::string>& args) {
  pack::BuildOptions opt;
  std::vector<std::string> operands;
  int rc = ParseOptions(
      "build", args, "o:q",
      {{"output", required_argument, nullptr, 'o'},
       {"replace", no_argument, nullptr, kOptReplace},
       {"force", no_argument, nullptr, kOptForce},
       {"force-repair", no_argument, nullptr, kOptForceRepair},
       {"full-name", required_argument, nullptr, kOptFullName},
       {"sign-key", required_argument, nullptr, kOptSignKey},
       {"passphrase-file", required_argument, nullptr, kOptPassphraseFile},
       {"expires-days", required_argument, nullptr, kOptExpiresDays},
       {"dry-run", no_argument, nullptr, kOptDryRun},
       {"quiet", no_argument, nullptr, 'q'}},
      [&](int code, const std::string& v) -> std::string {
        switch (code) {
          case 'o': opt.serverDir = v; break;
          case kOptReplace: opt.replace = true; break;
          case kOptForce: opt.force = true; break;
          case kOptForceRepair: opt.forceRepair = true; break;
          case kOptFullName: opt.fullName = v; break;
          case kOptSignKey: opt.signKey = v; break;
          case kOptPassphraseFile: opt.passphraseFile = v; break;
          case kOptExpiresDays:
            if (!ParseCount(v, 1, 3650, opt.expiresDays)) return kDaysWhy;
            break;
          case kOptDryRun: opt.dryRun = true; break;
          case 'q': pack::SetQuiet(true); break;
        }
        return std::string();
      },
      operands);
  if (rc >= 0) return rc;
  opt.versionDirs = operands;
  if (opt.serverDir.empty()) return Usage("build", "build needs -o SERVER_DIR");
  if (opt.expiresDays >= 0 && (opt.signKey.empty() || !opt.forceRepair))
    return Usage("build", "--expires-days needs --sign-key and --force-repair");
  if (!opt.passphraseFile.empty() && opt.signKey.empty())
    return Usage("build", "--passphrase-file needs --sign-key");
  if (opt.force && !opt.replace) return Usage("build", "--force needs --replace");
  if (opt.versionDirs.empty()) return Usage("build", "build needs at least one VERSION_DIR");
  pack::BuildServerDir(opt);
  return 0;
}

int VerifyCmd(const std::vector<std::string>& args) {
  pack::VerifyOptions opt;
  std::vector<std::string> operands;
  int rc = ParseOptions(
      "verify", args, "q",
      {{"public-key", required_argument, nullptr, kOptPublicKey}, {"quiet", no_argument, nullptr, 'q'}},
      [&](int code, const std::string& v) -> std::string {
        if (code == kOptPublicKey) opt.publicKeys.push_back(v);
        if (code == 'q') pack::SetQuiet(true);
        return std::string();
      },
      operands, {kOptPublicKey});
  if (rc >= 0) return rc;
  if (operands.size() < 2) return Usage("verify", "verify needs SERVER_DIR and the VERSION_DIRs");
  opt.serverDir = operands[0];
  opt.versionDirs.assign(operands.begin() + 1, operands.end());
  return pack::VerifyServerDir(opt);
}

int KeyGenCmd(const std::vector<std::string>& args) {
  std::string dir;
  std::vector<std::string> operands;
  int rc = ParseOptions(
      "keygen", args, "o:", {{"output", required_argument, nullptr, 'o'}},
      [&](int, const std::string& v) {
        dir = v;
        return std::string();
      },
      operands);
  if (rc >= 0) return rc;
  if (dir.empty() || !operands.empty()) return Usage("keygen", "keygen takes -o DIR only");
  pack::KeyGen(dir);
  return 0;
}

int SignCmd(const std::vector<std::string>& args) {
  int days = pack::kDefaultExpiresDays;
  std::string passphraseFile;
  std::vector<std::string> operands;
  int rc = ParseOptions(
      "sign", args, "",
      {{"expires-days", required_argument, nullptr, kOptExpiresDays},
       {"passphrase-file", required_argument, nullptr, kOptPassphraseFile}},
      [&](int code, const std::string& v) -> std::string {
        if (code == kOptPassphraseFile) passphraseFile = v;
        if (code == kOptExpiresDays && !ParseCount(v, 1, 3650, days)) return kDaysWhy;
        return std::string();
      },
      operands);
  if (rc >= 0) return rc;
  if (operands.size() != 2) return Usage("sign", "sign needs KEY.pem and SERVER_DIR");
  pack::SignServerDir(operands[0], passphraseFile, operands[1], days);
  return 0;
}

int ServeCmd(const std::vector<std::string>& args) {
  pack::ServeOptions opt;
  std::vector<std::string> operands;
  int rc = ParseOptions(
      "serve", args, "q",
      {{"port", required_argument, nullptr, kOptPort},
       {"port-file", required_argument, nullptr, kOptPortFile},
       {"quiet", no_argument, nullptr, 'q'}},
      [&](int code, const std::string& v) -> std::string {
        if (code == kOptPort && !ParseCount(v, 0, 65535, opt.port)) return "needs a number from 0 to 65535";
        if (code == kOptPortFile) opt.portFile = v;
        if (code == 'q') opt.quiet = true;
        return std::string();
      },
      operands);
  if (rc >= 0) return rc;
  if (operands.size() != 1) return Usage("serve", "serve takes one SERVER_DIR");
  opt.rootDir = operands[0];
  return pack::Serve(opt);
}

int NginxConfCmd(const std::vector<std::string>& args) {
  pack::NginxOptions opt;
  std::vector<std::string> operands;
  int rc = ParseOptions(
      "nginx-conf", args, "",
      {{"port", required_argument, nullptr, kOptPort},
       {"server-name", required_argument, nullptr, kOptServerName},
       {"listen", required_argument, nullptr, kOptListen}},
      [&](int code, const std::string& v) -> std::string {
        if (code == kOptPort && !ParseCount(v, 1, 65535, opt.port)) return "needs a number from 1 to 65535";
        if (code == kOptServerName) opt.serverName = v;
        if (code == kOptListen) opt.listenAddress = v;
        return std::string();
      },
      operands);
  if (rc >= 0) return rc;
  if (operands.size() != 1) return Usage("nginx-conf", "nginx-conf takes one SERVER_DIR");
  opt.serverDir = operands[0];
  fputs(pack::NginxServerBlock(opt).c_str(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

int ListCmd(const std::vector<std::string>& args) {
  std::vector<std::string> operands;
  int rc = ParseOptions(
      "list", args, "", {}, [](int, const std::string&) { return std::string(); }, operands);
  if (rc >= 0) return rc;
  if (operands.size() != 1) return Usage("list", "list takes one SERVER_DIR");
  return pack::ListServerDir(operands[0]);
}

struct Command {
  const char* name;
  const char* help;
  int (*run)(const std::vector<std::string>& args);
};

const Command kCommands[] = {
    {"build", kBuildHelp, Build},
    {"verify", kVerifyHelp, VerifyCmd},
    {"keygen", kKeyGenHelp, KeyGenCmd},
    {"sign", kSignHelp, SignCmd},
    {"serve", kServeHelp, ServeCmd},
    {"nginx-conf", kNginxConfHelp, NginxConfCmd},
    {"list", kListHelp, ListCmd},
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
  if (cmd == "--version") return Version();
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
