// Rendering a height map through the whole host path (the module loaded by the loader, its
// map updated from a node, EvalMono through the UV generator and HeightMapSampler, one shading
// context per task, on all cores) against two baselines from the same run:
//  - ZBuffer: a plain z-buffer rasteriser of the upward faces that keeps the greatest height at
//    each pixel centre, one thread: the limit no per-pixel query method can beat;
//  - HeightAt: the sampler's own query over the same pixel centres, without the host around it.
// At the end it prints the ratios the targets are stated in.
#include <benchmark/benchmark.h>
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/render.h"
#include "app/session.h"
#include "bench/bench_meshes.h"
#include "bench/command_line.h"
#include "host/scene.h"
#include "sampler/surface_sampler.h"

namespace {

// Seconds per iteration of every benchmark that ran, by name, for the verdicts.
std::map<std::string, double>& Timings() {
  static std::map<std::string, double> timings;
  return timings;
}

// Runs body once per iteration, timing it by hand so the verdicts can use the figure.
template <class Body>
void Timed(benchmark::State& state, const std::string& name, long long items, Body body) {
  double total = 0.0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    body();
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * items);
  Timings()[name] = total / static_cast<double>(state.iterations());
}

// The sampler at the map's default settings, built once per mesh.
const SurfaceSampler& Sampler(const std::string& mesh) {
  static std::map<std::string, std::unique_ptr<SurfaceSampler>> samplers;
  auto& slot = samplers[mesh];
  if (!slot) {
    slot = std::make_unique<SurfaceSampler>();
    slot->Rebuild(BenchMesh(mesh));
  }
  return *slot;
}

// The greatest height of the upward faces at every pixel centre, 0 where none covers it, rows
// from the top (v = 1 - (y + 0.5) / side) as the renderer writes them.
void RasteriseUpward(const Mesh& uvMesh, int side, std::vector<float>& depth) {
  depth.assign(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), 0.0f);
  std::vector<unsigned char> hit(depth.size(), 0);
  const float n = static_cast<float>(side);
  for (const Face& f : uvMesh.faces) {
    if (f.v[0] >= uvMesh.verts.size() || f.v[1] >= uvMesh.verts.size() || f.v[2] >= uvMesh.verts.size()) continue;
    const Point3 a = uvMesh.verts[f.v[0]], b = uvMesh.verts[f.v[1]], c = uvMesh.verts[f.v[2]];
    const float area = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    if (!(area > 0.0f)) continue;  // upward faces only
    // Pixel x covers centre u = (x + 0.5) / n; row y covers v = 1 - (y + 0.5) / n.
    const float minU = std::fmin(a.x, std::fmin(b.x, c.x)), maxU = std::fmax(a.x, std::fmax(b.x, c.x));
    const float minV = std::fmin(a.y, std::fmin(b.y, c.y)), maxV = std::fmax(a.y, std::fmax(b.y, c.y));
    const int x0 = std::max(0, static_cast<int>(std::ceil(minU * n - 0.5f)));
    const int x1 = std::min(side - 1, static_cast<int>(std::floor(maxU * n - 0.5f)));
    const int y0 = std::max(0, static_cast<int>(std::ceil((1.0f - maxV) * n - 0.5f)));
    const int y1 = std::min(side - 1, static_cast<int>(std::floor((1.0f - minV) * n - 0.5f)));
    const float inv = 1.0f / area;
    for (int y = y0; y <= y1; ++y) {
      const float v = 1.0f - (static_cast<float>(y) + 0.5f) / n;
      for (int x = x0; x <= x1; ++x) {
        const float u = (static_cast<float>(x) + 0.5f) / n;
        const float w0 = ((b.x - u) * (c.y - v) - (b.y - v) * (c.x - u)) * inv;
        const float w1 = ((c.x - u) * (a.y - v) - (c.y - v) * (a.x - u)) * inv;
        const float w2 = 1.0f - w0 - w1;
        if (w0 < 0.0f || w1 < 0.0f || w2 < 0.0f) continue;
        const float z = w0 * a.z + w1 * b.z + w2 * c.z;
        const std::size_t at =
            static_cast<std::size_t>(y) * static_cast<std::size_t>(side) + static_cast<std::size_t>(x);
        if (!hit[at] || z > depth[at]) depth[at] = z;
        hit[at] = 1;
      }
    }
  }
}

void ZBuffer(benchmark::State& state, const std::string& mesh, int side) {
  const Mesh uvMesh = Sampler(mesh).workMesh;  // copied once, outside the timing
  std::vector<float> depth;
  Timed(state, "ZBuffer/" + mesh + "/" + std::to_string(side), static_cast<long long>(side) * side, [&] {
    RasteriseUpward(uvMesh, side, depth);
    benchmark::DoNotOptimize(depth.data());
  });
}

