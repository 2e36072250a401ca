// veldmap info, help and --version: what a file or the module holds, and the map's Help button.
#include <OpenEXR/OpenEXRConfig.h>
#include <assimp/version.h>
#include <fmt/format.h>
#include <oneapi/tbb/version.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "app/commands.h"
#include "app/mesh_frame.h"
#include "app/mesh_io.h"
#include "app/scene_setup.h"
#include "host/plugin_loader.h"
#include "host/scene.h"
#include "host/scene_io.h"
#include "host/win32.h"

namespace fs = std::filesystem;

namespace {

void PrintMesh(const std::string& name, const Mesh& mesh, FaceFacing* total = nullptr) {
  Box3 box;
  bool any = false;
  for (const Point3& p : mesh.verts) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    if (!any) {
      box.pmin = box.pmax = p;
      any = true;
    }
    box.pmin = Point3(std::min(box.pmin.x, p.x), std::min(box.pmin.y, p.y), std::min(box.pmin.z, p.z));
    box.pmax = Point3(std::max(box.pmax.x, p.x), std::max(box.pmax.y, p.y), std::max(box.pmax.z, p.z));
  }
  std::printf("  %s: %d vertices, %d faces%s\n", name.c_str(), mesh.getNumVerts(), mesh.getNumFaces(),
              HasUpwardFace(mesh) ? "" : " (no upward face)");
  if (any) {
    std::printf("    bounds (%g, %g, %g) - (%g, %g, %g)\n", box.pmin.x, box.pmin.y, box.pmin.z, box.pmax.x, box.pmax.y,
                box.pmax.z);
  }
  const FaceFacing facing = CountFacing(mesh);
  std::printf("    faces: %lld up, %lld down (ignored by the map), %lld vertical\n", static_cast<long long>(facing.up),
              static_cast<long long>(facing.down), static_cast<long long>(facing.vertical));
  if (total != nullptr) {
    total->up += facing.up;
    total->down += facing.down;
    total->vertical += facing.vertical;
  }
}

void PrintBlock(IParamBlock2* block, bool values) {
  const ParamBlockDesc2* desc = block != nullptr ? block->GetDesc() : nullptr;
  if (desc == nullptr) return;
  for (int i = 0; i < desc->Count(); ++i) {
    const ParamDef& def = desc->GetParamDef(i);
    std::string value;
    if (values && def.type == TYPE_FLOAT) value = fmt::format(" = {}", block->GetFloat(def.id));
    if (values && (def.type == TYPE_INT || def.type == TYPE_BOOL)) value = fmt::format(" = {}", block->GetInt(def.id));
    if (values && def.IsReference() && (def.flags & P_OWNERS_REF) == 0) {
      ReferenceTarget* target = nullptr;
      Interval ignore = FOREVER;
      block->GetValue(def.id, 0, target, ignore);
      CStr name("none");
      if (auto* node = dynamic_cast<INode*>(target))
        name = CStr(node->GetName());
      else if (target != nullptr)
        target->GetClassName(name);
      value = std::string(" = ") + name.data();
    }
    std::string range;
    if (def.hasRange) {
      range = def.type == TYPE_FLOAT ? fmt::format(" [{} .. {}]", def.rangeLow.f, def.rangeHigh.f)
                                     : fmt::format(" [{} .. {}]", def.rangeLow.i, def.rangeHigh.i);
    }
    std::printf("    %2d %s%s%s\n", def.id, def.internalName.c_str(), value.c_str(), range.c_str());
  }
}

}  // namespace

