#include "studio/studio_scene.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>

#include "app/mesh_io.h"
#include "app/outputs.h"
#include "app/ramps.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "host/bitmap.h"
#include "host/scene.h"
#include "host/scene_io.h"
#include "host/uvgen.h"
#include "host/win32.h"
#include "studio/png_bytes.h"
#include "studio/rollout_json.h"
#include "studio/sample_sphere.h"
#include "studio/server_timing.h"
#include "studio/studio_error.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool IsSceneFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  return in.read(magic, 4) && std::equal(magic, magic + 4, kSceneFileMagic);
}

json NodeJson(INode* node) {
  json n = {{"name", node->GetName()}};
  Object* object = node->EvalWorldState(GetCOREInterface()->GetTime()).obj;
  auto* tri = dynamic_cast<TriObject*>(object);
  if (tri == nullptr) {
    n["faces"] = 0;
    n["vertices"] = 0;
    return n;
  }
  const Mesh& mesh = tri->GetMesh();
  n["faces"] = mesh.getNumFaces();
  n["vertices"] = mesh.getNumVerts();
  float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
  bool any = false;
  for (const Point3& p : mesh.verts) {
    const float c[3] = {p.x, p.y, p.z};
    if (!std::isfinite(c[0]) || !std::isfinite(c[1]) || !std::isfinite(c[2])) continue;
    for (int k = 0; k < 3; ++k) {
      lo[k] = any ? std::min(lo[k], c[k]) : c[k];
      hi[k] = any ? std::max(hi[k], c[k]) : c[k];
    }
    any = true;
  }
  if (any) n["bounds"] = {{"min", {lo[0], lo[1], lo[2]}}, {"max", {hi[0], hi[1], hi[2]}}};
  return n;
}

// The host's animate mode for the length of one user edit, put back as it was afterwards (also
// when the edit throws), so nothing else the host does meanwhile sets keys.
class AnimateModeScope {
 public:
  explicit AnimateModeScope(bool on) : previous_(Animating()) { Set(on); }
  ~AnimateModeScope() { Set(previous_); }
  AnimateModeScope(const AnimateModeScope&) = delete;
  AnimateModeScope& operator=(const AnimateModeScope&) = delete;

 private:
  static void Set(bool on) {
    if (on) {
      AnimateOn();
    } else {
      AnimateOff();
    }
  }
  bool previous_;
};

IParamBlock2* BlockOf(Texmap* map) {
  IParamBlock2* block = map->GetParamBlock(0);
  if (block == nullptr) throw StudioError(500, "the map has no parameter block");
  return block;
}

}  // namespace

StudioScene::StudioScene(const fs::path& pluginDir, PathPolicy paths, std::uint64_t indexBudgetBytes)
    : paths_(std::move(paths)), indexBudget_(indexBudgetBytes != 0 ? indexBudgetBytes : MaxIndexBytes()) {
  std::string error;
  if (!session_.Open(pluginDir, &error)) throw StudioError(500, error);
  // One clock for the editor and the scene (a scene of an earlier studio in this process may
  // have left the scene's elsewhere).
  GetCOREInterface()->SetTime(editor_.time);
}

StudioScene::~StudioScene() {
  CloseRollout();
  for (const MapEntry& entry : maps_) entry.map->DeleteThis();
  maps_.clear();
  GetCOREInterface()->ResetScene();
}

int StudioScene::AddMap(Texmap* map) {
  const int id = nextMapId_++;
  maps_.push_back({id, map});
  return id;
}

Texmap* StudioScene::FindMap(int mapId) const {
  for (const MapEntry& entry : maps_) {
    if (entry.id == mapId) return entry.map;
  }
  throw StudioError(404, "no map " + std::to_string(mapId));
}

void StudioScene::CloseRollout() {
  if (dialog_ != nullptr) dialog_->DeleteThis();
  dialog_ = nullptr;
  editedMap_ = 0;
}

IParamMap2* StudioScene::Edit(int mapId) {
  Texmap* map = FindMap(mapId);
  if (editedMap_ != mapId || dialog_ == nullptr) {
    CloseRollout();
    dialog_ = map->CreateParamDlg(GetCOREInterface()->GetMAXHWnd(), &editor_);
    editedMap_ = mapId;
  }
  auto* master = dynamic_cast<IAutoMParamDlg*>(dialog_);
  if (master == nullptr || master->NumMaps() == 0) throw StudioError(500, "the map opened no parameter rollout");
  return master->GetMap(0);
}

