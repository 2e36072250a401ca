#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "sampler/surface_sampler.h"
#include "tests/support/mesh_builders.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

struct Span {
  Point3 lo{kInf, kInf, kInf};
  Point3 hi{-kInf, -kInf, -kInf};
};

Span SpanOf(const Mesh& mesh) {
  Span s;
  for (const Point3& p : mesh.verts) {
    for (int i = 0; i < 3; ++i) {
      s.lo[i] = std::min(s.lo[i], p[i]);
      s.hi[i] = std::max(s.hi[i], p[i]);
    }
  }
  return s;
}

float HeightOr(const SurfaceSampler& sampler, float u, float v, float missing = -1.0f) {
  float h = missing;
  return sampler.HeightAt({u, v, 0}, h) ? h : missing;
}

TEST(SurfaceSamplerNormalisation, FillsTheUnitSquareAndUnitHeight) {
  for (const Mesh& mesh : {RandomMesh(3, 50), SquareAt(-7, 2, 13, 2.5f, -4), GridTerrain(5, 9)}) {
    SurfaceSampler sampler;
    sampler.Rebuild(mesh);
    const Span s = SpanOf(sampler.workMesh);
    EXPECT_EQ(s.lo.x, 0.0f);
    EXPECT_EQ(s.lo.y, 0.0f);
    EXPECT_EQ(s.lo.z, 0.0f);
    EXPECT_FLOAT_EQ(s.hi.x, 1.0f);
    EXPECT_FLOAT_EQ(s.hi.y, 1.0f);
    EXPECT_FLOAT_EQ(s.hi.z, s.lo.z == s.hi.z ? 0.0f : 1.0f);
  }
  // A mesh below zero, and one at Z 3..5, both give heights 0..1.
  for (float base : {-3.0f, 3.0f}) {
    SurfaceSampler sampler;
    sampler.Rebuild(MakeMesh({{0, 0, base}, {1, 0, base}, {1, 1, base + 2}}, {{0, 1, 2}}));
    EXPECT_FLOAT_EQ(SpanOf(sampler.workMesh).lo.z, 0.0f);
    EXPECT_FLOAT_EQ(SpanOf(sampler.workMesh).hi.z, 1.0f);
  }
}

TEST(SurfaceSamplerNormalisation, OffKeepsPositionsAndDividesZByItsExtent) {
  SurfaceSampler sampler;
  sampler.normalizeMesh = 0;
  sampler.uScale = 0.5f;
  sampler.vScale = 2.0f;
  sampler.uOffset = 0.25f;
  sampler.vOffset = -0.1f;
  sampler.Rebuild(MakeMesh({{0.2f, 0.1f, 10}, {1.0f, 0.1f, 11}, {0.2f, 0.4f, 12}}, {{0, 1, 2}}));
  EXPECT_EQ(sampler.workMesh.verts[1], Point3(1.0f * 0.5f + 0.25f, 0.1f * 2.0f - 0.1f, 5.5f));
  const Span s = SpanOf(sampler.workMesh);
  EXPECT_FLOAT_EQ(s.lo.z, 5.0f);
  EXPECT_FLOAT_EQ(s.hi.z, 6.0f);
}

TEST(SurfaceSamplerNormalisation, ScaleAndOffsetMoveTheMeshInUV) {
  // X -2..2, Y 0..1, Z 3..5 with U scale 2 and U offset -0.5 spans U -0.5..1.5.
  SurfaceSampler sampler;
  sampler.uScale = 2.0f;
  sampler.uOffset = -0.5f;
  sampler.Rebuild(MakeMesh({{-2, 0, 3}, {2, 0, 5}, {2, 1, 5}, {-2, 1, 3}}, {{0, 1, 2}, {0, 2, 3}}));
  const Span s = SpanOf(sampler.workMesh);
  EXPECT_FLOAT_EQ(s.lo.x, -0.5f);
  EXPECT_FLOAT_EQ(s.hi.x, 1.5f);
  EXPECT_FLOAT_EQ(s.hi.y, 1.0f);
  EXPECT_FLOAT_EQ(s.hi.z, 1.0f);
  // Only the middle half of the mesh is in the square: U 0 is a quarter of the way up the ramp.
  EXPECT_NEAR(HeightOr(sampler, 0.0f, 0.5f), 0.25f, 1e-6f);
  EXPECT_NEAR(HeightOr(sampler, 0.5f, 0.5f), 0.5f, 1e-6f);

  // A zero U scale flattens every face onto a line: nothing faces up, nothing is found.
  sampler.uScale = 0.0f;
  sampler.uOffset = 0.5f;
  sampler.Rebuild(GridTerrain(1, 5));
  for (float u = 0.0f; u < 1.0f; u += 0.125f) EXPECT_EQ(HeightOr(sampler, u, 0.5f), -1.0f);
}