// The sampler alone over the same pixel centres, split into rows the same way: point by point
// (HeightAt, what a render used to ask) or a row at a time (HeightRow, what it asks now).
void SamplerPixels(benchmark::State& state, const std::string& mesh, int side, int threads, bool rows) {
  const SurfaceSampler& sampler = Sampler(mesh);
  std::vector<float> out(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
  Timed(state,
        std::string(rows ? "HeightRow/" : "HeightAt/") + mesh + "/" + std::to_string(side) +
            "/threads:" + std::to_string(threads),
        static_cast<long long>(side) * side, [&] {
          tbb::parallel_for(tbb::blocked_range<int>(0, side), [&](const tbb::blocked_range<int>& band) {
            std::vector<Point2> row(static_cast<std::size_t>(side));
            for (int y = band.begin(); y != band.end(); ++y) {
              const float v = 1.0f - (static_cast<float>(y) + 0.5f) / static_cast<float>(side);
              float* heights = out.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(side);
              for (int x = 0; x < side; ++x) {
                row[static_cast<std::size_t>(x)] = Point2((static_cast<float>(x) + 0.5f) / static_cast<float>(side), v);
              }
              if (rows) {
                sampler.HeightRow(row.data(), side, heights);
                continue;
              }
              for (int x = 0; x < side; ++x) {
                float h = 0.0f;
                sampler.HeightAt(Point3(row[static_cast<std::size_t>(x)].x, v, 0.0f), h);
                heights[x] = h;
              }
            }
          });
          benchmark::DoNotOptimize(out.data());
        });
}

// The map the host path renders: made by the module the loader opened, picking a node that holds
// the mesh, updated once.
struct HostMap {
  Session session;
  Texmap* map = nullptr;
  // The map and the scene go while the module that made the map is still loaded.
  ~HostMap() {
    if (map != nullptr) map->DeleteThis();
    GetCOREInterface()->ResetScene();
  }
};

// Emptied before main returns: the map's parameter descriptions are statics of the module, made
// when it loaded, after this table, so at exit they would go before the maps that use them.
std::map<std::string, std::unique_ptr<HostMap>>& HostMaps() {
  static std::map<std::string, std::unique_ptr<HostMap>> maps;
  return maps;
}

HostMap& Host(const std::string& mesh) {
  auto& slot = HostMaps()[mesh];
  if (!slot) {
    slot = std::make_unique<HostMap>();
    std::string error;
    if (!slot->session.Open(VELDMAP_PLUGIN_DIR, &error)) {
      std::fprintf(stderr, "render_bench: %s\n", error.c_str());
      std::abort();
    }
    TriObject* object = CreateNewTriObject();
    object->GetMesh() = BenchMesh(mesh);
    INode* node = GetCOREInterface()->CreateObjectNode(object);
    slot->map = slot->session.CreateVeldmap();
    IParamBlock2* block = slot->map->GetParamBlock(0);
    block->SetValue(ParamByName(block, "node"), 0, node);
    Interval valid = FOREVER;
    slot->map->Update(0, valid);
  }
  return *slot;
}

void HostRender(benchmark::State& state, const std::string& mesh, int side, int threads) {
  Texmap& map = *Host(mesh).map;
  RenderRequest request;
  request.width = request.height = side;
  request.threads = threads;
  Timed(state, "Render/" + mesh + "/" + std::to_string(side) + "/threads:" + std::to_string(threads),
        static_cast<long long>(side) * side, [&] {
          RenderResult result = RenderMap(map, request, {});
          benchmark::DoNotOptimize(result.images[0].pixels.data());
        });
}

void HostUpdate(benchmark::State& state, const std::string& mesh) {
  Texmap& map = *Host(mesh).map;
  Timed(state, "Update/" + mesh, static_cast<long long>(BenchMesh(mesh).getNumFaces()), [&] {
    Interval valid = FOREVER;
    map.Update(0, valid);
  });
}

// How often the rasteriser and the sampler disagree at 1024 x 1024 on a mesh: a check that the
// baseline answers the same question.
void PrintAgreement(const std::string& mesh) {
  const int side = 1024;
  std::vector<float> depth;
  RasteriseUpward(Sampler(mesh).workMesh, side, depth);
  long long differ = 0;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      float h = 0.0f;
      Sampler(mesh).HeightAt(
          Point3((static_cast<float>(x) + 0.5f) / side, 1.0f - (static_cast<float>(y) + 0.5f) / side, 0), h);
      if (std::fabs(h - depth[static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x)]) > 1e-5f) ++differ;
    }
  }
  std::printf("  %-8s z-buffer vs HeightAt at 1024^2: %lld of %d pixels differ by more than 1e-5\n", mesh.c_str(),
              differ, side * side);
}

