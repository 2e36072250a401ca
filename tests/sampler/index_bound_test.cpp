// Sizing the face index without building it: the exact count from placed vertices alone, and the
// quick bound the budget check tries first.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sampler/surface_sampler.h"
#include "tests/support/mesh_builders.h"

namespace {

struct Setting {
  int normalizeMesh = 1;
  float uOffset = 0.0f, vOffset = 0.0f, uScale = 1.0f, vScale = 1.0f;
};

void Apply(SurfaceSampler& sampler, const Setting& s, int depth) {
  sampler.normalizeMesh = s.normalizeMesh;
  sampler.uOffset = s.uOffset;
  sampler.vOffset = s.vOffset;
  sampler.uScale = s.uScale;
  sampler.vScale = s.vScale;
  sampler.quadTreeDepth = depth;
}

// Meshes whose placement is awkward: vertices that are not finite (left out of the box),
// faces pointing past the vertices, a box too thin to scale, coordinates far from the origin
// where the float rounding of the placement decides which faces face up.
std::vector<std::pair<std::string, Mesh>> AwkwardMeshes() {
  std::vector<std::pair<std::string, Mesh>> meshes;
  Mesh withNaN = RandomMesh(21, 1500, 0.3f);
  for (std::size_t i = 0; i < withNaN.verts.size(); i += 37) withNaN.verts[i].x = std::nanf("");
  for (std::size_t i = 5; i < withNaN.verts.size(); i += 53)
    withNaN.verts[i].z = std::numeric_limits<float>::infinity();
  // Counted in the box, an infinite X would squeeze every U to one value: no face would face up.
  for (std::size_t i = 9; i < withNaN.verts.size(); i += 61)
    withNaN.verts[i].x = -std::numeric_limits<float>::infinity();
  meshes.emplace_back("not finite", std::move(withNaN));
  Mesh pastTheEnd = RandomMesh(22, 1500, 0.3f);
  for (std::size_t f = 0; f < pastTheEnd.faces.size(); f += 11) pastTheEnd.faces[f].v[f % 3] = 1u << 30;
  meshes.emplace_back("indices past the vertices", std::move(pastTheEnd));
  Mesh thin = RandomMesh(23, 1500, 0.3f);
  for (Point3& p : thin.verts) p.y = 1.0f + p.y * 1e-39f;
  meshes.emplace_back("denormal extent", std::move(thin));
  Mesh distant = GridTerrain(24, 60);
  for (Point3& p : distant.verts) p = Point3(p.x * 1e-3f + 12345.678f, p.y * 1e-3f - 9876.5f, p.z * 1e-4f + 3e4f);
  meshes.emplace_back("distant from the origin", std::move(distant));
  meshes.emplace_back("random, large faces", RandomMesh(25, 2500, 1.0f));
  meshes.emplace_back("terrain", GridTerrain(26, 120));
  return meshes;
}

TEST(SurfaceSamplerIndexBound, ExactCountMatchesTheIndexRebuildMakes) {
  // The count works from placed vertices only; Rebuild moves a whole copy of the mesh. Both
  // must place every vertex alike, or faces would change sides of the upward test or cells.
  const Setting settings[] = {{}, {0, 0.25f, -0.5f, 0.01f, 0.02f}, {1, 0.3f, 0.1f, 0.7f, 1.9f}};
  for (const auto& [name, mesh] : AwkwardMeshes()) {
    for (const Setting& s : settings) {
      for (const int depth : {2, 7}) {
        SCOPED_TRACE(name + " normalise " + std::to_string(s.normalizeMesh) + " depth " + std::to_string(depth));
        SurfaceSampler sampler;
        Apply(sampler, s, depth);
        const SurfaceSampler::IndexEstimate estimate = sampler.EstimateIndex(mesh);
        sampler.Rebuild(mesh);
        EXPECT_EQ(estimate.bytes, sampler.IndexBytes());
        EXPECT_EQ(estimate.gridSide, sampler.CellsPerSide());
        std::int64_t upward = 0;
        for (int f = 0; f < mesh.getNumFaces(); ++f) upward += sampler.FacesUpward(f) ? 1 : 0;
        EXPECT_EQ(estimate.upwardFaces, upward);
      }
    }
  }
}

TEST(SurfaceSamplerIndexBound, BoundNeverFallsBelowTheExactCount) {
  bool someStrictlyAbove = false;
  for (const auto& [name, mesh] : AwkwardMeshes()) {
    for (const int depth : {1, 2, 6, 10}) {
      SCOPED_TRACE(name + " depth " + std::to_string(depth));
      SurfaceSampler sampler;
      sampler.quadTreeDepth = depth;
      const SurfaceSampler::IndexEstimate exact = sampler.EstimateIndex(mesh);
      const SurfaceSampler::IndexEstimate bound = sampler.BoundIndex(mesh);
      // Everything but the cell lists is shared with the exact count.
      EXPECT_EQ(bound.upwardFaces, exact.upwardFaces);
      EXPECT_EQ(bound.gridSide, exact.gridSide);
      EXPECT_EQ(bound.nodeBytes, exact.nodeBytes);
      EXPECT_GE(bound.listEntries, exact.listEntries);
      EXPECT_EQ(bound.bytes - exact.bytes, (bound.listEntries - exact.listEntries) * SurfaceSampler::kCellEntryBytes);
      someStrictlyAbove = someStrictlyAbove || bound.bytes > exact.bytes;
    }
  }
  // Faces with boxes of many cells reach cells their triangles miss: the bound is a bound.
  EXPECT_TRUE(someStrictlyAbove);

  // A forced grid side is honoured by both.
  const Mesh mesh = RandomMesh(27, 800, 0.5f);
  SurfaceSampler sampler;
  sampler.SetGridSide(32);
  EXPECT_EQ(sampler.BoundIndex(mesh).gridSide, 32);
  EXPECT_GE(sampler.BoundIndex(mesh).bytes, sampler.EstimateIndex(mesh).bytes);
}

TEST(SurfaceSamplerIndexBound, CeilingFromTheFaceCountHoldsUnderAnyPlacement) {
  // The ceiling skips the mesh, so it must hold for the worst a placement can do: faces far
  // larger than the square, squeezed to slivers, shifted off it, or not finite at all.
  std::vector<std::pair<std::string, Mesh>> meshes = AwkwardMeshes();
  meshes.emplace_back("one cell", RandomMesh(28, 3000, 0.001f));
  const Setting settings[] = {{},
                              {0, 0.0f, 0.0f, 1.0f, 1.0f},
                              {1, 0.0f, 0.0f, 40.0f, 40.0f},
                              {1, -3.0f, 0.5f, 10000.0f, 0.0001f},
                              {1, 0.5f, 0.5f, -7.0f, 3.0f},
                              {0, 0.0f, 0.0f, 1e30f, 1e30f}};
  bool nearTheCeiling = false;
  for (const auto& [name, mesh] : meshes) {
    for (const Setting& s : settings) {
      for (const int depth : {1, 2, 10}) {
        SCOPED_TRACE(name + " scale " + std::to_string(s.uScale) + " depth " + std::to_string(depth));
        SurfaceSampler sampler;
        Apply(sampler, s, depth);
        const std::uint64_t ceiling = sampler.IndexCeiling(mesh.getNumFaces());
        const SurfaceSampler::IndexEstimate bound = sampler.BoundIndex(mesh);
        EXPECT_GE(ceiling, bound.bytes);
        sampler.Rebuild(mesh);
        EXPECT_GE(ceiling, sampler.IndexBytes());
        // Large boxes at a fine grid fill the lists the budget allows: the ceiling is not slack.
        if (depth > 1 && bound.bytes * 4 > ceiling) nearTheCeiling = true;
      }
    }
  }
  EXPECT_TRUE(nearTheCeiling);

  // A forced grid has no budget, so the ceiling lets every face reach every cell.
  const Mesh mesh = RandomMesh(29, 400, 1.0f);
  SurfaceSampler sampler;
  sampler.uScale = sampler.vScale = 50.0f;
  sampler.SetGridSide(256);
  EXPECT_GE(sampler.IndexCeiling(mesh.getNumFaces()), sampler.BoundIndex(mesh).bytes);
}

}  // namespace
