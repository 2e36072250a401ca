#include "app/coverage.h"

#include <fmt/format.h>

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

}  // namespace

CoverageMask::CoverageMask(Texmap& map, const Mesh& bakedMesh, TimeValue t)
    : sampler_(std::make_unique<SurfaceSampler>()), generator_(map.GetTheUVGen()) {
  int depth = 6;
  const Placement placement = BlockPlacement(Block(&map), t, &depth);
  sampler_->normalizeMesh = placement.normalize ? 1 : 0;
  sampler_->quadTreeDepth = depth;
  sampler_->uOffset = placement.uOffset;
  sampler_->vOffset = placement.vOffset;
  sampler_->uScale = placement.uScale;
  sampler_->vScale = placement.vScale;
  const Mesh none;
  sampler_->Rebuild(MeshTheMapReads(map, bakedMesh, t, none));
}

CoverageMask::~CoverageMask() = default;

bool CoverageMask::Covered(ShadeContext& sc) const {
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
      if (!std::isnan(value) && !(std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max())))
        return "a 32-bit float holds at most about 3.4e38";
      return {};
    case ImageFormat::Png16:
      if (!(value == std::floor(value) && value >= 0.0 && value <= 65535.0))
        return "a 16-bit image holds only whole numbers 0..65535";
      return {};
    case ImageFormat::Png8: break;
  }
  return "an 8-bit image has no level to spare for no-data (write it as png16 or exr)";
}

float NodataPixel(ImageFormat format, double value) {
  if (format == ImageFormat::Png16) return static_cast<float>(value / 65535.0);
  return static_cast<float>(value);
}