json StudioScene::Scene() const {
  json nodes = json::array();
  for (INode* node : GetCOREInterface()->Nodes()) nodes.push_back(NodeJson(node));
  json maps = json::array();
  for (const MapEntry& entry : maps_) {
    IParamBlock2* block = BlockOf(entry.map);
    INode* node = nullptr;
    Interval valid = FOREVER;
    block->GetValue(ParamByName(block, "node"), editor_.time, node, valid);
    CStr className;
    entry.map->GetClassName(className);
    maps.push_back({{"id", entry.id},
                    {"name", entry.map->GetName().data()},
                    {"class", className.data()},
                    {"node", node == nullptr ? json(nullptr) : json(node->GetName())},
                    {"edited", entry.id == editedMap_}});
  }
  json roots = json::array();
  for (const fs::path& root : paths_.Roots()) roots.push_back(root.string());
  json file = nullptr;
  if (sceneFile_) file = paths_.RelativeName(*sceneFile_).value_or(sceneFile_->filename().string());
  return {{"nodes", nodes}, {"maps", maps}, {"file", file}, {"roots", roots}, {"time", editor_.time}};
}

void StudioScene::OpenMesh(const fs::path& file) {
  ImportResult result = ImportMesh(file.string(), ImportOptions{});
  const std::string shown = paths_.RelativeName(file).value_or(file.filename().string());
  if (!result.error.empty() || result.meshes.empty()) {
    // The importer names the absolute path; the page only knows the relative one.
    throw StudioError(422, shown + ": " + (result.error.empty() ? "no meshes" : "not a mesh this host can read"));
  }
  Mesh mesh = result.meshes.size() == 1 ? std::move(result.meshes[0].mesh) : MergeMeshes(result.meshes);
  if (!HasUpwardFace(mesh)) throw StudioError(422, shown + ": no face of the mesh faces up (+Z)");
  INode* node = AddMeshNode(std::move(mesh), file.stem().string());
  if (!maps_.empty()) return;
  Texmap* map = session_.CreateVeldmap();
  if (map == nullptr) throw StudioError(500, "the Veldmap class could not make a map");
  IParamBlock2* block = BlockOf(map);
  block->SetValue(ParamByName(block, "node"), 0, node);
  editedMap_ = 0;
  AddMap(map);
}

void StudioScene::OpenScene(const fs::path& file) {
  std::vector<ReferenceTarget*> roots;
  std::string error;
  if (LoadScene(file.string(), session_.Factory(), &roots, &error) != IO_OK) {
    const std::string shown = paths_.RelativeName(file).value_or(file.filename().string());
    // The loader's message starts with the absolute path; keep what follows it.
    const std::string absolute = file.string();
    if (error.rfind(absolute, 0) == 0) error = shown + error.substr(absolute.size());
    throw StudioError(422, error);
  }
  for (ReferenceTarget* root : roots) {
    auto* map = dynamic_cast<Texmap*>(root);
    if (map != nullptr && root->ClassID() == kVeldmapClassId) {
      AddMap(map);
    } else {
      root->DeleteThis();
    }
  }
  sceneFile_ = file;
}

json StudioScene::Open(const std::string& relative) {
  std::string error;
  const std::optional<fs::path> file = paths_.ForReading(relative, &error);
  if (!file) throw StudioError(403, error);
  if (IsSceneFile(*file)) {
    OpenScene(*file);
  } else {
    OpenMesh(*file);
  }
  return Scene();
}

json StudioScene::NewMap() {
  Texmap* map = session_.CreateVeldmap();
  if (map == nullptr) throw StudioError(500, "the Veldmap class could not make a map");
  const int id = AddMap(map);
  Edit(id);
  json scene = Scene();
  scene["created"] = id;
  return scene;
}

json StudioScene::Rollouts(int mapId) {
  IParamMap2* rollout = Edit(mapId);
  json pages = json::array({ParameterPageJson(*rollout)});
  auto* master = dynamic_cast<IAutoMParamDlg*>(dialog_);
  for (int i = 0; i < master->NumDlgs(); ++i) {
    ParamDlg* page = master->GetDlg(i);
    if (page != nullptr && page->GetThing() != nullptr && page->GetThing()->SuperClassID() == UVGEN_CLASS_ID) {
      pages.push_back(CoordinatesPageJson(*page, dynamic_cast<UVGen*>(page->GetThing())));
    }
  }
  return {{"map", mapId}, {"pages", pages}, {"time", Time()}};
}

