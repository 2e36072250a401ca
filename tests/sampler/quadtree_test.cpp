#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <vector>

#include "sampler/surface_sampler.h"
#include "tests/support/mesh_builders.h"
#include "tests/support/reference_sampler.h"

namespace {

const QuadNode kRoot({0.0f, 0.0f}, {1.0f, 1.0f});

TEST(QuadNode, QuadrantOfUsesClosedLowerAndOpenUpperBounds) {
  EXPECT_EQ(kRoot.QuadrantOf({0.5f, 0.5f, 0}), 3);
  EXPECT_EQ(kRoot.QuadrantOf({0.5f, 0.25f, 0}), 1);
  EXPECT_EQ(kRoot.QuadrantOf({0.25f, 0.5f, 0}), 2);
  EXPECT_EQ(kRoot.QuadrantOf({0.0f, 0.0f, 0}), 0);
  EXPECT_EQ(kRoot.QuadrantOf({0.0f, 0.0f, 99.0f}), 0);  // Z plays no part
  EXPECT_EQ(kRoot.QuadrantOf({1.0f, 0.3f, 0}), -1);
  EXPECT_EQ(kRoot.QuadrantOf({0.3f, 1.0f, 0}), -1);
  EXPECT_EQ(kRoot.QuadrantOf({-0.01f, 0.3f, 0}), -1);
  EXPECT_EQ(kRoot.QuadrantOf({0.3f, 1.5f, 0}), -1);
  EXPECT_EQ(kRoot.QuadrantOf({std::nanf(""), 0.3f, 0}), -1);
}

TEST(QuadNode, OverlapsCountsTouchingEdgesAndCorners) {
  EXPECT_TRUE(kRoot.Overlaps(0, Box2D({0.5f, 0.5f}, {0.7f, 0.7f})));  // corner touch
  EXPECT_TRUE(kRoot.Overlaps(1, Box2D({0.2f, 0.1f}, {0.5f, 0.2f})));  // edge touch from the left
  EXPECT_FALSE(kRoot.Overlaps(1, Box2D({0.2f, 0.1f}, {0.49f, 0.2f})));
  EXPECT_FALSE(kRoot.Overlaps(0, Box2D({0.1f, 0.6f}, {0.2f, 0.7f})));
  EXPECT_TRUE(kRoot.Overlaps(3, Box2D({-5.0f, -5.0f}, {5.0f, 5.0f})));
  EXPECT_FALSE(kRoot.Overlaps(3, Box2D({std::nanf(""), 0.6f}, {0.9f, 0.9f})));
}

TEST(SurfaceSamplerIndex, TreeIsCompleteAtEveryDepth) {
  SurfaceSampler sampler;
  sampler.quadTreeDepth = 2;
  sampler.Rebuild(SquareAt(0, 0, 1, 1, 0));
  ASSERT_NE(sampler.root, nullptr);
  EXPECT_EQ(sampler.NodeCount(), 5);
  EXPECT_FALSE(sampler.root->isLeaf);
  for (int k = 0; k < 4; ++k) {
    EXPECT_TRUE(sampler.root->child(k)->isLeaf);
    EXPECT_EQ(sampler.root->child(k)->child(0), nullptr);
  }
  EXPECT_EQ(sampler.root->child(1)->min, Point2(0.5f, 0.0f));

  const int expected[] = {0, 1, 5, 21, 85, 341, 1365, 5461, 21845, 87381, 349525};
  for (int depth = 2; depth <= 10; ++depth) {
    sampler.quadTreeDepth = depth;
    sampler.Rebuild(SquareAt(0, 0, 1, 1, 0));
    EXPECT_EQ(sampler.NodeCount(), expected[depth]);
    const QuadNode* leaf = sampler.FindLeaf({0.3f, 0.6f, 0});
    ASSERT_NE(leaf, nullptr);
    EXPECT_FLOAT_EQ(leaf->max.x - leaf->min.x, 1.0f / float(1 << (depth - 1)));
    EXPECT_LE(leaf->min.x, 0.3f);
    EXPECT_GT(leaf->max.x, 0.3f);
  }
}

std::vector<int> FacesAt(const SurfaceSampler& sampler, float u, float v) {
  const QuadNode* leaf = sampler.FindLeaf({u, v, 0});
  return leaf == nullptr ? std::vector<int>{} : sampler.LeafFaces(*leaf);
}

TEST(SurfaceSamplerIndex, FacesAreListedWhereTheirBoxesReach) {
  SurfaceSampler sampler;
  sampler.normalizeMesh = 0;
  sampler.quadTreeDepth = 3;  // leaves of side 1/4
  const Mesh mesh = MakeMesh(
      {
          {0.1f, 0.1f, 0},
          {0.25f, 0.1f, 1},
          {0.1f, 0.2f, 0},  // 0: box ends on the line u = 1/4
          {0.6f, 0.6f, 0},
          {0.7f, 0.6f, 0},
          {0.6f, 0.7f, 0},  // 1: clockwise below, as 2 listed
          {-0.3f, 0.8f, 0},
          {0.1f, 0.8f, 0},
          {-0.3f, 0.9f, 0},  // 3: partly left of the square
          {0.6f, 0.1f, 0},
          {0.7f, 0.1f, 0},
          {0.65f, 0.1f, 1},  // 4: a wall (all on one line in UV)
          {1.5f, 0.5f, 0},
          {1.7f, 0.5f, 0},
          {1.5f, 0.7f, 0},  // 5: wholly outside
      },
      {{0, 1, 2}, {3, 5, 4}, {3, 4, 5}, {6, 7, 8}, {9, 10, 11}, {12, 13, 14}});
  sampler.Rebuild(mesh);

  EXPECT_EQ(FacesAt(sampler, 0.1f, 0.1f), (std::vector<int>{0}));
  EXPECT_EQ(FacesAt(sampler, 0.3f, 0.1f), (std::vector<int>{0}));  // the neighbour cell across u = 1/4
  EXPECT_EQ(FacesAt(sampler, 0.6f, 0.1f), (std::vector<int>{}));
  EXPECT_EQ(FacesAt(sampler, 0.6f, 0.6f), (std::vector<int>{2}));  // clockwise 1 is in no leaf
  EXPECT_EQ(FacesAt(sampler, 0.05f, 0.85f), (std::vector<int>{3}));
  EXPECT_EQ(FacesAt(sampler, 0.3f, 0.85f), (std::vector<int>{}));
  int listedAnywhere = 0;
  for (float u = 0.0f; u < 1.0f; u += 0.25f)
    for (float v = 0.0f; v < 1.0f; v += 0.25f)
      for (int f : FacesAt(sampler, u, v)) listedAnywhere |= 1 << f;
  EXPECT_EQ(listedAnywhere, 0b001101);
}

// Walks both trees side by side. The literal leaf lists every upward face whose box reaches
// it; the real index may leave out faces whose triangle cannot reach the leaf, but nothing else.
int ExpectSubsetOfLiteralLeaves(const SurfaceSampler& fast, const QuadNode* node, const reference::QuadNode* literal) {
  EXPECT_EQ(bool(node->isLeaf), bool(literal->isLeaf));
  if (literal->isLeaf) {
    const std::vector<int> listed = fast.LeafFaces(*node);
    const std::vector<int> expected(literal->faces.begin(), literal->faces.end());
    EXPECT_TRUE(std::includes(expected.begin(), expected.end(), listed.begin(), listed.end()))
        << "leaf at " << node->min.x << ", " << node->min.y;
    return static_cast<int>(expected.size() - listed.size());
  }
  int skipped = 0;
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(node->child(k)->min, literal->quadrants[k].min);
    skipped += ExpectSubsetOfLiteralLeaves(fast, node->child(k), literal->children[k]);
  }
  return skipped;
}

