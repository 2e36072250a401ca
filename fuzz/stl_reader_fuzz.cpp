// Any bytes as an STL file through our own STL reader, straight from memory. Refusing is fine;
// crashing, reading out of bounds, or taking a file and giving back a mesh that is malformed
// is not. A file the reader takes must also import exactly as assimp imports it.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "app/stl_reader.h"
#include "fuzz/import_compare.h"

// Assimp leaks parts of some files it gives up on; see mesh_import_fuzz.cpp.
extern "C" const char* __lsan_default_suppressions() { return "leak:libassimp.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (std::size_t{1} << 20)) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<RawMesh> meshes;
  if (!ReadStl(bytes, &meshes)) return 0;
  if (meshes.empty()) fuzz_import::Fail("stl_reader_fuzz", "a taken file without meshes");
  for (const RawMesh& mesh : meshes) {
    fuzz_import::CheckRawMesh("stl_reader_fuzz", mesh);
    if (mesh.hasNormals) fuzz_import::Fail("stl_reader_fuzz", "facet normals took part in welding");
  }
  fuzz_import::CompareWithAssimp("stl_reader_fuzz", bytes, "stl");
  return 0;
}
