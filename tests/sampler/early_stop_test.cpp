// A cell's faces are visited from the highest height bound down and the walk stops once no face
// left can win. These tests hold that walk to the literal sampler, which tests every face in
// increasing order, where it is easiest to get wrong: stacked layers, equal heights, heights
// that the float interpolation rounds above a face's own corners, and the ends of the float range.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "sampler/surface_sampler.h"
#include "tests/support/mesh_builders.h"
#include "tests/support/reference_sampler.h"

namespace {

constexpr float kMax = std::numeric_limits<float>::max();

std::uint32_t Bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// The real sampler answers +-FLT_MAX where the interpolation overflows; the literal one keeps
// the infinity.
float Clamped(float h) { return std::fabs(h) <= kMax ? h : std::copysign(kMax, h); }

std::vector<Point2> SeededPoints(std::uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<Point2> points;
  for (int i = 0; i < count; ++i) points.emplace_back(unit(rng), unit(rng));
  return points;
}

// Seeded points plus every vertex of the placed mesh, where several faces meet and tie.
std::vector<Point2> PointsFor(const Mesh& uvMesh, std::uint32_t seed, int count) {
  std::vector<Point2> points = SeededPoints(seed, count);
  for (const Point3& p : uvMesh.verts) points.emplace_back(p.x, p.y);
  return points;
}

// HeightAt and NormalAt of the real sampler against the literal one, bit for bit; returns the
// number of points where a face was found.
// layeredFrom 0 orders every cell by height bound, so the early stop is tried everywhere.
int ExpectSameAnswers(const Mesh& mesh, int normalizeMesh, int depth, int gridSide, std::uint32_t seed,
                      int count = 3000, double layeredFrom = 0.0) {
  SurfaceSampler fast;
  reference::Sampler literal;
  fast.normalizeMesh = literal.normalizeMesh = normalizeMesh;
  fast.quadTreeDepth = literal.quadTreeDepth = depth;
  fast.SetGridSide(gridSide);
  fast.SetLayeredFrom(layeredFrom);
  fast.Rebuild(mesh);
  literal.Rebuild(mesh);
  int found = 0, mismatches = 0;
  for (const Point2& p : PointsFor(fast.workMesh, seed, count)) {
    float hf = -7.0f, hl = -7.0f;
    Point3 nf, nl;
    const bool ff = fast.HeightAt({p.x, p.y, 0}, hf);
    const bool fl = literal.HeightAt({p.x, p.y, 0}, hl);
    const bool gf = fast.NormalAt({p.x, p.y, 0}, nf);
    const bool gl = literal.NormalAt({p.x, p.y, 0}, nl);
    const bool same = ff == fl && gf == gl && Bits(hf) == Bits(Clamped(hl)) && Bits(nf.x) == Bits(nl.x) &&
                      Bits(nf.y) == Bits(nl.y) && Bits(nf.z) == Bits(nl.z);
    if (!same && ++mismatches <= 5) {
      ADD_FAILURE() << "at (" << p.x << ", " << p.y << ") depth " << depth << " grid " << gridSide << ": found " << ff
                    << "/" << fl << " height " << hf << "/" << hl << " normal " << nf.x << "," << nf.y << "," << nf.z
                    << " / " << nl.x << "," << nl.y << "," << nl.z;
    }
    found += ff;
  }
  EXPECT_EQ(mismatches, 0);
  return found;
}

// A grid of n x n vertices over 0..1 at height z everywhere (+ tilt x), two counter-clockwise
// triangles per square; `flip` splits the squares along the other diagonal, so that the same
// plane is interpolated with other weights. Appended to mesh with smoothing group `group`.
void AddSheet(Mesh& mesh, int n, float z, float tilt, bool flip, DWORD group, float shift = 0.0f) {
  const auto first = static_cast<DWORD>(mesh.verts.size());
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const float fx = float(x) / float(n - 1) + shift, fy = float(y) / float(n - 1) + shift;
      mesh.verts.emplace_back(fx, fy, z + tilt * fx);
    }
  for (int y = 0; y + 1 < n; ++y)
    for (int x = 0; x + 1 < n; ++x) {
      const DWORD v00 = first + static_cast<DWORD>(y * n + x), v10 = v00 + 1;
      const DWORD v01 = v00 + static_cast<DWORD>(n), v11 = v01 + 1;
      Face a, b;
      if (flip) {
        a.setVerts(v00, v10, v01);
        b.setVerts(v10, v11, v01);
      } else {
        a.setVerts(v00, v10, v11);
        b.setVerts(v00, v11, v01);
      }
      a.setSmGroup(group);
      b.setSmGroup(group);
      mesh.faces.push_back(a);
      mesh.faces.push_back(b);
    }
}

