#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "host/geometry.h"
#include "host/tab.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::nanf("");

bool Accepted(const Point3& b) {
  auto in = [](float w) { return w >= 0.0f && w <= 1.0f; };
  return in(b.x) && in(b.y) && in(b.z) && std::fabs(b.z + b.y + b.x - 1.0f) <= 1e-6f;
}

// What a host library might do instead: three independent single-precision area ratios.
Point3 ThreeRatioBaryCoords(const Point3& p0, const Point3& p1, const Point3& p2, const Point3& p) {
  auto area = [](const Point3& a, const Point3& b, const Point3& c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
  };
  const float whole = area(p0, p1, p2);
  return {area(p, p1, p2) / whole, area(p0, p, p2) / whole, area(p0, p1, p) / whole};
}

TEST(Geometry, VectorBasics) {
  EXPECT_EQ(CrossProd({1, 0, 0}, {0, 1, 0}), Point3(0, 0, 1));
  EXPECT_EQ(CrossProd({0, 1, 0}, {1, 0, 0}), Point3(0, 0, -1));
  EXPECT_FLOAT_EQ(Length({3, 4, 12}), 13.0f);
  EXPECT_FLOAT_EQ(Point3(1, 2, 3) % Point3(4, 5, 6), 32.0f);

  const Point3 n = Normalize({3, 0, 4});
  EXPECT_FLOAT_EQ(n.x, 0.6f);
  EXPECT_FLOAT_EQ(n.z, 0.8f);
  // A zero vector stays zero instead of dividing by zero.
  EXPECT_EQ(Normalize({0, 0, 0}), Point3(0, 0, 0));
  EXPECT_TRUE(std::isnan(Normalize({kNaN, 1, 1}).x));
}

TEST(Geometry, BaryCoordsReconstructsThePoint) {
  const Point3 p0(0.1f, 0.2f, 0), p1(0.9f, 0.3f, 0), p2(0.4f, 0.8f, 0);
  for (const Point3& corner : {p0, p1, p2}) {
    const Point3 b = BaryCoords(p0, p1, p2, corner);
    EXPECT_TRUE(Accepted(b));
  }
  EXPECT_EQ(BaryCoords(p0, p1, p2, p1), Point3(0, 1, 0));
  const Point3 p(0.45f, 0.4f, 0);
  const Point3 b = BaryCoords(p0, p1, p2, p);
  const Point3 back = b.x * p0 + b.y * p1 + b.z * p2;
  EXPECT_NEAR(back.x, p.x, 1e-6f);
  EXPECT_NEAR(back.y, p.y, 1e-6f);
  EXPECT_TRUE(Accepted(b));
  // Outside the triangle one weight is negative.
  EXPECT_FALSE(Accepted(BaryCoords(p0, p1, p2, {0.0f, 0.9f, 0})));
  // Works in any plane, not only z = 0.
  const Point3 q0(0, 0, 0), q1(0, 1, 1), q2(1, 0, 1);
  const Point3 c = BaryCoords(q0, q1, q2, {0.25f, 0.25f, 0.5f});
  EXPECT_NEAR(c.x, 0.5f, 1e-6f);
  EXPECT_NEAR(c.y, 0.25f, 1e-6f);
  EXPECT_NEAR(c.z, 0.25f, 1e-6f);
}

