// quillup-pack: the release engineer's side of the updater.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "packset.h"
#include "serve.h"
#include "signing.h"
#include "verify.h"

namespace {

const char* const kUsage =
    "usage: quillup-pack build -o SERVER_DIR [--replace] [--force-repair] [--full-name NAME]\n"
    "                          [--sign-key KEY.pem [--expires-days N]] VERSION_DIR...\n"
    "       quillup-pack verify [--public-key KEYS] SERVER_DIR VERSION_DIR...\n"
    "       quillup-pack keygen -o DIR\n"
    "       quillup-pack sign [--expires-days N] KEY.pem SERVER_DIR\n"
    "       quillup-pack serve [--port N] [--port-file FILE] [--quiet] SERVER_DIR\n"
    "\n"
    "build   writes into SERVER_DIR the full pack of the newest version, one\n"
    "        increment per step between successive versions (changed files as\n"
    "        xdelta3 deltas when smaller), and servicepacksNum.xml. VERSION_DIRs\n"
    "        are installation trees, oldest first, each with config/update.ini\n"
    "        and config/quillupcfg.ini (QUILLUP_ID rising from one to the next).\n"
    "        --force-repair also writes force_servicepack.xml naming the full\n"
    "        pack. The set is built beside SERVER_DIR and moved in when complete.\n"
    "        --sign-key adds the SHA-256 of every pack to the lists and writes\n"
    "        each list's signature beside it (LIST.sig); a signed forced list\n"
    "        expires after N days (--expires-days, default 7).\n"
    "verify  for every version (and for one whose stamp was lost) replays the\n"
    "        updater on a copy: its pack selection, the download's size and MD5\n"
    "        checks, its staging; the result must equal the newest version. One\n"
    "        line per version; exit status 1 when any check fails. With\n"
    "        --public-key (base64 keys separated by commas, or a file holding\n"
    "        them) the signatures, the packs' SHA-256 and the expiry are checked.\n"
    "keygen  writes an Ed25519 key pair: DIR/signing-key.pem (private, mode\n"
    "        0600) and DIR/signing-key.pub (the base64 line for PACK_PUBLIC_KEYS).\n"
    "sign    adds the packs' SHA-256 to the lists of SERVER_DIR and signs them\n"
    "        (the packs must match the sizes and MD5 values listed).\n"
    "serve   serves SERVER_DIR over HTTP on 127.0.0.1 only (GET, HEAD, Range)\n"
    "        and prints its base URL on the first line of standard output.\n"
    "\n"
    "The xdelta3 program found at build time makes the deltas; the environment\n"
    "variable QUILLUP_PACK_XDELTA3 names another one.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage.\n";

int Usage(const std::string& why) {
  if (!why.empty()) fprintf(stderr, "quillup-pack: %s\n", why.c_str());
  fputs(kUsage, stderr);
  return 2;
}

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

int Build(std::vector<std::string> args) {
  pack::BuildOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" || a == "--output") {
      if (!TakeValue(args, i, opt.serverDir)) return Usage(a + " needs a directory");
    } else if (a == "--replace") {
      opt.replace = true;
    } else if (a == "--force-repair") {
      opt.forceRepair = true;
    } else if (a == "--full-name") {
      if (!TakeValue(args, i, opt.fullName)) return Usage(a + " needs a name");
    } else if (a == "--sign-key") {
      if (!TakeValue(args, i, opt.signKey)) return Usage(a + " needs a key file");
    } else if (a == "--expires-days") {
      if (!TakeDays(args, i, opt.expiresDays)) return Usage(a + " needs a number of days");
    } else if (a == "-q" || a == "--quiet") {
      pack::SetQuiet(true);
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else {
      opt.versionDirs.push_back(a);
    }
  }
  if (opt.serverDir.empty()) return Usage("build needs -o SERVER_DIR");
  if (opt.expiresDays >= 0 && (opt.signKey.empty() || !opt.forceRepair))
    return Usage("--expires-days needs --sign-key and --force-repair");
  if (opt.versionDirs.empty()) return Usage("build needs at least one VERSION_DIR");
  pack::BuildServerDir(opt);
  return 0;
}

int VerifyCmd(std::vector<std::string> args) {
  pack::VerifyOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--public-key") {
      std::string keys;
      if (!TakeValue(args, i, keys)) return Usage(a + " needs a key");
      opt.publicKeys += (opt.publicKeys.empty() ? "" : ",") + keys;
    } else if (a == "-q" || a == "--quiet") {
      pack::SetQuiet(true);
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (opt.serverDir.empty()) {
      opt.serverDir = a;
    } else {
      opt.versionDirs.push_back(a);
    }
  }
  if (opt.serverDir.empty() || opt.versionDirs.empty()) return Usage("verify needs SERVER_DIR and the VERSION_DIRs");
  return pack::VerifyServerDir(opt);
}

int KeyGenCmd(std::vector<std::string> args) {
  std::string dir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" || args[i] == "--output") {
      if (!TakeValue(args, i, dir)) return Usage(args[i] + " needs a directory");
    } else {
      return Usage("keygen takes -o DIR only");
    }
  }
  if (dir.empty()) return Usage("keygen needs -o DIR");
  pack::KeyGen(dir);
  return 0;
}

int SignCmd(std::vector<std::string> args) {
  int days = pack::kDefaultExpiresDays;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--expires-days") {
      if (!TakeDays(args, i, days)) return Usage(args[i] + " needs a number of days");
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return Usage("unknown option " + args[i]);
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.size() != 2) return Usage("sign needs KEY.pem and SERVER_DIR");
  pack::SignServerDir(rest[0], rest[1], days);
  return 0;
}

int ServeCmd(std::vector<std::string> args) {
  pack::ServeOptions opt;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--port") {
      if (!TakeValue(args, i, v) || v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 5)
        return Usage("--port needs a number");
      opt.port = atoi(v.c_str());
    } else if (a == "--port-file") {
      if (!TakeValue(args, i, opt.portFile)) return Usage(a + " needs a file");
    } else if (a == "-q" || a == "--quiet") {
      opt.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (opt.rootDir.empty()) {
      opt.rootDir = a;
    } else {
      return Usage("serve takes one SERVER_DIR");
    }
  }
  if (opt.rootDir.empty()) return Usage("serve needs SERVER_DIR");
  return pack::Serve(opt);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    fputs(kUsage, stdout);
    return 0;
  }
  pack::InstallInterruptHandler();
  try {
    if (cmd == "build") return Build(args);
    if (cmd == "verify") return VerifyCmd(args);
    if (cmd == "serve") return ServeCmd(args);
    if (cmd == "keygen") return KeyGenCmd(args);
    if (cmd == "sign") return SignCmd(args);
  } catch (const pack::Error& e) {
    fprintf(stderr, "quillup-pack: error: %s\n", e.what());
    return 1;
  }
  return Usage("unknown command " + cmd);
}
