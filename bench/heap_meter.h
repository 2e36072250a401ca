// Counts the heap bytes that C++ code takes through operator new while a meter window is open,
// so a build's peak and kept memory can be read without guessing container capacities.
//
// Linking heap_meter.cpp replaces the global operator new and delete of the whole program
// (libraries included); outside a window they cost one relaxed load. Bytes are counted as
// malloc_usable_size reports them, so allocator rounding is included; malloc's own per-block
// header is not. Memory that a library takes from malloc or mmap directly (Embree's BVH) is
// not seen: read that from the library's own monitor.
#pragma once

#include <cstdint>

namespace heap_meter {

struct Reading {
  std::int64_t peak = 0;  // greatest net growth while the window was open
  std::int64_t kept = 0;  // net growth when it was closed (negative if it freed more)
};

// One window at a time per process. Allocations made on any thread while it is open count, so
// open it around single-threaded work, or around work whose every thread belongs to it.
class Window {
 public:
  Window();
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // The figures so far; the window stays open.
  Reading Read() const;
};

}  // namespace heap_meter
