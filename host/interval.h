// Time and validity: TimeValue ticks and the closed Interval of times over which something holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

using TimeValue = std::int32_t;

inline constexpr TimeValue TIME_NegInfinity = std::numeric_limits<TimeValue>::min();
inline constexpr TimeValue TIME_PosInfinity = std::numeric_limits<TimeValue>::max();
// Ticks per second: the host's clock runs at 4800 ticks a second (160 per frame at 30 fps).
inline constexpr TimeValue TIME_TICKSPERSEC = 4800;

// A closed range [start, end] of times. The empty interval is (-inf, -inf): it holds at no time,
// not even at -inf, and intersecting anything with it gives it back.
class Interval {
 public:
  constexpr Interval() : start_(TIME_NegInfinity), end_(TIME_NegInfinity) {}
  constexpr Interval(TimeValue start, TimeValue end) : start_(start), end_(end) {
    if (start_ > end_) SetEmpty();
  }

  constexpr TimeValue Start() const { return start_; }
  constexpr TimeValue End() const { return end_; }
  constexpr bool Empty() const { return start_ == TIME_NegInfinity && end_ == TIME_NegInfinity; }
  constexpr bool InInterval(TimeValue t) const { return !Empty() && start_ <= t && t <= end_; }

  constexpr void SetEmpty() { start_ = end_ = TIME_NegInfinity; }
  constexpr void SetInfinite() {
    start_ = TIME_NegInfinity;
    end_ = TIME_PosInfinity;
  }
  constexpr void SetInstant(TimeValue t) { start_ = end_ = t; }
  constexpr void Set(TimeValue start, TimeValue end) { *this = Interval(start, end); }

  // Intersection: the times at which both hold.
  constexpr Interval operator&(const Interval& other) const {
    if (Empty() || other.Empty()) return Interval();
    return Interval(std::max(start_, other.start_), std::min(end_, other.end_));
  }
  constexpr Interval& operator&=(const Interval& other) { return *this = *this & other; }

  friend constexpr bool operator==(const Interval&, const Interval&) = default;

 private:
  TimeValue start_;
  TimeValue end_;
};

inline constexpr Interval FOREVER(TIME_NegInfinity, TIME_PosInfinity);
inline constexpr Interval NEVER{};
