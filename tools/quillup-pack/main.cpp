// quillup-pack: the release engineer's side of the updater.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "packset.h"
#include "serve.h"
#include "verify.h"

namespace {

const char* const kUsage =
    "usage: quillup-pack build -o SERVER_DIR [--replace] [--force-repair] [--full-name NAME] VERSION_DIR...\n"
    "       quillup-pack verify SERVER_DIR VERSION_DIR...\n"
    "       quillup-pack serve [--port N] [--port-file FILE] [--quiet] SERVER_DIR\n"
    "\n"
    "build   writes into SERVER_DIR the full pack of the newest version, one\n"
    "        increment per step between successive versions (changed files as\n"
    "        xdelta3 deltas when smaller), and servicepacksNum.xml. VERSION_DIRs\n"
    "        are installation trees, oldest first, each with config/update.ini\n"
    "        and config/quillupcfg.ini (QUILLUP_ID rising from one to the next).\n"
    "        --force-repair also writes force_servicepack.xml naming the full\n"
    "        pack. The set is built beside SERVER_DIR and moved in when complete.\n"
    "verify  for every version (and for one whose stamp was lost) replays the\n"
    "        updater on a copy: its pack selection, the download's size and MD5\n"
    "        checks, its staging; the result must equal the newest version. One\n"
    "        line per version; exit status 1 when any check fails.\n"
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
    } else if (a == "-q" || a == "--quiet") {
      pack::SetQuiet(true);
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else {
      opt.versionDirs.push_back(a);
    }
  }
  if (opt.serverDir.empty()) return Usage("build needs -o SERVER_DIR");
  if (opt.versionDirs.empty()) return Usage("build needs at least one VERSION_DIR");
  pack::BuildServerDir(opt);
  return 0;
}

int VerifyCmd(std::vector<std::string> args) {
  pack::VerifyOptions opt;
  for (const std::string& a : args) {
    if (a == "-q" || a == "--quiet") {
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
  } catch (const pack::Error& e) {
    fprintf(stderr, "quillup-pack: error: %s\n", e.what());
    return 1;
  }
  return Usage("unknown command " + cmd);
}
