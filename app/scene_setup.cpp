#include "app/scene_setup.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <utility>
#include <vector>

#include "app/mesh_io.h"
#include "app/outputs.h"
#include "app/ramps.h"
#include "host/bitmap.h"
#include "host/mtl_params.h"
#include "host/scene.h"
#include "host/scene_io.h"
#include "host/uvgen.h"

namespace fs = std::filesystem;

void OpenSession(Session& session, const Common& common, const char* program) {
  std::string error;
  if (!session.Open(common.plugins.empty() ? DefaultPluginDir(program) : fs::path(common.plugins), &error)) {
    throw BadInput{error};
  }
}

MapGuard::~MapGuard() {
  map_->DeleteThis();
  GetCOREInterface()->ResetScene();
}

bool IsSceneFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  return in.read(magic, 4) && std::equal(magic, magic + 4, kSceneFileMagic);
}

Mesh ImportOne(const std::string& path, const MeshOptions& options, std::string* upUsed, Winding* winding) {
  ImportOptions import;
  if (!options.up.empty()) import.up = options.up[0];
  import.flat = options.flat;
  import.node = options.node;
  ImportResult result = ImportMesh(path, import);
  if (!result.error.empty()) throw BadInput{result.error};
  if (result.meshes.empty()) throw BadInput{path + ": no meshes"};
  // The one mesh is moved out rather than copied: a large mesh is held once at a time.
  Mesh mesh = result.meshes.size() == 1 ? std::move(result.meshes[0].mesh) : MergeMeshes(result.meshes);
  Winding found;
  if (options.orient == "up") {
    found.turned = OrientUp(mesh);
    found.orientedUp = true;
  }
  found.facing = CountFacing(mesh);
  if (!HasUpwardFace(mesh)) {
    throw BadInput{path + ": no face of the mesh faces up (+Z), so nothing can be seen from above; try --up" +
                   (found.facing.down > 0 ? std::string(" or --orient up") : std::string())};
  }
  if (upUsed != nullptr) *upUsed = result.upAxisUsed;
  if (winding != nullptr) *winding = found;
  return mesh;
}

void WarnFacesDown(const std::string& input, const FaceFacing& facing, bool quiet) {
  if (quiet || !FacesDownNoticeable(facing)) return;
  std::fprintf(stderr,
               "veldmap: warning: %s: %lld of %lld non-vertical faces (%.1f%%) face down and are ignored by the map "
               "(mixed winding, or a closed mesh's underside; --orient up turns them up)\n",
               input.c_str(), static_cast<long long>(facing.down), static_cast<long long>(facing.NonVertical()),
               100.0 * static_cast<double>(facing.down) / static_cast<double>(facing.NonVertical()));
}

INode* AddMeshNode(Mesh mesh, const std::string& name) {
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = std::move(mesh);
  INode* node = GetCOREInterface()->CreateObjectNode(object);
  CStr unique(name.c_str());
  GetCOREInterface()->MakeNameUnique(unique);
  node->SetName(unique.data());
  return node;
}

IParamBlock2* Block(Texmap* map) {
  IParamBlock2* block = map->GetParamBlock(0);
  if (block == nullptr) throw BadInput{"the Veldmap map has no parameter block"};
  return block;
}

namespace {

void Set(IParamBlock2* block, const char* name, float value) {
  if (!SetParam(block, name, value)) throw BadInput{fmt::format("the map refused {} = {}", name, value)};
}

// The block clamps a value to its parameter's range, as a spinner does; a command line says so
// instead, with the range, rather than render something other than what was asked.
void SetInRange(IParamBlock2* block, const char* option, const char* name, float value) {
  const ParamDef* def = block->GetDesc()->FindParam(ParamByName(block, name));
  if (!std::isfinite(value)) throw UsageError{fmt::format("{} {}: not a number", option, value)};
  if (def != nullptr && def->hasRange && def->type == TYPE_FLOAT &&
      !(value >= def->rangeLow.f && value <= def->rangeHigh.f)) {
    throw UsageError{
        fmt::format("{} {}: outside the range {} .. {}", option, value, def->rangeLow.f, def->rangeHigh.f)};
  }
  Set(block, name, value);
}

Texmap* FindVeldmap(const std::vector<ReferenceTarget*>& roots) {
  for (ReferenceTarget* root : roots) {
    if (root->ClassID() == kVeldmapClassId) return dynamic_cast<Texmap*>(root);
  }
  return nullptr;
}

}  // namespace

