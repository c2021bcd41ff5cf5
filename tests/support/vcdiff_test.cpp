// The in-process decoder against deltas made by the xdelta3 program.
#include "support/vcdiff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/allocwatch.h"
#include "common/testutil.h"

using testutil::ReadFile;
using testutil::WriteFile;
using vcdiff::Result;

namespace {

std::string Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = (char)rng();
  return s;
}

// Words and repeats: copies from the target itself, overlapping ones and runs.
std::string Repetitive(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  const std::string words[] = {"alpha ", "beta ", "gamma\n", std::string(16, 'z'), std::string(8, '\0')};
  std::string s;
  while (s.size() < n) s += words[rng() % 5];
  s.resize(n);
  return s;
}

std::string Edited(std::string v, unsigned seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < 30 && v.size() > 200; ++i) {
    size_t at = rng() % (v.size() - 100);
    switch (rng() % 3) {
      case 0: v.replace(at, rng() % 40, Random(rng() % 60, seed + i)); break;
      case 1: v.insert(at, v.substr(rng() % (v.size() - 100), rng() % 4000)); break;
      default: v.erase(at, rng() % 2000);
    }
  }
  return v;
}

class Vcdiff : public ::testing::Test {
 protected:
  // The delta from a to b made by the program with extra options.
  std::string Encode(const std::string& a, const std::string& b, const std::string& options) {
    WriteFile(t.sub("a"), a);
    WriteFile(t.sub("b"), b);
    EXPECT_EQ(testutil::Run(std::string(XDELTA3_PROGRAM) + " -e -f -q " + options + " -s '" + t.sub("a") + "' '" +
                            t.sub("b") + "' '" + t.sub("d") + "'"),
              0);
    return ReadFile(t.sub("d"));
  }
  Result Decode(const std::string& delta, std::string& out) {
    WriteFile(t.sub("d"), delta);
    Result r = vcdiff::DecodeFile(t.wsub("d"), t.wsub("a"), t.wsub("out"));
    out = ReadFile(t.sub("out"));
    return r;
  }
  testutil::TempDir t;
};

}  // namespace

TEST_F(Vcdiff, RebuildsWhatTheProgramEncodes) {
  const std::string bin = Random(300000, 1), text = Repetitive(200000, 2), big = Random(3 << 20, 3);
  struct Case {
    const char* what;
    std::string from, to, options;
  } cases[] = {
      {"small edits", bin, Edited(bin, 4), ""},
      {"repeats and runs", text, Edited(text, 5), ""},
      {"a target made of its own repeats", "", Repetitive(100000, 6), ""},
      {"no checksum", bin, Edited(bin, 7), "-n"},
      {"fastest", bin, Edited(bin, 8), "-0"},
      {"smallest", text, Edited(text, 9), "-9"},
      {"many windows, segments inside the source", big, Edited(big, 10), "-W 65536 -B 524288"},
      {"an unrelated file", bin, Random(50000, 11), ""},
      {"an empty target", bin, "", ""},
      {"an application header", bin, Edited(bin, 12), "-A=name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out;
    EXPECT_EQ(Decode(Encode(c.from, c.to, "-S none " + c.options), out), Result::kDone);
    EXPECT_TRUE(out == c.to);
  }
}

TEST_F(Vcdiff, NeverWritesAWrongTarget) {
  const std::string v1 = Random(30000, 20);
  std::string v2 = v1;
  v2.replace(1000, 8, "replaced");
  v2.insert(9000, v1.substr(20000, 3000));
  v2.erase(25000, 700);
  std::string out;
  // Secondary compression is the program's.
  EXPECT_EQ(Decode(Encode(v1, Edited(Repetitive(400000, 22), 23), "-S lzma"), out), Result::kUnsupported);
  // A header naming a compressor the program does not know: it refuses the
  // delta even when no window uses it, so the decoder must not decode it.
  std::string unknown = Encode(v1, v2, "-S none");
  unknown[4] |= 0x01;
  unknown.insert(5, 1, '\0');
  EXPECT_EQ(Decode(unknown, out), Result::kUnsupported);

  const std::string delta = Encode(v1, v2, "-S none -A");
  ASSERT_EQ(Decode(delta, out), Result::kDone);
  // A bit of every byte flipped: the window checksum catches what the
  // structure does not, so the result is the right target or a refusal.
  size_t refused = 0;
  for (size_t i = 0; i < delta.size(); ++i) {
    std::string bad = delta;
    bad[i] = (char)(bad[i] ^ (1 << (i % 8)));
    if (Decode(bad, out) != Result::kDone) ++refused;
    else EXPECT_TRUE(out == v2) << "byte " << i;
  }
  EXPECT_GT(refused, delta.size() * 9 / 10);
  for (size_t n = 0; n < delta.size(); ++n) EXPECT_NE(Decode(delta.substr(0, n), out), Result::kDone) << n;

  WriteFile(t.sub("a"), Random(30000, 24));
  EXPECT_EQ(Decode(delta, out), Result::kCorrupt);  // another source
  EXPECT_EQ(vcdiff::DecodeFile(t.wsub("d"), t.wsub("none"), t.wsub("out")), Result::kIoError);
  EXPECT_EQ(vcdiff::DecodeFile(t.wsub("d"), t.wsub("a"), t.wsub("no/out")), Result::kIoError);
}

TEST_F(Vcdiff, DecodersAtOnceStayWithinOneMemoryBudget) {
  // Six decoders, each wanting two thirds of the budget for its source cache
  // (4 MiB) and its windows (4 MiB targets): they take turns.
  const uint64_t budget = 12 << 20;
  const int n = 6;
  std::vector<std::string> targets;
  for (int i = 0; i < n; ++i) {
    const std::string a = Random(4 << 20, 30 + i), b = Edited(a, 40 + i);
    const std::string delta = Encode(a, b, "-S none -W 4194304");
    testutil::WriteFile(t.sub("a" + std::to_string(i)), a);
    testutil::WriteFile(t.sub("d" + std::to_string(i)), delta);
    targets.push_back(b);
  }
  const uint64_t previous = vcdiff::SetMemoryBudget(budget);
  std::atomic<int> ready{0};
  std::vector<Result> results(n, Result::kIoError);
  std::vector<std::thread> decoders;
  testutil::AllocWatch::ResetPeak();
  const size_t before = testutil::AllocWatch::Live();
  for (int i = 0; i < n; ++i) {
    decoders.emplace_back([&, i] {
      const std::string k = std::to_string(i);
      for (++ready; ready < n;) std::this_thread::yield();
      results[i] = vcdiff::DecodeFile(t.wsub("d" + k), t.wsub("a" + k), t.wsub("out" + k));
    });
  }
  for (auto& d : decoders) d.join();
  const size_t peak = testutil::AllocWatch::Peak() - before;
  // A window the budget cannot hold even alone is the program's to decode.
  vcdiff::SetMemoryBudget(6 << 20);
  EXPECT_EQ(vcdiff::DecodeFile(t.wsub("d0"), t.wsub("a0"), t.wsub("out")), Result::kUnsupported);
  vcdiff::SetMemoryBudget(previous);
  EXPECT_LE(peak, budget);
  EXPECT_GT(peak, budget / 2);  // the decoders did hold their windows
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(results[i], Result::kDone) << i;
    EXPECT_TRUE(ReadFile(t.sub("out" + std::to_string(i))) == targets[i]) << i;
  }
}
