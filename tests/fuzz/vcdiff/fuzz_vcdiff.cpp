// A source and a delta (two bytes of source length, little-endian, then the
// source, then the delta) through the in-process decoder. Whatever it
// decodes, the xdelta3 program must decode to the same bytes: the updater
// trusts it without asking the program.
#include <cstdint>
#include <string>

#include "../fuzz_scratch.h"
#include "platform/spawn.h"
#include "support/vcdiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t sourceLen = data[0] | (size_t)data[1] << 8;
  if (sourceLen > size - 2) return 0;
  const std::string root = fuzz::Scratch("vcdiff");
  const std::string source = root + "/source", delta = root + "/delta", out = root + "/out", ref = root + "/ref";
  fuzz::WriteFile(source, data + 2, sourceLen);
  fuzz::WriteFile(delta, data + 2 + sourceLen, size - 2 - sourceLen);
  if (vcdiff::DecodeFile(WidePath(delta), WidePath(source), WidePath(out)) != vcdiff::Result::kDone) return 0;
  fuzz::Check(plat::RunAndWait("xdelta3", {"-d", "-f", "-q", "-D", "-R", "-s", source, delta, ref}, {"XDELTA"}) == 0);
  fuzz::Check(fuzz::ReadFile(out) == fuzz::ReadFile(ref));
  return 0;
}
