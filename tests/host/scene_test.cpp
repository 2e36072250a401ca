#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "host/geometry.h"
#include "host/param_block.h"
#include "host/scene.h"
#include "tests/support/mesh_builders.h"

namespace {

class SceneTest : public testing::Test {
 protected:
  void TearDown() override {
    GetCOREInterface()->ResetScene();
    AnimateOff();
  }
  Interface& scene = *GetCOREInterface();
};

// Something that refers to a node and counts the changes it hears of.
struct NodeWatcher : ReferenceMaker {
  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int i) override { return i == 0 ? node : nullptr; }
  void SetReference(int i, RefTargetHandle t) override {
    if (i == 0) node = t;
  }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage message) override {
    if (message == REFMSG_CHANGE) ++changes;
    return REF_SUCCEED;
  }
  RefTargetHandle node = nullptr;
  int changes = 0;
};

void ExpectNear(const Point3& got, const Point3& want) {
  EXPECT_NEAR(got.x, want.x, 1e-5f);
  EXPECT_NEAR(got.y, want.y, 1e-5f);
  EXPECT_NEAR(got.z, want.z, 1e-5f);
}

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
    const Point3 n =
        CrossProd(mesh.verts[face.v[1]] - mesh.verts[face.v[0]], mesh.verts[face.v[2]] - mesh.verts[face.v[0]]);
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