TEST(SurfaceSamplerNormalisation, MirroringInOneAxisSwapsWhichFacesAreIndexed) {
  // One face up (counter-clockwise from +Z) at height 1, one face down at height 0, same place.
  const Mesh mesh =
      MakeMesh({{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {3, 5, 4}});
  SurfaceSampler sampler;
  sampler.Rebuild(mesh);
  EXPECT_EQ(HeightOr(sampler, 0.2f, 0.2f), 1.0f);
  sampler.uScale = -1.0f;
  sampler.uOffset = 1.0f;
  sampler.Rebuild(mesh);
  EXPECT_EQ(HeightOr(sampler, 0.8f, 0.2f), 0.0f);
  sampler.vScale = -1.0f;
  sampler.vOffset = 1.0f;
  sampler.Rebuild(mesh);
  EXPECT_EQ(HeightOr(sampler, 0.8f, 0.8f), 1.0f);
}

TEST(SurfaceSamplerRebuild, StoredMeshSurvivesAndRebuildsAlike) {
  const Mesh terrain = GridTerrain(2, 12);
  SurfaceSampler direct;
  direct.Rebuild(terrain);
  const std::vector<int> firstLeaf = direct.LeafFaces(*direct.FindLeaf({0.3f, 0.3f, 0}));
  direct.Rebuild(terrain);
  EXPECT_EQ(direct.LeafFaces(*direct.FindLeaf({0.3f, 0.3f, 0})), firstLeaf);

  SurfaceSampler stored;
  stored.SetStoredMesh(terrain);
  stored.RebuildFromStoredMesh();
  EXPECT_EQ(stored.storedMesh, terrain);
  EXPECT_EQ(stored.GetStoredMesh(), terrain);
  EXPECT_EQ(stored.workMesh, direct.workMesh);
  for (float u = 0.01f; u < 1.0f; u += 0.07f)
    for (float v = 0.01f; v < 1.0f; v += 0.07f) EXPECT_EQ(HeightOr(stored, u, v), HeightOr(direct, u, v));

  SurfaceSampler copy;
  copy.CopyStoredMeshFrom(stored);
  EXPECT_EQ(copy.storedMesh, terrain);
  EXPECT_EQ(copy.root, nullptr);
  EXPECT_EQ(copy.workMesh.getNumFaces(), 0);
}

TEST(SurfaceSamplerHeight, NothingBeforeTheFirstRebuildOrAfterFreeTree) {
  SurfaceSampler sampler;
  float h = 42.0f;
  EXPECT_FALSE(sampler.HeightAt({0.5f, 0.5f, 0}, h));
  EXPECT_EQ(h, 0.0f);
  EXPECT_EQ(sampler.FilteredHeight(0.5f, 0.5f, 0.1f, 0.1f), 0.0f);
  Point3 n(1, 1, 1);
  EXPECT_FALSE(sampler.NormalAt({0.5f, 0.5f, 0}, n));
  EXPECT_EQ(n, Point3(0, 0, 0));

  sampler.Rebuild(SquareAt(0, 0, 1, 1, 3));
  EXPECT_TRUE(sampler.HeightAt({0.5f, 0.5f, 0}, h));
  sampler.FreeTree();
  EXPECT_EQ(sampler.root, nullptr);
  EXPECT_FALSE(sampler.HeightAt({0.5f, 0.5f, 0}, h));
}

TEST(SurfaceSamplerHeight, OnlyPointsInsideTheHalfOpenSquareAreFound) {
  SurfaceSampler sampler;
  sampler.Rebuild(MakeMesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 1}, {0, 1, 1}}, {{0, 1, 2}, {0, 2, 3}}));
  float h = 7.0f;
  EXPECT_TRUE(sampler.HeightAt({0.0f, 0.0f, 0}, h));
  EXPECT_EQ(h, 0.0f);
  h = 7.0f;
  EXPECT_FALSE(sampler.HeightAt({1.0f, 0.5f, 0}, h));
  EXPECT_FALSE(sampler.HeightAt({0.5f, 1.0f, 0}, h));
  EXPECT_FALSE(sampler.HeightAt({-0.01f, 0.5f, 0}, h));
  EXPECT_FALSE(sampler.HeightAt({std::nanf(""), 0.5f, 0}, h));
  EXPECT_EQ(h, 7.0f);  // a miss leaves the output alone
  EXPECT_TRUE(sampler.HeightAt({0.99999994f, 0.99999994f, 0}, h));
  EXPECT_NEAR(h, 1.0f, 1e-6f);
}

