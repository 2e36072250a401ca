// The veldmap commands. Each one works as a user of the host application would: the map is made
// through its class descriptor, its parameters set in its block, its rollout buttons pressed
// through the rollout's dialog procedure, and its images rendered through its own evaluation.
#include "app/commands.h"

#include <fmt/format.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <set>
#include <sstream>

#include "app/image_io.h"
#include "app/mesh_io.h"
#include "app/ramps.h"
#include "app/render.h"
#include "app/session.h"
#include "host/atomic_file.h"
#include "host/bitmap.h"
#include "host/mtl_params.h"
#include "host/scene.h"
#include "host/scene_io.h"
#include "host/uvgen.h"
#include "host/win32.h"

namespace fs = std::filesystem;

namespace {

// A failure the user can act on: reported in one line, exit 1.
struct BadInput {
  std::string message;
};

struct MeshOptions {
  std::string up;
  bool flat = false;
  std::string node;
};

struct MapOptions {
  std::optional<float> uOffset, vOffset, uScale, vScale;
  std::optional<int> depth;
  bool noNormalize = false;
  bool affectAlpha = false;
  std::string bump;  // "", "numerical" or "normals"
  std::string ramp;
  std::vector<float> uvOffset, uvTiling;
  std::optional<float> uvAngle;
  bool noWrap = false, mirrorU = false, mirrorV = false;
};

struct OutputOptions {
  std::string output;
  std::string kind = "height";
  std::string heightOut, colorOut, alphaOut, bumpOut, previewOut;
  std::string format;
  int size = 512;
  int width = 0, height = 0;
  int time = 0;
  std::string report;
  int threads = 0;
  bool filter = false;
  std::string tile;
  int tileRows = 0, tileCols = 0;
  float bumpScale = 1.0f;
};

struct Common {
  std::string plugins;
  bool quiet = false;
};

const char* argv0 = nullptr;

// Loads the modules from --plugins, or from the default folder when it is not given.
void OpenSession(Session& session, const Common& common) {
  std::string error;
  if (!session.Open(common.plugins.empty() ? DefaultPluginDir(argv0) : fs::path(common.plugins), &error)) {
    throw BadInput{error};
  }
}

// Frees a command's map and empties the scene however the command ends: objects made from a
// module must be gone before the session unloads it.
class MapGuard {
 public:
  explicit MapGuard(Texmap* map) : map_(map) {}
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
  ~MapGuard() {
    map_->DeleteThis();
    GetCOREInterface()->ResetScene();
  }

 private:
  Texmap* map_;
};

bool IsSceneFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  return in.read(magic, 4) && std::equal(magic, magic + 4, kSceneFileMagic);
}

// Prints progress on stderr once a job has run for a second: a bar on a terminal, a line every
// tenth otherwise.
class Progress {
 public:
  Progress(std::string what, bool quiet) : what_(std::move(what)), quiet_(quiet), tty_(isatty(2) != 0) {}
  ~Progress() {
    if (shown_ && tty_) std::fputc('\n', stderr);
  }
  void operator()(long long done, long long total) {
    if (quiet_ || total <= 0) return;
    if (std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1) && done < total) return;
    if (!shown_ && done == total) return;  // finished within the first second
    shown_ = true;
    const int percent = static_cast<int>(100 * done / total);
    if (tty_) {
      const int filled = percent / 5;
      std::fprintf(stderr, "\r%s [%s%s] %3d%%", what_.c_str(), std::string(static_cast<std::size_t>(filled), '#').c_str(),
                   std::string(static_cast<std::size_t>(20 - filled), ' ').c_str(), percent);
    } else if (percent / 10 != lastTenth_) {
      lastTenth_ = percent / 10;
      std::fprintf(stderr, "%s: %d%%\n", what_.c_str(), percent);
    }
    std::fflush(stderr);
  }

 private:
  std::string what_;
  bool quiet_, tty_;
  bool shown_ = false;
  int lastTenth_ = -1;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// ---- Building the scene -----------------------------------------------------------------------

