// Geometry value types of the host: points, boxes and the few free functions plug-ins use on them.
//
// All arithmetic is single-precision unless stated otherwise. Nothing here allocates or traps:
// a zero vector, a degenerate triangle, NaN and infinities give defined (if meaningless) results.
#pragma once

#include <cmath>
#include <limits>

#include "host/types.h"

struct IPoint2 {
  int x = 0;
  int y = 0;

  constexpr IPoint2() = default;
  constexpr IPoint2(int ax, int ay) : x(ax), y(ay) {}
  friend constexpr bool operator==(const IPoint2&, const IPoint2&) = default;
};

struct Point2 {
  float x = 0.0f;
  float y = 0.0f;

  constexpr Point2() = default;
  constexpr Point2(float ax, float ay) : x(ax), y(ay) {}

  constexpr Point2 operator+(const Point2& b) const { return {x + b.x, y + b.y}; }
  constexpr Point2 operator-(const Point2& b) const { return {x - b.x, y - b.y}; }
  constexpr Point2 operator*(float s) const { return {x * s, y * s}; }
  friend constexpr bool operator==(const Point2&, const Point2&) = default;
};

struct Point3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;

  constexpr Point3() = default;
  constexpr Point3(float ax, float ay, float az) : x(ax), y(ay), z(az) {}

  constexpr Point3 operator+(const Point3& b) const { return {x + b.x, y + b.y, z + b.z}; }
  constexpr Point3 operator-(const Point3& b) const { return {x - b.x, y - b.y, z - b.z}; }
  constexpr Point3 operator-() const { return {-x, -y, -z}; }
  constexpr Point3 operator*(float s) const { return {x * s, y * s, z * s}; }
  constexpr Point3 operator/(float s) const { return {x / s, y / s, z / s}; }
  constexpr Point3& operator+=(const Point3& b) {
    x += b.x;
    y += b.y;
    z += b.z;
    return *this;
  }
  constexpr Point3& operator-=(const Point3& b) {
    x -= b.x;
    y -= b.y;
    z -= b.z;
    return *this;
  }
  constexpr Point3& operator*=(float s) {
    x *= s;
    y *= s;
    z *= s;
    return *this;
  }
  // Dot product.
  constexpr float operator%(const Point3& b) const { return x * b.x + y * b.y + z * b.z; }
  constexpr float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
  constexpr float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
  friend constexpr bool operator==(const Point3&, const Point3&) = default;
};

constexpr Point3 operator*(float s, const Point3& p) { return p * s; }

// Accumulating boxes. A point is taken in with `p < min` / `p > max` comparisons, so a NaN
// coordinate never widens a box that already holds a point; a NaN in the first point stays.
struct Box2D {
  BOOL empty = TRUE;
  Point2 min;
  Point2 max;

  constexpr Box2D() = default;
  constexpr Box2D(const Point2& amin, const Point2& amax) : empty(FALSE), min(amin), max(amax) {}

  constexpr void SetEmpty() { *this = Box2D(); }
  constexpr bool IsEmpty() const { return empty != FALSE; }
  constexpr Box2D& operator+=(const Point2& p) {
    if (empty) {
      min = max = p;
      empty = FALSE;
      return *this;
    }
    if (p.x < min.x) min.x = p.x;
    if (p.x > max.x) max.x = p.x;
    if (p.y < min.y) min.y = p.y;
    if (p.y > max.y) max.y = p.y;
    return *this;
  }
};

// Starts empty as min = +inf, max = -inf, so the first point sets both corners whatever its size.
struct Box3 {
  static constexpr float kInf = std::numeric_limits<float>::infinity();
  Point3 pmin{kInf, kInf, kInf};
  Point3 pmax{-kInf, -kInf, -kInf};

  constexpr Box3() = default;
  constexpr Box3(const Point3& amin, const Point3& amax) : pmin(amin), pmax(amax) {}

  constexpr void Init() { *this = Box3(); }
  constexpr bool IsEmpty() const { return pmin.x > pmax.x || pmin.y > pmax.y || pmin.z > pmax.z; }
  constexpr Point3 Min() const { return pmin; }
  constexpr Point3 Max() const { return pmax; }
  constexpr Point3 Width() const { return pmax - pmin; }
  constexpr Box3& operator+=(const Point3& p) {
    for (int i = 0; i < 3; ++i) {
      if (p[i] < pmin[i]) pmin[i] = p[i];
      if (p[i] > pmax[i]) pmax[i] = p[i];
    }
    return *this;
  }
};

