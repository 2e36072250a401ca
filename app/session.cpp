// The session keeps the loader, and with it the modules, alive for as long as it lives.
#include "app/session.h"

#include "app/render.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include <fmt/format.h>

#include "app/ramps.h"
#include "app/render.h"
#include "host/geometry.h"
#include "host/mtl_base.h"
#include "sampler/surface_sampler.h"

std::filesystem::path ExecutableFolder(const char* argv0) {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) exe = std::filesystem::absolute(argv0 == nullptr ? "." : argv0, ec);
  return exe.parent_path();
}

std::filesystem::path DefaultPluginDir(const char* argv0) {
  if (const char* env = std::getenv("VELDMAP_PLUGIN_DIR"); env != nullptr && *env != '\0') return env;
  const std::filesystem::path prefix = ExecutableFolder(argv0).parent_path();
  std::error_code ec;
  if (std::filesystem::is_directory(prefix / "plugins", ec)) return prefix / "plugins";
  return prefix / "lib" / "veldmap" / "plugins";
}

Session::~Session() = default;

bool Session::Open(const std::filesystem::path& pluginDir, std::string* error) {
  const std::vector<std::string> refused = loader_.LoadFolder(pluginDir);
  veldmap_ = dynamic_cast<ClassDesc2*>(loader_.FindClass(TEXMAP_CLASS_ID, kVeldmapClassId));
  if (veldmap_ != nullptr) return true;
  std::string why = "no module in " + pluginDir.string() + " provides the Veldmap map";
  for (const std::string& line : refused) why += "; " + line;
  *error = why;
  return false;
}

Texmap* Session::CreateVeldmap() const {
  if (veldmap_ == nullptr) return nullptr;
  void* made = veldmap_->Create(FALSE);
  return made == nullptr ? nullptr : dynamic_cast<Texmap*>(static_cast<Animatable*>(made));
}

SceneClassFactory Session::Factory() const {
  SceneClassFactory factory;
  factory.create = [this](SClass_ID super, const Class_ID& id) -> ReferenceTarget* {
    if (super == TEXMAP_CLASS_ID && id == kGradientMapClassId) return new GradientMap();
    if (super == TEXMAP_CLASS_ID && id == kBitmapMapClassId) return new BitmapMap();
    void* made = loader_.CreateInstance(super, id, TRUE);
    return made == nullptr ? nullptr : dynamic_cast<ReferenceTarget*>(static_cast<Animatable*>(made));
  };
  factory.blockDesc = [this](SClass_ID super, const Class_ID& id, BlockID block) -> ParamBlockDesc2* {
    auto* desc = dynamic_cast<ClassDesc2*>(loader_.FindClass(super, id));
    return desc == nullptr ? nullptr : desc->GetParamBlockDescByID(block);
  };
  return factory;
}

ParamID ParamByName(IParamBlock2* block, const std::string& name) {
  const ParamBlockDesc2* desc = block->GetDesc();
  for (int i = 0; i < desc->Count(); ++i) {
    if (desc->GetParamDef(i).internalName == name) return desc->GetParamDef(i).id;
  }
  return -1;
}

Placement BlockPlacement(IParamBlock2* block, TimeValue t, int* depth) {
  Placement placement;
  int normalize = 1;
  Interval ignore = FOREVER;
  block->GetValue(ParamByName(block, "quadTreeDepth"), t, *depth, ignore);
  block->GetValue(ParamByName(block, "normalizeMesh"), t, normalize, ignore);
  block->GetValue(ParamByName(block, "uOffset"), t, placement.uOffset, ignore);
  block->GetValue(ParamByName(block, "vOffset"), t, placement.vOffset, ignore);
  block->GetValue(ParamByName(block, "uScale"), t, placement.uScale, ignore);
  block->GetValue(ParamByName(block, "vScale"), t, placement.vScale, ignore);
  placement.normalize = normalize != 0;
  return placement;
}

bool SetParam(IParamBlock2* block, const std::string& name, float value) {
  const ParamID id = ParamByName(block, name);
  if (id < 0) return false;
  const ParamDef* def = block->GetDesc()->FindParam(id);
  if (def->type == TYPE_FLOAT) return block->SetValue(id, 0, value) != FALSE;
  return block->SetValue(id, 0, static_cast<int>(std::lround(value))) != FALSE;
}

