// A sweep that asked the wrong question, or threads that shared or skipped points, would give
// figures that look plausible and mean nothing; these pin what each query benchmark does.
#include "bench/sweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "bench/command_line.h"

namespace {

// Hits below v = 0.5 only, and writes a height even on a miss, as a careless sampler might.
struct FakeSampler {
  bool HeightAt(Point3 p, float& height) const {
    height = p.x;
    return p.y < 0.5f;
  }
  float FilteredHeight(float u, float v, float du, float dv) const {
    widths.emplace_back(du, dv);
    return u + v;
  }
  bool NormalAt(Point3 p, Point3& normal) const {
    normal = Point3(1.0f, 2.0f, 3.0f);
    return p.y < 0.5f;
  }
  mutable std::vector<Point2> widths;
};

const std::vector<Point2> kPoints = {{0.25f, 0.25f}, {0.75f, 0.25f}, {0.5f, 0.75f}};

TEST(Sweep, HeightAtSumsOnlyHits) { EXPECT_EQ(Sweep(FakeSampler(), Query::kHeightAt, kPoints), 1.0f); }

TEST(Sweep, NormalAtSumsTheComponentsOfHits) { EXPECT_EQ(Sweep(FakeSampler(), Query::kNormalAt, kPoints), 12.0f); }

TEST(Sweep, FilteredHeightUsesOneWidthOrBoth) {
  FakeSampler one;
  EXPECT_EQ(Sweep(one, Query::kFilteredU, kPoints), 0.5f + 1.0f + 1.25f);
  ASSERT_EQ(one.widths.size(), kPoints.size());
  for (const Point2& w : one.widths) EXPECT_EQ(w, Point2(kFilterWidth, 0.0f));
  FakeSampler both;
  Sweep(both, Query::kFilteredUV, kPoints);
  ASSERT_EQ(both.widths.size(), kPoints.size());
  for (const Point2& w : both.widths) EXPECT_EQ(w, Point2(kFilterWidth, kFilterWidth));
}

TEST(Sweep, NamesAreDistinct) {
  EXPECT_STREQ(QueryName(Query::kHeightAt), "HeightAt");
  EXPECT_STRNE(QueryName(Query::kFilteredU), QueryName(Query::kFilteredUV));
  EXPECT_STREQ(QueryName(Query::kNormalAt), "NormalAt");
}

TEST(Slice, ThreadsTakeEveryPointOnceInOrder) {
  for (std::size_t size : {0u, 1u, 7u, 1'000'001u}) {
    const std::vector<Point2> points(size);
    for (int threads = 1; threads <= 3; ++threads) {
      const Point2* next = points.data();
      std::size_t smallest = size;
      std::size_t largest = 0;
      for (int t = 0; t < threads; ++t) {
        const std::span<const Point2> slice = Slice(points, t, threads);
        EXPECT_EQ(slice.data(), next) << size << " points, thread " << t << " of " << threads;
        next += slice.size();
        smallest = std::min(smallest, slice.size());
        largest = std::max(largest, slice.size());
      }
      EXPECT_EQ(next, points.data() + size);
      EXPECT_LE(largest - smallest, 1u);
    }
  }
}

TEST(Disagreement, CountsMissesAgainstHitsAndHeightsBeyondTheTolerance) {
  const std::vector<Point2> points = {{0.1f, 0.0f}, {0.2f, 0.0f}, {0.3f, 0.0f}, {0.4f, 0.0f}};
  const auto a = [](const Point2& p, float& h) {
    h = p.x;
    return true;
  };
  const auto b = [](const Point2& p, float& h) {
    h = p.x == 0.2f ? p.x + 1e-6f : p.x;
    return p.x != 0.4f;
  };
  EXPECT_EQ(Disagreement(points, 0.0f, a, a), 0.0);
  EXPECT_EQ(Disagreement(points, 0.0f, a, b), 0.5);    // the shifted height and the miss
  EXPECT_EQ(Disagreement(points, 1e-5f, a, b), 0.25);  // only the miss
  EXPECT_EQ(Disagreement(std::span<const Point2>(), 0.0f, a, b), 0.0);
}

TEST(Disagreement, ANanHeightNeverAgrees) {
  const std::vector<Point2> points = {{0.5f, 0.5f}};
  const auto nan = [](const Point2&, float& h) {
    h = std::numeric_limits<float>::quiet_NaN();
    return true;
  };
  EXPECT_EQ(Disagreement(points, 1.0f, nan, nan), 1.0);
}

TEST(MeanLeafFaces, AveragesOverEqualLeaves) {
  // Three upward faces placed directly in UV space: two cover a 2 x 2 block of depth-3 leaves
  // each, the third lies inside one depth-3 leaf.
  Mesh mesh;
  mesh.verts = {{0.0f, 0.0f, 0.0f}, {0.4f, 0.0f, 0.0f},   {0.0f, 0.4f, 0.0f},  {0.6f, 0.6f, 0.0f}, {0.9f, 0.6f, 0.0f},
                {0.6f, 0.9f, 0.0f}, {0.55f, 0.05f, 0.0f}, {0.7f, 0.05f, 0.0f}, {0.55f, 0.2f, 0.0f}};
  mesh.setNumFaces(3);
  for (int f = 0; f < 3; ++f) {
    const auto base = static_cast<DWORD>(3 * f);
    mesh.faces[static_cast<std::size_t>(f)].setVerts(base, base + 1, base + 2);
  }
  reference::Sampler depth2;
  depth2.normalizeMesh = 0;
  depth2.quadTreeDepth = 2;
  depth2.Rebuild(mesh);
  EXPECT_DOUBLE_EQ(MeanLeafFaces(*depth2.root), 3.0 / 4.0);
  reference::Sampler depth3;
  depth3.normalizeMesh = 0;
  depth3.quadTreeDepth = 3;
  depth3.Rebuild(mesh);
  EXPECT_DOUBLE_EQ(MeanLeafFaces(*depth3.root), 9.0 / 16.0);
}

TEST(LiteralPointCount, BudgetsFaceTestsWithinFloorAndCap) {
  EXPECT_EQ(LiteralPointCount(2000.0, 1'000'000), std::size_t(67'108'864 / 2000));
  EXPECT_EQ(LiteralPointCount(500'000.0, 1'000'000), 256u);
  EXPECT_EQ(LiteralPointCount(1.0, 1'000'000), 250'000u);
  EXPECT_EQ(LiteralPointCount(0.0, 1'000'000), 250'000u);
  // Never more points than there are, even when the floor asks for more.
  EXPECT_EQ(LiteralPointCount(500'000.0, 100), 25u);
}

TEST(TakeFlag, RemovesExactMatchesOnly) {
  std::string words[] = {"bench", "--benchmark_filter=x", "--quick", "--quick=1", "--quick"};
  char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), words[4].data()};
  int argc = 5;
  EXPECT_TRUE(TakeFlag(argc, argv, "--quick"));
  ASSERT_EQ(argc, 3);
  EXPECT_STREQ(argv[0], "bench");
  EXPECT_STREQ(argv[1], "--benchmark_filter=x");
  EXPECT_STREQ(argv[2], "--quick=1");
  EXPECT_FALSE(TakeFlag(argc, argv, "--quick"));
  EXPECT_EQ(argc, 3);
}

}  // namespace
