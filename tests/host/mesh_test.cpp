#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host/mesh.h"
#include "tests/support/mesh_builders.h"

namespace {

TEST(Mesh, ResizingKeepsOrResetsContents) {
  Mesh mesh = SquareAt(0, 0, 1, 1, 2);
  ASSERT_EQ(mesh.getNumVerts(), 4);
  ASSERT_EQ(mesh.getNumFaces(), 2);

  EXPECT_TRUE(mesh.setNumVerts(6, TRUE));
  EXPECT_EQ(mesh.getVert(2), Point3(1, 1, 2));
  EXPECT_EQ(mesh.getVert(5), Point3(0, 0, 0));
  EXPECT_TRUE(mesh.setNumFaces(1, TRUE));
  EXPECT_EQ(mesh.faces[0].v[2], 2u);

  EXPECT_TRUE(mesh.setNumVerts(3, FALSE));
  EXPECT_EQ(mesh.getVert(2), Point3(0, 0, 0));
  EXPECT_TRUE(mesh.setNumFaces(2));
  EXPECT_EQ(mesh.faces[0], Face());

  EXPECT_FALSE(mesh.setNumVerts(-1));
  EXPECT_EQ(mesh.getNumVerts(), 3);
}

TEST(Mesh, CopiesAreIndependent) {
  Mesh a = SquareAt(0, 0, 1, 1, 2);
  Mesh b = a;
  EXPECT_EQ(a, b);
  b.getVert(0).z = 7;
  b.faces[1].smGroup = 4;
  EXPECT_EQ(a.getVert(0).z, 2.0f);
  EXPECT_EQ(a.faces[1].smGroup, 1u);
  a = b;
  EXPECT_EQ(a, b);
}

TEST(Mesh, BoundingBoxLeavesOutNonFiniteVertices) {
  const float inf = std::numeric_limits<float>::infinity();
  Mesh mesh = MakeMesh({{std::nanf(""), 0, 0}, {-1, 2, 3}, {4, -5, 6}, {inf, 0, 0}, {0, 0, -inf}}, {});
  mesh.buildBoundingBox();
  const Box3 box = mesh.getBoundingBox();
  EXPECT_EQ(box.Min(), Point3(-1, -5, 3));
  EXPECT_EQ(box.Max(), Point3(4, 2, 6));

  Mesh none = MakeMesh({{std::nanf(""), 0, 0}}, {});
  none.buildBoundingBox();
  EXPECT_TRUE(none.getBoundingBox().IsEmpty());
}

TEST(Mesh, FaceValidityChecksEveryIndex) {
  Mesh mesh = MakeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 1, 3}, {0xFFFFFFFFu, 1, 2}});
  EXPECT_TRUE(mesh.faceIsValid(0));
  EXPECT_FALSE(mesh.faceIsValid(1));
  EXPECT_FALSE(mesh.faceIsValid(2));
}

}  // namespace