TEST(EarlyStop, HeightBoundHoldsForTheFloatInterpolation) {
  // Single faces, flat or tilted, at magnitudes from the denormals to FLT_MAX and both signs,
  // queried through the literal sampler: its height never exceeds the bound of the placed
  // corners. On flat faces it does exceed the corners themselves, so a bound without margin
  // would be wrong.
  std::mt19937 rng(41);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float levels[] = {0.7f, -0.3f, 1e6f, -4.5e12f, 3e38f, kMax, -kMax, 1e-39f, -3e-42f, 0.0f};
  int tested = 0, aboveCorners = 0;
  for (int i = 0; i < 400; ++i) {
    const float level = levels[i % 10];
    const bool flat = i % 3 != 0;
    Mesh mesh;
    const Point3 p(unit(rng) * 0.5f, unit(rng) * 0.5f, level);
    mesh.verts = {p, p + Point3(0.2f + unit(rng) * 0.3f, unit(rng) * 0.1f, 0.0f),
                  p + Point3(unit(rng) * 0.1f, 0.2f + unit(rng) * 0.3f, 0.0f)};
    if (!flat) {
      // A tilt of up to the level's own size, so the rounding is that of large mixed terms.
      const float tilt = std::max(std::fabs(level), 1.0f) * 1e-3f;
      mesh.verts[1].z = level + tilt * unit(rng);
      mesh.verts[2].z = level - tilt * unit(rng);
    }
    Face face;
    face.setVerts(0, 1, 2);
    mesh.faces.push_back(face);
    reference::Sampler literal;
    literal.normalizeMesh = 0;
    literal.quadTreeDepth = 2;
    literal.Rebuild(mesh);
    const std::vector<Point3>& placed = literal.workMesh.verts;
    const float bound = SurfaceSampler::HeightBound(placed[0].z, placed[1].z, placed[2].z);
    const float top = std::max({placed[0].z, placed[1].z, placed[2].z});
    for (const Point2& q : SeededPoints(static_cast<std::uint32_t>(i), 600)) {
      float h = 0.0f;
      if (!literal.HeightAt({q.x, q.y, 0}, h)) continue;
      ++tested;
      ASSERT_LE(h, bound) << "face " << i << " level " << level << " at " << q.x << ", " << q.y;
      aboveCorners += h > top;
    }
  }
  EXPECT_GT(tested, 10000);
  EXPECT_GT(aboveCorners, 50);
}