TEST_F(SceneTest, KeyedNodesMoveTheirMeshInTime) {
  TriObject* tri = CreateNewTriObject();
  tri->GetMesh() = SquareAt(0, 0, 1, 1, 0);
  INode* node = scene.CreateObjectNode(tri);
  NodeWatcher watcher;
  watcher.ReplaceReference(0, node, FALSE);

  // Never moved: the object itself, valid forever.
  EXPECT_FALSE(node->HasTransform());
  EXPECT_EQ(node->EvalWorldState(0).obj, tri);
  Interval valid = FOREVER;
  EXPECT_EQ(node->GetNodeTM(0, &valid), Matrix3());
  EXPECT_EQ(valid, FOREVER);

  // Moved without keys: a moved copy, still valid forever; the object keeps its own mesh.
  ASSERT_TRUE(node->SetPosition(0, Point3(10, 0, 0)));
  EXPECT_EQ(watcher.changes, 1);
  EXPECT_TRUE(node->SetPosition(0, Point3(10, 0, 0)));  // the same again: no news
  EXPECT_EQ(watcher.changes, 1);
  Object* world = node->EvalWorldState(0).obj;
  ASSERT_NE(world, tri);
  ASSERT_TRUE(world->IsSubClassOf(triObjectClassID));
  EXPECT_EQ(static_cast<TriObject*>(world)->GetMesh().verts[2], Point3(11, 1, 0));
  EXPECT_EQ(world->ObjectValidity(0), FOREVER);
  EXPECT_EQ(tri->GetMesh(), SquareAt(0, 0, 1, 1, 0));

  // Keys at 0 (the value replaced) and 4800: linear between, held beyond; the validity is the
  // instant between keys and the held stretch beyond them.
  AnimateOn();
  ASSERT_TRUE(node->SetPosition(4800, Point3(10, 0, 2)));
  AnimateOff();
  EXPECT_EQ(watcher.changes, 2);
  EXPECT_EQ(node->PositionTrack().keys.size(), 2u);
  auto* moved = static_cast<TriObject*>(node->EvalWorldState(2400).obj);
  ExpectNear(moved->GetMesh().verts[0], Point3(10, 0, 1));
  EXPECT_EQ(moved->ObjectValidity(2400), Interval(2400, 2400));
  moved = static_cast<TriObject*>(node->EvalWorldState(9000).obj);
  ExpectNear(moved->GetMesh().verts[0], Point3(10, 0, 2));
  EXPECT_EQ(moved->ObjectValidity(9000), Interval(4800, TIME_PosInfinity));
  moved = static_cast<TriObject*>(node->EvalWorldState(-5).obj);
  EXPECT_EQ(moved->ObjectValidity(-5), Interval(TIME_NegInfinity, 0));
  // A write once keys exist sets a key even with the button off.
  ASSERT_TRUE(node->SetPosition(2400, Point3(10, 0, 5)));
  EXPECT_EQ(node->PositionTrack().keys.size(), 3u);
  valid = FOREVER;
  ExpectNear(node->GetNodeTM(2400, &valid).GetTrans(), Point3(10, 0, 5));
  EXPECT_EQ(valid, Interval(2400, 2400));

  // Rotation and scale: scale first, then rotation, then position. A quarter turn about Z takes
  // X to Y; the validity narrows by every track.
  INode* spun = scene.CreateObjectNode(CreateNewTriObject());
  static_cast<TriObject*>(spun->GetObjectRef())->GetMesh() = SquareAt(0, 0, 1, 1, 0);
  ASSERT_TRUE(spun->SetScale(0, Point3(2, 1, 1)));
  AnimateOn();
  ASSERT_TRUE(spun->SetRotation(100, Point3(0, 0, std::numbers::pi_v<float> / 2)));
  AnimateOff();
  const Mesh& turned = static_cast<TriObject*>(spun->EvalWorldState(100).obj)->GetMesh();
  ExpectNear(turned.verts[1], Point3(0, 2, 0));
  EXPECT_EQ(spun->EvalWorldState(50).obj->ObjectValidity(50), Interval(50, 50));
  valid = FOREVER;
  spun->GetNodeTM(200, &valid);
  EXPECT_EQ(valid, Interval(100, TIME_PosInfinity));

  // A mirror keeps the faces facing up, so the surface is still seen from above.
  ASSERT_TRUE(spun->SetScale(0, Point3(-1, 1, 1)));
  const Mesh& mirrored = static_cast<TriObject*>(spun->EvalWorldState(0).obj)->GetMesh();
  for (const Face& f : mirrored.faces) {
    const Point3 n =
        CrossProd(mirrored.verts[f.v[1]] - mirrored.verts[f.v[0]], mirrored.verts[f.v[2]] - mirrored.verts[f.v[0]]);
    EXPECT_GT(n.z, 0.0f);
  }

  // Numbers that are not finite are refused and change nothing.
  const int before = watcher.changes;
  EXPECT_FALSE(node->SetPosition(0, Point3(std::nanf(""), 0, 0)));
  EXPECT_FALSE(node->SetScale(0, Point3(1, INFINITY, 1)));
  EXPECT_EQ(watcher.changes, before);
  EXPECT_EQ(node->ScaleTrack().value, Point3(1, 1, 1));
  watcher.ReplaceReference(0, nullptr, FALSE);
}

TEST_F(SceneTest, MovedNodesConvertTheirObjectsAndLeaveTheRestAsTheyAre) {
  // A plane converts to a mesh, which is moved; the converted copy is the node's business.
  INode* plane = scene.CreateObjectNode(new PlaneObject(2.0f, 2.0f, 1));
  ASSERT_TRUE(plane->SetPosition(0, Point3(0, 0, 3)));
  Object* world = plane->EvalWorldState(0).obj;
  ASSERT_TRUE(world->IsSubClassOf(triObjectClassID));
  for (const Point3& p : static_cast<TriObject*>(world)->GetMesh().verts) EXPECT_EQ(p.z, 3.0f);
  // Asking again at another time gives a mesh for that time (the node keeps one at a time).
  EXPECT_EQ(static_cast<TriObject*>(plane->EvalWorldState(10).obj)->GetMesh().getNumVerts(), 4);

  // A point has no surface to move: it is given as it is.
  auto* point = new PointHelperObject();
  INode* helper = scene.CreateObjectNode(point);
  ASSERT_TRUE(helper->SetPosition(0, Point3(1, 2, 3)));
  EXPECT_EQ(helper->EvalWorldState(0).obj, point);
}

}  // namespace