int Info(const Common& common, const std::string& input, const MeshOptions& meshOptions) {
  std::error_code ec;
  if (!fs::exists(input, ec)) throw BadInput{input + ": no such file"};
  if (fs::path(input).extension() == ".dlt") {
    PluginLoader loader;
    const std::string refused = loader.LoadModule(input);
    if (!refused.empty()) throw BadInput{refused};
    const LoadedModule& module = loader.Modules()[0];
    std::printf("%s: plug-in module \"%s\", interface %s\n", input.c_str(), module.description.c_str(),
                FormatPluginVersion(module.version).c_str());
    for (const ClassEntry& entry : loader.Classes()) {
      const char* name = entry.descriptor->ClassName();
      std::printf("  class %s (%s), super class 0x%X, id 0x%08X,0x%08X\n", name ? name : "?",
                  entry.descriptor->InternalName(), entry.superClassId, entry.classId.PartA(), entry.classId.PartB());
      if (auto* desc2 = dynamic_cast<ClassDesc2*>(entry.descriptor)) {
        for (int b = 0; b < desc2->NumParamBlockDescs(); ++b) {
          ParamBlockDesc2* desc = desc2->GetParamBlockDesc(b);
          std::printf("    parameter block %d \"%s\":\n", desc->ID(), desc->InternalName().c_str());
          for (int i = 0; i < desc->Count(); ++i) {
            const ParamDef& def = desc->GetParamDef(i);
            std::printf("    %2d %s\n", def.id, def.internalName.c_str());
          }
        }
      }
    }
    return kExitOk;
  }
  if (IsSceneFile(input)) {
    Session session;
    OpenSession(session, common, common.program);
    std::string error;
    std::vector<ReferenceTarget*> roots;
    if (LoadScene(input, session.Factory(), &roots, &error) != IO_OK) throw BadInput{error};
    std::printf("%s: scene, %zu node(s), %zu map(s)\n", input.c_str(), GetCOREInterface()->Nodes().size(),
                roots.size());
    for (INode* node : GetCOREInterface()->Nodes()) {
      if (auto* tri = dynamic_cast<TriObject*>(node->EvalWorldState(0).obj)) PrintMesh(node->GetName(), tri->GetMesh());
    }
    for (ReferenceTarget* root : roots) {
      CStr name;
      root->GetClassName(name);
      std::printf("  map %s\n", name.data());
      if (auto* map = dynamic_cast<Texmap*>(root)) {
        PrintBlock(map->GetParamBlock(0), true);
        if (root->ClassID() == kVeldmapClassId) {
          INode* node = nullptr;
          Interval ignore = FOREVER;
          Block(map)->GetValue(ParamByName(Block(map), "node"), 0, node, ignore);
          if (node == nullptr) PrintMesh("baked mesh", MapMesh(map));
        }
      }
    }
    for (ReferenceTarget* root : roots) root->DeleteThis();
    GetCOREInterface()->ResetScene();
    return kExitOk;
  }
  ImportOptions import;
  if (!meshOptions.up.empty()) import.up = meshOptions.up[0];
  import.flat = meshOptions.flat;
  import.node = meshOptions.node;
  const ImportResult result = ImportMesh(input, import);
  if (!result.error.empty()) throw BadInput{result.error};
  std::printf("%s: mesh file, %zu mesh(es), up axis %s, smoothing groups %s\n", input.c_str(), result.meshes.size(),
              result.upAxisUsed.c_str(), result.smoothingFromFile ? "from the file" : "one group for all faces");
  FaceFacing total;
  for (const ImportedMesh& imported : result.meshes) {
    if (meshOptions.orient == "up") {
      // Counted as the map would get them, with how many were turned.
      Mesh mesh = imported.mesh;
      const std::int64_t turned = OrientUp(mesh);
      PrintMesh(imported.name, mesh, &total);
      std::printf("    --orient up turned %lld faces\n", static_cast<long long>(turned));
    } else {
      PrintMesh(imported.name, imported.mesh, &total);
    }
  }
  WarnFacesDown(input, total, common.quiet);
  return kExitOk;
}

int Help(const Common& common) {
  Session session;
  OpenSession(session, common, common.program);
  Texmap* map = session.CreateVeldmap();
  if (map == nullptr) throw BadInput{"the Veldmap class could not make a map"};
  ClearShellExecuteRecord();
  try {
    PressButton(map, "Help");
  } catch (...) {
    map->DeleteThis();
    throw;
  }
  map->DeleteThis();
  const auto record = LastShellExecute();
  if (!record) throw BadInput{"the map's Help button opened nothing"};
  std::printf("The map's help page: http://%s\n(the map asks the system to open it with \"%s\")\n",
              record->parameters.c_str(), record->file.c_str());
  return kExitOk;
}

int Version(const Common& common) {
  std::printf("veldmap %s\n", VELDMAP_VERSION);
  // What it was built with: the headers' versions (assimp has none in its headers, so the one its
  // library says it is).
  std::printf("built with assimp %u.%u.%u, OpenEXR %s, libpng %s, oneTBB %s\n", aiGetVersionMajor(),
              aiGetVersionMinor(), aiGetVersionPatch(), OPENEXR_VERSION_STRING, PNG_LIBPNG_VER_STRING,
              TBB_VERSION_STRING);
  Session session;
  OpenSession(session, common, common.program);
  for (const LoadedModule& module : session.Loader().Modules()) {
    std::printf("%s: \"%s\", LibVersion %s\n", module.file.filename().string().c_str(), module.description.c_str(),
                FormatPluginVersion(module.version).c_str());
  }
  return kExitOk;
}