Mesh ImportOne(const std::string& path, const MeshOptions& options, std::string* upUsed) {
  ImportOptions import;
  if (!options.up.empty()) import.up = options.up[0];
  import.flat = options.flat;
  import.node = options.node;
  ImportResult result = ImportMesh(path, import);
  if (!result.error.empty()) throw BadInput{result.error};
  if (result.meshes.empty()) throw BadInput{path + ": no meshes"};
  Mesh mesh = result.meshes.size() == 1 ? result.meshes[0].mesh : MergeMeshes(result.meshes);
  if (!HasUpwardFace(mesh)) {
    throw BadInput{path + ": no face of the mesh faces up (+Z), so nothing can be seen from above; try --up"};
  }
  if (upUsed != nullptr) *upUsed = result.upAxisUsed;
  return mesh;
}

INode* AddMeshNode(const Mesh& mesh, const std::string& name) {
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = mesh;
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

void Set(IParamBlock2* block, const char* name, float value) {
  if (!SetParam(block, name, value)) throw BadInput{fmt::format("the map refused {} = {}", name, value)};
}

void ApplyMapOptions(Texmap* map, const MapOptions& o) {
  IParamBlock2* block = Block(map);
  if (o.uOffset) Set(block, "uOffset", *o.uOffset);
  if (o.vOffset) Set(block, "vOffset", *o.vOffset);
  if (o.uScale) Set(block, "uScale", *o.uScale);
  if (o.vScale) Set(block, "vScale", *o.vScale);
  if (o.depth) Set(block, "quadTreeDepth", static_cast<float>(*o.depth));
  if (o.noNormalize) Set(block, "normalizeMesh", 0);
  if (o.affectAlpha) Set(block, "affectAlpha", 1);
  if (o.bump == "numerical") Set(block, "useNormals", 0);
  if (o.bump == "normals") Set(block, "useNormals", 1);

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
    if (o.noWrap || o.mirrorU || o.mirrorV) {
      int flags = o.noWrap ? 0 : (U_WRAP | V_WRAP);
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

// Presses the rollout button with the given caption, as a user would: through the rollout the
// map opens in the material editor.
void PressButton(Texmap* map, const std::string& caption, INode* pick = nullptr) {
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

Texmap* FindVeldmap(const std::vector<ReferenceTarget*>& roots) {
  for (ReferenceTarget* root : roots) {
    if (root->ClassID() == kVeldmapClassId) return dynamic_cast<Texmap*>(root);
  }
  return nullptr;
}

// The mesh the map shows: its picked node's, or (for a baked map) the one Export Mesh gives.
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

// The scene for an input: a mesh file becomes a node picked by a new map; a scene file brings
// its own map.
struct Loaded {
  Texmap* map = nullptr;
  Mesh mesh;  // what the map shows, for the Z range in reports
  std::string upAxis;
};

Loaded LoadInput(Session& session, const std::string& path, const MeshOptions& meshOptions) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw BadInput{path + ": no such file"};
  Loaded loaded;
  if (IsSceneFile(path)) {
    std::vector<ReferenceTarget*> roots;
    std::string error;
    if (LoadScene(path, session.Factory(), &roots, &error) != IO_OK) throw BadInput{error};
    loaded.map = FindVeldmap(roots);
    for (ReferenceTarget* root : roots) {
      if (root != loaded.map) root->DeleteThis();
    }
    if (loaded.map == nullptr) throw BadInput{path + ": the scene holds no Veldmap map"};
    loaded.mesh = MapMesh(loaded.map);
    return loaded;
  }
  loaded.mesh = ImportOne(path, meshOptions, &loaded.upAxis);
  INode* node = AddMeshNode(loaded.mesh, fs::path(path).stem().string());
  loaded.map = session.CreateVeldmap();
  if (loaded.map == nullptr) throw BadInput{"the Veldmap class could not make a map"};
  if (!Block(loaded.map)->SetValue(ParamByName(Block(loaded.map), "node"), 0, node)) {
    throw BadInput{"the map refused the node"};
  }
  return loaded;
}

// Refuses, with a remedy that reduces it, a mesh whose face index would not fit the memory
// budget at the map's settings, rather than let the map exhaust memory building it.
void CheckQuadtreeBudget(Texmap* map, const Mesh& mesh, const std::string& input, TimeValue t) {
  IParamBlock2* block = Block(map);
  Placement placement;
  int depth = 6, normalize = 1;
  Interval ignore = FOREVER;
  block->GetValue(ParamByName(block, "quadTreeDepth"), t, depth, ignore);
  block->GetValue(ParamByName(block, "normalizeMesh"), t, normalize, ignore);
  block->GetValue(ParamByName(block, "uOffset"), t, placement.uOffset, ignore);
  block->GetValue(ParamByName(block, "vOffset"), t, placement.vOffset, ignore);
  block->GetValue(ParamByName(block, "uScale"), t, placement.uScale, ignore);
  block->GetValue(ParamByName(block, "vScale"), t, placement.vScale, ignore);
  placement.normalize = normalize != 0;
  const std::string problem = IndexBudgetProblem(mesh, placement, depth);
  if (!problem.empty()) throw BadInput{input + ": " + problem};
}

// ---- Outputs ----------------------------------------------------------------------------------

ImageFormat FormatFor(const std::string& path, const std::string& forced) {
  if (!forced.empty()) {
    const auto format = FormatFromName(forced);
    if (!format) throw BadInput{"--format " + forced + ": use png8, png16 or exr"};
    return *format;
  }
  const auto format = FormatFromExtension(path);
  if (!format) throw BadInput{path + ": unknown image type (use .png or .exr, or --format)"};
  return *format;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<int>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void WriteText(const std::string& path, const std::string& text) {
  AtomicFileWriter file;
  std::string why;
  if (!file.Open(path, &why) ||
      !file.Write(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &why) || !file.Commit(&why)) {
    throw BadInput{path + ": " + why};
  }
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

int Render(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
           OutputOptions out) {
  Session session;
  OpenSession(session, common);
  std::string error;

  // Which images, where.
  if (!out.output.empty()) {
    std::string* slot = out.kind == "height"    ? &out.heightOut
                        : out.kind == "color"   ? &out.colorOut
                        : out.kind == "alpha"   ? &out.alphaOut
                        : out.kind == "bump"    ? &out.bumpOut
                        : out.kind == "preview" ? &out.previewOut
                                                : nullptr;
    if (slot == nullptr) throw BadInput{"--kind " + out.kind + ": use height, color, alpha, bump or preview"};
    *slot = out.output;
  }
  if (out.heightOut.empty() && out.colorOut.empty() && out.alphaOut.empty() && out.bumpOut.empty() &&
      out.previewOut.empty()) {
    throw BadInput{"nothing to write: give -o FILE (and --kind) or --height-out/--color-out/... FILE"};
  }
  const int width = out.width > 0 ? out.width : out.size;
  const int height = out.height > 0 ? out.height : out.size;
  if (width < 1 || height < 1 || static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxImagePixels) {
    throw BadInput{fmt::format("image size {}x{} is out of range", width, height)};
  }
  // Formats are checked before any work, so a typo costs nothing.
  for (const std::string* path : {&out.heightOut, &out.colorOut, &out.alphaOut, &out.bumpOut}) {
    if (!path->empty()) FormatFor(*path, out.format);
  }

  Loaded loaded = LoadInput(session, input, meshOptions);
  Texmap* map = loaded.map;
  MapGuard guard(map);
  ApplyMapOptions(map, mapOptions);
  CheckQuadtreeBudget(map, loaded.mesh, input, out.time);
  Interval valid = FOREVER;
  const auto updateStart = std::chrono::steady_clock::now();
  map->Update(out.time, valid);
  const double updateSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - updateStart).count();

  RenderRequest request;
  request.width = width;
  request.height = height;
  request.time = out.time;
  request.filter = out.filter;
  request.height_ = !out.heightOut.empty();
  request.colour = !out.colorOut.empty();
  request.alpha = !out.alphaOut.empty();
  request.bump = !out.bumpOut.empty();
  request.bumpScale = out.bumpScale;
  request.threads = out.threads;
  int useNormals = 0;
  Interval ignore = FOREVER;
  Block(map)->GetValue(ParamByName(Block(map), "useNormals"), out.time, useNormals, ignore);
  request.bumpEncoding = useNormals != 0 ? BumpEncoding::Normals : BumpEncoding::Numerical;
  std::string tileText;
  if (!out.tile.empty()) {
    int index = 0, count = 0;
    char slash = 0;
    std::istringstream in(out.tile);
    if (!(in >> index >> slash >> count) || slash != '/' || !in.eof()) throw BadInput{"--tile " + out.tile + ": use I/N"};
    if (!SplitTile(width, height, index - 1, count, out.tileRows, out.tileCols, &request.tile, &error)) {
      throw BadInput{error};
    }
    tileText = fmt::format("{},{},{},{},{},{}", request.tile.x0, request.tile.y0, request.tile.width,
                           request.tile.height, width, height);
  }

  RenderResult result;
  if (request.height_ || request.colour || request.alpha || request.bump) {
    Progress progress("render", common.quiet);
    result = RenderMap(*map, request, [&progress](long long done, long long total) { progress(done, total); });
  }

  const auto zRange = ZRange(loaded.mesh);
  int normalized = 1;
  Block(map)->GetValue(ParamByName(Block(map), "normalizeMesh"), out.time, normalized, ignore);
  ImageMetadata meta;
  meta.entries = {
      {"veldmap:source", input},
      {"veldmap:z_min", zRange ? fmt::format("{}", zRange->first) : "none"},
      {"veldmap:z_max", zRange ? fmt::format("{}", zRange->second) : "none"},
      {"veldmap:normalized", normalized != 0 ? "yes: z = z_min + height * (z_max - z_min)"
                                             : "no: z = height * (z_max - z_min)"},
      {"veldmap:params", ParamSummary(map)},
      {"veldmap:size", fmt::format("{}x{}", width, height)},
      {"veldmap:coverage", fmt::format("{:.6f}", result.coverage)},
      {"veldmap:seconds", fmt::format("update {:.3f} render {:.3f}", updateSeconds, result.seconds)},
  };
  if (!tileText.empty()) meta.entries.emplace_back("veldmap:tile", tileText);

  std::vector<std::pair<std::string, std::string>> written;
  auto write = [&](const std::string& path, const Image& image, const char* kind) {
    if (path.empty()) return;
    if (!WriteImage(path, image, FormatFor(path, out.format), meta, &error)) throw BadInput{error};
    written.emplace_back(kind, path);
  };
  write(out.heightOut, result.height, "height");
  write(out.colorOut, result.colour, "color");
  write(out.alphaOut, result.alpha, "alpha");
  write(out.bumpOut, result.bump, "bump");
  if (!out.previewOut.empty()) {
    ViewportTexHandleMaker viewport(std::min(width, height));
    Interval previewValid;
    BITMAPINFO* dib = map->GetVPDisplayDIB(out.time, viewport, previewValid, FALSE, 0, 0);
    if (dib == nullptr) throw BadInput{"the map made no preview"};
    const bool saved = SaveDIBAsBMP(dib, out.previewOut, &error);
    FreeDIB(dib);
    if (!saved) throw BadInput{error};
    written.emplace_back("preview", out.previewOut);
  }

  if (!out.report.empty()) {
    std::string json = "{\n";
    for (const auto& [key, value] : meta.entries) json += "  " + JsonString(key) + ": " + JsonString(value) + ",\n";
    json += "  \"outputs\": {";
    for (std::size_t i = 0; i < written.size(); ++i) {
      json += (i ? ", " : "") + JsonString(written[i].first) + ": " + JsonString(written[i].second);
    }
    json += "}\n}\n";
    WriteText(out.report, json);
  }
  if (!common.quiet) {
    for (const auto& [kind, path] : written) std::fprintf(stderr, "wrote %s: %s\n", kind.c_str(), path.c_str());
  }
  return kExitOk;
}

// ---- The other commands -----------------------------------------------------------------------

int Bake(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
         const std::string& output) {
  Session session;
  OpenSession(session, common);
  std::string error;
  if (IsSceneFile(input)) throw BadInput{input + ": already a scene; bake takes a mesh file"};
  const Mesh mesh = ImportOne(input, meshOptions, nullptr);
  INode* node = AddMeshNode(mesh, fs::path(input).stem().string());
  Texmap* map = session.CreateVeldmap();
  if (map == nullptr) throw BadInput{"the Veldmap class could not make a map"};
  MapGuard guard(map);
  ApplyMapOptions(map, mapOptions);
  PressButton(map, "Bake Object into Texture", node);
  // The map holds its own copy now; the scene keeps only what the map needs.
  node->DeleteThis();
  if (SaveScene(output, {map}, &error) != IO_OK) throw BadInput{error};
  if (!common.quiet) std::fprintf(stderr, "baked %s into %s\n", input.c_str(), output.c_str());
  return kExitOk;
}

int Export(const Common& common, const std::string& input, const std::string& output) {
  Session session;
  OpenSession(session, common);
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

void PrintMesh(const std::string& name, const Mesh& mesh) {
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
      if (auto* node = dynamic_cast<INode*>(target)) name = CStr(node->GetName());
      else if (target != nullptr) target->GetClassName(name);
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
    OpenSession(session, common);
    std::string error;
    std::vector<ReferenceTarget*> roots;
    if (LoadScene(input, session.Factory(), &roots, &error) != IO_OK) throw BadInput{error};
    std::printf("%s: scene, %zu node(s), %zu map(s)\n", input.c_str(), GetCOREInterface()->Nodes().size(), roots.size());
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
  for (const ImportedMesh& mesh : result.meshes) PrintMesh(mesh.name, mesh.mesh);
  return kExitOk;
}

int Help(const Common& common) {
  Session session;
  OpenSession(session, common);
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

int Join(const std::vector<std::string>& tiles, const std::string& output, const std::string& format) {
  Image whole;
  ImageMetadata wholeMeta;
  std::vector<unsigned char> filled;
  for (const std::string& path : tiles) {
    Image tile;
    ImageMetadata meta;
    std::string error;
    if (!ReadImage(path, &tile, &meta, &error)) throw BadInput{error};
    std::string where;
    for (const auto& [key, value] : meta.entries) {
      if (key == "veldmap:tile") where = value;
    }
    int x0 = 0, y0 = 0, w = 0, h = 0, fullW = 0, fullH = 0;
    if (where.empty() || std::sscanf(where.c_str(), "%d,%d,%d,%d,%d,%d", &x0, &y0, &w, &h, &fullW, &fullH) != 6) {
      throw BadInput{path + ": not a tile (no veldmap:tile entry; render it with --tile)"};
    }
    if (w != tile.width || h != tile.height || x0 < 0 || y0 < 0 || fullW < 1 || fullH < 1 || x0 + w > fullW ||
        y0 + h > fullH) {
      throw BadInput{path + ": its tile entry does not match the image"};
    }
    if (whole.pixels.empty()) {
      whole.width = fullW;
      whole.height = fullH;
      whole.channels = tile.channels;
      whole.pixels.assign(static_cast<std::size_t>(fullW) * fullH * tile.channels, 0.0f);
      filled.assign(static_cast<std::size_t>(fullW) * fullH, 0);
      for (const auto& entry : meta.entries) {
        if (entry.first != "veldmap:tile") wholeMeta.entries.push_back(entry);
      }
    } else if (fullW != whole.width || fullH != whole.height || tile.channels != whole.channels) {
      throw BadInput{path + ": belongs to another image (size or channels differ)"};
    }
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::size_t at = static_cast<std::size_t>(y0 + y) * fullW + static_cast<std::size_t>(x0 + x);
        if (filled[at]++ != 0) throw BadInput{path + ": overlaps another tile"};
        for (int c = 0; c < tile.channels; ++c) {
          whole.pixels[at * tile.channels + c] =
              tile.pixels[(static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)) * tile.channels + c];
        }
      }
    }
  }
  if (std::find(filled.begin(), filled.end(), 0) != filled.end()) throw BadInput{"the tiles leave part of the image empty"};
  std::string error;
  if (!WriteImage(output, whole, FormatFor(output, format), wholeMeta, &error)) throw BadInput{error};
  return kExitOk;
}

fs::path SampleMesh() {
  if (const char* env = std::getenv("VELDMAP_SAMPLE"); env != nullptr && *env != '\0') return env;
  return fs::path(VELDMAP_SAMPLE_DIR) / "hills.obj";
}

int Demo(const Common& common, const std::string& folder) {
  const fs::path sample = SampleMesh();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw BadInput{folder + ": " + ec.message()};
  const fs::path dir(folder);
  OutputOptions out;
  out.size = 512;
  out.heightOut = (dir / "height.png").string();
  out.format = "png16";
  out.colorOut = (dir / "color.png").string();
  out.bumpOut = (dir / "bump.png").string();
  out.previewOut = (dir / "preview.bmp").string();
  out.report = (dir / "report.json").string();
  MapOptions map;
  map.ramp = "terrain";
  map.depth = 8;
  Render(common, sample.string(), {}, map, out);
  OutputOptions exr;
  exr.size = 512;
  exr.heightOut = (dir / "height.exr").string();
  map.ramp.clear();
  Render(common, sample.string(), {}, map, exr);
  std::printf("Rendered %s into %s: height.png (16-bit), height.exr (float), color.png, bump.png, preview.bmp, "
              "report.json\n",
              sample.string().c_str(), fs::absolute(dir).string().c_str());
  return kExitOk;
}

// ---- Command-line parsing ---------------------------------------------------------------------

void AddMeshOptions(CLI::App* cmd, MeshOptions& o) {
  cmd->add_option("--up", o.up, "which axis of the file is up (x, y or z); default: the format's convention")
      ->check(CLI::IsMember({"x", "y", "z"}));
  cmd->add_flag("--flat", o.flat, "no smoothing groups: every face keeps its own normal");
  cmd->add_option("--node", o.node, "use only the mesh of this node (default: all meshes merged)");
}

void AddMapOptions(CLI::App* cmd, MapOptions& o) {
  cmd->add_option("--u-offset", o.uOffset, "map parameter uOffset (-10000..10000)");
  cmd->add_option("--v-offset", o.vOffset, "map parameter vOffset (-10000..10000)");
  cmd->add_option("--u-scale", o.uScale, "map parameter uScale (-10000..10000)");
  cmd->add_option("--v-scale", o.vScale, "map parameter vScale (-10000..10000)");
  cmd->add_option("--depth", o.depth, "quadtree depth (2..10)")->check(CLI::Range(2, 10));
  cmd->add_flag("--no-normalize", o.noNormalize, "use the mesh's own coordinates instead of fitting it to 0..1");
  cmd->add_flag("--alpha", o.affectAlpha, "the colour's alpha carries the height");
  cmd->add_option("--bump", o.bump, "bump from the height's derivative or the mesh normals")
      ->check(CLI::IsMember({"numerical", "normals"}));
  cmd->add_option("--ramp", o.ramp,
                  "colour ramp: POS:#RRGGBB,... (e.g. 0:#000000,0.5:#2e7d32,1:#ffffff), a preset "
                  "(grey, terrain, heat, ocean) or an image file looked up along U");
  cmd->add_option("--uv-offset", o.uvOffset, "UV generator offset U V")->expected(2);
  cmd->add_option("--uv-tiling", o.uvTiling, "UV generator tiling U V")->expected(2);
  cmd->add_option("--uv-angle", o.uvAngle, "UV generator W angle, degrees");
  cmd->add_flag("--no-wrap", o.noWrap, "do not repeat the map outside 0..1");
  cmd->add_flag("--mirror-u", o.mirrorU, "mirror the map along U");
  cmd->add_flag("--mirror-v", o.mirrorV, "mirror the map along V");
}

}  // namespace

int RunVeldmap(int argc, char** argv) {
  argv0 = argc > 0 ? argv[0] : nullptr;
  CLI::App app{"veldmap: renders the height of a mesh seen from above as a texture map (height, colour, bump)"};
  app.require_subcommand(0, 1);
  // --plugins and --quiet may come after the command too.
  app.fallthrough();
  Common common;
  app.add_option("--plugins", common.plugins, "folder of plug-in modules (default: plugins next to the executable)");
  app.add_flag("-q,--quiet", common.quiet, "no progress or messages on stderr");

  MeshOptions meshOptions;
  MapOptions mapOptions;
  OutputOptions out;
  std::string input, output, format, demoFolder = "veldmap-demo";
  std::vector<std::string> tiles;

  CLI::App* render = app.add_subcommand("render", "render a mesh file or a scene into images");
  render->add_option("input", input, "mesh file (OBJ, PLY, STL, glTF/GLB, FBX, 3DS, DAE, ...) or scene")->required();
  render->add_option("-o,--output", out.output, "output file (its kind: --kind)");
  render->add_option("--kind", out.kind, "what -o holds: height, color, alpha, bump or preview")
      ->check(CLI::IsMember({"height", "color", "alpha", "bump", "preview"}));
  render->add_option("--height-out", out.heightOut, "height (mono) image: .png or .exr");
  render->add_option("--color-out", out.colorOut, "colour image");
  render->add_option("--alpha-out", out.alphaOut, "alpha image");
  render->add_option("--bump-out", out.bumpOut, "bump as a tangent-space normal map");
  render->add_option("--preview-out", out.previewOut, "the viewport preview, .bmp");
  render->add_option("--format", out.format, "png8, png16 or exr (default: from the extension, .png is png8)")
      ->check(CLI::IsMember({"png8", "png16", "exr"}));
  render->add_option("--size", out.size, "width and height in pixels")->check(CLI::Range(1, 65535));
  render->add_option("--width", out.width, "width in pixels")->check(CLI::Range(1, 65535));
  render->add_option("--height", out.height, "height in pixels")->check(CLI::Range(1, 65535));
  render->add_option("--time", out.time, "time in ticks (4800 a second)");
  render->add_option("--report", out.report, "also write what was rendered, and how, as JSON");
  render->add_option("--threads", out.threads, "threads (default: all cores)")->check(CLI::Range(1, 1024));
  render->add_flag("--filter", out.filter, "average the height over each pixel's footprint");
  render->add_option("--tile", out.tile, "render only tile I of N (I/N, from 1)");
  render->add_option("--tile-rows", out.tileRows, "rows of tiles")->check(CLI::Range(1, 65535));
  render->add_option("--tile-cols", out.tileCols, "columns of tiles")->check(CLI::Range(1, 65535));
  render->add_option("--bump-scale", out.bumpScale, "strength of the bump in the normal map");
  AddMeshOptions(render, meshOptions);
  AddMapOptions(render, mapOptions);

  CLI::App* bake = app.add_subcommand("bake", "bake a mesh into a new map and save it as a scene");
  bake->add_option("input", input, "mesh file")->required();
  bake->add_option("-o,--output", output, "scene file to write")->required();
  AddMeshOptions(bake, meshOptions);
  AddMapOptions(bake, mapOptions);

  CLI::App* exportCmd = app.add_subcommand("export", "write a scene's baked mesh to a mesh file");
  exportCmd->add_option("scene", input, "scene file")->required();
  exportCmd->add_option("-o,--output", output, "mesh file (.obj, .ply, .stl, .glb, ...)")->required();

  CLI::App* info = app.add_subcommand("info", "what a module, a scene or a mesh file holds");
  info->add_option("file", input, "a .dlt module, a scene or a mesh file")->required();
  AddMeshOptions(info, meshOptions);

  CLI::App* help = app.add_subcommand("help", "the map's Help button: print the page it opens");

  CLI::App* join = app.add_subcommand("join", "assemble tiles rendered with --tile into one image");
  join->add_option("tiles", tiles, "tile images")->required();
  join->add_option("-o,--output", output, "the whole image")->required();
  join->add_option("--format", format, "png8, png16 or exr")->check(CLI::IsMember({"png8", "png16", "exr"}));

  CLI::App* demo = app.add_subcommand("demo", "render the bundled sample mesh into a folder of images");
  demo->add_option("-o,--output", demoFolder, "folder for the images");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  try {
    if (*render) return Render(common, input, meshOptions, mapOptions, out);
    if (*bake) return Bake(common, input, meshOptions, mapOptions, output);
    if (*exportCmd) return Export(common, input, output);
    if (*info) return Info(common, input, meshOptions);
    if (*help) return Help(common);
    if (*join) return Join(tiles, output, format);
    return Demo(common, demoFolder);
  } catch (const BadInput& bad) {
    std::fprintf(stderr, "veldmap: %s\n", bad.message.c_str());
    GetCOREInterface()->ResetScene();
    return kExitBadInput;
  }
}
