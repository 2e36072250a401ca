// The map as the command-line host drives it: created by class ID from the module the loader
// opened, reached only through the host's interfaces, its answers compared with a sampler of
// our own built from the same mesh.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/chunk_io.h"
#include "host/mtl_base.h"
#include "host/mtl_params.h"
#include "host/param_block.h"
#include "host/plugin_loader.h"
#include "host/scene.h"
#include "host/uvgen.h"
#include "sampler/surface_sampler.h"
#include "tests/support/mesh_builders.h"
#include "tests/support/uv_shade_context.h"

namespace {

const Class_ID kMapClass(0x3ba26d33, 0x4029d4f7);
enum : ParamID { kNode = 0, kDepth = 9, kUseNormals = 11 };

Texmap* CreateMap(const PluginLoader& loader) {
  void* made = loader.CreateInstance(TEXMAP_CLASS_ID, kMapClass);
  return made == nullptr ? nullptr : dynamic_cast<Texmap*>(static_cast<Animatable*>(made));
}

TEST(MapThroughLoader, PickedMeshRendersAsTheSamplerSaysAndSurvivesBakeAndLoad) {
  PluginLoader loader;
  ASSERT_TRUE(loader.LoadFolder(VELDMAP_PLUGIN_DIR).empty());
  Texmap* map = CreateMap(loader);
  ASSERT_NE(map, nullptr);
  IParamBlock2* pb = map->GetParamBlock(0);
  ASSERT_NE(pb, nullptr);
  ASSERT_NE(map->GetTheUVGen(), nullptr);

  const Mesh terrain = GridTerrain(11, 17);
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = terrain;
  INode* node = GetCOREInterface()->CreateObjectNode(object);
  ASSERT_TRUE(pb->SetValue(kNode, 0, node));
  ASSERT_TRUE(pb->SetValue(kDepth, 0, 8));
  Interval valid = NEVER;
  map->Update(0, valid);
  EXPECT_EQ(valid, FOREVER);

  SurfaceSampler expected;
  expected.quadTreeDepth = 8;
  expected.Rebuild(terrain);
  UVContext sc;
  for (int i = 0; i < 200; ++i) {
    const float u = static_cast<float>(i % 20) / 20.0f + 0.01f;
    const int row = i / 20;
    const float v = static_cast<float>(row) / 10.0f + 0.02f;
    sc.uvw = Point3(u, v, 0);
    const float h = expected.FilteredHeight(u, v, 0, 0);
    EXPECT_EQ(map->EvalMono(sc), h) << u << "," << v;
    EXPECT_EQ(map->EvalColor(sc).g, h);
    sc.dPdu = Point3(1, 0, 0);
    sc.dPdv = Point3(0, 1, 0);
    Point3 n;
    const bool found = expected.NormalAt(Point3(u, v, 0), n);
    EXPECT_EQ(map->EvalNormalPerturb(sc), found ? Point3(n.x, n.y, 0) : Point3(0, 0, 0));
  }

  // Bake through the rollout's dialog procedure, then save the map's record and load it into a
  // fresh map: it renders the same without the node.
  MaterialEditor editor;
  ParamDlg* dlg = map->CreateParamDlg(nullptr, &editor);
  auto* master = dynamic_cast<IAutoMParamDlg*>(dlg);
  ASSERT_NE(master, nullptr);
  master->GetMap(0)->SendDlgMessage(WM_COMMAND, MAKEWPARAM(1102, 0), 0);
  dlg->DeleteThis();
  INode* picked = node;
  Interval ignore = FOREVER;
  pb->GetValue(kNode, 0, picked, ignore);
  EXPECT_EQ(picked, nullptr);

  MemorySave save;
  save.BeginChunk(0x7000);
  ASSERT_EQ(map->Save(&save), IO_OK);
  save.EndChunk();
  Texmap* loaded = CreateMap(loader);
  ASSERT_NE(loaded, nullptr);
  MemoryLoad load(save.Bytes().data(), save.Bytes().size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  ASSERT_EQ(loaded->Load(&load), IO_OK);
  loaded->GetParamBlock(0)->SetValue(kDepth, 0, 8);
  GetCOREInterface()->ResetScene();  // the node is gone
  loaded->Update(0, valid);
  sc.uvw = Point3(0.37f, 0.61f, 0);
  EXPECT_EQ(loaded->EvalMono(sc), expected.FilteredHeight(0.37f, 0.61f, 0, 0));

  loaded->DeleteThis();
  map->DeleteThis();
}

}  // namespace