// A row is the points' FilteredHeight without a footprint, bit for bit: along rows that cross
// cells and leave the square, at the square's edges and at values no cell holds, in an order that
// jumps between cells, before the first rebuild and after FreeTree.
TEST(SurfaceSamplerHeight, RowsAreTheirPointsHeights) {
  const auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
  const auto check = [&](const SurfaceSampler& sampler, const std::vector<Point2>& points, const char* what) {
    std::vector<float> row(points.size(), 42.0f);
    sampler.HeightRow(points.data(), static_cast<int>(points.size()), row.data());
    int differ = 0, hits = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      const float expected = sampler.FilteredHeight(points[i].x, points[i].y, 0, 0);
      if (bits(row[i]) != bits(expected)) ++differ;
      if (expected != 0.0f) ++hits;
    }
    EXPECT_EQ(differ, 0) << what;
    return hits;
  };
  const float specials[] = {0.0f, -0.0f, 0x1.fffffep-1f, 1.0f, -1e-30f, kInf, -kInf, std::nanf(""), 0.5f};
  std::vector<Point2> points;
  for (const float u : specials) {
    for (const float v : specials) points.emplace_back(u, v);
  }

  SurfaceSampler sampler;
  check(sampler, points, "before the first rebuild");
  // Stacked squares over a terrain, so cells hold several layers and rows cross their edges.
  Mesh mesh = GridTerrain(3, 40);
  for (int layer = 0; layer < 4; ++layer) {
    const float at = static_cast<float>(layer);
    const Mesh square = SquareAt(at, at, at + 5.0f, at + 6.0f, 2.0f + static_cast<float>(layer % 2));
    const auto base = static_cast<DWORD>(mesh.verts.size());
    mesh.verts.insert(mesh.verts.end(), square.verts.begin(), square.verts.end());
    for (Face face : square.faces) {
      face.setVerts(face.v[0] + base, face.v[1] + base, face.v[2] + base);
      mesh.faces.push_back(face);
    }
  }
  std::vector<Point2> scattered;
  std::uint32_t state = 12345;
  const auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f;
  };
  for (int i = 0; i < 5000; ++i) scattered.emplace_back(next(), next());
  // With the piles alone in height order, and with every cell so.
  for (const double layeredFrom : {SurfaceSampler::kLayeredFrom, 0.0}) {
    sampler.SetLayeredFrom(layeredFrom);
    sampler.Rebuild(mesh);
    check(sampler, points, "special values");
    for (int y = 0; y < 37; ++y) {
      std::vector<Point2> row;
      const float v = -0.05f + static_cast<float>(y) * 0.03f;
      for (int x = 0; x < 701; ++x) row.emplace_back(-0.1f + static_cast<float>(x) * (1.2f / 700.0f), v);
      check(sampler, row, "a row");
    }
    EXPECT_GT(check(sampler, scattered, "scattered points"), 4000);
  }
  sampler.FreeTree();
  check(sampler, scattered, "after FreeTree");
}

TEST(SurfaceSamplerHeight, TopmostFaceWinsAndEdgesCount) {
  // Two stacked squares at 0.2 and 0.7 (normalised by vertices at 0 and 1 elsewhere).
  for (bool highFirst : {false, true}) {
    Mesh mesh = MakeMesh({{0.0f, 0.0f, 0.0f},
                          {1, 1, 1},
                          {0.1f, 0.1f, highFirst ? 0.7f : 0.2f},
                          {0.5f, 0.1f, highFirst ? 0.7f : 0.2f},
                          {0.1f, 0.5f, highFirst ? 0.7f : 0.2f},
                          {0.1f, 0.1f, highFirst ? 0.2f : 0.7f},
                          {0.5f, 0.1f, highFirst ? 0.2f : 0.7f},
                          {0.1f, 0.5f, highFirst ? 0.2f : 0.7f}},
                         {{2, 3, 4}, {5, 6, 7}});
    SurfaceSampler sampler;
    sampler.Rebuild(mesh);
    EXPECT_FLOAT_EQ(HeightOr(sampler, 0.2f, 0.2f), 0.7f);
    // Inside both boxes but outside both triangles.
    EXPECT_EQ(HeightOr(sampler, 0.45f, 0.45f), -1.0f);
  }

  // Two faces meeting along u = 0.5 without sharing vertices, at 0.3 and 0.6 there: a point on
  // the edge is covered by both and takes the greater height.
  const Mesh fold = MakeMesh({{0, 0, 0},
                              {1, 1, 1},
                              {0.25f, 0.25f, 0.3f},
                              {0.5f, 0.25f, 0.3f},
                              {0.5f, 0.75f, 0.3f},
                              {0.5f, 0.25f, 0.6f},
                              {0.75f, 0.5f, 0.6f},
                              {0.5f, 0.75f, 0.6f}},
                             {{2, 3, 4}, {5, 6, 7}});
  SurfaceSampler sampler;
  sampler.Rebuild(fold);
  EXPECT_FLOAT_EQ(HeightOr(sampler, 0.5f, 0.5f), 0.6f);
  EXPECT_FLOAT_EQ(HeightOr(sampler, 0.45f, 0.5f), 0.3f);
}

