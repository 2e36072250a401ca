// Throughput of SurfaceSampler against its two baselines, measured in one run so every ratio is
// taken between figures from the same machine state: the literal reference::Sampler (the slow
// reading of the same definition) and Embree 3 casting one vertical ray per query.
//
// Every benchmark reports items per second (faces for builds, queries or rays for the rest) and
// the build benchmarks report memory per face. README.md lists what each name means.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_meshes.h"
#include "bench/command_line.h"
#include "bench/embree_height_field.h"
#include "bench/heap_meter.h"
#include "bench/sweep.h"
#include "sampler/surface_sampler.h"

namespace {

constexpr std::size_t kQueryPointCount = 1'000'000;
// The raster benchmarks ask for the same number of points, in bake order.
constexpr int kRasterSide = 1000;
// Heights are normalised to [0, 1]; Embree's t loses a few ulps of the ray's start height.
constexpr float kHeightTolerance = 1e-5f;
// Points compared between implementations, per mesh (and depth).
constexpr std::size_t kAgreementPoints = 100'000;

const std::vector<Point2>& QueryPoints() {
  static const std::vector<Point2> points = MakeQueryPoints(kQueryPointCount, kBenchSeed + 1);
  return points;
}

const std::vector<Point2>& RasterPoints() {
  static const std::vector<Point2> points = MakeRasterPoints(kRasterSide);
  return points;
}

// Built once per key, on first use, by whichever thread asks first; never released, so the
// references stay valid for the whole run.
template <typename T>
const T& Cached(const std::string& key, const std::function<std::unique_ptr<T>()>& make) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<T>> items;
  const std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<T>& item = items[key];
  if (!item) item = make();
  return *item;
}

std::string Key(const std::string& mesh, int depth) { return mesh + "/" + std::to_string(depth); }

const SurfaceSampler& RealSampler(const std::string& mesh, int depth) {
  return Cached<SurfaceSampler>(Key(mesh, depth), [&] {
    auto sampler = std::make_unique<SurfaceSampler>();
    sampler->quadTreeDepth = depth;
    sampler->Rebuild(BenchMesh(mesh));
    return sampler;
  });
}

const reference::Sampler& LiteralSampler(const std::string& mesh, int depth) {
  return Cached<reference::Sampler>(Key(mesh, depth), [&] {
    auto sampler = std::make_unique<reference::Sampler>();
    sampler->quadTreeDepth = depth;
    sampler->Rebuild(BenchMesh(mesh));
    return sampler;
  });
}

// The normalised mesh all three implementations answer on: the real sampler's work mesh (the
// same at every depth).
const UvTriangles& MeshTriangles(const std::string& mesh) {
  return Cached<UvTriangles>(
      mesh, [&] { return std::make_unique<UvTriangles>(UvTriangles::From(RealSampler(mesh, 6).workMesh)); });
}

struct EmbreeBaseline {
  explicit EmbreeBaseline(const UvTriangles& triangles) : field(device, triangles) {}
  EmbreeDevice device{nullptr};
  EmbreeHeightField field;
};

const EmbreeBaseline& Embree(const std::string& mesh) {
  return Cached<EmbreeBaseline>(mesh, [&] { return std::make_unique<EmbreeBaseline>(MeshTriangles(mesh)); });
}

// ---- queries ----

float SweepRays(const EmbreeHeightField& field, std::span<const Point2> points) {
  float sum = 0.0f;
  for (const Point2& p : points) {
    float height = 0.0f;
    if (field.HeightAt(p.x, p.y, height)) sum += height;
  }
  return sum;
}

double CachedValue(const std::string& key, const std::function<double()>& compute) {
  return Cached<double>(key, [&] { return std::make_unique<double>(compute()); });
}

void SetThroughput(benchmark::State& state, std::size_t itemsPerIteration) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(itemsPerIteration));
}

enum class Order { kRandom, kRaster };

const std::vector<Point2>& PointsIn(Order order) { return order == Order::kRandom ? QueryPoints() : RasterPoints(); }

void RealQueries(benchmark::State& state, const std::string& mesh, int depth, Query query, Order order) {
  const SurfaceSampler& sampler = RealSampler(mesh, depth);
  const std::span<const Point2> points = Slice(PointsIn(order), state.thread_index(), state.threads());
  for (auto _ : state) {
    float sum = Sweep(sampler, query, points);
    benchmark::DoNotOptimize(sum);
  }
  SetThroughput(state, points.size());
}