TEST(EarlyStop, AFaceInterpolatedAboveItsCornersStillWins) {
  // Face 0 is flat at z, but at point p its weights sum to just above 1 and its height rounds
  // above z. Face 1 rises to the next float above z exactly at p (its corner). Ordered by their
  // highest corners, face 1 comes first, and a walk that trusted the corners would stop there:
  // the answer must still be face 0's, which is the greater height or, if equal, the lower
  // index. z is the float below 0.75, so that even an order that looks only at the leading bits
  // of the heights tells z and the float above it apart. Vertices at Z 0 and 1 keep the heights
  // as they are without normalisation.
  const float z = std::nextafter(0.75f, 0.0f);
  const Mesh flat = MakeMesh({{0.05f, 0.05f, z}, {0.95f, 0.1f, z}, {0.1f, 0.9f, z}}, {{0, 1, 2}});
  reference::Sampler alone;
  alone.normalizeMesh = 0;
  alone.Rebuild(flat);
  Point2 p;
  float above = 0.0f;
  for (const Point2& q : SeededPoints(5, 100000)) {
    if (q.x > 0.8f || q.y > 0.8f) continue;  // room for face 1 beside it
    float h = 0.0f;
    if (alone.HeightAt({q.x, q.y, 0}, h) && h > z) {
      p = q;
      above = h;
      break;
    }
  }
  ASSERT_GT(above, z) << "no point found where the flat face rounds above its corners";
  const float next = std::nextafter(z, 1.0f);
  const Mesh mesh = MakeMesh({{0.05f, 0.05f, z},
                              {0.95f, 0.1f, z},
                              {0.1f, 0.9f, z},
                              {p.x, p.y, next},
                              {p.x + 0.1f, p.y, 0.2f},
                              {p.x, p.y + 0.1f, 0.2f},
                              {0.99f, 0.99f, 0.0f},
                              {0.99f, 0.99f, 1.0f}},
                             {{0, 1, 2, 1}, {3, 4, 5, 2}});
  SurfaceSampler sampler;
  sampler.normalizeMesh = 0;
  sampler.Rebuild(mesh);
  float h = 0.0f;
  Point3 n;
  ASSERT_TRUE(sampler.HeightAt({p.x, p.y, 0}, h));
  ASSERT_TRUE(sampler.NormalAt({p.x, p.y, 0}, n));
  EXPECT_EQ(Bits(h), Bits(above));
  EXPECT_EQ(n.x, 0.0f);  // face 0 is flat; face 1 slopes down in U
  EXPECT_NEAR(n.z, 1.0f, 1e-5f);
  EXPECT_GT(ExpectSameAnswers(mesh, 0, 6, 0, 3), 1000);
}

TEST(EarlyStop, StackedDuplicatesTieToTheLowestFaceIndex) {
  // A terrain and an exact copy of it over its own vertices, the copy's faces in reverse order
  // and without smoothing groups (so flat normals): every point ties between two coplanar faces
  // of equal heights and equal bounds. The normal tells which copy won: always the one listed
  // first in the mesh, whatever the order of the faces within it.
  const Mesh terrain = GridTerrain(7, 30);
  Mesh copy = terrain;
  std::reverse(copy.faces.begin(), copy.faces.end());
  for (Face& face : copy.faces) face.setSmGroup(0);
  const auto join = [](const Mesh& first, const Mesh& second) {
    Mesh both = first;
    const auto offset = static_cast<DWORD>(both.verts.size());
    both.verts.insert(both.verts.end(), second.verts.begin(), second.verts.end());
    for (Face face : second.faces) {
      face.setVerts(face.v[0] + offset, face.v[1] + offset, face.v[2] + offset);
      both.faces.push_back(face);
    }
    return both;
  };
  SurfaceSampler terrainOnly, copyOnly, terrainFirst, copyFirst;
  terrainOnly.Rebuild(terrain);
  copyOnly.Rebuild(copy);
  terrainFirst.Rebuild(join(terrain, copy));
  copyFirst.Rebuild(join(copy, terrain));
  int normalsDiffer = 0, found = 0;
  for (const Point2& p : SeededPoints(8, 5000)) {
    Point3 smooth, faceted, a, b;
    if (!terrainOnly.NormalAt({p.x, p.y, 0}, smooth)) continue;
    ASSERT_TRUE(copyOnly.NormalAt({p.x, p.y, 0}, faceted));
    ASSERT_TRUE(terrainFirst.NormalAt({p.x, p.y, 0}, a));
    ASSERT_TRUE(copyFirst.NormalAt({p.x, p.y, 0}, b));
    ++found;
    normalsDiffer += smooth != faceted;
    ASSERT_EQ(a, smooth) << p.x << ", " << p.y;
    ASSERT_EQ(b, faceted) << p.x << ", " << p.y;
  }
  EXPECT_GT(found, 4000);
  EXPECT_GT(normalsDiffer, found / 2);
  for (int depth : {2, 6, 10}) {
    EXPECT_GT(ExpectSameAnswers(join(terrain, copy), 1, depth, 0, 9), 3000);
    EXPECT_GT(ExpectSameAnswers(join(copy, terrain), 1, depth, 0, 10), 3000);
  }
}

