// Colours: RGB and RGB with alpha, in linear floats (1 is full intensity; values may exceed it).
#pragma once

struct Color {
  float r = 0.0f, g = 0.0f, b = 0.0f;

  constexpr Color() = default;
  constexpr Color(float ar, float ag, float ab) : r(ar), g(ag), b(ab) {}
  friend constexpr bool operator==(const Color&, const Color&) = default;
};

struct AColor {
  float r = 0.0f, g = 0.0f, b = 0.0f, a = 0.0f;

  constexpr AColor() = default;
  constexpr AColor(float ar, float ag, float ab, float aa = 1.0f) : r(ar), g(ag), b(ab), a(aa) {}
  constexpr explicit AColor(const Color& c, float aa = 1.0f) : r(c.r), g(c.g), b(c.b), a(aa) {}

  constexpr AColor operator+(const AColor& c) const { return {r + c.r, g + c.g, b + c.b, a + c.a}; }
  constexpr AColor operator-(const AColor& c) const { return {r - c.r, g - c.g, b - c.b, a - c.a}; }
  constexpr AColor operator*(float s) const { return {r * s, g * s, b * s, a * s}; }
  constexpr AColor& operator+=(const AColor& c) { return *this = *this + c; }
  friend constexpr bool operator==(const AColor&, const AColor&) = default;
};