TEST(SurfaceSamplerIndex, LeavesListOnlyFacesOfTheLiteralTree) {
  int skipped = 0;
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    const Mesh mesh = RandomMesh(seed, 400, 0.3f);
    for (int depth = 2; depth <= 7; ++depth) {
      SurfaceSampler fast;
      reference::Sampler literal;
      fast.quadTreeDepth = literal.quadTreeDepth = depth;
      fast.Rebuild(mesh);
      literal.Rebuild(mesh);
      SCOPED_TRACE(testing::Message() << "seed " << seed << " depth " << depth);
      skipped += ExpectSubsetOfLiteralLeaves(fast, fast.root, literal.root);
    }
  }
  // Big triangles' boxes reach many leaves that the triangles themselves miss.
  EXPECT_GT(skipped, 0);
}

}  // namespace

namespace {

// 600 triangles stacked over the whole square, each reaching every leaf at any depth.
Mesh StackedTriangles(int count) {
  Mesh mesh;
  for (int i = 0; i < count; ++i) {
    const auto base = static_cast<DWORD>(mesh.verts.size());
    mesh.verts.emplace_back(0.0f, 0.0f, float(i));
    mesh.verts.emplace_back(1.0f, 0.0f, float(i));
    mesh.verts.emplace_back(0.0f, 1.0f + 0.001f * float(i), float(i));
    Face face;
    face.setVerts(base, base + 1, base + 2);
    mesh.faces.push_back(face);
  }
  return mesh;
}

TEST(SurfaceSamplerIndex, EstimateEqualsTheRealIndexAndPicksItsGridSide) {
  struct Case {
    const char* name;
    Mesh mesh;
    int normalizeMesh;
    float uScale;
  };
  const Case cases[] = {
      {"random", RandomMesh(5, 2000), 1, 1.0f},
      {"random, large faces", RandomMesh(6, 3000, 1.0f), 1, 1.0f},
      {"random, half outside", RandomMesh(7, 2000), 1, 2.0f},
      {"terrain", GridTerrain(8, 200), 1, 1.0f},
      {"terrain without normalisation", GridTerrain(9, 150), 0, 0.05f},
      {"stacked", StackedTriangles(600), 1, 1.0f},
      {"empty", Mesh(), 1, 1.0f},
  };
  for (const Case& c : cases) {
    for (int depth : {1, 2, 6, 10}) {
      SurfaceSampler sampler;
      sampler.normalizeMesh = c.normalizeMesh;
      sampler.uScale = c.uScale;
      sampler.vScale = c.uScale;
      sampler.quadTreeDepth = depth;
      const SurfaceSampler::IndexEstimate estimate = sampler.EstimateIndex(c.mesh);
      sampler.Rebuild(c.mesh);
      const std::size_t real = sampler.IndexBytes();
      // No grid here is coarsened for overflowing its offsets, so the estimate is exact.
      EXPECT_EQ(real, estimate.bytes) << c.name << " depth " << depth;
      EXPECT_EQ(estimate.gridSide, sampler.CellsPerSide()) << c.name << " depth " << depth;
      if (depth > 1) {
        EXPECT_TRUE(std::has_single_bit(unsigned(estimate.gridSide))) << c.name << ": " << estimate.gridSide;
      }
      int upward = 0;
      for (int f = 0; f < c.mesh.getNumFaces(); ++f) upward += sampler.FacesUpward(f);
      EXPECT_EQ(estimate.upwardFaces, upward) << c.name;
    }
  }
}

TEST(SurfaceSamplerIndex, GridSideFollowsTheFacesNotTheDepth) {
  // Small meshes get the coarsest regular grid, dense ones a finer one; faces with large boxes
  // hold it back. None of it depends on the depth.
  const auto side = [](const Mesh& mesh, int depth) {
    SurfaceSampler sampler;
    sampler.quadTreeDepth = depth;
    sampler.Rebuild(mesh);
    return sampler.CellsPerSide();
  };
  EXPECT_EQ(side(RandomMesh(1, 100, 0.02f), 6), 128);
  const int dense = side(GridTerrain(2, 300), 6);
  EXPECT_GE(dense, 256);
  EXPECT_EQ(side(GridTerrain(2, 300), 10), dense);
  EXPECT_EQ(side(GridTerrain(2, 300), 2), dense);
  EXPECT_LT(side(StackedTriangles(600), 10), 128);
}

}  // namespace
