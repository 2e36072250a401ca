#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "host/matrix3.h"

namespace {

// Within a few float roundings of the larger magnitude.
void ExpectNear(const Point3& a, const Point3& b) {
  const float tolerance = 1e-5f * std::max({1.0f, std::fabs(b.x), std::fabs(b.y), std::fabs(b.z)});
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}

TEST(Matrix3, TransformsComposeLeftToRight) {
  Matrix3 m;
  EXPECT_EQ(Point3(1, 2, 3) * m, Point3(1, 2, 3));
  m.Scale({2, 3, 1});
  m.RotateZ(std::numbers::pi_v<float> / 2);  // X turns toward Y
  m.Translate({10, 0, 0});
  // (1, 1, 5) scaled (2, 3, 5), rotated a quarter turn (-3, 2, 5), moved (7, 2, 5).
  ExpectNear(Point3(1, 1, 5) * m, Point3(7, 2, 5));
  ExpectNear(m.VectorTransform({1, 0, 0}), Point3(0, 2, 0));

  Matrix3 a, b;
  a.Translate({1, 2, 3});
  b.Scale({2, 2, 2});
  ExpectNear(Point3(1, 1, 1) * (a * b), (Point3(1, 1, 1) * a) * b);
  ExpectNear(Point3(1, 1, 1) * (a * b), Point3(4, 6, 8));
}

TEST(Matrix3, InverseUndoesAndSingularGivesIdentity) {
  Matrix3 m;
  m.Scale({2, 0.5f, 4});
  m.RotateZ(0.3f);
  m.Translate({-1, 7, 2});
  const Matrix3 inv = Inverse(m);
  for (const Point3& p : {Point3(0, 0, 0), Point3(1, -2, 3), Point3(100, 5, -8)}) ExpectNear((p * m) * inv, p);

  Matrix3 flat;
  flat.Scale({1, 0, 1});
  EXPECT_EQ(Inverse(flat), Matrix3());
}

}  // namespace
