// The benchmark's inputs and baselines must be right before its figures mean anything: the
// terrain must face up everywhere, the points must be the same every run, Embree must answer the
// sampler's question, and the memory meters must count what is allocated.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include "bench/bench_meshes.h"
#include "bench/embree_height_field.h"
#include "bench/heap_meter.h"
#include "bench/percentiles.h"
#include "sampler/surface_sampler.h"

namespace {

float Cross2(const Point3& p, const Point3& q, const Point3& r) {
  return (q.x - p.x) * (r.y - p.y) - (q.y - p.y) * (r.x - p.x);
}

UvTriangles Triangles(std::vector<float> xyz, std::vector<std::uint32_t> indices) {
  Mesh mesh;
  mesh.setNumVerts(static_cast<int>(xyz.size() / 3));
  for (int i = 0; i < mesh.getNumVerts(); ++i) {
    const std::size_t k = 3 * static_cast<std::size_t>(i);
    mesh.setVert(i, Point3(xyz[k], xyz[k + 1], xyz[k + 2]));
  }
  mesh.setNumFaces(static_cast<int>(indices.size() / 3));
  for (std::size_t f = 0; f < mesh.faces.size(); ++f)
    mesh.faces[f].setVerts(indices[3 * f], indices[3 * f + 1], indices[3 * f + 2]);
  return UvTriangles::From(mesh);
}

TEST(UnitFloat, CoversZeroToJustBelowOne) {
  EXPECT_EQ(UnitFloat(0u), 0.0f);
  EXPECT_EQ(UnitFloat(0xFFFFFFFFu), 1.0f - 0x1.0p-24f);
  EXPECT_LT(UnitFloat(0x7FFFFFFFu), UnitFloat(0x80000000u));
}

TEST(MakeTerrain, EveryFaceIsCounterClockwiseFromAboveAndInGroupOne) {
  const Mesh mesh = MakeTerrain(5, 7);
  ASSERT_EQ(mesh.getNumVerts(), 25);
  ASSERT_EQ(mesh.getNumFaces(), 2 * 4 * 4);
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    ASSERT_TRUE(mesh.faceIsValid(f)) << f;
    const Face& face = mesh.faces[static_cast<std::size_t>(f)];
    EXPECT_GT(Cross2(mesh.getVert(int(face.v[0])), mesh.getVert(int(face.v[1])), mesh.getVert(int(face.v[2]))), 0.0f)
        << f;
    EXPECT_EQ(face.getSmGroup(), 1u);
  }
}

TEST(MakeTerrain, TilesTheGridWithoutGapsOrOverlaps) {
  // Twice the face area of every face sums to twice the grid's area only if the two triangles
  // of each square cover it exactly once.
  const Mesh mesh = MakeTerrain(6, 7);
  double doubleArea = 0.0;
  for (const Face& face : mesh.faces)
    doubleArea += Cross2(mesh.getVert(int(face.v[0])), mesh.getVert(int(face.v[1])), mesh.getVert(int(face.v[2])));
  EXPECT_DOUBLE_EQ(doubleArea, 2.0 * 5.0 * 5.0);
  EXPECT_EQ(mesh.getVert(6 * 3 + 2).x, 2.0f);
  EXPECT_EQ(mesh.getVert(6 * 3 + 2).y, 3.0f);
}

TEST(MakeTerrain, SameSeedSameMeshOtherSeedOtherHeights) {
  EXPECT_TRUE(MakeTerrain(8, 3) == MakeTerrain(8, 3));
  const Mesh a = MakeTerrain(8, 3);
  const Mesh b = MakeTerrain(8, 4);
  int differ = 0;
  for (int i = 0; i < a.getNumVerts(); ++i) differ += a.getVert(i).z != b.getVert(i).z;
  EXPECT_EQ(differ, a.getNumVerts());
}

TEST(BenchMesh, TerrainHasTwoMillionFacesAndIsBuiltOnce) {
  const Mesh& terrain = BenchMesh("terrain");
  EXPECT_EQ(terrain.getNumVerts(), 1000 * 1000);
  EXPECT_EQ(terrain.getNumFaces(), 2 * 999 * 999);
  EXPECT_EQ(&BenchMesh("terrain"), &terrain);
}

TEST(BenchMesh, ReadsTheEngineModel) { EXPECT_EQ(BenchMesh("engine").getNumFaces(), 121496); }

