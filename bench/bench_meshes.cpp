#include "bench/bench_meshes.h"

#include <algorithm>
#include <array>
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

namespace {

// Two counter-clockwise triangles per grid square of a side x side vertex block starting at
// vertex `first` (row-major), in smoothing group `group`.
void AddGridFaces(Mesh& mesh, DWORD first, int side, DWORD group) {
  for (int y = 0; y + 1 < side; ++y) {
    for (int x = 0; x + 1 < side; ++x) {
      const DWORD v00 = first + static_cast<DWORD>(y * side + x);
      const DWORD v10 = v00 + 1;
      const DWORD v01 = v00 + static_cast<DWORD>(side);
      const DWORD v11 = v01 + 1;
      Face a, b;
      a.setVerts(v00, v10, v11);
      b.setVerts(v00, v11, v01);
      a.setSmGroup(group);
      b.setSmGroup(group);
      mesh.faces.push_back(a);
      mesh.faces.push_back(b);
    }
  }
}

}  // namespace

Mesh MakeLayeredSheets(int sheets, int side, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Mesh mesh;
  mesh.verts.reserve(static_cast<std::size_t>(sheets) * static_cast<std::size_t>(side) *
                     static_cast<std::size_t>(side));
  mesh.faces.reserve(static_cast<std::size_t>(sheets) * 2 * static_cast<std::size_t>(side - 1) *
                     static_cast<std::size_t>(side - 1));
  const double step = 1.0 / (side - 1);
  for (int k = 0; k < sheets; ++k) {
    const double phaseX = 6.283185307179586 * double(UnitFloat(Draw(rng)));
    const double phaseY = 6.283185307179586 * double(UnitFloat(Draw(rng)));
    const double shift = step * k / sheets;
    const auto first = static_cast<DWORD>(mesh.verts.size());
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        const double fx = x * step + shift;
        const double fy = y * step + shift;
        const double wave = 0.75 * std::sin(fx * 9.0 + phaseX) * std::cos(fy * 7.0 + phaseY) +
                            0.45 * std::sin((fx - fy) * 23.0 + phaseY);
        mesh.verts.emplace_back(float(fx), float(fy), float(k + wave));
      }
    }
    AddGridFaces(mesh, first, side, static_cast<DWORD>(k + 1));
  }
  return mesh;
}

Mesh MakeLobedSphere(int levels) {
  // Icosahedron: the cyclic permutations of (0, +-1, +-t).
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<Point3> unit = {{-1, float(t), 0}, {1, float(t), 0}, {-1, float(-t), 0}, {1, float(-t), 0},
                              {0, -1, float(t)}, {0, 1, float(t)}, {0, -1, float(-t)}, {0, 1, float(-t)},
                              {float(t), 0, -1}, {float(t), 0, 1}, {float(-t), 0, -1}, {float(-t), 0, 1}};
  std::vector<std::array<DWORD, 3>> tris = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                                            {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                            {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                                            {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  const auto normalised = [](double x, double y, double z) {
    const double length = std::sqrt(x * x + y * y + z * z);
    return Point3(float(x / length), float(y / length), float(z / length));
  };
  for (Point3& p : unit) p = normalised(p.x, p.y, p.z);
  for (int level = 0; level < levels; ++level) {
    // Each edge's midpoint is made once, keyed by its two vertices.
    std::map<std::pair<DWORD, DWORD>, DWORD> midpoints;
    const auto midpoint = [&](DWORD a, DWORD b) {
      const auto key = std::minmax(a, b);
      const auto [it, inserted] = midpoints.try_emplace(key, static_cast<DWORD>(unit.size()));
      if (inserted) {
        const Point3& p = unit[a];
        const Point3& q = unit[b];
        unit.push_back(normalised(double(p.x) + q.x, double(p.y) + q.y, double(p.z) + q.z));
      }
      return it->second;
    };
    std::vector<std::array<DWORD, 3>> finer;
    finer.reserve(tris.size() * 4);
    for (const auto& [a, b, c] : tris) {
      const DWORD ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
      finer.push_back({a, ab, ca});
      finer.push_back({b, bc, ab});
      finer.push_back({c, ca, bc});
      finer.push_back({ab, bc, ca});
    }
    tris.swap(finer);
  }
  Mesh mesh;
  mesh.verts.reserve(unit.size());
  for (const Point3& p : unit) {
    // Lobes around the vertical axis and along it: where the radius swells above a narrower
    // band, the swelling overhangs the band and the surface below it.
    const double azimuth = std::atan2(double(p.y), double(p.x));
    const double r =
        1.0 + 0.35 * std::sin(5.0 * azimuth) * std::sin(4.0 * double(p.z)) + 0.25 * std::cos(7.0 * double(p.z));
    mesh.verts.emplace_back(float(r * p.x), float(r * p.y), float(r * p.z));
  }
  mesh.faces.resize(tris.size());
  for (std::size_t f = 0; f < tris.size(); ++f) {
    mesh.faces[f].setVerts(tris[f][0], tris[f][1], tris[f][2]);
    mesh.faces[f].setSmGroup(1);
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
  if (name == "layers") return MakeLayeredSheets(16, 355, kBenchSeed);
  if (name == "lobes") return MakeLobedSphere(7);
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