// Whether the host path's image is HeightAt's at every pixel, bit for bit (0 where nothing is hit).
void PrintRenderAgreement(const std::string& mesh) {
  constexpr int side = 1024;
  RenderRequest request;
  request.width = request.height = side;
  const RenderResult result = RenderMap(*Host(mesh).map, request, {});
  long long differ = 0;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      float h = 0.0f;
      Sampler(mesh).HeightAt(
          Point3((static_cast<float>(x) + 0.5f) / side, 1.0f - (static_cast<float>(y) + 0.5f) / side, 0), h);
      const float got = result.images[0].pixels[static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x)];
      if (std::bit_cast<std::uint32_t>(got) != std::bit_cast<std::uint32_t>(h)) ++differ;
    }
  }
  std::printf("  %-8s render vs HeightAt at 1024^2: %lld of %d pixels differ in any bit\n", mesh.c_str(), differ,
              side * side);
}

void PrintVerdicts(const std::vector<std::string>& meshes, const std::vector<int>& sides) {
  auto& t = Timings();
  std::printf("\nVerdicts (ratios of figures from this run):\n");
  for (const std::string& mesh : meshes) {
    PrintAgreement(mesh);
    PrintRenderAgreement(mesh);
  }
  std::printf("  %-8s %5s %10s %10s %10s %10s %10s %12s %14s\n", "mesh", "side", "zbuf 1t", "render 1t", "render 2t",
              "heightAt 2t", "row 2t", "2t / zbuf", "host share 2t");
  for (const std::string& mesh : meshes) {
    for (const int side : sides) {
      const std::string s = std::to_string(side);
      const double z = t["ZBuffer/" + mesh + "/" + s];
      const double r1 = t["Render/" + mesh + "/" + s + "/threads:1"];
      const double r2 = t["Render/" + mesh + "/" + s + "/threads:2"];
      const double h2 = t["HeightAt/" + mesh + "/" + s + "/threads:2"];
      const double w2 = t["HeightRow/" + mesh + "/" + s + "/threads:2"];
      if (z <= 0 || r2 <= 0) continue;
      // The host's share is what the render spends beyond the sampler's own walk along the rows.
      std::printf("  %-8s %5d %9.1fms %9.1fms %9.1fms %9.1fms %9.1fms %11.2fx %13.0f%%\n", mesh.c_str(), side, z * 1e3,
                  r1 * 1e3, r2 * 1e3, h2 * 1e3, w2 * 1e3, r2 / z, 100.0 * (r2 - w2) / r2);
    }
  }
  std::printf(
      "  targets: 2048^2 on both cores no slower than the z-buffer on one (2t / zbuf <= 1), the render equal to\n"
      "  HeightAt at every pixel; host share (render - row walk) / render under 25%%\n");
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = TakeFlag(argc, argv, "--quick");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const std::vector<std::string> meshes = {"terrain", "engine", "wuson", "layers"};
  const std::vector<int> sides = quick ? std::vector<int>{1024} : std::vector<int>{1024, 2048};
  const double minTime = quick ? 0.05 : 0.5;
  using benchmark::RegisterBenchmark;
  for (const std::string& mesh : meshes) {
    RegisterBenchmark(("Update/" + mesh).c_str(), HostUpdate, mesh)->Unit(benchmark::kMillisecond)->MinTime(minTime);
    for (const int side : sides) {
      const std::string s = std::to_string(side);
      RegisterBenchmark(("ZBuffer/" + mesh + "/" + s).c_str(), ZBuffer, mesh, side)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(minTime);
      for (const int threads : {1, 2}) {
        const std::string suffix = "/" + s + "/threads:" + std::to_string(threads);
        RegisterBenchmark(("HeightAt/" + mesh + suffix).c_str(), SamplerPixels, mesh, side, threads, false)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(minTime)
            ->UseRealTime();
        RegisterBenchmark(("HeightRow/" + mesh + suffix).c_str(), SamplerPixels, mesh, side, threads, true)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(minTime)
            ->UseRealTime();
        RegisterBenchmark(("Render/" + mesh + suffix).c_str(), HostRender, mesh, side, threads)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(minTime)
            ->UseRealTime();
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  PrintVerdicts(meshes, sides);
  HostMaps().clear();
  benchmark::Shutdown();
  return 0;
}