// The stack must be what its figures claim: layered everywhere, with the top sheet changing
// from place to place (sheets cross), and the bottom sheet first in face order.
TEST(MakeLayeredSheets, SheetsFaceUpCrossEachOtherAndStackEverywhere) {
  constexpr int kSheets = 4, kSide = 21;
  const Mesh mesh = MakeLayeredSheets(kSheets, kSide, 5);
  ASSERT_EQ(mesh.getNumVerts(), kSheets * kSide * kSide);
  ASSERT_EQ(mesh.getNumFaces(), kSheets * 2 * (kSide - 1) * (kSide - 1));
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    ASSERT_TRUE(mesh.faceIsValid(f)) << f;
    const Face& face = mesh.faces[static_cast<std::size_t>(f)];
    ASSERT_GT(Cross2(mesh.getVert(int(face.v[0])), mesh.getVert(int(face.v[1])), mesh.getVert(int(face.v[2]))), 0.0f)
        << f;
    ASSERT_EQ(face.getSmGroup(), static_cast<DWORD>(f / (2 * (kSide - 1) * (kSide - 1)) + 1)) << f;
  }
  // Away from the strip the shifted grids leave at the lower edges, every point lies over one
  // face of each sheet; which sheet is on top varies (in double precision, by brute force).
  const int facesPerSheet = 2 * (kSide - 1) * (kSide - 1);
  int wins[kSheets] = {};
  for (const Point2& p : MakeQueryPoints(2000, 3)) {
    const double u = 0.1 + 0.85 * p.x, v = 0.1 + 0.85 * p.y;
    int over = 0, top = -1;
    double topHeight = -1e30;
    for (int f = 0; f < mesh.getNumFaces(); ++f) {
      const Face& face = mesh.faces[static_cast<std::size_t>(f)];
      const Point3 a = mesh.getVert(int(face.v[0])), b = mesh.getVert(int(face.v[1])), c = mesh.getVert(int(face.v[2]));
      const double area = (double(b.x) - a.x) * (double(c.y) - a.y) - (double(b.y) - a.y) * (double(c.x) - a.x);
      const double w1 = ((u - a.x) * (double(c.y) - a.y) - (v - a.y) * (double(c.x) - a.x)) / area;
      const double w2 = ((double(b.x) - a.x) * (v - a.y) - (double(b.y) - a.y) * (u - a.x)) / area;
      if (w1 < 0 || w2 < 0 || w1 + w2 > 1) continue;
      ++over;
      const double h = (1 - w1 - w2) * a.z + w1 * b.z + w2 * c.z;
      if (h > topHeight) topHeight = h, top = f;
    }
    ASSERT_GE(over, kSheets) << u << ", " << v;
    ++wins[top / facesPerSheet];
  }
  EXPECT_GT(wins[kSheets - 1], 1000);
  EXPECT_GT(wins[kSheets - 2], 20);
  EXPECT_TRUE(MakeLayeredSheets(kSheets, kSide, 5) == mesh);
}

