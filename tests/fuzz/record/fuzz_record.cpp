// The record file through its reader and the roll-back (or the finishing of
// a complete record) on a scratch installation. "$I" in the input stands for
// the installation directory and "$O" for a directory beside it. The link
// inst/link leads to a third directory, part of the installation. Aborts
// when anything in "$O" or beside changes, and when a second pass over the
// same record changes the installation again (a roll-back can be repeated).
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "../fuzz_scratch.h"
#include "opfile/opfile.h"

namespace fs = std::filesystem;

namespace {

void Put(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  fuzz::WriteFile(path, data.data(), data.size());
}

void MakeInstallation(const std::string& inst) {
  std::error_code ec;
  fs::remove_all(inst, ec);
  for (const char* rel : {"a", "a.oldbak", "b", "b.newbak", "sub/c", "sub/c.oldbak", "sub/c.newbak", "sub/d.oldbak",
                          "bin/zoclient", "bin/zoclient.oldbak", "bin/zoclient.newbak"})
    Put(inst + "/" + rel, rel);
  fs::create_directories(inst + "/update");
  // What the installation links to is the installation's (the swap moves
  // through links too); "linked" beside it is made anew each time.
  fs::remove_all(inst + "/../linked", ec);
  Put(inst + "/../linked/x", "linked x");
  Put(inst + "/../linked/x.oldbak", "linked x.oldbak");
  if (symlink("../linked", (inst + "/link").c_str()) != 0) abort();
}

std::string Expand(const std::string& in, const std::string& inst, const std::string& out) {
  std::string s;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '$' && i + 1 < in.size() && (in[i + 1] == 'I' || in[i + 1] == 'O')) {
      s += in[++i] == 'I' ? inst : out;
    } else {
      s += in[i];
    }
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string root = fuzz::Scratch("record");
  const std::string inst = root + "/inst", out = root + "/out";
  static const auto outside = [&] {
    for (const char* rel : {"x", "x.oldbak", "x.newbak", "y"}) Put(out + "/" + rel, rel);
    return fuzz::Snapshot(root + "/out");
  }();
  MakeInstallation(inst);
  const std::string record = inst + "/update/tarvex.rcd";
  Put(record, Expand(std::string((const char*)data, size), inst, out));

  COpFile op;
  bool inRecord = false;
  const WString exe = WidePath(inst + "/bin/zoclient");
  op.ProcessRecordFile(WidePath(record), exe, inRecord);
  auto once = fuzz::Snapshot(inst), linked = fuzz::Snapshot(root + "/linked");
  op.ProcessRecordFile(WidePath(record), exe, inRecord);
  fuzz::Check(fuzz::Snapshot(inst) == once && fuzz::Snapshot(root + "/linked") == linked);

  fuzz::Check(fuzz::Snapshot(out) == outside);
  std::error_code ec;
  for (auto& e : fs::directory_iterator(root, ec))
    fuzz::Check(e.path() == inst || e.path() == out || e.path() == root + "/linked");
  return 0;
}