inline float Length(const Point3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// v / |v|. A zero vector is returned unchanged (zero), so callers never divide by zero.
inline Point3 Normalize(const Point3& v) {
  const float len = Length(v);
  if (len == 0.0f) return v;
  return v / len;
}

inline Point3 CrossProd(const Point3& a, const Point3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Barycentric weights in the XY plane, split so a caller testing many points against one
// triangle can set the triangle up once:
//   e1 = p1 - p0, e2 = p2 - p0, ep = p - p0                    (differences in double)
//   inv = 1 / (e1.x e2.y - e1.y e2.x)                          (NaN for a degenerate triangle)
//   b1 = (ep.x e2.y - ep.y e2.x) inv,  b2 = (e1.x ep.y - e1.y ep.x) inv,  b0 = 1 - b1 - b2
// Only two weights are ratios of areas; the third is 1 minus their sum, so the three always
// sum to 1 up to one float rounding. Three independent single-precision ratios drift apart
// enough on small faces to fail a |b0 + b1 + b2 - 1| <= 1e-6 acceptance test for points that
// lie inside the face. A degenerate triangle has no weights: all three are NaN, which fails
// every range test.
inline double InverseDoubleArea2D(const Point3& p0, const Point3& p1, const Point3& p2) {
  const double cross = (double(p1.x) - p0.x) * (double(p2.y) - p0.y) - (double(p1.y) - p0.y) * (double(p2.x) - p0.x);
  return cross != 0.0 ? 1.0 / cross : std::numeric_limits<double>::quiet_NaN();
}

inline Point3 BaryCoords2D(const Point3& p0, const Point3& p1, const Point3& p2, double inverseDoubleArea, float u,
                           float v) {
  const double e1x = double(p1.x) - p0.x, e1y = double(p1.y) - p0.y;
  const double e2x = double(p2.x) - p0.x, e2y = double(p2.y) - p0.y;
  const double epx = double(u) - p0.x, epy = double(v) - p0.y;
  const double b1 = (epx * e2y - epy * e2x) * inverseDoubleArea;
  const double b2 = (e1x * epy - e1y * epx) * inverseDoubleArea;
  return {float(1.0 - b1 - b2), float(b1), float(b2)};
}

// Barycentric weights (b0, b1, b2) of p with respect to the triangle p0 p1 p2, for p in the
// triangle's plane. Where all four points share one Z this is BaryCoords2D, bit for bit.
// Otherwise, in double precision, with n = e1 x e2:
//   b1 = ((ep x e2) . n) / (n . n),  b2 = ((e1 x ep) . n) / (n . n),  b0 = 1 - b1 - b2
// and a degenerate triangle (n . n == 0) gives NaN weights.
inline Point3 BaryCoords(const Point3& p0, const Point3& p1, const Point3& p2, const Point3& p) {
  if (p0.z == p1.z && p1.z == p2.z && p2.z == p.z) {
    return BaryCoords2D(p0, p1, p2, InverseDoubleArea2D(p0, p1, p2), p.x, p.y);
  }
  const double e1x = double(p1.x) - p0.x, e1y = double(p1.y) - p0.y, e1z = double(p1.z) - p0.z;
  const double e2x = double(p2.x) - p0.x, e2y = double(p2.y) - p0.y, e2z = double(p2.z) - p0.z;
  const double epx = double(p.x) - p0.x, epy = double(p.y) - p0.y, epz = double(p.z) - p0.z;
  const double nx = e1y * e2z - e1z * e2y;
  const double ny = e1z * e2x - e1x * e2z;
  const double nz = e1x * e2y - e1y * e2x;
  const double nn = nx * nx + ny * ny + nz * nz;
  if (!(nn > 0.0)) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    return {nan, nan, nan};
  }
  // (ep x e2) . n and (e1 x ep) . n
  const double a1 = (epy * e2z - epz * e2y) * nx + (epz * e2x - epx * e2z) * ny + (epx * e2y - epy * e2x) * nz;
  const double a2 = (e1y * epz - e1z * epy) * nx + (e1z * epx - e1x * epz) * ny + (e1x * epy - e1y * epx) * nz;
  const double b1 = a1 / nn;
  const double b2 = a2 / nn;
  return {float(1.0 - b1 - b2), float(b1), float(b2)};
}
