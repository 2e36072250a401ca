#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sampler/normal_chain.h"
#include "sampler/surface_sampler.h"
#include "tests/support/mesh_builders.h"

namespace {

int ChainLength(const NormalChain& head) {
  int n = 0;
  for (const NormalChain* r = &head; r != nullptr; r = r->next) ++n;
  return n;
}

TEST(NormalChain, FacesSharingBitsShareARecord) {
  NormalChainPool pool;
  NormalChain head;
  head.Add({0, 0, 2}, 1, pool);
  head.Add({0, 2, 0}, 1, pool);
  EXPECT_EQ(ChainLength(head), 1);
  EXPECT_EQ(head.normal, Point3(0, 2, 2));
  head.Add({2, 0, 0}, 2, pool);
  EXPECT_EQ(ChainLength(head), 2);
  head.MergeAndNormalize();
  EXPECT_NEAR(head.Find(1).normal.y, std::sqrt(0.5f), 1e-6f);
  EXPECT_EQ(head.Find(2).normal, Point3(1, 0, 0));
  EXPECT_EQ(&head.Find(8), head.next);  // no match: the last record
}

TEST(NormalChain, LaterFacesJoinAndMergeFoldsOnlyByTheFirstRecordsBits) {
  // A (1), B (2), C (1|2): C joins A, whose record takes bits 1|2; the merge folds B in.
  {
    NormalChainPool pool;
    NormalChain head;
    head.Add({1, 0, 0}, 1, pool);
    head.Add({0, 1, 0}, 2, pool);
    head.Add({0, 0, 1}, 3, pool);
    EXPECT_EQ(head.smGroup, 3u);
    EXPECT_EQ(ChainLength(head), 2);
    head.MergeAndNormalize();
    EXPECT_EQ(ChainLength(head), 1);
    const float third = 1.0f / std::sqrt(3.0f);
    EXPECT_NEAR(head.normal.x, third, 1e-6f);
    EXPECT_NEAR(head.normal.z, third, 1e-6f);
  }
  // A (1), B (2), C (4), D (2|4), E (1|2): records {A,E} 1|2, {B,D} 2|4, {C} 4. The merge folds
  // {B,D} into the first record without widening its bits, so {C} stays on its own.
  {
    NormalChainPool pool;
    NormalChain head;
    const Point3 a(1, 0, 0), b(0, 1, 0), c(0, 0, 1), d(0, 1, 1), e(1, 1, 0);
    head.Add(a, 1, pool);
    head.Add(b, 2, pool);
    head.Add(c, 4, pool);
    head.Add(d, 2 | 4, pool);
    head.Add(e, 1 | 2, pool);
    ASSERT_EQ(ChainLength(head), 3);
    EXPECT_EQ(head.normal, a + e);
    EXPECT_EQ(head.smGroup, 3u);
    EXPECT_EQ(head.next->normal, b + d);
    EXPECT_EQ(head.next->smGroup, 6u);
    EXPECT_EQ(head.next->next->normal, c);
    head.MergeAndNormalize();
    ASSERT_EQ(ChainLength(head), 2);
    EXPECT_EQ(head.smGroup, 3u);
    EXPECT_EQ(head.Find(4).normal, Point3(0, 0, 1));
    EXPECT_EQ(&head.Find(2 | 4), &head);
    const Point3 merged = Normalize(a + e + b + d);
    EXPECT_EQ(head.normal, merged);
  }
}

TEST(NormalChain, FacesWithoutGroupsKeepTheirOwnRecords) {
  NormalChainPool pool;
  NormalChain head;
  head.Add({0, 0, 3}, 0, pool);
  head.Add({0, 4, 0}, 0, pool);
  head.Add({5, 0, 0}, 0, pool);
  EXPECT_EQ(ChainLength(head), 3);
  head.MergeAndNormalize();
  EXPECT_EQ(ChainLength(head), 3);
  EXPECT_EQ(head.Find(0).normal, Point3(1, 0, 0));  // the face added last
}

TEST(VertexNormals, AreaWeightedAndComputedBeforeNormalising) {
  // Two faces in group 1 at vertex 0: a big one facing +Z, a small one facing +X.
  const Mesh mesh = MakeMesh({{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0, 0, 1}, {0, 1, 0}}, {{0, 1, 2}, {0, 4, 3}});
  Tab<NormalChain> chains;
  NormalChainPool pool;
  ComputeVertexNormals(mesh, chains, pool);
  ASSERT_EQ(chains.Count(), 5);
  EXPECT_EQ(chains[0].normal, Normalize({1, 0, 4}));
  EXPECT_EQ(chains[1].normal, Point3(0, 0, 1));
  EXPECT_EQ(chains[3].normal, Point3(1, 0, 0));

  // An index past the vertices adds nothing anywhere.
  const Mesh bad = MakeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 7}});
  ComputeVertexNormals(bad, chains, pool);
  EXPECT_EQ(chains.Count(), 3);
  EXPECT_EQ(chains[0].used, FALSE);
  EXPECT_EQ(chains[0].normal, Point3(0, 0, 0));
}

