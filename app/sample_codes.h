// Integer samples from the float values every image is rendered in, the same for each format, so
// a 16-bit PNG, TIFF and RAW of one render hold the same codes.
#pragma once

#include <cmath>

// v clamped to 0..1 (NaN counts as 0) and stored as lround(v * maxCode).
inline unsigned QuantizeSample(float v, unsigned maxCode) {
  if (!(v > 0.0f)) return 0;  // NaN as well
  if (v >= 1.0f) return maxCode;
  return static_cast<unsigned>(std::lround(static_cast<double>(v) * maxCode));
}
