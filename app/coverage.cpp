#include "app/coverage.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "app/cli_options.h"
#include "app/scene_setup.h"
#include "app/session.h"
#include "host/scene.h"
#include "host/uvgen.h"
#include "sampler/surface_sampler.h"

namespace {

// What the UV generator calls back with the mapped point: 1 where a face covers it, else 0. The
// footprint of a filtered call is ignored; the mask asks about the centre only. Holds no state, so
// one instance serves every thread.
class CoverageSampler : public MapSampler {
 public:
  explicit CoverageSampler(const SurfaceSampler& sampler) : sampler_(sampler) {}
  float Hit(float u, float v) const {
    float height = 0.0f;
    return sampler_.HeightAt(Point3(u, v, 0.0f), height) ? 1.0f : 0.0f;
  }
  AColor Sample(ShadeContext&, float u, float v) override {
    const float hit = Hit(u, v);
    return AColor(hit, hit, hit, hit);
  }
  AColor SampleFilter(ShadeContext& sc, float u, float v, float, float) override { return Sample(sc, u, v); }
  float SampleMono(ShadeContext&, float u, float v) override { return Hit(u, v); }
  float SampleMonoFilter(ShadeContext&, float u, float v, float, float) override { return Hit(u, v); }

 private:
  const SurfaceSampler& sampler_;
};

// The mesh the map's update reads: a picked node's, in world space at t, wins over the baked one.
// A node whose object is not a triangle mesh gives the map nothing new to index; here it covers
// nothing.
const Mesh& MeshTheMapReads(Texmap& map, const Mesh& bakedMesh, TimeValue t, const Mesh& none) {
  IParamBlock2* block = Block(&map);
  INode* node = nullptr;
  Interval ignore = FOREVER;
  block->GetValue(ParamByName(block, "node"), t, node, ignore);
  if (node == nullptr) return bakedMesh;
  auto* tri = dynamic_cast<TriObject*>(node->EvalWorldState(t, TRUE).obj);
  return tri != nullptr ? tri->GetMesh() : none;
}

// The faces of mesh that can give height exactly 0 where they cover a point, over the vertices
// they use and two more at the corners of the finite vertices' box (which decides the placement,
// so it stays the same). Heights are worked out here as the sampler does, in double; a face is
// kept when its vertices' heights come within a margin of 0 that is thousands of times the float
// arithmetic's rounding of a height that large, so no face the sampler could find at height 0 is
// left out. A face with a vertex that is not finite, or out of range, is kept too: the sampler
// decides about it.
Mesh FacesThatCanGiveZero(const Mesh& mesh, bool normalize) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  Point3 lo(kInf, kInf, kInf), hi(-kInf, -kInf, -kInf);
  for (const Point3& p : mesh.verts) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    lo = Point3(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
    hi = Point3(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
  }
  Mesh kept;
  if (!(lo.z <= hi.z)) return kept;  // no finite vertex: no face is upward and valid
  const double extent = static_cast<double>(hi.z) - static_cast<double>(lo.z);
  const double scale = extent > 1e-30 && std::isfinite(1.0 / extent) ? 1.0 / extent : 1.0;
  const double base = normalize ? static_cast<double>(lo.z) : 0.0;
  const auto count = mesh.verts.size();
  std::vector<DWORD> renumbered(count, ~DWORD{0});
  kept.verts = {lo, hi};
  for (const Face& face : mesh.faces) {
    double low = std::numeric_limits<double>::infinity(), high = -low, largest = 0.0;
    for (const DWORD index : face.v) {
      const double z = index < count ? static_cast<double>(mesh.verts[index].z) : std::nan("");
      const double h = (z - base) * scale;
      low = std::min(low, h);
      high = std::max(high, h);
      largest = std::max(largest, std::fabs(h));
    }
    const double margin = 1e-4 * (largest + 1.0);
    const bool sure = std::isfinite(low) && std::isfinite(high);
    if (sure && !(low <= margin && high >= -margin)) continue;
    Face copy = face;
    for (DWORD& index : copy.v) {
      if (index >= count) {
        index = ~DWORD{0};  // out of range in the copy too: the sampler never indexes it
        continue;
      }
      if (renumbered[index] == ~DWORD{0}) {
        renumbered[index] = static_cast<DWORD>(kept.verts.size());
        kept.verts.push_back(mesh.verts[index]);
      }
      index = renumbered[index];
    }
    kept.faces.push_back(copy);
  }
  return kept;
}

}  // namespace

CoverageMask::CoverageMask(Texmap& map, const Mesh& bakedMesh, TimeValue t, bool filtered)
    : sampler_(std::make_unique<SurfaceSampler>()), generator_(map.GetTheUVGen()), onlyZeroValues_(!filtered) {
  int depth = 6;
  const Placement placement = BlockPlacement(Block(&map), t, &depth);
  sampler_->normalizeMesh = placement.normalize ? 1 : 0;
  sampler_->quadTreeDepth = depth;
  sampler_->uOffset = placement.uOffset;
  sampler_->vOffset = placement.vOffset;
  sampler_->uScale = placement.uScale;
  sampler_->vScale = placement.vScale;
  const Mesh none;
  const Mesh& mesh = MeshTheMapReads(map, bakedMesh, t, none);
  if (onlyZeroValues_) {
    sampler_->Rebuild(FacesThatCanGiveZero(mesh, placement.normalize));
  } else {
    sampler_->Rebuild(mesh);
  }
}

CoverageMask::~CoverageMask() = default;

bool CoverageMask::Covered(ShadeContext& sc, float value) const {
  if (onlyZeroValues_ && value != 0.0f) return true;
  CoverageSampler sampler(*sampler_);
  if (generator_ == nullptr) {
    const Point3 uvw = sc.UVW(0);
    return sampler.Hit(uvw.x, uvw.y) != 0.0f;
  }
  return generator_->EvalUVMapMono(sc, &sampler, TRUE) != 0.0f;
}

double ParseNodata(const std::string& text) {
  std::string lower;
  for (const char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "nan") return std::numeric_limits<double>::quiet_NaN();
  char* end = nullptr;
  const double value = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
  // strtod also takes "nan(...)", "inf" and hexadecimal; only plain numbers and "nan" are meant.
  const bool plain = !text.empty() && end == text.c_str() + text.size() &&
                     text.find_first_not_of("0123456789+-.eE") == std::string::npos;
  if (!plain || !std::isfinite(value)) {
    throw UsageError{"--nodata " + text + ": give a number, or nan for float images"};
  }
  return value;
}

std::string NodataProblem(ImageFormat format, double value) {
  switch (format) {
    case ImageFormat::Exr:
    case ImageFormat::Tiff32:
      if (!std::isnan(value) && !(std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max())))
        return "a 32-bit float holds at most about 3.4e38";
      return {};
    case ImageFormat::Png16:
    case ImageFormat::Tiff16:
    case ImageFormat::Raw16:
      if (!(value == std::floor(value) && value >= 0.0 && value <= 65535.0))
        return "a 16-bit image holds only whole numbers 0..65535";
      return {};
    case ImageFormat::Png8: break;
  }
  return "an 8-bit image has no level to spare for no-data (write it as png16 or exr)";
}

float NodataPixel(ImageFormat format, double value) {
  if (format == ImageFormat::Png16 || format == ImageFormat::Tiff16 || format == ImageFormat::Raw16) {
    return static_cast<float>(value / 65535.0);
  }
  return static_cast<float>(value);
}
