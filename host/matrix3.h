// Matrix3: an affine transform of 3D points, stored as four rows (three axes and a
// translation), applied to row vectors: p' = p * M = p.x row0 + p.y row1 + p.z row2 + row3.
// Composition reads left to right: p * (A * B) = (p * A) * B.
#pragma once

#include <cmath>

#include "host/geometry.h"

class Matrix3 {
 public:
  // The identity.
  constexpr Matrix3() : m_{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}} {}
  constexpr Matrix3(const Point3& r0, const Point3& r1, const Point3& r2, const Point3& r3) : m_{r0, r1, r2, r3} {}

  constexpr const Point3& GetRow(int i) const { return m_[i]; }
  constexpr void SetRow(int i, const Point3& row) { m_[i] = row; }
  constexpr Point3 GetTrans() const { return m_[3]; }
  constexpr void SetTrans(const Point3& t) { m_[3] = t; }
  constexpr void IdentityMatrix() { *this = Matrix3(); }

  // Append a transform: afterwards p * M = (p * M_before) * T.
  void Translate(const Point3& t) { m_[3] += t; }
  void Scale(const Point3& s) {
    for (Point3& row : m_) row = {row.x * s.x, row.y * s.y, row.z * s.z};
  }
  // Rotation by angle radians about X, counter-clockwise seen from +X (Y turns toward Z).
  void RotateX(float angle) {
    const float c = std::cos(angle), s = std::sin(angle);
    for (Point3& row : m_) row = {row.x, row.y * c - row.z * s, row.y * s + row.z * c};
  }
  // Rotation by angle radians about Y, counter-clockwise seen from +Y (Z turns toward X).
  void RotateY(float angle) {
    const float c = std::cos(angle), s = std::sin(angle);
    for (Point3& row : m_) row = {row.x * c + row.z * s, row.y, row.z * c - row.x * s};
  }
  // Rotation by angle radians about Z, counter-clockwise seen from +Z (X turns toward Y).
  void RotateZ(float angle) {
    const float c = std::cos(angle), s = std::sin(angle);
    for (Point3& row : m_) row = {row.x * c - row.y * s, row.x * s + row.y * c, row.z};
  }

  constexpr Point3 PointTransform(const Point3& p) const { return m_[0] * p.x + m_[1] * p.y + m_[2] * p.z + m_[3]; }
  constexpr Point3 VectorTransform(const Point3& v) const { return m_[0] * v.x + m_[1] * v.y + m_[2] * v.z; }

  constexpr Matrix3 operator*(const Matrix3& b) const {
    Matrix3 r;
    for (int i = 0; i < 3; ++i) r.m_[i] = b.VectorTransform(m_[i]);
    r.m_[3] = b.PointTransform(m_[3]);
    return r;
  }
  friend constexpr bool operator==(const Matrix3&, const Matrix3&) = default;

 private:
  Point3 m_[4];
};

inline Point3 operator*(const Point3& p, const Matrix3& m) { return m.PointTransform(p); }

// The inverse of an affine transform; a singular one (no inverse) gives the identity, so a
// caller never divides by zero.
inline Matrix3 Inverse(const Matrix3& m) {
  const Point3 a = m.GetRow(0), b = m.GetRow(1), c = m.GetRow(2);
  const Point3 bc = CrossProd(b, c), ca = CrossProd(c, a), ab = CrossProd(a, b);
  const float det = a % bc;
  if (det == 0.0f || !std::isfinite(det)) return Matrix3();
  // Rows of the inverse of the 3x3 part are the columns of the adjugate over det.
  const Point3 r0(bc.x / det, ca.x / det, ab.x / det);
  const Point3 r1(bc.y / det, ca.y / det, ab.y / det);
  const Point3 r2(bc.z / det, ca.z / det, ab.z / det);
  Matrix3 inv(r0, r1, r2, Point3(0, 0, 0));
  inv.SetTrans(-inv.VectorTransform(m.GetTrans()));
  return inv;
}
