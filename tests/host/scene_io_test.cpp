// Whole scenes through the module the loader opened: saved, loaded back equal, and refused
// whole when damaged.
#include "host/scene_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "host/param_block.h"
#include "host/plugin_loader.h"
#include "host/scene.h"
#include "host/uvgen.h"
#include "tests/support/mesh_builders.h"

namespace fs = std::filesystem;

namespace {

const Class_ID kMapClass(0x3ba26d33, 0x4029d4f7);

class SceneIoTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(loader_.LoadFolder(VELDMAP_PLUGIN_DIR).empty());
    factory_.create = [this](SClass_ID super, const Class_ID& id) -> ReferenceTarget* {
      void* made = loader_.CreateInstance(super, id, TRUE);
      return made == nullptr ? nullptr : dynamic_cast<ReferenceTarget*>(static_cast<Animatable*>(made));
    };
    factory_.blockDesc = [this](SClass_ID super, const Class_ID& id, BlockID block) -> ParamBlockDesc2* {
      auto* desc = dynamic_cast<ClassDesc2*>(loader_.FindClass(super, id));
      return desc == nullptr ? nullptr : desc->GetParamBlockDescByID(block);
    };
    path_ = (fs::temp_directory_path() / ("scene_io_" + std::to_string(::getpid()) + ".vlds")).string();
  }
  void TearDown() override {
    GetCOREInterface()->ResetScene();
    fs::remove(path_);
  }

  Texmap* NewMap() {
    void* made = loader_.CreateInstance(TEXMAP_CLASS_ID, kMapClass);
    return dynamic_cast<Texmap*>(static_cast<Animatable*>(made));
  }

  PluginLoader loader_;
  SceneClassFactory factory_;
  std::string path_;
};