json StudioScene::SetParam(int mapId, const json& request) {
  IParamMap2* rollout = Edit(mapId);
  const BitmapLoader loadBitmap = [this](const std::string& relative) -> Texmap* {
    std::string error;
    const std::optional<fs::path> file = paths_.ForReading(relative, &error);
    if (!file) throw StudioError(403, error);
    auto* bitmap = new BitmapMap();
    if (!bitmap->LoadImage(file->string(), &error)) {
      bitmap->DeleteThis();
      throw StudioError(422, relative + ": not an image this host can read");
    }
    return bitmap;
  };
  json result;
  {
    const AnimateModeScope animate(autoKey_);
    result = ApplyEdit(*rollout, request, loadBitmap);
  }
  result["rollout"] = Rollouts(mapId);
  return result;
}

json StudioScene::SetCoordinates(int mapId, const json& request) {
  Edit(mapId);
  UVGen* gen = FindMap(mapId)->GetTheUVGen();
  if (gen == nullptr) throw StudioError(404, "the map has no UV generator");
  ApplyCoordinates(*gen, request);
  return Rollouts(mapId);
}

json StudioScene::Command(int mapId, const json& request) {
  IParamMap2* rollout = Edit(mapId);
  const std::vector<INode*> before = GetCOREInterface()->Nodes();
  ClearShellExecuteRecord();
  PressCommand(*rollout, request);
  json result;
  json added = json::array();
  for (INode* node : GetCOREInterface()->Nodes()) {
    if (std::find(before.begin(), before.end(), node) == before.end()) added.push_back(node->GetName());
  }
  result["addedNodes"] = added;
  if (const std::optional<ShellExecuteRecord> shell = LastShellExecute()) {
    result["shellExecute"] = {{"verb", shell->verb}, {"file", shell->file}, {"parameters", shell->parameters}};
    // The module names a web host and a path; the studio serves its own help page at that path,
    // since the user's machine may not reach the host.
    const std::size_t slash = shell->parameters.find('/');
    if (slash != std::string::npos && shell->parameters.find("://") == std::string::npos) {
      result["help"] = {{"moduleAddress", "http://" + shell->parameters},
                        {"localPath", shell->parameters.substr(slash)}};
    }
  }
  result["scene"] = Scene();
  result["rollout"] = Rollouts(mapId);
  return result;
}

json StudioScene::Save(const std::optional<std::string>& relative, std::size_t rootIndex) {
  fs::path target;
  if (relative) {
    std::string error;
    const std::optional<fs::path> file = paths_.ForWriting(*relative, rootIndex, &error);
    if (!file) throw StudioError(403, error);
    target = *file;
  } else if (sceneFile_) {
    target = *sceneFile_;
  } else {
    throw StudioError(409, "the scene has no file yet: save it as a named file first");
  }
  std::vector<ReferenceTarget*> roots;
  for (const MapEntry& entry : maps_) roots.push_back(entry.map);
  std::string error;
  if (SaveScene(target.string(), roots, &error) != IO_OK) throw StudioError(500, "the scene was not saved: " + error);
  sceneFile_ = target;
  return Scene();
}

// Refuses, before the map builds its face index, a picked mesh whose index would not fit the
// memory budget: one spinner click on a large mesh must not exhaust the host's memory. A baked
// map's own mesh is not looked at (the map keeps it to itself).
void StudioScene::CheckQuadtreeBudget(Texmap* map) const {
  PhaseScope phase("check");
  IParamBlock2* block = BlockOf(map);
  const TimeValue t = editor_.time;
  Interval valid = FOREVER;
  INode* node = nullptr;
  block->GetValue(ParamByName(block, "node"), t, node, valid);
  auto* tri = node == nullptr ? nullptr : dynamic_cast<TriObject*>(node->EvalWorldState(t).obj);
  if (tri == nullptr) return;
  int depth = 6;
  const Placement placement = BlockPlacement(block, t, &depth);
  const std::string problem =
      IndexBudgetProblem(tri->GetMesh(), placement, depth, indexBudget_, "set Quad Tree Depth to {}");
  if (!problem.empty()) throw StudioError(422, std::string(node->GetName()) + ": " + problem);
}

std::string StudioScene::SampleSlotPng(int mapId) {
  Texmap* map = FindMap(mapId);
  UpdateForEditorTime(map);
  RenderRequest request;
  request.width = request.height = kSampleSize;
  request.time = editor_.time;
  request.outputs = {FindOutput("color")};
  RenderResult result = [&] {
    PhaseScope phase("render");
    return RenderMap(*map, request, {});
  }();
  return EncodePng(result.images.front());
}

