// Linear key tracks: the one key model of the host, shared by animated parameters and node
// transforms. Values are interpolated linearly between keys and held before the first and after
// the last; the interval over which a value holds is found from the runs of equal keys around
// the time asked for.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include "host/interval.h"

// The value of keys (not empty) at t, narrowing valid to the times over which it stays the
// same. same(a, b) says whether two key values are equal (so a run of them is constant);
// lerp(a, b, s) gives the value a fraction s of the way from a to b.
template <class Value, class Same, class Lerp>
Value KeyedValueAt(const std::map<TimeValue, Value>& keyMap, TimeValue t, Interval& valid, Same same, Lerp lerp) {
  const std::vector<std::pair<TimeValue, Value>> keys(keyMap.begin(), keyMap.end());
  const std::size_t n = keys.size();
  // The run of equal keys through index i, and the times it spans (the ends reach infinity).
  auto runStart = [&](std::size_t i) {
    while (i > 0 && same(keys[i - 1].second, keys[i].second)) --i;
    return i == 0 ? TIME_NegInfinity : keys[i].first;
  };
  auto runEnd = [&](std::size_t i) {
    while (i + 1 < n && same(keys[i + 1].second, keys[i].second)) ++i;
    return i + 1 == n ? TIME_PosInfinity : keys[i].first;
  };
  if (t <= keys.front().first) {
    valid &= Interval(TIME_NegInfinity, runEnd(0));
    return keys.front().second;
  }
  if (t >= keys.back().first) {
    valid &= Interval(runStart(n - 1), TIME_PosInfinity);
    return keys.back().second;
  }
  std::size_t i = 0;
  while (keys[i + 1].first <= t) ++i;  // keys[i].first <= t < keys[i + 1].first
  const Value& a = keys[i].second;
  const Value& b = keys[i + 1].second;
  if (keys[i].first == t) {
    valid &= Interval(runStart(i), runEnd(i));
    return a;
  }
  if (same(a, b)) {
    valid &= Interval(runStart(i), runEnd(i + 1));
    return a;
  }
  // In double: key times may lie anywhere in TimeValue's range, and their difference need not.
  const double s = (static_cast<double>(t) - keys[i].first) / (static_cast<double>(keys[i + 1].first) - keys[i].first);
  valid &= Interval(t, t);
  return lerp(a, b, s);
}

// Writes v at t into a track of one value and its keys, the way the animate button decides:
// keyed (animate on, or the track has keys already) a key is set at t, and the first key also
// keeps the value it replaces, as a key at time 0; otherwise the value itself changes. Returns
// whether anything was written that dependents must hear of.
template <class Value, class Same>
bool WriteKeyed(Value& value, std::map<TimeValue, Value>& keys, TimeValue t, const Value& v, bool animate, Same same) {
  const bool keyed = animate || !keys.empty();
  if (keyed) {
    const bool wasConstant = keys.empty();
    if (wasConstant && t != 0) keys[0] = value;
    const auto old = keys.find(t);
    if (!wasConstant && old != keys.end() && same(old->second, v)) return false;
    keys[t] = v;
    return true;
  }
  if (same(value, v)) return false;
  value = v;
  return true;
}
