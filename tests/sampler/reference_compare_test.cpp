// The real sampler against the literal one: same found flags and bit-identical heights, filtered
// heights and normals, on seeded random meshes and on real ones.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "sampler/surface_sampler.h"
#include "tests/support/mesh_builders.h"
#include "tests/support/mesh_file.h"
#include "tests/support/reference_sampler.h"

namespace {

struct Settings {
  int normalizeMesh = 1;
  float uOffset = 0, vOffset = 0, uScale = 1, vScale = 1;
};

template <typename S>
void Apply(const Settings& s, int depth, S& sampler) {
  sampler.normalizeMesh = s.normalizeMesh;
  sampler.quadTreeDepth = depth;
  sampler.uOffset = s.uOffset;
  sampler.vOffset = s.vOffset;
  sampler.uScale = s.uScale;
  sampler.vScale = s.vScale;
}

std::uint32_t Bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Query points: seeded uniform ones, a slice just outside the square, and points exactly on the
// boundaries of fine cells and on mesh vertices, where closed and open bounds decide.
std::vector<Point2> QueryPoints(const Mesh& uvMesh, std::uint32_t seed, int uniform, std::size_t vertexStride) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<Point2> points;
  for (int i = 0; i < uniform; ++i) points.emplace_back(unit(rng), unit(rng));
  for (int i = 0; i < uniform / 20; ++i) points.emplace_back(unit(rng) * 1.2f - 0.1f, unit(rng) * 1.2f - 0.1f);
  for (int i = 0; i <= 64; ++i)
    for (int j = 0; j <= 64; j += 8) points.emplace_back(float(i) / 64.0f, float(j) / 64.0f);
  for (std::size_t i = 0; i < uvMesh.verts.size(); i += vertexStride)
    points.emplace_back(uvMesh.verts[i].x, uvMesh.verts[i].y);
  return points;
}

// Returns the number of points where a face was found, to show the comparison is not vacuous.
// gridSide 0 lets the sampler choose its cell grid; otherwise that side is forced.
int ExpectIdentical(const Mesh& mesh, const Settings& settings, int depth, int uniform, std::uint32_t seed,
                    int gridSide = 0, std::size_t vertexStride = 7) {
  SurfaceSampler fast;
  reference::Sampler literal;
  Apply(settings, depth, fast);
  Apply(settings, depth, literal);
  fast.SetGridSide(gridSide);
  fast.Rebuild(mesh);
  if (gridSide != 0) {
    EXPECT_EQ(fast.CellsPerSide(), gridSide);
  }
  literal.Rebuild(mesh);
  EXPECT_EQ(fast.workMesh, literal.workMesh);

  int found = 0;
  int mismatches = 0;
  for (const Point2& p : QueryPoints(fast.workMesh, seed, uniform, vertexStride)) {
    float hf = -5.0f, hl = -5.0f;
    const bool ff = fast.HeightAt({p.x, p.y, 0}, hf);
    const bool fl = literal.HeightAt({p.x, p.y, 0}, hl);
    Point3 nf, nl;
    const bool gf = fast.NormalAt({p.x, p.y, 0}, nf);
    const bool gl = literal.NormalAt({p.x, p.y, 0}, nl);
    const float wf = fast.FilteredHeight(p.x, p.y, 1.0f / 300.0f, -1.0f / 170.0f);
    const float wl = literal.FilteredHeight(p.x, p.y, 1.0f / 300.0f, -1.0f / 170.0f);
    const bool same = ff == fl && Bits(hf) == Bits(hl) && gf == gl && Bits(nf.x) == Bits(nl.x) &&
                      Bits(nf.y) == Bits(nl.y) && Bits(nf.z) == Bits(nl.z) && Bits(wf) == Bits(wl) && ff == gf;
    if (!same && ++mismatches <= 5) {
      ADD_FAILURE() << "at (" << p.x << ", " << p.y << ") depth " << depth << ": found " << ff << "/" << fl
                    << " height " << hf << "/" << hl << " filtered " << wf << "/" << wl << " normal " << nf.x << ","
                    << nf.y << "," << nf.z << " / " << nl.x << "," << nl.y << "," << nl.z;
    }
    found += ff;
  }
  EXPECT_EQ(mismatches, 0);
  return found;
}