void LiteralQueries(benchmark::State& state, const std::string& mesh, int depth, Query query) {
  const reference::Sampler& sampler = LiteralSampler(mesh, depth);
  const std::size_t count =
      LiteralPointCount(sampler.root != nullptr ? MeanLeafFaces(*sampler.root) : 0.0, kQueryPointCount);
  const std::span<const Point2> all = std::span<const Point2>(QueryPoints()).first(count);
  const std::span<const Point2> points = Slice(all, state.thread_index(), state.threads());
  for (auto _ : state) {
    float sum = Sweep(sampler, query, points);
    benchmark::DoNotOptimize(sum);
  }
  SetThroughput(state, points.size());
  if (state.thread_index() == 0) {
    state.counters["points"] = double(count);
    if (query == Query::kHeightAt) {
      // The two must give equal heights everywhere; any difference means one of them is wrong.
      const SurfaceSampler& real = RealSampler(mesh, depth);
      state.counters["differs_from_real"] = CachedValue("literal/" + Key(mesh, depth), [&] {
        return Disagreement(
            all.first(std::min(count, kAgreementPoints)), 0.0f,
            [&](const Point2& p, float& h) { return sampler.HeightAt(Point3(p.x, p.y, 0.0f), h); },
            [&](const Point2& p, float& h) { return real.HeightAt(Point3(p.x, p.y, 0.0f), h); });
      });
    }
  }
}

void EmbreeRays(benchmark::State& state, const std::string& mesh, Order order) {
  const EmbreeHeightField& field = Embree(mesh).field;
  const std::span<const Point2> points = Slice(PointsIn(order), state.thread_index(), state.threads());
  for (auto _ : state) {
    float sum = SweepRays(field, points);
    benchmark::DoNotOptimize(sum);
  }
  SetThroughput(state, points.size());
  if (state.thread_index() == 0 && order == Order::kRandom) {
    // Embree's watertight edge test and its t rounding may differ from the barycentric test on
    // a few points that lie on an edge; anything more means the two answer different questions.
    const SurfaceSampler& real = RealSampler(mesh, 6);
    state.counters["differs_from_real"] = CachedValue("embree/" + mesh, [&] {
      return Disagreement(
          std::span<const Point2>(QueryPoints()).first(kAgreementPoints), kHeightTolerance,
          [&](const Point2& p, float& h) { return field.HeightAt(p.x, p.y, h); },
          [&](const Point2& p, float& h) { return real.HeightAt(Point3(p.x, p.y, 0.0f), h); });
    });
  }
}

// ---- builds ----

struct BuildMemory {
  double peakBytes = 0.0;
  double keptBytes = 0.0;
  double indexMeshBytes = 0.0;  // real sampler only: IndexBytes() plus its work mesh
};

const BuildMemory& CachedMemory(const std::string& key, const std::function<BuildMemory()>& measure) {
  return Cached<BuildMemory>(key, [&] { return std::make_unique<BuildMemory>(measure()); });
}

void SetMemoryCounters(benchmark::State& state, const BuildMemory& memory, int faces) {
  state.counters["faces"] = faces;
  state.counters["peak_bytes_per_face"] = memory.peakBytes / faces;
  state.counters["kept_bytes_per_face"] = memory.keptBytes / faces;
  if (memory.indexMeshBytes > 0.0) state.counters["index_mesh_bytes_per_face"] = memory.indexMeshBytes / faces;
}

void RealBuild(benchmark::State& state, const std::string& mesh, int depth) {
  const Mesh& source = BenchMesh(mesh);
  // Measured on a fresh sampler: a rebuild in place would first free the previous index.
  const BuildMemory& memory = CachedMemory("real/" + Key(mesh, depth), [&] {
    SurfaceSampler fresh;
    fresh.quadTreeDepth = depth;
    const heap_meter::Window window;
    fresh.Rebuild(source);
    const heap_meter::Reading reading = window.Read();
    const std::size_t meshBytes =
        fresh.workMesh.verts.capacity() * sizeof(Point3) + fresh.workMesh.faces.capacity() * sizeof(Face);
    return BuildMemory{double(reading.peak), double(reading.kept), double(fresh.IndexBytes() + meshBytes)};
  });
  SurfaceSampler sampler;
  sampler.quadTreeDepth = depth;
  for (auto _ : state) {
    sampler.Rebuild(source);
    benchmark::DoNotOptimize(sampler.root);
    benchmark::ClobberMemory();
  }
  SetThroughput(state, static_cast<std::size_t>(source.getNumFaces()));
  SetMemoryCounters(state, memory, source.getNumFaces());
}

