#include "bench/bench_meshes.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "tests/support/mesh_file.h"

float UnitFloat(std::uint32_t bits) { return static_cast<float>(bits >> 8) * 0x1.0p-24f; }

namespace {

// mt19937 yields 32-bit values in a wider result type.
std::uint32_t Draw(std::mt19937& rng) { return static_cast<std::uint32_t>(rng()); }

}  // namespace

Mesh MakeTerrain(int side, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Mesh mesh;
  mesh.setNumVerts(side * side);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const double fx = x;
      const double fy = y;
      // Long hills, a diagonal ridge pattern and a short ripple: every face gets its own slope,
      // and the noise (much smaller than a ripple) keeps neighbouring faces from being coplanar.
      const double smooth = 40.0 * std::sin(fx * 0.011) * std::cos(fy * 0.017) + 15.0 * std::sin((fx + fy) * 0.031) +
                            5.0 * std::sin(fx * 0.11 - fy * 0.07);
      const double noise = 2.0 * (double(UnitFloat(Draw(rng))) - 0.5);
      mesh.setVert(y * side + x, Point3(float(x), float(y), float(smooth + noise)));
    }
  }
  const int squares = side - 1;
  mesh.setNumFaces(2 * squares * squares);
  int f = 0;
  for (int y = 0; y < squares; ++y) {
    for (int x = 0; x < squares; ++x) {
      const auto v00 = static_cast<DWORD>(y * side + x);
      const DWORD v10 = v00 + 1;
      const auto v01 = v00 + static_cast<DWORD>(side);
      const DWORD v11 = v01 + 1;
      mesh.faces[static_cast<std::size_t>(f)].setVerts(v00, v10, v11);
      mesh.faces[static_cast<std::size_t>(f++)].setSmGroup(1);
      mesh.faces[static_cast<std::size_t>(f)].setVerts(v00, v11, v01);
      mesh.faces[static_cast<std::size_t>(f++)].setSmGroup(1);
    }
  }
  return mesh;
}

std::vector<Point2> MakeQueryPoints(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Point2> points(count);
  for (Point2& p : points) {
    // Two statements, so the order of the draws is fixed (argument order is not).
    const float u = UnitFloat(Draw(rng));
    const float v = UnitFloat(Draw(rng));
    p = Point2(u, v);
  }
  return points;
}

std::vector<Point2> MakeRasterPoints(int side) {
  std::vector<Point2> points;
  points.reserve(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
  const double pitch = 1.0 / side;
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) points.emplace_back(float((x + 0.5) * pitch), float((y + 0.5) * pitch));
  return points;
}

namespace {

Mesh LoadBenchMesh(const std::string& name) {
  if (name == "terrain") return MakeTerrain(1000, kBenchSeed);
  std::string relative;
  if (name == "engine") relative = "/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb";
  if (name == "wuson") relative = "/PLY/Wuson.ply";
  if (relative.empty()) {
    std::fprintf(stderr, "sampler_bench: no benchmark mesh is called '%s'\n", name.c_str());
    std::abort();
  }
  Mesh mesh;
  std::string error;
  if (!ReadMeshFile(kAssimpModels + relative, mesh, &error) || mesh.getNumFaces() == 0) {
    std::fprintf(stderr, "sampler_bench: cannot read %s%s: %s\n", kAssimpModels.c_str(), relative.c_str(),
                 error.empty() ? "no faces" : error.c_str());
    std::abort();
  }
  return mesh;
}

}  // namespace

const Mesh& BenchMesh(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Mesh>> meshes;
  const std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<Mesh>& mesh = meshes[name];
  if (!mesh) mesh = std::make_unique<Mesh>(LoadBenchMesh(name));
  return *mesh;
}