// Closed: every edge is used once in each direction, so the winding is consistent, and it
// faces outward: the signed volume is positive. Seen from above, some points lie over several
// upward faces (the lobes overhang), which is what the mesh is for.
TEST(MakeLobedSphere, ClosedOutwardAndLayeredFromAbove) {
  const Mesh mesh = MakeLobedSphere(3);
  ASSERT_EQ(mesh.getNumFaces(), 20 * 64);
  ASSERT_EQ(mesh.getNumVerts(), 10 * 64 + 2);
  std::map<std::pair<DWORD, DWORD>, int> directed;
  double volume6 = 0.0;
  for (const Face& face : mesh.faces) {
    for (int k = 0; k < 3; ++k) ++directed[{face.v[k], face.v[(k + 1) % 3]}];
    const Point3 a = mesh.getVert(int(face.v[0])), b = mesh.getVert(int(face.v[1])), c = mesh.getVert(int(face.v[2]));
    volume6 += double(a.x) * (double(b.y) * c.z - double(b.z) * c.y) -
               double(a.y) * (double(b.x) * c.z - double(b.z) * c.x) +
               double(a.z) * (double(b.x) * c.y - double(b.y) * c.x);
  }
  ASSERT_EQ(directed.size(), std::size_t(3 * mesh.getNumFaces()));
  for (const auto& [edge, count] : directed) {
    ASSERT_EQ(count, 1);
    ASSERT_EQ(directed.count({edge.second, edge.first}), 1u);
  }
  EXPECT_GT(volume6, 0.0);

  // Upward faces' projected area exceeds the outline's: somewhere they lie over each other.
  const Mesh dense = MakeLobedSphere(5);
  SurfaceSampler sampler;
  sampler.Rebuild(dense);
  double upwardArea = 0.0;
  for (int f = 0; f < dense.getNumFaces(); ++f) {
    if (!sampler.FacesUpward(f)) continue;
    const Face& face = sampler.workMesh.faces[static_cast<std::size_t>(f)];
    upwardArea +=
        0.5 * double(Cross2(sampler.workMesh.getVert(int(face.v[0])), sampler.workMesh.getVert(int(face.v[1])),
                            sampler.workMesh.getVert(int(face.v[2]))));
  }
  int covered = 0;
  for (const Point2& p : MakeQueryPoints(20'000, 4)) {
    float h = 0.0f;
    covered += sampler.HeightAt(Point3(p.x, p.y, 0.0f), h);
  }
  EXPECT_GT(upwardArea, 1.1 * covered / 20'000.0);
}

// The latency figures are a median and a 95th percentile of per-change samples.
TEST(Percentiles, MedianAndNearestRankPercentileOfUnsortedSamples) {
  EXPECT_EQ(Median({}), 0.0);
  EXPECT_EQ(Percentile({}, 95), 0.0);
  EXPECT_EQ(Median({7.0}), 7.0);
  EXPECT_EQ(Median({3.0, 1.0, 2.0}), 2.0);
  EXPECT_EQ(Median({4.0, 1.0, 3.0, 2.0}), 2.5);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);  // 1..100, reversed
  EXPECT_EQ(Percentile(hundred, 95), 95.0);
  EXPECT_EQ(Percentile(hundred, 100), 100.0);
  EXPECT_EQ(Percentile(hundred, 0.5), 1.0);
  // Ten samples: the 95th percentile is the largest (rank ceil(9.5) = 10), not an interpolation.
  EXPECT_EQ(Percentile({10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 95), 10.0);
  EXPECT_EQ(Percentile({10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 50), 5.0);
}

TEST(MakeQueryPoints, SeededInTheUnitSquareAndPrefixStable) {
  const std::vector<Point2> points = MakeQueryPoints(100'000, 11);
  EXPECT_TRUE(MakeQueryPoints(100'000, 11) == points);
  // The literal benchmarks use a prefix of the same points, so a shorter run must agree with it.
  const std::vector<Point2> prefix = MakeQueryPoints(1000, 11);
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), points.begin()));
  int quadrant[4] = {0, 0, 0, 0};
  for (const Point2& p : points) {
    ASSERT_TRUE(p.x >= 0.0f && p.x < 1.0f && p.y >= 0.0f && p.y < 1.0f);
    ++quadrant[(p.x >= 0.5f ? 1 : 0) + (p.y >= 0.5f ? 2 : 0)];
  }
  for (int count : quadrant) EXPECT_NEAR(count, 25'000, 750);
  EXPECT_FALSE(MakeQueryPoints(10, 12) == MakeQueryPoints(10, 11));
}

TEST(MakeRasterPoints, PixelCentresRowByRow) {
  const std::vector<Point2> points = MakeRasterPoints(4);
  ASSERT_EQ(points.size(), 16u);
  EXPECT_EQ(points[0], Point2(0.125f, 0.125f));
  EXPECT_EQ(points[1], Point2(0.375f, 0.125f));
  EXPECT_EQ(points[4], Point2(0.125f, 0.375f));
  EXPECT_EQ(points[15], Point2(0.875f, 0.875f));
}

TEST(UvTriangles, KeepsOnlyFacesEmbreeCanReadSafely) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Vertex 3 is NaN and vertex 4 is unused (its height must not count).
  const UvTriangles t =
      Triangles({0, 0, 0.5f, 1, 0, 0.25f, 0, 1, 0.125f, nan, 0, 0, 0, 0, 9}, {0, 1, 2, 0, 1, 3, 0, 1, 7});
  EXPECT_EQ(t.TriangleCount(), 1u);
  EXPECT_EQ(t.indices, (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(t.vertices.size(), 5u * 3u + 1u);
  EXPECT_EQ(t.maxHeight, 0.5f);
  EXPECT_EQ(t.Bytes(), 16u * 4u + 3u * 4u);
}

TEST(EmbreeHeightField, ReadsTheHeightOfASlopedUpwardFace) {
  const UvTriangles t = Triangles({0, 0, 0.25f, 1, 0, 0.75f, 0, 1, 0.5f}, {0, 1, 2});
  const EmbreeDevice device(nullptr);
  const EmbreeHeightField field(device, t);
  float height = -1.0f;
  ASSERT_TRUE(field.HeightAt(0.5f, 0.25f, height));
  EXPECT_NEAR(height, 0.25f + 0.5f * 0.5f + 0.25f * 0.25f, 1e-6f);
  EXPECT_FALSE(field.HeightAt(0.75f, 0.75f, height));
  EXPECT_FALSE(field.HeightAt(-0.1f, 0.5f, height));
}

TEST(EmbreeHeightField, IgnoresDownwardAndVerticalFaces) {
  // A clockwise face above, and a vertical wall through (0.25, y): neither may be reported.
  const UvTriangles t =
      Triangles({0, 0, 0.9f, 1, 0, 0.9f, 0, 1, 0.9f, 0.25f, 0, 0, 0.25f, 1, 0, 0.25f, 0.5f, 1}, {0, 2, 1, 3, 4, 5});
  const EmbreeDevice device(nullptr);
  const EmbreeHeightField field(device, t);
  float height = -1.0f;
  EXPECT_FALSE(field.HeightAt(0.2f, 0.2f, height));
  EXPECT_FALSE(field.HeightAt(0.25f, 0.5f, height));
  EXPECT_EQ(height, -1.0f);
}

TEST(EmbreeHeightField, ReportsTheHighestUpwardFaceThroughADownwardOne) {
  const UvTriangles t = Triangles({0, 0, 0.25f, 1, 0, 0.25f, 0, 1, 0.25f,  //
                                   0, 0, 0.5f,  1, 0, 0.5f,  0, 1, 0.5f,   //
                                   0, 0, 0.75f, 1, 0, 0.75f, 0, 1, 0.75f},
                                  {0, 1, 2, 3, 4, 5, 6, 8, 7});
  const EmbreeDevice device(nullptr);
  const EmbreeHeightField field(device, t);
  float height = -1.0f;
  ASSERT_TRUE(field.HeightAt(0.25f, 0.25f, height));
  EXPECT_NEAR(height, 0.5f, 1e-6f);
}

TEST(EmbreeHeightField, AgreesWithTheSamplerOnATerrain) {
  SurfaceSampler sampler;
  sampler.Rebuild(MakeTerrain(40, 5));
  const UvTriangles t = UvTriangles::From(sampler.workMesh);
  const EmbreeDevice device(nullptr);
  const EmbreeHeightField field(device, t);
  int hits = 0;
  for (const Point2& p : MakeQueryPoints(20'000, 9)) {
    float expected = 0.0f;
    float height = 0.0f;
    const bool hit = sampler.HeightAt(Point3(p.x, p.y, 0.0f), expected);
    ASSERT_EQ(field.HeightAt(p.x, p.y, height), hit) << p.x << ", " << p.y;
    if (hit) {
      EXPECT_NEAR(height, expected, 1e-5f) << p.x << ", " << p.y;
    }
    hits += hit;
  }
  // The terrain covers the whole unit square, so a miss anywhere would be a fault.
  EXPECT_EQ(hits, 20'000);
}

TEST(EmbreeDevice, MonitorSeesTheSceneComeAndGo) {
  const EmbreeDevice device(nullptr);
  SurfaceSampler sampler;
  sampler.Rebuild(MakeTerrain(100, 5));
  const UvTriangles t = UvTriangles::From(sampler.workMesh);
  const std::int64_t before = device.LiveBytes();
  std::int64_t during = 0;
  {
    const EmbreeHeightField field(device, t);
    during = device.LiveBytes();
    // A BVH over 19,602 triangles takes far more than a few bytes each.
    EXPECT_GT(during - before, std::int64_t(t.TriangleCount()) * 8);
    EXPECT_GE(device.PeakBytes(), during);
  }
  EXPECT_LT(device.LiveBytes(), during);
}

TEST(HeapMeter, CountsPeakAndKeptBytes) {
  auto before = std::make_unique<std::vector<char>>(1 << 16);
  const heap_meter::Window window;
  {
    const std::vector<char> gone(1 << 20);
    EXPECT_GE(window.Read().kept, 1 << 20);
  }
  const std::vector<double> kept(1000);
  before.reset();
  const heap_meter::Reading reading = window.Read();
  EXPECT_GE(reading.peak, 1 << 20);
  EXPECT_LT(reading.peak, (1 << 20) + 8192);
  // The kept vector stays; the block from before the window was freed inside it.
  EXPECT_GE(reading.kept, std::int64_t(sizeof(double) * 1000) - (1 << 16) - 64);
  EXPECT_LT(reading.kept, std::int64_t(sizeof(double) * 1000) - (1 << 16) + 64);
}

TEST(HeapMeter, CountsOverAlignedAllocations) {
  struct alignas(256) Block {
    char bytes[1000];
  };
  const heap_meter::Window window;
  const auto block = std::make_unique<Block>();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.get()) % 256, 0u);
  EXPECT_GE(window.Read().kept, 1000);
}

TEST(HeapMeterDeathTest, RefusesASecondWindow) {
  EXPECT_DEATH(
      {
        const heap_meter::Window outer;
        const heap_meter::Window inner;
      },
      "already open");
}

}  // namespace