TEST(ReferenceComparison, RandomMeshesAtEveryDepthAndSetting) {
  const Settings settings[] = {
      {},
      {0, 0.1f, -0.05f, 1.0f, 1.0f},
      {1, -0.5f, 0.25f, 2.0f, 0.75f},
      {1, 1.0f, 0.0f, -1.0f, 1.0f},  // mirrored in U: the downward faces are indexed
      {1, 0.0f, 0.0f, 0.0f, 1.0f},   // collapsed in U: nothing is
  };
  int found = 0;
  for (std::uint32_t seed = 11; seed <= 13; ++seed) {
    const Mesh mesh = RandomMesh(seed, 300);
    for (const Settings& s : settings)
      for (int depth = 2; depth <= 10; depth += 2) found += ExpectIdentical(mesh, s, depth, 1500, seed);
  }
  EXPECT_GT(found, 10000);
}

TEST(ReferenceComparison, TerrainWithSharedEdgesAndManyFacesPerCell) {
  // Dense enough that the fast index uses a grid finer than the leaves at low depths.
  const Mesh terrain = GridTerrain(21, 120);
  for (int depth : {2, 3, 6, 9}) EXPECT_GT(ExpectIdentical(terrain, {}, depth, 20000, 5), 20000);
}

TEST(ReferenceComparison, ForcedGridSides) {
  // The answers may not depend on the cell grid: from one cell for the whole square (every face
  // in it) to cells far smaller than the leaves.
  const Mesh mesh = RandomMesh(17, 400, 0.3f);
  const Mesh terrain = GridTerrain(22, 40);
  int found = 0;
  for (int side : {1, 2, 8, 64, 512, 2048}) {
    found += ExpectIdentical(mesh, {}, 4, 1500, 3, side);
    found += ExpectIdentical(mesh, {0, 0.1f, -0.05f, 1.0f, 1.0f}, 7, 1500, 4, side);
    found += ExpectIdentical(terrain, {}, 5, 1500, 5, side);
  }
  EXPECT_GT(found, 20000);
}

// Triangles whose edges are near 1e20 (squaring them overflows a float) or near 1e-25
// (squaring underflows), and sizes between, placed so that their corners lie in the square.
Mesh ExtremeSizes(std::uint32_t seed, float size, int faceCount) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_real_distribution<float> spread(-1.0f, 1.0f);
  Mesh mesh;
  for (int f = 0; f < faceCount; ++f) {
    // Large faces start anywhere in the square; tiny ones near the origin, where a float can
    // still tell their corners apart.
    const float scale = size < 1.0f ? size : 1.0f;
    const Point3 p(unit(rng) * scale, unit(rng) * scale, unit(rng) * scale);
    const auto base = static_cast<DWORD>(mesh.verts.size());
    mesh.verts.push_back(p);
    for (int k = 0; k < 2; ++k) {
      Point3 q(std::fabs(spread(rng)) * size, std::fabs(spread(rng)) * size, spread(rng) * size);
      if (k == 0) q.y *= 0.25f;  // mostly counter-clockwise, some clockwise
      if (k == 1) q.x *= 0.25f;
      mesh.verts.push_back(p + q);
    }
    Face face;
    face.setVerts(base, base + 1, base + 2);
    face.setSmGroup(1);
    mesh.faces.push_back(face);
  }
  // A plain roof under everything, so that points off the extreme faces still find a face.
  const auto base = static_cast<DWORD>(mesh.verts.size());
  for (const Point3& p : {Point3(0, 0, -1), Point3(1, 0, -1), Point3(1, 1, -1), Point3(0, 1, -1)})
    mesh.verts.push_back(p);
  for (const Tri& t : {Tri{0, 1, 2}, Tri{0, 2, 3}}) {
    Face face;
    face.setVerts(base + t.a, base + t.b, base + t.c);
    mesh.faces.push_back(face);
  }
  return mesh;
}

TEST(ReferenceComparison, ExtremeFaceSizesWithoutNormalisation) {
  // Every vertex is queried: a face the index holds is found at its own corners.
  const Settings off{0, 0, 0, 1, 1};
  int found = 0;
  for (const float size : {1e20f, 3e19f, 1e19f, 1e-19f, 1e-22f, 1e-25f, 3e-26f}) {
    const Mesh mesh = ExtremeSizes(31, size, 200);
    // Large faces reach every leaf, which makes the literal tree slow at great depths.
    for (int depth : {2, size > 1.0f ? 6 : 10}) found += ExpectIdentical(mesh, off, depth, 500, 7, 0, 1);
  }
  EXPECT_GT(found, 5000);
}

TEST(ReferenceComparison, RealMeshes) {
  for (const char* file : {"/PLY/Wuson.ply", "/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb"}) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(ReadMeshFile(kAssimpModels + file, mesh, &error)) << file << ": " << error;
    ASSERT_GT(mesh.getNumFaces(), 1000);
    for (int depth : {4, 6, 10}) EXPECT_GT(ExpectIdentical(mesh, {}, depth, 20000, 9), 5000) << file;
  }
}

}  // namespace