bool HasUpwardFace(const Mesh& mesh) {
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    if (!mesh.faceIsValid(f)) continue;
    const Face& face = mesh.faces[static_cast<std::size_t>(f)];
    const Point3 a = mesh.verts[face.v[0]], b = mesh.verts[face.v[1]], c = mesh.verts[face.v[2]];
    const float cross = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    if (cross > 0.0f && std::isfinite(cross)) return true;
  }
  return false;
}

std::optional<std::pair<float, float>> ZRange(const Mesh& mesh) {
  std::optional<std::pair<float, float>> range;
  for (const Point3& p : mesh.verts) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    if (!range) {
      range = std::make_pair(p.z, p.z);
    } else {
      range->first = std::min(range->first, p.z);
      range->second = std::max(range->second, p.z);
    }
  }
  return range;
}

namespace {

// A sampler with the map's placement and depth, for sizing its index.
void Configure(SurfaceSampler& sampler, const Placement& placement, int depth) {
  sampler.normalizeMesh = placement.normalize ? 1 : 0;
  sampler.quadTreeDepth = depth;
  sampler.uOffset = placement.uOffset;
  sampler.vOffset = placement.vOffset;
  sampler.uScale = placement.uScale;
  sampler.vScale = placement.vScale;
}

}  // namespace

IndexCost MapIndexCost(const Mesh& mesh, const Placement& placement, int depth) {
  SurfaceSampler sampler;
  Configure(sampler, placement, depth);
  const SurfaceSampler::IndexEstimate estimate = sampler.EstimateIndex(mesh);
  return {estimate.bytes, estimate.nodeBytes, estimate.upwardFaces};
}

std::uint64_t MaxIndexBytes() { return std::max(kMinIndexBudgetBytes, UsableMemoryBytes() / 3); }

std::string IndexBudgetProblem(const Mesh& mesh, const Placement& placement, int depth, std::uint64_t limit,
                               const std::string& depthAdvice) {
  {
    // The check runs at every change of a spinner in the studio; most meshes fit with room to
    // spare, which the face count alone shows for free (a 2-million-face terrain walked for the
    // quick bound cost a third of a spinner change), and the quick bound at a fraction of the
    // exact count's cost.
    SurfaceSampler sampler;
    Configure(sampler, placement, depth);
    if (sampler.IndexCeiling(mesh.getNumFaces()) <= limit) return {};
    if (sampler.BoundIndex(mesh).bytes <= limit) return {};
  }
  const IndexCost cost = MapIndexCost(mesh, placement, depth);
  if (cost.bytes <= limit) return {};
  constexpr double kMiB = 1024.0 * 1024.0;
  std::string remedy;
  // Only the node arena shrinks with the depth; an empty mesh measures it alone.
  for (int lower = depth - 1; lower >= 2 && remedy.empty(); --lower) {
    const std::uint64_t nodes = MapIndexCost(Mesh(), placement, lower).nodeBytes;
    if (cost.bytes - cost.nodeBytes + nodes <= limit) remedy = fmt::format(fmt::runtime(depthAdvice), lower);
  }
  if (remedy.empty()) {
    // The rest grows about in proportion to the upward faces.
    const double share = double(limit - std::min(limit, cost.nodeBytes)) /
                         double(std::max<std::uint64_t>(cost.bytes - cost.nodeBytes, 1));
    remedy = fmt::format("simplify the mesh to fewer than about {} upward faces",
                         static_cast<std::int64_t>(share * double(cost.upwardFaces)));
  }
  return fmt::format(
      "at quadtree depth {} the map's face index would take {:.0f} MiB for {} upward faces (limit {:.0f} MiB); {}",
      depth, double(cost.bytes) / kMiB, cost.upwardFaces, double(limit) / kMiB, remedy);
}

std::uint64_t PeakResidentBytes() {
#ifdef __linux__
  // getrusage's ru_maxrss would do as well, but the status file states its unit.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) != 0) continue;
    const std::uint64_t kib = std::strtoull(line.c_str() + 6, nullptr, 10);
    return kib * 1024;
  }
#endif
  return 0;
}