TEST(SurfaceSamplerFilteredHeight, TapsDivisorsAndTheSharedTap) {
  // A roof at height 1 over U 0..0.5 and a floor corner at 0 so the box is the unit cube.
  const Mesh mesh =
      MakeMesh({{0, 0, 1}, {0.5f, 0, 1}, {0.5f, 1, 1}, {0, 1, 1}, {0.9f, 0.9f, 0}, {1, 0.9f, 0}, {1, 1, 0}},
               {{0, 1, 2}, {0, 2, 3}, {4, 5, 6}});
  SurfaceSampler sampler;
  sampler.Rebuild(mesh);
  ASSERT_EQ(HeightOr(sampler, 0.45f, 0.5f), 1.0f);

  EXPECT_EQ(sampler.FilteredHeight(0.45f, 0.5f, 0, 0), 1.0f);
  EXPECT_EQ(sampler.FilteredHeight(0.7f, 0.5f, 0, 0), 0.0f);  // a centre miss counts 0
  // U + du/2 misses before any side tap hit: it adds 0, U - du/2 adds 1.
  EXPECT_FLOAT_EQ(sampler.FilteredHeight(0.45f, 0.5f, 0.2f, 0), 2.0f / 3.0f);
  // The same taps in the other order: the miss repeats the 1 just found.
  EXPECT_FLOAT_EQ(sampler.FilteredHeight(0.45f, 0.5f, -0.2f, 0), 1.0f);
  // Spread in V only divides by 3; V + dv/2 leaves the square.
  EXPECT_FLOAT_EQ(sampler.FilteredHeight(0.25f, 0.95f, 0, 0.2f), 2.0f / 3.0f);
  // Both: 1 + 0 + 1 + 1 + 1 over 5.
  EXPECT_FLOAT_EQ(sampler.FilteredHeight(0.45f, 0.5f, 0.2f, 0.2f), 0.8f);
}

TEST(SurfaceSamplerDegenerate, ZeroExtentsGiveFiniteHeights) {
  // Flat: height 0 with normalisation on, its own Z with it off.
  SurfaceSampler flat;
  flat.Rebuild(SquareAt(2, 2, 4, 4, 7.5f));
  EXPECT_EQ(HeightOr(flat, 0.3f, 0.6f), 0.0f);
  flat.normalizeMesh = 0;
  flat.uScale = flat.vScale = 0.2f;
  flat.Rebuild(SquareAt(2, 2, 4, 4, 7.5f));
  EXPECT_EQ(HeightOr(flat, 0.5f, 0.5f), 7.5f);

  // No width in U, a single point, an empty mesh, and a mesh with no finite vertex: no face is
  // indexed, nothing is found, nothing traps.
  const Mesh noWidth = MakeMesh({{1, 0, 0}, {1, 1, 1}, {1, 2, 0}}, {{0, 1, 2}});
  const Mesh point = MakeMesh({{3, 3, 3}, {3, 3, 3}, {3, 3, 3}}, {{0, 1, 2}});
  for (const Mesh& mesh :
       {noWidth, point, Mesh(), MakeMesh({{std::nanf(""), 0, 0}, {kInf, 1, 1}, {0, 1, -kInf}}, {{0, 1, 2}})}) {
    SurfaceSampler sampler;
    sampler.Rebuild(mesh);
    for (float u = 0.0f; u < 1.0f; u += 0.1f) {
      EXPECT_EQ(HeightOr(sampler, u, 0.5f), -1.0f);
      EXPECT_EQ(sampler.FilteredHeight(u, 0.5f, 0.1f, 0.1f), 0.0f);
    }
  }
}

