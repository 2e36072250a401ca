// The studio's latency from a spinner change to the updated sample slot and viewport preview, as
// the page lives it: a real StudioServer in this process on 127.0.0.1, driven through
// cpp-httplib's client with the page's own requests (POST the parameter, then GET preview.png and
// sample.png), the value alternating so that every change really rebuilds the map. Every change
// is one sample; the run reports their median and 95th percentile and, from the Server-Timing
// headers, where the server spent the time (the map's update, the rendering, the PNG encoding).
//
// Baseline from the same run, without the server: the same map in this process, changed the same
// way, then RenderMap of the sample slot's 256 x 256 image and GetVPDisplayDIB of the preview
// (which rebuilds the map once, as every change must): the least work a change costs the host.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/mesh_io.h"
#include "app/outputs.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "app/session.h"
#include "bench/bench_meshes.h"
#include "bench/command_line.h"
#include "bench/percentiles.h"
#include "host/bitmap.h"
#include "host/scene.h"
#include "studio/server_timing.h"
#include "studio/studio_scene.h"
#include "studio/studio_server.h"

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "latency_bench: %s\n", message.c_str());
  std::exit(1);
}

// The folder the server may open, holding each benchmark mesh as a binary PLY written once from
// the same mesh the other benchmarks use (PLY keeps the host's +Z up, so the studio imports that
// very mesh). Removed at exit.
const fs::path& Root() {
  static const fs::path root = fs::temp_directory_path() / ("veldmap-latency-" + std::to_string(getpid()));
  return root;
}

std::string MeshFile(const std::string& mesh) {
  std::string name = mesh + ".ply";
  const fs::path path = Root() / name;
  if (!fs::exists(path)) {
    fs::create_directories(Root());
    std::string error;
    if (!ExportMesh(path.string(), BenchMesh(mesh), mesh, &error)) Die(error);
  }
  return name;
}

// Samples of one benchmark, by what was timed: "change" (the page's whole wait) and
// "<request>.<phase>" from the server's headers, in milliseconds.
using Samples = std::map<std::string, std::vector<double>>;

std::map<std::string, Samples>& Results() {
  static std::map<std::string, Samples> results;
  return results;
}

void Report(benchmark::State& state, const Samples& samples) {
  for (const auto& [name, values] : samples) {
    if (name == "change") {
      state.counters["p50_ms"] = Median(values);
      state.counters["p95_ms"] = Percentile(values, 95);
    } else {
      state.counters[name + "_p50_ms"] = Median(values);
    }
  }
}

// The value a change sets: the spinner goes back and forth between two values the map must
// rebuild for.
float AlternateValue(benchmark::IterationCount i) { return i % 2 == 0 ? 1.5f : 1.0f; }

