// Watches operator new in the test programs that use it (linking this in
// replaces the global operator new): the bytes held in large allocations,
// and allocations made to fail as an exhausted memory would.
#pragma once

#include <cstddef>

namespace testutil {

struct AllocWatch {
  // Allocations above this size are counted.
  static constexpr size_t kLarge = 64 * 1024;
  // The peak of bytes held in large allocations since the last ResetPeak,
  // which starts it at what is held now.
  static size_t Peak();
  static void ResetPeak();
  static size_t Live();
  // From now on every allocation of at least bytes throws std::bad_alloc;
  // SIZE_MAX ends that.
  static void FailFrom(size_t bytes);
};

}  // namespace testutil
