// The client's required-file list (config/neededfilelist.lst) through
// COpFile::IsNeedRepair. Names are relative to the updater's own directory,
// here the fuzzer's: a line naming the fuzzer itself or an ignored line
// added to the list changes nothing, a line naming a missing file makes a
// repair needed.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "../fuzz_scratch.h"
#include "opfile/opfile.h"
#include "support/path.h"

namespace {

bool NeedsRepair(const std::string& inst, const std::string& list) {
  fuzz::WriteFile(inst + "/config/neededfilelist.lst", list.data(), list.size());
  return COpFile().IsNeedRepair(WidePath(inst));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string inst = fuzz::Scratch("neededfiles");
  static const std::string self = [&] {
    std::filesystem::create_directories(inst + "/config");
    std::string p = Utf8FromWide(GetSelfPath());
    return p.substr(p.find_last_of('/') + 1);
  }();
  const std::string list((const char*)data, size);
  bool repair = NeedsRepair(inst, list);
  fuzz::Check(NeedsRepair(inst, list + "\n " + self + "\r\n") == repair);
  fuzz::Check(NeedsRepair(inst, list + "\nzotrade\\quillup-fuzz-missing\n") == repair);
  fuzz::Check(NeedsRepair(inst, list + "\nquillup-fuzz-missing\n"));
  return 0;
}
