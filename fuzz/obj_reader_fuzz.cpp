// Any bytes as an OBJ file through our own OBJ reader, straight from memory, with and without the
// file's normals. Refusing is fine; crashing, reading out of bounds, or taking a file and giving
// back a mesh that is malformed is not. A file the reader takes must also import exactly as
// assimp imports it.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "app/obj_reader.h"
#include "fuzz/import_compare.h"

// Assimp leaks parts of some files it gives up on; see mesh_import_fuzz.cpp.
extern "C" const char* __lsan_default_suppressions() { return "leak:libassimp.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (std::size_t{1} << 20)) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  bool taken = false;
  for (const bool keepNormals : {true, false}) {
    std::vector<RawMesh> meshes;
    if (!ReadObj(bytes, keepNormals, &meshes)) continue;
    taken = true;
    if (meshes.empty()) fuzz_import::Fail("obj_reader_fuzz", "a taken file without meshes");
    for (const RawMesh& mesh : meshes) {
      fuzz_import::CheckRawMesh("obj_reader_fuzz", mesh);
      if (mesh.hasNormals && !keepNormals) fuzz_import::Fail("obj_reader_fuzz", "normals welded though not kept");
    }
  }
  if (taken) fuzz_import::CompareWithAssimp("obj_reader_fuzz", bytes, "obj");
  return 0;
}