void StudioChange(benchmark::State& state, const std::string& mesh) {
  StudioOptions options;
  options.files = {MeshFile(mesh)};
  options.roots = {Root()};
  options.pluginDir = VELDMAP_PLUGIN_DIR;
  options.quiet = true;
  StudioServer server;
  std::string error;
  if (!server.Start(options, &error)) Die(error);
  httplib::Client client("127.0.0.1", server.Port());
  // As a browser's connection: kept alive, and without Nagle's algorithm (Chromium turns it off).
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  client.set_read_timeout(120, 0);
  const httplib::Headers headers = {{"X-Veldmap-Token", server.Token()}};
  const std::string query = "?token=" + server.Token();

  Samples samples;
  std::string previousSample;
  double onServer = 0.0;  // of the current change: its requests' time queued for or on the host thread
  const auto fetch = [&](const std::string& name, const std::string& path) {
    httplib::Result res = client.Get((path + query).c_str(), headers);
    if (!res || res->status != 200) Die(name + ": " + (res ? res->body : httplib::to_string(res.error())));
    for (const auto& [phase, ms] : ParseServerTiming(res->get_header_value("Server-Timing"))) {
      samples[name + "." + phase].push_back(ms);
      if (phase == "wait" || phase == "host") onServer += ms;
    }
    return res->body;
  };
  // The page has shown the map once before the user touches a spinner.
  previousSample = fetch("warm", "/api/maps/1/sample.png");
  fetch("warm", "/api/maps/1/preview.png");
  samples.clear();

  benchmark::IterationCount i = 0;
  for (auto _ : state) {
    const float value = AlternateValue(i++);
    onServer = 0.0;
    const Clock::time_point start = Clock::now();
    httplib::Result res = client.Post("/api/maps/1/params", headers, json{{"param", "uScale"}, {"value", value}}.dump(),
                                      "application/json");
    if (!res || res->status != 200) Die("params: " + (res ? res->body : httplib::to_string(res.error())));
    for (const auto& [phase, ms] : ParseServerTiming(res->get_header_value("Server-Timing"))) {
      samples["params." + phase].push_back(ms);
      if (phase == "wait" || phase == "host") onServer += ms;
    }
    // In the page's order: the preview, whose GetVPDisplayDIB rebuilds the map, then the sample.
    const std::string preview = fetch("preview", "/api/maps/1/preview.png");
    const std::string sample = fetch("sample", "/api/maps/1/sample.png");
    samples["change"].push_back(Milliseconds(Clock::now() - start));
    // The rest: HTTP, the JSON of the answer, the client.
    samples["http"].push_back(samples["change"].back() - onServer);

    // A change that left the map as it was would time nothing worth knowing.
    if (json::parse(res->body).at("value").get<double>() != static_cast<double>(value)) Die("uScale not set");
    if (sample == previousSample) Die("the sample slot did not change with uScale");
    previousSample = sample;
    benchmark::DoNotOptimize(preview.data());
  }
  Report(state, samples);
  Results()["studio/" + mesh] = samples;
}

// The same change made in-process: SetValue, then the two images without HTTP or PNG.
void BareChange(benchmark::State& state, const std::string& mesh) {
  ImportResult imported = ImportMesh((Root() / MeshFile(mesh)).string(), ImportOptions{});
  if (!imported.error.empty() || imported.meshes.size() != 1) Die(mesh + ": " + imported.error);
  struct Host {
    Session session;
    Texmap* map = nullptr;
    // The map and the scene go while the module that made the map is still loaded.
    ~Host() {
      if (map != nullptr) map->DeleteThis();
      GetCOREInterface()->ResetScene();
    }
  } host;
  std::string error;
  if (!host.session.Open(VELDMAP_PLUGIN_DIR, &error)) Die(error);
  INode* node = AddMeshNode(imported.meshes[0].mesh, mesh);
  host.map = host.session.CreateVeldmap();
  IParamBlock2* block = host.map->GetParamBlock(0);
  block->SetValue(ParamByName(block, "node"), 0, node);
  Interval valid = FOREVER;
  host.map->Update(0, valid);

  RenderRequest request;
  request.width = request.height = StudioScene::kSampleSize;
  request.outputs = {FindOutput("color")};
  Samples samples;
  benchmark::IterationCount i = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    block->SetValue(ParamByName(block, "uScale"), 0, AlternateValue(i++));
    // The preview first: its Update is the one rebuild a change needs, and leaves the map current
    // for the sample slot.
    const Clock::time_point previewStart = Clock::now();
    ViewportTexHandleMaker viewport(StudioScene::kPreviewSize);
    BITMAPINFO* dib = host.map->GetVPDisplayDIB(0, viewport, valid, FALSE, 0, 0);
    if (dib == nullptr) Die("no preview");
    FreeDIB(dib);
    const Clock::time_point renderStart = Clock::now();
    RenderResult result = RenderMap(*host.map, request, {});
    benchmark::DoNotOptimize(result.images[0].pixels.data());
    const Clock::time_point end = Clock::now();
    samples["change"].push_back(Milliseconds(end - start));
    samples["bare.preview"].push_back(Milliseconds(renderStart - previewStart));
    samples["bare.render"].push_back(Milliseconds(end - renderStart));
    // The map's own update on its own, for scale (not part of the change).
    state.PauseTiming();
    const Clock::time_point updateStart = Clock::now();
    host.map->Update(0, valid);
    samples["bare.update"].push_back(Milliseconds(Clock::now() - updateStart));
    state.ResumeTiming();
  }
  Report(state, samples);
  Results()["bare/" + mesh] = samples;
}

