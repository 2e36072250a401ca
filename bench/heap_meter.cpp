// Replacement global allocation functions that keep a running net byte count while a window is
// open. The array and nothrow forms of the standard library call these, so replacing the plain,
// sized and aligned forms sees every allocation.
#include "bench/heap_meter.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_open{false};
std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

void Count(void* p, bool taken) {
  if (p == nullptr || !g_open.load(std::memory_order_relaxed)) return;
  const auto bytes = static_cast<std::int64_t>(malloc_usable_size(p));
  if (!taken) {
    g_live.fetch_sub(bytes, std::memory_order_relaxed);
    return;
  }
  const std::int64_t live = g_live.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  std::int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

void* Take(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size);
  } else if (posix_memalign(&p, alignment, size) != 0) {
    p = nullptr;
  }
  if (p == nullptr) throw std::bad_alloc();
  Count(p, true);
  return p;
}

void Give(void* p) {
  Count(p, false);
  std::free(p);
}

}  // namespace

namespace heap_meter {

Window::Window() {
  if (g_open.exchange(true)) {
    std::fprintf(stderr, "heap_meter: a window is already open\n");
    std::abort();
  }
  g_live.store(0);
  g_peak.store(0);
}

Window::~Window() { g_open.store(false); }

Reading Window::Read() const { return {g_peak.load(), g_live.load()}; }

}  // namespace heap_meter

void* operator new(std::size_t size) { return Take(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return Take(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* p) noexcept { Give(p); }
void operator delete(void* p, std::size_t) noexcept { Give(p); }
void operator delete(void* p, std::align_val_t) noexcept { Give(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Give(p); }