void LiteralBuild(benchmark::State& state, const std::string& mesh, int depth) {
  const Mesh& source = BenchMesh(mesh);
  const BuildMemory& memory = CachedMemory("literal/" + Key(mesh, depth), [&] {
    reference::Sampler fresh;
    fresh.quadTreeDepth = depth;
    const heap_meter::Window window;
    fresh.Rebuild(source);
    const heap_meter::Reading reading = window.Read();
    return BuildMemory{double(reading.peak), double(reading.kept), 0.0};
  });
  reference::Sampler sampler;
  sampler.quadTreeDepth = depth;
  for (auto _ : state) {
    sampler.Rebuild(source);
    benchmark::DoNotOptimize(sampler.root);
    benchmark::ClobberMemory();
  }
  SetThroughput(state, static_cast<std::size_t>(source.getNumFaces()));
  SetMemoryCounters(state, memory, source.getNumFaces());
}

// config null: Embree's default, one build thread per hardware thread. The device lives only
// for this benchmark, so a thread limit it sets does not reach the others.
void EmbreeBuild(benchmark::State& state, const std::string& mesh, const char* config) {
  const UvTriangles& triangles = MeshTriangles(mesh);
  EmbreeDevice device(config);
  const BuildMemory& memory = CachedMemory("embree/" + mesh + "/" + (config != nullptr ? config : "default"), [&] {
    // The BVH comes from Embree's own allocator (its monitor); the few C++ objects around it
    // from operator new. The buffers it reads are ours and shared, but it needs them kept.
    device.ResetPeak();
    const std::int64_t before = device.LiveBytes();
    const heap_meter::Window window;
    const EmbreeHeightField field(device, triangles);
    const heap_meter::Reading heap = window.Read();
    const auto buffers = double(triangles.Bytes());
    return BuildMemory{double(device.PeakBytes() - before) + double(heap.peak) + buffers,
                       double(device.LiveBytes() - before) + double(heap.kept) + buffers, 0.0};
  });
  for (auto _ : state) {
    const EmbreeHeightField field(device, triangles);
    benchmark::DoNotOptimize(&field);
    benchmark::ClobberMemory();
  }
  SetThroughput(state, triangles.TriangleCount());
  SetMemoryCounters(state, memory, static_cast<int>(triangles.TriangleCount()));
}

// ---- the run ----

// One upward triangle at height 0.25 under a downward one at 0.75, both over (0.25, 0.25): the
// ray must pass the downward face and report 0.25. If Embree's normal convention were the other
// way round, every Embree figure would measure the wrong question, so the run stops.
void CheckEmbreeConvention() {
  UvTriangles triangles;
  triangles.vertices = {0, 0, 0.25f, 1, 0, 0.25f, 0, 1, 0.25f, 0, 0, 0.75f, 1, 0, 0.75f, 0, 1, 0.75f, 0};
  triangles.indices = {0, 1, 2, 3, 5, 4};
  triangles.maxHeight = 0.75f;
  const EmbreeDevice device(nullptr);
  const EmbreeHeightField field(device, triangles);
  float height = -1.0f;
  if (!field.HeightAt(0.25f, 0.25f, height) || std::fabs(height - 0.25f) > kHeightTolerance ||
      field.HeightAt(0.75f, 0.75f, height)) {
    std::fprintf(stderr, "sampler_bench: Embree does not see the upward face as expected (height %g)\n", height);
    std::exit(1);
  }
}

struct Plan {
  std::vector<std::string> meshes;
  // Meshes whose builds, and whose literal sampler, are measured; empty: all of them.
  std::vector<std::string> fullMeshes;
  std::vector<int> realDepths;
  std::vector<int> literalDepths;
  std::vector<Query> queries;
  std::vector<Query> literalQueries;
  bool embreeSingleThreadBuild = true;
  bool raster = true;
  double buildMinTime = 1.0;
  double queryMinTime = 1.0;
};

Plan FullPlan() {
  Plan plan;
  plan.meshes = {"terrain", "engine", "wuson", "layers", "lobes"};
  plan.realDepths = {2, 6, 8, 10};
  plan.literalDepths = {2, 6, 8, 10};
  plan.queries = {Query::kHeightAt, Query::kFilteredU, Query::kFilteredUV, Query::kNormalAt};
  plan.literalQueries = plan.queries;
  return plan;
}

