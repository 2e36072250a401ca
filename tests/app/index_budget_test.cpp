// The index budget check tries a quick bound before the exact count: its answers must be the
// ones the exact count alone gives, for meshes whose index lands just either side of the limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "app/session.h"
#include "sampler/surface_sampler.h"

namespace {

// The check as it was before the bound: the exact count, then the remedy.
std::string ExactOnlyProblem(const Mesh& mesh, const Placement& placement, int depth, std::uint64_t limit) {
  const IndexCost cost = MapIndexCost(mesh, placement, depth);
  if (cost.bytes <= limit) return {};
  constexpr double kMiB = 1024.0 * 1024.0;
  std::string remedy;
  for (int lower = depth - 1; lower >= 2 && remedy.empty(); --lower) {
    const std::uint64_t nodes = MapIndexCost(Mesh(), placement, lower).nodeBytes;
    if (cost.bytes - cost.nodeBytes + nodes <= limit) remedy = fmt::format("try --depth {}", lower);
  }
  if (remedy.empty()) {
    const double share = double(limit - std::min(limit, cost.nodeBytes)) /
                         double(std::max<std::uint64_t>(cost.bytes - cost.nodeBytes, 1));
    remedy = fmt::format("simplify the mesh to fewer than about {} upward faces",
                         static_cast<std::int64_t>(share * double(cost.upwardFaces)));
  }
  return fmt::format(
      "at quadtree depth {} the map's face index would take {:.0f} MiB for {} upward faces (limit {:.0f} MiB); {}",
      depth, double(cost.bytes) / kMiB, cost.upwardFaces, double(limit) / kMiB, remedy);
}

// n x n squares split on a diagonal, each square many grid cells wide: every face's box reaches
// cells its triangle misses, so the quick bound lies well above the exact count.
Mesh CoarseDiagonals(int n, float z0) {
  Mesh mesh;
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const auto b = static_cast<DWORD>(mesh.verts.size());
      const float z = z0 + 0.01f * float(x + y);
      for (const Point3& p : {Point3(float(x), float(y), z), Point3(float(x + 1), float(y), z),
                              Point3(float(x + 1), float(y + 1), z), Point3(float(x), float(y + 1), z)}) {
        mesh.verts.push_back(p);
      }
      Face a, c;
      a.setVerts(b, b + 1, b + 2);
      c.setVerts(b, b + 2, b + 3);
      mesh.faces.push_back(a);
      mesh.faces.push_back(c);
    }
  }
  return mesh;
}

TEST(IndexBudget, QuickBoundKeepsTheExactAnswers) {
  const Mesh meshes[] = {CoarseDiagonals(12, 0.0f), CoarseDiagonals(40, 1.0f)};
  const Placement placements[] = {{}, {false, 0.1f, 0.2f, 0.05f, 0.04f}, {true, 0.0f, 0.0f, 0.6f, 1.5f}};
  int betweenBoundAndExact = 0;
  for (const Mesh& mesh : meshes) {
    for (const Placement& placement : placements) {
      for (const int depth : {3, 10}) {
        SCOPED_TRACE(fmt::format("{} faces, scale {}, depth {}", mesh.getNumFaces(), placement.uScale, depth));
        const IndexCost cost = MapIndexCost(mesh, placement, depth);
        SurfaceSampler sampler;
        sampler.normalizeMesh = placement.normalize ? 1 : 0;
        sampler.uOffset = placement.uOffset;
        sampler.vOffset = placement.vOffset;
        sampler.uScale = placement.uScale;
        sampler.vScale = placement.vScale;
        sampler.quadTreeDepth = depth;
        const std::uint64_t bound = sampler.BoundIndex(mesh).bytes;
        ASSERT_GE(bound, cost.bytes);
        if (bound > cost.bytes + 1) ++betweenBoundAndExact;
        // Limits on both sides of the exact size and of the bound, and between them, where the
        // bound alone would refuse a mesh that fits.
        const std::uint64_t middle = cost.bytes + (bound - cost.bytes) / 2;
        const std::uint64_t limits[] = {
            cost.bytes - 1, cost.bytes, cost.bytes + 1, middle, bound, bound + 1, (cost.bytes - cost.nodeBytes) / 2,
            cost.nodeBytes};
        for (const std::uint64_t limit : limits) {
          EXPECT_EQ(IndexBudgetProblem(mesh, placement, depth, limit), ExactOnlyProblem(mesh, placement, depth, limit))
              << "limit " << limit;
        }
        EXPECT_TRUE(IndexBudgetProblem(mesh, placement, depth, middle).empty());
        EXPECT_FALSE(IndexBudgetProblem(mesh, placement, depth, cost.bytes - 1).empty());
      }
    }
  }
  // The meshes do exercise the exact count behind a bound that would refuse.
  EXPECT_GT(betweenBoundAndExact, 0);
}

}  // namespace