TEST(Geometry, BaryCoordsOfDegenerateTriangleIsNeverAccepted) {
  const Point3 b = BaryCoords({0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {1, 1, 0});
  EXPECT_FALSE(Accepted(b));
  EXPECT_FALSE(Accepted(BaryCoords({0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0})));
  EXPECT_FALSE(Accepted(BaryCoords({0, 0, 0}, {kInf, 0, 0}, {0, 1, 0}, {0.1f, 0.1f, 0})));
}

// Points well inside small faces far from the origin must pass the acceptance test; three
// independent float ratios lose them to rounding (which made a query miss the top surface).
TEST(Geometry, BaryCoordsAcceptsPointsInsideSmallFaces) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  int rejected = 0;
  int rejectedByRatios = 0;
  int tried = 0;
  while (tried < 20000) {
    const Point3 origin(0.5f + unit(rng) * 0.4f, 0.5f + unit(rng) * 0.4f, 0);
    const float size = 1e-4f + unit(rng) * 1e-3f;
    const Point3 p0 = origin;
    // Slivers: the area is a difference of nearly equal products.
    const Point3 p1 = origin + Point3(size, size * 0.3f * unit(rng), 0);
    const Point3 p2 = origin + Point3(size * unit(rng), size * (0.3f + 0.02f * unit(rng)), 0);
    // A point whose exact weights are all at least 0.05, so it is inside beyond any doubt.
    double w1 = 0.05 + 0.9 * unit(rng), w2 = 0.05 + 0.9 * unit(rng);
    if (w1 + w2 > 0.95) continue;
    const Point3 p(float(p0.x + w1 * (double(p1.x) - p0.x) + w2 * (double(p2.x) - p0.x)),
                   float(p0.y + w1 * (double(p1.y) - p0.y) + w2 * (double(p2.y) - p0.y)), 0);
    ++tried;
    if (!Accepted(BaryCoords(p0, p1, p2, p))) ++rejected;
    if (!Accepted(ThreeRatioBaryCoords(p0, p1, p2, p))) ++rejectedByRatios;
  }
  EXPECT_EQ(rejected, 0);
  // The check has teeth: the three-ratio form fails it on this very input.
  EXPECT_GT(rejectedByRatios, 0);
}

TEST(Geometry, Box2DAccumulatesPoints) {
  Box2D box;
  EXPECT_TRUE(box.IsEmpty());
  box += Point2(0.5f, 0.2f);
  EXPECT_FALSE(box.IsEmpty());
  EXPECT_EQ(box.min, Point2(0.5f, 0.2f));
  EXPECT_EQ(box.max, Point2(0.5f, 0.2f));
  box += Point2(0.1f, 0.9f);
  box += Point2(0.3f, -0.4f);
  EXPECT_EQ(box.min, Point2(0.1f, -0.4f));
  EXPECT_EQ(box.max, Point2(0.5f, 0.9f));
  // A NaN never widens a box that holds a point...
  box += Point2(kNaN, kNaN);
  EXPECT_EQ(box.min, Point2(0.1f, -0.4f));
  // ...but a box started from NaN stays NaN, so it contains nothing.
  Box2D bad;
  bad += Point2(kNaN, 0.0f);
  bad += Point2(0.5f, 0.5f);
  EXPECT_TRUE(std::isnan(bad.min.x));
  bad.SetEmpty();
  EXPECT_TRUE(bad.IsEmpty());
}

TEST(Geometry, Box3TakesAnyFirstPoint) {
  Box3 box;
  EXPECT_TRUE(box.IsEmpty());
  box += Point3(2e30f, -3e30f, 5.0f);
  EXPECT_FALSE(box.IsEmpty());
  EXPECT_EQ(box.Min(), Point3(2e30f, -3e30f, 5.0f));
  EXPECT_EQ(box.Max(), Point3(2e30f, -3e30f, 5.0f));
  box += Point3(0, 0, 0);
  EXPECT_EQ(box.Width(), Point3(2e30f, 3e30f, 5.0f));
}

TEST(Tab, CountedArrayOperations) {
  Tab<int> tab;
  EXPECT_EQ(tab.Count(), 0);
  const int values[] = {1, 2, 3};
  EXPECT_EQ(tab.Append(3, values), 0);
  EXPECT_EQ(tab.Append(4), 3);
  const int inserted[] = {9, 8};
  tab.Insert(1, 2, inserted);
  EXPECT_EQ(std::vector<int>(tab.begin(), tab.end()), (std::vector<int>{1, 9, 8, 2, 3, 4}));
  EXPECT_EQ(tab.Delete(0, 2), 4);
  EXPECT_EQ(tab[0], 8);
  tab.SetCount(6);
  EXPECT_EQ(tab[5], 0);
  tab.SetCount(-1);
  EXPECT_EQ(tab.Count(), 0);
  Tab<int> copy = tab;
  copy.Append(5);
  EXPECT_EQ(tab.Count(), 0);
}

}  // namespace