void ApplyMapOptions(Texmap* map, const MapOptions& o, Tiling tiling) {
  IParamBlock2* block = Block(map);
  if (o.uOffset) SetInRange(block, "--u-offset", "uOffset", *o.uOffset);
  if (o.vOffset) SetInRange(block, "--v-offset", "vOffset", *o.vOffset);
  if (o.uScale) SetInRange(block, "--u-scale", "uScale", *o.uScale);
  if (o.vScale) SetInRange(block, "--v-scale", "vScale", *o.vScale);
  if (o.depth) Set(block, "quadTreeDepth", static_cast<float>(*o.depth));
  if (o.noNormalize) Set(block, "normalizeMesh", 0);
  if (o.affectAlpha) Set(block, "affectAlpha", 1);
  if (o.bump == BumpName(Bump::Numerical)) Set(block, "useNormals", 0);
  if (o.bump == BumpName(Bump::Normals)) Set(block, "useNormals", 1);

  std::vector<std::pair<const char*, float>> uvValues;
  for (const float value : o.uvOffset) uvValues.emplace_back("--uv-offset", value);
  for (const float value : o.uvTiling) uvValues.emplace_back("--uv-tiling", value);
  if (o.uvAngle) uvValues.emplace_back("--uv-angle", *o.uvAngle);
  for (const auto& [option, value] : uvValues) {
    if (!std::isfinite(value)) throw UsageError{fmt::format("{} {}: not a number", option, value)};
  }

  UVGen* uv = map->GetTheUVGen();
  if (uv != nullptr) {
    if (o.uvOffset.size() == 2) {
      uv->SetUOffset(o.uvOffset[0]);
      uv->SetVOffset(o.uvOffset[1]);
    }
    if (o.uvTiling.size() == 2) {
      uv->SetUTiling(o.uvTiling[0]);
      uv->SetVTiling(o.uvTiling[1]);
    }
    if (o.uvAngle) uv->SetWAngle(*o.uvAngle * std::numbers::pi_v<float> / 180.0f);
    const bool repeat = !o.noWrap && (o.wrap || (tiling == Tiling::SingleImage ? !o.uvTiling.empty() : true));
    if (tiling == Tiling::SingleImage || o.wrap || o.noWrap || o.mirrorU || o.mirrorV) {
      int flags = repeat ? (U_WRAP | V_WRAP) : 0;
      if (o.mirrorU) flags |= U_MIRROR;
      if (o.mirrorV) flags |= V_MIRROR;
      uv->SetTextureTiling(flags);
    }
  }

  if (!o.ramp.empty()) {
    Texmap* ramp = nullptr;
    std::error_code ec;
    if (fs::is_regular_file(o.ramp, ec)) {
      auto* bitmap = new BitmapMap();
      std::string error;
      if (!bitmap->LoadImage(o.ramp, &error)) {
        bitmap->DeleteThis();
        throw BadInput{error};
      }
      ramp = bitmap;
    } else {
      std::string error;
      const auto stops = ParseGradient(o.ramp, &error);
      if (!stops) throw BadInput{error};
      ramp = new GradientMap(*stops);
    }
    map->SetSubTexmap(0, ramp);
    if (map->GetSubTexmap(0) != ramp) {
      ramp->DeleteThis();
      throw BadInput{"the map refused the colour ramp"};
    }
    Set(block, "colorRamp", 1);
  }
}

void SetPlacement(Texmap* map, const Placement& placement, const char* option) {
  IParamBlock2* block = Block(map);
  SetInRange(block, option, "uOffset", placement.uOffset);
  SetInRange(block, option, "vOffset", placement.vOffset);
  SetInRange(block, option, "uScale", placement.uScale);
  SetInRange(block, option, "vScale", placement.vScale);
}

UvFrame GeneratorFrame(Texmap* map) {
  UvFrame frame;
  if (UVGen* uv = map->GetTheUVGen()) {
    frame.uOffset = uv->GetUOffset();
    frame.vOffset = uv->GetVOffset();
    frame.uTiling = uv->GetUTiling();
    frame.vTiling = uv->GetVTiling();
    frame.angle = uv->GetWAngle();
    frame.tilingFlags = uv->GetTextureTiling();
  }
  return frame;
}

