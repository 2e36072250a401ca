// The whole `veldmap render` pipeline, stage by stage: import, the index budget check, the map's
// update, the render and the image write, with the peak resident memory per face. Each case runs
// in a child process of its own, so that its peak is its own and not the largest so far; the
// same file is read once through ImportMesh (our own readers where they take the file) and once
// through assimp alone, the baseline, in the same run.
//
//   pipeline_bench [--quick] [--size N] [--big]
//   pipeline_bench --write-meshes DIR [--big]
//
// --quick: one run per case and a 2048 x 2048 image (the default is three runs, the median kept,
// and 8192 x 8192); --size sets the image side; --big adds the 18-million-face terrain.
// --write-meshes writes the generated terrains into DIR as binary PLY and stops, for timing
// `veldmap render` itself on them (its --report gives the map's own update and render seconds).
// (3000 x 3000, about 7 GB at its peak).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "app/mesh_io.h"
#include "app/outputs.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "app/session.h"
#include "bench/bench_meshes.h"
#include "host/scene.h"
#include "tests/support/mesh_file.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "pipeline_bench: %s\n", what.c_str());
  std::exit(1);
}

void Put(std::string& out, const void* data, std::size_t n) { out.append(static_cast<const char*>(data), n); }

void WriteBinaryPly(const fs::path& path, const Mesh& mesh) {
  std::string s = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(mesh.verts.size()) +
                  "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                  std::to_string(mesh.faces.size()) + "\nproperty list uchar int vertex_indices\nend_header\n";
  for (const Point3& p : mesh.verts) Put(s, &p.x, 12);
  for (const Face& f : mesh.faces) {
    const unsigned char three = 3;
    const std::int32_t v[3] = {static_cast<std::int32_t>(f.v[0]), static_cast<std::int32_t>(f.v[1]),
                               static_cast<std::int32_t>(f.v[2])};
    Put(s, &three, 1);
    Put(s, v, 12);
  }
  std::ofstream(path, std::ios::binary) << s;
}

// Read with --up z, so the terrain keeps its frame as the PLY does.
void WriteObj(const fs::path& path, const Mesh& mesh) {
  std::ofstream out(path);
  char line[96];
  for (const Point3& p : mesh.verts) {
    std::snprintf(line, sizeof line, "v %.9g %.9g %.9g\n", double(p.x), double(p.y), double(p.z));
    out << line;
  }
  for (const Face& f : mesh.faces) out << "f " << f.v[0] + 1 << " " << f.v[1] + 1 << " " << f.v[2] + 1 << "\n";
}

struct Case {
  std::string name;  // as printed
  fs::path file;
  std::optional<char> up;
  bool assimp = false;  // the baseline: every file through assimp
};

struct Stages {
  double import = 0, check = 0, update = 0, render = 0, write = 0;
  double peakBytes = 0, faces = 0;
  double Sum() const { return import + check + update + render + write; }
};

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One case as the command line runs it: the mesh moved into a node, the map picking it, the
// budget check, the update, the height image rendered and written as EXR.
Stages RunPipeline(const Case& c, int size, const fs::path& image) {
  Stages s;
  Session session;
  std::string error;
  if (!session.Open(VELDMAP_PLUGIN_DIR, &error)) Die(error);
  ImportOptions options;
  options.up = c.up;
  auto start = std::chrono::steady_clock::now();
  INode* node = nullptr;
  {
    ImportResult imported =
        c.assimp ? ImportMeshWithAssimp(c.file.string(), options) : ImportMesh(c.file.string(), options);
    if (!imported.error.empty()) Die(imported.error);
    Mesh mesh = imported.meshes.size() == 1 ? std::move(imported.meshes[0].mesh) : MergeMeshes(imported.meshes);
    s.faces = mesh.getNumFaces();
    node = AddMeshNode(std::move(mesh), "bench");
  }
  s.import = Since(start);
  Texmap* map = session.CreateVeldmap();
  if (map == nullptr) Die("no Veldmap map");
  {
    MapGuard guard(map);
    if (!Block(map)->SetValue(ParamByName(Block(map), "node"), 0, node)) Die("the map refused the node");
    auto* tri = dynamic_cast<TriObject*>(node->GetObjectRef());
    if (tri == nullptr) Die("the node holds no mesh");
    start = std::chrono::steady_clock::now();
    CheckQuadtreeBudget(map, tri->GetMesh(), c.file.string(), 0);
    s.check = Since(start);
    start = std::chrono::steady_clock::now();
    Interval valid = FOREVER;
    map->Update(0, valid);
    s.update = Since(start);
    RenderRequest request;
    request.width = request.height = size;
    start = std::chrono::steady_clock::now();
    RenderResult result = RenderMap(*map, request, {});
    s.render = Since(start);
    start = std::chrono::steady_clock::now();
    if (!WriteImage(image.string(), result.images[0], ImageFormat::Exr, {}, &error)) Die(error);
    s.write = Since(start);
  }
  s.peakBytes = double(PeakResidentBytes());
  return s;
}

