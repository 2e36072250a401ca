// BitArray: a resizable set of flags indexed 0 .. GetSize() - 1, as materials and UV generators
// report the map channels they need.
//
// Indices outside the array are harmless: reading one gives 0 and setting or clearing one does
// nothing, so a caller that sized the array too small loses the bit instead of writing past it.
// Not thread-safe; each caller fills its own array.
#pragma once

#include <algorithm>
#include <vector>

class BitArray {
 public:
  BitArray() = default;
  explicit BitArray(int n) { SetSize(n); }

  int GetSize() const { return static_cast<int>(bits_.size()); }
  // Resizes to n bits (a negative n gives 0). With save non-zero the bits below
  // min(old size, n) keep their values; otherwise every bit is cleared. New bits are 0.
  void SetSize(int n, int save = 0) {
    const std::size_t size = static_cast<std::size_t>(std::max(n, 0));
    if (save == 0)
      bits_.assign(size, false);
    else
      bits_.resize(size, false);
  }

  void Set(int i) { Put(i, true); }
  void Clear(int i) { Put(i, false); }
  void Set(int i, int value) { Put(i, value != 0); }
  void SetAll() { std::fill(bits_.begin(), bits_.end(), true); }
  void ClearAll() { std::fill(bits_.begin(), bits_.end(), false); }

  int operator[](int i) const { return InRange(i) && bits_[static_cast<std::size_t>(i)] ? 1 : 0; }
  int NumberSet() const { return static_cast<int>(std::count(bits_.begin(), bits_.end(), true)); }

  friend bool operator==(const BitArray&, const BitArray&) = default;

 private:
  bool InRange(int i) const { return i >= 0 && i < GetSize(); }
  void Put(int i, bool value) {
    if (InRange(i)) bits_[static_cast<std::size_t>(i)] = value;
  }

  std::vector<bool> bits_;
};
