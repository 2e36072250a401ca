// The render outputs' table and the normal map's encoding.
#include "app/outputs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

namespace {

// A new entry that misses a field would render nothing or write the wrong file; these are the
// promises the command line and the renderer rely on.
TEST(RenderOutputs, EveryEntryIsFoundByItsKindAndCanBeRendered) {
  std::set<std::string> kinds;
  for (const RenderOutput& output : RenderOutputs()) {
    SCOPED_TRACE(output.kind);
    EXPECT_TRUE(kinds.insert(output.kind).second) << "kind appears twice";
    EXPECT_EQ(FindOutput(output.kind), &output);
    EXPECT_NE(OutputKinds().find(output.kind), std::string::npos);
    if (output.file == OutputFile::Image) {
      EXPECT_NE(output.pixel, nullptr);
      EXPECT_GE(output.channels, 1);
      EXPECT_LE(output.channels, 4);
    } else {
      EXPECT_EQ(output.pixel, nullptr);
    }
  }
  EXPECT_EQ(FindOutput("contours"), nullptr);
  EXPECT_EQ(FindOutput(""), nullptr);
}

// Cases whose encoding is exact in float, so the expected values are the stored bits.
TEST(RenderOutputs, NormalEncodingOfFlatSteepAndBrokenPerturbations) {
  for (const Bump bump : {Bump::Numerical, Bump::Normals}) {
    SCOPED_TRACE(BumpName(bump));
    // No perturbation: straight up.
    Point3 n = EncodeNormal(Point3(0.0f, 0.0f, 0.0f), bump, 1.0f);
    EXPECT_EQ(n, Point3(0.5f, 0.5f, 1.0f));
    // Scale 0 flattens any bump.
    n = EncodeNormal(Point3(0.3f, -0.7f, 0.0f), bump, 0.0f);
    EXPECT_EQ(n, Point3(0.5f, 0.5f, 1.0f));
    // Nothing usable (NaN, infinity) gives the flat normal, never NaN in the image.
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
      n = EncodeNormal(Point3(bad, 0.0f, 0.0f), bump, 1.0f);
      EXPECT_EQ(n, Point3(0.5f, 0.5f, 1.0f)) << bad;
    }
  }
  // A gradient of 3/4 along u: the normal (-3/4, 0, 1) has length 5/4.
  Point3 n = EncodeNormal(Point3(0.75f, 0.0f, 0.0f), Bump::Numerical, 1.0f);
  EXPECT_FLOAT_EQ(n.x, 0.5f - 0.5f * 0.6f);
  EXPECT_EQ(n.y, 0.5f);
  EXPECT_FLOAT_EQ(n.z, 0.5f + 0.5f * 0.8f);
  // The scale multiplies the gradient: 3/8 at scale 2 is the same normal.
  EXPECT_EQ(EncodeNormal(Point3(0.375f, 0.0f, 0.0f), Bump::Numerical, 2.0f), n);
  // Mesh normals: a normal lying flat along +u, and one past unit length, which is cut to z = 0.
  EXPECT_EQ(EncodeNormal(Point3(1.0f, 0.0f, 0.0f), Bump::Normals, 1.0f), Point3(1.0f, 0.5f, 0.5f));
  EXPECT_EQ(EncodeNormal(Point3(0.0f, -2.0f, 0.0f), Bump::Normals, 1.0f), Point3(0.5f, 0.0f, 0.5f));
}

}  // namespace
