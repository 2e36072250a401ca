// Assimp's own text-to-number conversions, for our readers of formats assimp also reads: the same
// digits must round to the same float on both paths, and assimp's parser is not strtof (it
// rounds in several steps). The functions come from assimp's public header; only the error they
// raise is ours, since assimp's exception type is not exported from its library.
#pragma once

#include <assimp/fast_atof.h>

namespace assimp_numbers {

struct NumberError {
  template <typename... Args>
  explicit NumberError(Args&&...) {}
};

// text: NUL-terminated. False where assimp would throw; otherwise *end is where assimp stops.
template <typename Real>
bool ParseReal(const char* text, Real* out, const char** end) {
  try {
    *end = Assimp::fast_atoreal_move<Real, NumberError>(text, *out);
    return true;
  } catch (const NumberError&) {
    return false;
  }
}

}  // namespace assimp_numbers