double P50(const Samples& samples, const std::string& name) {
  const auto found = samples.find(name);
  return found == samples.end() ? 0.0 : Median(found->second);
}

void PrintSummary(const std::vector<std::string>& meshes) {
  std::printf("\nFrom a spinner change to both images (ms; phases are medians from Server-Timing):\n");
  std::printf("  %-8s %7s %8s %8s | %6s %6s %6s | %7s %6s | %6s %6s %6s | %7s %7s %7s | %7s %6s\n", "mesh", "changes",
              "p50", "p95", "http", "edit", "check", "preview", "encode", "update", "render", "encode", "b.prev",
              "b.rend", "b.upd", "floor", "ratio");
  for (const std::string& mesh : meshes) {
    const auto studio = Results().find("studio/" + mesh);
    const auto bare = Results().find("bare/" + mesh);
    if (studio == Results().end()) continue;
    const Samples& s = studio->second;
    const Samples none;
    const Samples& b = bare == Results().end() ? none : bare->second;
    const std::vector<double>& change = s.at("change");
    const double floor = P50(b, "change");
    std::printf(
        "  %-8s %7zu %8.1f %8.1f | %6.1f %6.1f %6.1f | %7.1f %6.1f | %6.1f %6.1f %6.1f | %7.1f %7.1f %7.1f | %7.1f "
        "%5.2fx\n",
        mesh.c_str(), change.size(), Median(change), Percentile(change, 95), P50(s, "http"), P50(s, "params.host"),
        P50(s, "preview.check") + P50(s, "sample.check"), P50(s, "preview.preview"), P50(s, "preview.encode"),
        P50(s, "sample.update"), P50(s, "sample.render"), P50(s, "sample.encode"), P50(b, "bare.preview"),
        P50(b, "bare.render"), P50(b, "bare.update"), floor, floor > 0 ? Median(change) / floor : 0.0);
  }
  std::printf(
      "  http: the change's time off the host thread (HTTP, JSON, client); edit: the POST on the host thread;\n"
      "  check: the index budget before a rebuild; preview: GetVPDisplayDIB (a full Update and the 128^2 grid),\n"
      "  then its encode; update, render, encode: the sample slot's (no update when the preview left the map\n"
      "  current); b.*: the same map in-process without the server; floor: b.preview + b.render a change;\n"
      "  ratio: p50 / floor\n");
  const std::map<std::string, double> targets = {{"engine", 100.0}, {"terrain", 400.0}};
  for (const auto& [mesh, target] : targets) {
    const auto studio = Results().find("studio/" + mesh);
    if (studio == Results().end()) continue;
    const double p50 = Median(studio->second.at("change"));
    std::printf("  target: %s median under %.0f ms: %.1f ms, %s\n", mesh.c_str(), target, p50,
                p50 < target ? "met" : "missed");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = TakeFlag(argc, argv, "--quick");
  // --export-meshes: only write the meshes as the server reads them (engine.ply, terrain.ply) into
  // the folder the next argument names, for page_latency.py, and stop.
  if (argc == 3 && std::string(argv[1]) == "--export-meshes") {
    for (const std::string mesh : {"engine", "terrain"}) {
      std::string error;
      const fs::path path = fs::path(argv[2]) / (mesh + ".ply");
      if (!ExportMesh(path.string(), BenchMesh(mesh), mesh, &error)) Die(error);
      std::printf("%s\n", path.c_str());
    }
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const std::vector<std::string> meshes = {"engine", "terrain"};
  // Every change is a sample, so each benchmark runs a fixed number of them.
  const std::map<std::string, benchmark::IterationCount> changes =
      quick ? std::map<std::string, benchmark::IterationCount>{{"engine", 10}, {"terrain", 6}}
            : std::map<std::string, benchmark::IterationCount>{{"engine", 60}, {"terrain", 30}};
  for (const std::string& mesh : meshes) {
    benchmark::RegisterBenchmark(("Change/" + mesh + "/studio").c_str(), StudioChange, mesh)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(changes.at(mesh))
        ->UseRealTime();
    benchmark::RegisterBenchmark(("Change/" + mesh + "/bare").c_str(), BareChange, mesh)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(changes.at(mesh))
        ->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  PrintSummary(meshes);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(Root(), ec);
  return 0;
}
