// What the benchmarks share: a monotonic clock, the best of several rounds,
// and a file of pseudo-random bytes (nothing compresses or dedups it).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// Seconds on a monotonic clock.
inline double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The shortest of the times added: the round least disturbed by the rest
// of the machine.
struct Best {
  double seconds = 1e30;
  void Add(double s) {
    if (s < seconds) seconds = s;
  }
};

// Marsaglia's xorshift: cheap bytes that neither compress nor repeat.
struct XorShift {
  uint64_t s;
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

// Writes mib MiB of xorshift output to path.
inline bool WriteRandomFile(const std::string& path, size_t mib) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  XorShift x{0x9E3779B97F4A7C15ull};
  for (size_t m = 0; m < mib; ++m) {
    for (auto& v : block) v = x.Next();
    if (fwrite(block.data(), 1, block.size() * 8, f) != block.size() * 8) {
      fclose(f);
      return false;
    }
  }
  return fclose(f) == 0;
}

}  // namespace bench
