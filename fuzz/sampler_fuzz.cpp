// The height field on hostile meshes and settings. Coordinates come mostly from a table of
// floats that break naive arithmetic (NaN, infinities, denormals, signed zeros, values near the
// float range's ends) or from a coarse lattice that makes repeated and coincident points; faces
// may point outside the mesh. Every depth, normalisation on and off, and offsets and scales that
// include 0 and negatives are tried. The sampler promises a finite height for every query
// (surface_sampler.h); it is held to that, and to its other stated answers, at fuzzed points,
// and its row walk to the points' own answers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "host/mesh.h"
#include "sampler/surface_sampler.h"

namespace {

[[noreturn]] void Fail(const char* what, float u, float v) {
  std::fprintf(stderr, "sampler_fuzz: %s at (%a, %a)\n", what, static_cast<double>(u), static_cast<double>(v));
  std::abort();
}

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kHostile[] = {
    std::numeric_limits<float>::quiet_NaN(),
    kInf,
    -kInf,
    std::numeric_limits<float>::denorm_min(),
    -std::numeric_limits<float>::denorm_min(),
    0.0f,
    -0.0f,
    1e38f,
    -1e38f,
    1e-38f,
    std::numeric_limits<float>::max(),
    -std::numeric_limits<float>::max(),
    std::numeric_limits<float>::min(),
    1.0f,
    -1.0f,
    0.5f,
};
constexpr float kSettings[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, -0.5f, 2.0f, -3.0f, 1e-30f, 1e30f, -1e30f, 0.999999f};

// A table entry, a lattice point (so points repeat and coincide), or any float at all.
float PickCoordinate(FuzzedDataProvider& in) {
  const std::uint8_t b = in.ConsumeIntegral<std::uint8_t>();
  if (b < std::size(kHostile)) return kHostile[b];
  if (b < 240) return static_cast<float>(b - 128) / 16.0f;
  return in.ConsumeFloatingPoint<float>();
}

float PickSetting(FuzzedDataProvider& in) {
  const std::uint8_t b = in.ConsumeIntegral<std::uint8_t>();
  if (b < std::size(kSettings)) return kSettings[b];
  if (b < 250) return static_cast<float>(b) / 64.0f - 2.0f;
  return PickCoordinate(in);
}

// Query points: mostly inside the unit square, some on and beyond its edges, some hostile.
float PickQuery(FuzzedDataProvider& in) {
  const std::uint8_t b = in.ConsumeIntegral<std::uint8_t>();
  if (b < 8) return kHostile[b];
  if (b < 16) {
    constexpr float kEdges[] = {0.0f, -0.0f, 1.0f, 0.99999994f, 1e-7f, -1e-7f, 1.0000001f, 0.5f};
    return kEdges[b - 8];
  }
  if (b < 240) return static_cast<float>(b - 16) / 224.0f;
  return in.ConsumeFloatingPoint<float>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  SurfaceSampler sampler;
  sampler.quadTreeDepth = in.ConsumeIntegralInRange(2, 10);
  sampler.normalizeMesh = in.ConsumeBool() ? 1 : 0;
  sampler.uOffset = PickSetting(in);
  sampler.vOffset = PickSetting(in);
  sampler.uScale = PickSetting(in);
  sampler.vScale = PickSetting(in);

  Mesh mesh;
  const int numVerts = in.ConsumeIntegralInRange(0, 3000);
  const int numFaces = in.ConsumeIntegralInRange(0, 3000);
  // The counts are caps: a short input makes a small mesh rather than thousands of zeros.
  for (int i = 0; i < numVerts && in.remaining_bytes() > 0; ++i) {
    const float x = PickCoordinate(in);
    const float y = PickCoordinate(in);
    mesh.verts.push_back(Point3(x, y, PickCoordinate(in)));
  }
  const auto verts = static_cast<DWORD>(mesh.verts.size());
  for (int f = 0; f < numFaces && in.remaining_bytes() > 0; ++f) {
    Face face;
    for (DWORD& v : face.v) {
      // Now and then an index outside the mesh, which the sampler must ignore.
      v = in.ConsumeIntegralInRange<std::uint8_t>(0, 31) == 0
              ? verts + in.ConsumeIntegral<std::uint8_t>()
              : in.ConsumeIntegralInRange<DWORD>(0, verts == 0 ? 0 : verts - 1);
    }
    face.smGroup = in.ConsumeBool() ? 1u : in.ConsumeIntegral<DWORD>();
    mesh.faces.push_back(face);
  }
  sampler.Rebuild(mesh);

  std::vector<Point2> row;
  std::vector<float> expected;
  for (int q = in.ConsumeIntegralInRange(1, 64); q > 0; --q) {
    const float u = PickQuery(in);
    const float v = PickQuery(in);
    row.emplace_back(u, v);
    expected.push_back(sampler.FilteredHeight(u, v, 0.0f, 0.0f));
    constexpr float kUntouched = 12345.0f;
    float height = kUntouched;
    const bool hit = sampler.HeightAt(Point3(u, v, PickQuery(in)), height);
    if (hit && !std::isfinite(height)) Fail("HeightAt returned a height that is not finite", u, v);
    if (!hit && height != kUntouched) Fail("HeightAt changed the height on a miss", u, v);
    if (hit && !(u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f)) Fail("HeightAt hit outside [0, 1)^2", u, v);

    const float du = in.ConsumeBool() ? 0.0f : PickQuery(in);
    const float dv = in.ConsumeBool() ? 0.0f : PickQuery(in);
    const float filtered = sampler.FilteredHeight(u, v, du, dv);
    if (!std::isfinite(filtered)) Fail("FilteredHeight returned a height that is not finite", u, v);
    if (du == 0.0f && dv == 0.0f && filtered != (hit ? height : 0.0f)) {
      Fail("FilteredHeight without a footprint is not HeightAt", u, v);
    }

    Point3 normal(7.0f, 7.0f, 7.0f);
    const bool normalHit = sampler.NormalAt(Point3(u, v, 0.0f), normal);
    if (normalHit != hit) Fail("NormalAt and HeightAt disagree about a hit", u, v);
    if (!normalHit && !(normal.x == 0.0f && normal.y == 0.0f && normal.z == 0.0f)) {
      Fail("NormalAt's miss did not give (0, 0, 0)", u, v);
    }
  }
  // The points again as one row: each its own FilteredHeight without a footprint, bit for bit.
  std::vector<float> heights(row.size());
  sampler.HeightRow(row.data(), static_cast<int>(row.size()), heights.data());
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (std::memcmp(&heights[i], &expected[i], sizeof(float)) != 0) {
      Fail("HeightRow differs from the point's FilteredHeight", row[i].x, row[i].y);
    }
  }
  return 0;
}