TEST_F(SceneIoTest, MapNodeAndSettingsComeBackAndDamageIsRefusedWhole) {
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = GridTerrain(3, 5);
  INode* node = GetCOREInterface()->CreateObjectNode(object);
  node->SetName("terrain");
  Texmap* map = NewMap();
  IParamBlock2* pb = map->GetParamBlock(0);
  ASSERT_TRUE(pb->SetValue(0, 0, node));
  ASSERT_TRUE(pb->SetValue(9, 0, 8));
  ASSERT_TRUE(pb->SetValue(3, 0, 0.25f));
  map->GetTheUVGen()->SetUTiling(3.0f);
  GetCOREInterface()->SetTime(960);
  std::string error;
  ASSERT_EQ(SaveScene(path_, {map}, &error), IO_OK) << error;
  map->DeleteThis();
  GetCOREInterface()->ResetScene();

  std::vector<ReferenceTarget*> roots;
  ASSERT_EQ(LoadScene(path_, factory_, &roots, &error), IO_OK) << error;
  ASSERT_EQ(roots.size(), 1u);
  auto* loaded = dynamic_cast<Texmap*>(roots[0]);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(GetCOREInterface()->GetTime(), 960);
  ASSERT_EQ(GetCOREInterface()->Nodes().size(), 1u);
  INode* loadedNode = GetCOREInterface()->Nodes()[0];
  EXPECT_STREQ(loadedNode->GetName(), "terrain");
  EXPECT_EQ(static_cast<TriObject*>(loadedNode->GetObjectRef())->GetMesh(), GridTerrain(3, 5));
  INode* picked = nullptr;
  Interval ignore = FOREVER;
  loaded->GetParamBlock(0)->GetValue(0, 0, picked, ignore);
  EXPECT_EQ(picked, loadedNode);
  EXPECT_EQ(loaded->GetParamBlock(0)->GetInt(9), 8);
  EXPECT_EQ(loaded->GetParamBlock(0)->GetFloat(3), 0.25f);
  EXPECT_EQ(loaded->GetTheUVGen()->GetUTiling(), 3.0f);
  loaded->DeleteThis();
  GetCOREInterface()->ResetScene();

  // Every truncation and a flipped byte at every position: refused or loaded, never a crash,
  // and a refused scene adds nothing.
  std::ifstream in(path_, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int refused = 0;
  auto attempt = [&](const std::vector<char>& damaged) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
    std::vector<ReferenceTarget*> got;
    if (LoadScene(path_, factory_, &got, &error) != IO_OK) {
      ++refused;
      EXPECT_TRUE(GetCOREInterface()->Nodes().empty());
      EXPECT_NE(error.find(path_), std::string::npos) << error;
    }
    for (ReferenceTarget* root : got) root->DeleteThis();
    GetCOREInterface()->ResetScene();
  };
  for (std::size_t cut = 0; cut < bytes.size(); cut += 3) {
    attempt(std::vector<char>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
  }
  for (std::size_t at = 0; at < bytes.size(); at += 2) {
    std::vector<char> flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
    attempt(flipped);
  }
  EXPECT_GT(refused, static_cast<int>(bytes.size() / 3));
}

TEST_F(SceneIoTest, ReferencesOfTheWrongKindAreRefused) {
  // A node's object slot holding the map, written by hand through the saver's own format: save a
  // scene, then swap the node's reference for the map's index.
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = SquareAt(0, 0, 1, 1, 0);
  GetCOREInterface()->CreateObjectNode(object);
  Texmap* map = NewMap();
  std::string error;
  ASSERT_EQ(SaveScene(path_, {map}, &error), IO_OK);
  map->DeleteThis();
  GetCOREInterface()->ResetScene();
  std::ifstream in(path_, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Objects are saved node first (index 0), its object (1), then the map (2): the node's REFS
  // chunk is the first one, id 0x0013 then an 8-byte length, a count of 1 and index 1.
  const char refs[] = {0x13, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0x01, 0, 0, 0};
  const auto at = std::search(bytes.begin(), bytes.end(), refs, refs + sizeof refs);
  ASSERT_NE(at, bytes.end());
  *(at + 14) = 0x02;
  std::ofstream(path_, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  std::vector<ReferenceTarget*> roots;
  EXPECT_EQ(LoadScene(path_, factory_, &roots, &error), IO_ERROR);
  EXPECT_NE(error.find("cannot hold object 2"), std::string::npos) << error;
  EXPECT_TRUE(GetCOREInterface()->Nodes().empty());
}

TEST_F(SceneIoTest, NodeTransformsAndKeysComeBackAndDamagedKeysAreRefused) {
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = SquareAt(0, 0, 1, 1, 0);
  INode* node = GetCOREInterface()->CreateObjectNode(object);
  node->SetName("mover");
  ASSERT_TRUE(node->SetScale(0, Point3(2, 2, 1)));
  AnimateOn();
  ASSERT_TRUE(node->SetPosition(160, Point3(1, 2, 3)));
  ASSERT_TRUE(node->SetPosition(320, Point3(-1, 0, 0.5f)));
  ASSERT_TRUE(node->SetRotation(-480, Point3(0.25f, 0, 0)));
  AnimateOff();
  const Point3Track position = node->PositionTrack(), rotation = node->RotationTrack(), scale = node->ScaleTrack();
  std::string error;
  ASSERT_EQ(SaveScene(path_, {}, &error), IO_OK) << error;
  GetCOREInterface()->ResetScene();

  std::vector<ReferenceTarget*> roots;
  ASSERT_EQ(LoadScene(path_, factory_, &roots, &error), IO_OK) << error;
  ASSERT_EQ(GetCOREInterface()->Nodes().size(), 1u);
  INode* loaded = GetCOREInterface()->Nodes()[0];
  EXPECT_STREQ(loaded->GetName(), "mover");
  EXPECT_EQ(loaded->PositionTrack(), position);
  EXPECT_EQ(loaded->RotationTrack(), rotation);
  EXPECT_EQ(loaded->ScaleTrack(), scale);
  EXPECT_EQ(loaded->EvalWorldState(240).obj->ObjectValidity(240), Interval(240, 240));
  GetCOREInterface()->ResetScene();

  // The transform chunk: id 0x0110, an 8-byte length, then the position value and key count.
  std::ifstream in(path_, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const char id[] = {0x10, 0x01};
  auto chunk = std::search(bytes.begin(), bytes.end(), id, id + sizeof id);
  ASSERT_NE(chunk, bytes.end());
  const auto body = static_cast<std::size_t>(chunk - bytes.begin()) + 10;
  auto refused = [&](std::vector<char> damaged, const char* why) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
    std::vector<ReferenceTarget*> got;
    EXPECT_EQ(LoadScene(path_, factory_, &got, &error), IO_ERROR) << why;
    EXPECT_NE(error.find("transform chunk 0x0110"), std::string::npos) << why << ": " << error;
    EXPECT_TRUE(GetCOREInterface()->Nodes().empty()) << why;
    for (ReferenceTarget* root : got) root->DeleteThis();
    GetCOREInterface()->ResetScene();
  };
  std::vector<char> damaged = bytes;
  damaged[body + 12 + 3] = 0x40;  // a position key count far beyond the chunk
  refused(damaged, "key count");
  damaged = bytes;
  damaged[body + 16 + 3] = 0x10;  // the first key's time after the second's
  refused(damaged, "key order");
  damaged = bytes;
  for (int i = 0; i < 4; ++i) damaged[body + static_cast<std::size_t>(i)] = static_cast<char>(i < 2 ? 0 : 0xFF);
  damaged[body + 1] = static_cast<char>(0xC0);  // the position's x a NaN
  refused(damaged, "NaN value");
}

TEST_F(SceneIoTest, ScenesSavedBeforeNodesHadTransformsStillLoad) {
  std::vector<ReferenceTarget*> roots;
  std::string error;
  ASSERT_EQ(LoadScene(VELDMAP_SCENE_BEFORE_TRANSFORMS, factory_, &roots, &error), IO_OK) << error;
  ASSERT_FALSE(GetCOREInterface()->Nodes().empty());
  for (INode* node : GetCOREInterface()->Nodes()) {
    EXPECT_FALSE(node->HasTransform());
    EXPECT_EQ(node->EvalWorldState(0).obj, node->GetObjectRef());
  }
  for (ReferenceTarget* root : roots) root->DeleteThis();
}

}  // namespace