// Enough to see that nothing regressed by a large factor, in well under a minute; the stack of
// sheets is in it so that the layered case is measured on every run.
Plan QuickPlan() {
  Plan plan;
  plan.meshes = {"terrain", "engine", "layers"};
  // The stack's builds and its literal sampler would take longer than everything else here.
  plan.fullMeshes = {"terrain", "engine"};
  plan.realDepths = {6, 10};
  plan.literalDepths = {10};
  plan.queries = {Query::kHeightAt, Query::kNormalAt};
  plan.literalQueries = {Query::kHeightAt};
  plan.embreeSingleThreadBuild = false;
  plan.raster = false;
  plan.buildMinTime = 0.05;
  plan.queryMinTime = 0.05;
  return plan;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

void Register(const Plan& plan) {
  using benchmark::RegisterBenchmark;
  const auto full = [&](const std::string& mesh) { return plan.fullMeshes.empty() || Contains(plan.fullMeshes, mesh); };
  for (const std::string& mesh : plan.meshes) {
    if (!full(mesh)) continue;
    for (int depth : plan.realDepths) {
      RegisterBenchmark(("Build/" + mesh + "/real/depth:" + std::to_string(depth)).c_str(), RealBuild, mesh, depth)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(plan.buildMinTime);
    }
    for (int depth : plan.literalDepths) {
      RegisterBenchmark(("Build/" + mesh + "/literal/depth:" + std::to_string(depth)).c_str(), LiteralBuild, mesh,
                        depth)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(plan.buildMinTime);
    }
    // Process CPU time next to real time shows how many threads Embree's builder kept busy.
    RegisterBenchmark(("Build/" + mesh + "/embree").c_str(), EmbreeBuild, mesh, static_cast<const char*>(nullptr))
        ->Unit(benchmark::kMillisecond)
        ->MinTime(plan.buildMinTime)
        ->MeasureProcessCPUTime()
        ->UseRealTime();
    if (plan.embreeSingleThreadBuild) {
      RegisterBenchmark(("Build/" + mesh + "/embree_1thread").c_str(), EmbreeBuild, mesh,
                        static_cast<const char*>("threads=1"))
          ->Unit(benchmark::kMillisecond)
          ->MinTime(plan.buildMinTime)
          ->MeasureProcessCPUTime()
          ->UseRealTime();
    }
  }
  // Real time throughout, so one- and two-thread items/s compare directly.
  for (const std::string& mesh : plan.meshes) {
    for (Query query : plan.queries) {
      for (int depth : plan.realDepths) {
        RegisterBenchmark((std::string(QueryName(query)) + "/" + mesh + "/real/depth:" + std::to_string(depth)).c_str(),
                          RealQueries, mesh, depth, query, Order::kRandom)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(plan.queryMinTime)
            ->UseRealTime()
            ->Threads(1)
            ->Threads(2);
      }
    }
    for (Query query : plan.literalQueries) {
      if (!full(mesh)) break;
      for (int depth : plan.literalDepths) {
        RegisterBenchmark(
            (std::string(QueryName(query)) + "/" + mesh + "/literal/depth:" + std::to_string(depth)).c_str(),
            LiteralQueries, mesh, depth, query)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(plan.queryMinTime)
            ->UseRealTime()
            ->Threads(1);
      }
    }
    RegisterBenchmark(("HeightAt/" + mesh + "/embree").c_str(), EmbreeRays, mesh, Order::kRandom)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(plan.queryMinTime)
        ->UseRealTime()
        ->Threads(1)
        ->Threads(2);
    // Random points defeat every cache; a bake asks in raster order. Both baselines get the same.
    if (plan.raster) {
      for (int depth : plan.realDepths) {
        RegisterBenchmark(("HeightAtRaster/" + mesh + "/real/depth:" + std::to_string(depth)).c_str(), RealQueries,
                          mesh, depth, Query::kHeightAt, Order::kRaster)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(plan.queryMinTime)
            ->UseRealTime();
      }
      RegisterBenchmark(("HeightAtRaster/" + mesh + "/embree").c_str(), EmbreeRays, mesh, Order::kRaster)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(plan.queryMinTime)
          ->UseRealTime();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Google Benchmark refuses flags it does not know, so ours goes first.
  const bool quick = TakeFlag(argc, argv, "--quick");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  CheckEmbreeConvention();
  benchmark::AddCustomContext("veldmap_plan", quick ? "quick" : "full");
  benchmark::AddCustomContext("veldmap_seed", std::to_string(kBenchSeed));
  benchmark::AddCustomContext("veldmap_query_points", std::to_string(kQueryPointCount));
  Register(quick ? QuickPlan() : FullPlan());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