// The case in a child process; its figures come back through a pipe.
Stages RunInChild(const Case& c, int size, const fs::path& image) {
  int fds[2];
  if (pipe(fds) != 0) Die("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) Die("fork failed");
  if (pid == 0) {
    close(fds[0]);
    const Stages s = RunPipeline(c, size, image);
    const ssize_t n = write(fds[1], &s, sizeof s);
    _exit(n == ssize_t(sizeof s) ? 0 : 1);
  }
  close(fds[1]);
  Stages s;
  const ssize_t n = read(fds[0], &s, sizeof s);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (n != ssize_t(sizeof s) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("the case " + c.name + " failed");
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, big = false;
  int size = 0;
  std::string writeMeshes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--big") {
      big = true;
    } else if (arg == "--size" && i + 1 < argc) {
      size = std::atoi(argv[++i]);
    } else if (arg == "--write-meshes" && i + 1 < argc) {
      writeMeshes = argv[++i];
    } else {
      Die("usage: pipeline_bench [--quick] [--size N] [--big] | --write-meshes DIR [--big]");
    }
  }
  if (!writeMeshes.empty()) {
    fs::create_directories(writeMeshes);
    WriteBinaryPly(fs::path(writeMeshes) / "terrain2m.ply", MakeTerrain(1000, kBenchSeed));
    if (big) WriteBinaryPly(fs::path(writeMeshes) / "terrain18m.ply", MakeTerrain(3000, kBenchSeed));
    return 0;
  }
  if (size <= 0) size = quick ? 2048 : 8192;
  const int runs = quick ? 1 : 3;

  const fs::path dir = fs::temp_directory_path() / ("veldmap_pipeline_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<Case> cases;
  const auto both = [&cases](const std::string& name, const fs::path& file, std::optional<char> up) {
    cases.push_back({name, file, up, false});
    cases.push_back({name + " (assimp)", file, up, true});
  };
  {
    const Mesh terrain = MakeTerrain(1000, kBenchSeed);
    WriteBinaryPly(dir / "terrain2m.ply", terrain);
    WriteObj(dir / "terrain2m.obj", terrain);
  }
  // Read with Z up, as it was made: PLY's own convention (Y up) would stand the terrain on its side.
  both("terrain 2M, binary PLY", dir / "terrain2m.ply", 'z');
  both("terrain 2M, OBJ", dir / "terrain2m.obj", 'z');
  both("engine, GLB", kAssimpModels + "/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb", std::nullopt);
  if (big) {
    WriteBinaryPly(dir / "terrain18m.ply", MakeTerrain(3000, kBenchSeed));
    cases.push_back({"terrain 18M, binary PLY", dir / "terrain18m.ply", 'z', false});
  }

  std::printf("image %d x %d EXR, median of %d run(s); times in seconds\n", size, size, runs);
  std::printf("%-30s %9s %7s %7s %7s %7s %7s %7s %9s %11s\n", "case", "faces", "import", "check", "update", "render",
              "write", "sum", "peak MB", "bytes/face");
  std::vector<Stages> medians;
  for (const Case& c : cases) {
    std::vector<Stages> all;
    for (int r = 0; r < runs; ++r) all.push_back(RunInChild(c, size, dir / "image.exr"));
    std::sort(all.begin(), all.end(), [](const Stages& a, const Stages& b) { return a.Sum() < b.Sum(); });
    const Stages& m = all[all.size() / 2];
    medians.push_back(m);
    std::printf("%-30s %9.0f %7.3f %7.3f %7.3f %7.3f %7.3f %7.3f %9.0f %11.0f\n", c.name.c_str(), m.faces, m.import,
                m.check, m.update, m.render, m.write, m.Sum(), m.peakBytes / 1e6, m.peakBytes / m.faces);
    std::fflush(stdout);
  }
  // Each reader against assimp on the same file: the import, and the whole pipeline.
  for (std::size_t i = 0; i + 1 < cases.size(); ++i) {
    if (cases[i].assimp || !cases[i + 1].assimp) continue;
    std::printf("%-30s assimp's time over ours: import %.1fx, whole pipeline %.2fx; our peak memory %.2fx assimp's\n",
                cases[i].name.c_str(), medians[i + 1].import / medians[i].import,
                medians[i + 1].Sum() / medians[i].Sum(), medians[i].peakBytes / medians[i + 1].peakBytes);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
