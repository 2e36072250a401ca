// The session keeps the loader, and with it the modules, alive for as long as it lives.
#include "app/session.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "app/ramps.h"
#include "host/geometry.h"
#include "host/mtl_base.h"

std::filesystem::path DefaultPluginDir(const char* argv0) {
  if (const char* env = std::getenv("VELDMAP_PLUGIN_DIR"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) exe = std::filesystem::absolute(argv0 == nullptr ? "." : argv0, ec);
  return exe.parent_path().parent_path() / "plugins";
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

std::uint64_t QuadtreeReferences(const Mesh& mesh, const Placement& placement, int depth) {
  // The same box the map normalises by: finite vertices only.
  double lo[2] = {0, 0}, hi[2] = {0, 0};
  bool any = false;
  for (const Point3& p : mesh.verts) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    const double c[2] = {p.x, p.y};
    for (int k = 0; k < 2; ++k) {
      lo[k] = any ? std::min(lo[k], c[k]) : c[k];
      hi[k] = any ? std::max(hi[k], c[k]) : c[k];
    }
    any = true;
  }
  const double scale[2] = {placement.uScale, placement.vScale};
  const double offset[2] = {placement.uOffset, placement.vOffset};
  double factor[2];
  for (int k = 0; k < 2; ++k) {
    const double extent = hi[k] - lo[k];
    factor[k] = (placement.normalize && extent > 0.0 ? 1.0 / extent : 1.0) * scale[k];
    if (!placement.normalize) lo[k] = 0.0;
  }
  const double side = std::ldexp(1.0, depth - 1);
  std::uint64_t total = 0;
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    if (!mesh.faceIsValid(f)) continue;
    const Face& face = mesh.faces[static_cast<std::size_t>(f)];
    double box[2][2] = {{1e300, 1e300}, {-1e300, -1e300}};
    double uv[3][2];
    bool finite = true;
    for (int c = 0; c < 3; ++c) {
      const Point3& p = mesh.verts[face.v[c]];
      const double xy[2] = {p.x, p.y};
      for (int k = 0; k < 2; ++k) {
        uv[c][k] = (xy[k] - lo[k]) * factor[k] + offset[k];
        finite = finite && std::isfinite(uv[c][k]);
        box[0][k] = std::min(box[0][k], uv[c][k]);
        box[1][k] = std::max(box[1][k], uv[c][k]);
      }
    }
    const double cross = (uv[1][0] - uv[0][0]) * (uv[2][1] - uv[0][1]) - (uv[1][1] - uv[0][1]) * (uv[2][0] - uv[0][0]);
    if (!finite || !(cross > 0.0)) continue;
    std::uint64_t leaves = 1;
    for (int k = 0; k < 2; ++k) {
      const double first = std::clamp(std::floor(box[0][k] * side), 0.0, side - 1);
      const double last = std::clamp(std::floor(box[1][k] * side), 0.0, side - 1);
      if (box[1][k] < 0.0 || box[0][k] > 1.0) leaves = 0;
      leaves *= static_cast<std::uint64_t>(last - first + 1);
    }
    total += leaves;
  }
  return total;
}
