// Any bytes as a mesh file through the command-line host's import. The first byte picks the
// format (its extension decides which assimp reader runs) and the import options; the rest, at
// most 1 MB, is the file. Refusing is fine; crashing, hanging or handing back a face whose
// vertex is not in the mesh is not.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "app/mesh_io.h"
#include "host/mesh.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "mesh_import_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

void Check(bool ok, const char* what, const std::string& detail = {}) {
  if (!ok) Fail(what, detail);
}

constexpr const char* kExtensions[] = {"obj", "ply", "stl", "gltf"};
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;

// One file per format per process, reused by every input and removed at exit.
struct TempFiles {
  std::string paths[std::size(kExtensions)];
  TempFiles() {
    for (std::size_t i = 0; i < std::size(kExtensions); ++i) {
      paths[i] = "/tmp/veldmap-fuzz-mesh-" + std::to_string(::getpid()) + "." + kExtensions[i];
    }
  }
  ~TempFiles() {
    for (const std::string& path : paths) std::remove(path.c_str());
  }
};

TempFiles& Files() {
  static TempFiles files;
  return files;
}

void CheckFaces(const Mesh& mesh, const std::string& what) {
  const auto count = static_cast<DWORD>(mesh.verts.size());
  for (const Face& face : mesh.faces) {
    for (const DWORD v : face.v) Check(v < count, "an imported face refers to a vertex beyond its mesh:", what);
  }
}

}  // namespace

// Assimp 5.2 leaks parts of some files it gives up on (its glTF 1.0 reader did, before
// ImportMesh stopped offering it files). That is the library's and no input of ours can stop it;
// a leak whose allocation goes through our code still counts.
extern "C" const char* __lsan_default_suppressions() { return "leak:libassimp.so\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Files();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t pick = data[0];
  const std::string& path = Files().paths[pick % std::size(kExtensions)];
  ImportOptions options;
  constexpr char kUp[] = {0, 'x', 'y', 'z'};
  if (const char up = kUp[(pick >> 2) & 3]; up != 0) options.up = up;
  options.flat = (pick & 16) != 0;

  const std::size_t bytes = std::min(size - 1, kMaxFileBytes);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr, "cannot write the temporary mesh file", path);
  Check(bytes == 0 || std::fwrite(data + 1, 1, bytes, file) == bytes, "short write of", path);
  Check(std::fclose(file) == 0, "cannot close", path);

  const ImportResult result = ImportMesh(path, options);
  if (!result.error.empty()) {
    Check(result.meshes.empty(), "a refused import still returned meshes", result.error);
    Check(result.error.rfind(path, 0) == 0, "the error does not start with the file's path", result.error);
    return 0;
  }
  Check(!result.meshes.empty(), "an import succeeded without a mesh");
  for (const ImportedMesh& mesh : result.meshes) {
    Check(!mesh.name.empty(), "an imported mesh has no name");
    CheckFaces(mesh.mesh, mesh.name);
  }
  CheckFaces(MergeMeshes(result.meshes), "the merged mesh");
  return 0;
}
