// An in-process decoder of VCDIFF deltas (RFC 3284) against a source file,
// with the Adler-32 checksum of each target window that common encoders
// add. It knows the default code table only and no secondary compression;
// a delta that uses anything else is reported as unsupported, for the
// external decoder to take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/text.h"

namespace vcdiff {

// All decoders of the process together hold at most this much memory for
// their windows and source caches, however many run at once: a decoder
// waits for room (holding none while it waits), and a window larger than
// the whole budget is reported as unsupported.
constexpr uint64_t kMemoryBudget = 192ull << 20;

// Takes bytes of the budget (at most all of it) for its lifetime, waiting
// for room first: for a decoder that runs outside this process on the
// caller's behalf.
class BudgetHold {
 public:
  explicit BudgetHold(uint64_t bytes);
  ~BudgetHold();
  BudgetHold(const BudgetHold&) = delete;
  BudgetHold& operator=(const BudgetHold&) = delete;

 private:
  uint64_t m_bytes;
};

// For tests: sets the budget while nothing is held; returns the old one.
uint64_t SetMemoryBudget(uint64_t bytes);

enum class Result {
  kDone,         // output holds the whole target
  kUnsupported,  // a valid delta may use what this decoder does not know
  kCorrupt,      // not a delta this decoder can read, or a checksum failed
  kIoError,      // a file could not be opened, read or written
};

// Where a delta's bytes come from, in order: fills at most n bytes of
// buffer and returns how many, 0 at the delta's end, -1 on a failed read.
using DeltaReader = std::function<int64_t(uint8_t* buffer, size_t n)>;

// Decodes the delta of deltaSize bytes that read yields against source
// into output, which is created or truncated. On anything but kDone the
// output holds an unfinished target and must not be used. writeBack
// starts writing a finished output to disk before it is closed.
Result Decode(const DeltaReader& read, uint64_t deltaSize, const WString& source, const WString& output,
              bool writeBack = false);

// Decodes delta (a file) against source into output, which is created or
// truncated. On anything but kDone the output holds an unfinished target
// and must not be used.
Result DecodeFile(const WString& delta, const WString& source, const WString& output);

}  // namespace vcdiff
