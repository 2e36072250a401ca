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
std::vector<Point2> QueryPoints(const Mesh& uvMesh, std::uint32_t seed, int uniform) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<Point2> points;
  for (int i = 0; i < uniform; ++i) points.emplace_back(unit(rng), unit(rng));
  for (int i = 0; i < uniform / 20; ++i) points.emplace_back(unit(rng) * 1.2f - 0.1f, unit(rng) * 1.2f - 0.1f);
  for (int i = 0; i <= 64; ++i)
    for (int j = 0; j <= 64; j += 8) points.emplace_back(float(i) / 64.0f, float(j) / 64.0f);
  for (std::size_t i = 0; i < uvMesh.verts.size(); i += 7) points.emplace_back(uvMesh.verts[i].x, uvMesh.verts[i].y);
  return points;
}

// Returns the number of points where a face was found, to show the comparison is not vacuous.
int ExpectIdentical(const Mesh& mesh, const Settings& settings, int depth, int uniform, std::uint32_t seed) {
  SurfaceSampler fast;
  reference::Sampler literal;
  Apply(settings, depth, fast);
  Apply(settings, depth, literal);
  fast.Rebuild(mesh);
  literal.Rebuild(mesh);
  EXPECT_EQ(fast.workMesh, literal.workMesh);

  int found = 0;
  int mismatches = 0;
  for (const Point2& p : QueryPoints(fast.workMesh, seed, uniform)) {
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
                    << " height " << hf << "/" << hl << " filtered " << wf << "/" << wl << " normal " << nf.x
                    << "," << nf.y << "," << nf.z << " / " << nl.x << "," << nl.y << "," << nl.z;
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