void PressButton(Texmap* map, const std::string& caption, INode* pick) {
  MaterialEditor editor;
  ParamDlg* dlg = map->CreateParamDlg(GetCOREInterface()->GetMAXHWnd(), &editor);
  auto* master = dynamic_cast<IAutoMParamDlg*>(dlg);
  bool pressed = false;
  if (master != nullptr && master->NumMaps() > 0) {
    IParamMap2* rollout = master->GetMap(0);
    for (const ParamControl& control : rollout->Controls()) {
      if (pick != nullptr && control.param >= 0) {
        const ParamDef* def = rollout->GetDesc()->FindParam(control.param);
        if (def != nullptr && def->type == TYPE_INODE) rollout->PickNode(control.id, pick);
      }
    }
    for (const ParamControl& control : rollout->Controls()) {
      if (control.caption == caption) pressed = rollout->ClickButton(control.id);
    }
  }
  if (dlg != nullptr) dlg->DeleteThis();
  if (!pressed) throw BadInput{"the map's rollout has no usable \"" + caption + "\" button"};
}

Mesh MapMesh(Texmap* map) {
  INode* node = nullptr;
  Interval ignore = FOREVER;
  Block(map)->GetValue(ParamByName(Block(map), "node"), 0, node, ignore);
  if (node != nullptr) {
    auto* tri = dynamic_cast<TriObject*>(node->EvalWorldState(0).obj);
    return tri != nullptr ? tri->GetMesh() : Mesh();
  }
  const std::vector<INode*> before = GetCOREInterface()->Nodes();
  PressButton(map, "Export Mesh");
  Mesh mesh;
  for (INode* n : std::vector<INode*>(GetCOREInterface()->Nodes())) {
    if (std::find(before.begin(), before.end(), n) != before.end()) continue;
    if (auto* tri = dynamic_cast<TriObject*>(n->EvalWorldState(0).obj)) mesh = tri->GetMesh();
    n->DeleteThis();
  }
  return mesh;
}

Loaded LoadInput(Session& session, const std::string& path, const MeshOptions& meshOptions) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw BadInput{path + ": no such file"};
  Loaded loaded;
  if (IsSceneFile(path)) {
    if (meshOptions.orient == "up") {
      throw UsageError{path +
                       ": --orient up turns a mesh file's faces; a scene's map keeps the mesh it holds "
                       "(bake the mesh again with --orient up)"};
    }
    std::vector<ReferenceTarget*> roots;
    std::string error;
    if (LoadScene(path, session.Factory(), &roots, &error) != IO_OK) throw BadInput{error};
    loaded.map = FindVeldmap(roots);
    for (ReferenceTarget* root : roots) {
      if (root != loaded.map) root->DeleteThis();
    }
    if (loaded.map == nullptr) throw BadInput{path + ": the scene holds no Veldmap map"};
    loaded.exported = MapMesh(loaded.map);
    loaded.winding.facing = CountFacing(loaded.exported);
    return loaded;
  }
  // The imported mesh goes into the node whole; the command reads it there afterwards.
  INode* node =
      AddMeshNode(ImportOne(path, meshOptions, &loaded.upAxis, &loaded.winding), fs::path(path).stem().string());
  if (auto* tri = dynamic_cast<TriObject*>(node->GetObjectRef())) loaded.nodeMesh = &tri->GetMesh();
  loaded.map = session.CreateVeldmap();
  if (loaded.map == nullptr) throw BadInput{"the Veldmap class could not make a map"};
  if (!Block(loaded.map)->SetValue(ParamByName(Block(loaded.map), "node"), 0, node)) {
    throw BadInput{"the map refused the node"};
  }
  return loaded;
}

void CheckQuadtreeBudget(Texmap* map, const Mesh& mesh, const std::string& input, TimeValue t) {
  int depth = 6;
  const Placement placement = BlockPlacement(Block(map), t, &depth);
  const std::string problem = IndexBudgetProblem(mesh, placement, depth);
  if (!problem.empty()) throw BadInput{input + ": " + problem};
}

std::string ParamSummary(Texmap* map) {
  IParamBlock2* block = Block(map);
  std::string text;
  const ParamBlockDesc2* desc = block->GetDesc();
  for (int i = 0; i < desc->Count(); ++i) {
    const ParamDef& def = desc->GetParamDef(i);
    if (!def.IsNumber()) continue;
    if (!text.empty()) text += " ";
    if (def.type == TYPE_FLOAT) {
      text += fmt::format("{}={}", def.internalName, block->GetFloat(def.id));
    } else {
      text += fmt::format("{}={}", def.internalName, block->GetInt(def.id));
    }
  }
  if (UVGen* uv = map->GetTheUVGen()) {
    text += fmt::format(" uv.offset={},{} uv.tiling={},{} uv.angle={} uv.flags={}", uv->GetUOffset(), uv->GetVOffset(),
                        uv->GetUTiling(), uv->GetVTiling(), uv->GetWAngle(), uv->GetTextureTiling());
  }
  return text;
}