TEST(EarlyStop, LayeredStacksMatchTheLiteralWalk) {
  // Sheets that cross one another, listed bottom first so the literal walk finds the top last;
  // then flat sheets a float apart, split along different diagonals, where the rounding of the
  // interpolation decides the winner and heights tie across sheets.
  Mesh crossing;
  for (int k = 0; k < 8; ++k) {
    AddSheet(crossing, 17 + k, 0.1f * float(k), (k % 2 == 0 ? 0.35f : -0.35f), k % 3 == 0,
             static_cast<DWORD>(1u << (k % 4)), 0.003f * float(k));
  }
  Mesh ulps;
  float z = 1.0f;
  for (int k = 0; k < 6; ++k, z = std::nextafter(z, 0.0f)) AddSheet(ulps, 9 + k % 3, z, 0.0f, k % 2 == 1, 1u << k);
  ulps.verts.emplace_back(0.5f, 0.5f, 0.0f);  // keeps the Z extent 1, so heights stay as built
  int found = 0;
  for (int depth : {2, 6, 10}) {
    // One cell for the whole square lists every face: the order of the walk is all there is.
    for (int gridSide : {0, depth == 2 ? 1 : 64}) {
      found += ExpectSameAnswers(crossing, 1, depth, gridSide, 11);
      found += ExpectSameAnswers(crossing, 0, depth, gridSide, 12);
      found += ExpectSameAnswers(ulps, 1, depth, gridSide, 13);
      // As built by default: piled cells by bound, the rest in face order, side by side.
      found += ExpectSameAnswers(crossing, 1, depth, gridSide, 16, 3000, SurfaceSampler::kLayeredFrom);
    }
  }
  EXPECT_GT(found, 45000);
}

TEST(EarlyStop, StacksAtTheEndsOfTheFloatRange) {
  // Flat stacks keep their own Z without normalisation (a zero Z extent is left unscaled): at
  // +-FLT_MAX the interpolation overflows on some faces and not on others, and near the
  // denormals its products lose bits. Each stack mixes two splits of the same plane.
  int found = 0;
  for (const float level : {kMax, -kMax, 1e-41f, -2e-45f}) {
    Mesh stack;
    for (int k = 0; k < 4; ++k) AddSheet(stack, 7 + 2 * k, level, 0.0f, k % 2 == 1, static_cast<DWORD>(k + 1));
    for (int depth : {2, 7}) found += ExpectSameAnswers(stack, 0, depth, 0, 14);
  }
  EXPECT_GT(found, 20000);
}

TEST(EarlyStop, AFaceWhoseBoundEqualsTheBestHeight) {
  // Face A is flat at 0.25; face B is flat at exactly A's bound, so at B's points the best height
  // equals A's bound. Whether A comes before or after B in the mesh, the answer is B's height:
  // A's heights stay strictly below its bound.
  const float bound = SurfaceSampler::HeightBound(0.25f, 0.25f, 0.25f);
  ASSERT_GT(bound, 0.25f);
  for (const bool aFirst : {true, false}) {
    const float za = aFirst ? 0.25f : bound, zb = aFirst ? bound : 0.25f;
    const Mesh mesh = MakeMesh({{0.1f, 0.1f, za},
                                {0.9f, 0.1f, za},
                                {0.1f, 0.9f, za},
                                {0.1f, 0.1f, zb},
                                {0.9f, 0.1f, zb},
                                {0.1f, 0.9f, zb},
                                {0.99f, 0.99f, 0.0f},
                                {0.99f, 0.99f, 1.0f}},
                               {{0, 1, 2, 1}, {3, 4, 5, 2}});
    SurfaceSampler sampler;
    sampler.normalizeMesh = 0;
    sampler.Rebuild(mesh);
    float h = 0.0f;
    ASSERT_TRUE(sampler.HeightAt({0.1f, 0.1f, 0}, h));
    EXPECT_EQ(h, bound);
    EXPECT_GT(ExpectSameAnswers(mesh, 0, 4, 0, 15), 900);
  }
}

}  // namespace