TEST(SurfaceSamplerDegenerate, HeightsAtTheEdgeOfTheFloatRangeStayFinite) {
  // Without normalisation a flat mesh keeps its own Z. At Z = +-FLT_MAX the interpolation
  // b2 z + b1 z + b0 z overflows wherever the weights sum to just above 1; the answer is still
  // a float next to z, and so is the mean of five such taps.
  constexpr float kMax = std::numeric_limits<float>::max();
  for (const float z : {kMax, -kMax}) {
    SurfaceSampler sampler;
    sampler.normalizeMesh = 0;
    Mesh flat = GridTerrain(3, 9);
    for (Point3& p : flat.verts) {
      p.x *= 0.1f;
      p.y *= 0.1f;
      p.z = z;
    }
    sampler.Rebuild(flat);
    int found = 0;
    for (float u = 0.0013f; u < 1.0f; u += 0.0071f) {
      for (float v = 0.0017f; v < 1.0f; v += 0.0093f) {
        float h = 0.0f;
        if (!sampler.HeightAt({u, v, 0}, h)) continue;
        ++found;
        ASSERT_TRUE(std::isfinite(h)) << u << ", " << v;
        ASSERT_LE(std::fabs(h / z - 1.0f), 1e-6f) << u << ", " << v;
        const float mean = sampler.FilteredHeight(u, v, 0.01f, 0.01f);
        ASSERT_TRUE(std::isfinite(mean)) << u << ", " << v;
        ASSERT_LE(std::fabs(mean / z - 1.0f), 1e-6f) << u << ", " << v;
      }
    }
    EXPECT_GT(found, 15000);
  }
}

TEST(SurfaceSamplerDegenerate, BadFacesAreIgnoredSafely) {
  // A good roof at 0.5 surrounded by faces with NaN and infinite vertices, indices past the
  // vertex array, and faces partly or wholly outside the square.
  const float nan = std::nanf("");
  Mesh mesh = MakeMesh(
      {{0, 0, 0},
       {1, 1, 1},  // 0, 1: the box
       {0.1f, 0.1f, 0.5f},
       {0.9f, 0.1f, 0.5f},
       {0.9f, 0.9f, 0.5f},
       {0.1f, 0.9f, 0.5f},
       {0.2f, 0.2f, nan},
       {0.8f, 0.2f, 1},
       {0.5f, 0.8f, 1},  // 6: NaN height
       {nan, 0.2f, 1},
       {kInf, 0.3f, 1},
       {0.5f, -kInf, 1},  // 9..11
       {-0.5f, 0.4f, 0.9f},
       {0.3f, 0.4f, 0.9f},
       {-0.5f, 0.6f, 0.9f}},
      {{2, 3, 4}, {2, 4, 5}, {6, 7, 8}, {9, 10, 11}, {7, 10, 8}, {2, 3, 99}, {0xFFFFFFFFu, 4, 5}, {12, 13, 14}});
  SurfaceSampler sampler;
  sampler.quadTreeDepth = 10;
  sampler.Rebuild(mesh);
  for (float u = 0.0f; u < 1.0f; u += 1.0f / 64.0f) {
    for (float v = 0.0f; v < 1.0f; v += 1.0f / 64.0f) {
      float h = -1.0f;
      if (sampler.HeightAt({u, v, 0}, h)) {
        EXPECT_TRUE(std::isfinite(h)) << u << ", " << v;
      }
      Point3 n;
      if (sampler.NormalAt({u, v, 0}, n)) {
        EXPECT_TRUE(std::isfinite(n.x + n.y + n.z));
      }
    }
  }
  EXPECT_EQ(HeightOr(sampler, 0.5f, 0.3f), 0.5f);         // the NaN face above it is skipped
  EXPECT_FLOAT_EQ(HeightOr(sampler, 0.1f, 0.42f), 0.9f);  // the part inside the square of face 7
  EXPECT_EQ(sampler.faceBoxes.Count(), mesh.getNumFaces());
  EXPECT_TRUE(sampler.faceBoxes[5].IsEmpty());
  EXPECT_FALSE(sampler.FacesUpward(5));
  EXPECT_FALSE(sampler.FacesUpward(6));
}

TEST(SurfaceSamplerDegenerate, DepthsOutsideTheRangeDoNotTrap) {
  for (int depth : {-3, 0, 1}) {
    SurfaceSampler sampler;
    sampler.quadTreeDepth = depth;
    sampler.Rebuild(SquareAt(0, 0, 1, 1, 1));
    EXPECT_EQ(sampler.NodeCount(), 1);
    EXPECT_EQ(HeightOr(sampler, 0.5f, 0.5f), -1.0f);
  }
  SurfaceSampler deep;
  deep.quadTreeDepth = 30;
  deep.Rebuild(SquareAt(0, 0, 1, 1, 1));
  EXPECT_EQ(deep.NodeCount(), 349525);
  EXPECT_EQ(HeightOr(deep, 0.5f, 0.5f), 0.0f);
}

}  // namespace
