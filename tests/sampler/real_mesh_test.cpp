// Pinned regressions on real meshes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "sampler/surface_sampler.h"
#include "tests/support/mesh_file.h"

namespace {

// The top surface of a big mesh of small faces must be found wherever it is. A BaryCoords with
// three independent single-precision ratios let rounding reject points inside small faces, so the
// query fell through to a lower face or to nothing. Checked against a brute force over every
// upward face in double precision on a 1024 x 1024 grid of cell centres.
TEST(RealMeshRegression, EngineGridMatchesDoublePrecisionBruteForce) {
  Mesh mesh;
  ASSERT_TRUE(ReadMeshFile(kAssimpModels + "/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb", mesh));
  ASSERT_EQ(mesh.getNumFaces(), 121496);
  SurfaceSampler sampler;
  sampler.Rebuild(mesh);

  constexpr int kSide = 1024;
  const auto cell = [](int i, int j) { return static_cast<std::size_t>(j) * kSide + static_cast<std::size_t>(i); };
  std::vector<double> top(std::size_t{kSide} * kSide, -std::numeric_limits<double>::infinity());
  const Mesh& uv = sampler.workMesh;
  for (int f = 0; f < uv.getNumFaces(); ++f) {
    if (!sampler.FacesUpward(f)) continue;
    const Face& face = uv.faces[static_cast<std::size_t>(f)];
    const Point3& a = uv.verts[face.v[0]];
    const Point3& b = uv.verts[face.v[1]];
    const Point3& c = uv.verts[face.v[2]];
    const double area = (double(b.x) - a.x) * (double(c.y) - a.y) - (double(b.y) - a.y) * (double(c.x) - a.x);
    const Box2D& box = sampler.faceBoxes[f];
    const int i0 = std::max(0, int(std::floor(box.min.x * kSide - 0.5f)));
    const int i1 = std::min(kSide - 1, int(std::ceil(box.max.x * kSide - 0.5f)));
    const int j0 = std::max(0, int(std::floor(box.min.y * kSide - 0.5f)));
    const int j1 = std::min(kSide - 1, int(std::ceil(box.max.y * kSide - 0.5f)));
    for (int j = j0; j <= j1; ++j) {
      for (int i = i0; i <= i1; ++i) {
        const double u = (i + 0.5) / kSide, v = (j + 0.5) / kSide;
        const double w1 = ((u - a.x) * (double(c.y) - a.y) - (v - a.y) * (double(c.x) - a.x)) / area;
        const double w2 = ((double(b.x) - a.x) * (v - a.y) - (double(b.y) - a.y) * (u - a.x)) / area;
        const double w0 = 1.0 - w1 - w2;
        if (w0 < 0 || w1 < 0 || w2 < 0) continue;
        const double h = w0 * a.z + w1 * b.z + w2 * c.z;
        top[cell(i, j)] = std::max(top[cell(i, j)], h);
      }
    }
  }

  int foundByBoth = 0, missed = 0, extra = 0, wrong = 0;
  double worst = 0;
  for (int j = 0; j < kSide; ++j) {
    for (int i = 0; i < kSide; ++i) {
      const double expected = top[cell(i, j)];
      float h = 0;
      const bool found = sampler.HeightAt({float((i + 0.5) / kSide), float((j + 0.5) / kSide), 0}, h);
      const bool covered = expected > -std::numeric_limits<double>::infinity();
      if (covered && !found) ++missed;
      if (!covered && found) ++extra;
      if (covered && found) {
        ++foundByBoth;
        worst = std::max(worst, std::fabs(h - expected));
        if (std::fabs(h - expected) > 1.5e-5) ++wrong;
      }
    }
  }
  EXPECT_GT(foundByBoth, 100000);
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(extra, 0);
  EXPECT_EQ(wrong, 0) << "worst height difference " << worst;
}

}  // namespace
