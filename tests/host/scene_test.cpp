#include <gtest/gtest.h>

#include "host/geometry.h"
#include "host/scene.h"

namespace {

class SceneTest : public testing::Test {
 protected:
  void TearDown() override { GetCOREInterface()->ResetScene(); }
  Interface& scene = *GetCOREInterface();
};

TEST_F(SceneTest, ObjectsConvertToTriangleMeshesOrSayTheyCannot) {
  PlaneObject plane(4.0f, 2.0f, 3);
  ASSERT_TRUE(plane.CanConvertToType(triObjectClassID));
  EXPECT_FALSE(plane.IsSubClassOf(triObjectClassID));
  auto* tri = static_cast<TriObject*>(plane.ConvertToType(0, triObjectClassID));
  ASSERT_NE(tri, nullptr);
  EXPECT_NE(static_cast<Object*>(tri), static_cast<Object*>(&plane));
  const Mesh& mesh = tri->GetMesh();
  EXPECT_EQ(mesh.getNumVerts(), 16);
  EXPECT_EQ(mesh.getNumFaces(), 18);
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    const Face& face = mesh.faces[static_cast<std::size_t>(f)];
    const Point3 n = CrossProd(mesh.verts[face.v[1]] - mesh.verts[face.v[0]], mesh.verts[face.v[2]] - mesh.verts[face.v[0]]);
    EXPECT_GT(n.z, 0.0f) << "face " << f << " faces down";
  }
  Mesh copy = mesh;
  copy.buildBoundingBox();
  EXPECT_EQ(copy.getBoundingBox().Min(), Point3(-2.0f, -1.0f, 0.0f));
  EXPECT_EQ(copy.getBoundingBox().Max(), Point3(2.0f, 1.0f, 0.0f));
  // A triangle object is already one, and converts to itself.
  EXPECT_TRUE(tri->IsSubClassOf(triObjectClassID));
  EXPECT_EQ(tri->ConvertToType(0, triObjectClassID), tri);
  tri->DeleteThis();

  PointHelperObject point;
  EXPECT_FALSE(point.CanConvertToType(triObjectClassID));
  EXPECT_EQ(point.ConvertToType(0, triObjectClassID), nullptr);
  EXPECT_EQ(plane.ConvertToType(0, pointHelperClassID), nullptr);
}

TEST_F(SceneTest, NodesOwnTheirObjectsAndNamesAreMadeUnique) {
  TriObject* tri = CreateNewTriObject();
  INode* node = scene.CreateObjectNode(tri);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->EvalWorldState(scene.GetTime()).obj, tri);
  EXPECT_EQ(tri->DependentCount(), 1);
  EXPECT_EQ(scene.CreateObjectNode(nullptr), nullptr);

  CStr name("Veldmap");
  scene.MakeNameUnique(name);
  EXPECT_STREQ(name.data(), "Veldmap");  // nobody has it yet
  node->SetName(name);
  CStr second("Veldmap");
  scene.MakeNameUnique(second);
  EXPECT_STREQ(second.data(), "Veldmap001");
  scene.CreateObjectNode(CreateNewTriObject())->SetName(second);
  CStr third("Veldmap");
  scene.MakeNameUnique(third);
  EXPECT_STREQ(third.data(), "Veldmap002");
  EXPECT_EQ(scene.FindNode("Veldmap001"), scene.Nodes()[1]);

  EXPECT_NE(scene.GetMAXHWnd(), nullptr);
  scene.RedrawViews(scene.GetTime());
  EXPECT_EQ(scene.RedrawCount(), 1);
  scene.SetTime(4800);
  EXPECT_EQ(scene.GetTime(), 4800);

  scene.ResetScene();
  EXPECT_TRUE(scene.Nodes().empty());
  EXPECT_EQ(scene.GetTime(), 0);
}

TEST_F(SceneTest, ObjectChangesReachWhoeverRefersToTheNode) {
  struct Watcher : ReferenceMaker {
    int NumRefs() override { return 1; }
    RefTargetHandle GetReference(int i) override { return i == 0 ? node : nullptr; }
    void SetReference(int i, RefTargetHandle t) override {
      if (i == 0) node = t;
    }
    RefResult NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage message) override {
      messages.push_back(message);
      return REF_SUCCEED;
    }
    RefTargetHandle node = nullptr;
    std::vector<RefMessage> messages;
  };
  TriObject* tri = CreateNewTriObject();
  INode* node = scene.CreateObjectNode(tri);
  auto* watcher = new Watcher();
  watcher->ReplaceReference(0, node);
  tri->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(watcher->messages, (std::vector<RefMessage>{REFMSG_CHANGE}));
  // The scene deletes the node: the watcher forgets it.
  scene.ResetScene();
  EXPECT_EQ(watcher->node, nullptr);
  watcher->DeleteThis();
}

}  // namespace
