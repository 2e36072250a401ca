// Little-endian numbers in byte buffers. What we write is little-endian whatever the machine's
// order, so numbers go through shifts, never through a copy of an integer's memory. Floats travel
// as their bit patterns: no float arithmetic touches them, so NaN payloads and infinities come
// back unchanged.
//
// Header-only, so that a module built with hidden visibility gets its own inline copies.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

inline void StoreLE16(unsigned char* out, std::uint16_t v) {
  out[0] = static_cast<unsigned char>(v & 0xFFu);
  out[1] = static_cast<unsigned char>((v >> 8) & 0xFFu);
}

inline void StoreLE32(unsigned char* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFFu);
}

inline void StoreLE64(unsigned char* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFFu);
}

inline void StoreF32(unsigned char* out, float f) { StoreLE32(out, std::bit_cast<std::uint32_t>(f)); }

inline std::uint16_t LoadLE16(const unsigned char* in) { return static_cast<std::uint16_t>(in[0] | (in[1] << 8)); }

inline std::uint32_t LoadLE32(const unsigned char* in) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

inline std::uint64_t LoadLE64(const unsigned char* in) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

inline float LoadF32(const unsigned char* in) { return std::bit_cast<float>(LoadLE32(in)); }

// Grown then stored in place: GCC 12 at -O3 misreads a range insert into an empty vector as an
// overflow (-Wstringop-overflow), and this form says the same thing plainly.
inline void AppendLE16(std::vector<unsigned char>& out, std::uint16_t v) {
  const std::size_t at = out.size();
  out.resize(at + 2);
  StoreLE16(out.data() + at, v);
}

inline void AppendLE32(std::vector<unsigned char>& out, std::uint32_t v) {
  const std::size_t at = out.size();
  out.resize(at + 4);
  StoreLE32(out.data() + at, v);
}

inline void AppendF32(std::vector<unsigned char>& out, float f) { AppendLE32(out, std::bit_cast<std::uint32_t>(f)); }
