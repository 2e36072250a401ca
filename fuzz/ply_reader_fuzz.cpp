// Any bytes as a PLY file through our own PLY reader, straight from memory. Refusing is fine;
// crashing, reading out of bounds, or taking a file and giving back a mesh that is malformed
// is not. A file the reader takes must also import exactly as assimp imports it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/ply_reader.h"
#include "fuzz/import_compare.h"

// Assimp leaks parts of some files it gives up on; see mesh_import_fuzz.cpp.
extern "C" const char* __lsan_default_suppressions() { return "leak:libassimp.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (std::size_t{1} << 20)) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  bool taken = false;
  for (const bool keepNormals : {false, true}) {
    RawMesh mesh;
    if (!ReadPly(bytes, keepNormals, &mesh)) continue;
    fuzz_import::CheckRawMesh("ply_reader_fuzz", mesh);
    if (mesh.hasNormals && !keepNormals) fuzz_import::Fail("ply_reader_fuzz", "normals kept though not asked for");
    taken = true;
  }
  if (taken) fuzz_import::CompareWithAssimp("ply_reader_fuzz", bytes, "ply");
  return 0;
}
