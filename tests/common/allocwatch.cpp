#include "common/allocwatch.h"

#include <malloc.h>
#ifdef _WIN32
#define malloc_usable_size _msize
#endif

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> g_live{0}, g_peak{0}, g_failFrom{SIZE_MAX};

void* Allocate(size_t n) {
  if (n >= g_failFrom.load(std::memory_order_relaxed)) throw std::bad_alloc();
  void* p = malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  // Counted by the usable size, which the release sees as well.
  const size_t usable = malloc_usable_size(p);
  if (usable > testutil::AllocWatch::kLarge) {
    const size_t live = g_live.fetch_add(usable) + usable;
    size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
  }
  return p;
}

void Release(void* p) noexcept {
  if (!p) return;
  const size_t usable = malloc_usable_size(p);
  if (usable > testutil::AllocWatch::kLarge) g_live.fetch_sub(usable);
  free(p);
}

}  // namespace

namespace testutil {

size_t AllocWatch::Peak() { return g_peak.load(); }
void AllocWatch::ResetPeak() { g_peak.store(g_live.load()); }
size_t AllocWatch::Live() { return g_live.load(); }
void AllocWatch::FailFrom(size_t bytes) { g_failFrom.store(bytes); }

}  // namespace testutil

void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