TEST(VertexNormals, FacesWithNonFiniteNormalsAddNothing) {
  // A good face shares vertices 0 and 1 and group 1 with a face that has a NaN vertex, one with
  // an infinite vertex, and one whose cross product overflows: none of them may reach the shared
  // records, so the good face keeps its own normal there.
  const float nan = std::nanf("");
  const float inf = std::numeric_limits<float>::infinity();
  const float big = 2e38f;
  const Mesh mesh =
      MakeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.5f, nan, 1}, {0.5f, -1, inf}, {big, 0, 0}, {0, big, 0}},
               {{0, 1, 2}, {1, 0, 3}, {1, 0, 4}, {0, 5, 6}});
  Tab<NormalChain> chains;
  NormalChainPool pool;
  ComputeVertexNormals(mesh, chains, pool);
  for (int v : {0, 1, 2}) {
    EXPECT_EQ(chains[v].normal, Point3(0, 0, 1)) << v;
    EXPECT_EQ(chains[v].next, nullptr) << v;
  }
  EXPECT_EQ(chains[3].used, FALSE);

  // Through the sampler: the good face's normal, not NaN, wherever it is found.
  SurfaceSampler sampler;
  sampler.normalizeMesh = 0;
  sampler.Rebuild(mesh);
  int found = 0;
  for (float u = 0.05f; u < 1.0f; u += 0.1f) {
    for (float v = 0.05f; u + v < 1.0f; v += 0.1f) {
      Point3 n;
      if (!sampler.NormalAt({u, v, 0}, n)) continue;
      ++found;
      EXPECT_EQ(n.x, 0.0f) << u << ", " << v;
      EXPECT_EQ(n.y, 0.0f) << u << ", " << v;
      EXPECT_NEAR(n.z, 1.0f, 1e-6f) << u << ", " << v;
    }
  }
  EXPECT_GT(found, 20);
}

TEST(SurfaceSamplerNormalAt, AmongEqualHeightsTheLowestFaceIndexWins) {
  // Faces 0 and 1 are the same triangle at z = 0, in groups 1 and 2; a wall (face 2) tilts the
  // corner normals of group 2, so the normal tells which of the two equal faces won.
  const Mesh mesh = MakeMesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}},
                             {{0, 1, 2, 1}, {0, 1, 2, 2}, {0, 4, 1, 2}, {0, 2, 3, 1}});
  SurfaceSampler sampler;
  sampler.normalizeMesh = 0;
  sampler.Rebuild(mesh);
  Point3 n;
  ASSERT_TRUE(sampler.NormalAt({0.7f, 0.2f, 0}, n));
  EXPECT_EQ(n.y, 0.0f);  // face 0: group 1, flat corners
  EXPECT_NEAR(n.z, 1.0f, 1e-6f);

  // Swapping the two faces' groups swaps the answer: the winner is still the lower index.
  Mesh swapped = mesh;
  swapped.faces[0].smGroup = 2;
  swapped.faces[1].smGroup = 1;
  sampler.Rebuild(swapped);
  ASSERT_TRUE(sampler.NormalAt({0.7f, 0.2f, 0}, n));
  EXPECT_GT(n.y, 0.1f);  // face 0 again, now in group 2: the wall tilts its corners 0 and 1
}

TEST(SurfaceSamplerNormalAt, TiltedPlaneKeepsItsOwnNormalInAnyPlacement) {
  // z = 0.5 x + 0.25 y over a 4 x 4 grid, all in group 1.
  Mesh plane = GridTerrain(1, 5);
  for (Point3& p : plane.verts) p.z = 0.5f * p.x + 0.25f * p.y;
  const Point3 expected = Normalize({-0.5f, -0.25f, 1.0f});
  for (float scale : {1.0f, 3.0f, 0.5f}) {
    SurfaceSampler sampler;
    sampler.uScale = scale;
    sampler.vScale = 1.0f / scale;
    sampler.Rebuild(plane);
    int found = 0;
    for (float u = 0.03f; u < 1.0f; u += 0.09f) {
      for (float v = 0.03f; v < 1.0f; v += 0.09f) {
        Point3 n;
        if (!sampler.NormalAt({u, v, 0}, n)) continue;
        ++found;
        EXPECT_NEAR(n.x, expected.x, 1e-5f);
        EXPECT_NEAR(n.y, expected.y, 1e-5f);
        EXPECT_NEAR(n.z, expected.z, 1e-5f);
      }
    }
    EXPECT_GT(found, 10);
  }
}

TEST(SurfaceSamplerNormalAt, BlendsCornerNormalsOfTheTopFaceUnnormalised) {
  // A ridge: two faces in different groups meet along x = 1; the winner at a point blends its
  // own group's corner normals only, so on the flat face the normal is exact.
  const Mesh ridge = MakeMesh({{0, 0, 0}, {1, 0, 1}, {1, 1, 1}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}},
                              {{0, 1, 2, 1}, {0, 2, 3, 1}, {1, 4, 5, 2}, {1, 5, 2, 2}});
  SurfaceSampler sampler;
  sampler.Rebuild(ridge);
  Point3 n;
  ASSERT_TRUE(sampler.NormalAt({0.25f, 0.5f, 0}, n));
  EXPECT_NEAR(n.x, -std::sqrt(0.5f), 1e-6f);
  EXPECT_NEAR(n.z, std::sqrt(0.5f), 1e-6f);
  ASSERT_TRUE(sampler.NormalAt({0.75f, 0.5f, 0}, n));
  EXPECT_NEAR(n.x, std::sqrt(0.5f), 1e-6f);

  // Smoothed across the ridge (one group), the blend of differing corner normals is shorter
  // than 1 and is not renormalised.
  Mesh smooth = ridge;
  for (Face& f : smooth.faces) f.smGroup = 1;
  sampler.Rebuild(smooth);
  ASSERT_TRUE(sampler.NormalAt({0.25f, 0.5f, 0}, n));
  EXPECT_LT(Length(n), 0.999f);

  EXPECT_FALSE(sampler.NormalAt({1.0f, 0.5f, 0}, n));
  EXPECT_EQ(n, Point3(0, 0, 0));
}

}  // namespace
