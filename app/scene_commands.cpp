// veldmap bake and export: a mesh into a map saved as a scene, and a scene's baked mesh back out.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "app/commands.h"
#include "app/mesh_io.h"
#include "app/output_files.h"
#include "app/scene_setup.h"
#include "host/scene.h"
#include "host/scene_io.h"

namespace fs = std::filesystem;

int Bake(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
         const std::string& output) {
  CheckWritable(output, "scene");
  Session session;
  OpenSession(session, common, common.program);
  std::string error;
  if (IsSceneFile(input)) throw BadInput{input + ": already a scene; bake takes a mesh file"};
  Winding winding;
  INode* node = AddMeshNode(ImportOne(input, meshOptions, nullptr, &winding), fs::path(input).stem().string());
  WarnFacesDown(input, winding.facing, common.quiet);
  Texmap* map = session.CreateVeldmap();
  if (map == nullptr) throw BadInput{"the Veldmap class could not make a map"};
  MapGuard guard(map);
  ApplyMapOptions(map, mapOptions, Tiling::AsStored);
  PressButton(map, "Bake Object into Texture", node);
  // The map holds its own copy now; the scene keeps only what the map needs.
  node->DeleteThis();
  if (SaveScene(output, {map}, &error) != IO_OK) throw BadInput{error};
  if (!common.quiet) std::fprintf(stderr, "baked %s into %s\n", input.c_str(), output.c_str());
  return kExitOk;
}

int Export(const Common& common, const std::string& input, const std::string& output) {
  CheckWritable(output, "mesh file");
  Session session;
  OpenSession(session, common, common.program);
  std::string error;
  if (!IsSceneFile(input)) throw BadInput{input + ": not a scene file (make one with veldmap bake)"};
  Loaded loaded = LoadInput(session, input, {});
  MapGuard guard(loaded.map);
  const std::vector<INode*> before = GetCOREInterface()->Nodes();
  PressButton(loaded.map, "Export Mesh");
  INode* exported = nullptr;
  for (INode* n : GetCOREInterface()->Nodes()) {
    if (std::find(before.begin(), before.end(), n) == before.end()) exported = n;
  }
  auto* tri = exported == nullptr ? nullptr : dynamic_cast<TriObject*>(exported->EvalWorldState(0).obj);
  if (tri == nullptr) throw BadInput{"Export Mesh made no mesh"};
  if (tri->GetMesh().getNumFaces() == 0) throw BadInput{input + ": the map holds no baked mesh"};
  if (!ExportMesh(output, tri->GetMesh(), exported->GetName(), &error)) throw BadInput{error};
  if (!common.quiet) {
    std::fprintf(stderr, "exported %s (%d faces) to %s\n", exported->GetName(), tri->GetMesh().getNumFaces(),
                 output.c_str());
  }
  return kExitOk;
}
