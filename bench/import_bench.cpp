// Mesh import: our own PLY, STL and OBJ readers against assimp on the same files, in one run. The
// files are the sampler benchmark's 2-million-face terrain written once as binary PLY, binary STL
// and OBJ into a temporary folder, so both readers find them in the page cache. Before timing, the
// run checks that both paths give the same mesh; at the end it prints each ratio and the readers'
// throughput in MB/s of file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/mesh_io.h"
#include "bench/bench_meshes.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "import_bench: %s\n", what.c_str());
  std::exit(1);
}

void Put(std::string& out, const void* data, std::size_t n) { out.append(static_cast<const char*>(data), n); }

std::string BinaryPly(const Mesh& mesh) {
  std::string s = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(mesh.verts.size()) +
                  "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                  std::to_string(mesh.faces.size()) + "\nproperty list uchar int vertex_indices\nend_header\n";
  s.reserve(s.size() + mesh.verts.size() * 12 + mesh.faces.size() * 13);
  for (const Point3& p : mesh.verts) Put(s, &p.x, 12);
  for (const Face& f : mesh.faces) {
    const unsigned char three = 3;
    const std::int32_t v[3] = {static_cast<std::int32_t>(f.v[0]), static_cast<std::int32_t>(f.v[1]),
                               static_cast<std::int32_t>(f.v[2])};
    Put(s, &three, 1);
    Put(s, v, 12);
  }
  return s;
}

std::string BinaryStl(const Mesh& mesh) {
  std::string s(80, ' ');
  const auto count = static_cast<std::uint32_t>(mesh.faces.size());
  Put(s, &count, 4);
  s.reserve(s.size() + mesh.faces.size() * 50);
  for (const Face& f : mesh.faces) {
    const float normal[3] = {0.0f, 0.0f, 1.0f};
    Put(s, normal, 12);
    for (const DWORD v : f.v) Put(s, &mesh.verts[v].x, 12);
    s.append(2, '\0');
  }
  return s;
}

// Coordinates in their shortest exact decimal form, as careful exporters write them.
std::string Obj(const Mesh& mesh) {
  std::string s = "# terrain\no terrain\n";
  s.reserve(mesh.verts.size() * 40 + mesh.faces.size() * 30);
  char buf[32];
  for (const Point3& p : mesh.verts) {
    s += 'v';
    for (const float c : {p.x, p.y, p.z}) {
      s += ' ';
      s.append(buf, std::to_chars(buf, buf + sizeof buf, c).ptr);
    }
    s += '\n';
  }
  for (const Face& f : mesh.faces) {
    s += 'f';
    for (const DWORD v : f.v) {
      s += ' ';
      s.append(buf, std::to_chars(buf, buf + sizeof buf, v + 1).ptr);
    }
    s += '\n';
  }
  return s;
}

struct Files {
  fs::path folder;
  std::map<std::string, std::string> path;  // "ply", "stl", "obj"
  std::map<std::string, double> bytes;
  Files() {
    folder = fs::temp_directory_path() / ("veldmap-import-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const Mesh& terrain = BenchMesh("terrain");
    for (const auto& [format, data] : {std::pair<std::string, std::string>{"ply", BinaryPly(terrain)},
                                       std::pair<std::string, std::string>{"stl", BinaryStl(terrain)},
                                       std::pair<std::string, std::string>{"obj", Obj(terrain)}}) {
      const std::string file = (folder / ("terrain." + format)).string();
      std::ofstream out(file, std::ios::binary);
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
      if (!out.good()) Die("cannot write " + file);
      path[format] = file;
      bytes[format] = static_cast<double>(data.size());
    }
  }
  ~Files() { fs::remove_all(folder); }
};

Files& TheFiles() {
  static Files files;
  return files;
}

// Both paths must give the same mesh, or no ratio means anything.
void CheckSameResult(const std::string& format) {
  const std::string& path = TheFiles().path[format];
  const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, {});
  if (!own || !own->error.empty()) Die("our reader did not take " + path);
  const ImportResult viaAssimp = ImportMeshWithAssimp(path, {});
  if (!viaAssimp.error.empty()) Die(viaAssimp.error);
  if (own->meshes.size() != 1 || viaAssimp.meshes.size() != 1 || !(own->meshes[0].mesh == viaAssimp.meshes[0].mesh)) {
    Die("our reader and assimp disagree on " + path);
  }
  std::printf("%s: %zu vertices, %zu faces, %.1f MB, the same through both readers\n", format.c_str(),
              own->meshes[0].mesh.verts.size(), own->meshes[0].mesh.faces.size(), TheFiles().bytes[format] / 1e6);
}

void Import(benchmark::State& state, const std::string& format, bool own) {
  const std::string& path = TheFiles().path[format];
  for (auto _ : state) {
    ImportResult result = own ? *ImportMeshWithOwnReaders(path, {}) : ImportMeshWithAssimp(path, {});
    benchmark::DoNotOptimize(result.meshes.data());
    if (result.meshes.empty()) state.SkipWithError("import failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(TheFiles().bytes[format]));
}

// Keeps each benchmark's mean real time for the verdicts.
class Recorder : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  for (const char* format : {"ply", "stl", "obj"}) CheckSameResult(format);
  for (const char* format : {"ply", "stl", "obj"}) {
    const std::string f = format;
    benchmark::RegisterBenchmark(("Import/" + f + "/own").c_str(), [f](benchmark::State& s) { Import(s, f, true); })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(10);
    benchmark::RegisterBenchmark(("Import/" + f + "/assimp").c_str(), [f](benchmark::State& s) { Import(s, f, false); })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
  }
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  for (const char* format : {"ply", "stl", "obj"}) {
    const std::string f = format;
    const auto own = recorder.seconds.find("Import/" + f + "/own/iterations:10");
    const auto assimp = recorder.seconds.find("Import/" + f + "/assimp/iterations:3");
    if (own == recorder.seconds.end() || assimp == recorder.seconds.end()) continue;
    std::printf("%s: own %.1f ms, assimp %.1f ms: %.1fx faster; own %.0f MB/s of file\n", format, own->second * 1e3,
                assimp->second * 1e3, assimp->second / own->second, TheFiles().bytes[f] / own->second / 1e6);
  }
  benchmark::Shutdown();
  return 0;
}