std::string StudioScene::PreviewPng(int mapId) {
  Texmap* map = FindMap(mapId);
  CheckQuadtreeBudget(map);
  ViewportTexHandleMaker viewport(kPreviewSize);
  Interval valid = FOREVER;
  // The map rebuilds itself inside (a full Update), then evaluates the preview's grid.
  BITMAPINFO* dib = [&] {
    PhaseScope phase("preview");
    return map->GetVPDisplayDIB(editor_.time, viewport, valid, FALSE, 0, 0);
  }();
  if (dib == nullptr) throw StudioError(500, "the map made no preview");
  Image image = DibToImage(dib);
  FreeDIB(dib);
  return EncodePng(image);
}

// ---- Time and Auto Key ----------------------------------------------------------------------

// A map that changes notifies its dependents and drops its validity, and one that holds the
// same over an interval (nothing keyed, or between equal keys) keeps it: only a map whose
// validity misses the editor's time is rebuilt, as a host does before it renders. The page asks
// for the preview first, whose GetVPDisplayDIB has just updated the map, so the sample slot's
// images usually find it current and need neither the budget check nor a rebuild.
void StudioScene::UpdateForEditorTime(Texmap* map) {
  if (map->Validity(editor_.time).InInterval(editor_.time)) return;
  CheckQuadtreeBudget(map);
  PhaseScope phase("update");
  Interval valid = FOREVER;
  map->Update(editor_.time, valid);
}

json StudioScene::Time() const {
  return {{"frame", editor_.time / kTicksPerFrame},
          {"ticks", editor_.time},
          {"ticksPerFrame", kTicksPerFrame},
          {"lastFrame", kLastFrame},
          {"autoKey", autoKey_}};
}

json StudioScene::SetTime(const json& request) {
  if (!request.is_object() || !request.contains("frame") || !request["frame"].is_number_integer() ||
      request["frame"].get<long long>() < 0 || request["frame"].get<long long>() > kLastFrame) {
    throw StudioError(400, "expected {\"frame\": an integer from 0 to " + std::to_string(kLastFrame) + "}");
  }
  const TimeValue t = static_cast<TimeValue>(request["frame"].get<int>()) * kTicksPerFrame;
  editor_.time = t;
  GetCOREInterface()->SetTime(t);
  // The open rollout shows the values at the new time.
  if (dialog_ != nullptr) dialog_->SetTime(t);
  return Time();
}

json StudioScene::SetAutoKey(const json& request) {
  if (!request.is_object() || !request.contains("on") || !request["on"].is_boolean()) {
    throw StudioError(400, "expected {\"on\": true or false}");
  }
  autoKey_ = request["on"].get<bool>();
  return Time();
}

std::string StudioScene::SampleSpherePng(int mapId) {
  Texmap* map = FindMap(mapId);
  UpdateForEditorTime(map);
  SampleSphereOptions options;
  options.size = kSampleSize;
  options.time = editor_.time;
  return EncodePng(RenderSampleSphere(*map, options));
}

StudioScene::RenderSnapshot StudioScene::SnapshotForRender(int mapId) {
  Texmap* map = FindMap(mapId);
  CheckQuadtreeBudget(map);
  RenderSnapshot snapshot;
  snapshot.time = editor_.time;
  IParamBlock2* block = BlockOf(map);
  Interval valid = FOREVER;
  INode* node = nullptr;
  block->GetValue(ParamByName(block, "node"), snapshot.time, node, valid);
  if (auto* tri = node == nullptr ? nullptr : dynamic_cast<TriObject*>(node->EvalWorldState(snapshot.time).obj)) {
    snapshot.zRange = ZRange(tri->GetMesh());
    snapshot.extent = XYExtent(tri->GetMesh());
    snapshot.facing = CountFacing(tri->GetMesh());
  }
  if (sceneFile_) {
    snapshot.source = paths_.RelativeName(*sceneFile_).value_or(sceneFile_->filename().string());
  } else {
    snapshot.source = node != nullptr ? std::string(node->GetName()) : "map " + std::to_string(mapId);
  }
  RemapDir remap;
  ReferenceTarget* copy = remap.CloneRef(map);
  snapshot.map = dynamic_cast<Texmap*>(copy);
  if (snapshot.map == nullptr) {
    if (copy != nullptr) copy->DeleteThis();
    throw StudioError(500, "the map could not be copied for the render");
  }
  return snapshot;
}
