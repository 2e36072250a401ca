// Tab: the host's counted array that owns its storage.
//
// A thin layer over std::vector with the host's operation names. Indices are int, as in the
// host's interface; a negative count or an index out of range is a caller's bug and is checked
// only by the standard library's debug assertions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

template <typename T>
class Tab {
 public:
  Tab() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  bool IsEmpty() const { return items_.empty(); }

  // New entries are value-initialised; shrinking drops the tail.
  void SetCount(int n) { items_.resize(static_cast<std::size_t>(std::max(n, 0))); }
  void ZeroCount() { items_.clear(); }
  // Reserves room for n entries without changing the count.
  void Resize(int n) { items_.reserve(static_cast<std::size_t>(std::max(n, 0))); }
  void Shrink() { items_.shrink_to_fit(); }

  // Appends n entries copied from items; returns the index of the first one.
  int Append(int n, const T* items) {
    const int at = Count();
    items_.insert(items_.end(), items, items + n);
    return at;
  }
  int Append(T item) {
    items_.push_back(std::move(item));
    return Count() - 1;
  }
  // Inserts n entries copied from items before index at; returns at.
  int Insert(int at, int n, const T* items) {
    items_.insert(items_.begin() + at, items, items + n);
    return at;
  }
  // Removes n entries starting at start; returns the new count.
  int Delete(int start, int n) {
    items_.erase(items_.begin() + start, items_.begin() + start + n);
    return Count();
  }

  T& operator[](int i) { return items_[static_cast<std::size_t>(i)]; }
  const T& operator[](int i) const { return items_[static_cast<std::size_t>(i)]; }
  T* Addr(int i) { return items_.data() + i; }
  const T* Addr(int i) const { return items_.data() + i; }

  T* begin() { return items_.data(); }
  T* end() { return items_.data() + items_.size(); }
  const T* begin() const { return items_.data(); }
  const T* end() const { return items_.data() + items_.size(); }

 private:
  std::vector<T> items_;
};
