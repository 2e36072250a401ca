// The map among other scene objects: changes that reach it through other maps, and nodes that
// move in time.
#include "texmap/veldmap_texmap.h"

#include <gtest/gtest.h>

#include "host/bitmap.h"
#include "host/scene.h"
#include "host/win32.h"
#include "plugin/plugin_main.h"
#include "plugin/veldmap_params.h"
#include "tests/support/mesh_builders.h"

namespace {

// A ramp across X from height 0 at x = 0 to 1 at x = 2.
Mesh Slope() { return MakeMesh({{0, 0, 0}, {2, 0, 1}, {2, 1, 1}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 3}}); }

class MapInSceneTest : public testing::Test {
 protected:
  void SetUp() override { DllMain(ModuleInstanceFromAddress(&pluginInstance), DLL_PROCESS_ATTACH, nullptr); }
  void TearDown() override {
    GetCOREInterface()->ResetScene();
    AnimateOff();
  }

  static INode* NodeWith(const Mesh& mesh) {
    TriObject* object = CreateNewTriObject();
    object->GetMesh() = mesh;
    return GetCOREInterface()->CreateObjectNode(object);
  }

  static Interval UpdateAt(VeldmapTexmap& map, TimeValue t) {
    Interval valid = FOREVER;
    map.Update(t, valid);
    return valid;
  }
};

TEST_F(MapInSceneTest, ChangingAMapUsedAsRampInvalidatesTheMapUsingIt) {
  VeldmapTexmap outer;
  auto* inner = new VeldmapTexmap();  // the outer map's block holds it from here on
  outer.SetSubTexmap(0, inner);
  ASSERT_EQ(outer.GetSubTexmap(0), inner);
  ASSERT_TRUE(outer.pblock->SetValue(pb_color_ramp, 0, TRUE));
  ASSERT_TRUE(outer.pblock->SetValue(pb_node, 0, NodeWith(Slope())));
  ASSERT_TRUE(inner->pblock->SetValue(pb_node, 0, NodeWith(SquareAt(0, 0, 1, 1, 2))));
  UpdateAt(*inner, 0);
  ASSERT_EQ(UpdateAt(outer, 0), FOREVER);
  ViewportTexHandleMaker viewport(8);
  ASSERT_NE(outer.GetActiveTexHandle(0, viewport), 0u);
  ASSERT_NE(outer.texHandle, nullptr);

  // The inner map's own parameter: both maps are stale and the outer preview goes.
  ASSERT_TRUE(inner->pblock->SetValue(pb_u_offset, 0, 0.25f));
  EXPECT_EQ(inner->Validity(0), NEVER);
  EXPECT_EQ(outer.Validity(0), NEVER);
  EXPECT_EQ(outer.texHandle, nullptr);

  // The same for a change of the inner map's UV generator.
  UpdateAt(*inner, 0);
  UpdateAt(outer, 0);
  ASSERT_NE(outer.GetActiveTexHandle(0, viewport), 0u);
  inner->uvGen->SetUOffset(0.5f);
  EXPECT_EQ(outer.Validity(0), NEVER);
  EXPECT_EQ(outer.texHandle, nullptr);

  // A map nested two deep reaches the outermost one too.
  auto* innermost = new VeldmapTexmap();
  inner->SetSubTexmap(0, innermost);
  UpdateAt(outer, 0);
  ASSERT_NE(outer.GetActiveTexHandle(0, viewport), 0u);
  ASSERT_TRUE(innermost->pblock->SetValue(pb_quad_tree_depth, 0, 3));
  EXPECT_EQ(outer.Validity(0), NEVER);
  EXPECT_EQ(outer.texHandle, nullptr);
}

TEST_F(MapInSceneTest, AMovingNodeNarrowsTheMapsValidityAndBakeTakesTheCurrentTime) {
  VeldmapTexmap map;
  INode* node = NodeWith(Slope());
  ASSERT_TRUE(map.pblock->SetValue(pb_node, 0, node));
  EXPECT_EQ(UpdateAt(map, 50), FOREVER);  // an unmoved node holds forever

  // The node rises by 4 between times 0 and 100.
  AnimateOn();
  ASSERT_TRUE(node->SetPosition(100, Point3(0, 0, 4)));
  AnimateOff();
  EXPECT_EQ(map.Validity(0), NEVER);  // the node's change reached the map
  EXPECT_EQ(UpdateAt(map, 50), Interval(50, 50));
  EXPECT_EQ(UpdateAt(map, 300), Interval(100, TIME_PosInfinity));
  EXPECT_EQ(UpdateAt(map, -20), Interval(TIME_NegInfinity, 0));

  // Bake copies the mesh as it stands at the host's current time.
  GetCOREInterface()->SetTime(25);
  map.BakeNodeMesh();
  ASSERT_TRUE(map.hasStoredMesh);
  Mesh expected = Slope();
  for (Point3& p : expected.verts) p.z += 1.0f;
  EXPECT_EQ(map.sampler.storedMesh, expected);
  INode* picked = node;
  Interval ignore = FOREVER;
  map.pblock->GetValue(pb_node, 0, picked, ignore);
  EXPECT_EQ(picked, nullptr);
  // The baked map no longer follows the node: it holds forever.
  EXPECT_EQ(UpdateAt(map, 50), FOREVER);
}

}  // namespace
